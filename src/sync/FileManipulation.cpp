#include "FileManipulation.h"

#include "SyncDatabase.h"
#include "SyncRecords.h"
#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace filemanipulation {

bool containsOtherLibrary(const QString &path, const QStringList &libraryPaths)
{
    const QString prefix = QDir::cleanPath(path) + QLatin1Char('/');
    for (const QString &libraryPath : libraryPaths) {
        if (QDir::cleanPath(libraryPath).startsWith(prefix))
            return true;
    }
    return false;
}

bool isServerCopy(const SyncFile &record, qint64 sizeOnDisk, const QDateTime &modifiedUtc)
{
    if (record.ServerId == 0 || record.syncStatus.ClientStatus != StatusSynchronized)
        return false;
    if (sizeOnDisk < 0 || quint64(sizeOnDisk) != record.Size)
        return false;
    // A file the engine wrote carries the server's time; an edit moves it.
    return !record.UpdatedTime.isValid() || !modifiedUtc.isValid()
        || toDatabaseTime(record.UpdatedTime) == toDatabaseTime(modifiedUtc);
}

} // namespace filemanipulation

namespace {

QStringList liveLibraryPaths(CSyncDatabase &database)
{
    QStringList paths;
    for (const SyncLibrary::Ptr &library : database.getLibraries()) {
        if (library->syncStatus.ServerStatus == StatusDeleted)
            continue;
        const QString path = syncpath::libraryFolderPath(*library);
        // Only a folder that is there can be harmed.
        if (!path.isEmpty() && QFileInfo(path).isDir())
            paths << QDir::cleanPath(path);
    }
    return paths;
}

bool exists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

CFileManipulation::CFileManipulation(const QSharedPointer<CSyncDatabase> &syncDatabase, QObject *parent)
    : CFileCache(syncDatabase, QString(), parent)
    , m_syncDatabase(syncDatabase)
{
    Q_ASSERT_X(m_syncDatabase, "CFileManipulation", "syncDatabase");
    qDebug() << "CFileManipulation::CFileManipulation";
}

CFileManipulation::~CFileManipulation() = default;

QString CFileManipulation::pathOf(const SyncItem::ConstPtr &item, const QString &path) const
{
    return path.isEmpty() ? m_syncDatabase->getClientPath(item->ClientId) : path;
}

bool CFileManipulation::removeSyncItem(const SyncItem::ConstPtr &item, const QString &path)
{
    if (!item)
        return false;
    if (item->isFile())
        return removeSyncFile(SyncFile::cast(item), path);
    if (item->isFolder() || item->isLibrary())
        return removeSyncFolderOrLibrary(item, path);
    qWarning() << "CFileManipulation::removeSyncItem: clientId:" << item->ClientId
               << "wrong type:" << typeToString(item->type);
    return false;
}

bool CFileManipulation::moveSyncItem(const SyncItem::ConstPtr &item, const QString &newPath, const QString &path)
{
    if (!item)
        return false;
    if (item->isFile())
        return moveSyncFile(SyncFile::cast(item), newPath, path);
    if (item->isFolder() || item->isLibrary())
        return moveSyncFolderOrLibrary(item, newPath, path);
    qWarning() << "CFileManipulation::moveSyncItem: clientId:" << item->ClientId
               << "wrong type:" << typeToString(item->type);
    return false;
}

bool CFileManipulation::removeSyncFile(const SyncFile::ConstPtr &file, const QString &path)
{
    if (!file)
        return false;
    const QString filePath = pathOf(file, path);
    qDebug() << "CFileManipulation::removeSyncFile: clientId:" << file->ClientId << "hash:" << file->Hash
             << "size:" << file->Size << "filePath:" << filePath;
    if (filePath.isEmpty())
        return false;
    const QFileInfo info(filePath);
    if (info.isSymLink())
        return QFile::remove(filePath);
    if (!info.exists())
        return true;
    if (info.isDir()) {
        qWarning() << "CFileManipulation::removeSyncFile: a folder stands at the file's place -> kept:" << filePath;
        return false;
    }
    if (!filemanipulation::isServerCopy(*file, info.size(), info.lastModified().toUTC())) {
        qDebug() << "CFileManipulation::removeSyncFile: local content the server never had -> trash:" << filePath;
        return utils::moveToTrash(filePath);
    }
    if (moveSyncFileToCache(file, filePath))
        return true;
    return QFile::remove(filePath) || !exists(filePath);
}

bool CFileManipulation::movePath(const QString &path, const QString &newPath)
{
    if (path == newPath)
        return true;
    return utils::renameFileNative(path, newPath);
}

bool CFileManipulation::moveSyncFile(const SyncFile::ConstPtr &file, const QString &newPath, const QString &path)
{
    if (!file)
        return false;
    const QString filePath = pathOf(file, path);
    qDebug() << "CFileManipulation::moveSyncFile: clientId:" << file->ClientId << "hash:" << file->Hash
             << "size:" << file->Size << "filePath:" << filePath << "newFilePath:" << newPath;
    if (filePath.isEmpty() || newPath.isEmpty())
        return false;
    return movePath(filePath, newPath);
}

void CFileManipulation::collectFiles(ItemId parentClientId, const QString &relative,
                                     QHash<QString, SyncFile::Ptr> *files, QHash<QString, SyncFolder::Ptr> *folders)
{
    // A pending local rename is already done on disk.
    for (const SyncFile::Ptr &file : m_syncDatabase->getFilesByParent(parentClientId))
        files->insert(relative + syncitem::cleanupPendingRename(file->ClientName), file);
    for (const SyncFolder::Ptr &folder : m_syncDatabase->getFoldersByParent(parentClientId)) {
        if (folder->ClientId == parentClientId)
            continue;
        const QString name = syncitem::cleanupPendingRename(folder->ClientName);
        if (folders)
            folders->insert(relative + name, folder);
        collectFiles(folder->ClientId, relative + name + QLatin1Char('/'), files, folders);
    }
}

bool CFileManipulation::differsFromRecords(const QString &path, const QString &relative,
                                           const QHash<QString, SyncFile::Ptr> &files,
                                           const QHash<QString, SyncFolder::Ptr> &folders,
                                           const QStringList &libraryPaths)
{
    const QFileInfoList entries = QDir(path).entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        if (entry.isSymLink() || entry.fileName().startsWith(QLatin1Char('.')))
            continue;
        const QString entryRelative = relative + entry.fileName();
        if (entry.isDir()) {
            if (libraryPaths.contains(QDir::cleanPath(entry.absoluteFilePath())))
                continue;
            if (!folders.contains(entryRelative)) {
                qDebug() << "CFileManipulation::hasLocalChanges: folder without record:" << entry.absoluteFilePath();
                return true;
            }
            if (differsFromRecords(entry.absoluteFilePath(), entryRelative + QLatin1Char('/'), files, folders,
                                   libraryPaths))
                return true;
            continue;
        }
        const SyncFile::Ptr record = files.value(entryRelative);
        if (!record || !filemanipulation::isServerCopy(*record, entry.size(), entry.lastModified().toUTC())) {
            qDebug() << "CFileManipulation::hasLocalChanges: file the server does not have:" << entry.absoluteFilePath();
            return true;
        }
    }
    return false;
}

