#pragma once

#include "ServerApiErrorCode.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>

// The library a request was made for; travels back with its answer.
struct CustomItem
{
    qint64 clientId = 0;
    qint64 serverId = 0;
    QString tenantId;

    bool isValid() const { return clientId > 0 && serverId > 0 && !tenantId.isEmpty(); }
    QString toString() const;
    bool operator==(const CustomItem &o) const
    {
        return clientId == o.clientId && serverId == o.serverId && tenantId == o.tenantId;
    }
};

namespace watcher::api::shared {

struct WatchedItemId
{
    qint64 itemId = 0;
    QString tenantId;
    bool operator==(const WatchedItemId &o) const { return itemId == o.itemId && tenantId == o.tenantId; }
};

struct WatchedItem
{
    QString state;
    QString watcherAuthenticationToken;
    WatchedItemId id;
};

} // namespace watcher::api::shared

namespace brindlex {

enum Role { RoleUnknown = 0, RoleNone = 1, RoleReader = 2, RoleEditor = 3, RoleAdmin = 4 };
Role roleFromString(const QString &text);
QString roleToString(Role role);

enum ConflictPolicy { RenameOnConflict = 1, ErrorOnConflict = 2, FilenameNotSignificant = 3 };
QString conflictPolicyToString(int policy);

} // namespace brindlex

// A JSON-RPC answer: the error mapped onto the engine's values, the raw result for the response
// classes to read their fields from, and the context of the request it answers.
class CJsonResponse
{
public:
    // Larger bodies are not parsed as a whole: a reader that needs them streams them instead.
    static constexpr int kMaxDocumentSize = 52428800;

    CJsonResponse();
    explicit CJsonResponse(const QByteArray &data);
    virtual ~CJsonResponse();

    // Integer fields may come as number or text; anything else reads as 0.
    static qint64 readInt64(const QJsonValue &value);
    static QString readString(const QJsonValue &value);

    QString toString() const;

    bool hasError = false;
    ErrorCode error;
    QByteArray data;
    QJsonObject errorObject;
    QJsonObject resultObject;

    CustomItem customItem;
    QString hostName;
    QList<watcher::api::shared::WatchedItemId> watchedItemIds;
};

Q_DECLARE_METATYPE(CustomItem)
