#include "Config.h"
#include "ErrorCodePrinting.h"
#include "GetFileRequest.h"
#include "MessageCapture.h"
#include "ReferenceServer.h"
#include "TestMain.h"

#include <QCryptographicHash>

using testsupport::ReferenceServer;

namespace {

// Everything one download reported; outlives the request, which deletes itself.
struct Download
{
    QList<ErrorCode> completed;
    CGetFileResponse response;
    QByteArray data;
    QSet<QString> chunkNames; // empty: no chunk
    qulonglong lastDone = 0;
    qulonglong lastTotal = 0;
    QList<QString> finishedNames;
    bool finishedBeforeCompleted = false;

    bool done() const { return !completed.isEmpty(); }
    QString hashHex() const { return QString::fromLatin1(response.hash.toHex()); }
};

} // namespace

class TestGetFileRequest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_log.reset(new testsupport::MessageCapture());
        m_server.reset(new ReferenceServer());
        QVERIFY(m_server->runningAndTrusted());
        m_session = m_server->session();
        m_library = m_server->createLibrary("downloads");
        QVERIFY(m_library.id > 0);
    }

    void cleanupTestCase() { CNetworkAccessManager::deleteInstanceForCurrentThread(); }

    void init() { m_log->clear(); }

    void cleanup() { QCOMPARE(m_server->takeViolations(), QStringList()); }

    void fileNameFromHeader_data()
    {
        QTest::addColumn<QByteArray>("header");
        QTest::addColumn<QString>("name");
        QTest::newRow("blanks after the equals sign and the name") << QByteArray("attachment; filename=  \"a b.txt\"  ") << "a b.txt";
        QTest::newRow("blank before the equals sign: no name") << QByteArray("attachment; filename =\"a.txt\"") << "";
        QTest::newRow("name part not first") << QByteArray("inline; name=\"x\"; filename=\"y.txt\"") << "y.txt";
        QTest::newRow("raw UTF-8 bytes") << QString::fromUtf8("attachment; filename=\"ä.txt\"").toUtf8() << QString::fromUtf8("ä.txt");
        QTest::newRow("semicolon cuts") << QByteArray("attachment; filename=\"a;b.txt\"") << "a";
        QTest::newRow("colon cuts") << QByteArray("attachment; filename=\"12:30.txt\"") << "12";
        QTest::newRow("no filename=") << QByteArray("attachment") << "";
        QTest::newRow("filename without equals sign") << QByteArray("attachment; filename \"x\"") << "";
        QTest::newRow("empty") << QByteArray() << "";
    }

    void fileNameFromHeader()
    {
        QFETCH(QByteArray, header);
        QFETCH(QString, name);
        QCOMPARE(CGetFileRequest::getServerFileName(header, 77), name);
        QCOMPARE(m_log->contains("CGetFileRequest::getServerFileName: invalid format of the Content-Disposition header:"),
                 name.isEmpty() && !header.isEmpty());
    }

    // The name as the request reads it from a real answer; the bytes reach the receiver only with one.
    void namesFromServerAnswers_data()
    {
        QTest::addColumn<QString>("serverPath");
        QTest::addColumn<QString>("contentDisposition"); // empty: the server's own header
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");
        const int threeChunks = 2500000;
        QTest::newRow("plain name, the leaf of its path") << "dir/report.pdf" << "" << "report.pdf" << threeChunks;
        const QString encoded = QString::fromUtf8("äöü 日本;x:\"q\" ") + QString("long name ").repeated(20) + ".txt";
        QTest::newRow("server's encoded name") << encoded << "" << encoded << threeChunks;
        QTest::newRow("no filename=: every chunk dropped") << "n.bin" << "attachment" << "" << threeChunks;
        QTest::newRow("empty file: the digest of nothing") << "empty.txt" << "" << "empty.txt" << 0;
    }

    void namesFromServerAnswers()
    {
        QFETCH(QString, serverPath);
        QFETCH(QString, contentDisposition);
        QFETCH(QString, name);
        QFETCH(int, size);
        const QJsonObject file = m_server->addFile(m_library, serverPath, size ? QJsonObject{{"size", size}, {"seed", 11}} : QJsonObject{{"content", ""}});
        const qint64 id = file.value("id").toString().toLongLong();
        if (!contentDisposition.isEmpty())
            m_server->addFault({{"type", "headers"}, {"endpoint", "download"},
                                {"set", QJsonObject{{"Content-Disposition", contentDisposition}}}});
        m_server->clearRequestLog();
        Download d;
        download(id, &d);
        QTRY_VERIFY_WITH_TIMEOUT(d.done() && !d.finishedNames.isEmpty(), 20000);

        QCOMPARE(d.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorSuccess)});
        QCOMPARE(d.response.fileName, name);
        QCOMPARE(d.finishedNames, QList<QString>{name});
        QVERIFY2(!d.finishedBeforeCompleted, "the progress report hears of the end after the file synchronisation");
        QCOMPARE(d.response.id, id);
        QCOMPARE(d.response.fileState, file.value("state").toString());
        QCOMPARE(d.response.state, m_server->libraryState(m_library));
        QCOMPARE(d.lastTotal, qulonglong(size));
        QCOMPARE(d.lastDone, d.lastTotal);
        QCOMPARE(QCryptographicHash::hash(d.data, QCryptographicHash::Sha1), d.response.hash);
        QCOMPARE(m_server->requestLog().size(), 1);
        if (name.isEmpty())
            QVERIFY(m_log->count("CGetFileRequest::recv: unable to parse filename from reposnse headers") >= 2);
        if (name.isEmpty() || size == 0) {
            QCOMPARE(d.chunkNames, QSet<QString>());
            QCOMPARE(d.hashHex(), QString("da39a3ee5e6b4b0d3255bfef95601890afd80709")); // of nothing
        } else {
            QCOMPARE(d.data.size(), size);
            QCOMPARE(d.chunkNames, QSet<QString>{name});
            QCOMPARE(d.hashHex(), file.value("contentHash").toString());
        }
    }

    // What reaches the receiver always matches the digest reported with it.
    void transferFaults_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("logLine"); // "!": must not be logged
        const int cancelled = ServerApiErrorCode::ErrorOperationCancelled;
        const QString cut = "bytes received -> operation cancelled";
        QTest::newRow("body cut short") << QJsonObject{{"type", "truncate"}, {"bytes", 100000}} << cancelled << cut;
        QTest::newRow("connection dropped") << QJsonObject{{"type", "drop"}, {"afterBytes", 100000}} << cancelled << cut;
        QTest::newRow("no length announced")
            << QJsonObject{{"type", "headers"}, {"set", QJsonObject{{"content-length", QJsonValue::Null}}}} << cancelled << cut;
        QTest::newRow("stalled: the inactivity time-out") << QJsonObject{{"type", "stall"}} << cancelled << "timeout!";
        // Longer than the time-out in all, but every piece within it.
        QTest::newRow("slow but steady: no time-out")
            << QJsonObject{{"type", "drip"}, {"bytes", 32 * 1024}, {"everyMs", 100}} << int(ServerApiErrorCode::ErrorSuccess) << "!timeout!";
        // Held back by its own limit ("limit": KiB/s) to one chunk per tick, a download makes progress
        // every tick: a time-out of a single tick never ends it.
        QTest::newRow("paced by its own limit: no time-out") << QJsonObject{{"limit", 5000}} << int(ServerApiErrorCode::ErrorSuccess) << "!timeout!";
        QTest::newRow("missing file") << QJsonObject() << int(ServerApiErrorCode::ItemNotFound) << "!" + cut;
    }

    void transferFaults()
    {
        QFETCH(QJsonObject, fault);
        QFETCH(int, error);
        QFETCH(QString, logLine);
        const int limit = fault.take("limit").toInt();
        QTemporaryDir config;
        if (limit > 0)
            testsupport::useConfig(config.path(), QString("{\"network\":{\"downloadSpeedLimit\":%1}}").arg(limit).toUtf8());
        const QJsonObject file = m_server->addFile(m_library, QString("%1.bin").arg(QTest::currentDataTag()),
                                                   {{"size", limit > 0 ? 8 * 1048576 : 300000}, {"seed", 3}});
        fault["endpoint"] = "download";
        if (fault.contains("type"))
            m_server->addFault(fault);
        Download d;
        QElapsedTimer timer;
        timer.start();
        download(error == ServerApiErrorCode::ItemNotFound ? 987654321 : file.value("id").toString().toLongLong(), &d, limit > 0 ? 100 : 300);
        QTRY_VERIFY_WITH_TIMEOUT(d.done(), 30000);
        CConfig::setInstance({});
        QVERIFY2(limit == 0 || timer.elapsed() >= 1000, "the limit holds the transfer to about 5 MB/s");
        QCOMPARE(d.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorEnum(error))});
        QCOMPARE(m_log->contains(logLine.mid(logLine.startsWith('!'))), !logLine.startsWith('!'));
        QCOMPARE(QCryptographicHash::hash(d.data, QCryptographicHash::Sha1), d.response.hash);
        if (error == ServerApiErrorCode::ErrorSuccess)
            QCOMPARE(d.hashHex(), file.value("contentHash").toString());
        if (error == ServerApiErrorCode::ItemNotFound)
            QCOMPARE(d.chunkNames, QSet<QString>());
    }

