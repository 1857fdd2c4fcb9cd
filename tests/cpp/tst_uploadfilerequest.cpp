#include "Config.h"
#include "ErrorCodePrinting.h"
#include "LocalTreeTestSupport.h"
#include "MessageCapture.h"
#include "ReferenceServer.h"
#include "TestMain.h"
#include "UploadFileRequest.h"
#include "main.h"

#include <QCryptographicHash>
#include <QSignalSpy>

#include <functional>

using testsupport::ReferenceServer;
using testsupport::with;

namespace {

// Everything one upload reported; outlives the request, which deletes itself.
struct Upload
{
    QList<ErrorCode> completed;
    ItemId completedId = 0;
    CUploadFileResponse response;
    qint64 lastDone = 0;
    QList<ErrorCode> finishedErrors;
    std::function<void(qint64 done)> onProgress;
    QEventLoop *waiting = nullptr;

    bool done() const { return !completed.isEmpty(); }
};

// Runs the event loop until the upload reports. Unlike QTRY_*, which sleeps between its checks,
// this lets the body flow at the speed the engine reaches outside a test.
bool waitFor(Upload &u, int timeoutMs)
{
    if (!u.done()) {
        QEventLoop loop;
        u.waiting = &loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
        u.waiting = nullptr;
    }
    QCoreApplication::processEvents(); // the queued signals sent after the report
    return u.done();
}

// (endpoint, rpcMethod) of every request the server saw, in order.
QStringList requestKinds(const QJsonArray &log)
{
    QStringList kinds;
    for (const QJsonValue &entry : log) {
        const QJsonObject e = entry.toObject();
        kinds << e.value("endpoint").toString() + (e.value("rpcMethod").isString() ? " " + e.value("rpcMethod").toString() : QString());
    }
    return kinds;
}

} // namespace

