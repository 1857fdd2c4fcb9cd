#include "ServerWatcher.h"

#include "AppState.h"
#include "RestartInterval.h"
#include "SyncDatabase.h"
#include "UserSessionController.h"

#include <QDebug>
#include <QTimerEvent>

#include <algorithm>

namespace {

// A watcher token opens a library's change feed: the log gets no more of it than its start.
QString abbreviatedWat(const QString &wat)
{
    return wat.size() <= 8 ? wat : wat.left(8) + QStringLiteral("...");
}

} // namespace

// ---------------------------------------------------------------------------------------------
// CServerWatcherBalancer

CServerWatcherBalancer::BalancerEntry CServerWatcherBalancer::getEntry(quint64 libClientId) const
{
    QMutexLocker locker(&m_mutex);
    const auto found = m_entries.constFind(libClientId);
    if (found != m_entries.constEnd())
        return found.value();
    BalancerEntry entry;
    entry.libClientId = libClientId;
    return entry;
}

void CServerWatcherBalancer::setEntry(quint64 libClientId, const QString &wat, const QString &watcherHostname)
{
    QMutexLocker locker(&m_mutex);
    m_entries.insert(libClientId, BalancerEntry{libClientId, wat, watcherHostname});
}

void CServerWatcherBalancer::removeEntry(quint64 libClientId)
{
    QMutexLocker locker(&m_mutex);
    m_entries.remove(libClientId);
}

// ---------------------------------------------------------------------------------------------
// CServerWatcherIgnorer

CServerWatcherIgnorer::CServerWatcherIgnorer()
    : m_clock(&QDateTime::currentDateTimeUtc)
{
}

void CServerWatcherIgnorer::setClock(const Clock &clock)
{
    QMutexLocker locker(&m_mutex);
    m_clock = clock ? clock : Clock(&QDateTime::currentDateTimeUtc);
}

bool CServerWatcherIgnorer::isFlIgnored(quint64 flClientId)
{
    QMutexLocker locker(&m_mutex);
    const auto found = m_ignoredSince.find(flClientId);
    if (found == m_ignoredSince.end())
        return false;
    if (found.value().msecsTo(m_clock()) < kIgnoreMs) {
        qDebug() << "CServerWatcherIgnorer::isFlIgnored: flClientId:" << flClientId << "-> still ignored";
        return true;
    }
    qDebug() << "CServerWatcherIgnorer::isFlIgnored: flClientId:" << flClientId
             << "-> was ignored for 15 minutes -> removed from ignore list";
    m_ignoredSince.erase(found);
    return false;
}

void CServerWatcherIgnorer::setWatError(quint64 flClientId, const ErrorCode &error)
{
    QMutexLocker locker(&m_mutex);
    if (error == ServerApiErrorCode::ItemNotFound) {
        if (!m_ignoredSince.contains(flClientId)) {
            qDebug() << "CServerWatcherIgnorer::setWatError: flClientId:" << flClientId
                     << "-> added to ignore list for next 15 minutes";
            m_ignoredSince.insert(flClientId, m_clock());
        }
        return;
    }
    if (m_ignoredSince.remove(flClientId) != 0)
        qDebug() << "CServerWatcherIgnorer::setWatError: flClientId:" << flClientId << "-> removed from ignore list";
}

void CServerWatcherIgnorer::removeFl(quint64 flClientId)
{
    QMutexLocker locker(&m_mutex);
    qDebug() << "CServerWatcherIgnorer::removeFl: flClientId:" << flClientId;
    m_ignoredSince.remove(flClientId);
}

// ---------------------------------------------------------------------------------------------
// CServerWatcherScheduler

CServerWatcherScheduler::CServerWatcherScheduler(QObject *parent)
    : QObject(parent)
{
    // Automatic on purpose: from this thread the timer restarts at once, from the threads that
    // write the database the request is queued to this one, where the timer lives.
    connect(this, &CServerWatcherScheduler::invokeRestartSchedulerTimer, this,
            &CServerWatcherScheduler::restartSchedulerTimerSlot, Qt::AutoConnection);
}

