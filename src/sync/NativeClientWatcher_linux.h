#pragma once

#include "ClientWatcherUtils.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QStringList>

// The pure part of the inotify watcher: records in, events and watch changes out. Nothing here
// touches the disk, so every sequence the kernel can produce can be replayed in a test.
namespace inotifywatch {

struct RawRecord
{
    int wd = -1;
    quint32 mask = 0;
    quint32 cookie = 0;
    QString name;
};

// Splits what one read() returned into records; a truncated tail is dropped with a warning.
QList<RawRecord> parseBuffer(const char *data, qint64 length);

struct Outcome
{
    ClientWatcherEventList events;
    // New folders: watch them (and what is below), then look at what they already hold.
    QStringList foldersToWatch;
    QList<int> watchesToRemove;
    bool overflow = false; // events were lost: compare everything and re-walk the tree
    bool rootGone = false;
};

// Keeps the table from watch descriptor to path and pairs renames by cookie. A moved-from whose
// partner is not in the same read waits for the next read (or for flushPendingMove).
class CInotifyTranslator
{
public:
    explicit CInotifyTranslator(const QString &rootPath);

    void addWatch(int wd, const QString &path);
    QString pathOf(int wd) const { return m_paths.value(wd); }
    int watchCount() const { return m_paths.size(); }
    bool hasPendingMove() const { return m_pendingCookie != 0; }

    Outcome translate(const QList<RawRecord> &records);
    // Nothing followed a moved-from: the item left the watched tree.
    void flushPendingMove(Outcome &outcome);

private:
    void handle(const RawRecord &record, Outcome &outcome);
    void renameSubtree(const QString &from, const QString &to);
    void dropSubtree(const QString &path, Outcome &outcome);

    const QString m_root;
    QHash<int, QString> m_paths;
    quint32 m_pendingCookie = 0; // the kernel never gives a move cookie 0
    QString m_pendingPath;
    bool m_pendingIsDir = false;
    bool m_pendingFromEarlierRead = false;
};

// Lets the first MODIFIED of a path through and holds back repeats for a while; one held-back
// event per path is released when its quiet period ends, so the last write is never lost.
class CRepeatSuppressor
{
public:
    explicit CRepeatSuppressor(qint64 quietMs) : m_quietMs(quietMs) {}

    bool pass(const QString &path, qint64 nowMs);
    // Paths whose quiet period ended with an event held back.
    QStringList due(qint64 nowMs);
    // Milliseconds until the next due() has something, -1 when nothing is held back.
    qint64 nextDueIn(qint64 nowMs) const;

private:
    struct Entry
    {
        qint64 until = 0;
        bool held = false;
    };
    const qint64 m_quietMs;
    QHash<QString, Entry> m_entries;
};

} // namespace inotifywatch