class TestUploadFileRequest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_log.reset(new testsupport::MessageCapture());
        m_server.reset(new ReferenceServer());
        QVERIFY(m_server->runningAndTrusted());
        m_library = m_server->createLibrary("uploads");
        QVERIFY(m_library.id > 0);
        QVERIFY(m_files.isValid());
    }

    void cleanupTestCase() { CNetworkAccessManager::deleteInstanceForCurrentThread(); }

    void init()
    {
        m_log->clear();
        m_session = m_server->session();
    }

    void cleanup()
    {
        CConfig::setInstance({});
        appstate::setShuttingDown(false);
        QCOMPARE(m_server->takeViolations(), QStringList());
    }

    void timeoutGrowsWithTheSize_data()
    {
        QTest::addColumn<quint64>("size");
        QTest::addColumn<int>("timeout");
        QTest::newRow("500 MiB") << quint64(524288000) << 360000;
        QTest::newRow("one byte more") << quint64(524288001) << 360000;
        QTest::newRow("10 GiB") << quint64(10737418240) << 7372800;
        QTest::newRow("beyond what a time-out can hold") << (quint64(1) << 62) << std::numeric_limits<int>::max();
    }

    void timeoutGrowsWithTheSize()
    {
        QFETCH(quint64, size);
        QFETCH(int, timeout);
        QCOMPARE(upload::timeoutForFileSize(size), timeout);
        QScopedPointer<CUploadSyncFileRequest> request(new CUploadSyncFileRequest(
            m_session, UploadFileMethod::Update, "unused", libraryRecord(), SyncItem::ConstPtr(), fileRecord("a", size)));
        QCOMPARE(request->timeoutTicks(), CWorkspaceServerRequest::timeoutTicksFor(timeout, request->tickInterval()));
    }

    void shareableFileIsReopenedForEveryRead()
    {
        const QString path = writeLocalFile("shared.txt", "0123456789");
        CShareableFile file(path);
        QVERIFY(!file.open(QIODevice::ReadWrite));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.read(4), QByteArray("0123"));
        writeLocalFile("shared.txt", "abcdefghijkl"); // rewritten by another program between two chunks
        QCOMPARE(file.read(4), QByteArray("efgh"));
        QCOMPARE(file.size(), qint64(12));
        QVERIFY(file.seek(1));
        QCOMPARE(file.read(2), QByteArray("bc"));

        appstate::setShuttingDown(true);
        QCOMPARE(file.read(2), QByteArray());
        QVERIFY(m_log->contains("CShareableFile::readData: unable to read data -> app is shutting down - file:"));
        appstate::setShuttingDown(false);

        QVERIFY(QFile::remove(path));
        QCOMPARE(file.read(2), QByteArray());
        QCOMPARE(file.size(), qint64(0));
        QVERIFY(m_log->contains("CShareableFile::size: unable to open file:"));
    }

    // From 100 KiB on, the server is asked first; the body's headers come in the server's order.
    void createAndUpdate_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("update");
        QTest::addColumn<QStringList>("requests");
        QTest::newRow("create 102399") << 102399 << false << QStringList{"upload"};
        QTest::newRow("create 102400") << 102400 << false << QStringList{"jsonrpc FileSync.canCreateFile", "upload"};
        QTest::newRow("update 102399") << 102399 << true << QStringList{"upload"};
        QTest::newRow("update 102400") << 102400 << true << QStringList{"jsonrpc FileSync.canUpdateFile", "upload"};
    }

    void createAndUpdate()
    {
        QFETCH(int, size);
        QFETCH(bool, update);
        QFETCH(QStringList, requests);
        const QString name = QString::fromUtf8("Grüße 日本 %1.bin").arg(QTest::currentDataTag());
        QByteArray content(size, 'u');
        content[0] = char(update);
        const QString path = writeLocalFile("upload.bin", content);
        const QJsonObject before = update ? m_server->addFile(m_library, name, {{"content", "old version"}}) : QJsonObject();
        m_server->clearRequestLog();

        Upload u;
        run(update ? UploadFileMethod::Update : UploadFileMethod::Create, path, fileRecord(name, quint64(size), before), &u);
        QVERIFY(waitFor(u, 20000));
        QCOMPARE(u.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorSuccess)});
        const QJsonArray log = m_server->requestLog();
        QCOMPARE(requestKinds(log), requests);
        // A wrong header value ends in a refusal or a violation, or shows in the stored file below.
        if (requests.size() == 2) {
            const QJsonObject params = log.at(0).toObject().value("params").toObject();
            QCOMPARE(params.value("fileSize").toString(), QString::number(size));
            QCOMPARE(params.value("conflictPolicy").toString(), QString("RENAME_ON_CONFLICT"));
            QCOMPARE(params.value(update ? "fileState" : "filename").toString(), update ? before.value("state").toString() : name);
        }
        QStringList sent;
        for (const QJsonValue &header : log.last().toObject().value("headerOrder").toArray()) {
            if (header.toString().startsWith("x-") || header.toString() == "content-type")
                sent << header.toString();
        }
        const QStringList methodHeaders = update ? QStringList{"x-filestate", "x-fileid"} : QStringList{"x-parentid", "x-filename"};
        QCOMPARE(sent, QStringList({"x-id", "x-state", "x-length", "x-createdtimefs", "x-modifiedtimefs", "x-method"})
                           + methodHeaders + QStringList({"x-conflictpolicy", "content-type"}));

        const QJsonObject stored = m_server->treeItem(m_library, name);
        QCOMPARE(stored.value("contentHash").toString(), QString(QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex()));
        QCOMPARE(stored.value("createdTime").toString(), QString("2020-10-08T10:00:00Z"));
        QCOMPARE(stored.value("modifiedTime").toString(), QString("2020-10-08T11:30:05Z"));
        QCOMPARE(QString::number(u.response.fileId), stored.value("id").toString());
        QCOMPARE(u.response.fileState, stored.value("state").toString());
        QCOMPARE(u.response.state, m_server->libraryState(m_library));
        QCOMPARE(u.response.filename, name);
        QCOMPARE(u.completedId, ItemId(42));
        QCOMPARE(u.lastDone, qint64(size));
    }

    // Every refusal leaves the server without the file and reports once.
    void refusals_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("flag"); // the virus found, or the token renewed
        const QJsonObject ok{{"type", "httpStatus"}, {"endpoint", "upload"}, {"status", 200}};
        const QJsonObject av{{"type", "rpcError"}, {"endpoint", "upload"}, {"fullName", "brindlex.AntivirusAlert"}};
        const QJsonObject token{{"type", "rpcError"}, {"endpoint", "upload"}};
        const QString internal = "dc.ErrorInternal";
        // A success must name the stored file; anything less would later read as a server-side deletion.
        QTest::newRow("not JSON") << with(ok, "body", "<html>ok</html>") << "" << internal << false;
        QTest::newRow("result without file id") << with(ok, "body", "{\"jsonrpc\":\"2.0\",\"result\":{\"state\":\"s\"}}") << "" << internal << false;
        QTest::newRow("infected content") << QJsonObject() << "infected" << "brindlex.AntivirusAlert" << true;
        QTest::newRow("message in other letter case") << with(av, "message", "avvirusfound: eicar") << "" << "brindlex.AntivirusAlert" << false;
        QTest::newRow("session expired: token renewed")
            << with(token, "fullName", "brindlex.SessionExpired") << "" << "brindlex.InvalidAccessToken" << true;
        QTest::newRow("invalid access token: reported as it is")
            << with(token, "fullName", "brindlex.InvalidAccessToken") << "" << "brindlex.InvalidAccessToken" << false;
        QTest::newRow("library hidden: gone after the role probe") << QJsonObject() << "None" << "brindlex.ItemNotFound" << false;
        QTest::newRow("unknown tenant: gone") << QJsonObject() << "tenant" << "brindlex.ItemNotFound" << false;
        QTest::newRow("HTTP 404: gone") << with(ok, "status", 404) << "" << "brindlex.ItemNotFound" << false;
        QTest::newRow("quota: refused before the body") << QJsonObject() << "quota" << "brindlex.QuotaExceeded" << false;
    }

    void refusals()
    {
        QFETCH(QJsonObject, fault);
        QFETCH(QString, setUp);
        QFETCH(QString, error);
        QFETCH(bool, flag);
        const QString name = QString("refused %1.txt").arg(QTest::currentDataTag());
        const QByteArray content = setUp == "infected" ? "harmless BX-AV-TEST-SIGNATURE text"
                                   : setUp == "quota"  ? QByteArray(102400, 'q') // big enough to be asked about first
                                                       : "refused";
        const QString tenant = "/admin/tenants/" + m_library.tenantId;
        const QString path = writeLocalFile("refused.txt", content);
        SyncLibrary::Ptr library = libraryRecord();
        if (setUp == "None")
            QCOMPARE(m_server->admin("PUT", m_library.path() + "/roles/demo.user", {{"role", setUp}}).status, 200);
        else if (setUp == "tenant")
            library->TenantId = "no-such-tenant";
        else if (setUp == "quota")
            QCOMPARE(m_server->admin("PATCH", tenant, {{"quota", 1000}}).status, 200);
        m_server->clearRequestLog();
        if (!fault.isEmpty())
            m_server->addFault(fault);
        Upload u;
        run(UploadFileMethod::Create, path, fileRecord(name, quint64(content.size())), &u, library);
        QVERIFY(waitFor(u, 15000));
        if (setUp == "None")
            QCOMPARE(m_server->admin("PUT", m_library.path() + "/roles/demo.user", {{"role", "Admin"}}).status, 200);
        if (setUp == "quota") {
            QCOMPARE(m_server->admin("PATCH", tenant, {{"quota", QJsonValue::Null}}).status, 200);
            QCOMPARE(requestKinds(m_server->requestLog()), QStringList{"jsonrpc FileSync.canCreateFile"});
        }
        if (error == "brindlex.InvalidAccessToken")
            QTest::qWait(50); // a second report would come from the event loop
        QCOMPARE(u.completed.value(0).errorName, error);
        QCOMPARE(u.completed.size(), 1);
        QVERIFY(m_server->treeItem(m_library, name).isEmpty());
        if (error == "brindlex.AntivirusAlert")
            QCOMPARE(u.response.avVirusFound, flag);
        QCOMPARE(u.finishedErrors, u.completed);
        if (error == "brindlex.InvalidAccessToken")
            QCOMPARE(m_session->getAccessToken().isEmpty(), flag);
    }

    void answerFlags()
    {
        m_server->addFile(m_library, "taken.txt", {{"content", "theirs"}});
        const QString path = writeLocalFile("taken.txt", "mine");
        Upload renamed;
        run(UploadFileMethod::Create, path, fileRecord("taken.txt", 4), &renamed);
        QVERIFY(waitFor(renamed, 10000));
        QCOMPARE(renamed.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorSuccess)});
        QCOMPARE(renamed.response.filename, QString("taken (2).txt"));
        QCOMPARE(renamed.response.conflicted, true);
        QCOMPARE(renamed.response.changeDropped, false);
        QCOMPARE(renamed.response.avCheck, true);

        // The same bytes again as an update: the server keeps the file as it is.
        const QJsonObject copy = m_server->treeItem(m_library, "taken (2).txt");
        Upload same;
        run(UploadFileMethod::Update, path, fileRecord("taken (2).txt", 4, copy), &same);
        QVERIFY(waitFor(same, 10000));
        QCOMPARE(same.response.changeDropped, true);
        QCOMPARE(same.response.conflicted, false);
    }

    // How a body ends: read to the end, cancelled (while the server is asked, or sending), or its file
    // gone. Nothing reads the device once it is closed, and a body that did not arrive whole is not stored.
    void bodyEnds_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("cancelAfterMs"); // 0: to the end
        QTest::addColumn<QString>("file");      // "missing" at the start, "deleted" while sending, "asked" slowly, or there
        QTest::addColumn<QString>("logLine");
        QTest::newRow("unlimited") << 0 << 0 << "" << "";
        QTest::newRow("paced") << 500 << 0 << "" << "";
        QTest::newRow("paced, cancelled") << 100 << 400 << "" << "";
        QTest::newRow("cancelled while asking: nothing sent") << 0 << 200 << "asked" << "";
        QTest::newRow("missing when the upload starts") << 100 << 0 << "missing" << "unable to open input device";
        QTest::newRow("deleted during a slow upload") << 100 << 0 << "deleted" << "CShareableFile::readData: unable to open file:";
    }

    void bodyEnds()
    {
        QFETCH(int, limit);
        QFETCH(int, cancelAfterMs);
        QFETCH(QString, file);
        QFETCH(QString, logLine);
        testsupport::useConfig(m_config.path(), QString("{\"network\":{\"uploadSpeedLimit\":%1}}").arg(limit).toUtf8());
        const int size = file.isEmpty() || file == "asked" ? 200000 : 1048576;
        const QString name = QString("%1.bin").arg(QTest::currentDataTag());
        const QString path = file == "missing" ? m_files.path() + "/never-written.bin" : writeLocalFile(name, QByteArray(size, 'p'));
        if (file == "asked")
            m_server->addFault({{"type", "delay"}, {"method", "FileSync.canCreateFile"}, {"ms", 1000}});
        m_server->clearRequestLog();
        Upload u;
        if (file == "deleted")
            u.onProgress = [path](qint64 done) { if (done > 0 && QFile::exists(path)) QFile::remove(path); };
        CUploadSyncFileRequest *request = run(UploadFileMethod::Create, path, fileRecord(name, quint64(size)), &u);
        if (cancelAfterMs > 0)
            QTimer::singleShot(cancelAfterMs, request, &CUploadSyncFileRequest::cancelUpload);
        QVERIFY(waitFor(u, 15000));
        if (file.isEmpty() || file == "asked") {
            QCOMPARE(u.completed.first().isSuccess(), cancelAfterMs == 0);
            QTest::qWait(file == "asked" ? 1500 : 300); // a late read or answer would come from the event loop
            QCOMPARE(u.completed.size(), 1);
            QCOMPARE(m_log->containing(QtWarningMsg, "device not open"), QStringList());
            if (file == "asked")
                QCOMPARE(requestKinds(m_server->requestLog()), QStringList{"jsonrpc FileSync.canCreateFile"});
            return;
        }
        QCOMPARE(u.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorUnableToOpenFile)});
        QVERIFY(m_log->contains(logLine));
        QVERIFY(m_server->treeItem(m_library, name).isEmpty());
        if (file == "deleted")
            QVERIFY2(u.lastDone > 0 && u.lastDone < size, qPrintable(QString::number(u.lastDone)));
    }

