#include "SyncItem.h"

#include "FileManipulation.h"
#include "JsonSaxHierarchyParser.h"
#include "ServerHierarchyProjector.h"
#include "SyncDatabase.h"
#include "SyncHash.h"
#include "UserSessionController.h"
#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace syncitem {

Handler dispatch(const SyncStatus &status)
{
    const quint32 client = status.ClientStatus;
    const quint32 server = status.ServerStatus;
    if (client == StatusSynchronized && server == StatusSynchronized)
        return Handler::Unknown;
    if (client == StatusSynchronized) {
        switch (server) {
        case StatusNew: return Handler::NewOnServer;
        case StatusMoved: return Handler::MovedOnServer;
        case StatusChanged:
        case StatusMovedAndChanged: return Handler::ChangedOnServer;
        case StatusDeleted: return Handler::DeletedOnServer;
        default: return Handler::UnknownFromServer;
        }
    }
    if (server == StatusSynchronized) {
        switch (client) {
        case StatusNew: return Handler::NewOnClient;
        case StatusMoved: return Handler::MovedOnClient;
        case StatusChanged: return Handler::ChangedOnClient;
        case StatusDeleted: return Handler::DeletedOnClient;
        default: return Handler::UnknownFromClient;
        }
    }
    return Handler::Conflict;
}

Resolution resolveConflict(const SyncStatus &status)
{
    Resolution r;
    r.status = status;
    const quint32 server = status.ServerStatus;
    const auto set = [&r](quint32 client, quint32 serverStatus) {
        r.status.ClientStatus = client;
        r.status.ServerStatus = serverStatus;
    };
    switch (status.ClientStatus) {
    case StatusNew:
        if (server == StatusDeleted)
            set(StatusNew, StatusSynchronized);
        else
            set(StatusSynchronized, StatusNew);
        break;
    case StatusMoved:
        if (server == StatusMoved) {
            set(StatusMoved, StatusSynchronized);
        } else if (server == StatusDeleted) {
            r.cleanupName = true;
            set(StatusNew, StatusSynchronized);
        } else if (server == StatusChanged || server == StatusMovedAndChanged) {
            r.cleanupName = true;
            set(StatusSynchronized, StatusMovedAndChanged);
        }
        break;
    case StatusChanged:
        if (server == StatusChanged || server == StatusMoved || server == StatusMovedAndChanged)
            set(StatusChanged, StatusSynchronized);
        else if (server == StatusDeleted)
            set(StatusNew, StatusSynchronized);
        break;
    case StatusDeleted:
        if (server == StatusDeleted)
            set(StatusSynchronized, StatusDeleted);
        else
            set(StatusSynchronized, StatusNew);
        break;
    case StatusMovedAndChanged:
        r.impossible = true;
        break;
    default:
        break;
    }
    return r;
}

namespace {
// The extension starts at the last dot that is neither the first nor the last character.
int extensionStart(const QString &name, bool isFile)
{
    if (!isFile)
        return -1;
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 && dot < name.size() - 1 ? dot : -1;
}

QString insertBeforeExtension(const QString &name, const QString &insert, bool isFile)
{
    const int dot = extensionStart(name, isFile);
    return dot < 0 ? name + insert : name.left(dot) + insert + name.mid(dot);
}
} // namespace

QString numberedName(const QString &name, int n, bool isFile)
{
    return insertBeforeExtension(name, QStringLiteral(" (%1)").arg(n), isFile);
}

QString conflictName(const QString &name, const QDateTime &localTime, bool isFile)
{
    return insertBeforeExtension(
        name, QStringLiteral(".conflict ") + localTime.toString(QStringLiteral("yyyy-MM-dd hh_mm_ss")), isFile);
}

QString uniqueLocalName(const QString &folderPath, const QString &name, bool isFile, const QString &allowedSelf)
{
    const QStringList entries =
        QDir(folderPath).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    const auto taken = [&](const QString &candidate) {
        for (const QString &entry : entries) {
            if (entry.compare(candidate, Qt::CaseInsensitive) == 0 && entry != allowedSelf)
                return true;
        }
        return false;
    };
    if (!taken(name))
        return name;
    for (int n = 2;; ++n) {
        const QString candidate = numberedName(name, n, isFile);
        if (!taken(candidate))
            return candidate;
    }
}

} // namespace syncitem

// ---------------------------------------------------------------------------------------------
// CSyncItemConflictResolver

