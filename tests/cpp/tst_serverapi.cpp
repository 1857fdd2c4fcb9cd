#include "AccessRights.h"
#include "AppStatusController.h"
#include "ReferenceServer.h"
#include "ServerApi.h"
#include "main.h"
#include "TestMain.h"
#include "UserSessionController.h"

#include <QJsonArray>
#include <QSignalSpy>

using testsupport::ReferenceServer;
using namespace brindlex;

namespace {

SyncLibrary::Ptr makeLibrary(quint64 clientId, quint64 serverId, const QString &tenantId)
{
    SyncLibrary::Ptr library(new SyncLibrary());
    library->ClientId = clientId;
    library->ServerId = serverId;
    library->TenantId = tenantId;
    library->ServerName = "Lib";
    return library;
}

// Everything a request reported, kept past the request's own life.
template<typename Response>
struct Reported
{
    int count = 0;
    ErrorCode error;
    Response response;
};

template<typename Request, typename Response>
void listen(Request *request, Reported<Response> *reported)
{
    QObject::connect(request, &Request::finishedSignal, [reported](ErrorCode error, Response response) {
        ++reported->count;
        reported->error = error;
        reported->response = response;
    });
}

} // namespace

class TestServerApi : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_server.reset(new ReferenceServer());
        QVERIFY(m_server->isRunning());
        m_server->trustCa();
        m_sessions = m_server->signIn();
        QVERIFY(m_sessions->getUserSession()->isValid());
        setUpServerLibrary();
    }

    void cleanup() { QCOMPARE(m_server->takeViolations(), QStringList()); }

    void cleanupTestCase()
    {
        m_sessions.reset();
        CNetworkAccessManager::deleteInstanceForCurrentThread();
    }

    void envelopes_data()
    {
        QTest::addColumn<QObject *>("request");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("params");
        const auto session = QSharedPointer<CUserSession>(new CUserSession());
        const SyncLibrary::ConstPtr lib = makeLibrary(7, 42, "t1");
        const QString app = "/api/app/jsonrpc?method=";
        QTest::newRow("getRole") << (QObject *)new Items::CItemsGetRoleRequest(session, lib, "t1", 42)
                                 << app + "Items.getRole&tenantId=t1" << "{\"tenantId\":\"t1\",\"itemId\":\"42\"}";
        QTest::newRow("getRole without library") << (QObject *)new Items::CItemsGetRoleRequest(session, "t1", 9)
                                                 << app + "Items.getRole" << "{\"tenantId\":\"t1\",\"itemId\":\"9\"}";
        QTest::newRow("getHierarchy") << (QObject *)new FileSync::CFileSyncGetHierarchyRequest(session, lib, "t1", 42)
                                      << app + "FileSync.getHierarchy&tenantId=t1" << "{\"tenantId\":\"t1\",\"id\":\"42\"}";
        QTest::newRow("mkDir") << (QObject *)new FileSync::CFileSyncMkDirRequest(session, lib, "s1", "t1", 42, "New \"dir\"", 43)
                               << app + "FileSync.mkDir&tenantId=t1"
                               << "{\"state\":\"s1\",\"tenantId\":\"t1\",\"id\":\"42\",\"folderName\":\"New \\\"dir\\\"\",\"parentId\":\"43\"}";
        QTest::newRow("rmDir") << (QObject *)new FileSync::CFileSyncRmDirRequest(session, lib, "s1", "t1", 42, 44)
                               << app + "FileSync.rmDir&tenantId=t1" << "{\"state\":\"s1\",\"tenantId\":\"t1\",\"id\":\"42\",\"folderId\":\"44\"}";
        QTest::newRow("removeFile") << (QObject *)new FileSync::CFileSyncRemoveFileRequest(session, lib, "s1", "t1", 42, "f1", 45)
                                    << app + "FileSync.removeFile&tenantId=t1"
                                    << "{\"state\":\"s1\",\"tenantId\":\"t1\",\"id\":\"42\",\"fileState\":\"f1\",\"fileId\":\"45\"}";
        QTest::newRow("rename") << (QObject *)new FileSync::CFileSyncRenameRequest(session, lib, "s1", "t1", 42, 45, "b.txt")
                                << app + "FileSync.rename&tenantId=t1"
                                << "{\"state\":\"s1\",\"tenantId\":\"t1\",\"id\":\"42\",\"fileId\":\"45\",\"newName\":\"b.txt\"}";
        QTest::newRow("move") << (QObject *)new FileSync::CFileSyncMoveRequest(session, lib, "s1", "t1", 42, 45, 46)
                              << app + "FileSync.move&tenantId=t1"
                              << "{\"state\":\"s1\",\"tenantId\":\"t1\",\"id\":\"42\",\"fileId\":\"45\",\"newParentId\":\"46\"}";
        QTest::newRow("getFile") << (QObject *)new FileSync::CFileSyncGetFileRequest(session, lib, "t1", 45)
                                 << app + "FileSync.getFile&tenantId=t1" << "{\"tenantId\":\"t1\",\"fileId\":\"45\"}";
        QTest::newRow("getWatcherAuthenticationToken")
            << (QObject *)new FileSync::CFileSyncGetWatcherAuthenticationTokenRequest(session, lib, "t1", 42)
            << app + "FileSync.getWatcherAuthenticationToken&tenantId=t1" << "{\"tenantId\":\"t1\",\"id\":\"42\"}";
        QTest::newRow("canCreateFile")
            << (QObject *)new FileSync::CFileSyncCanCreateFileRequest(session, lib, "t1", 42, "s1", 43, "a.txt", 9000000000, RenameOnConflict)
            << app + "FileSync.canCreateFile&tenantId=t1"
            << "{\"tenantId\":\"t1\",\"id\":\"42\",\"state\":\"s1\",\"parentId\":\"43\",\"filename\":\"a.txt\",\"fileSize\":\"9000000000\",\"conflictPolicy\":\"RENAME_ON_CONFLICT\"}";
        QTest::newRow("canUpdateFile")
            << (QObject *)new FileSync::CFileSyncCanUpdateFileRequest(session, lib, "t1", 42, "s1", 45, "f1", 10, RenameOnConflict)
            << app + "FileSync.canUpdateFile&tenantId=t1"
            << "{\"tenantId\":\"t1\",\"id\":\"42\",\"state\":\"s1\",\"fileId\":\"45\",\"fileState\":\"f1\",\"fileSize\":\"10\",\"conflictPolicy\":\"RENAME_ON_CONFLICT\"}";
        watcher::api::shared::WatchedItem item{"s1", "wat1", {42, "t1"}};
        auto *watch = new watcher::api::Watcher::CWatcherWatchRequest(ServerAddress("w.example"), {item}, 300);
        watch->method().excludeParam("timeout");
        QTest::newRow("watch") << (QObject *)watch << "/api/watcher/jsonrpc?method=Watcher.watch"
                               << "{\"watchItems\":[{\"state\":\"s1\",\"watcherAuthenticationToken\":\"wat1\",\"id\":{\"itemId\":\"42\",\"tenantId\":\"t1\"}}]}";
    }

    void envelopes()
    {
        QFETCH(QObject *, request);
        QFETCH(QString, path);
        QFETCH(QString, params);
        QScopedPointer<CJsonRpcRequest> call(qobject_cast<CJsonRpcRequest *>(request));
        QCOMPARE(call->method().path(), path);
        const QJsonObject envelope = QJsonDocument::fromJson(call->method().envelope(600000)).object();
        QCOMPARE(envelope.value("jsonrpc").toString(), QString("2.0"));
        QCOMPARE(envelope.value("id").toInt(), 600000);
        QCOMPARE(envelope.value("method").toString(), path.section("method=", 1).section('&', 0, 0));
        // Exact text, so that key order and the decimal strings are checked too.
        const QByteArray body = call->method().envelope(5);
        QVERIFY2(body.endsWith(",\"params\":" + params.toUtf8() + "}"), body.constData());
        QVERIFY(body.startsWith("{\"method\":\""));
    }

    void envelopeWithoutParams()
    {
        CJsonRpcMethod method(CJsonRpcMethod::kApplicationUrl, QString(), "Some.method");
        QCOMPARE(method.envelope(1), QByteArray("{\"method\":\"Some.method\",\"id\":1,\"jsonrpc\":\"2.0\"}"));
        method.addParam("timeout", 5);
        method.excludeParam("timeout");
        QCOMPARE(method.envelope(1), QByteArray("{\"method\":\"Some.method\",\"id\":1,\"jsonrpc\":\"2.0\"}"));
        for (int i = 0; i < 1000; ++i) {
            const int id = CJsonRpcMethod::nextRequestId();
            QVERIFY(id >= 0 && id <= 600000);
        }
    }

    void responseParsing_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("hasError");
        QTest::addColumn<QString>("errorName");
        QTest::newRow("empty result") << QByteArray("{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}") << false << "dc.ErrorSuccess";
        QTest::newRow("full name") << QByteArray("{\"error\":{\"fullName\":\"brindlex.StateOutOfDate\",\"code\":1}}") << true << "brindlex.StateOutOfDate";
        QTest::newRow("unknown full name kept") << QByteArray("{\"error\":{\"fullName\":\"brindlex.Weird\"}}") << true << "brindlex.Weird";
        QTest::newRow("code only") << QByteArray("{\"error\":{\"code\":-32105}}") << true << "brindlex.InvalidAccessToken";
        QTest::newRow("code as text") << QByteArray("{\"error\":{\"code\":\"6016\"}}") << true << "brindlex.QuotaExceeded";
        QTest::newRow("neither") << QByteArray("{\"error\":{\"message\":\"x\"}}") << true << "dc.ErrorUnknown";
        QTest::newRow("no JSON") << QByteArray("<html>oops</html>") << true << "dc.ErrorInternal";
        QTest::newRow("no body") << QByteArray() << true << "dc.ErrorInternal";
    }

    void responseParsing()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, hasError);
        QFETCH(QString, errorName);
        const FileSync::CFileSyncMkDirResponse response(body);
        QCOMPARE(response.hasError, hasError);
        QCOMPARE(response.error.errorName, errorName);
        QCOMPARE(response.newState, QString());
        QCOMPARE(response.newFolderId, qint64(0));
    }

    void integerFields_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("number") << QByteArray("123") << qint64(123);
        QTest::newRow("text") << QByteArray("\"123\"") << qint64(123);
        QTest::newRow("fraction truncated") << QByteArray("12.9") << qint64(12);
        QTest::newRow("bool") << QByteArray("true") << qint64(0);
        QTest::newRow("not a number") << QByteArray("\"12a\"") << qint64(0);
        QTest::newRow("big text") << QByteArray("\"9007199254740993\"") << qint64(9007199254740993LL);
    }

    void integerFields()
    {
        QFETCH(QByteArray, value);
        QFETCH(qint64, expected);
        const FileSync::CFileSyncGetWatcherAuthenticationTokenResponse response(
            "{\"result\":{\"wat\":\"w\",\"state\":\"s\",\"tenantId\":\"t\",\"watcherHostname\":\"h\",\"changedId\":" + value + "}}");
        QCOMPARE(response.changedId, expected);
        QCOMPARE(response.wat, QString("w"));
    }

    void roles()
    {
        QCOMPARE(Items::CItemsGetRoleResponse("{\"result\":{\"role\":\"Editor\"}}").role, RoleEditor);
        QCOMPARE(Items::CItemsGetRoleResponse("{\"result\":{\"role\":\"None\"}}").role, RoleNone);
        QTest::ignoreMessage(QtCriticalMsg, "brindlex::roleFromString: unknown enum string: \"reader\"");
        QCOMPARE(Items::CItemsGetRoleResponse("{\"result\":{\"role\":\"reader\"}}").role, RoleUnknown);
        QTest::ignoreMessage(QtCriticalMsg, "brindlex::conflictPolicyToString: unknown enum value: 9");
        QCOMPARE(conflictPolicyToString(9), QString("ConflictPolicyUnknown"));
    }

    void probeVerdicts_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("role");
        QTest::addColumn<int>("verdict");
        QTest::newRow("reader") << int(ServerApiErrorCode::ErrorSuccess) << int(RoleReader) << int(ServerApiErrorCode::AccessDenied);
        QTest::newRow("none") << int(ServerApiErrorCode::ErrorSuccess) << int(RoleNone) << int(ServerApiErrorCode::ItemNotFound);
        QTest::newRow("editor") << int(ServerApiErrorCode::ErrorSuccess) << int(RoleEditor) << int(ServerApiErrorCode::ErrorSuccess);
        QTest::newRow("denied") << int(ServerApiErrorCode::AccessDenied) << int(RoleUnknown) << int(ServerApiErrorCode::ItemNotFound);
        QTest::newRow("gone") << int(ServerApiErrorCode::ItemNotFound) << int(RoleUnknown) << int(ServerApiErrorCode::ItemNotFound);
        QTest::newRow("other") << int(ServerApiErrorCode::ErrorHostNotFound) << int(RoleUnknown) << int(ServerApiErrorCode::ErrorHostNotFound);
    }

    void probeVerdicts()
    {
        QFETCH(int, error);
        QFETCH(int, role);
        QFETCH(int, verdict);
        QCOMPARE(int(CAccessRightsInterrogator::verdictFor(ServerApiErrorCode::ErrorEnum(error), Role(role)).errorEnum), verdict);
    }

    // Against the reference server.
    void callsSucceedWithResultFields()
    {
        Reported<FileSync::CFileSyncGetWatcherAuthenticationTokenResponse> wat;
        auto *request = new FileSync::CFileSyncGetWatcherAuthenticationTokenRequest(session(), m_library, m_tenant, m_libraryServerId);
        listen(request, &wat);
        request->exec();
        QTRY_COMPARE_WITH_TIMEOUT(wat.count, 1, 10000);
        QVERIFY2(wat.error.isSuccess(), qPrintable(wat.error.errorName));
        QVERIFY(!wat.response.wat.isEmpty());
        QVERIFY(!wat.response.state.isEmpty());
        QCOMPARE(wat.response.tenantId, m_tenant);
        QCOMPARE(wat.response.customItem.serverId, qint64(m_libraryServerId));

        Reported<FileSync::CFileSyncMkDirResponse> mkdir;
        auto *mk = new FileSync::CFileSyncMkDirRequest(session(), m_library, wat.response.state, m_tenant, m_libraryServerId,
                                                       "Created by test", m_libraryServerId);
        listen(mk, &mkdir);
        mk->exec();
        QTRY_COMPARE_WITH_TIMEOUT(mkdir.count, 1, 10000);
        QVERIFY2(mkdir.error.isSuccess(), qPrintable(mkdir.error.errorName));
        QVERIFY(mkdir.response.newFolderId > 0);
        QVERIFY(!mkdir.response.newState.isEmpty());
        QVERIFY(mkdir.response.newState != wat.response.state);

        // The old state is out of date now.
        Reported<FileSync::CFileSyncMkDirResponse> stale;
        auto *again = new FileSync::CFileSyncMkDirRequest(session(), m_library, wat.response.state, m_tenant, m_libraryServerId,
                                                          "Another", m_libraryServerId);
        listen(again, &stale);
        again->exec();
        QTRY_COMPARE_WITH_TIMEOUT(stale.count, 1, 10000);
        QCOMPARE(stale.error.errorName, QString("brindlex.StateOutOfDate"));
        QTest::qWait(50);
        QCOMPARE(stale.count, 1);
    }

    void hierarchyArrivesAsRecords()
    {
        Reported<FileSync::CFileSyncGetHierarchyResponse> got;
        auto *request = new FileSync::CFileSyncGetHierarchyRequest(session(), m_library, m_tenant, m_libraryServerId);
        listen(request, &got);
        request->exec();
        QTRY_COMPARE_WITH_TIMEOUT(got.count, 1, 10000);
        QVERIFY2(got.error.isSuccess(), qPrintable(got.error.errorName));
        QVERIFY(!got.response.wat.isEmpty());
        QVERIFY(!got.response.hierarchy.state.isEmpty());
        QCOMPARE(got.response.hierarchy.id, quint64(m_libraryServerId));
        bool found = false;
        for (const brindlex::File &file : got.response.hierarchy.files) {
            if (qint64(file.id) == m_fileServerId) {
                found = true;
                QCOMPARE(file.fileSize, quint64(5));
                QCOMPARE(file.contentHash, QString("aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d")); // sha1("hello")
            }
        }
        QVERIFY(found);
    }

    void damagedHierarchyIsAnError_data()
    {
        QTest::addColumn<QByteArray>("hierarchy");
        QTest::newRow("files not an array") << QByteArray("{\"id\":\"1\",\"state\":\"s\",\"files\":null,\"folders\":{}}");
        QTest::newRow("entry not an object") << QByteArray("{\"id\":\"1\",\"state\":\"s\",\"files\":[7]}");
        QTest::newRow("deep inside a folder")
            << QByteArray("{\"id\":\"1\",\"state\":\"s\",\"folders\":[{\"id\":\"2\",\"name\":\"a\",\"files\":\"x\"}]}");
    }

    void damagedHierarchyIsAnError()
    {
        QFETCH(QByteArray, hierarchy);
        const FileSync::CFileSyncGetHierarchyResponse response("{\"result\":{\"wat\":\"w\",\"hierarchy\":" + hierarchy + "}}");
        QVERIFY(response.hasError);
        QCOMPARE(response.error.errorName, QString("dc.ErrorInternal"));
        QVERIFY(response.hierarchy.files.isEmpty() && response.hierarchy.folders.isEmpty());

        const FileSync::CFileSyncGetHierarchyResponse intact(
            "{\"result\":{\"hierarchy\":{\"id\":\"1\",\"state\":\"s\",\"files\":[],\"folders\":[]}}}");
        QVERIFY(!intact.hasError);
    }

    void oversizedBodiesAreLeftToTheStreamingReader()
    {
        // A valid document padded with blanks to the exact limit is still read whole; one byte more is not.
        QByteArray body = "{\"result\":{\"newState\":\"s\"}}";
        body.append(QByteArray(CJsonResponse::kMaxDocumentSize - body.size(), ' '));
        QCOMPARE(FileSync::CFileSyncRmDirResponse(body).newState, QString("s"));
        body.append(' ');
        const FileSync::CFileSyncRmDirResponse tooLarge(body);
        QVERIFY(tooLarge.hasError);
        QCOMPARE(tooLarge.error.errorName, QString("dc.ErrorInternal"));
        QCOMPARE(tooLarge.data.size(), CJsonResponse::kMaxDocumentSize + 1);
    }

    void tokenRenewalEndsInInvalidAccessToken_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::newRow("session expired by name") << QJsonObject{{"type", "rpcError"}, {"fullName", "brindlex.SessionExpired"}};
        QTest::newRow("invalid access token by code only")
            << QJsonObject{{"type", "rpcError"}, {"fullName", "brindlex.InvalidAccessToken"}, {"code", -32105}};
    }

    void tokenRenewalEndsInInvalidAccessToken()
    {
        QFETCH(QJsonObject, fault);
        fault["method"] = "FileSync.getFile";
        m_server->addFault(fault);
        QSignalSpy hostRequests(m_sessions.data(), &CUserSessionController::requestNewUserSessionSignal);
        Reported<FileSync::CFileSyncGetFileResponse> got;
        auto *request = new FileSync::CFileSyncGetFileRequest(session(), m_library, m_tenant, m_fileServerId);
        listen(request, &got);
        request->exec();
        QTRY_COMPARE_WITH_TIMEOUT(got.count, 1, 10000);
        QCOMPARE(got.error.errorName, QString("brindlex.InvalidAccessToken"));
        QCOMPARE(session()->getAccessToken(), QString());
        QTRY_COMPARE(hostRequests.count(), 1);
        QTest::qWait(50);
        QCOMPARE(got.count, 1);
        QCOMPARE(hostRequests.count(), 1);
        restoreSession();
    }

    void accessDeniedIsRefinedByTheRole_data()
    {
        QTest::addColumn<QString>("role");
        QTest::addColumn<QString>("expected");
        QTest::newRow("Reader: still denied") << "Reader" << "api.exceptions.AccessDenied";
        QTest::newRow("None: gone") << "None" << "brindlex.ItemNotFound";
        QTest::newRow("Editor: allowed now") << "Editor" << "dc.ErrorSuccess";
    }

    void accessDeniedIsRefinedByTheRole()
    {
        QFETCH(QString, role);
        QFETCH(QString, expected);
        QCOMPARE(m_server->admin("PUT", libraryPath() + "/roles/demo.user", {{"role", role}}).status, 200);
        // Editors may rename; the refusal is injected so that the probe's answer decides.
        m_server->addFault({{"type", "rpcError"}, {"fullName", "api.exceptions.AccessDenied"}, {"method", "FileSync.rename"}});
        Reported<FileSync::CFileSyncRenameResponse> renamed;
        auto *request = new FileSync::CFileSyncRenameRequest(session(), m_library, "any-state", m_tenant, m_libraryServerId,
                                                             m_fileServerId, "renamed.txt");
        listen(request, &renamed);
        request->exec();
        QTRY_COMPARE_WITH_TIMEOUT(renamed.count, 1, 15000);
        QCOMPARE(renamed.error.errorName, expected);
        const QJsonArray roleCalls = m_server->admin("GET", "/admin/log?method=Items.getRole").array();
        QVERIFY(!roleCalls.isEmpty());
        QCOMPARE(roleCalls.last().toObject().value("query").toObject().contains("tenantId"), false);
        QCOMPARE(m_server->admin("PUT", libraryPath() + "/roles/demo.user", {{"role", "Admin"}}).status, 200);
    }

    void accessProbeThatEndsAtOnceStillReports_data()
    {
        QTest::addColumn<bool>("shuttingDown");
        QTest::addColumn<QString>("expected");
        QTest::newRow("session cleared meanwhile") << false << "brindlex.InvalidAccessToken";
        QTest::newRow("shutting down meanwhile") << true << "dc.ErrorOperationCancelled";
    }

    void accessProbeThatEndsAtOnceStillReports()
    {
        QFETCH(bool, shuttingDown);
        QFETCH(QString, expected);
        m_server->addFault({{"type", "rpcError"}, {"fullName", "api.exceptions.AccessDenied"}, {"method", "FileSync.rename"}});
        Reported<FileSync::CFileSyncRenameResponse> renamed;
        auto *request = new FileSync::CFileSyncRenameRequest(session(), m_library, "any-state", m_tenant, m_libraryServerId,
                                                             m_fileServerId, "renamed.txt");
        listen(request, &renamed);
        request->exec();
        // Before the refusal arrives: the role call then cannot even be sent.
        if (shuttingDown)
            appstate::setShuttingDown(true);
        else
            session()->clearAccessToken();
        QTRY_COMPARE_WITH_TIMEOUT(renamed.count, 1, 15000);
        appstate::setShuttingDown(false);
        QCOMPARE(renamed.error.errorName, expected);
        QTest::qWait(50);
        QCOMPARE(renamed.count, 1);
        restoreSession();
    }

    void accessDeniedWithoutLibraryIsNotRefined()
    {
        m_server->addFault({{"type", "rpcError"}, {"fullName", "api.exceptions.AccessDenied"}, {"method", "Items.getRole"}});
        Reported<Items::CItemsGetRoleResponse> got;
        auto *request = new Items::CItemsGetRoleRequest(session(), m_tenant, qint64(m_libraryServerId));
        listen(request, &got);
        request->exec();
        QTRY_COMPARE_WITH_TIMEOUT(got.count, 1, 10000);
        QCOMPARE(got.error.errorName, QString("api.exceptions.AccessDenied"));
    }

    void unknownTenantIsItemNotFound()
    {
        const SyncLibrary::ConstPtr ghost = makeLibrary(99, m_libraryServerId, "no-such-tenant");
        Reported<FileSync::CFileSyncGetHierarchyResponse> got;
        auto *request = new FileSync::CFileSyncGetHierarchyRequest(session(), ghost, "no-such-tenant", m_libraryServerId);
        listen(request, &got);
        request->exec();
        QTRY_COMPARE_WITH_TIMEOUT(got.count, 1, 10000);
        QCOMPARE(got.error.errorName, QString("brindlex.ItemNotFound"));
        QCOMPARE(got.response.error.errorName, QString("brindlex.TenantNotFound"));
    }

    void invalidSessionSendsNothing()
    {
        m_server->clearRequestLog();
        QSharedPointer<CUserSession> empty(new CUserSession());
        Reported<FileSync::CFileSyncGetFileResponse> got;
        auto *request = new FileSync::CFileSyncGetFileRequest(empty, m_library, m_tenant, m_fileServerId);
        listen(request, &got);
        request->exec();
        QCOMPARE(got.count, 1);
        QCOMPARE(got.error.errorName, QString("brindlex.InvalidAccessToken"));
        QTest::qWait(50);
        QCOMPARE(m_server->requestLog().size(), 0);
    }

