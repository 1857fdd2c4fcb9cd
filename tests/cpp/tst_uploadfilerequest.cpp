#include "Config.h"
#include "ErrorCodePrinting.h"
#include "MessageCapture.h"
#include "ProcessMemory.h"
#include "ReferenceServer.h"
#include "TestMain.h"
#include "UploadFileRequest.h"
#include "main.h"

#include <QCryptographicHash>
#include <QSignalSpy>

#include <functional>

using testsupport::ReferenceServer;

namespace {

const QDateTime kCreated = QDateTime(QDate(2020, 10, 8), QTime(10, 0, 0), Qt::UTC);
const QDateTime kModified = QDateTime(QDate(2020, 10, 8), QTime(11, 30, 5), Qt::UTC);

// Everything one upload reported; outlives the request, which deletes itself.
struct Upload
{
    QList<ErrorCode> completed;
    ItemId completedId = 0;
    CUploadFileResponse response;
    qint64 lastDone = 0;
    qint64 lastTotal = 0;
    QList<ErrorCode> finishedErrors;
    qint64 rssBefore = 0;
    qint64 rssPeak = 0;
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

QByteArray sha1Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex();
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
        QVERIFY(m_server->isRunning());
        m_server->trustCa();
        m_library = m_server->createLibrary("uploads");
        QVERIFY(m_library.id > 0);
        QVERIFY(m_files.isValid());
    }

    void cleanupTestCase() { CNetworkAccessManager::deleteInstanceForCurrentThread(); }

    void init()
    {
        m_log->clear();
        m_session = freshSession();
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
        QTest::newRow("empty") << quint64(0) << 360000;
        QTest::newRow("500 MiB") << quint64(524288000) << 360000;
        QTest::newRow("one byte more") << quint64(524288001) << 360000;
        QTest::newRow("1000 MiB") << quint64(1048576000) << 720000;
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
        QCOMPARE(m_log->contains("CUploadSyncFileRequest::CUploadSyncFileRequest: fileSize:"), timeout != 360000);
    }

    void shareableFileIsReopenedForEveryRead()
    {
        const QString path = writeLocalFile("shared.txt", "0123456789");
        CShareableFile file(path);
        QVERIFY(!file.open(QIODevice::ReadWrite));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.size(), qint64(10));
        QCOMPARE(file.read(4), QByteArray("0123"));