CServerWatcherScheduler::~CServerWatcherScheduler()
{
    qDebug() << "CServerWatcherScheduler::~CServerWatcherScheduler: timerId:" << m_timerId;
    if (m_timerId != 0)
        killTimer(m_timerId);
}

void CServerWatcherScheduler::scheduleSignal(int interval)
{
    qDebug() << "CServerWatcherScheduler::scheduleSignal: invoking restartSchedulerTimerSlot: interval:" << interval;
    emit invokeRestartSchedulerTimer(interval);
}

void CServerWatcherScheduler::restartSchedulerTimerSlot(int interval)
{
    qDebug() << "CServerWatcherScheduler::restartSchedulerTimerSlot: restarting timerId:" << m_timerId
             << "interval:" << interval;
    if (m_timerId != 0)
        killTimer(m_timerId);
    m_timerId = startTimer(interval, Qt::CoarseTimer);
}

void CServerWatcherScheduler::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timerId) {
        QObject::timerEvent(event);
        return;
    }
    killTimer(m_timerId);
    m_timerId = 0;
    emit schedulerSignal();
}

// ---------------------------------------------------------------------------------------------
// CServerWatcher

CServerWatcher::CServerWatcher(const QSharedPointer<CSyncDatabase> &syncDatabase,
                               const QSharedPointer<CUserSessionController> &userSessionController, QObject *parent)
    : QObject(parent)
    , m_syncDatabase(syncDatabase)
    , m_userSessionController(userSessionController)
    , m_scheduler(new CServerWatcherScheduler(this))
{
    Q_ASSERT_X(m_syncDatabase, "CServerWatcher", "m_syncDatabase");
    Q_ASSERT_X(m_userSessionController, "CServerWatcher", "m_userSessionController");
}

CServerWatcher::~CServerWatcher()
{
    qDebug() << "CServerWatcher::~CServerWatcher";
    disconnect(m_syncDatabase.data(), nullptr, this, nullptr);
    abortAllWatchRequests();
}

void CServerWatcher::start()
{
    if (m_started) {
        qWarning() << "CServerWatcher::start: already started";
        return;
    }
    m_started = true;
    {
        QMutexLocker locker(&m_watchedMutex);
        for (const SyncLibrary::Ptr &library : m_syncDatabase->getLibraries()) {
            if (m_syncDatabase->isSynchronized(library->ClientId, false))
                m_watchedLibraries.insert(library->ClientId);
        }
    }
    // Direct: the slots run on whichever thread wrote the database and only lock and signal.
    connect(m_syncDatabase.data(), &CSyncDatabase::syncDatabaseChangedSignal, this,
            &CServerWatcher::syncDatabaseChangedSlot, Qt::DirectConnection);
    connect(m_syncDatabase.data(), &CSyncDatabase::syncLibraryUnsubscribedSignal, this,
            &CServerWatcher::libraryUnsubscribedSlot, Qt::DirectConnection);
    // Queued: the database may announce it while it holds its connection lock.
    connect(m_syncDatabase.data(), &CSyncDatabase::databaseReplacedSignal, this,
            &CServerWatcher::databaseReplacedSlot, Qt::QueuedConnection);
    connect(m_scheduler, &CServerWatcherScheduler::schedulerSignal, this, &CServerWatcher::sendWatchRequestsSlot);
    scheduleNextCycle();
}

void CServerWatcher::restart(int delay)
{
    qDebug() << "CServerWatcher::restart: restarting with delay:" << delay;
    abortAllWatchRequests();
    scheduleCycle(delay);
}

void CServerWatcher::abortAllWatchRequests()
{
    qDebug() << "CServerWatcher::abortAllWatchRequests";
    ++m_abortGeneration;
    emit abortSignal();
}

QSet<ItemId> CServerWatcher::watchedLibraries() const
{
    QMutexLocker locker(&m_watchedMutex);
    return m_watchedLibraries;
}

void CServerWatcher::scheduleCycle(int delay)
{
    m_scheduler->scheduleSignal(delay);
}