private:
    QSharedPointer<CUserSession> session() const { return m_sessions->getUserSession(); }

    void restoreSession()
    {
        // A different text, so the controller does not take it for a repeat.
        m_sessions->setUserSession(m_server->sessionJson(m_server->token()) + QString(++m_restores, ' '));
        QVERIFY(session()->isValid());
    }

    QString libraryPath() const
    {
        return "/admin/tenants/" + m_tenant + "/libraries/" + QString::number(m_libraryServerId);
    }

    void setUpServerLibrary()
    {
        m_tenant = "api-test";
        m_libraryServerId = m_server->createLibrary(m_tenant).id;
        QVERIFY(m_libraryServerId > 0);
        const QJsonObject file = m_server->admin("POST", libraryPath() + "/files", {{"path", "a.txt"}, {"content", "hello"}}).object();
        m_fileServerId = file.value("id").toString().toLongLong();
        QVERIFY(m_fileServerId > 0);
        m_library = makeLibrary(5, m_libraryServerId, m_tenant);
    }

    QScopedPointer<ReferenceServer> m_server;
    QSharedPointer<CUserSessionController> m_sessions;
    QString m_tenant;
    quint64 m_libraryServerId = 0;
    qint64 m_fileServerId = 0;
    SyncLibrary::ConstPtr m_library;
    int m_restores = 0;
};

BXSYNC_TEST_MAIN(TestServerApi)
#include "tst_serverapi.moc"
