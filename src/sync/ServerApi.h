#pragma once

#include "Hierarchy.h"
#include "JsonResponse.h"
#include "SyncRecords.h"
#include "WorkspaceServerRequest.h"

#include <QBuffer>
#include <QJsonArray>
#include <QSharedPointer>
#include <QStringList>

#include <functional>

#include <nlohmann/json.hpp>

// The call descriptor: where a method goes and what it sends.
class CJsonRpcMethod
{
public:
    static constexpr const char *kApplicationUrl = "{address}/api/app/jsonrpc";
    static constexpr const char *kWatcherUrl = "http://{address}/api/watcher/jsonrpc";

    CJsonRpcMethod(const QString &urlTemplate, const QString &urlTenantId, const QString &method);
    virtual ~CJsonRpcMethod();

    // Parameters in the order the method's constructor takes them; identifiers as decimal text.
    void addParam(const char *key, const QString &value);
    void addParam(const char *key, qint64 decimal);
    void addParam(const char *key, const nlohmann::ordered_json &value);
    void excludeParam(const QString &key) { m_excluded << key; }

    virtual nlohmann::ordered_json getParams() const;
    QString method() const { return m_method; }
    QString urlTenantId() const { return m_urlTenantId; }
    // The URL template without scheme and address, plus "?method=" and "&tenantId=".
    QString path() const;
    // The request body; "params" only when there are any.
    QByteArray envelope(int id) const;

    // 0..600000, from a source seeded once per thread.
    static int nextRequestId();

private:
    const QString m_urlTemplate;
    const QString m_urlTenantId;
    const QString m_method;
    nlohmann::ordered_json m_params = nlohmann::ordered_json::object();
    QStringList m_excluded;
};

// Turns an access-denied answer about an item into what the user may still do with it. The layer
// that owns the items installs it at engine start, before any request runs; done runs once, from
// the event loop, and is dropped when context goes first.
using AccessDeniedProbe = std::function<void(const QSharedPointer<CUserSession> &session, const CustomItem &item,
                                             QObject *context, std::function<void(const ErrorCode &verdict)> done)>;
void setAccessDeniedProbe(AccessDeniedProbe probe);
// False when no probe is installed: the answer stands as it is.
bool probeAccessDenied(const QSharedPointer<CUserSession> &session, const CustomItem &item, QObject *context,
                       std::function<void(const ErrorCode &verdict)> done);

// The common pattern of every JSON-RPC call: exec() sends the envelope, finished() parses the
// answer, maps and refines the error and reports exactly once through the class's finishedSignal.
class CJsonRpcRequest : public CWorkspaceServerPostRequest
{
    Q_OBJECT
public:
    ~CJsonRpcRequest() override;

    void exec();
    CJsonRpcMethod &method() { return m_method; }
    const CJsonRpcMethod &method() const { return m_method; }
    CustomItem customItem() const { return m_customItem; }
    // Off for calls whose bodies are too large or too frequent to log.
    void setBodyLogging(bool on) { m_bodyLogging = on; }

protected:
    CJsonRpcRequest(const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library,
                    const QString &method, const char *qualifiedName);
    CJsonRpcRequest(const QSharedPointer<CUserSession> &session, const QString &urlTenantId, const QString &method,
                    const char *qualifiedName);
    CJsonRpcRequest(const ServerAddress &address, const QString &urlTemplate, const QString &method,
                    const char *qualifiedName);

    bool finished(const ErrorCode &outcome) override;
    virtual QSharedPointer<CJsonResponse> makeResponse(const QByteArray &data) const = 0;
    // For a class that spools: the answer kept in m_spool, to be read by its consumer.
    virtual QSharedPointer<CJsonResponse> makeSpooledResponse() const { return makeResponse(QByteArray()); }
    virtual void emitFinished(const ErrorCode &error, const QSharedPointer<CJsonResponse> &response) = 0;
    virtual void fillContext(CJsonResponse &response) const;

    const QString m_qualifiedName;
    CustomItem m_customItem;

private:
    void report(const ErrorCode &error, const QSharedPointer<CJsonResponse> &response);
    void reportError(ErrorCode error, const QSharedPointer<CJsonResponse> &response);

