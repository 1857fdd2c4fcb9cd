#include "SyncModeApplication.h"

#include "AppStatusController.h"
#include "FileManipulation.h"
#include "SyncLibrary.h"
#include "ServerWatcher.h"
#include "SyncFile.h"
#include "SyncDatabase.h"
#include "UserSessionController.h"
#include "WorkspaceServerRequest.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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
    Q_ASSERT_X(m_syncDatabase, "CSyncModeApplication", "_syncDatabase");
    Q_ASSERT_X(m_appStatusController, "CSyncModeApplication", "_appStatusController");
    Q_ASSERT_X(m_userSessionController, "CSyncModeApplication", "_userSessionController");
    initialize();
}

CSyncModeApplication::~CSyncModeApplication()
{
    qDebug() << "CSyncModeApplication::~CSyncModeApplication";
    emit sigBreak();
    // The client watcher is stopped here, first, once it exists.
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
    // The client watcher (database, file manipulation) is created here, after the server watcher.
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
    // Without a client watcher there is no start-up comparison to wait for; once it exists, its
    // start-up comparison ends in sanityCheckFinishedSlot.
    sanityCheckFinishedSlot();
}

void CSyncModeApplication::sanityCheckFinishedSlot()
{
    qDebug() << "CSyncModeApplication::sanityCheckFinishedSlot";
    if (m_watchersStarted)
        return;
    m_watchersStarted = true;
    m_serverWatcher->start();
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
        qWarning().noquote() << "CSyncModeApplication::setFileLibraries: failed to parse fileLibraries:" << fileLibraries;
        return;
    }

    const QList<SyncLibrary::Ptr> known = m_syncDatabase->getLibraries();
    QList<SyncLibrary::Ptr> notMentioned = known;
    for (const SyncLibrary::Ptr &library : parsed.libraries()) {
        const SyncLibrary::Ptr existing = m_syncDatabase->getLibraryByServerId(library->ServerId, library->TenantId);
        if (!existing) {
            qDebug().noquote() << "CSyncModeApplication::setFileLibraries: syncLibrary:" << library->toString()
                               << "is not yet subscribed -> subscribing";
            for (const SyncLibrary::Ptr &other : known) {
                if (other->TenantId == library->TenantId && !other->TenantName.isEmpty()
                    && other->TenantName != library->TenantName) {
                    qDebug().noquote() << "CSyncModeApplication::setFileLibraries: enforcing already used tenantName:"
                                       << other->TenantName << "from syncLibrary:" << other->toString();
                    library->TenantName = other->TenantName;
                }
            }
            library->syncStatus.ClientStatus = StatusSynchronized;
            library->syncStatus.ServerStatus = StatusNew;
            if (m_syncDatabase->insertLibrary(library) != 0)
                m_syncThreadManager->startSyncLibrary(library->ClientId);
        } else {
            qDebug().noquote() << "CSyncModeApplication::setFileLibraries: syncLibrary:" << existing->toString()
                               << "is already subscribed";
            if (library->TenantName.isEmpty()) {
                qWarning().noquote() << "CSyncModeApplication::setFileLibraries: syncLibrary:" << existing->toString()
                                     << "is missing tenantName -> skipping, but not unsubscribing";
            } else {
                if (library->ServerName != existing->ServerName && m_syncDatabase->isSynchronized(0, false)) {
                    qDebug().noquote() << "CSyncModeApplication::setFileLibraries: syncLibrary:" << existing->toString()
                                       << "has new serverName:" << library->ServerName << "-> renaming FL";
                    m_syncDatabase->updateLibrary(existing->ClientId, CSqlValue("ServerStatus", quint32(StatusMoved)),
                                                  CSqlValue("ServerName", library->ServerName));
                }
                if (library->TeamId != existing->TeamId) {
                    qDebug().noquote() << "CSyncModeApplication::setFileLibraries: new teamId found:" << library->TeamId
                                       << "-> updating FL";
                    m_syncDatabase->updateLibrary(existing->ClientId, CSqlValue("TeamId", library->TeamId));
                }
            }
        }
        for (int i = 0; i < notMentioned.size(); ++i) {
            if (notMentioned.at(i)->TenantId == library->TenantId && notMentioned.at(i)->ServerId == library->ServerId) {
                notMentioned.removeAt(i);
                break;
            }
        }
    }
    for (const SyncLibrary::Ptr &library : notMentioned) {
        if (library->syncStatus.ServerStatus == StatusDeleted)
            continue;
        qDebug().noquote() << "CSyncModeApplication::setFileLibraries: syncLibrary:" << library->toString()
                           << "is subscribed and not mentioned -> unsubscribing";
        m_syncDatabase->updateLibrary(library->ClientId, CSqlValue("ServerStatus", quint32(StatusDeleted)));
    }
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
