#pragma once

#include "SyncDatabase.h"
#include "SyncRecords.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

// Rules of the cache, free of disks and timers.
namespace filecache {

constexpr quint64 kMinimumSizeWorthCaching = 102400;
constexpr qint64 kExpiryAgeMs = 10800000;
constexpr int kCleanupPeriodMs = 1800000;

inline const QString kCacheFolderName = QStringLiteral(".Brindlex File Cache");

QString cacheFolderPath(const QString &storeFolder);
// A new id: a UUID's 32 hexadecimal characters.
QString newCacheId();
QString cacheFilePath(const QString &cacheFolder, const QString &id);
// An item older than the expiry age, in either direction of a clock change, or an invalid one.
bool isExpired(const FileCacheItem &item, const QDateTime &nowUtc);

struct CacheFileOnDisk
{
    QString fileName; // without folder
    QString hash;
    quint64 size = 0;
};

struct SanityResult
{
    QStringList filesToRemove;
    QStringList itemsToRemove; // ids
};

// Pairs the files in the cache folder with the table's rows; whatever stays unpaired goes.
SanityResult reconcile(const QList<CacheFileOnDisk> &files, const QList<FileCacheItem> &items);

} // namespace filecache

// Keeps files that synchronisation removes locally for three hours in a hidden folder inside the
// store folder, so that a server file with the same content (usually an item moved on the server)
// is restored by a rename instead of a download. Lives on the sync thread; the folder is on the
// store folder's file system, so moves in and out never copy.
class CFileCache : public QObject
{
    Q_OBJECT
public:
    // An empty storeFolder means the configured one.
    explicit CFileCache(const CSyncDatabase::Ptr &syncDatabase, const QString &storeFolder = QString(),
                        QObject *parent = nullptr);

    QString cacheFolder() const { return m_cacheFolder; }

    void initCacheFolder();
    // An empty path means the record's local path. True when the file now lies in the cache.
    bool moveSyncFileToCache(const SyncFile::ConstPtr &file, const QString &path = QString());
    bool isSyncFileInCache(const SyncFile::ConstPtr &file);
    // Restores to targetPath (empty: the record's local path); never replaces anything there.
    bool restoreSyncFileFromCache(const SyncFile::ConstPtr &file, const QString &targetPath = QString());
    void runSanityCheck();
    // What the timer runs, with the clock passed in.
    void removeExpired(const QDateTime &nowUtc);

private slots:
    void cacheCleanupSlot();

private:
    void removeCacheFile(const QString &path);

    const CSyncDatabase::Ptr m_syncDatabase;
    QString m_cacheFolder;
    QTimer m_cleanupTimer{this};
};