CSyncItemConflictResolver::CSyncItemConflictResolver(const QSharedPointer<CSyncDatabase> &syncDatabase,
                                                     const SyncItem::Ptr &item)
    : m_syncDatabase(syncDatabase)
    , m_item(item)
{
    Q_ASSERT_X(m_syncDatabase, "CSyncItemConflictResolver", "m_syncDatabase");
    Q_ASSERT_X(m_item, "CSyncItemConflictResolver", "item");
}

bool CSyncItemConflictResolver::resolveConflict()
{
    qDebug() << "CSyncItemConflictResolver::resolveConflict: itemClientId" << m_item->ClientId
             << "is in status:" << m_item->syncStatus.toString();
    const syncitem::Resolution r = syncitem::resolveConflict(m_item->syncStatus);
    if (r.impossible) {
        qCritical() << "CSyncItemConflictResolver::resolveConflict: itemClientId" << m_item->ClientId
                    << "has impossible status:" << m_item->syncStatus.toString() << "!!!";
        return false;
    }
    if (r.status.ClientStatus == m_item->syncStatus.ClientStatus
        && r.status.ServerStatus == m_item->syncStatus.ServerStatus) {
        qWarning() << "CSyncItemConflictResolver::resolveConflict: no rule for itemClientId" << m_item->ClientId
                   << "status:" << m_item->syncStatus.toString() << "-> left unchanged";
        return false;
    }
    if (r.cleanupName)
        m_item->ClientName = syncitem::cleanupPendingRename(m_item->ClientName);
    m_item->syncStatus = r.status;
    qDebug() << "CSyncItemConflictResolver::resolveConflict: conflict for itemClientId" << m_item->ClientId
             << "resolved - new status:" << m_item->syncStatus.toString();
    m_syncDatabase->updateItem(m_item);
    return true;
}

// ---------------------------------------------------------------------------------------------
// CSyncItem

CSyncItem::CSyncItem(const QSharedPointer<CSyncDatabase> &syncDatabase,
                     const QSharedPointer<CAppStatusController> &appStatusController,
                     const QSharedPointer<CUserSessionController> &userSessionController,
                     const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
                     const QSharedPointer<CFileManipulation> &fileManipulation, const SyncItem::Ptr &item,
                     QObject *parent)
    : QObject(parent)
    , m_syncDatabase(syncDatabase)
    , m_appStatusController(appStatusController)
    , m_userSessionController(userSessionController)
    , m_syncProgressManager(syncProgressManager)
    , m_fileManipulation(fileManipulation)
    , m_item(item)
{
    Q_ASSERT_X(m_syncDatabase, "CSyncItem", "m_syncDatabase");
    Q_ASSERT_X(m_appStatusController, "CSyncItem", "_appStatusController");
    Q_ASSERT_X(m_userSessionController, "CSyncItem", "m_userSessionController");
    Q_ASSERT_X(m_fileManipulation, "CSyncItem", "_fileManipulation");
    Q_ASSERT_X(m_item, "CSyncItem", "item");
}

CSyncItem::~CSyncItem() = default;

void CSyncItem::finish(const ErrorCode &error)
{
    if (m_finished) {
        qWarning() << "CSyncItem::finish: item" << m_item->ClientId << "already finished, ignored:" << error;
        return;
    }
    m_finished = true;
    emit finished(error);
    deleteLater();
}

QSharedPointer<CUserSession> CSyncItem::userSession() const
{
    return m_userSessionController->getUserSession();
}

SyncLibrary::Ptr CSyncItem::findLibrary() const
{
    if (m_item->isLibrary())
        return m_syncDatabase->getLibrary(m_item->ClientId);
    return m_syncDatabase->getLibraryOfItem(m_item->ClientId);
}

QString CSyncItem::clientPath() const
{
    return m_syncDatabase->getClientPath(m_item->ClientId);
}

QString CSyncItem::currentLocalPath() const
{
    const ItemId parent = parentClientIdOf(*m_item);
    if (parent == 0)
        return clientPath();
    const QString parentPath = m_syncDatabase->getClientPath(parent);
    if (parentPath.isEmpty())
        return QString();
    return parentPath + QLatin1Char('/') + syncitem::cleanupPendingRename(m_item->ClientName);
}

void CSyncItem::writeItem()
{
    m_syncDatabase->updateItem(m_item);
}

void CSyncItem::storeLibrarySic(const SyncLibrary::Ptr &library, const QString &newSic)
{
    if (!library || newSic.isEmpty())
        return;
    library->Sic = newSic;
    m_syncDatabase->updateLibrary(library->ClientId, CSqlValue(QStringLiteral("Sic"), newSic));
}

void CSyncItem::deleteRecord()
{
    m_syncDatabase->deleteItem(m_item);
}

