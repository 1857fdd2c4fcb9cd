#include "ServerApi.h"

#include "Log.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QRegularExpression>

#include <random>

// --- CJsonRpcMethod --------------------------------------------------------------------------------

CJsonRpcMethod::CJsonRpcMethod(const QString &urlTemplate, const QString &urlTenantId, const QString &method)
    : m_urlTemplate(urlTemplate)
    , m_urlTenantId(urlTenantId)
    , m_method(method)
{
}

CJsonRpcMethod::~CJsonRpcMethod() = default;

void CJsonRpcMethod::addParam(const char *key, const QString &value)
{
    m_params[key] = value.toStdString();
}

void CJsonRpcMethod::addParam(const char *key, qint64 decimal)
{
    m_params[key] = std::to_string(decimal);
}

void CJsonRpcMethod::addParam(const char *key, const nlohmann::ordered_json &value)
{
    m_params[key] = value;
}

nlohmann::ordered_json CJsonRpcMethod::getParams() const
{
    nlohmann::ordered_json params = m_params;
    for (const QString &key : m_excluded)
        params.erase(key.toStdString());
    return params;
}

QString CJsonRpcMethod::path() const
{
    static const QRegularExpression upToAddress(QStringLiteral("^.*\\{address\\}"));
    QString path = QString(m_urlTemplate).remove(upToAddress) + QStringLiteral("?method=") + m_method;
    if (!m_urlTenantId.isEmpty())
        path += QStringLiteral("&tenantId=") + m_urlTenantId;
    return path;
}

QByteArray CJsonRpcMethod::envelope(int id) const
{
    nlohmann::ordered_json body;
    body["method"] = m_method.toStdString();
    body["id"] = id;
    body["jsonrpc"] = "2.0";
    const nlohmann::ordered_json params = getParams();
    if (!params.empty())
        body["params"] = params;
    return QByteArray::fromStdString(body.dump());
}

int CJsonRpcMethod::nextRequestId()
{
    // Seeded once per thread, on first use, with the time.
    thread_local std::minstd_rand source(static_cast<unsigned>(QDateTime::currentMSecsSinceEpoch()));
    const int r = int(source() % 32768);
    return int(r / 32767.0 * 600000);
}

// --- CJsonRpcRequest -------------------------------------------------------------------------------

namespace {

CustomItem customItemOf(const SyncLibrary::ConstPtr &library)
{
    CustomItem item;
    item.clientId = qint64(library->ClientId);
    item.serverId = qint64(library->ServerId);
    item.tenantId = library->TenantId;
    return item;
}

bool isTokenFailure(const ErrorCode &error)
{
    return error.errorEnum == ServerApiErrorCode::SessionExpired || error.errorEnum == ServerApiErrorCode::InvalidToken
        || error.errorEnum == ServerApiErrorCode::InvalidAccessToken;
}

} // namespace

CJsonRpcRequest::CJsonRpcRequest(const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library,
                                 const QString &method, const char *qualifiedName)
    : CWorkspaceServerPostRequest(session, 360000)
    , m_qualifiedName(QString::fromLatin1(qualifiedName))
    , m_method(QString::fromLatin1(CJsonRpcMethod::kApplicationUrl), library ? library->TenantId : QString(), method)
{
    Q_ASSERT_X(session, qualifiedName, "userSession");
    Q_ASSERT_X(library, qualifiedName, "syncLibrary");
    if (library) {
        m_customItem = customItemOf(library);
        qDebug().noquote() << m_qualifiedName + "::" + m_qualifiedName.section("::", -1) + ": syncLibrary:"
                           << library->toString();
    }
}

CJsonRpcRequest::CJsonRpcRequest(const QSharedPointer<CUserSession> &session, const QString &urlTenantId,
                                 const QString &method, const char *qualifiedName)
    : CWorkspaceServerPostRequest(session, 360000)
    , m_qualifiedName(QString::fromLatin1(qualifiedName))
    , m_method(QString::fromLatin1(CJsonRpcMethod::kApplicationUrl), urlTenantId, method)
{
    Q_ASSERT_X(session, qualifiedName, "userSession");
}