void CServerWatcher::syncDatabaseChangedSlot(ItemId libraryClientId)
{
    // 0 stands for a row that no longer exists, not for "every library".
    if (libraryClientId == 0)
        return;
    bool membershipChanged = false;
    {
        QMutexLocker locker(&m_watchedMutex);
        const bool watched = m_watchedLibraries.contains(libraryClientId);
        const bool synchronized = m_syncDatabase->isLibraryPresent(libraryClientId)
            && m_syncDatabase->isSynchronized(libraryClientId, false);
        if (watched && !synchronized) {
            qDebug() << "CServerWatcher::syncDatabaseChangedSlot: removing library clientId:" << libraryClientId;
            m_watchedLibraries.remove(libraryClientId);
            membershipChanged = true;
        } else if (!watched && synchronized) {
            qDebug() << "CServerWatcher::syncDatabaseChangedSlot: adding library clientId:" << libraryClientId;
            m_watchedLibraries.insert(libraryClientId);
            membershipChanged = true;
        }
    }
    if (membershipChanged) {
        abortAllWatchRequests();
        scheduleNextCycle();
    }
}

void CServerWatcher::libraryUnsubscribedSlot(ItemId libraryClientId)
{
    bool watched = false;
    {
        QMutexLocker locker(&m_watchedMutex);
        watched = m_watchedLibraries.remove(libraryClientId);
        if (watched)
            qDebug() << "CServerWatcher::libraryUnsubscribedSlot: removing library clientId:" << libraryClientId;
        // Also when it already left the set: a later library may get the same client id.
        m_balancer.removeEntry(libraryClientId);
        m_ignorer.removeFl(libraryClientId);
    }
    if (watched) {
        abortAllWatchRequests();
        scheduleNextCycle();
    }
}

void CServerWatcher::databaseReplacedSlot()
{
    // The client ids of the old file mean nothing in the new one; libraries come back as they
    // are subscribed and synchronised again.
    {
        QMutexLocker locker(&m_watchedMutex);
        qDebug() << "CServerWatcher::databaseReplacedSlot: forgetting libraries:" << m_watchedLibraries.values();
        for (ItemId id : qAsConst(m_watchedLibraries)) {
            m_balancer.removeEntry(id);
            m_ignorer.removeFl(id);
        }
        m_watchedLibraries.clear();
    }
    abortAllWatchRequests();
    scheduleNextCycle();
}

void CServerWatcher::sendWatchRequestsSlot()
{
    qDebug() << "CServerWatcher::sendWatchRequestsSlot";
    HostMap hosts;
    {
        QMutexLocker locker(&m_watchedMutex);
        QList<ItemId> ids = m_watchedLibraries.values();
        std::sort(ids.begin(), ids.end()); // tokens are fetched in a stable order
        for (ItemId id : qAsConst(ids)) {
            if (m_ignorer.isFlIgnored(id))
                continue;
            const BalancerEntry entry = m_balancer.getEntry(id);
            hosts.insert(entry.watcherHostname, entry);
        }
    }
    if (const quint64 incomplete = findEntryWithInvalidParams(hosts)) {
        qDebug() << "CServerWatcher::findEntryWithInvalidParams: invalid wat or watcherHostname found for:" << incomplete
                 << "-> asking for wat";
        askForWat(incomplete);
        return;
    }
    // Nothing watched: the next database change schedules a cycle.
    for (const QString &host : hosts.uniqueKeys())
        sendWatchRequest(host, hosts.values(host));
}

quint64 CServerWatcher::findEntryWithInvalidParams(const HostMap &hosts)
{
    quint64 first = 0;
    for (const BalancerEntry &entry : hosts) {
        if (!entry.isValid() && (first == 0 || entry.libClientId < first))
            first = entry.libClientId;
    }
    return first;
}

void CServerWatcher::askForWat(quint64 libClientId)
{
    const QSharedPointer<CUserSession> session = m_userSessionController->getUserSession();
    if (!session->isValid()) {
        restart(restartinterval::forError(ServerApiErrorCode::InvalidAccessToken));
        return;
    }
    const SyncLibrary::Ptr library = m_syncDatabase->getLibrary(libClientId);
    if (!library) {
        qDebug() << "CServerWatcher::askForWat: libClientId:" << libClientId << "no longer in the database";
        scheduleNextCycle();
        return;
    }
    auto *request = new brindlex::FileSync::CFileSyncGetWatcherAuthenticationTokenRequest(
        session, library, library->TenantId, qint64(library->ServerId));
    const quint64 generation = m_abortGeneration;
    connect(request, &brindlex::FileSync::CFileSyncGetWatcherAuthenticationTokenRequest::finishedSignal, this,
            [this, generation](ErrorCode error,
                               brindlex::FileSync::CFileSyncGetWatcherAuthenticationTokenResponse response) {
                getWatFinishedSlot(error, response, generation);
            });
    connect(this, &CServerWatcher::abortSignal, request, &CWorkspaceServerRequest::close);
    request->exec();
}

