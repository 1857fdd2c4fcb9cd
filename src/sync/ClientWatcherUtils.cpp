#include "ClientWatcherUtils.h"

#include "AppState.h"
#include "SyncDatabase.h"
#include "SyncDatabaseSql.h"
#include "SyncHash.h"
#include "utils.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QFile>
#include <QSqlQuery>

#include <algorithm>

namespace {

const qint64 kHashSizeLimit = 1048576;

QString timeText(const QDateTime &time)
{
    return time.isValid() ? time.toString(Qt::ISODate) : QStringLiteral("invalid");
}

bool differByASecondOrMore(const QDateTime &a, const QDateTime &b)
{
    if (!a.isValid() || !b.isValid())
        return false;
    return qAbs(a.toSecsSinceEpoch() - b.toSecsSinceEpoch()) >= 1;
}

void addNamed(QCryptographicHash &hash, const QString &name)
{
    hash.addData(name.toUtf8());
    hash.addData("\0", 1);
}

void addDiskFolder(QCryptographicHash &hash, const QString &path)
{
    const QFileInfoList entries = watchpath::listFolder(path);
    for (const QFileInfo &entry : entries) {
        if (appstate::isShuttingDown())
            return;
        if (entry.isDir()) {
            addNamed(hash, entry.fileName());
            addDiskFolder(hash, entry.filePath());
        }
    }
    for (const QFileInfo &entry : entries) {
        if (entry.isDir())
            continue;
        addNamed(hash, entry.fileName());
        addNamed(hash, CClientWatcherUtils::fileSignature(entry.filePath()));
    }
}

template <typename Ptr> void sortByLocalName(QList<Ptr> &records)
{
    std::sort(records.begin(), records.end(), [](const Ptr &a, const Ptr &b) {
        return watchpath::lessByName(watchpath::localNameOf(a->ClientName), watchpath::localNameOf(b->ClientName));
    });
}

void addDatabaseFolder(QCryptographicHash &hash, CSyncDatabase &db, ItemId folderId, int depth)
{
    if (depth > 256) {
        qWarning() << "CClientWatcherUtils::folderSignature: folders nested too deep below clientId:" << folderId;
        return;
    }
    QList<SyncFolder::Ptr> folders = db.getFoldersByParent(folderId);
    sortByLocalName(folders);
    for (const SyncFolder::Ptr &folder : qAsConst(folders)) {
        if (appstate::isShuttingDown())
            return;
        addNamed(hash, watchpath::localNameOf(folder->ClientName));
        addDatabaseFolder(hash, db, folder->ClientId, depth + 1);
    }
    QList<SyncFile::Ptr> files = db.getFilesByParent(folderId);
    sortByLocalName(files);
    for (const SyncFile::Ptr &file : qAsConst(files)) {
        addNamed(hash, watchpath::localNameOf(file->ClientName));
        addNamed(hash, CClientWatcherUtils::fileSignature(*file));
    }
}

} // namespace

QString ClientWatcherEvent::toString() const
{
    switch (type) {
    case ADDED:
        return QStringLiteral("ADDED: ") + path;
    case REMOVED:
        return QStringLiteral("REMOVED: ") + path;
    case MOVED:
        return QStringLiteral("MOVED: ") + oldPath + QStringLiteral(" -> ") + path;
    case MODIFIED:
        return QStringLiteral("MODIFIED: ") + path;
    case DIRECTORY_CHANGED:
        return QStringLiteral("DIRECTORY_CHANGED: ") + path;
    case EMPTY:
        return QStringLiteral("EMPTY");
    default:
        return QStringLiteral("UNKNOWN");
    }
}

bool ClientWatcherEvent::operator==(const ClientWatcherEvent &other) const
{
    return type == other.type && path == other.path && oldPath == other.oldPath && signature == other.signature
        && itemClientId == other.itemClientId && checkFileHash == other.checkFileHash && size == other.size
        && fromComparison == other.fromComparison;
}

