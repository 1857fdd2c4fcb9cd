#include "ClientWatcherHierarchy.h"

#include "AppState.h"
#include "SyncDatabase.h"
#include "utils.h"

#include <QDebug>
#include <QFileInfo>

namespace {

bool isKnownOnlyFromServer(const SyncItem &item)
{
    return item.syncStatus.ClientStatus == StatusSynchronized && item.syncStatus.ServerStatus == StatusNew;
}

template <typename Ptr> int indexByLocalName(const QList<Ptr> &records, const QString &name)
{
    for (int i = 0; i < records.size(); ++i) {
        if (watchpath::localNameOf(records.at(i)->ClientName) == name)
            return i;
    }
    return -1;
}

} // namespace

CHierarchyChecker::CHierarchyChecker(const QSharedPointer<CSyncDatabase> &syncDatabase)
    : m_syncDatabase(syncDatabase)
{
    Q_ASSERT_X(m_syncDatabase, "CHierarchyChecker", "syncDatabase");
}

ClientWatcherEventList CHierarchyChecker::checkDirectory(const QString &path, bool checkFileHash, bool reportOnly)
{
    qDebug().noquote() << "CHierarchyChecker::checkDirectory(" << path << "," << checkFileHash << ")";
    m_results.clear();
    m_workList.clear();
    m_reportOnly = reportOnly;
    m_libraryFolders.clear();
    for (const SyncLibrary::Ptr &library : m_syncDatabase->getLibraries()) {
        if (library->syncStatus.ServerStatus != StatusDeleted && !library->ClientName.isEmpty())
            m_libraryFolders << syncpath::libraryFolderPath(*library);
    }

    if (!utils::fileExistsNative(path, true, true)) {
        report(REMOVED, path, CClientWatcherUtils::clientIdByLocalPath(*m_syncDatabase, path));
        return m_results;
    }
    m_workList.enqueue(path);
    while (!m_workList.isEmpty() && !appstate::isShuttingDown() && !(m_reportOnly && !m_results.isEmpty()))
        synchronizeDirectory(m_workList.dequeue(), checkFileHash);
    return m_results;
}

void CHierarchyChecker::report(ClientWatcherEventType type, const QString &path, ItemId clientId, qint64 size)
{
    ClientWatcherEvent event(type, path);
    event.itemClientId = clientId == 0 ? ItemId(-1) : clientId;
    event.size = size;
    event.fromComparison = true;
    m_results << event;
}

bool CHierarchyChecker::isAboveOrIsLibraryFolder(const QString &path)
{
    for (const QString &libraryFolder : qAsConst(m_libraryFolders)) {
        if (watchpath::isBelow(libraryFolder, path, true))
            return true;
    }
    return false;
}

void CHierarchyChecker::synchronizeDirectory(const QString &path, bool checkFileHash)
{
    const ItemId id = CClientWatcherUtils::clientIdByLocalPath(*m_syncDatabase, path);
    const QFileInfoList entries = watchpath::listFolder(path);
    QList<SyncFolder::Ptr> dbFolders = id ? m_syncDatabase->getFoldersByParent(id) : QList<SyncFolder::Ptr>();
    QList<SyncFile::Ptr> dbFiles = id ? m_syncDatabase->getFilesByParent(id) : QList<SyncFile::Ptr>();
    if (appstate::isShuttingDown())
        return;

    QString previousName;
    for (const QFileInfo &entry : entries) {
        if (appstate::isShuttingDown() || (m_reportOnly && !m_results.isEmpty()))
            return;
        const QString name = entry.fileName();
        // Distinct byte names that decode to the same text cannot be told apart in the database.
        if (name == previousName) {
            qWarning().noquote() << "CHierarchyChecker::synchronizeDirectory(" << path << "," << id << ","
                                 << checkFileHash << ") - found UNICODE ambiguity in name:" << name;
            continue;
        }
        previousName = name;
        const QString entryPath = path + QLatin1Char('/') + name;
        if (entry.isDir()) {
            const int found = indexByLocalName(dbFolders, name);
            if (found >= 0)
                dbFolders.removeAt(found);
            else if (!isAboveOrIsLibraryFolder(entryPath))
                report(ADDED, entryPath, 0);
            m_workList.enqueue(entryPath);
            continue;
        }
        const int found = indexByLocalName(dbFiles, name);
        if (found < 0) {
            report(ADDED, entryPath, 0, CClientWatcherUtils::currentFileSize(entryPath));
            continue;
        }
        const SyncFile::Ptr record = dbFiles.takeAt(found);
        if (CClientWatcherUtils::isFileModified(entryPath, *record, checkFileHash))
            report(MODIFIED, entryPath, record->ClientId, CClientWatcherUtils::currentFileSize(entryPath));
    }
    if (appstate::isShuttingDown())
        return;
    QList<SyncItem::Ptr> leftOver;
    for (const SyncFile::Ptr &file : qAsConst(dbFiles))
        leftOver << file;
    for (const SyncFolder::Ptr &folder : qAsConst(dbFolders))
        leftOver << folder;
    for (const SyncItem::Ptr &item : qAsConst(leftOver)) {
        // A deletion already recorded is not news; reporting it again would never let the checks settle.
        if (!item->ClientName.isEmpty() && !isKnownOnlyFromServer(*item)
            && item->syncStatus.ClientStatus != StatusDeleted)
            report(REMOVED, path + QLatin1Char('/') + watchpath::localNameOf(item->ClientName), item->ClientId);
    }
}

