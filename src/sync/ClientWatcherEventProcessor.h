#pragma once

#include "ClientWatcherUtils.h"

#include <QHash>
#include <QSharedPointer>

class CSyncDatabase;

// The queue rules, free of disk and database so that they can be tested on plain rows.
namespace eventrules {

// What disk and database say about one queued event; only needed to pair moves.
struct EventFacts
{
    bool isFolder = false;     // ADDED: a folder on disk; REMOVED: a folder record
    bool isFile = false;       // likewise for files
    ItemId clientId = 0;       // of the event's path, 0 when the database does not know it
    bool existsOnDisk = false; // anything at the event's path
    ItemId libraryId = 0;      // library the path belongs to, 0 for none
};

// Turns an ADDED and a REMOVED of the same kind, library and signature into one MOVED, provided
// no third event shares the signature (a copy is no move). The REMOVED becomes EMPTY; when a
// folder moved, so do the events below its old and new paths, which the move carries along.
void pairMoves(ClientWatcherEventList &queue, const QList<EventFacts> &facts, bool folders);

// Adds a system event to the watcher's queue: a folder change already covered by a queued change
// of the same or an enclosing folder is dropped, and one that covers queued ones replaces them.
void insertCoalesced(ClientWatcherEventList &queue, const ClientWatcherEvent &event);

// Drops a system event that a comparison in the same queue reported as well; the comparison's
// copy carries the file's size.
void dropReportedTwice(ClientWatcherEventList &queue);

} // namespace eventrules

// Turns the client watcher's queue into database changes: new, deleted, moved and changed items.
// Runs on the client watcher's thread with that thread's database connection.
class CClientWatcherEventProcessor
{
public:
    explicit CClientWatcherEventProcessor(const QSharedPointer<CSyncDatabase> &syncDatabase);
    ~CClientWatcherEventProcessor();

    // Expands folder changes, signs the events and pairs moves, folders first.
    void prepareEvents(ClientWatcherEventList &queue);
    // False when the event no longer matches disk or database (logged).
    bool acceptEvent(const ClientWatcherEvent &event);
    // Between these, folder ids and libraries are remembered instead of read again for every
    // event; for a long list of events that only this processor changes.
    void beginBatch();
    void endBatch();

private:
    void signEvents(ClientWatcherEventList &queue);
    QList<eventrules::EventFacts> gatherFacts(const ClientWatcherEventList &queue);
    bool isSameLibrary(const QString &path1, const QString &path2);
    bool acceptEventAdded(const ClientWatcherEvent &event);
    bool acceptEventRemoved(const ClientWatcherEvent &event);
    bool acceptEventMoved(const ClientWatcherEvent &event);
    bool acceptEventModified(const ClientWatcherEvent &event);

    ItemId clientIdOf(const QString &path);
    QList<SyncLibrary::Ptr> libraries();

    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    bool m_batching = false;
    QHash<QString, ItemId> m_folderIds;
    QList<SyncLibrary::Ptr> m_libraries;
};