namespace watchpath {

bool isHiddenName(const QString &name)
{
    return name.startsWith(QLatin1Char('.'));
}

QString parentOf(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash <= 0 ? QString() : path.left(slash);
}

QString nameOf(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

bool isBelow(const QString &path, const QString &folder, bool orEqual)
{
    if (path == folder)
        return orEqual;
    return path.size() > folder.size() && path.startsWith(folder) && path.at(folder.size()) == QLatin1Char('/');
}

QString localNameOf(const QString &clientName)
{
    const int marker = clientName.indexOf(kPendingRenameMarker);
    return marker < 0 ? clientName : clientName.mid(marker + kPendingRenameMarker.size());
}

bool lessByName(const QString &a, const QString &b)
{
    return QString::compare(a, b, Qt::CaseSensitive) < 0;
}

QFileInfoList listFolder(const QString &path)
{
    QFileInfoList entries =
        utils::getFileInfoListNative(path, QDir::Dirs | QDir::Files | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    std::sort(entries.begin(), entries.end(),
              [](const QFileInfo &a, const QFileInfo &b) { return lessByName(a.fileName(), b.fileName()); });
    return entries;
}

} // namespace watchpath

ItemId CClientWatcherUtils::clientIdByLocalPath(CSyncDatabase &db, const QString &path)
{
    QString trimmed = path;
    if (trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    const SyncLibrary::Ptr library = db.getLibraryByClientPath(trimmed);
    if (!library)
        return 0;
    const QString libraryPath = syncpath::libraryFolderPath(*library);
    if (trimmed == libraryPath)
        return library->ClientId;
    if (!watchpath::isBelow(trimmed, libraryPath))
        return 0;

    ItemId parent = library->ClientId;
    for (const QString &part : trimmed.mid(libraryPath.size() + 1).split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        bool isFolder = false;
        const ItemId id = childIdByLocalName(db, parent, part, &isFolder);
        if (id == 0 || !isFolder)
            return id; // anything below a file name resolves to the file
        parent = id;
    }
    return parent;
}

ItemId CClientWatcherUtils::childIdByLocalName(CSyncDatabase &db, ItemId parent, const QString &name, bool *isFolder)
{
    bool folder = true;
    ItemId id = 0;
    if (const SyncFolder::Ptr record = db.getFolderByName(parent, name)) {
        id = record->ClientId;
    } else if (const SyncFile::Ptr record = db.getFileByName(parent, name)) {
        id = record->ClientId;
        folder = false;
    } else {
        const auto renamedTo = [&db, parent, &name](const QString &table) -> ItemId {
            const QString marker = toSqlLiteral(CSqlValue(QStringLiteral("m"), kPendingRenameMarker));
            QSqlQuery query = db.execQuery(
                QStringLiteral("SELECT ClientId FROM %1 WHERE ParentClientId = %2 AND instr(ClientName, %3) > 0 AND "
                               "substr(ClientName, instr(ClientName, %3) + %4) = %5 LIMIT 1")
                    .arg(table)
                    .arg(parent)
                    .arg(marker)
                    .arg(kPendingRenameMarker.size())
                    .arg(toSqlLiteral(CSqlValue(QStringLiteral("n"), name))));
            return query.isValid() ? query.value(0).toULongLong() : 0;
        };
        id = renamedTo(sqltable::Folders);
        if (id == 0) {
            id = renamedTo(sqltable::Files);
            folder = false;
        }
    }
    if (isFolder)
        *isFolder = id != 0 && folder;
    return id;
}

qint64 CClientWatcherUtils::currentFileSize(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return file.size();
}

QString CClientWatcherUtils::fileSignature(const QString &path)
{
    const qint64 size = currentFileSize(path);
    return QStringLiteral("%1#%2#%3")
        .arg(size < 0 ? qint64(-2) : size)
        .arg(toDatabaseTime(utils::getModifiedTimeUtc(path)))
        .arg(toDatabaseTime(utils::getCreatedTimeUtc(path)));
}

QString CClientWatcherUtils::fileSignature(const SyncFile &record)
{
    return QStringLiteral("%1#%2#%3")
        .arg(record.Size)
        .arg(toDatabaseTime(record.UpdatedTime))
        .arg(toDatabaseTime(record.CreatedTime));
}

QString CClientWatcherUtils::folderSignature(const QString &path)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    addDiskFolder(hash, path);
    return QString::fromLatin1(hash.result().toHex());
}

QString CClientWatcherUtils::folderSignature(CSyncDatabase &db, ItemId folderClientId)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    addDatabaseFolder(hash, db, folderClientId, 0);
    return QString::fromLatin1(hash.result().toHex());
}

bool CClientWatcherUtils::isFileModified(const QString &path, const SyncFile &record, bool checkFileHash)
{
    const QDateTime created = utils::getCreatedTimeUtc(path);
    const QDateTime modified = utils::getModifiedTimeUtc(path);
    const qint64 size = currentFileSize(path);
    const bool hashable = size >= 0 && size < kHashSizeLimit;
    QString hash = checkFileHash && hashable ? CSyncHash::calculateByFilePath(path) : QString();

    const bool sizeDiffers = size != qint64(record.Size);
    bool isModified = false;
    if (hash.isEmpty() || record.Hash.isEmpty()) {
        isModified = sizeDiffers || differByASecondOrMore(modified, record.UpdatedTime)
            || differByASecondOrMore(created, record.CreatedTime);
        if (isModified && hashable && hash.isEmpty())
            hash = CSyncHash::calculateByFilePath(path);
    }
    if (!hash.isEmpty() && !record.Hash.isEmpty())
        isModified = sizeDiffers || hash != record.Hash;

    if (isModified) {
        qDebug().noquote() << "CClientWatcherUtils::isFileModified: filePath:" << path
                           << "-> found modified file (SyncDB X HDD), created time:" << timeText(record.CreatedTime)
                           << "X" << timeText(created) << "last modified time:" << timeText(record.UpdatedTime) << "X"
                           << timeText(modified) << "file size:" << record.Size << "X" << size
                           << "file hash:" << record.Hash << "X" << hash;
    }
    return isModified;
}
