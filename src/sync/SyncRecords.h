#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

// The records of synchronised items as the database stores them. They are plain snapshots:
// changing one changes nothing in the database until it is written back.

using ItemId = quint64;

enum class SyncItemType : quint32 {
    Page = 1, // exists in the numbering only; nothing stores it
    File = 2,
    FileFolder = 3,
    FileLib = 4,
};

enum SyncItemStatus : quint32 {
    StatusInvalid = 0,
    StatusSynchronized = 1,
    StatusNew = 2,
    StatusMoved = 3,
    StatusChanged = 4,
    StatusDeleted = 5,
    StatusMovedAndChanged = 6,
};

// Flags that park an item after the server refused it.
enum SyncItemAttr : quint32 {
    AttrInfected = 0x1,
    AttrAccessDenied = 0x4,
    AttrQuotaExceeded = 0x8,
};

// Joins a record's synchronised name and its new local name until a local rename reached the server.
inline const QString kPendingRenameMarker = QStringLiteral("{78E48F04-060D-464e-8166-FF11FA417596}");

namespace syncitem {
// "old{marker}new" -> {old, new}; empty when the text is not exactly two parts.
QStringList splitPendingRename(const QString &clientName);
// Everything up to and including the marker removed.
QString cleanupPendingRename(const QString &clientName);
} // namespace syncitem

QString typeToString(SyncItemType type);
QString statusToString(quint32 status);

// Seconds since 1970 as the database stores them; an invalid time is stored as 0.
quint32 toDatabaseTime(const QDateTime &time);
QDateTime fromDatabaseTime(quint64 secondsSinceEpoch);

struct SyncStatus
{
    quint32 ClientStatus = StatusInvalid;
    quint32 ServerStatus = StatusInvalid;

    bool isSynchronized() const
    {
        return ClientStatus == StatusSynchronized && ServerStatus == StatusSynchronized;
    }
    // Server status first, as every log line reads it.
    QString toString() const;
};

struct SyncItem
{
    using Ptr = QSharedPointer<SyncItem>;
    using ConstPtr = QSharedPointer<const SyncItem>;

    explicit SyncItem(SyncItemType itemType = SyncItemType(0)) : type(itemType) {}

    SyncItemType type;
    SyncStatus syncStatus;
    quint32 Attr = 0;
    quint64 ServerId = 0;
    ItemId ClientId = 0;
    QString ServerName;
    QString ClientName;
    QDateTime CreatedTime;
    QDateTime UpdatedTime;
    QString CreatedBy;
    QString UpdatedBy;

    bool isFile() const { return type == SyncItemType::File; }
    bool isFolder() const { return type == SyncItemType::FileFolder; }
    bool isLibrary() const { return type == SyncItemType::FileLib; }
    bool hasAttr(quint32 flag) const { return (Attr & flag) != 0; }
};

struct SyncFile : SyncItem
{
    using Ptr = QSharedPointer<SyncFile>;
    using ConstPtr = QSharedPointer<const SyncFile>;

    SyncFile() : SyncItem(SyncItemType::File) {}

    ItemId ParentClientId = 0;
    ItemId LibraryClientId = 0;
    QString Hash;
    QString Sic;
    quint64 Size = 0;

    // Null unless the item really is a file.
    static Ptr cast(const SyncItem::Ptr &item);
    static ConstPtr cast(const SyncItem::ConstPtr &item);
};

struct SyncFolder : SyncItem
{
    using Ptr = QSharedPointer<SyncFolder>;
    using ConstPtr = QSharedPointer<const SyncFolder>;

    SyncFolder() : SyncItem(SyncItemType::FileFolder) {}

    ItemId ParentClientId = 0;
    ItemId LibraryClientId = 0;

    static Ptr cast(const SyncItem::Ptr &item);
    static ConstPtr cast(const SyncItem::ConstPtr &item);
};

struct SyncLibrary : SyncItem
{
    using Ptr = QSharedPointer<SyncLibrary>;
    using ConstPtr = QSharedPointer<const SyncLibrary>;

    SyncLibrary() : SyncItem(SyncItemType::FileLib) {}

    quint32 ContainerType = 0;
    QString TeamId;
    QString TenantId;
    QString TenantName;
    QString Sic;
    QString ServerPath;

    QString toString() const;

    static Ptr cast(const SyncItem::Ptr &item);
    static ConstPtr cast(const SyncItem::ConstPtr &item);
};

// The parent and library ids that files and folders share; 0 for libraries and other types.
ItemId parentClientIdOf(const SyncItem &item);
ItemId libraryClientIdOf(const SyncItem &item);

struct FileCacheItem
{
    using Ptr = QSharedPointer<FileCacheItem>;

    QString Id;
    QString Hash;
    quint64 Size = 0;
    QDateTime CreatedTime;

    bool isValid() const { return !Id.isEmpty() && !Hash.isEmpty() && Size != 0 && CreatedTime.isValid(); }
    QString toString() const;
};

Q_DECLARE_METATYPE(SyncItem::Ptr)
Q_DECLARE_METATYPE(SyncItem::ConstPtr)
Q_DECLARE_METATYPE(SyncFile::Ptr)
Q_DECLARE_METATYPE(SyncFile::ConstPtr)
Q_DECLARE_METATYPE(SyncFolder::Ptr)
Q_DECLARE_METATYPE(SyncFolder::ConstPtr)
Q_DECLARE_METATYPE(SyncLibrary::Ptr)
Q_DECLARE_METATYPE(SyncLibrary::ConstPtr)