CJsonRpcRequest::CJsonRpcRequest(const ServerAddress &address, const QString &urlTemplate, const QString &method,
                                 const char *qualifiedName)
    : CWorkspaceServerPostRequest(address, 360000)
    , m_qualifiedName(QString::fromLatin1(qualifiedName))
    , m_method(urlTemplate, QString(), method)
{
    m_sessionless = true;
}

CJsonRpcRequest::~CJsonRpcRequest() = default;

void CJsonRpcRequest::exec()
{
    qDebug().noquote() << m_qualifiedName + "::exec: objectId:" << QString::asprintf("%p", static_cast<void *>(this));
    if (!m_sessionless && m_userSession && !m_userSession->isValid()) {
        QSharedPointer<CJsonResponse> empty = makeResponse(QByteArray());
        fillContext(*empty);
        report(ServerApiErrorCode::InvalidAccessToken, empty);
        deleteLater();
        return;
    }
    m_body.reset(new QByteArray(m_method.envelope(CJsonRpcMethod::nextRequestId())));
    m_bodyDevice.setBuffer(m_body.data());
    if (m_bodyLogging)
        logRequest(QString::fromUtf8(*m_body));
    QNetworkRequest request;
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Accept", "application/json");
    send(QNetworkAccessManager::PostOperation, request, m_method.path(), &m_bodyDevice);
}

void CJsonRpcRequest::fillContext(CJsonResponse &response) const
{
    response.customItem = m_customItem;
}

void CJsonRpcRequest::report(const ErrorCode &error, const QSharedPointer<CJsonResponse> &response)
{
    if (m_reported)
        return;
    m_reported = true;
    emitFinished(error, response);
}

bool CJsonRpcRequest::finished(const ErrorCode &outcome)
{
    const QSharedPointer<CJsonResponse> response = m_spool ? makeSpooledResponse() : makeResponse(m_response);
    fillContext(*response);
    const QString prefix = m_qualifiedName + "::finished: objectId:";
    const QString objectId = QString::asprintf("%p", static_cast<void *>(this));

    if (!outcome.isSuccess()) {
        qCritical().noquote() << prefix << objectId << "error:" << outcome.errorName;
        report(outcome, response);
        return true;
    }
    if (!response->hasError) {
        qDebug().noquote() << prefix << objectId << "response:" << CLog::capped(response->data);
        report(ServerApiErrorCode::ErrorSuccess, response);
        return true;
    }
    if (isTokenFailure(response->error))
        return false; // the engine clears the token and calls again with brindlex.InvalidAccessToken

    if (response->error.errorEnum == ServerApiErrorCode::AccessDenied && m_userSession && m_customItem.isValid()) {
        // The verdict always comes later from the event loop, so holding after the call is in time.
        if (probeAccessDenied(m_userSession, m_customItem, this, [this, response](const ErrorCode &verdict) {
                reportError(verdict, response);
                releaseHeld();
            })) {
            holdForLaterReport();
            return true;
        }
    }
    reportError(response->error, response);
    return true;
}

namespace {
AccessDeniedProbe g_accessDeniedProbe;
} // namespace

void setAccessDeniedProbe(AccessDeniedProbe probe)
{
    g_accessDeniedProbe = std::move(probe);
}

bool probeAccessDenied(const QSharedPointer<CUserSession> &session, const CustomItem &item, QObject *context,
                       std::function<void(const ErrorCode &verdict)> done)
{
    if (!g_accessDeniedProbe) {
        qWarning().noquote() << "probeAccessDenied: no access-rights probe installed, the answer stands for item:"
                             << item.toString();
        return false;
    }
    g_accessDeniedProbe(session, item, context, std::move(done));
    return true;
}

void CJsonRpcRequest::reportError(ErrorCode error, const QSharedPointer<CJsonResponse> &response)
{
    if (error.errorEnum == ServerApiErrorCode::TenantNotFound)
        error = ErrorCode(ServerApiErrorCode::ItemNotFound);
    qCritical().noquote() << m_qualifiedName + "::finished: objectId:"
                          << QString::asprintf("%p", static_cast<void *>(this)) << "error:" << error.errorName;
    report(error, response);
}

// --- brindlex::Items -------------------------------------------------------------------------------

