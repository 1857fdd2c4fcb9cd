#include "ServerHierarchyProjector.h"

#include "AppState.h"
#include "JsonSaxHierarchyParser.h"
#include "SyncDatabase.h"
#include "UserSessionController.h"
#include "WorkspaceServerRequest.h"

#include <QDebug>

// ---------------------------------------------------------------------------------------------
// Pure parts

QString HierarchyIndex::toString() const
{
    return QStringLiteral("[filesCount: %1, foldersCount: %2, filesSizeSum: %3]")
        .arg(filesCount)
        .arg(foldersCount)
        .arg(filesSizeSum);
}

namespace hierarchyprojection {

namespace {

void indexLevel(HierarchyIndex &index, quint64 parentId, const QVector<brindlex::File> &files,
                const QVector<brindlex::Folder> &folders)
{
    for (const brindlex::File &file : files) {
        ++index.filesCount;
        index.filesSizeSum += file.fileSize;
        if (file.id == 0) {
            ++index.itemsWithoutId;
            continue;
        }
        index.ids.append(file.id);
        index.idSet.insert(file.id);
        index.parentOf.insert(file.id, parentId);
        index.nameOf.insert(file.id, file.name);
    }
    for (const brindlex::Folder &folder : folders) {
        ++index.foldersCount;
        if (folder.id == 0) {
            ++index.itemsWithoutId;
        } else {
            index.ids.append(folder.id);
            index.idSet.insert(folder.id);
            index.parentOf.insert(folder.id, parentId);
            index.nameOf.insert(folder.id, folder.name);
        }
        indexLevel(index, folder.id, folder.files, folder.folders);
    }
}

} // namespace

HierarchyIndex buildIndex(const brindlex::Hierarchy &hierarchy)
{
    HierarchyIndex index;
    indexLevel(index, hierarchy.id, hierarchy.files, hierarchy.folders);
    return index;
}

QDateTime serverTime(const brindlex::ServerTime &time)
{
    return time.toDateTime();
}

FileServerStatus fileServerStatus(quint32 current, bool sicChanged, bool nameOrPlaceChanged)
{
    FileServerStatus result;
    result.serverStatus = current;
    if (sicChanged) {
        if (result.serverStatus == StatusSynchronized)
            result.serverStatus = StatusChanged;
        else if (result.serverStatus == StatusMoved)
            result.serverStatus = StatusMovedAndChanged;
    }
    if (nameOrPlaceChanged) {
        if (result.serverStatus == StatusSynchronized) {
            result.serverStatus = StatusMoved;
            result.movedFromSynchronized = true;
        } else if (result.serverStatus == StatusChanged) {
            result.serverStatus = StatusMovedAndChanged;
        }
    }
    return result;
}

quint32 folderServerStatus(quint32 current)
{
    // Not yet created locally: it is still simply new, under its latest name.
    return current == StatusNew ? quint32(StatusNew) : quint32(StatusMoved);
}

bool isConflict(const SyncStatus &status)
{
    if (status.ClientStatus == StatusSynchronized || status.ServerStatus == StatusSynchronized)
        return false;
    const auto changed = [](quint32 s) { return s == StatusChanged || s == StatusMovedAndChanged; };
    return changed(status.ClientStatus) || changed(status.ServerStatus);
}

} // namespace hierarchyprojection

// ---------------------------------------------------------------------------------------------
// CServerHierarchyProjector

using namespace hierarchyprojection;

CServerHierarchyProjector::CServerHierarchyProjector(const QSharedPointer<CSyncDatabase> &syncDatabase,
                                                     const QSharedPointer<CUserSessionController> &userSessionController,
                                                     const SyncLibrary::Ptr &library, QObject *parent)
    : QThread(parent)
    , m_syncDatabase(syncDatabase)
    , m_userSessionController(userSessionController)
    , m_library(library)
{
    Q_ASSERT_X(m_syncDatabase, "CServerHierarchyProjector", "m_syncDatabase");
    Q_ASSERT_X(m_userSessionController, "CServerHierarchyProjector", "m_userSessionController");
    Q_ASSERT_X(m_library, "CServerHierarchyProjector", "syncLibrary");
    qDebug() << "CServerHierarchyProjector::CServerHierarchyProjector for library:"
             << (m_library ? m_library->ClientId : 0);
    // finished comes from the projection thread; the owner hears of it on this object's thread.
    connect(this, &QThread::finished, this, &CServerHierarchyProjector::threadFinishedSlot, Qt::QueuedConnection);
}

