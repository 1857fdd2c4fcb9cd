#include "ClientWatcherEventProcessor.h"

#include "AppState.h"
#include "ClientWatcherHierarchy.h"
#include "SyncDatabase.h"
#include "utils.h"

#include <QDebug>
#include <QFileInfo>
#include <QHash>
#include <QSet>

namespace eventrules {

void pairMoves(ClientWatcherEventList &queue, const QList<EventFacts> &facts, bool folders)
{
    Q_ASSERT(queue.size() == facts.size());
    bool hasAdded = false;
    bool hasRemoved = false;
    QHash<QString, int> signatureCount;
    for (const ClientWatcherEvent &event : qAsConst(queue)) {
        hasAdded = hasAdded || event.type == ADDED;
        hasRemoved = hasRemoved || event.type == REMOVED;
        if (event.type != EMPTY && !event.signature.isEmpty())
            ++signatureCount[event.signature];
    }
    if (!hasAdded || !hasRemoved)
        return;

    const auto isKind = [folders](const EventFacts &f) { return folders ? f.isFolder : f.isFile; };
    for (int a = 0; a < queue.size(); ++a) {
        const ClientWatcherEvent added = queue.at(a);
        if (added.type != ADDED || facts.at(a).clientId != 0 || !isKind(facts.at(a)) || added.signature.isEmpty())
            continue;
        if (signatureCount.value(added.signature) != 2)
            continue;
        for (int r = 0; r < queue.size(); ++r) {
            const ClientWatcherEvent &removed = queue.at(r);
            const EventFacts &rf = facts.at(r);
            if (removed.type != REMOVED || rf.clientId == 0 || !isKind(rf) || rf.existsOnDisk
                || removed.signature != added.signature || rf.libraryId == 0 || rf.libraryId != facts.at(a).libraryId)
                continue;
            const QString oldPath = removed.path;
            ClientWatcherEvent moved = added;
            moved.type = MOVED;
            moved.oldPath = oldPath;
            queue[a] = moved;
            queue[r].type = EMPTY;
            qDebug().noquote() << (folders ? "CClientWatcherEventProcessor::findMovedDirectoryEvents() - detected "
                                             "moved directory:"
                                           : "CClientWatcherEventProcessor::findMovedFileEvents() - detected moved file:")
                               << moved.toString();
            if (folders) {
                for (ClientWatcherEvent &inner : queue) {
                    if ((inner.type == ADDED && watchpath::isBelow(inner.path, moved.path))
                        || (inner.type == REMOVED && watchpath::isBelow(inner.path, oldPath)))
                        inner.type = EMPTY;
                }
            }
            break;
        }
    }
}

void insertCoalesced(ClientWatcherEventList &queue, const ClientWatcherEvent &event)
{
    if (event.type == DIRECTORY_CHANGED) {
        for (const ClientWatcherEvent &queued : qAsConst(queue)) {
            if (queued.type == DIRECTORY_CHANGED && watchpath::isBelow(event.path, queued.path, true))
                return;
        }
        queue.erase(std::remove_if(queue.begin(), queue.end(),
                                   [&event](const ClientWatcherEvent &queued) {
                                       return queued.type == DIRECTORY_CHANGED
                                           && watchpath::isBelow(queued.path, event.path);
                                   }),
                    queue.end());
    }
    queue.append(event);
}

void dropReportedTwice(ClientWatcherEventList &queue)
{
    QSet<QPair<int, QString>> compared;
    for (const ClientWatcherEvent &event : qAsConst(queue)) {
        if (event.fromComparison)
            compared.insert({event.type, event.path});
    }
    if (compared.isEmpty())
        return;
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [&compared](const ClientWatcherEvent &event) {
                                   return !event.fromComparison && compared.contains({event.type, event.path});
                               }),
                queue.end());
}

} // namespace eventrules

