#include "SyncModeApplication.h"

#include "AppStatusController.h"
#include "ClientWatcher.h"
#include "Log.h"
#include "FileManipulation.h"
#include "SyncLibrary.h"
#include "ServerWatcher.h"
#include "SyncFile.h"
#include "SyncDatabase.h"
#include "UserSessionController.h"
#include "WorkspaceServerRequest.h"

#include <QDebug>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

CFileLibrariesJsonArray::CFileLibrariesJsonArray(const QString &json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        return;
    QList<SyncLibrary::Ptr> libraries;
    for (const QJsonValue &element : doc.array()) {
        const QJsonObject o = element.toObject();
        const auto text = [&o](const char *key) {
            const QJsonValue v = o.value(QLatin1String(key));
            return v.isString() ? v.toString() : QString();
        };
        SyncLibrary::Ptr library(new SyncLibrary());
        library->TeamId = text("teamId");
        library->TenantId = text("tenantId");
        library->TenantName = text("tenantName");
        library->ServerName = text("name");
        const QString id = text("id");
        library->ServerId = id.toULongLong(nullptr, 10); // 0 when it is no number
        if (library->TenantName.isEmpty())
            qWarning() << "CFileLibrariesJsonArray::CFileLibrariesJsonArray: missing tenantName for syncLibraryId:" << id;
        if (library->TeamId.isEmpty() || library->TenantId.isEmpty() || id.isEmpty() || library->ServerName.isEmpty())
            return;
        library->ContainerType = 0;
        library->syncStatus = SyncStatus();
        libraries << library;
    }
    m_libraries = libraries;
    m_valid = true;
}

namespace filelibraries {

LibraryChanges planLibraryChanges(const QList<SyncLibrary::Ptr> &known, const QList<SyncLibrary::Ptr> &wanted,
                                  bool synchronized)
{
    using Key = QPair<QString, quint64>;
    QHash<Key, SyncLibrary::Ptr> knownByKey;
    QHash<QString, QString> tenantNameInUse;
    for (const SyncLibrary::Ptr &library : known) {
        const Key key(library->TenantId, library->ServerId);
        if (!knownByKey.contains(key))
            knownByKey.insert(key, library);
        if (!library->TenantName.isEmpty())
            tenantNameInUse.insert(library->TenantId, library->TenantName);
    }

    LibraryChanges changes;
    QSet<Key> mentioned;
    for (const SyncLibrary::Ptr &library : wanted) {
        const Key key(library->TenantId, library->ServerId);
        if (mentioned.contains(key)) {
            qDebug().noquote() << "CSyncModeApplication::setFileLibraries: syncLibrary:" << library->toString()
                               << "is listed twice -> taking the first";
            continue;
        }
        mentioned.insert(key);
        const SyncLibrary::Ptr existing = knownByKey.value(key);
        if (!existing) {
            qDebug().noquote() << "CSyncModeApplication::setFileLibraries: syncLibrary:" << library->toString()
                               << "is not yet subscribed -> subscribing";
            const QString inUse = tenantNameInUse.value(library->TenantId);
            if (!inUse.isEmpty() && inUse != library->TenantName) {
                qDebug().noquote() << "CSyncModeApplication::setFileLibraries: enforcing already used tenantName:"
                                   << inUse;
                library->TenantName = inUse;
            }
            library->syncStatus.ClientStatus = StatusSynchronized;
            library->syncStatus.ServerStatus = StatusNew;
            changes.subscribe << library;
            synchronized = false;
            continue;
        }
        qDebug().noquote() << "CSyncModeApplication::setFileLibraries: syncLibrary:" << existing->toString()
                           << "is already subscribed";
        if (library->TenantName.isEmpty()) {
            qWarning().noquote() << "CSyncModeApplication::setFileLibraries: syncLibrary:" << existing->toString()
                                 << "is missing tenantName -> skipping, but not unsubscribing";
            continue;
        }
        if (library->ServerName != existing->ServerName && synchronized) {
            qDebug().noquote() << "CSyncModeApplication::setFileLibraries: syncLibrary:" << existing->toString()
                               << "has new serverName:" << library->ServerName << "-> renaming FL";
            changes.update << qMakePair(existing->ClientId,
                                        CSqlValueList{CSqlValue("ServerStatus", quint32(StatusMoved)),
                                                      CSqlValue("ServerName", library->ServerName)});
            synchronized = false;
        }
        if (library->TeamId != existing->TeamId) {
            qDebug().noquote() << "CSyncModeApplication::setFileLibraries: new teamId found:" << library->TeamId
                               << "-> updating FL";
            changes.update << qMakePair(existing->ClientId, CSqlValueList{CSqlValue("TeamId", library->TeamId)});
        }
    }
    for (const SyncLibrary::Ptr &library : known) {
        if (mentioned.contains(Key(library->TenantId, library->ServerId))
            || library->syncStatus.ServerStatus == StatusDeleted)
            continue;
        qDebug().noquote() << "CSyncModeApplication::setFileLibraries: syncLibrary:" << library->toString()
                           << "is subscribed and not mentioned -> unsubscribing";
        changes.update << qMakePair(library->ClientId,
                                    CSqlValueList{CSqlValue("ServerStatus", quint32(StatusDeleted))});
    }
    return changes;
}

} // namespace filelibraries