private:
    QString writeLocalFile(const QString &name, const QByteArray &content)
    {
        const QString path = m_files.path() + "/" + name;
        localtree::writeFile(path, content);
        return path;
    }

    SyncLibrary::Ptr libraryRecord() const
    {
        SyncLibrary::Ptr library(new SyncLibrary());
        library->ClientId = 1;
        library->ServerId = m_library.id;
        library->TenantId = m_library.tenantId;
        library->Sic = m_server->libraryState(m_library);
        return library;
    }

    // serverFile: the file as the server's tree lists it, for updates.
    static SyncFile::Ptr fileRecord(const QString &name, quint64 size, const QJsonObject &serverFile = QJsonObject())
    {
        SyncFile::Ptr file(new SyncFile());
        file->ClientId = 42;
        file->ClientName = name;
        file->Size = size;
        file->CreatedTime = QDateTime(QDate(2020, 10, 8), QTime(10, 0, 0), Qt::UTC);
        file->UpdatedTime = QDateTime(QDate(2020, 10, 8), QTime(11, 30, 5), Qt::UTC);
        if (!serverFile.isEmpty()) {
            file->ServerName = name;
            file->ServerId = serverFile.value("id").toString().toULongLong();
            file->Sic = serverFile.value("state").toString();
        }
        return file;
    }

    // Uploads into the library's top folder.
    CUploadSyncFileRequest *run(UploadFileMethod method, const QString &path, const SyncFile::Ptr &file, Upload *u,
                                SyncLibrary::Ptr library = {})
    {
        if (!library)
            library = libraryRecord();
        auto *request = new CUploadSyncFileRequest(m_session, method, path, library, library, file);
        connect(request, &CUploadSyncFileRequest::fileUploadCompletedSignal, this,
                [u](ItemId id, const ErrorCode &error, const CUploadFileResponse &response) {
                    u->completed << error;
                    u->completedId = id;
                    u->response = response;
                    if (u->waiting)
                        u->waiting->quit();
                });
        connect(request, &CUploadSyncFileRequest::fileUploadInfoSignal, this, [u](ItemId, qint64 done, qint64) {
            u->lastDone = done;
            if (u->onProgress)
                u->onProgress(done);
        });
        connect(request, &CUploadSyncFileRequest::fileUploadFinishedSignal, this,
                [u](const QString &, ItemId, const ErrorCode &error) { u->finishedErrors << error; },
                Qt::QueuedConnection);
        request->exec();
        return request;
    }

    QScopedPointer<testsupport::MessageCapture> m_log;
    QScopedPointer<ReferenceServer> m_server;
    QSharedPointer<CUserSession> m_session;
    ReferenceServer::Library m_library;
    QTemporaryDir m_files;
    QTemporaryDir m_config;
};

BXSYNC_TEST_MAIN(TestUploadFileRequest)
#include "tst_uploadfilerequest.moc"