CServerHierarchyProjector::~CServerHierarchyProjector()
{
    if (isRunning()) {
        qWarning() << "CServerHierarchyProjector::~CServerHierarchyProjector: library:" << m_library->ClientId
                   << "still running -> waiting for the thread";
        quit();
        wait();
    }
}

void CServerHierarchyProjector::run()
{
    qDebug() << "CServerHierarchyProjector::run for library:" << m_library->ClientId << "started";
    auto *request = new brindlex::FileSync::CFileSyncGetHierarchyRequest(
        m_userSessionController->getUserSession(), m_library, m_library->TenantId, qint64(m_library->ServerId));
    // A hierarchy can be huge; the response's own log line is enough.
    request->setBodyLogging(false);
    // This object lives on the thread that created it; the answer must be handled here, on the
    // projection thread, where the request lives.
    connect(request, &brindlex::FileSync::CFileSyncGetHierarchyRequest::finishedSignal, this,
            &CServerHierarchyProjector::continueHierarchyProcessing, Qt::DirectConnection);
    m_pendingRequest = request;
    // Sent from inside the event loop, so that an answer given at once still finds the loop running.
    QMetaObject::invokeMethod(request, &CJsonRpcRequest::exec, Qt::QueuedConnection);

    exec();

    delete m_pendingRequest.data();
    qDebug() << "CServerHierarchyProjector::run for library:" << m_library->ClientId << "stopped";
    CNetworkAccessManager::deleteInstanceForCurrentThread();
    m_syncDatabase->closeDatabaseForCurrentThread();
}

void CServerHierarchyProjector::threadFinishedSlot()
{
    emit finishedSignal(m_result, m_library);
}

void CServerHierarchyProjector::continueHierarchyProcessing(ErrorCode error,
                                                            brindlex::FileSync::CFileSyncGetHierarchyResponse response)
{
    m_pendingRequest.clear();
    brindlex::Hierarchy hierarchy = response.hierarchy;
    if (error.isSuccess() && response.spool) {
        // Too large for the whole-document reader, not necessarily broken.
        CJsonSaxHierarchyParser parser;
        if (parser.parseFile(response.spool->fileName()))
            hierarchy = parser.hierarchy();
        else
            error = ServerApiErrorCode::ErrorInternal;
    }
    response.data.clear();
    response.spool.reset();

    if (error.isSuccess()) {
        projectHierarchy(hierarchy);
        quit();
        return;
    }

    qDebug() << "CServerHierarchyProjector::continueHierarchyProcessing: clientId:" << m_library->ClientId
             << "error:" << error.errorName;
    m_result = error;
    if (error == ServerApiErrorCode::ItemNotFound) {
        qDebug() << "CServerHierarchyProjector::continueHierarchyProcessing: clientId:" << m_library->ClientId
                 << "-> calling dummy FS.getWAT() request to report ITEM_NOT_FOUND to ShareStoreSync service";
        requestDummyWatcherToken();
        return;
    }
    quit();
}

void CServerHierarchyProjector::requestDummyWatcherToken()
{
    auto *request = new brindlex::FileSync::CFileSyncGetWatcherAuthenticationTokenRequest(
        m_userSessionController->getUserSession(), m_library, m_library->TenantId, qint64(m_library->ServerId));
    // Only its arrival matters: the thread ends once the server has been told.
    connect(request, &brindlex::FileSync::CFileSyncGetWatcherAuthenticationTokenRequest::finishedSignal, request,
            [this] {
                m_pendingRequest.clear();
                quit();
            },
            Qt::DirectConnection);
    m_pendingRequest = request;
    request->exec();
}