bool CFileManipulation::hasLocalChanges(const SyncItem::ConstPtr &container, const QString &path)
{
    if (!container)
        return false;
    const QString containerPath = pathOf(container, path);
    if (container->isFile()) {
        const SyncFile::ConstPtr file = SyncFile::cast(container);
        const QFileInfo info(containerPath);
        return info.exists() && !info.isSymLink()
            && !filemanipulation::isServerCopy(*file, info.size(), info.lastModified().toUTC());
    }
    QHash<QString, SyncFile::Ptr> files;
    QHash<QString, SyncFolder::Ptr> folders;
    collectFiles(container->ClientId, QString(), &files, &folders);
    // Deletions and renames leave nothing the server lacks; new and edited content does.
    const auto isLocalContent = [](const SyncItem &item) {
        const quint32 status = item.syncStatus.ClientStatus;
        return status == StatusNew || status == StatusChanged || status == StatusMovedAndChanged;
    };
    for (const SyncFile::Ptr &file : qAsConst(files)) {
        if (isLocalContent(*file))
            return true;
    }
    for (const SyncFolder::Ptr &folder : qAsConst(folders)) {
        if (isLocalContent(*folder))
            return true;
    }
    if (containerPath.isEmpty() || !QFileInfo(containerPath).isDir())
        return false;
    return differsFromRecords(containerPath, QString(), files, folders, liveLibraryPaths(*m_syncDatabase));
}