    CJsonRpcMethod m_method;
    QSharedPointer<QByteArray> m_body;
    QBuffer m_bodyDevice;
    bool m_bodyLogging = true;
    bool m_reported = false;
};

// Each concrete class forwards the two hooks to its typed signal.
#define BXSYNC_JSONRPC_RESPONSE_TYPE(ResponseType)                                                      \
protected:                                                                                              \
    QSharedPointer<CJsonResponse> makeResponse(const QByteArray &data) const override                  \
    {                                                                                                   \
        return QSharedPointer<CJsonResponse>(new ResponseType(data));                                   \
    }                                                                                                   \
    void emitFinished(const ErrorCode &error, const QSharedPointer<CJsonResponse> &response) override   \
    {                                                                                                   \
        emit finishedSignal(error, *static_cast<const ResponseType *>(response.data()));                \
    }                                                                                                   \
                                                                                                        \
public:

namespace brindlex::Items {

struct CItemsGetRoleResponse : CJsonResponse
{
    CItemsGetRoleResponse() = default;
    explicit CItemsGetRoleResponse(const QByteArray &data);
    Role role = RoleUnknown;
};

class CItemsGetRoleRequest : public CJsonRpcRequest
{
    Q_OBJECT
    BXSYNC_JSONRPC_RESPONSE_TYPE(CItemsGetRoleResponse)
public:
    CItemsGetRoleRequest(const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library,
                         const QString &tenantId, qint64 itemId);
    // Without a library: no tenant id in the URL, no refinement of access denied.
    CItemsGetRoleRequest(const QSharedPointer<CUserSession> &session, const QString &tenantId, qint64 itemId);
signals:
    void finishedSignal(ErrorCode error, brindlex::Items::CItemsGetRoleResponse response);
};

} // namespace brindlex::Items