ErrorCode CServerHierarchyProjector::projectHierarchy(const brindlex::Hierarchy &hierarchy)
{
    m_conflict = false;
    const bool processed = processHierarchy(hierarchy);
    if (!processed) {
        m_batch.reset();
        m_result = ServerApiErrorCode::ErrorInternal;
        return m_result;
    }
    if (appstate::isShuttingDown()) {
        // Half a projection would leave rows whose parents or deletions are missing.
        m_batch->rollback();
        m_batch.reset();
        qDebug() << "CServerHierarchyProjector::continueHierarchyProcessing: processing hierarchy for library clientId:"
                 << m_library->ClientId << "cancelled";
        m_result = ServerApiErrorCode::ErrorOperationCancelled;
        return m_result;
    }
    const bool committed = m_batch->commit();
    m_batch.reset();
    if (!committed) {
        qCritical() << "CServerHierarchyProjector::projectHierarchy: clientId:" << m_library->ClientId
                    << "unable to commit the projection -> database left unchanged";
        m_result = ServerApiErrorCode::ErrorInternal;
        return m_result;
    }
    storeLibrarySic(hierarchy);
    m_result = ServerApiErrorCode::ErrorSuccess;
    return m_result;
}

void CServerHierarchyProjector::storeLibrarySic(const brindlex::Hierarchy &hierarchy)
{
    const ItemId id = m_library->ClientId;
    // After a conflict the library must be fetched again, unless local creations or deletions
    // would otherwise keep it waiting: they need the current sic to reach the server.
    if (!m_conflict || m_syncDatabase->hasItemsSynchronizedOnServerNewOrDeletedOnClient(id)) {
        m_library->Sic = hierarchy.state;
        qDebug() << "CServerHierarchyProjector::continueHierarchyProcessing: processing hierarchy for library clientId:"
                 << id << "finished, new library sic:" << m_library->Sic;
    } else {
        qDebug() << "CServerHierarchyProjector::continueHierarchyProcessing: processing hierarchy for library clientId:"
                 << id << "finished, conflicting item found -> using old library sic:" << m_library->Sic;
    }
    // The host may have unsubscribed the library while the projection ran: that wins.
    const SyncLibrary::Ptr current = m_syncDatabase->getLibrary(id);
    if (!current) {
        qDebug() << "CServerHierarchyProjector::storeLibrarySic: library clientId:" << id << "is gone -> not written";
        return;
    }
    if (current->syncStatus.ServerStatus == StatusDeleted) {
        m_library->syncStatus.ServerStatus = StatusDeleted;
        m_syncDatabase->updateLibrary(id, CSqlValue(QStringLiteral("Sic"), m_library->Sic));
        return;
    }
    m_syncDatabase->updateLibrary(id, CSqlValue(QStringLiteral("Sic"), m_library->Sic),
                                  CSqlValue(QStringLiteral("ServerStatus"), m_library->syncStatus.ServerStatus));
}

bool CServerHierarchyProjector::processHierarchy(const brindlex::Hierarchy &hierarchy)
{
    m_index = buildIndex(hierarchy);
    qDebug() << "CServerHierarchyProjector::processHierarchy: clientId:" << m_library->ClientId
             << "hierarchySize:" << m_index.toString() << "tenantName:" << m_library->TenantName
             << "serverName:" << m_library->ServerName;

    // An answer that is not this library's complete hierarchy would mark everything deleted.
    if (hierarchy.id != m_library->ServerId || hierarchy.state.isEmpty() || m_index.itemsWithoutId != 0) {
        qCritical() << "CServerHierarchyProjector::processHierarchy: clientId:" << m_library->ClientId
                    << "malformed hierarchy: id:" << hierarchy.id << "expected:" << m_library->ServerId
                    << "state:" << hierarchy.state << "items without id:" << m_index.itemsWithoutId
                    << "-> database left unchanged";
        return false;
    }

    // Started before the rows are read, so that they cannot change until the projection is written.
    m_batch.reset(new CSyncDatabaseBatch(*m_syncDatabase, m_library->ClientId));
    if (!m_batch->isActive()) {
        qCritical() << "CServerHierarchyProjector::processHierarchy: clientId:" << m_library->ClientId
                    << "unable to start a transaction -> database left unchanged";
        return false;
    }

    if (m_library->syncStatus.ServerStatus != StatusDeleted)
        m_library->syncStatus.ServerStatus = StatusMoved; // the library scheduler re-checks the folder

    loadLocalRows();
    findOnServerDeletedItems(hierarchy);
    processFiles(hierarchy.files, m_library);
    processFolders(m_library, hierarchy.folders);
    m_rows = LocalRows();
    return true;
}

