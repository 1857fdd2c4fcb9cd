#pragma once

#include "SyncRecords.h"

#include <QFileInfoList>
#include <QList>
#include <QMetaType>
#include <QString>

class CSyncDatabase;

enum ClientWatcherEventType : qint32 {
    ADDED = 0,
    REMOVED = 1,
    MOVED = 2,
    MODIFIED = 3,
    DIRECTORY_CHANGED = 4,
    EMPTY = 5,
    UNKNOWN = 6,
};

// One local file-system event, from a native watcher or from a comparison of disk and database.
struct ClientWatcherEvent
{
    ClientWatcherEvent() = default;
    ClientWatcherEvent(ClientWatcherEventType eventType, const QString &eventPath, const QString &previousPath = {})
        : type(eventType), path(eventPath), oldPath(previousPath)
    {
    }

    ClientWatcherEventType type = UNKNOWN;
    QString path;    // for MOVED the new path
    QString oldPath; // MOVED only
    QString signature;
    ItemId itemClientId = ItemId(-1);
    bool checkFileHash = true;
    // The file's size when the event was made, -1 when unknown; a file whose size moved on since
    // is still being written.
    qint64 size = -1;
    // Made by a comparison of disk and database rather than reported by the system: such events
    // are applied as one batch, without the pauses that pace the system's reports.
    bool fromComparison = false;

    QString toString() const;
    bool operator==(const ClientWatcherEvent &other) const;
};

using ClientWatcherEventList = QList<ClientWatcherEvent>;

// Called on a native watcher's thread for every event; must hand the event over to its own thread.
class IClientWatcherEventListener
{
public:
    virtual ~IClientWatcherEventListener() = default;
    virtual void handleClientWatcherEvent(const ClientWatcherEvent &event) = 0;
};

// Path and name rules shared by the watcher, the comparisons and the event processor.
namespace watchpath {
// Dot-files and dot-folders are never synchronised.
bool isHiddenName(const QString &name);
QString parentOf(const QString &path);
QString nameOf(const QString &path);
// True for "a/b" below "a" (and for "a" itself when orEqual).
bool isBelow(const QString &path, const QString &folder, bool orEqual = false);
// The name an item has on disk: behind the pending-rename marker when a local rename has not
// reached the server yet.
QString localNameOf(const QString &clientName);
// The order every listing and comparison uses, so that signatures of disk and database agree.
bool lessByName(const QString &a, const QString &b);
// Files and folders of a folder that can be synchronised: no links, no dot-entries, no devices;
// sorted by name.
QFileInfoList listFolder(const QString &path);
} // namespace watchpath

class CClientWatcherUtils
{
public:
    // The item at a local path, 0 when none. Unlike the database's own look-up it also finds an
    // item whose local rename has not reached the server yet, by the name behind the marker.
    static ItemId clientIdByLocalPath(CSyncDatabase &db, const QString &path);
    // The file or folder called name on disk below parent, 0 when none.
    static ItemId childIdByLocalName(CSyncDatabase &db, ItemId parent, const QString &name, bool *isFolder = nullptr);
    static bool isFileModified(const QString &path, const SyncFile &record, bool checkFileHash);
    // Opening the file, as a reader would; -1 when it cannot be opened.
    static qint64 currentFileSize(const QString &path);
    // "size#modified#created"; the size is -2 when the file cannot be opened.
    static QString fileSignature(const QString &path);
    static QString fileSignature(const SyncFile &record);
    static QString folderSignature(const QString &path);
    static QString folderSignature(CSyncDatabase &db, ItemId folderClientId);
};

Q_DECLARE_METATYPE(ClientWatcherEvent)
