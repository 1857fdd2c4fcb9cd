#include "ClientWatcherEventGateKeeper.h"

#include "SyncDatabase.h"

#include <QDebug>
#include <QTimer>

namespace {
const int kRecheckIntervalMs = 10000;
}

CClientWatcherEventGateKeeper::CClientWatcherEventGateKeeper(const QSharedPointer<CSyncDatabase> &syncDatabase,
                                                             QObject *parent)
    : QObject(parent)
    , m_syncDatabase(syncDatabase)
    , m_recheckTimer(new QTimer(this))
{
    Q_ASSERT_X(m_syncDatabase, "CClientWatcherEventGateKeeper", "syncDatabase");
    Q_ASSERT_X(parent, "CClientWatcherEventGateKeeper", "parent");
    qDebug() << "CClientWatcherEventGateKeeper::CClientWatcherEventGateKeeper";
    m_recheckTimer->setSingleShot(true);
    connect(this, &CClientWatcherEventGateKeeper::insertEventSignal, this,
            &CClientWatcherEventGateKeeper::insertEventSlot);
    connect(m_recheckTimer, &QTimer::timeout, this, &CClientWatcherEventGateKeeper::recheckNotSynchronizedSlot);
}

void CClientWatcherEventGateKeeper::handleClientWatcherEvent(const ClientWatcherEvent &event)
{
    emit insertEventSignal(event);
}

void CClientWatcherEventGateKeeper::insertEventSlot(const ClientWatcherEvent &event)
{
    const QString text = QStringLiteral("CClientWatcherEventGateKeeper::insertEventSlot(") + event.toString();
    const SyncLibrary::Ptr library = m_syncDatabase->getLibraryByClientPath(event.path);
    bool outside = !library;
    bool waiting = !library || !m_syncDatabase->isSynchronized(library->ClientId, false);
    if (event.type == MOVED) {
        const SyncLibrary::Ptr oldLibrary = m_syncDatabase->getLibraryByClientPath(event.oldPath);
        outside = outside || !oldLibrary || !m_syncDatabase->isSynchronized(oldLibrary->ClientId, false);
    }
    if (outside) {
        qDebug().noquote() << text + ") - discarted, path is out of watched folders";
        emit checkAllLaterSignal(true);
    } else if (waiting) {
        qDebug().noquote() << text + ") - discarted, library" << library->ClientId << "is not synchronized";
        addNotSynchronizedLibrary(*library);
    } else {
        qDebug().noquote() << text + ") - accepted";
        emit checkEventLaterSignal(event);
    }
}

void CClientWatcherEventGateKeeper::addNotSynchronizedLibrary(const SyncLibrary &library)
{
    if (!m_waitingLibraries.contains(library.ClientId))
        m_waitingLibraries << library.ClientId;
    if (!m_recheckTimer->isActive())
        m_recheckTimer->start(kRecheckIntervalMs);
}

void CClientWatcherEventGateKeeper::recheckNotSynchronizedSlot()
{
    for (int i = 0; i < m_waitingLibraries.size();) {
        const ItemId id = m_waitingLibraries.at(i);
        const SyncLibrary::Ptr library = m_syncDatabase->getLibrary(id);
        if (!library) {
            m_waitingLibraries.removeAt(i);
        } else if (m_syncDatabase->isSynchronized(id, false)) {
            qDebug() << "CClientWatcherEventGateKeeper::recheckNotSynchronizedSlot() - check library" << id;
            m_waitingLibraries.removeAt(i);
            emit checkSyncLibraryLaterSignal(library);
        } else {
            ++i;
        }
    }
    if (!m_waitingLibraries.isEmpty() && !m_recheckTimer->isActive())
        m_recheckTimer->start(kRecheckIntervalMs);
}