void CServerHierarchyProjector::loadLocalRows()
{
    m_rows = LocalRows();
    m_rows.folders = m_syncDatabase->getFoldersOfLibrary(m_library->ClientId);
    m_rows.files = m_syncDatabase->getFilesOfLibrary(m_library->ClientId);
    m_rows.serverIdOfClientId.reserve(m_rows.folders.size() + m_rows.files.size());
    for (const SyncFolder::Ptr &folder : qAsConst(m_rows.folders)) {
        m_rows.serverIdOfClientId.insert(folder->ClientId, folder->ServerId);
        m_rows.serverIds.insert(folder->ServerId);
        if (!m_rows.foldersByServerId.contains(folder->ServerId))
            m_rows.foldersByServerId.insert(folder->ServerId, folder);
    }
    for (const SyncFile::Ptr &file : qAsConst(m_rows.files)) {
        m_rows.serverIdOfClientId.insert(file->ClientId, file->ServerId);
        m_rows.serverIds.insert(file->ServerId);
        if (!m_rows.filesByServerId.contains(file->ServerId))
            m_rows.filesByServerId.insert(file->ServerId, file);
    }
}

void CServerHierarchyProjector::findOnServerDeletedItems(const brindlex::Hierarchy &)
{
    // Items created locally and not yet uploaded are unknown to the server by nature.
    const auto goneFromServer = [this](const SyncItem &item) {
        return !m_index.contains(item.ServerId) && item.syncStatus.ClientStatus != StatusNew
            && item.syncStatus.ServerStatus != StatusDeleted;
    };
    const CSqlValue deleted(QStringLiteral("ServerStatus"), quint32(StatusDeleted));
    for (const SyncFolder::Ptr &folder : qAsConst(m_rows.folders)) {
        if (appstate::isShuttingDown())
            return;
        if (!goneFromServer(*folder))
            continue;
        m_syncDatabase->updateFolder(folder->ClientId, deleted);
        folder->syncStatus.ServerStatus = StatusDeleted;
        qDebug() << "CServerHierarchyProjector::findOnServerDeletedItems: deleted folder clientId:" << folder->ClientId
                 << "name:" << folder->ClientName;
    }
    for (const SyncFile::Ptr &file : qAsConst(m_rows.files)) {
        if (appstate::isShuttingDown())
            return;
        if (!goneFromServer(*file))
            continue;
        m_syncDatabase->updateFile(file->ClientId, deleted);
        file->syncStatus.ServerStatus = StatusDeleted;
        qDebug() << "CServerHierarchyProjector::findOnServerDeletedItems: deleted file clientId:" << file->ClientId
                 << "name:" << file->ClientName;
    }
}

void CServerHierarchyProjector::processFiles(const QVector<brindlex::File> &files, const SyncItem::ConstPtr &parent)
{
    for (const brindlex::File &file : files) {
        if (appstate::isShuttingDown())
            return;
        if (const SyncFile::Ptr record = m_rows.filesByServerId.value(file.id))
            processOnServerExistingFile(file, record);
        else
            processOnServerNewFile(parent, file);
    }
}

void CServerHierarchyProjector::processFolders(const SyncItem::ConstPtr &parent,
                                               const QVector<brindlex::Folder> &folders)
{
    for (const brindlex::Folder &folder : folders) {
        if (appstate::isShuttingDown())
            return;
        if (const SyncFolder::Ptr record = m_rows.foldersByServerId.value(folder.id))
            processOnServerExistingFolder(folder, record);
        else
            processOnServerNewFolder(parent, folder);
    }
}

