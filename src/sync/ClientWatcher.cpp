#include "ClientWatcher.h"

#include "AppState.h"
#include "ClientWatcherEventGateKeeper.h"
#include "ClientWatcherEventProcessor.h"
#include "ClientWatcherHierarchy.h"
#include "FileManipulation.h"
#include "NativeClientWatcher.h"
#include "SyncDatabase.h"
#include "utils.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QSet>
#include <QThread>
#include <QTimer>

namespace {

const int kPeriodicCheckMs = 300000;
const int kDelayedCheckMs = 1000;
const int kBackedOffCheckMs = 60000;
const int kBackOffAfterRounds = 10;
const int kRebalanceMs = 30000;
const int kSoonRebalanceMs = 1000;
const int kRemovedHierarchyCheckMs = 60000;
const int kPauseBeforeRoundMs = 1000;
const int kPauseAfterEventMs = 100;
const int kMaxInvalidEvents = 25;
// A longer queue is cheaper to replace by one comparison than to process event by event.
const int kMaxQueuedEvents = 4000;
const quint64 kHashCheckDatabaseLimit = 1073741824;
const int kEventsPerTransaction = 1000;

bool hasMissingPathEvent(const ClientWatcherEventList &queue)
{
    for (const ClientWatcherEvent &event : queue) {
        if (event.type == REMOVED)
            return true;
        if (event.type != EMPTY && event.type != UNKNOWN && !utils::fileExistsNative(event.path, true, false)
            && !utils::fileExistsNative(event.path, false, false))
            return true;
    }
    return false;
}

QString seconds(const QElapsedTimer &timer)
{
    return QString::number(timer.elapsed() / 1000.0, 'f', 3);
}

} // namespace

CClientWatcherV2::CClientWatcherV2(const QSharedPointer<CSyncDatabase> &syncDatabase,
                                   const QSharedPointer<CFileManipulation> &fileManipulation)
    : m_syncDatabase(syncDatabase)
    , m_fileManipulation(fileManipulation)
{
    Q_ASSERT_X(m_syncDatabase, "CClientWatcherV2", "syncDatabase");
    qDebug() << "CClientWatcherV2::CClientWatcherV2()";

    m_periodicCheckTimer = new QTimer(this);
    m_delayedCheckTimer = new QTimer(this);
    m_rebalanceTimer = new QTimer(this);
    m_removedHierarchyCheckTimer = new QTimer(this);
    for (QTimer *timer : {m_periodicCheckTimer, m_delayedCheckTimer, m_rebalanceTimer, m_removedHierarchyCheckTimer})
        timer->setSingleShot(true);
    m_gateKeeper = new CClientWatcherEventGateKeeper(m_syncDatabase, this);
    m_eventProcessor.reset(new CClientWatcherEventProcessor(m_syncDatabase));
    m_thread = new QThread();
    m_thread->setObjectName(QStringLiteral("ClientWatcher"));

    connect(m_thread, &QThread::finished, this, &CClientWatcherV2::cleanupSlot);
    connect(this, &CClientWatcherV2::sanityCheckSignal, this, &CClientWatcherV2::sanityCheckSlot);
    connect(this, &CClientWatcherV2::startWatcherSignal, this, &CClientWatcherV2::startWatcherSlot);
    connect(m_gateKeeper, &CClientWatcherEventGateKeeper::checkAllLaterSignal, this,
            &CClientWatcherV2::checkAllLaterSlot);
    connect(m_gateKeeper, &CClientWatcherEventGateKeeper::checkSyncLibraryLaterSignal, this,
            &CClientWatcherV2::checkSyncLibraryLaterSlot);
    connect(m_gateKeeper, &CClientWatcherEventGateKeeper::checkEventLaterSignal, this,
            &CClientWatcherV2::checkEventLaterSlot);
    connect(m_periodicCheckTimer, &QTimer::timeout, this, &CClientWatcherV2::periodicCheckSlot);
    connect(m_delayedCheckTimer, &QTimer::timeout, this, &CClientWatcherV2::delayedCheckSlot);
    connect(m_rebalanceTimer, &QTimer::timeout, this, &CClientWatcherV2::rebalanceWatchersSlot);
    connect(m_removedHierarchyCheckTimer, &QTimer::timeout, this, &CClientWatcherV2::removedHierarchyCheckSlot);
    connect(m_syncDatabase.data(), &CSyncDatabase::syncLibraryChangedSignal, this,
            &CClientWatcherV2::libraryChangedSlot, Qt::QueuedConnection);

    moveToThread(m_thread);
    m_thread->start();
}

CClientWatcherV2::~CClientWatcherV2()
{
    stopWatcherSlot();
    delete m_thread;
}

void CClientWatcherV2::startWatcher()
{
    qDebug() << "CClientWatcherV2::startWatcher()";
    emit startWatcherSignal();
}

