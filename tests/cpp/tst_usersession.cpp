#include "AppStatusController.h"
#include "MessageCapture.h"
#include "ReferenceServer.h"
#include "TestMain.h"
#include "UserSessionController.h"

#include <QSignalSpy>

using testsupport::sessionJson;

class TestUserSession : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_status.reset(new CAppStatusController([] { return true; }));
        m_controller.reset(new CUserSessionController(m_status));
    }

    void acceptedSessionSignsIn_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("shown");
        QTest::newRow("host named, short token whole") << "sync.example.com:8443" << "https://sync.example.com:8443"
                                                       << "abcdef" << "abcdef";
        QTest::newRow("no host: the production domain; long token: first 10") << QString() << "https://" BXSYNC_PRODUCTION_DOMAIN
            << "0123456789abcdefghijklmnopqrstuvwxyzABCD" << "0123456789";
    }

    void acceptedSessionSignsIn()
    {
        QFETCH(QString, host);
        QFETCH(QString, url);
        QFETCH(QString, token);
        QFETCH(QString, shown);
        m_controller->setUserSession(sessionJson(token, host));
        const QSharedPointer<CUserSession> session = m_controller->getUserSession();
        QVERIFY(session->isValid());
        QCOMPARE(session->getAccessToken(), token);
        QVERIFY(m_status->getAppStatus() != AppStatusUserNotSignedIn);
        QCOMPARE(session->toString(), QString("[userLoginName: ann@example.com, userFullName: Ann Example, userGuid: "
                                              "5f0c2a1e-0000-4000-8000-000000000001, serverAddress: %1, accessToken: %2]")
                                          .arg(url, shown));
        QCOMPARE(CUserSession::abbreviateToken(token), "Bearer " + shown + "...");
    }

    // The same text again changes nothing, unless the server rejected its token meanwhile.
    void sameTextAgain()
    {
        const QString json = sessionJson("token-0123456789abcdef");
        m_controller->setUserSession(json);
        m_status->setUserNotSignedIn(true); // would be corrected by a re-evaluation
        QTest::ignoreMessage(QtDebugMsg, "CUserSessionController::setUserSession: no change from last time");
        m_controller->setUserSession(json);
        QCOMPARE(m_status->getAppStatus(), AppStatusUserNotSignedIn);

        m_controller->getUserSession()->clearAccessToken(); // one transient 401
        m_controller->setUserSession(json);
        QCOMPARE(m_controller->getUserSession()->getAccessToken(), QString("token-0123456789abcdef"));
        QVERIFY(m_status->getAppStatus() != AppStatusUserNotSignedIn);
    }

    void badSessionsKeepTheOldOne_data()
    {
        QTest::addColumn<QString>("json");
        QTest::newRow("empty token") << sessionJson("");
        QTest::newRow("token not a string") << QString(sessionJson("x").replace("\"x\"", "42"));
        QTest::newRow("missing user guid") << QString("{\"userLoginName\":\"a\",\"userFullName\":\"b\",\"accessToken\":\"t\"}");
        QTest::newRow("not JSON") << QString("{\"userLoginName\":");
        QTest::newRow("an array") << QString("[1,2]");
        QTest::newRow("line break in the token") << QString(sessionJson("T")).replace("\"T\"", "\"secret0123-\\r\\nX: hijklmnop\"");
        // Texts that hold the token, past its first 10 characters, in a form no search would find.
        QTest::newRow("trailing comma") << QString(sessionJson("secret0123-ghijklmnop")).replace("}", ",}");
        QTest::newRow("escaped token, no user guid")
            << QString("{\"userLoginName\":\"a\",\"userFullName\":\"b\",\"accessToken\":\"secret0123-\\u0067hijklmnop\"}");
        QTest::newRow("token twice, no user guid")
            << QString("{\"userLoginName\":\"a\",\"accessToken\":\"other01234-ghijklmnop\",\"accessToken\":\"secret0123-ghijklmnop\"}");
    }

    void badSessionsKeepTheOldOne()
    {
        QFETCH(QString, json);
        m_controller->setUserSession(sessionJson("good-token-0123456789"));
        testsupport::MessageCapture capture;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^CUserSessionController::setUserSession: failed to parse userSession:"));
        m_controller->setUserSession(json);
        QVERIFY2(!capture.contains("hijklmnop"), qPrintable(capture.lines(QtWarningMsg).join('\n')));
        QCOMPARE(m_controller->getUserSession()->getAccessToken(), QString("good-token-0123456789"));
        QVERIFY(m_status->getAppStatus() != AppStatusUserNotSignedIn);

        // Parsing it again would find the session invalid and ask the host at once, for ever.
        QTest::ignoreMessage(QtDebugMsg, "CUserSessionController::setUserSession: no change from last time");
        m_controller->setUserSession(json);
    }

    // At start, and after the server rejected the token.
    void invalidSessionAsksAtOnceAndThenEveryTwoMinutes()
    {
        QSignalSpy requests(m_controller.data(), &CUserSessionController::requestNewUserSessionSignal);
        QCOMPARE(m_status->getAppStatus(), AppStatusUserNotSignedIn);
        QTRY_COMPARE(requests.count(), 1);
        m_controller->setUserSession(sessionJson("good-token-0123456789"));
        requests.clear();
        m_controller->getUserSession()->clearAccessToken();
        QTRY_VERIFY(requests.count() >= 1);
        const int afterClear = requests.count();
        QVERIFY(m_controller->refreshTimer()->remainingTime() > 119000);
        // An expiry asks again and re-arms the (single-shot, hence stopped) timer.
        m_controller->refreshTimer()->stop();
        QMetaObject::invokeMethod(m_controller->refreshTimer(), "timeout");
        QCOMPARE(requests.count(), afterClear + 1);
        QVERIFY(m_controller->refreshTimer()->isActive());
    }

    void networkStateIsRelayedToTheStatus()
    {
        m_controller->setUserSession(sessionJson("good-token-0123456789"));
        const QSharedPointer<CUserSession> session = m_controller->getUserSession();
        session->reportNetworkRequestState(true, false, false);
        QTRY_COMPARE(m_status->getAppStatus(), AppStatusHostNotFound);
        session->reportNetworkRequestState(false, false, true);
        QTRY_COMPARE(m_status->getAppStatus(), AppStatusProxyAuthenticationError);
    }

private:
    QSharedPointer<CAppStatusController> m_status;
    QScopedPointer<CUserSessionController> m_controller;
};

BXSYNC_TEST_MAIN(TestUserSession)
#include "tst_usersession.moc"