namespace brindlex::FileSync {

struct CFileSyncGetHierarchyResponse : CJsonResponse
{
    CFileSyncGetHierarchyResponse() = default;
    explicit CFileSyncGetHierarchyResponse(const QByteArray &data);
    // An answer too large for memory: not parsed here, the whole body is in this file.
    QSharedPointer<QTemporaryFile> spool;
    brindlex::Hierarchy hierarchy;
    QString wat;
    QString watcherHostname;
    qint64 changedId = 0;
};

struct CFileSyncStateResponse : CJsonResponse
{
    CFileSyncStateResponse() = default;
    explicit CFileSyncStateResponse(const QByteArray &data);
    QString newState;
};

struct CFileSyncMkDirResponse : CFileSyncStateResponse
{
    CFileSyncMkDirResponse() = default;
    explicit CFileSyncMkDirResponse(const QByteArray &data);
    qint64 newFolderId = 0;
};

struct CFileSyncRmDirResponse : CFileSyncStateResponse
{
    using CFileSyncStateResponse::CFileSyncStateResponse;
};
struct CFileSyncRemoveFileResponse : CFileSyncStateResponse
{
    using CFileSyncStateResponse::CFileSyncStateResponse;
};
struct CFileSyncRenameResponse : CFileSyncStateResponse
{
    using CFileSyncStateResponse::CFileSyncStateResponse;
};
struct CFileSyncMoveResponse : CFileSyncStateResponse
{
    using CFileSyncStateResponse::CFileSyncStateResponse;
};

struct CFileSyncGetFileResponse : CJsonResponse
{
    CFileSyncGetFileResponse() = default;
    explicit CFileSyncGetFileResponse(const QByteArray &data);
    qint64 id = 0;
    QString state;
    QString name;
    QString createdTime;
    QString modifiedTime;
    qint64 fileSize = 0;
    QString contentHash;
};

struct CFileSyncGetWatcherAuthenticationTokenResponse : CJsonResponse
{
    CFileSyncGetWatcherAuthenticationTokenResponse() = default;
    explicit CFileSyncGetWatcherAuthenticationTokenResponse(const QByteArray &data);
    QString wat;
    QString state;
    QString tenantId;
    qint64 changedId = 0;
    QString watcherHostname;
};

struct CFileSyncCanCreateFileResponse : CJsonResponse
{
    using CJsonResponse::CJsonResponse;
};
struct CFileSyncCanUpdateFileResponse : CJsonResponse
{
    using CJsonResponse::CJsonResponse;
};

class CFileSyncGetHierarchyRequest : public CJsonRpcRequest
{
    Q_OBJECT
    BXSYNC_JSONRPC_RESPONSE_TYPE(CFileSyncGetHierarchyResponse)
public:
    CFileSyncGetHierarchyRequest(const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library,
                                 const QString &tenantId, qint64 id);

protected:
    QSharedPointer<CJsonResponse> makeSpooledResponse() const override;

signals:
    void finishedSignal(ErrorCode error, brindlex::FileSync::CFileSyncGetHierarchyResponse response);
};

class CFileSyncMkDirRequest : public CJsonRpcRequest
{
    Q_OBJECT
    BXSYNC_JSONRPC_RESPONSE_TYPE(CFileSyncMkDirResponse)
public:
    CFileSyncMkDirRequest(const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library,
                          const QString &state, const QString &tenantId, qint64 id, const QString &folderName,
                          qint64 parentId);
signals:
    void finishedSignal(ErrorCode error, brindlex::FileSync::CFileSyncMkDirResponse response);
};

class CFileSyncRmDirRequest : public CJsonRpcRequest
{
    Q_OBJECT
    BXSYNC_JSONRPC_RESPONSE_TYPE(CFileSyncRmDirResponse)
public:
    CFileSyncRmDirRequest(const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library,
                          const QString &state, const QString &tenantId, qint64 id, qint64 folderId);
signals:
    void finishedSignal(ErrorCode error, brindlex::FileSync::CFileSyncRmDirResponse response);
};

class CFileSyncRemoveFileRequest : public CJsonRpcRequest
{
    Q_OBJECT
    BXSYNC_JSONRPC_RESPONSE_TYPE(CFileSyncRemoveFileResponse)
public:
    CFileSyncRemoveFileRequest(const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library,
                               const QString &state, const QString &tenantId, qint64 id, const QString &fileState,
                               qint64 fileId);
signals:
    void finishedSignal(ErrorCode error, brindlex::FileSync::CFileSyncRemoveFileResponse response);
};

class CFileSyncRenameRequest : public CJsonRpcRequest
{
    Q_OBJECT
    BXSYNC_JSONRPC_RESPONSE_TYPE(CFileSyncRenameResponse)
public:
    CFileSyncRenameRequest(const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library,
                           const QString &state, const QString &tenantId, qint64 id, qint64 fileId,
                           const QString &newName);
signals:
    void finishedSignal(ErrorCode error, brindlex::FileSync::CFileSyncRenameResponse response);
};

class CFileSyncMoveRequest : public CJsonRpcRequest
{
    Q_OBJECT
    BXSYNC_JSONRPC_RESPONSE_TYPE(CFileSyncMoveResponse)
public:
    CFileSyncMoveRequest(const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library,
                         const QString &state, const QString &tenantId, qint64 id, qint64 fileId, qint64 newParentId);
signals:
    void finishedSignal(ErrorCode error, brindlex::FileSync::CFileSyncMoveResponse response);
};

class CFileSyncGetFileRequest : public CJsonRpcRequest
{
    Q_OBJECT
    BXSYNC_JSONRPC_RESPONSE_TYPE(CFileSyncGetFileResponse)
public:
    CFileSyncGetFileRequest(const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library,
                            const QString &tenantId, qint64 fileId);
signals:
    void finishedSignal(ErrorCode error, brindlex::FileSync::CFileSyncGetFileResponse response);
};

class CFileSyncGetWatcherAuthenticationTokenRequest : public CJsonRpcRequest
{
    Q_OBJECT
    BXSYNC_JSONRPC_RESPONSE_TYPE(CFileSyncGetWatcherAuthenticationTokenResponse)
public:
    CFileSyncGetWatcherAuthenticationTokenRequest(const QSharedPointer<CUserSession> &session,
                                                  const SyncLibrary::ConstPtr &library, const QString &tenantId,
                                                  qint64 id);
signals:
    void finishedSignal(ErrorCode error, brindlex::FileSync::CFileSyncGetWatcherAuthenticationTokenResponse response);
};

class CFileSyncCanCreateFileRequest : public CJsonRpcRequest
{
    Q_OBJECT
    BXSYNC_JSONRPC_RESPONSE_TYPE(CFileSyncCanCreateFileResponse)
public:
    CFileSyncCanCreateFileRequest(const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library,
                                  const QString &tenantId, qint64 id, const QString &state, qint64 parentId,
                                  const QString &filename, qint64 fileSize, int conflictPolicy);
signals:
    void finishedSignal(ErrorCode error, brindlex::FileSync::CFileSyncCanCreateFileResponse response);
};

class CFileSyncCanUpdateFileRequest : public CJsonRpcRequest
{
    Q_OBJECT
    BXSYNC_JSONRPC_RESPONSE_TYPE(CFileSyncCanUpdateFileResponse)
public:
    CFileSyncCanUpdateFileRequest(const QSharedPointer<CUserSession> &session, const SyncLibrary::ConstPtr &library,
                                  const QString &tenantId, qint64 id, const QString &state, qint64 fileId,
                                  const QString &fileState, qint64 fileSize, int conflictPolicy);
signals:
    void finishedSignal(ErrorCode error, brindlex::FileSync::CFileSyncCanUpdateFileResponse response);
};

} // namespace brindlex::FileSync