namespace {

QString eventPrefix(const char *function, const ClientWatcherEvent &event)
{
    return QStringLiteral("CClientWatcherEventProcessor::") + QLatin1String(function) + QLatin1Char('(')
        + event.toString();
}

bool refuse(const QString &prefix, const char *reason)
{
    qDebug().noquote() << prefix + QLatin1String(reason);
    return false;
}

bool isFolderOnDisk(const QString &path)
{
    return utils::fileExistsNative(path, true, true);
}

bool isFileOnDisk(const QString &path)
{
    return utils::fileExistsNative(path, false, true);
}

bool isKnownOnlyFromServer(const SyncItem &item)
{
    return item.syncStatus.ServerStatus == StatusNew && item.syncStatus.ClientStatus == StatusSynchronized;
}

QString renamedClientName(const QString &clientName, const QString &newName)
{
    const int marker = clientName.indexOf(kPendingRenameMarker);
    return (marker < 0 ? clientName : clientName.left(marker)) + kPendingRenameMarker + newName;
}

} // namespace

CClientWatcherEventProcessor::CClientWatcherEventProcessor(const QSharedPointer<CSyncDatabase> &syncDatabase)
    : m_syncDatabase(syncDatabase)
{
    Q_ASSERT_X(m_syncDatabase, "CClientWatcherEventProcessor", "syncDatabase");
    qDebug() << "CClientWatcherEventProcessor::CClientWatcherEventProcessor";
}

CClientWatcherEventProcessor::~CClientWatcherEventProcessor()
{
    qDebug() << "CClientWatcherEventProcessor::~CClientWatcherEventProcessor";
}

void CClientWatcherEventProcessor::prepareEvents(ClientWatcherEventList &queue)
{
    CHierarchyChecker checker(m_syncDatabase);
    for (int i = 0; i < queue.size() && !appstate::isShuttingDown();) {
        if (queue.at(i).type != DIRECTORY_CHANGED) {
            ++i;
            continue;
        }
        const ClientWatcherEvent folderChange = queue.takeAt(i);
        const ClientWatcherEventList found = checker.checkDirectory(folderChange.path, folderChange.checkFileHash);
        for (int k = 0; k < found.size(); ++k)
            queue.insert(i + k, found.at(k));
        i += found.size();
    }
    if (queue.isEmpty() || appstate::isShuttingDown())
        return;
    eventrules::dropReportedTwice(queue);

    const auto has = [&queue](ClientWatcherEventType type) {
        return std::any_of(queue.cbegin(), queue.cend(), [type](const ClientWatcherEvent &e) { return e.type == type; });
    };
    // Signatures serve only to pair removals with additions.
    if (has(ADDED) && has(REMOVED)) {
        signEvents(queue);
        if (appstate::isShuttingDown())
            return;
        const QList<eventrules::EventFacts> facts = gatherFacts(queue);
        eventrules::pairMoves(queue, facts, true);
        eventrules::pairMoves(queue, facts, false);
    }
    queue.erase(std::remove_if(queue.begin(), queue.end(), [](const ClientWatcherEvent &e) { return e.type == EMPTY; }),
                queue.end());
}

void CClientWatcherEventProcessor::signEvents(ClientWatcherEventList &queue)
{
    for (ClientWatcherEvent &event : queue) {
        if (appstate::isShuttingDown())
            return;
        if (event.type == ADDED) {
            if (isFileOnDisk(event.path) && !utils::isFileLocked(event.path))
                event.signature = CClientWatcherUtils::fileSignature(event.path);
            else if (isFolderOnDisk(event.path) && isFolderOnDisk(watchpath::parentOf(event.path)))
                event.signature = CClientWatcherUtils::folderSignature(event.path);
        } else if (event.type == REMOVED) {
            const ItemId id = clientIdOf(event.path);
            if (id == 0)
                continue;
            if (const SyncFile::Ptr file = m_syncDatabase->getFile(id)) {
                event.signature = CClientWatcherUtils::fileSignature(*file);
            } else if (const SyncFolder::Ptr folder = m_syncDatabase->getFolder(id)) {
                const QString parentPath = m_syncDatabase->getClientPath(folder->ParentClientId);
                if (!parentPath.isEmpty() && isFolderOnDisk(parentPath))
                    event.signature = CClientWatcherUtils::folderSignature(*m_syncDatabase, id);
            }
        }
    }
}

