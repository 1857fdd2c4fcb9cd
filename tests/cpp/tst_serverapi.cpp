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

// Sends the request; what it reported, shared with it.
template<typename Response, typename Request>
QSharedPointer<Reported<Response>> start(Request *request)
{
    const auto reported = QSharedPointer<Reported<Response>>::create();
    QObject::connect(request, &Request::finishedSignal, [reported](ErrorCode error, Response response) {
        ++reported->count;
        reported->error = error;
        reported->response = response;
    });
    request->exec();
    return reported;
}

// The same, running the event loop until the request reports.
template<typename Response, typename Request>
QSharedPointer<Reported<Response>> exec(Request *request, int waitMs = 10000)
{
    const auto reported = start<Response>(request);
    QTest::qWaitFor([&] { return reported->count > 0; }, waitMs);
    return reported;
}

} // namespace

class TestServerApi : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_server.reset(new ReferenceServer());
        QVERIFY(m_server->runningAndTrusted());
        m_sessions = m_server->signIn();
        QVERIFY(m_sessions->getUserSession()->isValid());
        m_lib = m_server->createLibrary("api-test");
        m_fileServerId = m_server->addFile(m_lib, "a.txt", {{"content", "hello"}}).value("id").toString().toLongLong();
        QVERIFY(m_fileServerId > 0);
        m_library = makeLibrary(5, m_lib.id, m_lib.tenantId);
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
        using namespace FileSync;
        const auto row = [](const char *method, QObject *request, const QString &params, const QString &query = "&tenantId=t1") {
            QTest::newRow(query.isEmpty() ? "without library" : method) << request << QString("/api/app/jsonrpc?method=") + method + query << params;
        };
        row("Items.getRole", new Items::CItemsGetRoleRequest(session, lib, "t1", 42), R"({"tenantId":"t1","itemId":"42"})");
        row("Items.getRole", new Items::CItemsGetRoleRequest(session, "t1", 9), R"({"tenantId":"t1","itemId":"9"})", "");
        row("FileSync.getHierarchy", new CFileSyncGetHierarchyRequest(session, lib, "t1", 42), R"({"tenantId":"t1","id":"42"})");
        row("FileSync.mkDir", new CFileSyncMkDirRequest(session, lib, "s1", "t1", 42, "New \"dir\"", 43),
            "{\"state\":\"s1\",\"tenantId\":\"t1\",\"id\":\"42\",\"folderName\":\"New \\\"dir\\\"\",\"parentId\":\"43\"}");
        row("FileSync.rmDir", new CFileSyncRmDirRequest(session, lib, "s1", "t1", 42, 44), R"({"state":"s1","tenantId":"t1","id":"42","folderId":"44"})");
        row("FileSync.removeFile", new CFileSyncRemoveFileRequest(session, lib, "s1", "t1", 42, "f1", 45),
            R"({"state":"s1","tenantId":"t1","id":"42","fileState":"f1","fileId":"45"})");
        row("FileSync.rename", new CFileSyncRenameRequest(session, lib, "s1", "t1", 42, 45, "b.txt"),
            R"({"state":"s1","tenantId":"t1","id":"42","fileId":"45","newName":"b.txt"})");
        row("FileSync.move", new CFileSyncMoveRequest(session, lib, "s1", "t1", 42, 45, 46),
            R"({"state":"s1","tenantId":"t1","id":"42","fileId":"45","newParentId":"46"})");
        row("FileSync.getFile", new CFileSyncGetFileRequest(session, lib, "t1", 45), R"({"tenantId":"t1","fileId":"45"})");
        row("FileSync.getWatcherAuthenticationToken", new CFileSyncGetWatcherAuthenticationTokenRequest(session, lib, "t1", 42),
            R"({"tenantId":"t1","id":"42"})");
        row("FileSync.canCreateFile", new CFileSyncCanCreateFileRequest(session, lib, "t1", 42, "s1", 43, "a.txt", 9000000000, RenameOnConflict),
            R"({"tenantId":"t1","id":"42","state":"s1","parentId":"43","filename":"a.txt","fileSize":"9000000000","conflictPolicy":"RENAME_ON_CONFLICT"})");
        row("FileSync.canUpdateFile", new CFileSyncCanUpdateFileRequest(session, lib, "t1", 42, "s1", 45, "f1", 10, RenameOnConflict),
            R"({"tenantId":"t1","id":"42","state":"s1","fileId":"45","fileState":"f1","fileSize":"10","conflictPolicy":"RENAME_ON_CONFLICT"})");
        watcher::api::shared::WatchedItem item{"s1", "wat1", {42, "t1"}};
        auto *watch = new watcher::api::Watcher::CWatcherWatchRequest(ServerAddress("w.example"), {item}, 300);
        watch->method().excludeParam("timeout");
        QTest::newRow("watch") << (QObject *)watch << "/api/watcher/jsonrpc?method=Watcher.watch"
                               << R"({"watchItems":[{"state":"s1","watcherAuthenticationToken":"wat1","id":{"itemId":"42","tenantId":"t1"}}]})";
    }

    void envelopes()
    {
        QFETCH(QObject *, request);
        QFETCH(QString, path);
        QFETCH(QString, params);
        QScopedPointer<CJsonRpcRequest> call(qobject_cast<CJsonRpcRequest *>(request));
        QCOMPARE(call->method().path(), path);
        // Exact text, so that key order and the decimal strings are checked too.
        const QString method = path.section("method=", 1).section('&', 0, 0);
        QCOMPARE(QString(call->method().envelope(600000)), R"({"method":")" + method + R"(","id":600000,"jsonrpc":"2.0","params":)" + params + "}");
    }

    void envelopeWithoutParams()
    {
        CJsonRpcMethod method(CJsonRpcMethod::kApplicationUrl, QString(), "Some.method");
        method.addParam("timeout", 5);
        method.excludeParam("timeout");
        QCOMPARE(method.envelope(1), QByteArray(R"({"method":"Some.method","id":1,"jsonrpc":"2.0"})"));
        for (int i = 0; i < 1000; ++i) {
            const int id = CJsonRpcMethod::nextRequestId();
            QVERIFY(id >= 0 && id <= 600000);
        }
    }

    void responseParsing_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("errorName");
        QTest::addColumn<qint64>("changedId");
        const auto result = [](const QByteArray &changedId) {
            return "{\"result\":{\"wat\":\"w\",\"state\":\"s\",\"tenantId\":\"t\",\"watcherHostname\":\"h\",\"changedId\":" + changedId + "}}";
        };
        const QString success = "dc.ErrorSuccess";
        QTest::newRow("empty result") << QByteArray("{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}") << success << qint64(0);
        QTest::newRow("number") << result("123") << success << qint64(123);
        QTest::newRow("text") << result("\"123\"") << success << qint64(123);
        QTest::newRow("fraction truncated") << result("12.9") << success << qint64(12);
        QTest::newRow("bool") << result("true") << success << qint64(0);
        QTest::newRow("not a number") << result("\"12a\"") << success << qint64(0);
        QTest::newRow("big text") << result("\"9007199254740993\"") << success << qint64(9007199254740993LL);
        QTest::newRow("full name") << QByteArray("{\"error\":{\"fullName\":\"brindlex.StateOutOfDate\",\"code\":1}}") << "brindlex.StateOutOfDate" << qint64(0);
        QTest::newRow("unknown full name kept") << QByteArray("{\"error\":{\"fullName\":\"brindlex.Weird\"}}") << "brindlex.Weird" << qint64(0);
        QTest::newRow("code only") << QByteArray("{\"error\":{\"code\":-32105}}") << "brindlex.InvalidAccessToken" << qint64(0);
        QTest::newRow("code as text") << QByteArray("{\"error\":{\"code\":\"6016\"}}") << "brindlex.QuotaExceeded" << qint64(0);
        QTest::newRow("neither") << QByteArray("{\"error\":{\"message\":\"x\"}}") << "dc.ErrorUnknown" << qint64(0);
        QTest::newRow("no JSON") << QByteArray("<html>oops</html>") << "dc.ErrorInternal" << qint64(0);
        QTest::newRow("no body") << QByteArray() << "dc.ErrorInternal" << qint64(0);
    }

    void responseParsing()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, errorName);
        QFETCH(qint64, changedId);
        const FileSync::CFileSyncGetWatcherAuthenticationTokenResponse response(body);
        QCOMPARE(response.hasError, errorName != "dc.ErrorSuccess");
        QCOMPARE(response.error.errorName, errorName);
        QCOMPARE(response.changedId, changedId);
        QCOMPARE(response.wat, QString(body.contains("\"wat\"") ? "w" : ""));
    }

    void roles()
    {
        QCOMPARE(Items::CItemsGetRoleResponse("{\"result\":{\"role\":\"Editor\"}}").role, RoleEditor);
        QTest::ignoreMessage(QtCriticalMsg, "brindlex::roleFromString: unknown enum string: \"reader\"");
        QCOMPARE(Items::CItemsGetRoleResponse("{\"result\":{\"role\":\"reader\"}}").role, RoleUnknown);
        QTest::ignoreMessage(QtCriticalMsg, "brindlex::conflictPolicyToString: unknown enum value: 9");
        QCOMPARE(conflictPolicyToString(9), QString("ConflictPolicyUnknown"));
    }

    // What a role grants is checked against the server by refusals().
    void probeVerdicts_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("role");
        QTest::addColumn<int>("verdict");
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
        using namespace FileSync;
        const auto wat = exec<CFileSyncGetWatcherAuthenticationTokenResponse>(
            new CFileSyncGetWatcherAuthenticationTokenRequest(session(), m_library, m_lib.tenantId, m_lib.id));
        QVERIFY2(wat->error.isSuccess(), qPrintable(wat->error.errorName));
        QVERIFY(!wat->response.wat.isEmpty() && !wat->response.state.isEmpty());
        QCOMPARE(wat->response.tenantId, m_lib.tenantId);
        QCOMPARE(wat->response.customItem.serverId, qint64(m_lib.id));

        const auto mkdir = exec<CFileSyncMkDirResponse>(new CFileSyncMkDirRequest(
            session(), m_library, wat->response.state, m_lib.tenantId, m_lib.id, "Created by test", m_lib.id));
        QVERIFY2(mkdir->error.isSuccess(), qPrintable(mkdir->error.errorName));
        QVERIFY(mkdir->response.newFolderId > 0);
        QVERIFY(!mkdir->response.newState.isEmpty() && mkdir->response.newState != wat->response.state);

        const auto got = exec<CFileSyncGetHierarchyResponse>(new CFileSyncGetHierarchyRequest(session(), m_library, m_lib.tenantId, m_lib.id));
        QVERIFY2(got->error.isSuccess(), qPrintable(got->error.errorName));
        QVERIFY(!got->response.wat.isEmpty());
        QCOMPARE(got->response.hierarchy.state, mkdir->response.newState);
        QCOMPARE(got->response.hierarchy.id, quint64(m_lib.id));
        QCOMPARE(got->response.hierarchy.files.size(), 1); // the file fields are the parser's
    }

    // Errors the answer names, and what the engine makes of them.
    void refusals_data()
    {
        QTest::addColumn<QJsonObject>("fault");
        QTest::addColumn<QString>("role"); // of the user in the library during the call
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("renewal"); // the host was asked for a new session
        QTest::addColumn<QString>("meanwhile"); // before the refusal arrives: the role call then cannot even be sent
        const QJsonObject denied{{"type", "rpcError"}, {"fullName", "api.exceptions.AccessDenied"}};
        QTest::newRow("session expired by name")
            << QJsonObject{{"type", "rpcError"}, {"fullName", "brindlex.SessionExpired"}} << "" << "brindlex.InvalidAccessToken" << true << "";
        QTest::newRow("invalid access token by code only")
            << QJsonObject{{"type", "rpcError"}, {"fullName", "brindlex.InvalidAccessToken"}, {"code", -32105}} << ""
            << "brindlex.InvalidAccessToken" << true << "";
        // Editors may rename; the refusal is injected so that the role probe's answer decides.
        QTest::newRow("denied, Reader: still denied") << denied << "Reader" << "api.exceptions.AccessDenied" << false << "";
        QTest::newRow("denied, None: gone") << denied << "None" << "brindlex.ItemNotFound" << false << "";
        QTest::newRow("denied, Editor: allowed now") << denied << "Editor" << "dc.ErrorSuccess" << false << "";
        QTest::newRow("denied, session cleared meanwhile") << denied << "" << "brindlex.InvalidAccessToken" << true << "clear";
        QTest::newRow("denied, shutting down meanwhile") << denied << "" << "dc.ErrorOperationCancelled" << false << "shut down";
    }

    void refusals()
    {
        QFETCH(QJsonObject, fault);
        QFETCH(QString, role);
        QFETCH(QString, expected);
        QFETCH(bool, renewal);
        QFETCH(QString, meanwhile);
        if (!role.isEmpty())
            QCOMPARE(m_server->admin("PUT", m_lib.path() + "/roles/demo.user", {{"role", role}}).status, 200);
        fault["method"] = "FileSync.rename";
        m_server->addFault(fault);
        QSignalSpy hostRequests(m_sessions.data(), &CUserSessionController::requestNewUserSessionSignal);
        const auto renamed = start<FileSync::CFileSyncRenameResponse>(new FileSync::CFileSyncRenameRequest(
            session(), m_library, "any-state", m_lib.tenantId, m_lib.id, m_fileServerId, "renamed.txt"));
        appstate::setShuttingDown(meanwhile == "shut down");
        if (meanwhile == "clear")
            session()->clearAccessToken();
        QTRY_COMPARE_WITH_TIMEOUT(renamed->count, 1, 15000);
        appstate::setShuttingDown(false);
        QCOMPARE(renamed->error.errorName, expected);
        const int asked = meanwhile.isEmpty() ? int(renewal) : -1; // clearing a token asks the host by itself
        QTRY_VERIFY(asked < 0 || hostRequests.count() == asked);
        QCOMPARE(session()->getAccessToken().isEmpty(), renewal);
        QTest::qWait(50);
        QCOMPARE(renamed->count, 1);
        QVERIFY(asked < 0 || hostRequests.count() == asked);
        if (!role.isEmpty()) {
            const QJsonArray roleCalls = m_server->admin("GET", "/admin/log?method=Items.getRole").array();
            QVERIFY(!roleCalls.isEmpty());
            QCOMPARE(roleCalls.last().toObject().value("query").toObject().contains("tenantId"), false);
            QCOMPARE(m_server->admin("PUT", m_lib.path() + "/roles/demo.user", {{"role", "Admin"}}).status, 200);
        }
        restoreSession();
    }

    void refusalsNotRefined()
    {
        // A role call refused is not probed again.
        m_server->addFault({{"type", "rpcError"}, {"fullName", "api.exceptions.AccessDenied"}, {"method", "Items.getRole"}});
        QCOMPARE(exec<Items::CItemsGetRoleResponse>(new Items::CItemsGetRoleRequest(session(), m_lib.tenantId, qint64(m_lib.id)))
                     ->error.errorName, QString("api.exceptions.AccessDenied"));

        const auto got = exec<FileSync::CFileSyncGetHierarchyResponse>(new FileSync::CFileSyncGetHierarchyRequest(
            session(), makeLibrary(99, m_lib.id, "no-such-tenant"), "no-such-tenant", m_lib.id));
        QCOMPARE(got->error.errorName, QString("brindlex.ItemNotFound"));
        QCOMPARE(got->response.error.errorName, QString("brindlex.TenantNotFound"));
    }

private:
    QSharedPointer<CUserSession> session() const { return m_sessions->getUserSession(); }

    void restoreSession()
    {
        // A different text, so the controller does not take it for a repeat.
        m_sessions->setUserSession(m_server->sessionJson(m_server->token()) + QString(++m_restores, ' '));
        QVERIFY(session()->isValid());
    }

    QScopedPointer<ReferenceServer> m_server;
    QSharedPointer<CUserSessionController> m_sessions;
    ReferenceServer::Library m_lib;
    qint64 m_fileServerId = 0;
    SyncLibrary::ConstPtr m_library;
    int m_restores = 0;
};

BXSYNC_TEST_MAIN(TestServerApi)
#include "tst_serverapi.moc"