namespace brindlex::Items {

CItemsGetRoleResponse::CItemsGetRoleResponse(const QByteArray &data)
    : CJsonResponse(data)
{
    if (!hasError)
        role = roleFromString(readString(resultObject.value(QLatin1String("role"))));
}

CItemsGetRoleRequest::CItemsGetRoleRequest(const QSharedPointer<CUserSession> &session,
                                           const SyncLibrary::ConstPtr &library, const QString &tenantId,
                                           qint64 itemId)
    : CJsonRpcRequest(session, library, QStringLiteral("Items.getRole"), "brindlex::Items::CItemsGetRoleRequest")
{
    method().addParam("tenantId", tenantId);
    method().addParam("itemId", itemId);
}

CItemsGetRoleRequest::CItemsGetRoleRequest(const QSharedPointer<CUserSession> &session, const QString &tenantId,
                                           qint64 itemId)
    : CJsonRpcRequest(session, QString(), QStringLiteral("Items.getRole"), "brindlex::Items::CItemsGetRoleRequest")
{
    method().addParam("tenantId", tenantId);
    method().addParam("itemId", itemId);
}

} // namespace brindlex::Items

// --- brindlex::FileSync ----------------------------------------------------------------------------

namespace brindlex::FileSync {

CFileSyncGetHierarchyResponse::CFileSyncGetHierarchyResponse(const QByteArray &data)
    : CJsonResponse(data)
{
    if (hasError)
        return;
    int skipped = 0;
    hierarchy = hierarchyFromJson(resultObject.value(QLatin1String("hierarchy")).toObject(), &skipped);
    if (skipped > 0) {
        // Items lost in a damaged answer would look deleted on the server.
        qCritical() << "CFileSyncGetHierarchyResponse::CFileSyncGetHierarchyResponse: malformed hierarchy, members skipped:"
                    << skipped;
        hasError = true;
        error = ErrorCode(ServerApiErrorCode::ErrorInternal);
        hierarchy = brindlex::Hierarchy();
        return;
    }
    wat = readString(resultObject.value(QLatin1String("wat")));
    watcherHostname = readString(resultObject.value(QLatin1String("watcherHostname")));
    changedId = readInt64(resultObject.value(QLatin1String("changedId")));
}

CFileSyncStateResponse::CFileSyncStateResponse(const QByteArray &data)
    : CJsonResponse(data)
{
    if (!hasError)
        newState = readString(resultObject.value(QLatin1String("newState")));
}

CFileSyncMkDirResponse::CFileSyncMkDirResponse(const QByteArray &data)
    : CFileSyncStateResponse(data)
{
    if (!hasError) {
        newFolderId = readInt64(resultObject.value(QLatin1String("newFolderId")));
        return;
    }
    // With brindlex.AlreadyExists the server names the folder that holds the place.
    newFolderId = readInt64(errorObject.value(QLatin1String("data")).toObject().value(QLatin1String("newFolderId")));
    if (newFolderId == 0)
        newFolderId = readInt64(resultObject.value(QLatin1String("newFolderId")));
}

CFileSyncGetFileResponse::CFileSyncGetFileResponse(const QByteArray &data)
    : CJsonResponse(data)
{
    if (hasError)
        return;
    const QJsonObject file = resultObject.value(QLatin1String("file")).toObject();
    id = readInt64(file.value(QLatin1String("id")));
    state = readString(file.value(QLatin1String("state")));
    name = readString(file.value(QLatin1String("name")));
    createdTime = readString(file.value(QLatin1String("createdTime")));
    modifiedTime = readString(file.value(QLatin1String("modifiedTime")));
    fileSize = readInt64(file.value(QLatin1String("fileSize")));
    contentHash = readString(file.value(QLatin1String("contentHash")));
}

CFileSyncGetWatcherAuthenticationTokenResponse::CFileSyncGetWatcherAuthenticationTokenResponse(const QByteArray &data)
    : CJsonResponse(data)
{
    if (hasError)
        return;
    wat = readString(resultObject.value(QLatin1String("wat")));
    state = readString(resultObject.value(QLatin1String("state")));
    tenantId = readString(resultObject.value(QLatin1String("tenantId")));
    changedId = readInt64(resultObject.value(QLatin1String("changedId")));
    watcherHostname = readString(resultObject.value(QLatin1String("watcherHostname")));
}

CFileSyncGetHierarchyRequest::CFileSyncGetHierarchyRequest(const QSharedPointer<CUserSession> &session,
                                                           const SyncLibrary::ConstPtr &library,
                                                           const QString &tenantId, qint64 id)
    : CJsonRpcRequest(session, library, QStringLiteral("FileSync.getHierarchy"),
                      "brindlex::FileSync::CFileSyncGetHierarchyRequest")
{
    method().addParam("tenantId", tenantId);
    method().addParam("id", id);
    // A large library costs disk, not memory.
    setSpoolOversizedReply(true);
}

QSharedPointer<CJsonResponse> CFileSyncGetHierarchyRequest::makeSpooledResponse() const
{
    QSharedPointer<CFileSyncGetHierarchyResponse> response(new CFileSyncGetHierarchyResponse());
    m_spool->flush();
    response->spool = m_spool;
    response->hasError = false;
    response->error = ErrorCode(ServerApiErrorCode::ErrorSuccess);
    return response;
}

CFileSyncMkDirRequest::CFileSyncMkDirRequest(const QSharedPointer<CUserSession> &session,
                                             const SyncLibrary::ConstPtr &library, const QString &state,
                                             const QString &tenantId, qint64 id, const QString &folderName,
                                             qint64 parentId)
    : CJsonRpcRequest(session, library, QStringLiteral("FileSync.mkDir"), "brindlex::FileSync::CFileSyncMkDirRequest")
{
    method().addParam("state", state);
    method().addParam("tenantId", tenantId);
    method().addParam("id", id);
    method().addParam("folderName", folderName);
    method().addParam("parentId", parentId);
}

CFileSyncRmDirRequest::CFileSyncRmDirRequest(const QSharedPointer<CUserSession> &session,
                                             const SyncLibrary::ConstPtr &library, const QString &state,
                                             const QString &tenantId, qint64 id, qint64 folderId)
    : CJsonRpcRequest(session, library, QStringLiteral("FileSync.rmDir"), "brindlex::FileSync::CFileSyncRmDirRequest")
{
    method().addParam("state", state);
    method().addParam("tenantId", tenantId);
    method().addParam("id", id);
    method().addParam("folderId", folderId);
}

CFileSyncRemoveFileRequest::CFileSyncRemoveFileRequest(const QSharedPointer<CUserSession> &session,
                                                       const SyncLibrary::ConstPtr &library, const QString &state,
                                                       const QString &tenantId, qint64 id, const QString &fileState,
                                                       qint64 fileId)
    : CJsonRpcRequest(session, library, QStringLiteral("FileSync.removeFile"),
                      "brindlex::FileSync::CFileSyncRemoveFileRequest")
{
    method().addParam("state", state);
    method().addParam("tenantId", tenantId);
    method().addParam("id", id);
    method().addParam("fileState", fileState);
    method().addParam("fileId", fileId);
}

CFileSyncRenameRequest::CFileSyncRenameRequest(const QSharedPointer<CUserSession> &session,
                                               const SyncLibrary::ConstPtr &library, const QString &state,
                                               const QString &tenantId, qint64 id, qint64 fileId,
                                               const QString &newName)
    : CJsonRpcRequest(session, library, QStringLiteral("FileSync.rename"), "brindlex::FileSync::CFileSyncRenameRequest")
{
    method().addParam("state", state);
    method().addParam("tenantId", tenantId);
    method().addParam("id", id);
    method().addParam("fileId", fileId);
    method().addParam("newName", newName);
}

CFileSyncMoveRequest::CFileSyncMoveRequest(const QSharedPointer<CUserSession> &session,
                                           const SyncLibrary::ConstPtr &library, const QString &state,
                                           const QString &tenantId, qint64 id, qint64 fileId, qint64 newParentId)
    : CJsonRpcRequest(session, library, QStringLiteral("FileSync.move"), "brindlex::FileSync::CFileSyncMoveRequest")
{
    method().addParam("state", state);
    method().addParam("tenantId", tenantId);
    method().addParam("id", id);
    method().addParam("fileId", fileId);
    method().addParam("newParentId", newParentId);
}

CFileSyncGetFileRequest::CFileSyncGetFileRequest(const QSharedPointer<CUserSession> &session,
                                                 const SyncLibrary::ConstPtr &library, const QString &tenantId,
                                                 qint64 fileId)
    : CJsonRpcRequest(session, library, QStringLiteral("FileSync.getFile"), "brindlex::FileSync::CFileSyncGetFileRequest")
{
    method().addParam("tenantId", tenantId);
    method().addParam("fileId", fileId);
}

CFileSyncGetWatcherAuthenticationTokenRequest::CFileSyncGetWatcherAuthenticationTokenRequest(
    const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library, const QString &tenantId,
    qint64 id)
    : CJsonRpcRequest(session, library, QStringLiteral("FileSync.getWatcherAuthenticationToken"),
                      "brindlex::FileSync::CFileSyncGetWatcherAuthenticationTokenRequest")
{
    method().addParam("tenantId", tenantId);
    method().addParam("id", id);
}

CFileSyncCanCreateFileRequest::CFileSyncCanCreateFileRequest(const QSharedPointer<CUserSession> &session,
                                                             const SyncLibrary::ConstPtr &library,
                                                             const QString &tenantId, qint64 id, const QString &state,
                                                             qint64 parentId, const QString &filename,
                                                             qint64 fileSize, int conflictPolicy)
    : CJsonRpcRequest(session, library, QStringLiteral("FileSync.canCreateFile"),
                      "brindlex::FileSync::CFileSyncCanCreateFileRequest")
{
    method().addParam("tenantId", tenantId);
    method().addParam("id", id);
    method().addParam("state", state);
    method().addParam("parentId", parentId);
    method().addParam("filename", filename);
    method().addParam("fileSize", fileSize);
    method().addParam("conflictPolicy", conflictPolicyToString(conflictPolicy));
}

CFileSyncCanUpdateFileRequest::CFileSyncCanUpdateFileRequest(const QSharedPointer<CUserSession> &session,
                                                             const SyncLibrary::ConstPtr &library,
                                                             const QString &tenantId, qint64 id, const QString &state,
                                                             qint64 fileId, const QString &fileState,
                                                             qint64 fileSize, int conflictPolicy)
    : CJsonRpcRequest(session, library, QStringLiteral("FileSync.canUpdateFile"),
                      "brindlex::FileSync::CFileSyncCanUpdateFileRequest")
{
    method().addParam("tenantId", tenantId);
    method().addParam("id", id);
    method().addParam("state", state);
    method().addParam("fileId", fileId);
    method().addParam("fileState", fileState);
    method().addParam("fileSize", fileSize);
    method().addParam("conflictPolicy", conflictPolicyToString(conflictPolicy));
}

} // namespace brindlex::FileSync