        // Another program replaces the file between two chunks: reading goes on in the new one.
        writeLocalFile("shared.txt", "abcdefghijkl");
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
        QVERIFY(m_log->contains("CShareableFile::readData: unable to open file:"));
        QCOMPARE(file.size(), qint64(0));
        QVERIFY(m_log->contains("CShareableFile::size: unable to open file:"));
        QCOMPARE(file.write("x"), qint64(-1));
    }

    void feasibilityTestFromThreshold_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("update");
        QTest::addColumn<QStringList>("requests");
        QTest::newRow("create 102399") << 102399 << false << QStringList{"upload"};
        QTest::newRow("create 102400") << 102400 << false << QStringList{"jsonrpc FileSync.canCreateFile", "upload"};
        QTest::newRow("update 102399") << 102399 << true << QStringList{"upload"};
        QTest::newRow("update 102400") << 102400 << true << QStringList{"jsonrpc FileSync.canUpdateFile", "upload"};
    }

    void feasibilityTestFromThreshold()
    {
        QFETCH(int, size);
        QFETCH(bool, update);
        QFETCH(QStringList, requests);
        const QString name = QString("threshold %1.bin").arg(QTest::currentDataTag());
        QByteArray content(size, 'u');
        content[0] = char(update);
        const QString path = writeLocalFile(name, content);
        QJsonObject before;
        if (update)
            before = addServerFile(name, {{"content", "old version"}});
        m_server->clearRequestLog();

        Upload u;
        run(update ? UploadFileMethod::Update : UploadFileMethod::Create, path, fileRecord(name, quint64(size), before), &u);
        QVERIFY(waitFor(u, 20000));

        QCOMPARE(u.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorSuccess)});
        const QJsonArray log = m_server->requestLog();
        QCOMPARE(requestKinds(log), requests);
        if (requests.size() == 2) {
            const QJsonObject params = log.at(0).toObject().value("params").toObject();
            QCOMPARE(params.value("fileSize").toString(), QString::number(size));
            QCOMPARE(params.value("conflictPolicy").toString(), QString("RENAME_ON_CONFLICT"));
            QCOMPARE(params.value("id").toString(), QString::number(m_library.id));
            if (update)
                QCOMPARE(params.value("fileState").toString(), before.value("state").toString());
            else
                QCOMPARE(params.value("filename").toString(), name);
        } else {
            QVERIFY(m_log->contains("-> skipping file upload feasibility test"));
        }

        const QJsonObject stored = m_server->treeItem(m_library, name);
        QCOMPARE(stored.value("contentHash").toString(), QString::fromLatin1(sha1Hex(content)));
        QCOMPARE(QString::number(u.response.fileId), stored.value("id").toString());
        QCOMPARE(u.response.fileState, stored.value("state").toString());
        QCOMPARE(u.response.state, m_server->libraryState(m_library));
        QCOMPARE(u.response.filename, name);
        QCOMPARE(u.response.conflicted, false);
        QCOMPARE(u.completedId, ItemId(42));
        QCOMPARE(u.lastDone, qint64(size));
        QCOMPARE(u.finishedErrors, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorSuccess)});
    }

    void headersFollowTheTable_data()
    {
        QTest::addColumn<bool>("update");
        QTest::addColumn<QStringList>("order");
        QTest::newRow("create") << false
                                << QStringList{"x-id", "x-state", "x-length", "x-createdtimefs", "x-modifiedtimefs", "x-method",
                                               "x-parentid", "x-filename", "x-conflictpolicy", "content-type"};
        QTest::newRow("update") << true
                                << QStringList{"x-id", "x-state", "x-length", "x-createdtimefs", "x-modifiedtimefs", "x-method",
                                               "x-filestate", "x-fileid", "x-conflictpolicy", "content-type"};
    }

    void headersFollowTheTable()
    {
        QFETCH(bool, update);
        QFETCH(QStringList, order);
        const QString name = QString::fromUtf8("Grüße 日本 %1.txt").arg(QTest::currentDataTag());
        const QByteArray content = "headers " + QByteArray(QTest::currentDataTag());
        const QString path = writeLocalFile("headers.txt", content);
        const QJsonObject before = update ? addServerFile(name, {{"content", "v1"}}) : QJsonObject();
        const QString state = m_server->libraryState(m_library);
        m_server->clearRequestLog();

        Upload u;
        run(update ? UploadFileMethod::Update : UploadFileMethod::Create, path, fileRecord(name, quint64(content.size()), before), &u);
        QVERIFY(waitFor(u, 10000));
        QCOMPARE(u.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorSuccess)});

        const QJsonObject entry = m_server->requestLog().at(0).toObject();
        QCOMPARE(entry.value("path").toString(), "/" + m_library.tenantId + "/fileupload");
        QCOMPARE(entry.value("httpMethod").toString(), QString("POST"));
        QStringList sent;
        for (const QJsonValue &header : entry.value("headerOrder").toArray()) {
            if (header.toString().startsWith("x-") || header.toString() == "content-type")
                sent << header.toString();
        }
        QCOMPARE(sent, order);

        const QJsonObject h = entry.value("headers").toObject();
        QCOMPARE(h.value("x-id").toString(), QString::number(m_library.id));
        QCOMPARE(h.value("x-state").toString(), state);
        QCOMPARE(h.value("x-length").toString(), QString::number(content.size()));
        QCOMPARE(h.value("x-createdtimefs").toString(), QString("2020-10-08T10:00:00Z"));
        QCOMPARE(h.value("x-modifiedtimefs").toString(), QString("2020-10-08T11:30:05Z"));
        QCOMPARE(h.value("x-conflictpolicy").toString(), QString("RENAME_ON_CONFLICT"));
        QCOMPARE(h.value("content-type").toString(), QString("application/octet-stream"));
        QCOMPARE(h.value("authorization").toString(), "Bearer " + m_server->token());
        if (update) {
            QCOMPARE(h.value("x-method").toString(), QString("update"));
            QCOMPARE(h.value("x-fileid").toString(), before.value("id").toString());
            QCOMPARE(h.value("x-filestate").toString(), before.value("state").toString());
        } else {
            QCOMPARE(h.value("x-method").toString(), QString("create"));
            QCOMPARE(h.value("x-parentid").toString(), QString::number(m_library.id));
            QCOMPARE(h.value("x-filename").toString().toLatin1(), name.toUtf8().toBase64());
        }
        QCOMPARE(m_server->treeItem(m_library, name).value("contentHash").toString(), QString::fromLatin1(sha1Hex(content)));
        QCOMPARE(m_server->treeItem(m_library, name).value("modifiedTime").toString(), QString("2020-10-08T11:30:05Z"));
    }

    void quotaRefusalStopsBeforeTheBody()
    {
        const QString path = writeLocalFile("quota.bin", QByteArray(102400, 'q'));
        QCOMPARE(m_server->admin("PATCH", "/admin/tenants/" + m_library.tenantId, {{"quota", 1000}}).status, 200);
        m_server->clearRequestLog();
        Upload u;
        run(UploadFileMethod::Create, path, fileRecord("quota.bin", 102400), &u);
        QVERIFY(waitFor(u, 10000));
        QCOMPARE(m_server->admin("PATCH", "/admin/tenants/" + m_library.tenantId, {{"quota", QJsonValue::Null}}).status, 200);

        QCOMPARE(u.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::QuotaExceeded)});
        QCOMPARE(u.finishedErrors, u.completed);
        QVERIFY(m_log->contains("CUploadSyncFileRequest::canUploadFileFinishedSlot: unable to upload file, error:"));
        QCOMPARE(requestKinds(m_server->requestLog()), QStringList{"jsonrpc FileSync.canCreateFile"});
        QVERIFY(m_server->treeItem(m_library, "quota.bin").isEmpty());
    }

    // A success must name the stored file; anything less would later read as a server-side deletion.
    void answersWithoutAFileAreErrors_data()
    {
        QTest::addColumn<QString>("body");
        QTest::newRow("empty body") << "";
        QTest::newRow("not JSON") << "<html>ok</html>";
        QTest::newRow("result without file id") << "{\"jsonrpc\":\"2.0\",\"result\":{\"state\":\"s\"}}";
    }
    void answersWithoutAFileAreErrors()
    {
        QFETCH(QString, body);
        const QString path = writeLocalFile("answer.bin", "content");
        m_server->addFault({{"type", "httpStatus"}, {"endpoint", "upload"}, {"status", 200}, {"body", body}});
        Upload u;
        run(UploadFileMethod::Create, path, fileRecord("answer.bin", 7), &u);
        QVERIFY(waitFor(u, 10000));
        QCOMPARE(u.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorInternal)});
    }

    void cancelWhileAskingStopsTheUpload()
    {
        const QString path = writeLocalFile("cancel.bin", QByteArray(102400, 'c'));
        m_server->addFault({{"type", "delay"}, {"method", "FileSync.canCreateFile"}, {"ms", 1000}});
        m_server->clearRequestLog();
        Upload u;
        QPointer<CUploadSyncFileRequest> request = run(UploadFileMethod::Create, path, fileRecord("cancel.bin", 102400), &u);
        QTimer::singleShot(200, request, &CUploadSyncFileRequest::cancelUpload);
        QVERIFY(waitFor(u, 10000));
        QCOMPARE(u.completed.size(), 1);
        QVERIFY(!u.completed.first().isSuccess());
        QTest::qWait(1500);
        QCOMPARE(requestKinds(m_server->requestLog()), QStringList{"jsonrpc FileSync.canCreateFile"});
        QVERIFY(m_server->treeItem(m_library, "cancel.bin").isEmpty());
    }

    void answerFlags()
    {
        addServerFile("taken.txt", {{"content", "theirs"}});
        const QString path = writeLocalFile("taken.txt", "mine");
        Upload renamed;
        run(UploadFileMethod::Create, path, fileRecord("taken.txt", 4), &renamed);
        QVERIFY(waitFor(renamed, 10000));
        QCOMPARE(renamed.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorSuccess)});
        QCOMPARE(renamed.response.filename, QString("taken (2).txt"));
        QCOMPARE(renamed.response.conflicted, true);
        QCOMPARE(renamed.response.changeDropped, false);
        QCOMPARE(renamed.response.avCheck, true);
        QCOMPARE(m_server->treeItem(m_library, "taken.txt").value("contentHash").toString(), QString::fromLatin1(sha1Hex("theirs")));

        // The same bytes again as an update: the server keeps the file as it is.
        const QJsonObject copy = m_server->treeItem(m_library, "taken (2).txt");
        Upload same;
        run(UploadFileMethod::Update, path, fileRecord("taken (2).txt", 4, copy), &same);
        QVERIFY(waitFor(same, 10000));
        QCOMPARE(same.response.changeDropped, true);
        QCOMPARE(same.response.conflicted, false);
        QCOMPARE(same.response.fileState, copy.value("state").toString());
    }

    void antivirusAlert_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<bool>("virusFound");
        QTest::newRow("infected content") << QJsonObject() << true;
        QTest::newRow("scanner failed") << QJsonObject{{"message", "Scanner unavailable"}} << false;
        QTest::newRow("message in other letter case") << QJsonObject{{"message", "avvirusfound: eicar"}} << false;
    }

    void antivirusAlert()
    {
        QFETCH(QJsonObject, fault);
        QFETCH(bool, virusFound);
        if (!fault.isEmpty()) {
            fault["type"] = "rpcError";
            fault["endpoint"] = "upload";
            fault["fullName"] = "brindlex.AntivirusAlert";
            m_server->addFault(fault);
        }
        const QString name = QString("av %1.txt").arg(QTest::currentDataTag());
        const QString path = writeLocalFile(name, "harmless BX-AV-TEST-SIGNATURE text");
        Upload u;
        run(UploadFileMethod::Create, path, fileRecord(name, 34), &u);
        QVERIFY(waitFor(u, 10000));
        QCOMPARE(u.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::AntivirusAlert)});
        QCOMPARE(u.response.avVirusFound, virusFound);
        QVERIFY(m_server->treeItem(m_library, name).isEmpty());
    }

    void tokenErrorsInTheAnswer_data()
    {
        QTest::addColumn<QString>("fullName");
        QTest::addColumn<bool>("renewed");
        QTest::newRow("session expired: token renewed") << "brindlex.SessionExpired" << true;
        QTest::newRow("invalid access token: reported as it is") << "brindlex.InvalidAccessToken" << false;
    }

    void tokenErrorsInTheAnswer()
    {
        QFETCH(QString, fullName);
        QFETCH(bool, renewed);
        m_server->addFault({{"type", "rpcError"}, {"endpoint", "upload"}, {"fullName", fullName}});
        QSignalSpy askedForSession(m_session.data(), &CUserSession::invalidAccessTokenSignal);
        const QString path = writeLocalFile("token.txt", "token");
        Upload u;
        run(UploadFileMethod::Create, path, fileRecord("token.txt", 5), &u);
        QVERIFY(waitFor(u, 10000));
        QTest::qWait(50);
        QCOMPARE(u.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::InvalidAccessToken)});
        QCOMPARE(u.finishedErrors.size(), 1);
        QCOMPARE(m_session->getAccessToken().isEmpty(), renewed);
        QCOMPARE(askedForSession.count() > 0, renewed);
    }

    void serverRefusals_data()
    {
        QTest::addColumn<QString>("setUp");
        QTest::addColumn<QString>("error");
        QTest::newRow("read-only library: still denied after the role probe") << "reader" << "api.exceptions.AccessDenied";
        QTest::newRow("library hidden: gone after the role probe") << "none" << "brindlex.ItemNotFound";
        QTest::newRow("unknown tenant: gone") << "tenant" << "brindlex.ItemNotFound";
        QTest::newRow("HTTP 404: gone") << "404" << "brindlex.ItemNotFound";
    }

    void serverRefusals()
    {
        QFETCH(QString, setUp);
        QFETCH(QString, error);
        const QString path = writeLocalFile("refused.txt", "refused");
        SyncLibrary::Ptr library = libraryRecord();
        if (setUp == "reader" || setUp == "none")
            QCOMPARE(m_server->admin("PUT", m_library.path() + "/roles/demo.user", {{"role", setUp == "reader" ? "Reader" : "None"}}).status, 200);
        else if (setUp == "tenant")
            library->TenantId = "no-such-tenant";
        else if (setUp == "404")
            m_server->addFault({{"type", "httpStatus"}, {"endpoint", "upload"}, {"status", 404}});
        Upload u;
        run(UploadFileMethod::Create, path, fileRecord("refused.txt", 7), &u, library);
        QVERIFY(waitFor(u, 15000));
        QCOMPARE(m_server->admin("PUT", m_library.path() + "/roles/demo.user", {{"role", "Admin"}}).status, 200);
        QCOMPARE(u.completed.value(0).errorName, error);
    }

    void vanishedFile_data()
    {
        QTest::addColumn<bool>("deleteWhileSending");
        QTest::newRow("missing when the upload starts") << false;
        QTest::newRow("deleted during a slow upload") << true;
    }

    void vanishedFile()
    {
        QFETCH(bool, deleteWhileSending);
        const int size = 1048576;
        const QString path = deleteWhileSending ? writeLocalFile("vanishing.bin", QByteArray(size, 'v'))
                                                : m_files.path() + "/never-written.bin";
        useConfig("{\"network\":{\"uploadSpeedLimit\":100}}");
        Upload u;
        u.onProgress = [path](qint64 done) {
            if (done > 0 && QFile::exists(path))
                QFile::remove(path);
        };
        run(UploadFileMethod::Create, path, fileRecord("vanishing.bin", quint64(size)), &u);
        QVERIFY(waitFor(u, 15000));
        QCOMPARE(u.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorUnableToOpenFile)});
        if (deleteWhileSending) {
            QVERIFY2(u.lastDone > 0 && u.lastDone < size, qPrintable(QString::number(u.lastDone)));
            QVERIFY(m_log->contains("CShareableFile::readData: unable to open file:"));
        } else {
            QVERIFY(m_log->contains("unable to open input device"));
        }
        QVERIFY(m_server->treeItem(m_library, "vanishing.bin").isEmpty());
    }

    void bodyIsNotReadAfterTheUpload_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<int>("cancelAfterMs"); // 0: to the end
        QTest::newRow("unlimited") << 0 << 0;
        QTest::newRow("paced") << 500 << 0;
        QTest::newRow("paced, cancelled") << 100 << 400;
    }

    void bodyIsNotReadAfterTheUpload()
    {
        QFETCH(int, limit);
        QFETCH(int, cancelAfterMs);
        useConfig(QString("{\"network\":{\"uploadSpeedLimit\":%1}}").arg(limit).toUtf8());
        const int size = 200000;
        const QString path = writeLocalFile("paced.bin", QByteArray(size, 'p'));
        Upload u;
        CUploadSyncFileRequest *request = run(UploadFileMethod::Create, path, fileRecord("paced.bin", quint64(size)), &u);
        if (cancelAfterMs > 0)
            QTimer::singleShot(cancelAfterMs, request, &CWorkspaceServerRequest::cancel);
        QVERIFY(waitFor(u, 15000));
        QCOMPARE(u.completed.first().isSuccess(), cancelAfterMs == 0);
        QTest::qWait(300); // a late read would come from the event loop
        QCOMPARE(m_log->containing(QtWarningMsg, "device not open"), QStringList());
    }

    // 200 MiB go up while the process grows by no more than a few chunks.
    void memoryStaysBounded()
    {
        const qint64 size = 200LL * 1048576;
        const QString path = m_files.path() + "/big.bin";
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(size)); // sparse: reads as zeros, costs no disk
        }
        Upload u;
        u.rssBefore = testsupport::residentMemoryBytes();
        QVERIFY(u.rssBefore > 0);
        run(UploadFileMethod::Create, path, fileRecord("big.bin", quint64(size)), &u);
        QVERIFY(waitFor(u, 60000));
        QFile::remove(path);
        QCOMPARE(u.completed, QList<ErrorCode>{ErrorCode(ServerApiErrorCode::ErrorSuccess)});
        QCOMPARE(u.lastDone, size);
        const qint64 growth = u.rssPeak - u.rssBefore;
        qInfo("resident memory grew by %.1f MiB during a %lld MiB upload", growth / 1048576.0, size / 1048576);
        QVERIFY2(growth < 24 * 1048576, qPrintable(QString("grew by %1 bytes").arg(growth)));
    }

