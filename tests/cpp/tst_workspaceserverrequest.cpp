#include "Config.h"
#include "MessageCapture.h"
#include "ReferenceServer.h"
#include "TestMain.h"
#include "UserSession.h"
#include "WorkspaceServerRequest.h"
#include "main.h"

#include <QBuffer>
#include <QJsonArray>
#include <QMutex>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

using testsupport::ReferenceServer;

namespace {

// What a request reported; outlives the request, which deletes itself.
struct Outcome
{
    QList<ErrorCode> errors;
    QByteArray body;
    int readProgressCalls = 0;
    bool done() const { return !errors.isEmpty(); }
};

class TestPostRequest : public CWorkspaceServerPostRequest
{
    Q_OBJECT
public:
    TestPostRequest(const QSharedPointer<CUserSession> &session, int msTimeout, Outcome *outcome)
        : CWorkspaceServerPostRequest(session, msTimeout)
        , m_outcome(outcome)
    {
    }
    TestPostRequest(const ServerAddress &address, int msTimeout, Outcome *outcome)
        : CWorkspaceServerPostRequest(address, msTimeout)
        , m_outcome(outcome)
    {
        m_sessionless = true;
    }
    void post(const QString &path,
              const QByteArray &body = "{\"jsonrpc\":\"2.0\",\"id\":\"1\",\"method\":\"Items.getRole\","
                                       "\"params\":{\"tenantId\":\"t1\",\"itemId\":\"1\"}}")
    {
        m_body.setData(body);
        QNetworkRequest request;
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        request.setRawHeader("Accept", "application/json");
        send(QNetworkAccessManager::PostOperation, request, path, &m_body);
    }

protected:
    bool finished(const ErrorCode &error) override
    {
        m_outcome->errors << error;
        m_outcome->body = m_response;
        return true;
    }

private:
    Outcome *const m_outcome;
    QBuffer m_body;
};

class TestGetRequest : public CWorkspaceServerGetRequest
{
    Q_OBJECT
public:
    TestGetRequest(const QSharedPointer<CUserSession> &session, int msTimeout, Outcome *outcome)
        : CWorkspaceServerGetRequest(session, msTimeout)
        , m_outcome(outcome)
    {
        m_notFoundIsItemNotFound = true;
    }
    void get(const QString &path) { send(QNetworkAccessManager::GetOperation, QNetworkRequest(), path); }

protected:
    void readProgress(qint64, qint64) override { ++m_outcome->readProgressCalls; }
    void recv(QNetworkReply *, const char *data, qint64 size) override { m_outcome->body.append(data, int(size)); }
    bool finished(const ErrorCode &error) override
    {
        m_outcome->errors << error;
        return true;
    }

private:
    Outcome *const m_outcome;
};

// A minimal HTTP CONNECT proxy: one tunnel per connection, records what it was asked for.
class ConnectProxy : public QTcpServer
{
public:
    ConnectProxy() { listen(QHostAddress::LocalHost, 0); }
    QStringList requests;
    QStringList authorizations;
    // When set: the answer to every CONNECT, after which the proxy hangs up.
    QByteArray refusal;

protected:
    void incomingConnection(qintptr handle) override
    {
        auto *client = new QTcpSocket(this);
        client->setSocketDescriptor(handle);
        auto *upstream = new QTcpSocket(this);
        connect(client, &QTcpSocket::readyRead, this, [this, client, upstream] {
            if (upstream->state() == QAbstractSocket::ConnectedState) {
                upstream->write(client->readAll());
                return;
            }
            if (!client->canReadLine())
                return;
            const QString line = QString::fromLatin1(client->readLine()).trimmed();
            requests << line;
            for (QByteArray header; client->canReadLine() && (header = client->readLine()) != "\r\n";) {
                if (header.toLower().startsWith("proxy-authorization:"))
                    authorizations << QString::fromLatin1(header.mid(20).trimmed());
            }
            if (!refusal.isEmpty()) {
                client->write(refusal);
                client->disconnectFromHost();
                return;
            }
            const QString target = line.section(' ', 1, 1);
            upstream->connectToHost(target.section(':', 0, 0), quint16(target.section(':', 1, 1).toUInt()));
            connect(upstream, &QTcpSocket::connected, client,
                    [client] { client->write("HTTP/1.1 200 Connection established\r\n\r\n"); });
        });
        connect(upstream, &QTcpSocket::readyRead, client, [client, upstream] { client->write(upstream->readAll()); });
        connect(client, &QTcpSocket::disconnected, upstream, &QTcpSocket::disconnectFromHost);
        connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
    }
};

} // namespace