CSyncModeApplication::CSyncModeApplication(const QSharedPointer<CSyncDatabase> &syncDatabase,
                                           const QSharedPointer<CAppStatusController> &appStatusController,
                                           const QSharedPointer<CUserSessionController> &userSessionController,
                                           const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
                                           QObject *parent)
    : QObject(parent)
    , m_syncDatabase(syncDatabase)
    , m_appStatusController(appStatusController)
    , m_userSessionController(userSessionController)
    , m_syncProgressManager(syncProgressManager)
{
    Q_ASSERT_X(m_syncDatabase, "CSyncModeApplication", "m_syncDatabase");
    Q_ASSERT_X(m_appStatusController, "CSyncModeApplication", "_appStatusController");
    Q_ASSERT_X(m_userSessionController, "CSyncModeApplication", "m_userSessionController");
    connect(m_syncDatabase.data(), &CSyncDatabase::databaseReplacedSignal, this,
            &CSyncModeApplication::databaseReplacedSlot, Qt::QueuedConnection);
    initialize();
}

CSyncModeApplication::~CSyncModeApplication()
{
    qDebug() << "CSyncModeApplication::~CSyncModeApplication";
    emit sigBreak();
    // First: it records into the database that everything after it shares.
    if (m_clientWatcher)
        m_clientWatcher->stopWatcherSlot();
    m_clientWatcher.reset();
    if (m_serverWatcher)
        m_serverWatcher->abortAllWatchRequests();
    // The sync thread and the projections it started end before the watcher and the network
    // managers they may still use.
    m_syncThreadManager.reset();
    CNetworkAccessManager::clear();
    m_serverWatcher.reset();
    m_fileManipulation.reset();
}

void CSyncModeApplication::initialize()
{
    qDebug() << "CSyncModeApplication::initialize";
    // Nothing downloads yet: what a killed run left half-written goes now.
    filesync::removeDownloadLeftovers(syncpath::storeFolder());
    m_fileManipulation.reset(new CFileManipulation(m_syncDatabase));
    m_syncThreadManager.reset(new CSyncThreadManager(m_syncDatabase, m_appStatusController, m_userSessionController,
                                                     m_syncProgressManager, m_fileManipulation));
    m_serverWatcher.reset(new CServerWatcher(m_syncDatabase, m_userSessionController));
    m_clientWatcher.reset(new CClientWatcherV2(m_syncDatabase, m_fileManipulation));
    connect(m_clientWatcher.data(), &CClientWatcherV2::sanityCheckFinishedSignal, this,
            &CSyncModeApplication::sanityCheckFinishedSlot, Qt::QueuedConnection);
    connect(m_clientWatcher.data(), &CClientWatcherV2::setStoreFolderLostSignal, m_appStatusController.data(),
            &CAppStatusController::setStoreFolderLostSlot, Qt::QueuedConnection);
    qDebug() << "CSyncModeApplication::initialize: FLs count:" << m_syncDatabase->countLibraries();
    qDebug() << "CSyncModeApplication::initialize: folders count:" << m_syncDatabase->countFolders();
    qDebug() << "CSyncModeApplication::initialize: files count:" << m_syncDatabase->countFiles();
    qDebug() << "CSyncModeApplication::initialize: files size sum:" << m_syncDatabase->sumFileSizes();
    startSync();
}