void CSyncItem::startProcessing()
{
    if ((m_item->isFile() || m_item->isFolder())
        && (m_item->hasAttr(AttrAccessDenied) || m_item->hasAttr(AttrQuotaExceeded))) {
        startPreProcessing();
        return;
    }
    m_item->Attr = 0;
    switch (syncitem::dispatch(m_item->syncStatus)) {
    case syncitem::Handler::Unknown:
        qCritical() << "CSyncItem::startProcessing: item" << m_item->ClientId
                    << "is in unknown state:" << m_item->syncStatus.toString();
        finish(ServerApiErrorCode::ErrorInvalidSyncStatus);
        return;
    case syncitem::Handler::Conflict:
        processConflict();
        return;
    default:
        break;
    }
    if (m_item->syncStatus.ClientStatus == StatusSynchronized)
        processSyncFromServerToClient();
    else
        processSyncFromClientToServer();
}

void CSyncItem::processSyncFromServerToClient()
{
    switch (syncitem::dispatch(m_item->syncStatus)) {
    case syncitem::Handler::NewOnServer: processNewOnServer(); return;
    case syncitem::Handler::MovedOnServer: processMovedOnServer(); return;
    case syncitem::Handler::ChangedOnServer: processChangedOnServer(); return;
    case syncitem::Handler::DeletedOnServer: processDeletedOnServer(); return;
    default:
        qWarning() << "CSyncItem::processSyncFromServerToClient: item" << m_item->ClientId
                   << "is in unknown state:" << m_item->syncStatus.toString();
        finish(ServerApiErrorCode::ErrorInvalidSyncStatus);
    }
}

void CSyncItem::processSyncFromClientToServer()
{
    switch (syncitem::dispatch(m_item->syncStatus)) {
    case syncitem::Handler::NewOnClient: processNewOnClient(); return;
    case syncitem::Handler::MovedOnClient: processMovedOnClient(); return;
    case syncitem::Handler::ChangedOnClient: processChangedOnClient(); return;
    case syncitem::Handler::DeletedOnClient: processDeletedOnClient(); return;
    default:
        qWarning() << "CSyncItem::processSyncFromClientToServer: item" << m_item->ClientId
                   << "is in unknown state:" << m_item->syncStatus.toString();
        finish(ServerApiErrorCode::ErrorInvalidSyncStatus);
    }
}

bool CSyncItem::checkItemType(SyncItemType type)
{
    if (type == SyncItemType::File || type == SyncItemType::FileFolder)
        return true;
    qCritical() << "CSyncItem::checkItemType: invalid item type:" << typeToString(type);
    finish(ServerApiErrorCode::ErrorInvalidItemType);
    return false;
}

void CSyncItem::logUnhandled(const char *where)
{
    qCritical() << where << "unhandled status for item:" << m_item->ClientId;
    // Finishing with an error lets the library back off instead of picking the item again at once.
    finish(ServerApiErrorCode::ErrorInvalidSyncStatus);
}

void CSyncItem::processNewOnServer() { logUnhandled("CSyncItem::processNewOnServer:"); }
void CSyncItem::processNewOnClient() { logUnhandled("CSyncItem::processNewOnClient:"); }
void CSyncItem::processChangedOnServer() { logUnhandled("CSyncItem::processChangedOnServer:"); }
void CSyncItem::processChangedOnClient() { logUnhandled("CSyncItem::processChangedOnClient:"); }

void CSyncItem::startPreProcessing()
{
    qDebug() << "CSyncItem::startPreProcessing: item:" << m_item->ClientName << "-> still parked";
    finish(m_item->hasAttr(AttrAccessDenied) ? ServerApiErrorCode::AccessDenied : ServerApiErrorCode::QuotaExceeded);
}

void CSyncItem::processConflict()
{
    qDebug() << "CSyncItem::processConflict: item" << m_item->ClientId
             << "is in conflict state:" << m_item->syncStatus.toString();
    CSyncItemConflictResolver resolver(m_syncDatabase, m_item);
    if (!resolver.resolveConflict()) {
        finish(ServerApiErrorCode::ErrorInvalidSyncStatus);
        return;
    }
    // A folder that becomes new must not leave children pointing at server items that are gone.
    if (m_item->isFolder() && m_item->syncStatus.ClientStatus == StatusNew)
        resetToNewOnClient(m_item);
    finish(ServerApiErrorCode::ErrorSuccess);
}

ItemId CSyncItem::libraryClientId() const
{
    // Also valid once the item's own record is gone.
    return m_item->isLibrary() ? m_item->ClientId : libraryClientIdOf(*m_item);
}