class TestWorkspaceServerRequest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_originalSsl = QSslConfiguration::defaultConfiguration();
        m_server.reset(new ReferenceServer());
        QVERIFY(m_server->isRunning());
        m_capture.reset(new testsupport::MessageCapture());
    }

    void cleanupTestCase()
    {
        m_capture.reset();
        CNetworkAccessManager::deleteInstanceForCurrentThread();
        CConfig::setInstance({});
    }

    void init() { m_capture->clear(); }

    void cleanup()
    {
        CConfig::setInstance({});
        appstate::setShuttingDown(false);
        QCOMPARE(m_server->takeViolations(), QStringList());
    }

    // Pure arithmetic first: pacing by the download limit, time-out ticks, upload chunks.
    void downloadPacing_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("tick");
        QTest::addColumn<int>("chunk");
        QTest::newRow("none") << 0 << 100 << 1048576;
        QTest::newRow("1 KiB/s: the minimum chunk") << 1 << 1000 << 1024;
        QTest::newRow("5 KiB/s") << 5 << 1000 << 5120;
        QTest::newRow("20 KiB/s") << 20 << 500 << 10240;
        QTest::newRow("100 KiB/s") << 100 << 100 << 10240;
        QTest::newRow("10239 KiB/s: still limited") << 10239 << 100 << 1048473;
        QTest::newRow("10240 KiB/s: no limit") << 10240 << 100 << 1048576;
    }

    void downloadPacing()
    {
        QFETCH(int, limit);
        QFETCH(int, tick);
        QFETCH(int, chunk);
        int gotTick = 0;
        int gotChunk = 0;
        CWorkspaceServerRequest::pacingFor(limit, &gotTick, &gotChunk);
        QCOMPARE(gotTick, tick);
        QCOMPARE(gotChunk, chunk);
    }

    void timeoutTicks_data()
    {
        QTest::addColumn<int>("timeout");
        QTest::addColumn<int>("tick");
        QTest::addColumn<uint>("ticks");
        QTest::newRow("default at 100 ms") << 360000 << 100 << 3600u;
        QTest::newRow("default at 1000 ms") << 360000 << 1000 << 360u;
        QTest::newRow("shorter than a tick") << 50 << 100 << 1u;
        QTest::newRow("none") << 0 << 100 << 0u;
    }

    void timeoutTicks()
    {
        QFETCH(int, timeout);
        QFETCH(int, tick);
        QFETCH(uint, ticks);
        QCOMPARE(CWorkspaceServerRequest::timeoutTicksFor(timeout, tick), quint32(ticks));
    }

    void uploadPacing_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("chunk");
        QTest::newRow("none") << 0 << -1;
        QTest::newRow("1 KiB/s") << 1 << 102;
        QTest::newRow("50 KiB/s") << 50 << 5120;
        QTest::newRow("huge") << 100000 << 1048576;
    }

    void uploadPacing()
    {
        QFETCH(int, limit);
        QFETCH(int, chunk);
        QCOMPARE(CLimitedIODevice::chunkSizeFor(limit), chunk);
    }

    void limitedDeviceKeepsToItsRate()
    {
        useConfig("{\"network\":{\"uploadSpeedLimit\":50}}");
        CLimitedIODevice device(new QBuffer(new QByteArray(20480, 'x')));
        QVERIFY(device.open(QIODevice::ReadOnly));
        QCOMPARE(device.size(), qint64(20480));
        char buffer[65536];
        QList<qint64> sizes;
        QElapsedTimer timer;
        timer.start();
        qint64 n = 0;
        while ((n = device.read(buffer, sizeof buffer)) > 0)
            sizes << n;
        QCOMPARE(sizes, (QList<qint64>{5120, 5120, 5120, 5120}));
        QVERIFY2(timer.elapsed() >= 300, "four chunks of a 50 KiB/s body take at least three intervals");
        QVERIFY(device.seek(0));
        QCOMPARE(device.read(buffer, 10), qint64(10));
    }

    // Against the reference server.
    void untrustedCertificateFailsTheHandshake()
    {
        QSslConfiguration::setDefaultConfiguration(m_originalSsl);
        CNetworkAccessManager::deleteInstanceForCurrentThread();
        Outcome outcome;
        (new TestPostRequest(validSession(), 10000, &outcome))->post("/api/app/jsonrpc?method=Items.getRole");
        QTRY_VERIFY_WITH_TIMEOUT(outcome.done(), 15000);
        QCOMPARE(outcome.errors.first().errorName, QString("api.exceptions.InvalidCall"));
        QVERIFY(logged("-> aborting"));
        QVERIFY(!logged("-> ignoring SSL errors"));
        m_server->trustCa();
        // The manager keeps the TLS context it built; a new one sees the new trust anchors.
        CNetworkAccessManager::deleteInstanceForCurrentThread();
    }

    void headersAndUrl()
    {
        m_server->clearRequestLog();
        Outcome first;
        (new TestPostRequest(validSession(), 10000, &first))->post("/api/app/jsonrpc?method=Items.getRole&tenantId=t1");
        QTRY_VERIFY_WITH_TIMEOUT(first.done(), 15000);
        QVERIFY2(first.errors.first().isSuccess(), qPrintable(first.errors.first().errorName));

        useConfig("{\"network\":{\"instanceGuid\":\"guid-42\"}}");
        Outcome second;
        (new TestPostRequest(validSession(), 10000, &second))->post("/api/app/jsonrpc?method=Items.getRole");
        QTRY_VERIFY_WITH_TIMEOUT(second.done(), 15000);

        const QJsonArray log = m_server->requestLog();
        QCOMPARE(log.size(), 2);
        const QJsonObject a = log.at(0).toObject();
        const QJsonObject headers = a.value("headers").toObject();
        QCOMPARE(a.value("path").toString(), QString("/api/app/jsonrpc"));
        QCOMPARE(a.value("query").toObject().value("method").toString(), QString("Items.getRole"));
        QCOMPARE(a.value("query").toObject().value("tenantId").toString(), QString("t1"));
        QCOMPARE(headers.value("host").toString(), m_server->hostname());
        QCOMPARE(headers.value("authorization").toString(), "Bearer " + m_server->token());
        QCOMPARE(headers.value("user-agent").toString(), CWorkspaceServerRequest::userAgent());
        QVERIFY(headers.value("user-agent").toString().startsWith("BxSync/1.20201008.42694;Brindlex;Linux "));
        QVERIFY(!headers.contains("x-desktopclientguid"));
        QCOMPARE(log.at(1).toObject().value("headers").toObject().value("x-desktopclientguid").toString(), QString("guid-42"));

        // The token reaches the server whole, the log only its first ten characters.
        QVERIFY(logged("Authorization:" + CUserSession::abbreviateToken(m_server->token()) + ";"));
        QVERIFY(!logged(m_server->token()));
    }

    void redirectsStayWithinTheOrigin_data()
    {
        QTest::addColumn<QString>("targetHost");
        QTest::addColumn<bool>("followed");
        QTest::newRow("same origin") << "127.0.0.1" << true;
        // The same server under another name: any request it logs there carried the token away.
        QTest::newRow("another host") << "localhost" << false;
    }

    void redirectsStayWithinTheOrigin()
    {
        QFETCH(QString, targetHost);
        QFETCH(bool, followed);
        QCOMPARE(m_server->hostname().section(':', 0, 0), QString("127.0.0.1"));
        const QString target = QString("https://%1:%2/api/app/jsonrpc?method=Items.getRole").arg(targetHost).arg(m_server->port());
        m_server->clearRequestLog();
        m_server->addFault({{"type", "httpStatus"}, {"endpoint", "jsonrpc"}, {"status", 307}, {"location", target}});
        Outcome outcome;
        (new TestPostRequest(validSession(), 10000, &outcome))->post("/api/app/jsonrpc?method=Items.getRole");
        QTRY_VERIFY_WITH_TIMEOUT(outcome.done(), 15000);
        QCOMPARE(outcome.errors.first().isSuccess(), followed);
        QCOMPARE(m_server->requestLog().size(), followed ? 2 : 1);
    }

    void answersPastTheCeilingAreRefused_data()
    {
        QTest::addColumn<bool>("chunked");
        QTest::addColumn<QString>("reason");
        QTest::newRow("announced: refused before reading") << false << "the answer announces 56623104 bytes";
        QTest::newRow("no length: aborted once past the ceiling") << true << "the answer passed 52428800 bytes";
    }

    void answersPastTheCeilingAreRefused()
    {
        QFETCH(bool, chunked);
        QFETCH(QString, reason);
        m_server->addFault({{"type", "pad"}, {"endpoint", "jsonrpc"}, {"chunked", chunked},
                            {"size", CWorkspaceServerRequest::kReplyCeiling + 4 * 1048576}});
        Outcome outcome;
        (new TestPostRequest(validSession(), 10000, &outcome))
            ->post("/api/app/jsonrpc?method=Items.getRole&tenantId=t1",
                   "{\"jsonrpc\":\"2.0\",\"id\":\"1\",\"method\":\"Items.getRole\",\"params\":{\"tenantId\":\"t1\",\"itemId\":\"1\"}}");
        QTRY_VERIFY_WITH_TIMEOUT(outcome.done(), 30000);
        QCOMPARE(outcome.errors.first().errorName, QString("dc.ErrorInternal"));
        QVERIFY(logged(reason));
        QVERIFY(outcome.body.size() <= (chunked ? CWorkspaceServerRequest::kReplyCeiling : 0));
    }

    void pathWithTwoQuestionMarks()
    {
        m_server->clearRequestLog();
        Outcome outcome;
        (new TestPostRequest(validSession(), 10000, &outcome))->post("/api/app/jsonrpc?method=Items.getRole?dropped");
        QTRY_VERIFY_WITH_TIMEOUT(outcome.done(), 15000);
        QVERIFY(logged("CWorkspaceServerRequest::prepareRequest: invalid path:"));
        const QJsonObject entry = m_server->requestLog().at(0).toObject();
        QCOMPARE(entry.value("path").toString(), QString("/api/app/jsonrpc"));
        QCOMPARE(entry.value("query").toObject().keys(), QStringList{"method"});
        QCOMPARE(entry.value("query").toObject().value("method").toString(), QString("Items.getRole"));
    }

    void rejectedTokenIsCleared()
    {
        QSharedPointer<CUserSession> session = sessionWithToken("not-a-known-token-0123456789");
        QSignalSpy invalid(session.data(), &CUserSession::invalidAccessTokenSignal);
        Outcome outcome;
        (new TestPostRequest(session, 10000, &outcome))->post("/api/app/jsonrpc?method=Items.getRole");
        QTRY_VERIFY_WITH_TIMEOUT(outcome.done(), 15000);
        QCOMPARE(outcome.errors, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::InvalidAccessToken)});
        QCOMPARE(session->getAccessToken(), QString());
        QVERIFY(invalid.count() >= 1);

        // The next request does not even go out: the session is not valid any more.
        m_server->clearRequestLog();
        Outcome next;
        (new TestPostRequest(session, 10000, &next))->post("/api/app/jsonrpc?method=Items.getRole");
        QCOMPARE(next.errors, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::InvalidAccessToken)});
        QVERIFY(logged("invalid session -> calling login instead"));
        QTest::qWait(100);
        QCOMPARE(m_server->requestLog().size(), 0);
    }

    void loginLoopEndsInInternalError()
    {
        QSharedPointer<CUserSession> session = validSession();
        Outcome outcome;
        auto *request = new TestPostRequest(session, 10000, &outcome);
        for (int i = 0; i < 4; ++i)
            request->processAuthRequiredError();
        QCOMPARE(outcome.errors.size(), 4);
        QCOMPARE(outcome.errors.at(2), ErrorCode(ServerApiErrorCode::InvalidAccessToken));
        QCOMPARE(outcome.errors.at(3), ErrorCode(ServerApiErrorCode::ErrorInternal));
        QVERIFY(logged("request ended in login loop -> request cancelled"));
        QTest::qWait(0); // the request deletes itself
    }

    void sessionlessUnauthorizedIsFinal()
    {
        Outcome outcome;
        (new TestPostRequest(ServerAddress(m_server->hostname()), 10000, &outcome))
            ->post("/api/app/jsonrpc?method=Items.getRole");
        QTRY_VERIFY_WITH_TIMEOUT(outcome.done(), 15000);
        QCOMPARE(outcome.errors, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::InvalidAccessToken)});
        QVERIFY(!logged("AuthenticationRequiredError for request"));
    }

    void notFoundDependsOnTheKindOfRequest()
    {
        Outcome rpc;
        (new TestPostRequest(validSession(), 10000, &rpc))->post("/api/nowhere?method=Items.getRole");
        Outcome download;
        (new TestGetRequest(validSession(), 10000, &download))->get("/no-such-tenant/file/987654321");
        QTRY_VERIFY_WITH_TIMEOUT(rpc.done() && download.done(), 15000);
        QCOMPARE(rpc.errors.first().errorName, QString("api.exceptions.TemporaryNotAvailable"));
        QCOMPARE(download.errors.first().errorName, QString("brindlex.ItemNotFound"));
        QCOMPARE(m_server->takeViolations(), QStringList{"/api/nowhere : no endpoint at /api/nowhere"});
    }

    void stalledReplyIsAbortedAfterTheInactivityTimeout()
    {
        m_server->addFault(QJsonObject{{"type", "stall"}, {"endpoint", "jsonrpc"}, {"count", 1}});
        Outcome outcome;
        QElapsedTimer timer;
        timer.start();
        (new TestPostRequest(validSession(), 300, &outcome))->post("/api/app/jsonrpc?method=Items.getRole");
        QTRY_VERIFY_WITH_TIMEOUT(outcome.done(), 10000);
        QCOMPARE(outcome.errors, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorOperationCancelled)});
        QVERIFY(logged("timeout!"));
        QVERIFY(timer.elapsed() >= 300);
    }

    void pacedDownloadThatProgressesIsNotAborted()
    {
        // 5000 KiB/s: 512000 bytes per 100 ms tick and a time-out of a single tick. The transfer
        // takes over a second, far longer than the time-out, but every tick makes progress.
        useConfig("{\"network\":{\"downloadSpeedLimit\":5000}}");
        const int size = 8 * 1024 * 1024;
        const QString tenant = "paced-" + QString::number(QDateTime::currentMSecsSinceEpoch());
        const QString fileId = createFile(tenant, size);
        QVERIFY(!fileId.isEmpty());
        Outcome outcome;
        auto *request = new TestGetRequest(validSession(), 100, &outcome);
        QCOMPARE(request->chunkSize(), 512000);
        QCOMPARE(request->timeoutTicks(), 1u);
        QElapsedTimer timer;
        timer.start();
        request->get("/" + tenant + "/file/" + fileId);
        QTRY_VERIFY_WITH_TIMEOUT(outcome.done(), 30000);
        QVERIFY2(outcome.errors.first().isSuccess(), qPrintable(outcome.errors.first().errorName));
        QCOMPARE(outcome.body.size(), size);
        QVERIFY(outcome.body == QByteArray(size, 'p'));
        QVERIFY2(timer.elapsed() >= 1000, "the limit holds the transfer to about 5 MB/s");
        QVERIFY(!logged("timeout!"));
    }

    void networkFailuresSetTheStatusFlags()
    {
        QSharedPointer<CUserSession> refused = sessionWithToken(m_server->token(), "127.0.0.1:1");
        QSignalSpy state(refused.data(), &CUserSession::setNetworkRequestStateSignal);
        Outcome outcome;
        (new TestPostRequest(refused, 10000, &outcome))->post("/api/app/jsonrpc?method=Items.getRole");
        QTRY_VERIFY_WITH_TIMEOUT(outcome.done(), 15000);
        QCOMPARE(state.count(), 1);
        QCOMPARE(state.at(0), (QVariantList{true, false, false}));
        QCOMPARE(outcome.errors.first().errorEnum, ServerApiErrorCode::ErrorUnknown); // connection refused: its text

        // A dead proxy is a proxy problem, not a host problem.
        useConfig("{\"proxy\":{\"useProxy\":true,\"autodetectProxySettings\":false,\"proxyAddress\":\"127.0.0.1\",\"proxyPort\":\"1\"}}");
        CNetworkAccessManager::deleteInstanceForCurrentThread();
        QSharedPointer<CUserSession> session = validSession();
        QSignalSpy proxyState(session.data(), &CUserSession::setNetworkRequestStateSignal);
        Outcome viaProxy;
        (new TestPostRequest(session, 10000, &viaProxy))->post("/api/app/jsonrpc?method=Items.getRole");
        QTRY_VERIFY_WITH_TIMEOUT(viaProxy.done(), 15000);
        QCOMPARE(proxyState.at(0), (QVariantList{false, true, false}));

        // The next good exchange clears all three.
        CConfig::setInstance({});
        CNetworkAccessManager::deleteInstanceForCurrentThread();
        Outcome good;
        (new TestPostRequest(session, 10000, &good))->post("/api/app/jsonrpc?method=Items.getRole");
        QTRY_VERIFY_WITH_TIMEOUT(good.done(), 15000);
        QCOMPARE(proxyState.last(), (QVariantList{false, false, false}));
    }

    void proxyHangingUpAfter407IsReportedAtOnce_data()
    {
        QTest::addColumn<QString>("credentials");
        QTest::addColumn<QByteArray>("refusal");
        const QString refused = ",\"proxyAuth\":true,\"proxyUserName\":\"ann\",\"proxyPassword\":\"wrong\"";
        const QByteArray head = "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"proxy\"\r\n";
        QTest::newRow("none, close") << "" << head + "Content-Length: 0\r\nConnection: close\r\n\r\n";
        QTest::newRow("refused, close") << refused << head + "Content-Length: 0\r\nConnection: close\r\n\r\n";
        QTest::newRow("none, keep-alive") << "" << head + "Content-Length: 0\r\n\r\n";
        QTest::newRow("refused, keep-alive") << refused << head + "Content-Length: 0\r\n\r\n";
        QTest::newRow("none, body to the end") << "" << head + "\r\nno entry\n";
        QTest::newRow("refused, body to the end") << refused << head + "\r\nno entry\n";
    }

    void proxyHangingUpAfter407IsReportedAtOnce()
    {
        QFETCH(QString, credentials);
        QFETCH(QByteArray, refusal);
        ConnectProxy proxy;
        proxy.refusal = refusal;
        useConfig(QString("{\"proxy\":{\"useProxy\":true,\"autodetectProxySettings\":false,\"proxyAddress\":\"127.0.0.1\","
                          "\"proxyPort\":\"%1\"%2}}")
                      .arg(proxy.serverPort())
                      .arg(credentials)
                      .toUtf8());
        CNetworkAccessManager::deleteInstanceForCurrentThread();
        QSharedPointer<CUserSession> session = validSession();
        QSignalSpy state(session.data(), &CUserSession::setNetworkRequestStateSignal);
        Outcome outcome;
        (new TestPostRequest(session, 360000, &outcome))->post("/api/app/jsonrpc?method=Items.getRole");
        QTRY_VERIFY_WITH_TIMEOUT(outcome.done(), 10000);
        QVERIFY(!outcome.errors.first().isSuccess());
        QCOMPARE(state.last(), (QVariantList{false, false, true}));
        QVERIFY(!proxy.requests.isEmpty());
        CNetworkAccessManager::deleteInstanceForCurrentThread();
    }

    void configuredProxyIsUsed_data()
    {
        QTest::addColumn<QString>("credentials");
        QTest::addColumn<QStringList>("authorizations");
        QTest::newRow("open proxy") << "" << QStringList();
        QTest::newRow("credentials with the first CONNECT")
            << ",\"proxyAuth\":true,\"proxyUserName\":\"ann\",\"proxyPassword\":\"s3cr:t\"" << QStringList{"Basic YW5uOnMzY3I6dA=="};
    }

    void configuredProxyIsUsed()
    {
        QFETCH(QString, credentials);
        QFETCH(QStringList, authorizations);
        ConnectProxy proxy;
        QVERIFY(proxy.isListening());
        useConfig(QString("{\"proxy\":{\"useProxy\":true,\"autodetectProxySettings\":false,\"proxyAddress\":\"127.0.0.1\",\"proxyPort\":\"%1\"%2}}")
                      .arg(proxy.serverPort())
                      .arg(credentials)
                      .toUtf8());
        CNetworkAccessManager::deleteInstanceForCurrentThread();
        Outcome outcome;
        (new TestPostRequest(validSession(), 10000, &outcome))->post("/api/app/jsonrpc?method=Items.getRole");
        QTRY_VERIFY_WITH_TIMEOUT(outcome.done(), 15000);
        QVERIFY2(outcome.errors.first().isSuccess(), qPrintable(outcome.errors.first().errorName));
        QCOMPARE(proxy.requests.size(), 1);
        QVERIFY(proxy.requests.first().startsWith("CONNECT " + m_server->hostname()));
        QCOMPARE(proxy.authorizations, authorizations);
        QVERIFY(logged("custom proxy:"));
        QVERIFY(!logged("s3cr:t"));
        CConfig::setInstance({});
        CNetworkAccessManager::deleteInstanceForCurrentThread();
    }

    void sslSessionResumingCanBeDisabled()
    {
        // Kept alive, two exchanges share one connection; with resuming disabled each gets its own.
        QList<QSet<int>> ports;
        for (const char *config : {"{}", "{\"network\":{\"disableSslSessionResuming\":true}}"}) {
            useConfig(config);
            CNetworkAccessManager::deleteInstanceForCurrentThread();
            m_server->clearRequestLog();
            for (int i = 0; i < 2; ++i) {
                Outcome outcome;
                (new TestPostRequest(validSession(), 10000, &outcome))->post("/api/app/jsonrpc?method=Items.getRole");
                QTRY_VERIFY_WITH_TIMEOUT(outcome.done(), 15000);
            }
            QSet<int> used;
            for (const QJsonValue &entry : m_server->requestLog())
                used << entry.toObject().value("remotePort").toInt();
            ports << used;
        }
        QCOMPARE(ports.at(0).size(), 1);
        QCOMPARE(ports.at(1).size(), 2);
        CNetworkAccessManager::deleteInstanceForCurrentThread();
    }

    void shuttingDownCancelsBeforeSending()
    {
        m_server->clearRequestLog();
        appstate::setShuttingDown(true);
        Outcome outcome;
        (new TestPostRequest(validSession(), 10000, &outcome))->post("/api/app/jsonrpc?method=Items.getRole");
        QCOMPARE(outcome.errors, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorOperationCancelled)});
        appstate::setShuttingDown(false);
        QTest::qWait(100);
        QCOMPARE(m_server->requestLog().size(), 0);
    }

    void unreadableBodyIsReported()
    {
        Outcome outcome;
        auto *request = new TestPostRequest(validSession(), 10000, &outcome);
        QFile missing(QDir::tempPath() + "/bxsync-no-such-file-for-test");
        request->send(QNetworkAccessManager::PostOperation, QNetworkRequest(), "/api/app/jsonrpc?method=Items.getRole",
                      &missing);
        QCOMPARE(outcome.errors, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorUnableToOpenFile)});
    }