QList<eventrules::EventFacts> CClientWatcherEventProcessor::gatherFacts(const ClientWatcherEventList &queue)
{
    QList<eventrules::EventFacts> facts;
    for (const ClientWatcherEvent &event : queue) {
        eventrules::EventFacts f;
        if (event.type == ADDED || event.type == REMOVED) {
            f.clientId = clientIdOf(event.path);
            const bool folderOnDisk = isFolderOnDisk(event.path);
            const bool fileOnDisk = !folderOnDisk && isFileOnDisk(event.path);
            f.existsOnDisk = folderOnDisk || fileOnDisk;
            if (event.type == ADDED) {
                f.isFolder = folderOnDisk;
                f.isFile = fileOnDisk;
            } else if (f.clientId != 0) {
                f.isFolder = m_syncDatabase->isFolderPresent(f.clientId);
                f.isFile = !f.isFolder && m_syncDatabase->isFilePresent(f.clientId);
            }
            if (const SyncLibrary::Ptr library = m_syncDatabase->getLibraryByClientPath(event.path))
                f.libraryId = library->ClientId;
        }
        facts << f;
    }
    return facts;
}

void CClientWatcherEventProcessor::beginBatch()
{
    m_batching = true;
    m_folderIds.clear();
    m_libraries = m_syncDatabase->getLibraries();
}

void CClientWatcherEventProcessor::endBatch()
{
    m_batching = false;
    m_folderIds.clear();
    m_libraries.clear();
}

QList<SyncLibrary::Ptr> CClientWatcherEventProcessor::libraries()
{
    return m_batching ? m_libraries : m_syncDatabase->getLibraries();
}

ItemId CClientWatcherEventProcessor::clientIdOf(const QString &path)
{
    if (!m_batching)
        return CClientWatcherUtils::clientIdByLocalPath(*m_syncDatabase, path);
    const auto known = m_folderIds.constFind(path);
    if (known != m_folderIds.constEnd())
        return *known;
    bool insideLibrary = false;
    for (const SyncLibrary::Ptr &library : qAsConst(m_libraries)) {
        const QString folder = syncpath::libraryFolderPath(*library);
        if (folder.isEmpty())
            continue;
        if (folder == path) {
            m_folderIds.insert(path, library->ClientId);
            return library->ClientId;
        }
        insideLibrary = insideLibrary || watchpath::isBelow(path, folder);
    }
    const ItemId parent = insideLibrary ? clientIdOf(watchpath::parentOf(path)) : 0;
    if (parent == 0)
        return 0;
    bool isFolder = false;
    const ItemId id = CClientWatcherUtils::childIdByLocalName(*m_syncDatabase, parent, watchpath::nameOf(path), &isFolder);
    if (isFolder)
        m_folderIds.insert(path, id);
    return id;
}

bool CClientWatcherEventProcessor::isSameLibrary(const QString &path1, const QString &path2)
{
    const SyncLibrary::Ptr first = m_syncDatabase->getLibraryByClientPath(path1);
    const SyncLibrary::Ptr second = m_syncDatabase->getLibraryByClientPath(path2);
    return first && second && first->ClientId == second->ClientId;
}

bool CClientWatcherEventProcessor::acceptEvent(const ClientWatcherEvent &event)
{
    qDebug().noquote() << "CClientWatcherEventProcessor::acceptEvent(" + event.toString() + ")";
    // Removals and moves change what a path leads to.
    if (event.type == REMOVED || event.type == MOVED)
        m_folderIds.clear();
    switch (event.type) {
    case ADDED:
        return acceptEventAdded(event);
    case REMOVED:
        return acceptEventRemoved(event);
    case MOVED:
        return acceptEventMoved(event);
    case MODIFIED:
        return acceptEventModified(event);
    default:
        qCritical().noquote() << "CClientWatcherEventProcessor::acceptEvent(" + event.toString()
                + ") - inconsistent state";
        return false;
    }
}

