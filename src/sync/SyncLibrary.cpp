#include "SyncLibrary.h"

#include "AppState.h"
#include "AppStatusController.h"
#include "ClientWatcherHierarchy.h"
#include "FileManipulation.h"
#include "RestartInterval.h"
#include "ServerHierarchyProjector.h"
#include "StoreFolderShell.h"
#include "SyncDatabase.h"
#include "SyncFile.h"
#include "SyncFolder.h"
#include "UserSessionController.h"
#include "WorkspaceServerRequest.h"
#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTimer>

namespace synclibrary {

Gate gateFor(int appStatus)
{
    switch (appStatus) {
    case AppStatusNotConnected:
    case AppStatusStoreFolderLost: return Gate::WaitOffline;
    case AppStatusUserNotSignedIn: return Gate::WaitSignIn;
    default: return Gate::Process;
    }
}

int gateInterval(Gate gate)
{
    switch (gate) {
    case Gate::WaitOffline: return restartinterval::forError(ServerApiErrorCode::ErrorNoNetwork);
    case Gate::WaitSignIn: return restartinterval::forError(ServerApiErrorCode::InvalidAccessToken);
    default: return 0;
    }
}

QString relativeFolderPath(const QString &tenantName, const QString &libraryName)
{
    const QString tenantFolder = QStringLiteral("%1 - %2").arg(QStringLiteral("Brindlex"),
                                                                utils::makeValidLocalName(tenantName));
    return tenantFolder + QLatin1Char('/') + utils::makeValidLocalName(libraryName);
}

QString withoutNumbering(const QString &relativePath)
{
    static const QRegularExpression numbering(QStringLiteral("\\s\\(\\d+\\)$"));
    QString path = relativePath;
    return path.remove(numbering);
}

QString uniqueRelativePath(const QString &storeFolder, const QString &relativePath)
{
    const auto taken = [&](const QString &relative) {
        const QFileInfo info(syncpath::join(storeFolder, relative));
        return info.exists() || info.isSymLink();
    };
    if (!taken(relativePath))
        return relativePath;
    for (int n = 2;; ++n) {
        const QString candidate = QStringLiteral("%1 (%2)").arg(relativePath).arg(n);
        if (!taken(candidate))
            return candidate;
    }
}

QString backupPath(const QString &path, const QDateTime &localTime)
{
    return path + QStringLiteral(".backup ") + localTime.toString(QStringLiteral("yyyy-MM-dd hh_mm_ss"));
}

} // namespace synclibrary