private:
    QSharedPointer<CUserSession> freshSession() const
    {
        QSharedPointer<CUserSession> session(new CUserSession());
        session->assign(CUserSessionJsonObject(m_server->sessionJson(m_server->token())));
        return session;
    }

    void useConfig(const QByteArray &json)
    {
        QFile file(m_config.path() + "/bxsync_cfg.json");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(json);
        file.close();
        CConfig::setInstance(QSharedPointer<CConfig>(new CConfig(m_config.path())));
    }

    QString writeLocalFile(const QString &name, const QByteArray &content)
    {
        const QString path = m_files.path() + "/" + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            qWarning() << "writeLocalFile failed:" << path;
        return path;
    }

    QJsonObject addServerFile(const QString &path, QJsonObject fields)
    {
        fields["path"] = path;
        const ReferenceServer::Reply reply = m_server->admin("POST", m_library.path() + "/files", fields);
        if (reply.status != 201)
            qWarning() << "addServerFile refused:" << reply.json.toJson();
        return m_server->treeItem(m_library, path);
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
        file->LibraryClientId = 1;
        file->ParentClientId = 1;
        file->ClientName = name;
        file->Size = size;
        file->CreatedTime = kCreated;
        file->UpdatedTime = kModified;
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
        connect(request, &CUploadSyncFileRequest::fileUploadInfoSignal, this, [u](ItemId, qint64 done, qint64 total) {
            u->lastDone = done;
            u->lastTotal = total;
            if (u->rssBefore > 0)
                u->rssPeak = qMax(u->rssPeak, testsupport::residentMemoryBytes());
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