private:
    QSharedPointer<CUserSession> sessionWithToken(const QString &token, const QString &host = QString())
    {
        QSharedPointer<CUserSession> session(new CUserSession());
        QJsonObject json = QJsonDocument::fromJson(m_server->sessionJson(token).toUtf8()).object();
        if (!host.isEmpty())
            json["serverHostname"] = host;
        session->assign(CUserSessionJsonObject(QString::fromUtf8(QJsonDocument(json).toJson())));
        return session;
    }

    QSharedPointer<CUserSession> validSession() { return sessionWithToken(m_server->token()); }

    void useConfig(const QByteArray &json)
    {
        m_configDir.reset(new QTemporaryDir);
        QFile file(m_configDir->path() + "/bxsync_cfg.json");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(json);
        file.close();
        CConfig::setInstance(QSharedPointer<CConfig>(new CConfig(m_configDir->path())));
    }

    QString createFile(const QString &tenantId, int size)
    {
        const ReferenceServer::Library library = m_server->createLibrary(tenantId);
        ReferenceServer::Reply file =
            m_server->admin("POST", library.path() + "/files", {{"name", "paced.bin"}, {"size", size}, {"fill", "p"}});
        if (file.status != 201)
            qWarning() << "createFile: file" << file.json.toJson();
        return file.object().value("id").toString();
    }

    bool logged(const QString &fragment) const { return m_capture->contains(fragment); }

    QScopedPointer<ReferenceServer> m_server;
    QScopedPointer<QTemporaryDir> m_configDir;
    QSslConfiguration m_originalSsl;
    QScopedPointer<testsupport::MessageCapture> m_capture;
};

BXSYNC_TEST_MAIN(TestWorkspaceServerRequest)
#include "tst_workspaceserverrequest.moc"
