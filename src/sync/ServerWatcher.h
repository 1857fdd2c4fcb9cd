#pragma once

#include "ServerApi.h"
#include "ServerApiErrorCode.h"
#include "SyncRecords.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QMultiMap>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>

#include <atomic>
#include <functional>

class CSyncDatabase;
class CUserSessionController;

// Per library: the watcher token and the host of the watcher service that serves it.
class CServerWatcherBalancer
{
public:
    struct BalancerEntry
    {
        quint64 libClientId = 0;
        QString wat;             // empty: unknown
        QString watcherHostname; // empty: unknown

        bool isValid() const { return !wat.isEmpty() && !watcherHostname.isEmpty(); }
    };

    // The stored entry, or one with empty token and host.
    BalancerEntry getEntry(quint64 libClientId) const;
    void setEntry(quint64 libClientId, const QString &wat, const QString &watcherHostname);
    void removeEntry(quint64 libClientId);

private:
    mutable QMutex m_mutex;
    QHash<quint64, BalancerEntry> m_entries;
};

// Libraries the server no longer knows are left out of the watch cycles for 15 minutes.
class CServerWatcherIgnorer
{
public:
    using Clock = std::function<QDateTime()>;
    static constexpr qint64 kIgnoreMs = 900000;

    CServerWatcherIgnorer();
    // Tests move time on without waiting for it.
    void setClock(const Clock &clock);

    // False again, and off the list, once 15 minutes have passed.
    bool isFlIgnored(quint64 flClientId);
    // brindlex.ItemNotFound puts the library on the list; any other outcome takes it off.
    void setWatError(quint64 flClientId, const ErrorCode &error);
    void removeFl(quint64 flClientId);

private:
    QMutex m_mutex;
    QHash<quint64, QDateTime> m_ignoredSince;
    Clock m_clock;
};

// The single pending watch cycle: every new schedule replaces it, so a burst of requests ends in
// one cycle after the last of them. The timer always runs on this object's thread.
class CServerWatcherScheduler : public QObject
{
    Q_OBJECT
public:
    explicit CServerWatcherScheduler(QObject *parent = nullptr);
    ~CServerWatcherScheduler() override;

    // Any thread.
    void scheduleSignal(int interval);

signals:
    void schedulerSignal();
    void invokeRestartSchedulerTimer(int interval);

public slots:
    void restartSchedulerTimerSlot(int interval);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    int m_timerId = 0;
};

// Learns of server-side changes without fetching hierarchies in a loop: for every fully
// synchronised library it obtains a watcher token, groups the libraries by watcher host and keeps
// one long-poll call open per host. A library named in an answer, or whose token shows a newer
// state, is marked changed on the server; it rejoins the watched set once it is synchronised again.
// Lives on the engine thread with its requests; its database slots run on whichever thread wrote.
class CServerWatcher : public QObject
{
    Q_OBJECT
public:
    static constexpr int kCycleDelayMs = 3000;

    CServerWatcher(const QSharedPointer<CSyncDatabase> &syncDatabase,
                   const QSharedPointer<CUserSessionController> &userSessionController, QObject *parent = nullptr);
    ~CServerWatcher() override;

    // Once: watches the synchronised libraries and follows the database from then on.
    void start();
    // Ends the open calls and starts over after delay ms.
    void restart(int delay);
    // Every open watch and token request ends with dc.ErrorOperationCancelled.
    void abortAllWatchRequests();

    QSet<ItemId> watchedLibraries() const;

    // Tests shorten the pause between cycles and move the ignore list's clock.
    void setCycleDelay(int ms) { m_cycleDelayMs = ms; }
    void setClock(const CServerWatcherIgnorer::Clock &clock) { m_ignorer.setClock(clock); }

signals:
    void abortSignal();

private slots:
    void syncDatabaseChangedSlot(ItemId libraryClientId);
    void libraryUnsubscribedSlot(ItemId libraryClientId);
    void databaseReplacedSlot();
    void getWatFinishedSlot(ErrorCode error,
                            brindlex::FileSync::CFileSyncGetWatcherAuthenticationTokenResponse response,
                            quint64 abortGeneration);
    void watchFinishedSlot(ErrorCode error, watcher::api::Watcher::CWatcherWatchResponse response,
                           quint64 abortGeneration);
    void sendWatchRequestsSlot();

private:
    using BalancerEntry = CServerWatcherBalancer::BalancerEntry;
    using HostMap = QMultiMap<QString, BalancerEntry>;

    void scheduleCycle(int delay);
    void scheduleNextCycle() { scheduleCycle(m_cycleDelayMs); }
    // The first library still without token or host, 0 when every one is complete.
    static quint64 findEntryWithInvalidParams(const HostMap &hosts);
    void askForWat(quint64 libClientId);
    void changeBalancerData(quint64 libClientId, const QString &wat, const QString &watcherHostname);
    void sendWatchRequest(const QString &watcherHostname, const QList<BalancerEntry> &entries);
    void processChangedItemsList(const watcher::api::Watcher::CWatcherWatchResponse &response);
    void markChangedOnServer(const SyncLibrary::Ptr &library);
    // A call the watcher ended itself: whoever aborted it has already scheduled the next cycle.
    bool abortedByUs(const ErrorCode &error, quint64 abortGeneration) const;

    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    const QSharedPointer<CUserSessionController> m_userSessionController;
    CServerWatcherBalancer m_balancer;
    CServerWatcherScheduler *const m_scheduler;
    CServerWatcherIgnorer m_ignorer;
    // Locked before the balancer's or the ignorer's mutex when both are held.
    mutable QMutex m_watchedMutex;
    QSet<ItemId> m_watchedLibraries;
    std::atomic<int> m_cycleDelayMs{kCycleDelayMs};
    // Counts abortAllWatchRequests(); a call remembers the count it was sent under.
    std::atomic<quint64> m_abortGeneration{0};
    bool m_started = false;
};