void CServerHierarchyProjector::processOnServerNewFile(const SyncItem::ConstPtr &parent, const brindlex::File &file)
{
    if (appstate::isShuttingDown())
        return;
    SyncFile::Ptr record(new SyncFile);
    record->ParentClientId = parent->ClientId;
    record->LibraryClientId = m_library->ClientId;
    record->ServerId = file.id;
    record->syncStatus.ClientStatus = StatusSynchronized;
    record->syncStatus.ServerStatus = StatusNew;
    record->CreatedTime = serverTime(file.createdTime);
    record->UpdatedTime = serverTime(file.modifiedTime);
    record->ServerName = file.name;
    record->Sic = file.state.toString();
    record->Size = file.fileSize;
    record->Hash = file.contentHash.toString();
    if (m_rows.serverIds.contains(file.id)) {
        qCritical() << "CServerHierarchyProjector::processOnServerNewFile: serverId is already present in DB:" << file.id
                    << "-> discarding insert";
        return;
    }
    if (m_batch->insertFile(*record) == 0)
        return;
    m_rows.serverIds.insert(file.id);
    qDebug() << "CServerHierarchyProjector::processOnServerNewFile: file clientId:" << record->ClientId
             << "serverId:" << record->ServerId << "name:" << record->ServerName
             << "parentClientId:" << record->ParentClientId << "sic:" << record->Sic;
}

bool CServerHierarchyProjector::currentParentServerId(ItemId parentClientId, quint64 *serverId)
{
    if (parentClientId == m_library->ClientId) {
        *serverId = m_library->ServerId;
        return true;
    }
    const auto known = m_rows.serverIdOfClientId.constFind(parentClientId);
    if (known != m_rows.serverIdOfClientId.constEnd()) {
        *serverId = known.value();
        return true;
    }
    // Outside this library's rows: only a damaged database gets here.
    if (const SyncItem::Ptr parent = m_syncDatabase->getItem(parentClientId)) {
        *serverId = parent->ServerId;
        return true;
    }
    return false;
}

void CServerHierarchyProjector::processOnServerExistingFile(const brindlex::File &file, const SyncFile::Ptr &record)
{
    if (appstate::isShuttingDown())
        return;
    quint64 oldParentServerId = 0;
    if (!currentParentServerId(record->ParentClientId, &oldParentServerId)) {
        qCritical() << "CServerHierarchyProjector::processOnServerExistingFile: unable to find parent for folderClientId:"
                    << record->ClientId;
        return;
    }
    const quint64 newParentServerId = m_index.parentOf.value(file.id, 0);
    const bool parentUnchanged = oldParentServerId == newParentServerId;

    if (record->Sic.isEmpty()) {
        qDebug() << "CServerHierarchyProjector::processOnServerExistingFile: sic empty for file - clientId:"
                 << record->ClientId;
        if (!file.contentHash.isEmpty() && file.contentHash == record->Hash) {
            record->Sic = file.state.toString();
            m_syncDatabase->updateFile(record->ClientId, CSqlValue(QStringLiteral("Sic"), record->Sic));
            if (file.name == record->ServerName && parentUnchanged) {
                qDebug() << "CServerHierarchyProjector::processOnServerExistingFile: no other change in the file - clientId:"
                         << record->ClientId;
                return;
            }
        }
    }

    const bool sicChanged = file.state != record->Sic;
    const bool nameChanged = file.name != record->ServerName;
    if (!sicChanged && !nameChanged && parentUnchanged)
        return;

    qDebug() << "CServerHierarchyProjector::processOnServerExistingFile: modified file found - clientId:"
             << record->ClientId << "old name:" << record->ServerName << "old sic:" << record->Sic
             << "old parentServerId:" << oldParentServerId
             << "old server status:" << statusToString(record->syncStatus.ServerStatus);

    const quint32 oldServerStatus = record->syncStatus.ServerStatus;
    const FileServerStatus status = fileServerStatus(oldServerStatus, sicChanged, nameChanged || !parentUnchanged);
    CSqlValueList values;
    if (status.movedFromSynchronized && record->syncStatus.ClientStatus == StatusDeleted) {
        // Nothing local is left to move: the record takes the server's name and place now.
        values << CSqlValue(QStringLiteral("ServerName"), file.name);
        const ItemId newParent = m_syncDatabase->getClientIdByServerId(newParentServerId, m_library->TenantId);
        if (newParent != 0)
            values << CSqlValue(QStringLiteral("ParentClientId"), newParent);
    }
    record->syncStatus.ServerStatus = status.serverStatus;

    qDebug() << "CServerHierarchyProjector::processOnServerExistingFile: modified file found - clientId:"
             << record->ClientId << "new name:" << file.name << "new sic:" << file.state
             << "new parentServerId:" << newParentServerId
             << "new server status:" << statusToString(record->syncStatus.ServerStatus);

    if (isConflict(record->syncStatus))
        m_conflict = true;

    const QDateTime created = serverTime(file.createdTime);
    const QDateTime updated = serverTime(file.modifiedTime);
    // A change still waiting for the sync engine is seen again by every projection: writing the
    // same values again would only wake everyone who listens to database changes.
    if (values.isEmpty() && oldServerStatus == record->syncStatus.ServerStatus
        && toDatabaseTime(created) == toDatabaseTime(record->CreatedTime)
        && toDatabaseTime(updated) == toDatabaseTime(record->UpdatedTime))
        return;
    values << CSqlValue(QStringLiteral("ServerStatus"), record->syncStatus.ServerStatus)
           << CSqlValue(QStringLiteral("CreatedTime"), created) << CSqlValue(QStringLiteral("UpdatedTime"), updated);
    m_syncDatabase->updateFile(record->ClientId, values);
}

