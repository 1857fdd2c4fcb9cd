#pragma once

#include "ClientWatcherUtils.h"

#include <QAtomicInt>
#include <QObject>
#include <QSharedPointer>

#include <map>
#include <memory>

class CClientWatcherEventGateKeeper;
class CClientWatcherEventProcessor;
class CFileManipulation;
class CSyncDatabase;
class QThread;
class QTimer;

namespace utils {
class CNativeClientWatcher;
}

// Finds what the user changed in the store folder and writes it into the database: one native
// watcher per tenant folder feeds a queue, which timers hand to the event processor; full
// comparisons of disk and database at start-up and every few minutes catch what the system
// did not report. Lives on a thread of its own.
class CClientWatcherV2 : public QObject
{
    Q_OBJECT
public:
    CClientWatcherV2(const QSharedPointer<CSyncDatabase> &syncDatabase,
                     const QSharedPointer<CFileManipulation> &fileManipulation);
    ~CClientWatcherV2() override;

    void startWatcher();
    void sanityCheck();
    // From the owner's thread; returns once every watcher thread has ended.
    void stopWatcherSlot();

    // Milliseconds spent in the fixed pauses between events so far; what the benchmark reports.
    qint64 pausedMs() const { return m_pausedMs.loadRelaxed(); }

signals:
    void sanityCheckSignal();
    void sanityCheckFinishedSignal();
    void startWatcherSignal();
    void syncIssuesFoundSignal();
    void setStoreFolderLostSignal(bool storeFolderLost);

public slots:
    void sanityCheckSlot();
    void cleanupSlot();
    void startWatcherSlot();
    void checkAllNowSlot(bool checkFileHash);
    void checkAllLaterSlot(bool checkFileHash);
    void checkAllLaterSlotWithCustomDelay(bool checkFileHash, int delayedCheckTimeout);
    void checkSyncLibraryLaterSlot(const SyncLibrary::ConstPtr &syncLibrary);
    void checkEventLaterSlot(const ClientWatcherEvent &clientWatcherEvent);
    void periodicCheckSlot();
    void delayedCheckSlot();
    void rebalanceWatchersSlot();
    void removedHierarchyCheckSlot();

private slots:
    void shutdownOnThreadSlot();
    void libraryChangedSlot(ItemId libraryClientId);

private:
    void queueCheckAll(bool checkFileHash);
    bool processEventQueue(bool limitInvalid);
    bool applyEvents(int first, int last, bool paced, bool limitInvalid, int *processed, int *invalid);
    void rebalanceNativeClientWatchers();
    void stopNativeWatcher(const QString &tenantPath, const char *context);
    bool isStopping() const;
    // Sleeps in short slices so that a stop is never held up by a pause.
    void pause(int ms);

    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    const QSharedPointer<CFileManipulation> m_fileManipulation;
    CClientWatcherEventGateKeeper *m_gateKeeper = nullptr;
    QSharedPointer<CClientWatcherEventProcessor> m_eventProcessor;
    std::map<QString, std::unique_ptr<utils::CNativeClientWatcher>> m_nativeWatchers;
    QThread *m_thread = nullptr;
    QTimer *m_periodicCheckTimer = nullptr;
    QTimer *m_delayedCheckTimer = nullptr;
    QTimer *m_rebalanceTimer = nullptr;
    QTimer *m_removedHierarchyCheckTimer = nullptr;
    ClientWatcherEventList m_eventQueue;
    int m_consecutiveChangedChecks = 0;
    bool m_storeFolderLost = false;
    bool m_rebalancedOnce = false;
    QAtomicInt m_stopRequested = 0;
    QAtomicInteger<qint64> m_pausedMs = 0;
};
