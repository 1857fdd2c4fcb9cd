#include "Config.h"
#include "MessageCapture.h"
#include "ReferenceServer.h"
#include "TcpSendDelay.h"
#include "TestMain.h"
#include "UserSession.h"
#include "WorkspaceServerRequest.h"
#include "main.h"

#include <QBuffer>
#include <QJsonArray>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTcpSocket>

using testsupport::ReferenceServer;
using testsupport::with;

namespace {

// What a request reported; shared with the request, which deletes itself.
struct Outcome
{
    QList<ErrorCode> errors;
    QByteArray body;
    bool done() const { return !errors.isEmpty(); }
    ErrorCode error() const { return errors.value(0, ErrorCode(QString("no report"))); }
};

class TestPostRequest : public CWorkspaceServerPostRequest
{
    Q_OBJECT
public:
    TestPostRequest(const QSharedPointer<CUserSession> &session, int msTimeout, const QSharedPointer<Outcome> &outcome)
        : CWorkspaceServerPostRequest(session, msTimeout)
        , m_outcome(outcome)
    {
    }
    TestPostRequest(const ServerAddress &address, int msTimeout, const QSharedPointer<Outcome> &outcome)
        : CWorkspaceServerPostRequest(address, msTimeout)
        , m_outcome(outcome)
    {
        m_sessionless = true;
    }
    void post(const QString &path)
    {
        m_body.setData("{\"jsonrpc\":\"2.0\",\"id\":\"1\",\"method\":\"Items.getRole\",\"params\":{\"tenantId\":\"t1\",\"itemId\":\"1\"}}");
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
    const QSharedPointer<Outcome> m_outcome;
    QBuffer m_body;
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
        QCOMPARE(m_server->hostname().section(':', 0, 0), QString("127.0.0.1")); // "localhost" is the foreign name
        m_capture.reset(new testsupport::MessageCapture());
    }

    void cleanupTestCase()
    {
        m_capture.reset();
        CNetworkAccessManager::deleteInstanceForCurrentThread();
    }

    void init() { m_capture->clear(); }

    void cleanup()
    {
        CConfig::setInstance({});
        CNetworkAccessManager::deleteInstanceForCurrentThread();
        appstate::setShuttingDown(false);
        QCOMPARE(m_server->takeViolations(), QStringList());
    }

    // Pacing by the speed limits: the download tick and chunk, the upload chunk (-1: unpaced), and
    // how many ticks of silence a time-out allows.
    void pacing_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("tick");
        QTest::addColumn<int>("chunk");
        QTest::addColumn<int>("uploadChunk");
        QTest::addColumn<int>("timeout");
        QTest::addColumn<uint>("ticks");
        QTest::newRow("none") << 0 << 100 << 1048576 << -1 << 360000 << 3600u;
        QTest::newRow("1 KiB/s: the minimum chunks, time-out shorter than a tick") << 1 << 1000 << 1024 << 102 << 50 << 1u;
        QTest::newRow("20 KiB/s, no time-out") << 20 << 500 << 10240 << 2048 << 0 << 0u;
        QTest::newRow("100 KiB/s") << 100 << 100 << 10240 << 10240 << 250 << 2u;
        QTest::newRow("10239 KiB/s: still limited") << 10239 << 100 << 1048473 << 1048473 << 100 << 1u;
        QTest::newRow("10240 KiB/s: no download limit") << 10240 << 100 << 1048576 << 1048576 << 100 << 1u;
        QTest::newRow("huge") << 100000 << 100 << 1048576 << 1048576 << 100 << 1u;
    }

    void pacing()
    {
        QFETCH(int, limit);
        QFETCH(int, tick);
        QFETCH(int, chunk);
        QFETCH(int, uploadChunk);
        QFETCH(int, timeout);
        QFETCH(uint, ticks);
        int gotTick = 0;
        int gotChunk = 0;
        CWorkspaceServerRequest::pacingFor(limit, &gotTick, &gotChunk);
        QCOMPARE(gotTick, tick);
        QCOMPARE(gotChunk, chunk);
        QCOMPARE(CLimitedIODevice::chunkSizeFor(limit), uploadChunk);
        QCOMPARE(CWorkspaceServerRequest::timeoutTicksFor(timeout, tick), quint32(ticks));
    }