private:
    CGetFileRequest *download(qint64 fileServerId, Download *d, int timeoutMs = 0)
    {
        SyncLibrary::Ptr library(new SyncLibrary());
        library->TenantId = m_library.tenantId;
        SyncFile::Ptr file(new SyncFile());
        file->ClientId = 42;
        file->ServerId = quint64(fileServerId);
        auto *request = new CGetFileRequest(m_session, library, file);
        if (timeoutMs > 0)
            request->setInactivityTimeout(timeoutMs);
        connect(request, &CGetFileRequest::fileDataReceived, this,
                [d](ItemId clientId, const QString &name, const char *data, qint64 size) {
                    QCOMPARE(clientId, ItemId(42));
                    d->chunkNames << name;
                    d->data.append(data, int(size));
                },
                Qt::DirectConnection);
        connect(request, &CGetFileRequest::fileCompletedSignal, this,
                [d](ItemId, const CGetFileResponse &response, const ErrorCode &error) {
                    d->completed << error;
                    d->response = response;
                });
        connect(request, &CGetFileRequest::fileDownloadProgressSignal, this,
                [d](const QString &, ItemId, qulonglong done, qulonglong total) {
                    d->lastDone = done;
                    d->lastTotal = total;
                },
                Qt::QueuedConnection);
        connect(request, &CGetFileRequest::fileDownloadFinishedSignal, this,
                [d](const QString &name, ItemId) {
                    d->finishedBeforeCompleted = d->completed.isEmpty();
                    d->finishedNames << name;
                },
                Qt::QueuedConnection);
        request->exec();
        return request;
    }

    QScopedPointer<testsupport::MessageCapture> m_log;
    QScopedPointer<ReferenceServer> m_server;
    QSharedPointer<CUserSession> m_session;
    ReferenceServer::Library m_library;
};

BXSYNC_TEST_MAIN(TestGetFileRequest)
#include "tst_getfilerequest.moc"
