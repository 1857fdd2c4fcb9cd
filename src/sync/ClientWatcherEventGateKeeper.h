#pragma once

#include "ClientWatcherUtils.h"

#include <QObject>
#include <QSharedPointer>

class CSyncDatabase;
class QTimer;

// Lets through only events of libraries that are fully synchronised; a library the sync engine
// is still working on is compared as a whole once it is done. Lives on the client watcher's thread.
class CClientWatcherEventGateKeeper : public QObject, public IClientWatcherEventListener
{
    Q_OBJECT
public:
    CClientWatcherEventGateKeeper(const QSharedPointer<CSyncDatabase> &syncDatabase, QObject *parent);

    // Called on a native watcher's thread.
    void handleClientWatcherEvent(const ClientWatcherEvent &event) override;
    void addNotSynchronizedLibrary(const SyncLibrary &library);

signals:
    void insertEventSignal(const ClientWatcherEvent &clientWatcherEvent);
    void checkAllLaterSignal(bool checkFileHash);
    void checkSyncLibraryLaterSignal(const SyncLibrary::ConstPtr &syncLibrary);
    void checkEventLaterSignal(const ClientWatcherEvent &clientWatcherEvent);

public slots:
    void insertEventSlot(const ClientWatcherEvent &clientWatcherEvent);
    void recheckNotSynchronizedSlot();

private:
    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    QTimer *const m_recheckTimer;
    QList<ItemId> m_waitingLibraries;
};