bool CServerWatcher::abortedByUs(const ErrorCode &error, quint64 abortGeneration) const
{
    return error == ServerApiErrorCode::ErrorOperationCancelled && abortGeneration != m_abortGeneration;
}

void CServerWatcher::getWatFinishedSlot(ErrorCode error,
                                        brindlex::FileSync::CFileSyncGetWatcherAuthenticationTokenResponse response,
                                        quint64 abortGeneration)
{
    const quint64 id = quint64(response.customItem.clientId);
    if (abortedByUs(error, abortGeneration)) {
        qDebug() << "CServerWatcher::getWatFinishedSlot: libClientId:" << id << "ended by the watcher itself";
        return;
    }
    m_ignorer.setWatError(id, error);
    const SyncLibrary::Ptr library = m_syncDatabase->getLibrary(id);
    if (!library) {
        qDebug() << "CServerWatcher::getWatFinishedSlot: libClientId:" << id
                 << "no longer in the database -> answer dropped";
        scheduleNextCycle();
        return;
    }

    if (error.isSuccess()) {
        qDebug() << "CServerWatcher::getWatFinishedSlot: libClientId:" << id << "wat:" << abbreviatedWat(response.wat)
                 << "watcherHostname:" << response.watcherHostname << "state:" << response.state;
        if (response.wat.isEmpty() || response.watcherHostname.isEmpty()) {
            // Asking again at once would only repeat the same answer.
            const int delay = restartinterval::forError(ServerApiErrorCode::ErrorInternal);
            qWarning() << "CServerWatcher::getWatFinishedSlot: libClientId:" << id
                       << "answer without wat or watcherHostname -> asking again in" << delay << "ms";
            restart(delay);
            return;
        }
        if (response.state != library->Sic) {
            qDebug() << "CServerWatcher::getWatFinishedSlot: library state changed for libClientId:" << id;
            markChangedOnServer(library);
            scheduleNextCycle();
            return;
        }
        qDebug() << "CServerWatcher::getWatFinishedSlot: library state is up-to-date for libClientId:" << id;
        changeBalancerData(id, response.wat, response.watcherHostname);
        return;
    }
    if (error == ServerApiErrorCode::ItemNotFound) {
        qDebug() << "CServerWatcher::getWatFinishedSlot: libClientId:" << id << "error:" << error;
        scheduleNextCycle();
        return;
    }
    if (error == ServerApiErrorCode::ErrorOperationCancelled) {
        // Ended from outside (time-out, shutdown): start over.
        qDebug() << "CServerWatcher::getWatFinishedSlot: libClientId:" << id << "error:" << error;
        scheduleNextCycle();
        return;
    }
    qWarning() << "CServerWatcher::getWatFinishedSlot: libClientId:" << id << "error:" << error;
    restart(restartinterval::forError(error));
}

void CServerWatcher::changeBalancerData(quint64 libClientId, const QString &wat, const QString &watcherHostname)
{
    qDebug() << "CServerWatcher::changeBalancerData: id:" << libClientId << "wat:" << abbreviatedWat(wat)
             << "watcherHostname:" << watcherHostname;
    m_balancer.setEntry(libClientId, wat, watcherHostname);
    restart(m_cycleDelayMs);
}