bool CFileManipulation::removeTree(const QString &path, const QHash<QString, SyncFile::Ptr> &files,
                                   const QString &relative)
{
    const QStringList libraryPaths = liveLibraryPaths(*m_syncDatabase);
    bool ok = true;
    const QFileInfoList entries =
        QDir(path).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString entryPath = entry.absoluteFilePath();
        const QString entryRelative = relative + entry.fileName();
        if (entry.isSymLink()) {
            if (!QFile::remove(entryPath) && QFileInfo(entryPath).isSymLink()) {
                qWarning() << "CFileManipulation::removeTree: unable to remove link:" << entryPath;
                ok = false;
            }
            continue;
        }
        if (entry.isDir()) {
            if (libraryPaths.contains(QDir::cleanPath(entryPath))) {
                qDebug() << "CFileManipulation::removeTree: another library's folder is kept:" << entryPath;
                continue;
            }
            ok = removeTree(entryPath, files, entryRelative + QLatin1Char('/')) && ok;
            continue;
        }
        const SyncFile::Ptr record = files.value(entryRelative);
        bool removed = false;
        if (!record || entry.fileName().startsWith(QLatin1Char('.'))
            || !filemanipulation::isServerCopy(*record, entry.size(), entry.lastModified().toUTC())) {
            qDebug() << "CFileManipulation::removeTree: local content the server never had -> trash:" << entryPath;
            removed = utils::moveToTrash(entryPath);
        } else {
            removed = moveSyncFileToCache(record, entryPath) || QFile::remove(entryPath);
        }
        if (!removed && exists(entryPath)) {
            qWarning() << "CFileManipulation::removeTree: unable to remove:" << entryPath;
            ok = false;
        }
    }
    if (filemanipulation::containsOtherLibrary(path, libraryPaths))
        return ok;
    if (!QDir().rmdir(path) && exists(path)) {
        qWarning() << "CFileManipulation::removeTree: unable to remove folder:" << path;
        return false;
    }
    return ok;
}

bool CFileManipulation::removeSyncFolderOrLibrary(const SyncItem::ConstPtr &container, const QString &path)
{
    if (!container || !(container->isFolder() || container->isLibrary())) {
        qWarning() << "CFileManipulation::removeSyncFolderOrLibrary: clientId:" << (container ? container->ClientId : 0)
                   << "wrong type:" << (container ? typeToString(container->type) : QString());
        return false;
    }
    const QString containerPath = pathOf(container, path);
    qDebug() << "CFileManipulation::removeSyncFolderOrLibrary: clientId:" << container->ClientId
             << "containerPath:" << containerPath;
    if (containerPath.isEmpty())
        return false;
    const QFileInfo info(containerPath);
    if (info.isSymLink())
        return QFile::remove(containerPath);
    if (!info.exists()) {
        qDebug() << "CFileManipulation::removeSyncFolderOrLibrary: container is already deleted";
        return true;
    }
    const bool safe = !isOtherLibraryInside(containerPath);
    qDebug() << "CFileManipulation::removeSyncFolderOrLibrary: clientId:" << container->ClientId
             << "safeToDeleteEntireContainer:" << (safe ? "true" : "false");
    QHash<QString, SyncFile::Ptr> files;
    collectFiles(container->ClientId, QString(), &files);
    return removeTree(containerPath, files, QString());
}