bool CClientWatcherEventProcessor::acceptEventAdded(const ClientWatcherEvent &event)
{
    const QString prefix = eventPrefix("acceptEventAdded", event);
    const QString &path = event.path;
    if (clientIdOf(path) != 0)
        return refuse(prefix, ") - item is already stored in database");
    const bool isFolder = isFolderOnDisk(path);
    const bool isFile = !isFolder && isFileOnDisk(path);
    if (!isFolder && !isFile)
        return refuse(prefix, ") - item not found on hard-drive by given path");
    if (!path.contains(QLatin1Char('/')))
        return refuse(prefix, ") - given path is wrong");
    if (watchpath::isHiddenName(watchpath::nameOf(path)) || QFileInfo(path).isSymLink())
        return refuse(prefix, ") - hidden item or symbolic link -> discarding");
    for (const SyncLibrary::Ptr &library : libraries()) {
        if (library->syncStatus.ServerStatus != StatusDeleted
            && watchpath::isBelow(syncpath::libraryFolderPath(*library), path))
            return refuse(prefix, ") - given folder path is part of other FL hierarchy");
    }
    const ItemId parentId = clientIdOf(watchpath::parentOf(path));
    if (parentId == 0 || m_syncDatabase->isFilePresent(parentId))
        return refuse(prefix, ") - cannot find parent folder for given item");
    const SyncLibrary::Ptr library = m_syncDatabase->getLibraryOfItem(parentId);
    if (!library)
        return refuse(prefix, ") - cannot find library for given item");
    const QString name = watchpath::nameOf(path);

    if (isFolder) {
        SyncFolder::Ptr folder(new SyncFolder);
        folder->ClientName = name;
        folder->CreatedTime = utils::getCreatedTimeUtc(path);
        folder->UpdatedTime = utils::getModifiedTimeUtc(path);
        folder->ParentClientId = parentId;
        folder->LibraryClientId = library->ClientId;
        folder->syncStatus.ClientStatus = StatusNew;
        folder->syncStatus.ServerStatus = StatusSynchronized;
        if (m_syncDatabase->insertFolder(folder) == 0)
            return refuse(prefix, ") - inserting the folder failed");
        if (m_batching)
            m_folderIds.insert(path, folder->ClientId);
        qDebug().noquote() << prefix + ") - user created new folder on hard-drive";
        return true;
    }

    const qint64 size = CClientWatcherUtils::currentFileSize(path);
    if (size < 0 || size != event.size)
        return refuse(prefix, ") - file size is changing -> cannot open file, file is probably opened by another "
                              "application");
    if (utils::isFileLocked(path))
        return refuse(prefix, ") - file descriptor is in use -> cannot open file, file is opened by another "
                              "application");
    SyncFile::Ptr file(new SyncFile);
    file->ClientName = name;
    file->CreatedTime = utils::getCreatedTimeUtc(path);
    file->UpdatedTime = utils::getModifiedTimeUtc(path);
    file->Size = quint64(size);
    file->ParentClientId = parentId;
    file->LibraryClientId = library->ClientId;
    file->syncStatus.ClientStatus = StatusNew;
    file->syncStatus.ServerStatus = StatusSynchronized;
    if (file->CreatedTime.isValid() && file->UpdatedTime.isValid() && file->UpdatedTime < file->CreatedTime) {
        qDebug().noquote() << prefix + ") - updatedTime < createdTime -> adjusting timestamps";
        utils::setTime(path, file->UpdatedTime, file->UpdatedTime);
        file->CreatedTime = file->UpdatedTime;
    }
    if (m_syncDatabase->insertFile(file) == 0)
        return refuse(prefix, ") - inserting the file failed");
    qDebug().noquote() << prefix + ") - user created new file on hard-drive";
    return true;
}