CRemovedHierarchyChecker::CRemovedHierarchyChecker(const QSharedPointer<CSyncDatabase> &syncDatabase)
    : m_syncDatabase(syncDatabase)
    , m_quotaMode(syncDatabase && syncDatabase->hasQuotaExceededItems())
{
    Q_ASSERT_X(m_syncDatabase, "CRemovedHierarchyChecker", "syncDatabase");
}

void CRemovedHierarchyChecker::checkFLStore()
{
    qDebug() << "CRemovedHierarchyChecker::checkFLStore()";
    for (const SyncLibrary::Ptr &library : m_syncDatabase->getLibraries()) {
        const QString folder = syncpath::libraryFolderPath(*library);
        if (folder.isEmpty() || !utils::fileExistsNative(folder, true, true))
            continue;
        m_workList.clear();
        m_workList.enqueue(folder);
        while (!m_workList.isEmpty() && !appstate::isShuttingDown())
            checkFolder(m_workList.dequeue());
    }
}

void CRemovedHierarchyChecker::checkFolder(const QString &path)
{
    const ItemId id = CClientWatcherUtils::clientIdByLocalPath(*m_syncDatabase, path);
    if (id == 0)
        return;
    QSet<QString> diskFiles;
    QSet<QString> diskFolders;
    for (const QFileInfo &entry : watchpath::listFolder(path))
        (entry.isDir() ? diskFolders : diskFiles).insert(entry.fileName());

    for (const SyncFile::Ptr &file : m_syncDatabase->getFilesByParent(id)) {
        if (!file->ClientName.isEmpty() && !diskFiles.contains(watchpath::localNameOf(file->ClientName)))
            handleMissingSyncItem(*file, path);
    }
    for (const SyncFolder::Ptr &folder : m_syncDatabase->getFoldersByParent(id)) {
        if (folder->ClientName.isEmpty())
            continue;
        const QString name = watchpath::localNameOf(folder->ClientName);
        if (diskFolders.contains(name))
            m_workList.enqueue(path + QLatin1Char('/') + name);
        else
            handleMissingSyncItem(*folder, path);
    }
}

void CRemovedHierarchyChecker::handleMissingSyncItem(const SyncItem &item, const QString &folderPath)
{
    const QString path = folderPath + QLatin1Char('/') + watchpath::localNameOf(item.ClientName);
    const bool parked = item.hasAttr(AttrInfected) || item.hasAttr(AttrAccessDenied) || item.hasAttr(AttrQuotaExceeded);
    if (item.ServerId == 0 && item.syncStatus.ServerStatus == StatusSynchronized
        && (item.syncStatus.ClientStatus == StatusNew || parked)) {
        qDebug().noquote() << "CRemovedHierarchyChecker::handleMissingSyncItem() - removed missing not yet successfully "
                              "uploaded item from SyncDB:"
                           << path << item.ClientId << item.ClientName;
        if (item.isFolder())
            m_syncDatabase->deleteFolder(item.ClientId);
        else
            m_syncDatabase->deleteFile(item.ClientId);
        return;
    }
    if (m_quotaMode && item.ServerId != 0 && item.syncStatus.ServerStatus == StatusSynchronized
        && (item.syncStatus.ClientStatus == StatusSynchronized || item.hasAttr(AttrQuotaExceeded))) {
        qDebug().noquote() << "CRemovedHierarchyChecker::handleMissingSyncItem() - quota exceeded, marked missing "
                              "successfully uploaded item as removed:"
                           << path << item.ClientId << item.ClientName;
        const CSqlValueList values{CSqlValue("ClientStatus", quint32(StatusDeleted)),
                                   CSqlValue("ServerStatus", quint32(StatusSynchronized))};
        if (item.isFolder())
            m_syncDatabase->updateFolder(item.ClientId, values);
        else
            m_syncDatabase->updateFile(item.ClientId, values);
    }
}