bool CFileManipulation::moveSyncFolderOrLibrary(const SyncItem::ConstPtr &container, const QString &newPath,
                                                const QString &path)
{
    if (!container || !(container->isFolder() || container->isLibrary())) {
        qWarning() << "CFileManipulation::moveSyncFolderOrLibrary: clientId:" << (container ? container->ClientId : 0)
                   << "wrong type:" << (container ? typeToString(container->type) : QString());
        return false;
    }
    const QString containerPath = pathOf(container, path);
    qDebug() << "CFileManipulation::moveSyncFolderOrLibrary: clientId:" << container->ClientId
             << "containerPath:" << containerPath << "newContainerPath:" << newPath;
    if (containerPath.isEmpty() || newPath.isEmpty() || !QFileInfo(containerPath).isDir()
        || QFileInfo(containerPath).isSymLink()) {
        qWarning() << "CFileManipulation::moveSyncFolderOrLibrary: container is missing";
        return false;
    }
    if (exists(newPath) && containerPath.compare(newPath, Qt::CaseInsensitive) != 0) {
        qWarning() << "CFileManipulation::moveSyncFolderOrLibrary: target container already exists";
        return false;
    }
    const QStringList libraryPaths = liveLibraryPaths(*m_syncDatabase);
    const bool safe = !filemanipulation::containsOtherLibrary(containerPath, libraryPaths);
    qDebug() << "CFileManipulation::moveSyncFolderOrLibrary: clientId:" << container->ClientId
             << "safeToMoveEntireContainer:" << (safe ? "true" : "false");
    if (safe)
        return movePath(containerPath, newPath);

    if (!QDir().mkpath(newPath))
        return false;
    const QFileInfoList entries =
        QDir(containerPath).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString entryPath = QDir::cleanPath(entry.absoluteFilePath());
        if (!entry.isSymLink() && entry.isDir()
            && (libraryPaths.contains(entryPath) || filemanipulation::containsOtherLibrary(entryPath, libraryPaths))) {
            qDebug() << "CFileManipulation::moveSyncFolderOrLibrary: clientId:" << container->ClientId
                     << "unsafe folder to move:" << entry.fileName();
            continue;
        }
        if (!movePath(entryPath, newPath + QLatin1Char('/') + entry.fileName()))
            return false;
    }
    return true;
}

bool CFileManipulation::isOtherLibraryInside(const QString &path)
{
    return filemanipulation::containsOtherLibrary(path, liveLibraryPaths(*m_syncDatabase));
}

QString CFileManipulation::getTopMostEmptyFolder(const QString &folderPath)
{
    const QString path = QDir::cleanPath(folderPath);
    qDebug() << "CFileManipulation::getTopMostEmptyFolder: folderPath:" << path;
    const QString parent = QFileInfo(path).path();
    const QString store = QDir::cleanPath(syncpath::storeFolder());
    if (store.isEmpty() || parent.size() <= store.size() || !parent.startsWith(store + QLatin1Char('/'))) {
        qDebug() << "CFileManipulation::getTopMostEmptyFolder: reached to store folder root";
        return path;
    }
    const QFileInfoList entries = QDir(parent).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot);
    const QString name = QFileInfo(path).fileName();
    const bool empty = entries.isEmpty() || (entries.size() == 1 && entries.first().isDir()
                                             && !entries.first().isSymLink() && entries.first().fileName() == name);
    if (!empty) {
        QStringList listed;
        for (const QFileInfo &entry : entries)
            listed << QStringLiteral("%1#%2").arg(entry.isDir() ? QStringLiteral("folder") : QStringLiteral("file"),
                                                  entry.fileName());
        qDebug() << "CFileManipulation::getTopMostEmptyFolder: folder is not empty:" << listed;
        return path;
    }
    if (m_syncDatabase->getClientIdByClientPath(parent) != 0) {
        qDebug() << "CFileManipulation::getTopMostEmptyFolder: reached to another FL";
        return path;
    }
    if (isOtherLibraryInside(parent)) {
        qDebug() << "CFileManipulation::getTopMostEmptyFolder: reached to another FL hierarchy";
        return path;
    }
    return getTopMostEmptyFolder(parent);
}

void CFileManipulation::removeEmptyParentFolders(const QString &folderPath)
{
    qDebug() << "CFileManipulation::removeEmptyParentFolders: folderPath:" << folderPath;
    const QString topMost = getTopMostEmptyFolder(folderPath);
    qDebug() << "CFileManipulation::removeEmptyParentFolders: topMostEmptyFolder" << topMost;
    if (isOtherLibraryInside(topMost))
        return;
    // Hidden entries do not keep a folder "non-empty", so they are kept in the trash.
    if (!utils::removeDir(topMost, true) && exists(topMost))
        qWarning() << "CFileManipulation::removeEmptyParentFolders: failed to remove topMostEmptyFolder:" << topMost;
}