    // The pace itself shows in the slow uploads; a body sent again is read from its source anew.
    void limitedDeviceSeeksItsSource()
    {
        auto *source = new QBuffer;
        source->setData("0123456789");
        CLimitedIODevice device(source);
        QVERIFY(device.open(QIODevice::ReadOnly));
        QCOMPARE(device.read(4), QByteArray("0123"));
        QVERIFY(device.seek(1));
        QCOMPARE(device.read(2), QByteArray("12"));
    }

    // Against the reference server.
    void untrustedCertificateFailsTheHandshake()
    {
        QSslConfiguration::setDefaultConfiguration(m_originalSsl);
        CNetworkAccessManager::deleteInstanceForCurrentThread();
        QCOMPARE(post().error().errorName, QString("api.exceptions.InvalidCall"));
        QVERIFY(logged("-> aborting"));
        m_server->trustCa(); // cleanup() drops the manager: the next one builds its TLS context anew
    }

    void headersAndUrl()
    {
        m_server->clearRequestLog();
        const Outcome first = post(m_server->session(), "/api/app/jsonrpc?method=Items.getRole&tenantId=t1");
        QVERIFY2(first.error().isSuccess(), qPrintable(first.error().errorName));
        useConfig("{\"network\":{\"instanceGuid\":\"guid-42\"}}");
        QVERIFY(post().done());

        const QJsonArray log = m_server->requestLog();
        QCOMPARE(log.size(), 2);
        const QJsonObject a = log.at(0).toObject();
        const QJsonObject headers = a.value("headers").toObject();
        QCOMPARE(a.value("query").toObject(), (QJsonObject{{"method", "Items.getRole"}, {"tenantId", "t1"}}));
        QCOMPARE(headers.value("host").toString(), m_server->hostname());
        QVERIFY(headers.value("user-agent").toString().startsWith("BxSync/1.20201008.42694;Brindlex;Linux "));
        QVERIFY(!headers.contains("x-desktopclientguid"));
        QCOMPARE(log.at(1).toObject().value("headers").toObject().value("x-desktopclientguid").toString(), QString("guid-42"));

        // The token reaches the server whole, the log only its first ten characters.
        QVERIFY(logged("Authorization:" + CUserSession::abbreviateToken(m_server->token()) + ";"));
        QVERIFY(!logged(m_server->token()));
    }