void CServerWatcher::sendWatchRequest(const QString &watcherHostname, const QList<BalancerEntry> &entries)
{
    qDebug() << "CServerWatcher::sendWatchRequest: watcherHostname:" << watcherHostname;
    QList<watcher::api::shared::WatchedItem> items;
    for (const BalancerEntry &entry : entries) {
        const SyncLibrary::Ptr library = m_syncDatabase->getLibrary(entry.libClientId);
        if (!library)
            continue; // left meanwhile; the unsubscription schedules a new cycle
        watcher::api::shared::WatchedItem item;
        item.state = library->Sic;
        item.watcherAuthenticationToken = entry.wat;
        item.id.itemId = qint64(library->ServerId);
        item.id.tenantId = library->TenantId;
        items << item;
    }
    if (items.isEmpty())
        return;

    auto *request = new watcher::api::Watcher::CWatcherWatchRequest(ServerAddress(watcherHostname), items, 0);
    // The server holds the call as long as it likes.
    request->method().excludeParam(QStringLiteral("timeout"));
    const quint64 generation = m_abortGeneration;
    connect(request, &watcher::api::Watcher::CWatcherWatchRequest::finishedSignal, this,
            [this, generation](ErrorCode error, watcher::api::Watcher::CWatcherWatchResponse response) {
                watchFinishedSlot(error, response, generation);
            });
    // The call has no session of its own; the engine status still hears of unreachable hosts.
    connect(request, &CWorkspaceServerRequest::setNetworkRequestStateSignal,
            m_userSessionController->getUserSession().data(), &CUserSession::setNetworkRequestStateSignal,
            Qt::QueuedConnection);
    connect(this, &CServerWatcher::abortSignal, request, &CWorkspaceServerRequest::close);
    request->exec();
}

void CServerWatcher::watchFinishedSlot(ErrorCode error, watcher::api::Watcher::CWatcherWatchResponse response,
                                       quint64 abortGeneration)
{
    // Otherwise a sibling host's cancelled call would replace a failed host's back-off with a short cycle.
    if (abortedByUs(error, abortGeneration)) {
        qDebug() << "CServerWatcher::watchFinishedSlot: ended by the watcher itself, host:" << response.hostName;
        return;
    }
    // The next cycle starts from one consistent state for every host.
    abortAllWatchRequests();

    if (error.isSuccess() || error == ServerApiErrorCode::ErrorOperationCancelled) {
        if (appstate::isShuttingDown())
            return;
        if (error.isSuccess())
            processChangedItemsList(response);
        scheduleNextCycle();
        return;
    }

    qDebug() << "CServerWatcher::watchFinishedSlot: error:" << error;
    if (appstate::isShuttingDown())
        return;
    if (error == ServerApiErrorCode::AccessDenied) {
        // Some token of this call is no longer accepted: fetch all of them again.
        for (const watcher::api::shared::WatchedItemId &item : qAsConst(response.watchedItemIds)) {
            if (const SyncLibrary::Ptr library = m_syncDatabase->getLibraryByServerId(quint64(item.itemId), item.tenantId))
                changeBalancerData(library->ClientId, QString(), response.hostName);
        }
        scheduleNextCycle();
        return;
    }
    scheduleCycle(restartinterval::forError(error));
}

void CServerWatcher::processChangedItemsList(const watcher::api::Watcher::CWatcherWatchResponse &response)
{
    qDebug().noquote() << "CServerWatcher::processChangedItemsList: processing:" << response.toString();
    for (const watcher::api::shared::WatchedItemId &item : response.changedItemsList) {
        const SyncLibrary::Ptr library = m_syncDatabase->getLibraryByServerId(quint64(item.itemId), item.tenantId);
        if (!library) {
            qDebug() << "CServerWatcher::processChangedItemsList: unknown library itemId:" << item.itemId
                     << "tenantId:" << item.tenantId << "-> skipped";
            continue;
        }
        markChangedOnServer(library);
    }
}

void CServerWatcher::markChangedOnServer(const SyncLibrary::Ptr &library)
{
    // A library that is new, moving or unsubscribed on the server side has its fetch coming anyway;
    // "changed" must not undo an unsubscription that crossed an answer in flight.
    const quint32 status = library->syncStatus.ServerStatus;
    if (status != StatusSynchronized && status != StatusChanged) {
        qDebug() << "CServerWatcher::markChangedOnServer: library clientId:" << library->ClientId
                 << "server status:" << statusToString(status) << "-> left as it is";
        return;
    }
    m_syncDatabase->updateLibrary(library->ClientId, CSqlValue(QStringLiteral("ServerStatus"), quint32(StatusChanged)));
}