namespace watcher::api::Watcher {

struct CWatcherWatchResponse : CJsonResponse
{
    CWatcherWatchResponse() = default;
    explicit CWatcherWatchResponse(const QByteArray &data);
    QList<watcher::api::shared::WatchedItemId> changedItemsList;
};

// The long poll: sessionless, sent to the watcher host named by the server.
class CWatcherWatchRequest : public CJsonRpcRequest
{
    Q_OBJECT
    BXSYNC_JSONRPC_RESPONSE_TYPE(CWatcherWatchResponse)
public:
    CWatcherWatchRequest(const ServerAddress &address, const QList<watcher::api::shared::WatchedItem> &items,
                         int timeout);
    QString hostName() const { return m_hostName; }
    QList<watcher::api::shared::WatchedItemId> watchedItemIds() const { return m_watchedItemIds; }
signals:
    void finishedSignal(ErrorCode error, watcher::api::Watcher::CWatcherWatchResponse response);

protected:
    void fillContext(CJsonResponse &response) const override;

private:
    QString m_hostName;
    QList<watcher::api::shared::WatchedItemId> m_watchedItemIds;
};

} // namespace watcher::api::Watcher

Q_DECLARE_METATYPE(brindlex::Items::CItemsGetRoleResponse)
Q_DECLARE_METATYPE(brindlex::FileSync::CFileSyncGetHierarchyResponse)
Q_DECLARE_METATYPE(brindlex::FileSync::CFileSyncMkDirResponse)
Q_DECLARE_METATYPE(brindlex::FileSync::CFileSyncRmDirResponse)
Q_DECLARE_METATYPE(brindlex::FileSync::CFileSyncRemoveFileResponse)
Q_DECLARE_METATYPE(brindlex::FileSync::CFileSyncRenameResponse)
Q_DECLARE_METATYPE(brindlex::FileSync::CFileSyncMoveResponse)
Q_DECLARE_METATYPE(brindlex::FileSync::CFileSyncGetFileResponse)
Q_DECLARE_METATYPE(brindlex::FileSync::CFileSyncGetWatcherAuthenticationTokenResponse)
Q_DECLARE_METATYPE(brindlex::FileSync::CFileSyncCanCreateFileResponse)
Q_DECLARE_METATYPE(brindlex::FileSync::CFileSyncCanUpdateFileResponse)
Q_DECLARE_METATYPE(watcher::api::Watcher::CWatcherWatchResponse)