void CClientWatcherV2::sanityCheck()
{
    emit sanityCheckSignal();
}

bool CClientWatcherV2::isStopping() const
{
    return m_stopRequested.loadRelaxed() || appstate::isShuttingDown();
}

void CClientWatcherV2::pause(int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!isStopping() && timer.elapsed() < ms)
        QThread::msleep(quint64(qMin<qint64>(20, ms - timer.elapsed())));
    m_pausedMs.fetchAndAddRelaxed(timer.elapsed());
}

void CClientWatcherV2::stopWatcherSlot()
{
    if (!m_thread || m_thread->isFinished() || !m_thread->isRunning())
        return;
    qDebug() << "CClientWatcherV2::stopWatcherSlot: started";
    m_stopRequested.storeRelaxed(1);
    QMetaObject::invokeMethod(this, "shutdownOnThreadSlot", Qt::QueuedConnection);
    qDebug() << "CClientWatcherV2::stopWatcherSlot: waiting for client watcher thread to stop";
    m_thread->wait();
    qDebug() << "CClientWatcherV2::stopWatcherSlot: client watcher thread stopped";
    qDebug() << "CClientWatcherV2::stopWatcherSlot: finished";
}

void CClientWatcherV2::shutdownOnThreadSlot()
{
    while (!m_nativeWatchers.empty())
        stopNativeWatcher(m_nativeWatchers.begin()->first, "CClientWatcherV2::stopWatcherSlot:");
    m_thread->quit();
}

void CClientWatcherV2::stopNativeWatcher(const QString &tenantPath, const char *context)
{
    const auto it = m_nativeWatchers.find(tenantPath);
    if (it == m_nativeWatchers.end())
        return;
    qDebug().noquote() << context << "waiting for native client watcher thread to stop: tenantPath:" << tenantPath;
    it->second->stopThread();
    qDebug().noquote() << context << "native client watcher thread stopped: tenantPath:" << tenantPath;
    m_nativeWatchers.erase(it);
}

void CClientWatcherV2::cleanupSlot()
{
    qDebug() << "CClientWatcherV2::cleanupSlot()";
    for (QTimer *timer : {m_periodicCheckTimer, m_delayedCheckTimer, m_rebalanceTimer, m_removedHierarchyCheckTimer})
        timer->stop();
    delete m_gateKeeper; // its timer belongs to this thread
    m_gateKeeper = nullptr;
    m_syncDatabase->closeDatabaseForCurrentThread();
}

void CClientWatcherV2::startWatcherSlot()
{
    qDebug() << "CClientWatcherV2::startWatcherSlot()";
    rebalanceWatchersSlot();
    m_periodicCheckTimer->start(kPeriodicCheckMs);
    m_removedHierarchyCheckTimer->start(kRemovedHierarchyCheckMs);
}

void CClientWatcherV2::sanityCheckSlot()
{
    const bool checkFileHash = m_syncDatabase->sumFileSizes() < kHashCheckDatabaseLimit;
    qDebug() << "CClientWatcherV2::sanityCheckSlot() - started, checkFileHash:" << (checkFileHash ? "true" : "false");
    checkAllNowSlot(checkFileHash);
    if (m_fileManipulation)
        m_fileManipulation->runSanityCheck(); // the file cache's records against its folder
    qDebug() << "CClientWatcherV2::sanityCheckSlot() - finished";
    emit sanityCheckFinishedSignal();
}

void CClientWatcherV2::queueCheckAll(bool checkFileHash)
{
    m_eventQueue.clear();
    // An unmounted or removed store folder would read as every library deleted by the user.
    const QString store = syncpath::storeFolder();
    if (store.isEmpty() || !utils::fileExistsNative(store, true, false)) {
        qWarning().noquote() << "CClientWatcherV2::queueCheckAll: store folder" << store << "is missing -> no check";
        return;
    }
    for (const SyncLibrary::Ptr &library : m_syncDatabase->getLibraries()) {
        if (library->ClientName.isEmpty() || !m_syncDatabase->isSynchronized(library->ClientId, false)) {
            if (m_gateKeeper)
                m_gateKeeper->addNotSynchronizedLibrary(*library);
            continue;
        }
        ClientWatcherEvent event(DIRECTORY_CHANGED, syncpath::libraryFolderPath(*library));
        event.checkFileHash = checkFileHash;
        m_eventQueue << event;
    }
}

void CClientWatcherV2::checkAllNowSlot(bool checkFileHash)
{
    queueCheckAll(checkFileHash);
    processEventQueue(false);
}

void CClientWatcherV2::checkAllLaterSlot(bool checkFileHash)
{
    checkAllLaterSlotWithCustomDelay(checkFileHash, kDelayedCheckMs);
}