void CServerHierarchyProjector::processOnServerNewFolder(const SyncItem::ConstPtr &parent,
                                                         const brindlex::Folder &folder)
{
    if (appstate::isShuttingDown())
        return;
    SyncFolder::Ptr record(new SyncFolder);
    record->ParentClientId = parent->ClientId;
    record->LibraryClientId = m_library->ClientId;
    record->ServerId = folder.id;
    record->syncStatus.ClientStatus = StatusSynchronized;
    record->syncStatus.ServerStatus = StatusNew;
    record->ServerName = folder.name;
    const bool present = m_rows.serverIds.contains(folder.id);
    if (present)
        qCritical() << "CServerHierarchyProjector::processOnServerNewFolder: serverId is already present in DB:"
                    << folder.id;
    if (present || m_batch->insertFolder(*record) == 0) {
        // Its content would have no parent row to hang from.
        qCritical() << "CServerHierarchyProjector::processOnServerNewFolder: insert refused for serverId:"
                    << folder.id << "name:" << folder.name << "-> subtree skipped";
        return;
    }
    m_rows.serverIds.insert(folder.id);
    qDebug() << "CServerHierarchyProjector::processOnServerNewFolder: folder clientId:" << record->ClientId
             << "serverId:" << record->ServerId << "name:" << record->ServerName
             << "parentClientId:" << record->ParentClientId;
    processFiles(folder.files, record);
    processFolders(record, folder.folders);
}

void CServerHierarchyProjector::processOnServerExistingFolder(const brindlex::Folder &folder,
                                                              const SyncFolder::Ptr &record)
{
    if (appstate::isShuttingDown())
        return;
    quint64 oldParentServerId = 0;
    if (!currentParentServerId(record->ParentClientId, &oldParentServerId)) {
        qCritical() << "CServerHierarchyProjector::processOnServerExistingFolder: unable to find parent for folderClientId:"
                    << record->ClientId;
        return;
    }
    const bool changed =
        folder.name != record->ServerName || oldParentServerId != m_index.parentOf.value(folder.id, 0);
    if (changed) {
        qDebug() << "CServerHierarchyProjector::processOnServerExistingFolder: folder changed - clientId:"
                 << record->ClientId << "old name:" << record->ServerName
                 << "old parentClientId:" << record->ParentClientId
                 << "old server status:" << statusToString(record->syncStatus.ServerStatus);
        record->syncStatus.ServerStatus = folderServerStatus(record->syncStatus.ServerStatus);
        record->ServerName = folder.name;
        qDebug() << "CServerHierarchyProjector::processOnServerExistingFolder: folder changed - clientId:"
                 << record->ClientId << "new name:" << record->ServerName
                 << "new parentClientId:" << record->ParentClientId
                 << "new server status:" << statusToString(record->syncStatus.ServerStatus);
        m_syncDatabase->updateFolder(record->ClientId, CSqlValue(QStringLiteral("ServerName"), record->ServerName),
                                     CSqlValue(QStringLiteral("ServerStatus"), record->syncStatus.ServerStatus));
    }
    processFiles(folder.files, record);
    processFolders(record, folder.folders);
}