CSyncItem *createSyncItem(const SyncItem::Ptr &item, const QSharedPointer<CSyncDatabase> &syncDatabase,
                          const QSharedPointer<CAppStatusController> &appStatusController,
                          const QSharedPointer<CUserSessionController> &userSessionController,
                          const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
                          const QSharedPointer<CFileManipulation> &fileManipulation, QObject *parent)
{
    switch (item->type) {
    case SyncItemType::File:
        return new CSyncFile(syncDatabase, appStatusController, userSessionController, syncProgressManager,
                             fileManipulation, SyncFile::cast(item), parent);
    case SyncItemType::FileFolder:
        return new CSyncFolder(syncDatabase, appStatusController, userSessionController, syncProgressManager,
                               fileManipulation, item, parent);
    default:
        return nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// CSyncLibrary

CSyncLibrary::CSyncLibrary(const QSharedPointer<CSyncDatabase> &syncDatabase,
                           const QSharedPointer<CAppStatusController> &appStatusController,
                           const QSharedPointer<CUserSessionController> &userSessionController,
                           const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
                           const QSharedPointer<CFileManipulation> &fileManipulation, const SyncLibrary::Ptr &library,
                           QObject *parent)
    : CSyncItem(syncDatabase, appStatusController, userSessionController, syncProgressManager, fileManipulation,
                library, parent)
    , m_libraryClientId(library->ClientId)
{
    qDebug() << "CSyncLibrary::CSyncLibrary: id" << m_libraryClientId;
    connect(m_syncDatabase.data(), &CSyncDatabase::syncDatabaseChangedSignal, this,
            &CSyncLibrary::syncDatabaseChangedSlot);
}

CSyncLibrary::~CSyncLibrary()
{
    qDebug() << "CSyncLibrary::~CSyncLibrary: id" << m_libraryClientId;
}

void CSyncLibrary::sync()
{
    if (!appstate::isShuttingDown())
        qDebug() << "CSyncLibrary::sync: libId:" << m_libraryClientId;
    const SyncLibrary::Ptr current = m_syncDatabase->getLibrary(m_libraryClientId);
    if (current && current->syncStatus.ServerStatus == StatusDeleted) {
        m_restartPending = 0;
        restartProcessingLibrary();
        return;
    }
    if (current && !m_startChecked) {
        m_startChecked = true;
        refetchAfterInterruptedCreations(current);
    }
    checkStoreFolder();
    const AppStatus status = m_appStatusController->getAppStatus();
    m_restartPending = 0;
    const synclibrary::Gate gate = synclibrary::gateFor(status);
    if (gate != synclibrary::Gate::Process) {
        restartSync(unsigned(synclibrary::gateInterval(gate)));
        return;
    }
    restartProcessingLibrary();
}

// A stop in the middle of an upload or a folder creation (a kill, a crash) can leave the item on
// the server while the record still says new here. Fetching the library before anything is sent
// shows that item as the server's, so it is taken over instead of being created a second time
// under a "(2)" name.
void CSyncLibrary::refetchAfterInterruptedCreations(const SyncLibrary::Ptr &library)
{
    if (library->syncStatus.ServerStatus != StatusSynchronized || library->syncStatus.ClientStatus != StatusSynchronized)
        return; // fetched anyway
    const QString waiting = QStringLiteral("LibraryClientId = %1 AND ClientStatus = %2 AND (ServerId = 0 OR ServerId IS NULL)")
                                .arg(m_libraryClientId)
                                .arg(sqlwhere::number(StatusNew));
    if (!m_syncDatabase->existsFileOrFolder(waiting))
        return;
    qDebug() << "CSyncLibrary::sync: libId:" << m_libraryClientId
             << "items new here wait for their creation on the server -> fetching the library first";
    m_syncDatabase->updateLibrary(m_libraryClientId, CSqlValue(QStringLiteral("ServerStatus"), quint32(StatusChanged)));
}

void CSyncLibrary::restartSync(unsigned int msecDelay)
{
    if (!m_restartPending.testAndSetOrdered(0, 1)) {
        qDebug() << "CSyncLibrary::restartSync: libId:" << m_libraryClientId << "msecDelay:" << msecDelay
                 << "-> restart already in progress";
        return;
    }
    qDebug() << "CSyncLibrary::restartSync: libId:" << m_libraryClientId << "msecDelay:" << msecDelay;
    QTimer::singleShot(int(msecDelay), this, &CSyncLibrary::sync);
}

bool CSyncLibrary::checkStoreFolder()
{
    const QString store = syncpath::storeFolder();
    const bool present = !store.isEmpty() && QFileInfo(store).isDir();
    if (!present)
        qWarning() << "CSyncLibrary::checkStoreFolder: store folder is missing:" << store << "-> sync paused";
    m_appStatusController->setStoreFolderLost(!present);
    return present;
}

void CSyncLibrary::clearRecordsOfLibrary()
{
    for (const SyncFolder::Ptr &folder : m_syncDatabase->getFoldersOfLibrary(m_libraryClientId))
        m_syncDatabase->deleteFolder(folder->ClientId);
    for (const SyncFile::Ptr &file : m_syncDatabase->getFilesOfLibrary(m_libraryClientId))
        m_syncDatabase->deleteFile(file->ClientId);
}

bool CSyncLibrary::recoverMissingLibraryFolder(const SyncLibrary::Ptr &lib)
{
    if (lib->syncStatus.ServerStatus == StatusDeleted || lib->ClientName.isEmpty())
        return false;
    const QString path = syncpath::libraryFolderPath(*lib);
    const bool missing = !path.isEmpty() && !QFileInfo(path).isDir();
    if (!missing && lib->syncStatus.ClientStatus != StatusDeleted)
        return false;
    if (!checkStoreFolder())
        return false;
    qWarning() << "CSyncLibrary::recoverMissingLibraryFolder: library" << m_libraryClientId << "folder" << path
               << "is gone -> fetched again from the server";
    if (!missing)
        m_fileManipulation->removeSyncItem(lib, path);
    clearRecordsOfLibrary();
    lib->ClientName.clear();
    lib->syncStatus.ClientStatus = StatusSynchronized;
    lib->syncStatus.ServerStatus = StatusNew;
    m_syncDatabase->updateItem(lib);
    return true;
}

void CSyncLibrary::restartProcessingLibrary()
{
    if (!m_processing.testAndSetOrdered(0, 1)) {
        qDebug() << "CSyncLibrary::restartProcessingLibrary:" << m_libraryClientId << "-> already in progress";
        return;
    }
    if (appstate::isShuttingDown()) {
        m_processing = 0;
        deleteLater();
        return;
    }
    SyncLibrary::Ptr lib = m_syncDatabase->getLibrary(m_libraryClientId);
    if (!lib) {
        qWarning() << "CSyncLibrary::restartProcessingLibrary: library not found in the database!? -> waiting for next "
                      "signal";
        m_appStatusController->reportFinishedSyncLibraryInitialization(m_libraryClientId);
        m_processing = 0;
        return;
    }
    m_item = lib;
    recoverMissingLibraryFolder(lib);

    if (lib->syncStatus.ClientStatus != StatusSynchronized && lib->syncStatus.ServerStatus != StatusSynchronized) {
        CSyncItemConflictResolver resolver(m_syncDatabase, m_item);
        const bool resolved = resolver.resolveConflict();
        qDebug() << "CSyncLibrary::restartProcessingLibrary: library conflict resolved";
        syncItemFinished(resolved ? ErrorCode(ServerApiErrorCode::ErrorSuccess)
                                  : ErrorCode(ServerApiErrorCode::ErrorInvalidSyncStatus));
        return;
    }
    if (m_syncDatabase->isSynchronized(m_libraryClientId, false)) {
        qDebug() << "CSyncLibrary::restartProcessingLibrary: library:" << m_libraryClientId
                 << "nothing to sync -> waiting for signal";
        m_appStatusController->reportFinishedSyncLibraryInitialization(m_libraryClientId);
        m_processing = 0;
        return;
    }
    startOneItemSync();
    if (appstate::isShuttingDown())
        deleteLater();
}

void CSyncLibrary::startOneItemSync()
{
    if (appstate::isShuttingDown()) {
        qDebug() << "CSyncLibrary::startOneItemSync: the app is shutting down -> exiting";
        m_processing = 0;
        return;
    }
    const SyncItem::Ptr item = m_syncDatabase->getOneNotSynchronizedItemFromLibrary(m_libraryClientId);
    if (!item) {
        qWarning() << "CSyncLibrary::startOneItemSync: called but no item to sync found";
        m_processing = 0;
        return;
    }
    if (item->isLibrary()) {
        const SyncLibrary::Ptr lib = m_syncDatabase->getLibrary(m_libraryClientId);
        if (!lib) {
            qWarning() << "CSyncLibrary::startOneItemSync: library not found in the database -> waiting for next signal";
            m_processing = 0;
            return;
        }
        m_item = lib;
        startProcessing();
        return;
    }
    CSyncItem *step = createSyncItem(item, m_syncDatabase, m_appStatusController, m_userSessionController,
                                     m_syncProgressManager, m_fileManipulation, this);
    if (!step) {
        m_processing = 0;
        qCritical() << "CSyncLibrary::startOneItemSync: item type" << typeToString(item->type)
                    << "cannot be in not synchronized state!";
        return;
    }
    connect(step, &CSyncItem::finished, this, &CSyncLibrary::syncItemFinished);
    step->startProcessing();
}

void CSyncLibrary::finish(const ErrorCode &error)
{
    syncItemFinished(error);
}

void CSyncLibrary::syncItemFinished(ErrorCode error)
{
    m_appStatusController->reportFinishedSyncLibraryInitialization(m_libraryClientId);
    m_processing = 0;
    if (!m_syncDatabase->isLibraryPresent(m_libraryClientId)) {
        qDebug() << "CSyncLibrary::syncItemFinished: library:" << m_libraryClientId
                 << "is no longer valid (unsubscribed) -> no restart of sync scheduled";
        return;
    }
    if (error.isSuccess()) {
        qDebug() << "CSyncLibrary::syncItemFinished: scheduling immediate restartProcessingLibrary";
        restartSync(0);
        return;
    }
    const int interval = restartinterval::forError(error);
    qDebug() << "CSyncLibrary::syncItemFinished: error:" << error << " when synchronizing object in library: "
             << m_libraryClientId << " restarting with interval: " << interval;
    restartSync(unsigned(interval));
}

void CSyncLibrary::syncDatabaseChangedSlot(ItemId libraryClientId)
{
    if (libraryClientId != m_libraryClientId || m_processing.loadAcquire() != 0)
        return;
    qDebug() << "CSyncLibrary::syncDatabaseChangedSlot: libId:" << libraryClientId << "restarting...";
    restartSync(0);
}

bool CSyncLibrary::areAllLocalChangesInDatabase(const QString &path) const
{
    qDebug() << "CSyncLibrary::areAllLocalChangesInDatabase: for path" << path;
    if (!QFileInfo::exists(path))
        return true; // nothing on disk that the database could lack
    // Content hashes too: the answer decides whether the folder may go without a backup.
    return CHierarchyChecker(m_syncDatabase).checkDirectory(path, true, true).isEmpty();
}

// --- hierarchy -------------------------------------------------------------------------------

void CSyncLibrary::fillLibraryHierarchy()
{
    auto *projector = new CServerHierarchyProjector(m_syncDatabase, m_userSessionController, library(), this);
    connect(projector, &CServerHierarchyProjector::finishedSignal, this,
            &CSyncLibrary::fillLibraryHierarchyContinueSlot);
    projector->start(QThread::InheritPriority);
}

void CSyncLibrary::fillLibraryHierarchyContinueSlot(ErrorCode error, SyncLibrary::Ptr)
{
    if (auto *projector = qobject_cast<CServerHierarchyProjector *>(sender())) {
        projector->wait();
        projector->deleteLater();
    }
    if (!error.isSuccess())
        qDebug() << "CSyncLibrary::fillLibraryHierarchyContinue: clientId:" << m_libraryClientId << "error:" << error;
    syncItemFinished(error);
}

void CSyncLibrary::processNewOnServer()
{
    qDebug() << "CSyncLibrary::processNewOnServer: library clientId:" << m_libraryClientId;
    fillLibraryHierarchy();
}

void CSyncLibrary::processChangedOnServer()
{
    qDebug() << "CSyncLibrary::processChangedOnServer: libId:" << m_libraryClientId;
    fillLibraryHierarchy();
}

// --- the library's folder ----------------------------------------------------------------------

bool CSyncLibrary::isAdoptableLibraryFolder(const QString &store, const QString &relative) const
{
    const QFileInfo info(syncpath::join(store, relative));
    if (!info.isDir() || info.isSymLink())
        return false;
    for (const SyncLibrary::Ptr &other : m_syncDatabase->getLibraries()) {
        if (other->ClientId != m_libraryClientId && other->ClientName.compare(relative, Qt::CaseInsensitive) == 0)
            return false;
    }
    return true;
}

void CSyncLibrary::processMovedOnServer()
{
    const SyncLibrary::Ptr lib = library();
    qDebug().noquote() << "CSyncLibrary::processMovedOnServer: syncLibrary:" << lib->toString();
    const QString store = syncpath::storeFolder();
    if (!checkStoreFolder()) {
        finish(ServerApiErrorCode::ErrorNoNetwork);
        return;
    }
    const QString relative = synclibrary::relativeFolderPath(lib->TenantName, lib->ServerName);
    bool placed = false;
    if (lib->ClientName.isEmpty()) {
        qDebug() << "CSyncLibrary::processMovedOnServer: clientName not set -> creating new FL folder";
        // A folder of that name left by an earlier installation or a lost database is this library's:
        // taken over, its content matched against the server's instead of downloaded beside it.
        const bool adopt = isAdoptableLibraryFolder(store, relative);
        if (adopt)
            qDebug() << "CSyncLibrary::processMovedOnServer: adopting existing FL folder:" << relative;
        const QString unique = adopt ? relative : synclibrary::uniqueRelativePath(store, relative);
        const QString path = syncpath::join(store, unique);
        if (!QDir().mkpath(path)) {
            qCritical() << "CSyncLibrary::processMovedOnServer: unable to mkdir clientPath:" << path
                        << "error:" << errno;
            finish(ServerApiErrorCode::ErrorUnableToCreateFile);
            return;
        }
        lib->ClientName = unique;
        placed = true;
        qDebug() << "CSyncLibrary::processMovedOnServer: syncLibrary: clientId:" << lib->ClientId
                 << "clientName:" << lib->ClientName << "clientPath:" << path;
    } else if (synclibrary::withoutNumbering(lib->ClientName) == relative) {
        qDebug() << "CSyncLibrary::processMovedOnServer: nothing to do for syncLibrary: clientId:" << lib->ClientId;
    } else {
        qDebug() << "CSyncLibrary::processMovedOnServer: serverName changed -> renaming/moving FL folder";
        const QString newTenantPath = syncpath::join(store, relative.section(QLatin1Char('/'), 0, 0));
        if (!QDir().mkpath(newTenantPath)) {
            qCritical() << "CSyncLibrary::processMovedOnServer: unable to mkdir tenantPath:" << newTenantPath
                        << "error:" << errno;
            finish(ServerApiErrorCode::ErrorUnableToCreateFile);
            return;
        }
        const QString oldPath = syncpath::libraryFolderPath(*lib);
        const QString unique = synclibrary::uniqueRelativePath(store, relative);
        const QString newPath = syncpath::join(store, unique);
        if (!m_fileManipulation->moveSyncItem(lib, newPath, oldPath)) {
            qCritical() << "CSyncLibrary::processMovedOnServer: unable to move syncLibrary to newClientPath:" << newPath;
            lib->syncStatus.ServerStatus = StatusSynchronized;
            m_syncDatabase->updateItem(lib);
            finish(ServerApiErrorCode::ErrorSuccess);
            return;
        }
        lib->ClientName = unique;
        placed = true;
        qDebug() << "CSyncLibrary::processMovedOnServer: syncLibrary: clientId:" << lib->ClientId
                 << "newClientName:" << lib->ClientName << "newClientPath:" << newPath;
        m_syncDatabase->updateItem(lib);
        // A tenant folder left empty by a tenant rename goes with it.
        m_fileManipulation->removeEmptyParentFolders(oldPath);
    }
    if (placed) {
        const QString tenant = lib->ClientName.section(QLatin1Char('/'), 0, 0);
        utils::updateStoreFolderIcon(syncpath::join(store, tenant));
        utils::updateStoreFolderIcon(syncpath::libraryFolderPath(*lib));
        utils::createStoreFolderLink(syncpath::join(store, tenant), tenant);
    }
    lib->syncStatus.ServerStatus = StatusSynchronized;
    m_syncDatabase->updateItem(lib);
    finish(ServerApiErrorCode::ErrorSuccess);
}

void CSyncLibrary::processDeletedOnServer()
{
    const SyncLibrary::Ptr lib = library();
    qDebug() << "CSyncLibrary::processDeletedOnServer:" << m_libraryClientId;
    const QString path = syncpath::libraryFolderPath(*lib);
    const QString store = syncpath::storeFolder();
    const bool storePresent = !store.isEmpty() && QFileInfo(store).isDir();
    if (!storePresent) {
        // An unmounted disk: nothing can be checked, so nothing local is touched.
        qWarning() << "CSyncLibrary::processDeletedOnServer: store folder is missing -> local folder left alone";
    } else if (path.isEmpty() || !QFileInfo(path).isDir()) {
        if (!path.isEmpty())
            m_fileManipulation->removeEmptyParentFolders(path);
    } else if (areAllLocalChangesInDatabase(path) && m_syncDatabase->isSynchronized(m_libraryClientId, true)) {
        if (m_fileManipulation->removeSyncItem(lib, path))
            m_fileManipulation->removeEmptyParentFolders(path);
        else
            qWarning() << "CSyncLibrary::processDeletedOnServer: unable to delete folder:" << path << "error:" << errno;
    } else {
        qDebug() << "CSyncLibrary::processDeletedOnServer:" << m_libraryClientId
                 << "isn't synchronized -> creating backup copy";
        const QString backup = synclibrary::backupPath(path, QDateTime::currentDateTime());
        if (!m_fileManipulation->moveSyncItem(lib, backup, path))
            qCritical() << "CSyncLibrary::processDeletedOnServer:" << m_libraryClientId << "unable to create a backup copy"
                        << "error:" << errno;
    }
    m_syncDatabase->deleteLibrary(m_libraryClientId);
    deleteLater();
    finish(ServerApiErrorCode::ErrorSuccess);
}

void CSyncLibrary::processDeletedOnClient()
{
    qDebug() << "CSyncLibrary::processDeletedOnClient: clientId:" << m_libraryClientId;
    const SyncLibrary::Ptr lib = library();
    const QString path = syncpath::libraryFolderPath(*lib);
    if (!path.isEmpty() && QFileInfo(path).isDir()) {
        qDebug() << "CSyncLibrary::processDeletedOnClient: deleting path" << path;
        m_fileManipulation->removeSyncItem(lib, path);
    }
    clearRecordsOfLibrary();
    lib->ClientName.clear();
    lib->syncStatus.ClientStatus = StatusSynchronized;
    lib->syncStatus.ServerStatus = StatusNew;
    m_syncDatabase->updateItem(lib);
    finish(ServerApiErrorCode::ErrorSuccess);
}

// ---------------------------------------------------------------------------------------------
// CSyncThreadManager

CSyncThreadManager::CSyncThreadManager(const QSharedPointer<CSyncDatabase> &syncDatabase,
                                       const QSharedPointer<CAppStatusController> &appStatusController,
                                       const QSharedPointer<CUserSessionController> &userSessionController,
                                       const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
                                       const QSharedPointer<CFileManipulation> &fileManipulation)
    : m_syncDatabase(syncDatabase)
    , m_appStatusController(appStatusController)
    , m_userSessionController(userSessionController)
    , m_syncProgressManager(syncProgressManager)
    , m_fileManipulation(fileManipulation)
    , m_syncThread(new CSyncThread)
{
    Q_ASSERT_X(m_syncDatabase, "CSyncThreadManager", "syncDatabase");
    Q_ASSERT_X(m_appStatusController, "CSyncThreadManager", "appStatusController");
    Q_ASSERT_X(m_userSessionController, "CSyncThreadManager", "userSessionController");
    Q_ASSERT_X(m_fileManipulation, "CSyncThreadManager", "fileManipulation");
    qDebug() << "CSyncThreadManager::CSyncThreadManager";
    m_syncThread->setObjectName(QStringLiteral("sync"));
    // Emitted on the sync thread as it ends: its connection and network manager are released there.
    connect(m_syncThread.get(), &QThread::finished, this, &CSyncThreadManager::cleanupSlot, Qt::DirectConnection);
    moveToThread(m_syncThread.get());
    m_syncThread->start(QThread::InheritPriority);
}

CSyncThreadManager::~CSyncThreadManager()
{
    m_syncThread->quit();
    qDebug() << "CSyncThreadManager::~CSyncThreadManager: waiting for sync thread to quit...";
    m_syncThread->wait();
    qDebug() << "CSyncThreadManager::~CSyncThreadManager: finished";
}

void CSyncThreadManager::startSyncLibrary(ItemId clientId)
{
    qDebug() << "CSyncThreadManager::startSyncLibrary: clientId:" << clientId;
    QMetaObject::invokeMethod(this, [this, clientId] { startSyncLibrarySlot(clientId); }, Qt::QueuedConnection);
}

void CSyncThreadManager::startSyncLibrarySlot(ItemId clientId)
{
    qDebug() << "CSyncThreadManager::startSyncLibrarySlot: clientId:" << clientId;
    const SyncLibrary::Ptr library = m_syncDatabase->getLibrary(clientId);
    if (!library) {
        qCritical() << "CSyncThreadManager::startSyncLibrarySlot: unable to find library in database, clientId:"
                    << clientId;
        m_appStatusController->reportFinishedSyncLibraryInitialization(clientId);
        return;
    }
    if (m_syncDatabase->isSynchronized(clientId, false))
        m_appStatusController->reportFinishedSyncLibraryInitialization(clientId);
    if (CSyncLibrary *running = m_libraries.value(clientId)) {
        running->sync();
        return;
    }
    auto *syncLibrary = new CSyncLibrary(m_syncDatabase, m_appStatusController, m_userSessionController,
                                         m_syncProgressManager, m_fileManipulation, library, this);
    m_libraries.insert(clientId, syncLibrary);
    syncLibrary->sync();
}

void CSyncThreadManager::cleanupSlot()
{
    qDebug() << "CSyncThreadManager::cleanupSlot";
    // Libraries, their steps and projections end here, on the thread they ran on.
    const QList<CSyncLibrary *> libraries = findChildren<CSyncLibrary *>(QString(), Qt::FindDirectChildrenOnly);
    qDeleteAll(libraries);
    m_libraries.clear();
    CNetworkAccessManager::deleteInstanceForCurrentThread();
    m_syncDatabase->closeDatabaseForCurrentThread();
}