void CClientWatcherV2::checkAllLaterSlotWithCustomDelay(bool checkFileHash, int delayedCheckTimeout)
{
    queueCheckAll(checkFileHash);
    m_delayedCheckTimer->start(qMax(0, delayedCheckTimeout));
}

void CClientWatcherV2::checkSyncLibraryLaterSlot(const SyncLibrary::ConstPtr &syncLibrary)
{
    if (syncLibrary && !syncLibrary->ClientName.isEmpty())
        eventrules::insertCoalesced(m_eventQueue,
                                    ClientWatcherEvent(DIRECTORY_CHANGED, syncpath::libraryFolderPath(*syncLibrary)));
    m_delayedCheckTimer->start(kDelayedCheckMs);
}

void CClientWatcherV2::checkEventLaterSlot(const ClientWatcherEvent &clientWatcherEvent)
{
    eventrules::insertCoalesced(m_eventQueue, clientWatcherEvent);
    if (m_eventQueue.size() > kMaxQueuedEvents) {
        qDebug() << "CClientWatcherV2::checkEventLaterSlot() -" << m_eventQueue.size()
                 << "events queued -> one full check instead";
        queueCheckAll(false);
    }
    m_delayedCheckTimer->start(kDelayedCheckMs);
}

void CClientWatcherV2::periodicCheckSlot()
{
    qDebug() << "CClientWatcherV2::periodicCheckSlot() - performing check";
    queueCheckAll(false);
    m_delayedCheckTimer->start(kDelayedCheckMs);
    m_periodicCheckTimer->start(kPeriodicCheckMs);
}

void CClientWatcherV2::delayedCheckSlot()
{
    if (m_eventQueue.isEmpty() || isStopping()) {
        qDebug() << "CClientWatcherV2::delayedCheckSlot() - event queue is empty";
        return;
    }
    m_periodicCheckTimer->stop();
    const bool changed = processEventQueue(true);
    m_consecutiveChangedChecks = changed ? m_consecutiveChangedChecks + 1 : 0;
    if (changed) {
        // Confirm with a full comparison: events of the system carry no sizes, and a burst may go on.
        queueCheckAll(false);
        m_delayedCheckTimer->start(m_consecutiveChangedChecks > kBackOffAfterRounds ? kBackedOffCheckMs
                                                                                     : kDelayedCheckMs);
    }
    m_periodicCheckTimer->start(kPeriodicCheckMs);
}

bool CClientWatcherV2::processEventQueue(bool limitInvalid)
{
    qDebug() << "CClientWatcherV2::processEventQueue()";
    if (m_eventQueue.isEmpty() || isStopping())
        return false;
    QElapsedTimer timer;
    timer.start();
    if (hasMissingPathEvent(m_eventQueue)) {
        qDebug() << "CClientWatcherV2::processEventQueue() - found deleted folder, forcing overall scan to find root "
                    "folder of deleted hierarchy";
        queueCheckAll(true);
    }
    m_eventProcessor->prepareEvents(m_eventQueue);
    qDebug().noquote() << "CClientWatcherV2::processEventQueue() - HDD scan time:" << seconds(timer)
                       << "[s], changes found:" << m_eventQueue.size();
    if (m_eventQueue.isEmpty() || isStopping())
        return false;

    // What a comparison found is applied at once and together; what the system reported is paced.
    const bool fromComparison = std::any_of(m_eventQueue.cbegin(), m_eventQueue.cend(),
                                            [](const ClientWatcherEvent &e) { return e.fromComparison; });
    if (!fromComparison)
        pause(kPauseBeforeRoundMs);
    timer.restart();
    int processed = 0;
    int invalid = 0;
    bool accepted = false;
    if (fromComparison) {
        // In slices, so that the sync engine can start on the first items while the rest is recorded.
        m_eventProcessor->beginBatch();
        for (int first = 0; first < m_eventQueue.size() && !isStopping(); first += kEventsPerTransaction) {
            const int last = qMin(first + kEventsPerTransaction, int(m_eventQueue.size()));
            m_syncDatabase->runInTransaction([&] {
                accepted = applyEvents(first, last, false, limitInvalid, &processed, &invalid) || accepted;
            });
        }
        m_eventProcessor->endBatch();
    } else {
        accepted = applyEvents(0, m_eventQueue.size(), true, limitInvalid, &processed, &invalid);
    }
    m_eventQueue.clear();
    qDebug().noquote() << "CClientWatcherV2::processEventQueue() - SyncDB inserting time:" << seconds(timer) << "[s]"
                       << ", processedEventCount:" << processed << ", invalidEventCount:" << invalid;
    // Refused system events still ask for a confirming comparison; a comparison that changed nothing
    // must not, or the checks would never settle.
    return accepted || !fromComparison;
}