// --- watcher::api::Watcher -------------------------------------------------------------------------

namespace watcher::api::Watcher {

CWatcherWatchResponse::CWatcherWatchResponse(const QByteArray &data)
    : CJsonResponse(data)
{
    if (hasError)
        return;
    for (const QJsonValue &v : resultObject.value(QLatin1String("changedItemsList")).toArray()) {
        const QJsonObject o = v.toObject();
        shared::WatchedItemId id;
        id.itemId = readInt64(o.value(QLatin1String("itemId")));
        id.tenantId = readString(o.value(QLatin1String("tenantId")));
        changedItemsList << id;
    }
}

CWatcherWatchRequest::CWatcherWatchRequest(const ServerAddress &address, const QList<shared::WatchedItem> &items,
                                           int timeout)
    : CJsonRpcRequest(address, QString::fromLatin1(CJsonRpcMethod::kWatcherUrl), QStringLiteral("Watcher.watch"),
                      "watcher::api::Watcher::CWatcherWatchRequest")
    , m_hostName(address.getHostName())
{
    nlohmann::ordered_json watchItems = nlohmann::ordered_json::array();
    for (const shared::WatchedItem &item : items) {
        nlohmann::ordered_json entry;
        entry["state"] = item.state.toStdString();
        entry["watcherAuthenticationToken"] = item.watcherAuthenticationToken.toStdString();
        entry["id"] = {{"itemId", std::to_string(item.id.itemId)}, {"tenantId", item.id.tenantId.toStdString()}};
        watchItems.push_back(entry);
        m_watchedItemIds << item.id;
    }
    method().addParam("watchItems", watchItems);
    method().addParam("timeout", qint64(timeout));
}

void CWatcherWatchRequest::fillContext(CJsonResponse &response) const
{
    CJsonRpcRequest::fillContext(response);
    response.hostName = m_hostName;
    response.watchedItemIds = m_watchedItemIds;
}

} // namespace watcher::api::Watcher
