#include "SyncRecords.h"

#include <QRegularExpression>

QString typeToString(SyncItemType type)
{
    switch (type) {
    case SyncItemType::Page:
        return QStringLiteral("Page");
    case SyncItemType::File:
        return QStringLiteral("File");
    case SyncItemType::FileFolder:
        return QStringLiteral("FileFolder");
    case SyncItemType::FileLib:
        return QStringLiteral("FileLib");
    }
    return QStringLiteral("TypeUnknown(%1)").arg(static_cast<quint32>(type));
}

QString statusToString(quint32 status)
{
    switch (status) {
    case StatusInvalid:
        return QStringLiteral("StatusInvalid");
    case StatusSynchronized:
        return QStringLiteral("StatusSynchronized");
    case StatusNew:
        return QStringLiteral("StatusNew");
    case StatusMoved:
        return QStringLiteral("StatusMoved");
    case StatusChanged:
        return QStringLiteral("StatusChanged");
    case StatusDeleted:
        return QStringLiteral("StatusDeleted");
    case StatusMovedAndChanged:
        return QStringLiteral("StatusMovedAndChanged");
    }
    return QStringLiteral("StatusUnknown(%1)").arg(status);
}

quint32 toDatabaseTime(const QDateTime &time)
{
    if (!time.isValid())
        return 0;
    const qint64 seconds = time.toSecsSinceEpoch();
    return seconds < 0 ? 0 : static_cast<quint32>(seconds);
}

QDateTime fromDatabaseTime(quint64 secondsSinceEpoch)
{
    return QDateTime::fromSecsSinceEpoch(static_cast<qint64>(secondsSinceEpoch), Qt::UTC);
}

QString SyncStatus::toString() const
{
    return QStringLiteral("(S/C: ") + statusToString(ServerStatus) + QLatin1Char('/') + statusToString(ClientStatus)
        + QLatin1Char(')');
}

namespace {

template<typename Derived, typename Pointer>
QSharedPointer<Derived> castIfType(const Pointer &item, SyncItemType type)
{
    if (!item || item->type != type)
        return {};
    return qSharedPointerCast<Derived>(item);
}

} // namespace

SyncFile::Ptr SyncFile::cast(const SyncItem::Ptr &item)
{
    return castIfType<SyncFile>(item, SyncItemType::File);
}

SyncFile::ConstPtr SyncFile::cast(const SyncItem::ConstPtr &item)
{
    return castIfType<const SyncFile>(item, SyncItemType::File);
}

SyncFolder::Ptr SyncFolder::cast(const SyncItem::Ptr &item)
{
    return castIfType<SyncFolder>(item, SyncItemType::FileFolder);
}

SyncFolder::ConstPtr SyncFolder::cast(const SyncItem::ConstPtr &item)
{
    return castIfType<const SyncFolder>(item, SyncItemType::FileFolder);
}

SyncLibrary::Ptr SyncLibrary::cast(const SyncItem::Ptr &item)
{
    return castIfType<SyncLibrary>(item, SyncItemType::FileLib);
}

SyncLibrary::ConstPtr SyncLibrary::cast(const SyncItem::ConstPtr &item)
{
    return castIfType<const SyncLibrary>(item, SyncItemType::FileLib);
}

QString SyncLibrary::toString() const
{
    return QStringLiteral("[teamId: %1, tenantId: %2, tenantName: %3, serverId: %4, serverName: %5, syncStatus: %6]")
        .arg(TeamId, TenantId, TenantName, QString::number(ServerId), ServerName, syncStatus.toString());
}

ItemId parentClientIdOf(const SyncItem &item)
{
    if (item.isFile())
        return static_cast<const SyncFile &>(item).ParentClientId;
    if (item.isFolder())
        return static_cast<const SyncFolder &>(item).ParentClientId;
    return 0;
}

ItemId libraryClientIdOf(const SyncItem &item)
{
    if (item.isFile())
        return static_cast<const SyncFile &>(item).LibraryClientId;
    if (item.isFolder())
        return static_cast<const SyncFolder &>(item).LibraryClientId;
    return 0;
}

QString FileCacheItem::toString() const
{
    return QStringLiteral("[id: %1, hash: %2, size: %3, createdTime: %4]")
        .arg(Id, Hash, QString::number(Size), CreatedTime.toString(Qt::ISODate));
}

namespace syncitem {

QStringList splitPendingRename(const QString &clientName)
{
    const QStringList parts = clientName.split(kPendingRenameMarker, Qt::SkipEmptyParts, Qt::CaseSensitive);
    return parts.size() == 2 ? parts : QStringList();
}

QString cleanupPendingRename(const QString &clientName)
{
    static const QRegularExpression upToMarker(QStringLiteral(".*") + QRegularExpression::escape(kPendingRenameMarker));
    QString name = clientName;
    return name.remove(upToMarker);
}

} // namespace syncitem