bool CClientWatcherV2::applyEvents(int first, int last, bool paced, bool limitInvalid, int *processed, int *invalid)
{
    bool anyAccepted = false;
    for (int i = first; i < last; ++i) {
        const ClientWatcherEvent &event = m_eventQueue.at(i);
        if (isStopping())
            break;
        const bool accepted = m_eventProcessor->acceptEvent(event);
        ++*processed;
        anyAccepted = anyAccepted || accepted;
        if (!accepted && ++*invalid > kMaxInvalidEvents && limitInvalid && paced)
            break;
        if (paced && accepted)
            pause(kPauseAfterEventMs);
    }
    return anyAccepted;
}

void CClientWatcherV2::rebalanceWatchersSlot()
{
    qDebug() << "CClientWatcherV2::rebalanceWatchersSlot";
    rebalanceNativeClientWatchers();
    m_rebalanceTimer->start(kRebalanceMs);
}

// A library that just got its folder (or a new one) is watched within a second, not at the next round.
void CClientWatcherV2::libraryChangedSlot(ItemId)
{
    if (!isStopping() && m_rebalanceTimer->isActive() && m_rebalanceTimer->remainingTime() > kSoonRebalanceMs)
        m_rebalanceTimer->start(kSoonRebalanceMs);
}

void CClientWatcherV2::rebalanceNativeClientWatchers()
{
    qDebug() << "CClientWatcherV2::rebalanceNativeClientWatchers";
    if (isStopping())
        return;
    const QString store = syncpath::storeFolder();
    const bool storeFolderLost = store.isEmpty() || !utils::fileExistsNative(store, true, false);
    if (storeFolderLost != m_storeFolderLost) {
        m_storeFolderLost = storeFolderLost;
        qWarning().noquote() << "CClientWatcherV2::rebalanceNativeClientWatchers: store folder" << store
                             << (storeFolderLost ? "is lost" : "is back");
        emit setStoreFolderLostSignal(storeFolderLost);
    }

    QSet<QString> tenantPaths;
    for (const SyncLibrary::Ptr &library : m_syncDatabase->getLibraries()) {
        if (library->ClientName.isEmpty())
            continue;
        const QString tenantPath = syncpath::join(store, library->ClientName.section(QLatin1Char('/'), 0, 0));
        if (!utils::fileExistsNative(tenantPath, true, false)) {
            qWarning().noquote() << "CClientWatcherV2::rebalanceNativeClientWatchers: not yet exists tenantPath:"
                                 << tenantPath << "-> not starting native watcher";
            continue;
        }
        tenantPaths.insert(tenantPath);
    }
    qDebug() << "CClientWatcherV2::rebalanceNativeClientWatchers: tenantPathSet:" << tenantPaths.values();

    for (const QString &tenantPath : qAsConst(tenantPaths)) {
        const auto it = m_nativeWatchers.find(tenantPath);
        // A watcher whose folder was removed (or could not be watched) has ended; the folder is back.
        if (it != m_nativeWatchers.end() && it->second->isFinished())
            stopNativeWatcher(tenantPath, "CClientWatcherV2::rebalanceNativeClientWatchers: ended,");
        if (m_nativeWatchers.count(tenantPath))
            continue;
        qDebug().noquote() << "CClientWatcherV2::rebalanceNativeClientWatchers: starting new native watcher for "
                              "tenantPath:"
                           << tenantPath;
        auto watcher = std::make_unique<utils::CNativeClientWatcher>(m_gateKeeper, tenantPath);
        watcher->start();
        m_nativeWatchers.emplace(tenantPath, std::move(watcher));
        // What the user did there before the watch existed is found by one comparison; at start the
        // sanity check has just made it.
        if (m_rebalancedOnce) {
            eventrules::insertCoalesced(m_eventQueue, ClientWatcherEvent(DIRECTORY_CHANGED, tenantPath));
            m_delayedCheckTimer->start(kDelayedCheckMs);
        }
    }
    QStringList unused;
    for (const auto &entry : m_nativeWatchers) {
        if (!tenantPaths.contains(entry.first))
            unused << entry.first;
    }
    for (const QString &tenantPath : qAsConst(unused)) {
        qDebug().noquote() << "CClientWatcherV2::rebalanceNativeClientWatchers: found unused native client watcher: "
                              "tenantPath:"
                           << tenantPath;
        stopNativeWatcher(tenantPath, "CClientWatcherV2::rebalanceNativeClientWatchers:");
    }
    m_rebalancedOnce = true;
    qDebug() << "CClientWatcherV2::rebalanceNativeClientWatchers: done";
}

void CClientWatcherV2::removedHierarchyCheckSlot()
{
    if (!m_syncDatabase->isSynchronized(0, false)) {
        CRemovedHierarchyChecker checker(m_syncDatabase);
        checker.checkFLStore();
    }
    m_removedHierarchyCheckTimer->start(kRemovedHierarchyCheckMs);
}