void CSyncItem::markLibraryChangedOnServer()
{
    m_syncDatabase->updateLibrary(libraryClientId(),
                                  CSqlValue(QStringLiteral("ClientStatus"), quint32(StatusSynchronized)),
                                  CSqlValue(QStringLiteral("ServerStatus"), quint32(StatusChanged)));
    finish(ServerApiErrorCode::ErrorSuccess);
}

void CSyncItem::resetToNewOnClient(const SyncItem::Ptr &item)
{
    const auto reset = [this](const SyncItem::Ptr &record) {
        if (record->syncStatus.ClientStatus == StatusDeleted) {
            m_syncDatabase->deleteItem(record);
            return false;
        }
        record->ClientName = syncitem::cleanupPendingRename(record->ClientName);
        record->syncStatus.ClientStatus = StatusNew;
        record->syncStatus.ServerStatus = StatusSynchronized;
        record->ServerId = 0;
        record->Attr = 0;
        if (const SyncFile::Ptr file = SyncFile::cast(record))
            file->Sic.clear();
        m_syncDatabase->updateItem(record);
        return true;
    };
    if (!reset(item) || !item->isFolder())
        return;
    for (const SyncFile::Ptr &file : m_syncDatabase->getFilesByParent(item->ClientId))
        reset(file);
    for (const SyncFolder::Ptr &folder : m_syncDatabase->getFoldersByParent(item->ClientId)) {
        if (folder->ClientId != item->ClientId)
            resetToNewOnClient(folder);
    }
}

bool CSyncItem::hasLocalChangesBelow(const QString &path) const
{
    return m_fileManipulation->hasLocalChanges(m_item, path);
}

// --- deletions -------------------------------------------------------------------------------

void CSyncItem::processDeletedOnServer()
{
    if (!checkItemType(m_item->type))
        return;
    const QString path = clientPath();
    qDebug() << "CSyncItem::processDeletedOnServer: type:" << typeToString(m_item->type) << "id:" << m_item->ClientId
             << "name:" << m_item->ClientName << "path:" << path;
    if (m_item->isFolder() && !path.isEmpty() && hasLocalChangesBelow(path)) {
        qWarning() << "CSyncItem::processDeletedOnServer: folder" << m_item->ClientId << path
                   << "holds local changes -> kept and uploaded as new";
        resetToNewOnClient(m_item);
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }
    if (!m_fileManipulation->removeSyncItem(m_item, path)) {
        qCritical() << "CSyncItem::processDeletedOnServer: unable to delete item:" << m_item->ClientName
                    << "type:" << typeToString(m_item->type) << "error:" << errno;
        finish(ServerApiErrorCode::ErrorUnableToDeleteFile);
        return;
    }
    if (m_item->isFile())
        m_syncDatabase->deleteFile(m_item->ClientId);
    else
        m_syncDatabase->deleteFolder(m_item->ClientId);
    finish(ServerApiErrorCode::ErrorSuccess);
}