bool CClientWatcherEventProcessor::acceptEventRemoved(const ClientWatcherEvent &event)
{
    const QString prefix = eventPrefix("acceptEventRemoved", event);
    const QString &path = event.path;
    const ItemId id = clientIdOf(path);
    if (id == 0)
        return refuse(prefix, ") - no item found in database by given ID");
    if (isFileOnDisk(path))
        return refuse(prefix, ") - file still exists on hard-drive");
    if (isFolderOnDisk(path))
        return refuse(prefix, ") - folder still exists on hard-drive");
    if (!m_syncDatabase->getLibraryOfItem(id))
        return refuse(prefix, ") - cannot find library for given item");

    const quint32 now = toDatabaseTime(QDateTime::currentDateTimeUtc());
    if (m_syncDatabase->isFilePresent(id)) {
        const SyncFile::Ptr file = m_syncDatabase->getFile(id);
        if (!file)
            return refuse(prefix, ") - cannot find item record in database");
        if (isKnownOnlyFromServer(*file))
            return refuse(prefix, ") - file is not yet downloaded from server -> no remove");
        if (file->syncStatus.ClientStatus == StatusDeleted)
            return refuse(prefix, ") - file is already marked as deleted");
        CSqlValueList values{CSqlValue("UpdatedTime", now), CSqlValue("ClientStatus", quint32(StatusDeleted))};
        if (file->hasAttr(AttrInfected)) {
            qDebug().noquote() << prefix + ") - file was infected and now its deleted -> clearing infected flag";
            values << CSqlValue("Attr", file->Attr & ~quint32(AttrInfected));
        }
        m_syncDatabase->updateFile(id, values);
        qDebug().noquote() << prefix + ") - user deleted file from hard-drive";
        return true;
    }
    if (m_syncDatabase->isFolderPresent(id)) {
        const SyncFolder::Ptr folder = m_syncDatabase->getFolder(id);
        if (!folder)
            return refuse(prefix, ") - cannot find item record in database");
        if (isKnownOnlyFromServer(*folder))
            return refuse(prefix, ") - folder is not yet downloaded from server -> no remove");
        if (folder->syncStatus.ClientStatus == StatusDeleted)
            return refuse(prefix, ") - folder is already marked as deleted");
        m_syncDatabase->updateFolder(id, CSqlValue("UpdatedTime", now), CSqlValue("ClientStatus", quint32(StatusDeleted)));
        qDebug().noquote() << prefix + ") - user deleted folder from hard-drive";
        return true;
    }
    if (m_syncDatabase->isLibraryPresent(id)) {
        m_syncDatabase->updateLibrary(id, CSqlValue("ClientStatus", quint32(StatusDeleted)),
                                      CSqlValue("ClientName", QString()));
        qDebug().noquote() << prefix + ") - user deleted file library from hard-drive -> recovering";
        return true;
    }
    qWarning().noquote() << prefix + ") - inconsistent state";
    return false;
}