void CSyncModeApplication::startSync()
{
    qDebug() << "CSyncModeApplication::startSync";
    for (const SyncLibrary::Ptr &library : m_syncDatabase->getLibraries()) {
        const bool neverSynchronized = library->syncStatus.ServerStatus == StatusNew
            && library->syncStatus.ClientStatus == StatusSynchronized;
        if (!neverSynchronized)
            m_appStatusController->waitForSyncLibraryInitialization(library->ClientId);
        m_syncThreadManager->startSyncLibrary(library->ClientId);
    }
    // Both watchers start once the disk has been compared with the database.
    m_clientWatcher->sanityCheck();
}

void CSyncModeApplication::sanityCheckFinishedSlot()
{
    qDebug() << "CSyncModeApplication::sanityCheckFinishedSlot";
    if (m_watchersStarted)
        return;
    m_watchersStarted = true;
    m_serverWatcher->start();
    m_clientWatcher->startWatcher();
    m_appStatusController->setSyncInitializing(false);
}

void CSyncModeApplication::setFileLibraries(const QString &fileLibraries)
{
    if (fileLibraries == m_lastFileLibraries) {
        qDebug() << "CSyncModeApplication::setFileLibraries: no change from last time";
        return;
    }
    m_lastFileLibraries = fileLibraries;
    qDebug() << "CSyncModeApplication::setFileLibraries";

    const CFileLibrariesJsonArray parsed(fileLibraries);
    if (!parsed.isValid()) {
        qWarning().noquote() << "CSyncModeApplication::setFileLibraries: failed to parse fileLibraries:" << CLog::capped(fileLibraries);
        return;
    }

    const filelibraries::LibraryChanges changes = filelibraries::planLibraryChanges(
        m_syncDatabase->getLibraries(), parsed.libraries(), m_syncDatabase->isSynchronized(0, false));
    if (!m_syncDatabase->writeLibraries(changes.subscribe, changes.update))
        qCritical() << "CSyncModeApplication::setFileLibraries: the library changes could not be written";
    for (const SyncLibrary::Ptr &library : changes.subscribe) {
        if (library->ClientId != 0)
            m_syncThreadManager->startSyncLibrary(library->ClientId);
    }
}

void CSyncModeApplication::databaseReplacedSlot()
{
    // The subscriptions went with the damaged file: the host's next list, even an identical one,
    // brings them back, and the host is asked for it now rather than in two minutes.
    qWarning() << "CSyncModeApplication::databaseReplacedSlot: database replaced -> asking the host for its libraries";
    m_lastFileLibraries.clear();
    QMetaObject::invokeMethod(m_userSessionController.data(), &CUserSessionController::userSessionRefreshSlot,
                              Qt::QueuedConnection);
}

void CSyncModeApplication::handleSystemWakeUp()
{
    qDebug() << "CSyncModeApplication::handleSystemWakeUp";
    // Calls held across a sleep are dead without knowing it.
    if (m_serverWatcher)
        m_serverWatcher->restart(3000);
}

QString CSyncModeApplication::getSyncedItemPath(const QString &tenantId, const QString &itemId)
{
    const quint64 serverId = itemId.toULongLong(nullptr, 10);
    const ItemId clientId = m_syncDatabase->getClientIdByServerId(serverId, tenantId);
    if (clientId == 0)
        return QString();
    return m_syncDatabase->getClientPath(clientId);
}