void CSyncItem::processDeletedOnClient()
{
    if (!checkItemType(m_item->type))
        return;
    qDebug() << "CSyncItem::processDeletedOnClient: type:" << typeToString(m_item->type) << "id:" << m_item->ClientId
             << "name:" << m_item->ClientName << "path:" << clientPath();
    if (m_item->ServerId == 0) {
        qDebug() << "CSyncItem::processDeletedOnClient: clientId:" << m_item->ClientId << "name:" << m_item->ClientName
                 << ": was not uploaded yet (serverId == 0) -> deleting from database";
        deleteRecord();
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncItem::processDeletedOnClient: id:" << m_item->ClientId << "name:" << m_item->ClientName
                    << "unable to find containing library";
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    if (const SyncFile::Ptr file = SyncFile::cast(m_item)) {
        auto *request = new brindlex::FileSync::CFileSyncRemoveFileRequest(
            userSession(), library, library->Sic, library->TenantId, qint64(library->ServerId), file->Sic,
            qint64(file->ServerId));
        connect(request, &brindlex::FileSync::CFileSyncRemoveFileRequest::finishedSignal, this,
                &CSyncItem::processDeletedOnClientContinueFile);
        request->exec();
        return;
    }
    auto *request = new brindlex::FileSync::CFileSyncRmDirRequest(userSession(), library, library->Sic,
                                                                  library->TenantId, qint64(library->ServerId),
                                                                  qint64(m_item->ServerId));
    connect(request, &brindlex::FileSync::CFileSyncRmDirRequest::finishedSignal, this,
            &CSyncItem::processDeletedOnClientContinueFolder);
    request->exec();
}

void CSyncItem::processDeletedOnClientContinueFile(ErrorCode error,
                                                   brindlex::FileSync::CFileSyncRemoveFileResponse response)
{
    processDeletedOnClientContinue(error, response.newState);
}

void CSyncItem::processDeletedOnClientContinueFolder(ErrorCode error,
                                                     brindlex::FileSync::CFileSyncRmDirResponse response)
{
    processDeletedOnClientContinue(error, response.newState);
}

void CSyncItem::processDeletedOnClientContinue(ErrorCode error, const QString &newLibrarySic)
{
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncItem::processDeletedOnClientContinue: error - library for" << m_item->ClientId
                    << "not found";
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    if (error.isSuccess() || error == ServerApiErrorCode::ItemNotFound) {
        qDebug() << "CSyncItem::processDeletedOnClientContinue: item deleted - id:" << m_item->ClientId
                 << "name:" << m_item->ClientName;
        storeLibrarySic(library, newLibrarySic);
        deleteRecord();
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }
    if (error == ServerApiErrorCode::StateOutOfDate) {
        qDebug() << "CSyncItem::processDeletedOnClientContinue: error:" << error
                 << "-> removing item from SyncDB to fix conflict, file will be found again and re-downloaded later";
        deleteRecord();
        markLibraryChangedOnServer();
        return;
    }
    if (error == ServerApiErrorCode::AccessDenied) {
        qDebug() << "CSyncItem::processDeletedOnClientContinue: error:" << error << "-> restoring item";
        m_item->syncStatus.ClientStatus = StatusSynchronized;
        m_item->syncStatus.ServerStatus = StatusNew;
        writeItem();
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }
    qDebug() << "CSyncItem::processDeletedOnClientContinue: error:" << error;
    finish(error);
}

// --- moves on the server ---------------------------------------------------------------------

void CSyncItem::processMovedOnServer()
{
    if (!checkItemType(m_item->type))
        return;
    qDebug() << "CSyncItem::processMovedOnServer: type:" << typeToString(m_item->type)
             << "clientId:" << m_item->ClientId << "name:" << m_item->ClientName << "path:" << clientPath();
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncItem::processMovedOnServer: unable to find library for" << m_item->ClientId;
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    auto *request = new brindlex::FileSync::CFileSyncGetHierarchyRequest(userSession(), library, library->TenantId,
                                                                         qint64(library->ServerId));
    request->setBodyLogging(false);
    connect(request, &brindlex::FileSync::CFileSyncGetHierarchyRequest::finishedSignal, this,
            &CSyncItem::processMovedOnServerContinue);
    request->exec();
}

namespace {
// The answer's hierarchy, also when it was too large for the whole-document reader.
brindlex::Hierarchy hierarchyOf(ErrorCode *error, brindlex::FileSync::CFileSyncGetHierarchyResponse &response)
{
    if (*error == ServerApiErrorCode::ErrorInternal && response.data.size() > CJsonResponse::kMaxDocumentSize) {
        CJsonSaxHierarchyParser parser;
        if (parser.parse(response.data)) {
            *error = ServerApiErrorCode::ErrorSuccess;
            return parser.hierarchy();
        }
    }
    return response.hierarchy;
}
} // namespace

void CSyncItem::processMovedOnServerContinue(ErrorCode error,
                                             brindlex::FileSync::CFileSyncGetHierarchyResponse response)
{
    const brindlex::Hierarchy hierarchy = hierarchyOf(&error, response);
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncItem::processMovedOnServerContinue: unable to find library for" << m_item->ClientId;
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    if (error == ServerApiErrorCode::ItemNotFound) {
        qDebug() << "CSyncItem::processMovedOnServerContinue: item:" << m_item->ClientId
                 << "was not found -> changing status to DeletedOnServer";
        m_item->syncStatus.ServerStatus = StatusDeleted;
        writeItem();
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }
    if (!error.isSuccess()) {
        finish(error);
        return;
    }

    const QString oldPath = clientPath();
    const QString oldClientName = m_item->ClientName;
    const ItemId oldParent = parentClientIdOf(*m_item);
    const HierarchyIndex index = hierarchyprojection::buildIndex(hierarchy);
    const auto dropAndRefetch = [&] {
        deleteRecord();
        m_syncDatabase->updateLibrary(library->ClientId,
                                      CSqlValue(QStringLiteral("ServerStatus"), quint32(StatusChanged)));
        finish(ServerApiErrorCode::ErrorSuccess);
    };
    if (hierarchy.id != library->ServerId || !index.contains(m_item->ServerId)) {
        qWarning() << "CSyncItem::processMovedOnServerContinue: server item" << m_item->ServerId
                   << "is not in the library's hierarchy -> remove from DB, library fetched again";
        dropAndRefetch();
        return;
    }
    const QString newServerName = index.nameOf.value(m_item->ServerId);
    const quint64 parentServerId = index.parentOf.value(m_item->ServerId);
    const ItemId newParent = parentServerId == library->ServerId
        ? library->ClientId
        : m_syncDatabase->getClientIdByServerId(parentServerId, library->TenantId);
    const QString newParentPath = newParent == 0 ? QString() : m_syncDatabase->getClientPath(newParent);

    if (oldPath.isEmpty() || !QFileInfo::exists(oldPath)) {
        qDebug() << "CSyncItem::processMovedOnServerContinue: server item" << m_item->ClientId << oldPath
                 << "is missing on client -> remove from DB";
        dropAndRefetch();
        return;
    }
    if (newParentPath.isEmpty() || !QFileInfo(newParentPath).isDir()) {
        qDebug() << "CSyncItem::processMovedOnServerContinue: new parent folder" << newParent << newParentPath
                 << "is missing for item" << m_item->ClientId << oldPath << "-> remove item from DB";
        dropAndRefetch();
        return;
    }
    const QString validName = utils::makeValidLocalName(newServerName);
    const QString ownName = newParent == oldParent ? QFileInfo(oldPath).fileName() : QString();
    QString newName = syncitem::uniqueLocalName(newParentPath, validName, m_item->isFile(), ownName);
    if (newName != validName && newName.compare(validName, Qt::CaseInsensitive) == 0)
        newName = validName;
    const QString conflictPath = newParentPath + QLatin1Char('/') + validName;
    if (newParent != oldParent && QFileInfo::exists(conflictPath)) {
        qDebug() << "CSyncItem::processMovedOnServerContinue: server item" << m_item->ClientId
                 << "is after moving in conflict with local item - conflict path:" << conflictPath;
        deleteRecord();
        const ItemId localId = m_syncDatabase->getClientIdByClientPath(conflictPath);
        if (const SyncItem::Ptr local = localId ? m_syncDatabase->getItem(localId) : SyncItem::Ptr()) {
            local->syncStatus.ClientStatus = StatusNew;
            local->syncStatus.ServerStatus = StatusSynchronized;
            m_syncDatabase->updateItem(local);
        }
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }

    const auto setPlace = [this](ItemId parent, const QString &name) {
        if (const SyncFile::Ptr file = SyncFile::cast(m_item))
            file->ParentClientId = parent;
        else if (const SyncFolder::Ptr folder = SyncFolder::cast(m_item))
            folder->ParentClientId = parent;
        m_item->ClientName = name;
    };
    setPlace(newParent, newName);
    m_item->ServerName = newServerName;
    writeItem();
    const QString newPath = newParentPath + QLatin1Char('/') + newName;
    qDebug() << "CSyncItem::processMovedOnServerContinue: moving item" << m_item->ClientId << "from" << oldPath << "to"
             << newPath;
    if (!m_fileManipulation->moveSyncItem(m_item, newPath, oldPath)) {
        qCritical() << "CSyncItem::processMovedOnServerContinue: unable to rename" << oldPath << "to" << newPath
                    << "error:" << errno;
        setPlace(oldParent, oldClientName);
        writeItem();
        finish(ServerApiErrorCode::ErrorUnableToRenameFile);
        return;
    }
    m_item->syncStatus.ServerStatus = StatusSynchronized;
    if (const SyncFile::Ptr file = SyncFile::cast(m_item))
        file->Hash = CSyncHash::calculateByFilePath(newPath);
    writeItem();
    if (newParent != oldParent || newName != oldClientName)
        wakeSiblingWaitingFor(oldParent, oldClientName);
    finish(ServerApiErrorCode::ErrorSuccess);
}

void CSyncItem::wakeSiblingWaitingFor(ItemId parent, const QString &freedName)
{
    QList<SyncItem::Ptr> siblings;
    for (const SyncFile::Ptr &file : m_syncDatabase->getFilesByParent(parent))
        siblings << file;
    for (const SyncFolder::Ptr &folder : m_syncDatabase->getFoldersByParent(parent))
        siblings << folder;
    for (const SyncItem::Ptr &sibling : siblings) {
        if (sibling->ClientId == m_item->ClientId || sibling->ServerId == 0 || !sibling->syncStatus.isSynchronized()
            || sibling->ClientName == freedName || utils::makeValidLocalName(sibling->ServerName) != freedName)
            continue;
        qDebug() << "CSyncItem::wakeSiblingWaitingFor: item" << sibling->ClientId << "named" << sibling->ClientName
                 << "takes its server name" << freedName;
        sibling->syncStatus.ServerStatus = StatusMoved;
        m_syncDatabase->updateItem(sibling);
        return;
    }
}

// --- moves on the client ---------------------------------------------------------------------

void CSyncItem::processMovedOnClient()
{
    if (!checkItemType(m_item->type))
        return;
    qDebug() << "CSyncItem::processMovedOnClient: type:" << typeToString(m_item->type)
             << "clientId:" << m_item->ClientId << "name:" << m_item->ClientName << "path:" << currentLocalPath();
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncItem::processMovedOnClient: file" << m_item->ServerId << "-> unable to find library";
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    const QStringList names = syncitem::splitPendingRename(m_item->ClientName);
    if (names.isEmpty()) {
        qCritical() << "CSyncItem::processMovedOnClient: invalid client name" << m_item->ClientName;
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    m_item->ClientName = names.at(1);
    if (names.at(0) != names.at(1)) {
        auto *request = new brindlex::FileSync::CFileSyncRenameRequest(userSession(), library, library->Sic,
                                                                       library->TenantId, qint64(library->ServerId),
                                                                       qint64(m_item->ServerId), names.at(1));
        connect(request, &brindlex::FileSync::CFileSyncRenameRequest::finishedSignal, this,
                &CSyncItem::processMovedOnClientContinue);
        request->exec();
        return;
    }
    brindlex::FileSync::CFileSyncRenameResponse unchanged;
    unchanged.newState = library->Sic;
    processMovedOnClientContinue(ServerApiErrorCode::ErrorSuccess, unchanged);
}

void CSyncItem::keepRefusedLocalItem()
{
    const QString path = currentLocalPath();
    if (!path.isEmpty() && QFileInfo::exists(path) && m_fileManipulation->hasLocalChanges(m_item, path)) {
        const QString folder = QFileInfo(path).path();
        const QString name = syncitem::uniqueLocalName(
            folder, syncitem::conflictName(m_item->ClientName, QDateTime::currentDateTime(), m_item->isFile()),
            m_item->isFile());
        const QString target = folder + QLatin1Char('/') + name;
        if (!m_fileManipulation->moveSyncItem(m_item, target, path))
            qCritical() << "CSyncItem::keepRefusedLocalItem: unable to rename" << path << "to" << target;
    }
    // The server's copy comes back at its server place with the next fetch, at once rather than
    // after the error's interval; the local one is found again as new.
    deleteRecord();
    markLibraryChangedOnServer();
}

void CSyncItem::processMovedOnClientContinue(ErrorCode error, brindlex::FileSync::CFileSyncRenameResponse response)
{
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncItem::processMovedOnClientContinue: unable to find library for" << m_item->ClientId;
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    if (error.isSuccess()) {
        storeLibrarySic(library, response.newState);
        auto *request = new brindlex::FileSync::CFileSyncGetHierarchyRequest(userSession(), library, library->TenantId,
                                                                             qint64(library->ServerId));
        request->setBodyLogging(false);
        connect(request, &brindlex::FileSync::CFileSyncGetHierarchyRequest::finishedSignal, this,
                &CSyncItem::processMovedOnClientContinue2);
        request->exec();
        return;
    }
    if (error == ServerApiErrorCode::StateOutOfDate) {
        markLibraryChangedOnServer();
        return;
    }
    if (error == ServerApiErrorCode::AccessDenied) {
        qDebug() << "CSyncItem::processMovedOnClientContinue: error:" << error << "for item:" << m_item->ClientId
                 << "-> keeping the local item";
        keepRefusedLocalItem();
        return;
    }
    if (error == ServerApiErrorCode::ItemNotFound) {
        resetToNewOnClient(m_item);
        finish(error);
        return;
    }
    if (error == ServerApiErrorCode::AlreadyExists) {
        qDebug() << "CSyncItem::processMovedOnClientContinue: error:" << error << "for item:" << m_item->ClientId
                 << "-> conflicting item";
        deleteRecord();
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }
    qCritical() << "CSyncItem::processMovedOnClientContinue: error:" << error;
    finish(error);
}

void CSyncItem::processMovedOnClientContinue2(ErrorCode error,
                                              brindlex::FileSync::CFileSyncGetHierarchyResponse response)
{
    const brindlex::Hierarchy hierarchy = hierarchyOf(&error, response);
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncItem::processMovedOnClientContinue2: unable to find library for object"
                    << m_item->ClientId;
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    if (error == ServerApiErrorCode::StateOutOfDate) {
        markLibraryChangedOnServer();
        return;
    }
    if (error == ServerApiErrorCode::ItemNotFound) {
        resetToNewOnClient(m_item);
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }
    if (!error.isSuccess()) {
        qCritical() << "CSyncItem::processMovedOnClientContinue2: error:" << error;
        finish(error);
        return;
    }
    const HierarchyIndex index = hierarchyprojection::buildIndex(hierarchy);
    if (!index.contains(m_item->ServerId)) {
        qWarning() << "CSyncItem::processMovedOnClientContinue2: server item" << m_item->ServerId
                   << "is not in the hierarchy -> library fetched again";
        markLibraryChangedOnServer();
        return;
    }
    const quint64 parentServerId = index.parentOf.value(m_item->ServerId);
    const ItemId serverParent = parentServerId == library->ServerId
        ? library->ClientId
        : m_syncDatabase->getClientIdByServerId(parentServerId, library->TenantId);
    const ItemId localParent = parentClientIdOf(*m_item);
    if (serverParent == localParent) {
        qDebug() << "CSyncItem::processMovedOnClientContinue2: oldParentClientId:" << serverParent
                 << "newParentClientId:" << localParent << "-> nothing to move";
        brindlex::FileSync::CFileSyncMoveResponse unchanged;
        unchanged.newState = library->Sic;
        processMovedOnClientContinue3(ServerApiErrorCode::ErrorSuccess, unchanged);
        return;
    }
    qDebug() << "CSyncItem::processMovedOnClientContinue2: oldParentClientId:" << serverParent
             << "newParentClientId:" << localParent << "-> moving item";
    quint64 newParentServerId = 0;
    if (localParent == library->ClientId) {
        newParentServerId = library->ServerId;
    } else if (const SyncItem::Ptr parent = m_syncDatabase->getItem(localParent)) {
        newParentServerId = parent->ServerId;
    } else {
        qCritical() << "CSyncItem::processMovedOnClientContinue2: unable to find parent for object" << m_item->ClientId;
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    if (newParentServerId == 0) {
        // The new parent is not on the server yet; it is created first.
        finish(ServerApiErrorCode::ErrorParentFolderNotYetCreated);
        return;
    }
    auto *request = new brindlex::FileSync::CFileSyncMoveRequest(userSession(), library, library->Sic,
                                                                 library->TenantId, qint64(library->ServerId),
                                                                 qint64(m_item->ServerId), qint64(newParentServerId));
    connect(request, &brindlex::FileSync::CFileSyncMoveRequest::finishedSignal, this,
            &CSyncItem::processMovedOnClientContinue3);
    request->exec();
}

void CSyncItem::processMovedOnClientContinue3(ErrorCode error, brindlex::FileSync::CFileSyncMoveResponse response)
{
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncItem::processMovedOnClientContinue3: unable to find library for" << m_item->ClientId;
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    if (error.isSuccess()) {
        storeLibrarySic(library, response.newState);
        m_item->syncStatus.ClientStatus = StatusSynchronized;
        m_item->ServerName = m_item->ClientName;
        writeItem();
        qDebug() << "CSyncItem::processMovedOnClientContinue3: finished: new name:" << m_item->ClientName
                 << "new parent:" << parentClientIdOf(*m_item);
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }
    if (error == ServerApiErrorCode::StateOutOfDate) {
        markLibraryChangedOnServer();
        return;
    }
    if (error == ServerApiErrorCode::AlreadyExists) {
        qDebug() << "CSyncItem::processMovedOnClientContinue3: error:" << error << "for item:" << m_item->ClientId
                 << "-> renaming local conflicted item";
        const QString path = currentLocalPath();
        const QString folder = QFileInfo(path).path();
        const QString name = syncitem::uniqueLocalName(
            folder, syncitem::conflictName(m_item->ClientName, QDateTime::currentDateTime(), m_item->isFile()),
            m_item->isFile());
        const QString target = folder + QLatin1Char('/') + name;
        if (!m_fileManipulation->moveSyncItem(m_item, target, path))
            qCritical() << "CSyncItem::processMovedOnClientContinue3: unable to rename" << path << "to" << target
                        << "error:" << errno;
        deleteRecord();
        markLibraryChangedOnServer();
        return;
    }
    if (error == ServerApiErrorCode::AccessDenied) {
        qDebug() << "CSyncItem::processMovedOnClientContinue3: error:" << error << "for item:" << m_item->ClientId
                 << "-> keeping the local item";
        keepRefusedLocalItem();
        return;
    }
    qCritical() << "CSyncItem::processMovedOnClientContinue3: error:" << error;
    finish(error);
}