    // What the request log shows of one exchange the server answers as a fault says.
    void serverAnswers_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("requests"); // that the server saw
        QTest::addColumn<QString>("logLine");
        // "location" names the host; the foreign one is the same server under another name.
        const QJsonObject redirect{{"type", "httpStatus"}, {"endpoint", "jsonrpc"}, {"status", 307}};
        const QJsonObject pad{{"type", "pad"}, {"endpoint", "jsonrpc"}, {"size", CWorkspaceServerRequest::kReplyCeiling + 4 * 1048576}};
        QTest::newRow("redirect within the origin") << with(redirect, "location", "127.0.0.1") << kRole << "dc.ErrorSuccess" << 2 << "";
        QTest::newRow("redirect elsewhere: not followed, the token stays")
            << with(redirect, "location", "localhost") << kRole << "!dc.ErrorSuccess" << 1 << "";
        QTest::newRow("answer announced past the ceiling: refused before reading")
            << with(pad, "chunked", false) << kRole << "dc.ErrorInternal" << 1 << "the answer announces 56623104 bytes";
        QTest::newRow("answer without length: aborted past the ceiling")
            << with(pad, "chunked", true) << kRole << "dc.ErrorInternal" << 1 << "the answer passed 52428800 bytes";
        QTest::newRow("second question mark: the rest dropped")
            << QJsonObject() << kRole + "?dropped" << "dc.ErrorSuccess" << 1 << "CWorkspaceServerRequest::prepareRequest: invalid path:";
        // A download's HTTP 404 is a missing item (the download suite's "missing file").
        QTest::newRow("HTTP 404 outside a download: temporary") << QJsonObject() << "/api/nowhere?method=Items.getRole"
                                                                << "api.exceptions.TemporaryNotAvailable" << 1 << "";
    }

    void serverAnswers()
    {
        QFETCH(QJsonObject, fault);
        QFETCH(QString, path);
        QFETCH(QString, error);
        QFETCH(int, requests);
        QFETCH(QString, logLine);
        if (fault.contains("location"))
            fault["location"] = QString("https://%1:%2%3").arg(fault.value("location").toString()).arg(m_server->port()).arg(kRole);
        if (!fault.isEmpty())
            m_server->addFault(fault);
        m_server->clearRequestLog();
        const Outcome outcome = post({}, path, 30000);
        if (error.startsWith('!'))
            QVERIFY(outcome.done() && outcome.error().errorName != error.mid(1));
        else
            QCOMPARE(outcome.error().errorName, error);
        QVERIFY(logLine.isEmpty() || logged(logLine));
        if (path.startsWith("/api/nowhere"))
            QCOMPARE(m_server->takeViolations(), QStringList{"/api/nowhere : no endpoint at /api/nowhere"});
        if (fault.value("type") == "pad")
            QVERIFY(outcome.body.size() <= (fault.value("chunked").toBool() ? CWorkspaceServerRequest::kReplyCeiling : 0));
        const QJsonArray log = m_server->requestLog();
        QCOMPARE(log.size(), requests);
        QCOMPARE(log.at(0).toObject().value("query").toObject(), (QJsonObject{{"method", "Items.getRole"}}));
    }

    void rejectedTokens()
    {
        QSharedPointer<CUserSession> session = m_server->session("not-a-known-token-0123456789");
        QCOMPARE(post(session).errors, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::InvalidAccessToken)});
        QCOMPARE(session->getAccessToken(), QString());

        // The next request does not even go out: the session is not valid any more.
        m_server->clearRequestLog();
        QCOMPARE(post(session, kRole, 0).errors, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::InvalidAccessToken)});
        QTest::qWait(100);
        QCOMPARE(m_server->requestLog().size(), 0);

        // Without a session an HTTP 401 is final: no login is tried.
        m_capture->clear();
        const auto outcome = QSharedPointer<Outcome>::create();
        (new TestPostRequest(ServerAddress(m_server->hostname()), 10000, outcome))->post(kRole);
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done(), 15000);
        QCOMPARE(outcome->errors, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::InvalidAccessToken)});
        QVERIFY(!logged("AuthenticationRequiredError for request"));

        // A fourth rejection in a row is a login loop.
        const auto looped = QSharedPointer<Outcome>::create();
        auto *request = new TestPostRequest(m_server->session(), 10000, looped);
        for (int i = 0; i < 4; ++i)
            request->processAuthRequiredError();
        QCOMPARE(looped->errors.mid(2), (QList<ErrorCode>{ServerApiErrorCode::InvalidAccessToken, ServerApiErrorCode::ErrorInternal}));
        QTest::qWait(0); // the request deletes itself
    }

    void connectionsToThePortSendWithoutDelay()
    {
        QTcpServer server;
        QTcpServer other;
        QVERIFY(server.listen(QHostAddress::LocalHost) && other.listen(QHostAddress::LocalHost));
        QTcpSocket toServer;
        QTcpSocket toOther;
        toServer.connectToHost(QHostAddress::LocalHost, server.serverPort());
        toOther.connectToHost(QHostAddress::LocalHost, other.serverPort());
        QVERIFY(toServer.waitForConnected(5000) && toOther.waitForConnected(5000));
        QCOMPARE(toServer.socketOption(QAbstractSocket::LowDelayOption).toInt(), 0);

        tcp::sendWithoutDelayTo(server.serverPort());
        QCOMPARE(toServer.socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);
        QCOMPARE(toOther.socketOption(QAbstractSocket::LowDelayOption).toInt(), 0);
    }

    // A dead proxy is a proxy problem, not a host problem (a dead host is the watcher suite's).
    void networkFailuresSetTheStatusFlags()
    {
        useProxy(1);
        QSharedPointer<CUserSession> session = m_server->session();
        QSignalSpy proxyState(session.data(), &CUserSession::setNetworkRequestStateSignal);
        QVERIFY(post(session).done());
        QCOMPARE(proxyState.at(0), (QVariantList{false, true, false}));

        // The next good exchange clears all three.
        CConfig::setInstance({});
        CNetworkAccessManager::deleteInstanceForCurrentThread();
        QVERIFY(post(session).done());
        QCOMPARE(proxyState.last(), (QVariantList{false, false, false}));
    }

    // A proxy's answer to CONNECT: nullptr is a working tunnel; the credentials sent, and with them.
    void proxies_data()
    {
        QTest::addColumn<QString>("credentials");
        QTest::addColumn<QByteArray>("refusal");
        QTest::addColumn<QStringList>("authorizations");
        const QString wrong = ",\"proxyAuth\":true,\"proxyUserName\":\"ann\",\"proxyPassword\":\"wrong\"";
        const QByteArray head = "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"proxy\"\r\n";
        QTest::newRow("open proxy") << "" << QByteArray() << QStringList();
        QTest::newRow("credentials with the first CONNECT") << QString(wrong).replace("wrong", "s3cr:t") << QByteArray()
                                                            << QStringList{"Basic YW5uOnMzY3I6dA=="};
        // A 407 after which the proxy hangs up is reported at once, whatever its framing.
        QTest::newRow("407, none, close") << "" << head + "Content-Length: 0\r\nConnection: close\r\n\r\n" << QStringList();
        QTest::newRow("407, refused, keep-alive") << wrong << head + "Content-Length: 0\r\n\r\n" << QStringList{"Basic YW5uOndyb25n"};
        QTest::newRow("407, refused, body to the end") << wrong << head + "\r\nno entry\n" << QStringList{"Basic YW5uOndyb25n"};
    }

    void proxies()
    {
        QFETCH(QString, credentials);
        QFETCH(QByteArray, refusal);
        QFETCH(QStringList, authorizations);
        ConnectProxy proxy;
        proxy.refusal = refusal;
        useProxy(proxy.serverPort(), credentials);
        QSharedPointer<CUserSession> session = m_server->session();
        QSignalSpy state(session.data(), &CUserSession::setNetworkRequestStateSignal);
        const Outcome outcome = post(session, kRole, 10000);
        QVERIFY(outcome.done());
        QVERIFY2(outcome.error().isSuccess() == refusal.isEmpty(), qPrintable(outcome.error().errorName));
        QVERIFY(proxy.requests.value(0).startsWith("CONNECT " + m_server->hostname()));
        QCOMPARE(proxy.authorizations.mid(0, 1), authorizations);
        QVERIFY(!logged("s3cr:t"));
        if (refusal.isEmpty())
            QCOMPARE(proxy.requests.size(), 1);
        else
            QCOMPARE(state.last(), (QVariantList{false, false, true}));
    }

    void sslSessionResumingCanBeDisabled()
    {
        // Kept alive, two exchanges share one connection; with resuming disabled each gets its own.
        QList<int> connections;
        for (const char *config : {"{}", "{\"network\":{\"disableSslSessionResuming\":true}}"}) {
            useConfig(config);
            m_server->clearRequestLog();
            QVERIFY(post().done() && post().done());
            QSet<int> used;
            for (const QJsonValue &entry : m_server->requestLog())
                used << entry.toObject().value("remotePort").toInt();
            connections << used.size();
        }
        QCOMPARE(connections, (QList<int>{1, 2}));
    }