bool CClientWatcherEventProcessor::acceptEventMoved(const ClientWatcherEvent &event)
{
    const QString prefix = eventPrefix("acceptEventMoved", event);
    const QString &newPath = event.path;
    const QString &oldPath = event.oldPath;
    if (!isSameLibrary(newPath, oldPath))
        return refuse(prefix, ") - move between different servers/tenants/users/FLs -> discarding");
    const ItemId id = clientIdOf(oldPath);
    if (id == 0)
        return refuse(prefix, ") - no item found in database by given ID");
    if (isFileOnDisk(oldPath))
        return refuse(prefix, ") - old file still exists on hard-drive");
    if (isFolderOnDisk(oldPath))
        return refuse(prefix, ") - old folder still exists on hard-drive");
    const bool isFolder = isFolderOnDisk(newPath);
    const bool isFile = !isFolder && isFileOnDisk(newPath);
    if (!isFolder && !isFile)
        return refuse(prefix, ") - new item not found on hard-drive");
    if (!newPath.contains(QLatin1Char('/')))
        return refuse(prefix, ") - given path is wrong");
    const bool isLibrary = m_syncDatabase->isLibraryPresent(id);
    const ItemId newParentId = clientIdOf(watchpath::parentOf(newPath));
    if (!isLibrary && newParentId == 0)
        return refuse(prefix, ") - cannot find parent folder for given item");
    const SyncLibrary::Ptr library =
        isLibrary ? m_syncDatabase->getLibrary(id) : m_syncDatabase->getLibraryOfItem(newParentId);
    if (!library)
        return refuse(prefix, ") - cannot find library for given item");

    const QString newName = watchpath::nameOf(newPath);
    const QDateTime modified = utils::getModifiedTimeUtc(newPath);
    if (isFolder) {
        if (isLibrary)
            return refuse(prefix, ") - user moved library on hard-drive, but this event is not supported");
        const SyncFolder::Ptr folder = m_syncDatabase->getFolder(id);
        if (!folder)
            return refuse(prefix, ") - cannot find item record in database");
        m_syncDatabase->updateFolder(id, CSqlValueList{CSqlValue("ClientStatus", quint32(StatusMoved)),
                                                       CSqlValue("ParentClientId", newParentId),
                                                       CSqlValue("UpdatedTime", toDatabaseTime(modified)),
                                                       CSqlValue("ClientName", renamedClientName(folder->ClientName, newName))});
        qDebug().noquote() << prefix + ") - user moved folder on hard-drive";
        return true;
    }
    const SyncFile::Ptr file = m_syncDatabase->getFile(id);
    if (!file)
        return refuse(prefix, ") - cannot find item record in database");
    if (file->hasAttr(AttrInfected) && !file->syncStatus.isSynchronized()) {
        qDebug().noquote() << prefix + ") - removed infected file from database";
        m_syncDatabase->deleteFile(id);
        return true;
    }
    m_syncDatabase->updateFile(id, CSqlValueList{CSqlValue("ClientStatus", quint32(StatusMoved)),
                                                 CSqlValue("LibraryClientId", library->ClientId),
                                                 CSqlValue("ParentClientId", newParentId),
                                                 CSqlValue("UpdatedTime", toDatabaseTime(modified)),
                                                 CSqlValue("ClientName", renamedClientName(file->ClientName, newName))});
    qDebug().noquote() << prefix + ") - user moved file on hard-drive";
    return true;
}

bool CClientWatcherEventProcessor::acceptEventModified(const ClientWatcherEvent &event)
{
    const QString prefix = eventPrefix("acceptEventModified", event);
    const QString &path = event.path;
    const ItemId id = clientIdOf(path);
    if (id == 0)
        return refuse(prefix, ") - no item found in database by given ID");
    if (isFolderOnDisk(path))
        return refuse(prefix, ") - folder cannot be modified -> discarding");
    if (!isFileOnDisk(path))
        return refuse(prefix, ") - file not found on hard-drive by given path");
    if (!m_syncDatabase->getLibraryOfItem(id))
        return refuse(prefix, ") - cannot find library for given item");
    if (!m_syncDatabase->isFilePresent(id)) {
        qWarning().noquote() << prefix + ") - inconsistent state";
        return false;
    }
    const SyncFile::Ptr file = m_syncDatabase->getFile(id);
    if (!file)
        return refuse(prefix, ") - cannot find item record in database");
    const bool infected = file->hasAttr(AttrInfected);
    if ((!file->syncStatus.isSynchronized() && !infected) || !CClientWatcherUtils::isFileModified(path, *file, true))
        return refuse(prefix, ") - file is not modified -> discarding");
    const qint64 size = CClientWatcherUtils::currentFileSize(path);
    if (size < 0 || size != event.size)
        return refuse(prefix, ") - file size is changing -> cannot open file, file is probably opened by another "
                              "application");
    if (utils::isFileLocked(path))
        return refuse(prefix, ") - file descriptor is in use -> cannot open file, file is opened by another "
                              "application");

    CSqlValueList values{CSqlValue("Size", quint64(size)),
                         CSqlValue("UpdatedTime", toDatabaseTime(utils::getModifiedTimeUtc(path))),
                         CSqlValue("CreatedTime", toDatabaseTime(utils::getCreatedTimeUtc(path)))};
    if (infected) {
        qDebug().noquote() << prefix + ") - cleared infected flag";
        values << CSqlValue("Attr", file->Attr & ~quint32(AttrInfected));
    } else {
        values << CSqlValue("ClientStatus", quint32(StatusChanged));
    }
    m_syncDatabase->updateFile(id, values);
    qDebug().noquote() << prefix + ") - user modified file content on hard-drive";
    return true;
}
