#include "AppState.h"
#include "Application.h"
#include "BxSyncApiObjects.h"
#include "Config.h"
#include "TestMain.h"

#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>

namespace {

class CountingApi : public CBxSyncApi
{
public:
    void requestNewUserSession() override { ++sessionRequests; }
    void syncProgressChanged(const std::string &text) override { progress.push_back(text); }
    int sessionRequests = 0;
    std::vector<std::string> progress;
};

} // namespace

class TestApplication : public QObject
{
    Q_OBJECT
private slots:
    void init() { m_dir.reset(new QTemporaryDir); }

    void callbacksReachTheHost()
    {
        CountingApi api;
        CApplication app(m_dir->path());
        QVERIFY(app.initialize());
        app.setBxSyncApi(&api);
        QCOMPARE(api.sessionRequests, 0); // only from the event loop; how many is addon.test.js's
        QTRY_VERIFY(api.sessionRequests > 0);
        app.syncProgressChangedSlot(QString::fromUtf8("{\"name\":\"Grüße\"}"));
        QCOMPARE(api.progress, std::vector<std::string>{"{\"name\":\"Gr\xc3\xbc\xc3\x9f" "e\"}"});

        app.setBxSyncApi(nullptr);
        QTest::ignoreMessage(QtWarningMsg, "CApplication::syncProgressChangedSlot: CBxSyncApi not set");
        app.syncProgressChangedSlot("{\"a\":1}");
    }

    void leftOverRepliesAreRemovedAtStart()
    {
        const QString leftOver = m_dir->path() + "/bxsync_reply_Ab12Cd.tmp";
        const QString foreign = m_dir->path() + "/bxsync_reply_notes.txt";
        for (const QString &path : {leftOver, foreign})
            QVERIFY(QFile(path).open(QIODevice::WriteOnly));
        CApplication app(m_dir->path());
        QVERIFY(app.initialize());
        QVERIFY(!QFile::exists(leftOver));
        QVERIFY(QFile::exists(foreign));
    }

    // Through the host's bridge, as the script thread calls it.
    void instanceGuidIsWrittenOnlyWhenItChanges()
    {
        CApplication app(m_dir->path());
        QVERIFY(app.initialize());
        CBxSyncApi bridge;
        bridge.setApplication(&app);
        const QString cfg = m_dir->path() + "/bxsync_cfg.json";
        bridge.setInstanceGuid("guid-1");
        QTRY_COMPARE(CConfig(m_dir->path()).instanceGuid(), QString("guid-1"));
        // A rewrite would drop the marker line appended here.
        QFile marker(cfg);
        QVERIFY(marker.open(QIODevice::Append));
        marker.write("\n");
        marker.close();
        const qint64 size = QFileInfo(cfg).size();
        bridge.setInstanceGuid("guid-1");
        QTest::qWait(30);
        QCOMPARE(QFileInfo(cfg).size(), size);
        bridge.setInstanceGuid("guid-2");
        QTRY_VERIFY(QFileInfo(cfg).size() != size);
    }

    void exitApplicationSlotEndsTheLoopWithItsCode()
    {
        CApplication app(m_dir->path());
        QVERIFY(app.initialize());
        QSignalSpy breaks(&app, &CApplication::sigBreak);
        QTimer::singleShot(0, &app, [&] { app.exitApplicationSlot(3); });
        QCOMPARE(QCoreApplication::exec(), 3);
        QCOMPARE(breaks.count(), 1);
        QVERIFY(appstate::isShuttingDown());
        CApplication again(m_dir->path());
        QVERIFY(!appstate::isShuttingDown()); // each application starts afresh
    }

private:
    QScopedPointer<QTemporaryDir> m_dir;
};

BXSYNC_TEST_MAIN(TestApplication)
#include "tst_application.moc"