private:
    static const QString kRole;

    // Posts a role call and runs the event loop until it reports or waitMs pass (0: no waiting). The
    // request's own time-out is far longer: a hang shows as no report.
    Outcome post(QSharedPointer<CUserSession> session = {}, const QString &path = kRole, int waitMs = 15000)
    {
        const auto outcome = QSharedPointer<Outcome>::create();
        (new TestPostRequest(session ? session : m_server->session(), 360000, outcome))->post(path);
        QTest::qWaitFor([&] { return outcome->done(); }, waitMs);
        return *outcome;
    }

    // The manager is dropped too: the next one reads the configuration anew.
    void useConfig(const QByteArray &json)
    {
        m_configDir.reset(new QTemporaryDir);
        testsupport::useConfig(m_configDir->path(), json);
        CNetworkAccessManager::deleteInstanceForCurrentThread();
    }

    void useProxy(quint16 port, const QString &credentials = QString())
    {
        useConfig(QString("{\"proxy\":{\"useProxy\":true,\"autodetectProxySettings\":false,\"proxyAddress\":\"127.0.0.1\","
                          "\"proxyPort\":\"%1\"%2}}").arg(port).arg(credentials).toUtf8());
    }

    bool logged(const QString &fragment) const { return m_capture->contains(fragment); }

    QScopedPointer<ReferenceServer> m_server;
    QScopedPointer<QTemporaryDir> m_configDir;
    QSslConfiguration m_originalSsl;
    QScopedPointer<testsupport::MessageCapture> m_capture;
};

const QString TestWorkspaceServerRequest::kRole = QStringLiteral("/api/app/jsonrpc?method=Items.getRole");

BXSYNC_TEST_MAIN(TestWorkspaceServerRequest)
#include "tst_workspaceserverrequest.moc"
