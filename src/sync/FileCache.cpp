#include "FileCache.h"

#include "AppState.h"
#include "SyncHash.h"
#include "utils.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <QtDebug>

#include <cstdlib>

namespace filecache {

QString cacheFolderPath(const QString &storeFolder)
{
    return syncpath::join(storeFolder, kCacheFolderName);
}

QString newCacheId()
{
    return QUuid::createUuid().toString(QUuid::Id128);
}

QString cacheFilePath(const QString &cacheFolder, const QString &id)
{
    return QStringLiteral("%1/%2.%3").arg(cacheFolder, id, QStringLiteral("cache"));
}

bool isExpired(const FileCacheItem &item, const QDateTime &nowUtc)
{
    return !item.isValid() || std::llabs(item.CreatedTime.msecsTo(nowUtc)) > kExpiryAgeMs;
}

SanityResult reconcile(const QList<CacheFileOnDisk> &files, const QList<FileCacheItem> &items)
{
    SanityResult result;
    QList<FileCacheItem> unpaired = items;
    for (const CacheFileOnDisk &file : files) {
        const QString id = file.fileName.section(QLatin1Char('.'), 0, 0);
        bool paired = false;
        for (int i = 0; i < unpaired.size(); ++i) {
            const FileCacheItem &item = unpaired.at(i);
            if (item.isValid() && item.Id == id && item.Hash == file.hash && item.Size == file.size) {
                unpaired.removeAt(i);
                paired = true;
                break;
            }
        }
        if (!paired)
            result.filesToRemove.append(file.fileName);
    }
    for (const FileCacheItem &item : unpaired)
        result.itemsToRemove.append(item.Id);
    return result;
}

} // namespace filecache

CFileCache::CFileCache(const CSyncDatabase::Ptr &syncDatabase, const QString &storeFolder, QObject *parent)
    : QObject(parent), m_syncDatabase(syncDatabase)
{
    Q_ASSERT_X(m_syncDatabase, "CFileCache", "m_syncDatabase");
    qDebug() << "CFileCache::CFileCache";
    const QString store = storeFolder.isEmpty() ? syncpath::storeFolder() : storeFolder;
    if (!store.isEmpty()) {
        m_cacheFolder = filecache::cacheFolderPath(store);
        initCacheFolder();
    } else {
        qWarning() << "CFileCache::CFileCache: no store folder -> cache disabled";
    }
    m_cleanupTimer.setSingleShot(true);
    connect(&m_cleanupTimer, &QTimer::timeout, this, &CFileCache::cacheCleanupSlot);
    m_cleanupTimer.start(filecache::kCleanupPeriodMs);
}

void CFileCache::initCacheFolder()
{
    qDebug() << "CFileCache::initCacheFolder:" << m_cacheFolder;
    const QFileInfo info(m_cacheFolder);
    if (info.isSymLink() || (info.exists() && !info.isDir())) {
        // Never cache through a link into somewhere else; the caller deletes as if there were no cache.
        qCritical() << "CFileCache::initCacheFolder: not a folder:" << m_cacheFolder << "-> cache disabled";
        m_syncDatabase->deleteAllFileCacheItems();
        return;
    }
    if (!info.exists()) {
        qDebug() << "CFileCache::initCacheFolder: cache folder not found -> creating new";
        m_syncDatabase->deleteAllFileCacheItems();
        if (!QDir().mkpath(m_cacheFolder)) {
            qCritical() << "CFileCache::initCacheFolder: unable to create" << m_cacheFolder;
            return;
        }
    }
    // Cached files were deleted on the server; other users of the machine have no business reading them.
    QFile::setPermissions(m_cacheFolder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

bool CFileCache::moveSyncFileToCache(const SyncFile::ConstPtr &file, const QString &path)
{
    const QString filePath = path.isEmpty() ? m_syncDatabase->getClientPath(file->ClientId) : path;
    qDebug() << "CFileCache::moveSyncFileToCache: clientId:" << file->ClientId << "hash:" << file->Hash
             << "size:" << file->Size << "filePath:" << filePath;
    if (file->Size < filecache::kMinimumSizeWorthCaching) {
        qDebug() << "CFileCache::moveSyncFileToCache: file is too small to be worth caching";
        return false;
    }
    const QFileInfo info(filePath);
    if (!info.exists() && !info.isSymLink()) {
        qDebug() << "CFileCache::moveSyncFileToCache: file is already deleted";
        return false;
    }
    if (info.isSymLink() || !info.isFile() || file->Hash.isEmpty() || m_cacheFolder.isEmpty()
        || !QFileInfo(m_cacheFolder).isDir()) {
        qDebug() << "CFileCache::moveSyncFileToCache: not a cacheable regular file:" << filePath;
        return false;
    }
    const QString id = filecache::newCacheId();
    const QString cachePath = filecache::cacheFilePath(m_cacheFolder, id);
    if (m_syncDatabase->isFileCacheItemPresent(id) || QFileInfo::exists(cachePath)) {
        qDebug() << "CFileCache::moveSyncFileToCache: file if is already used";
        return false;
    }
    if (!utils::renameFileNative(filePath, cachePath)) {
        qWarning() << "CFileCache::moveSyncFileToCache: failed to move file to cache";
        return false;
    }
    FileCacheItem item;
    item.Id = id;
    item.Hash = file->Hash;
    item.Size = file->Size;
    item.CreatedTime = QDateTime::currentDateTimeUtc();
    if (!m_syncDatabase->insertFileCacheItem(item)) {
        // Without its row the file would only wait for the sanity check; put it back instead.
        qWarning() << "CFileCache::moveSyncFileToCache: unable to record" << item.toString() << "-> moving back";
        utils::renameFileNative(cachePath, filePath);
        return false;
    }
    qDebug() << "CFileCache::moveSyncFileToCache: successfully moved file to cache:" << item.toString();
    return true;
}

bool CFileCache::isSyncFileInCache(const SyncFile::ConstPtr &file)
{
    const FileCacheItem::Ptr item = m_syncDatabase->getFileCacheItem(file->Hash, file->Size);
    if (item && item->isValid()) {
        qDebug() << "CFileCache::isSyncFileInCache: file found in cache:" << item->toString();
        return true;
    }
    qDebug() << "CFileCache::isSyncFileInCache: file not found in cache: hash:" << file->Hash << "size:" << file->Size;
    return false;
}

bool CFileCache::restoreSyncFileFromCache(const SyncFile::ConstPtr &file, const QString &targetPath)
{
    const QString localPath = targetPath.isEmpty() ? m_syncDatabase->getClientPath(file->ClientId) : targetPath;
    qDebug() << "CFileCache::restoreSyncFileFromCache: clientId:" << file->ClientId << "hash:" << file->Hash
             << "size:" << file->Size << "filePath:" << localPath;
    if (m_cacheFolder.isEmpty() || file->Hash.isEmpty() || file->Size == 0 || !isSyncFileInCache(file)) {
        qDebug() << "CFileCache::restoreSyncFileFromCache: file is not in cache";
        return false;
    }
    const FileCacheItem::Ptr item = m_syncDatabase->getFileCacheItem(file->Hash, file->Size);
    if (!item || !item->isValid()) {
        qWarning() << "CFileCache::restoreSyncFileFromCache: invalid cache item in DB:"
                   << (item ? item->toString() : QString());
        return false;
    }
    const QString cachePath = filecache::cacheFilePath(m_cacheFolder, item->Id);
    if (!QFileInfo(cachePath).isFile()) {
        qWarning() << "CFileCache::restoreSyncFileFromCache: missing cache file on HDD:" << cachePath
                   << "-> removing cache item from DB";
        m_syncDatabase->deleteFileCacheItem(item->Id);
        return false;
    }
    const QString hash = CSyncHash::calculateByFilePath(cachePath);
    if (appstate::isShuttingDown()) {
        qDebug() << "CFileCache::restoreSyncFileFromCache: app is shutting down";
        return false;
    }
    if (hash != item->Hash || quint64(QFileInfo(cachePath).size()) != item->Size) {
        qWarning() << "CFileCache::restoreSyncFileFromCache: DB/HDD hash mismatch, DB hash:" << item->Hash
                   << "HDD hash:" << hash << "-> removing";
        m_syncDatabase->deleteFileCacheItem(item->Id);
        removeCacheFile(cachePath);
        return false;
    }
    // Whatever appeared at the target meanwhile is the user's: it is never replaced by a cached copy.
    const QFileInfo target(localPath);
    if (target.exists() || target.isSymLink()) {
        qWarning() << "CFileCache::restoreSyncFileFromCache: failed to remove old file:" << localPath
                   << "-> something is in the way, not restoring";
        return false;
    }
    QDir().mkpath(target.absolutePath());
    if (!utils::renameFileNative(cachePath, localPath)) {
        qWarning() << "CFileCache::restoreSyncFileFromCache: failed to restore file from cache";
        return false;
    }
    m_syncDatabase->deleteFileCacheItem(item->Id);
    qDebug() << "CFileCache::restoreSyncFileFromCache: successfully restored file from cache";
    return true;
}

void CFileCache::runSanityCheck()
{
    qDebug() << "CFileCache::runSanityCheck";
    if (m_cacheFolder.isEmpty())
        return;
    QList<filecache::CacheFileOnDisk> files;
    const QFileInfoList entries = QDir(m_cacheFolder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        filecache::CacheFileOnDisk file;
        file.fileName = entry.fileName();
        file.size = quint64(entry.size());
        if (!entry.isSymLink())
            file.hash = CSyncHash::calculateByFilePath(entry.absoluteFilePath());
        if (appstate::isShuttingDown())
            return;
        files.append(file);
    }
    QList<FileCacheItem> items;
    for (const FileCacheItem::Ptr &item : m_syncDatabase->getFileCacheItems())
        items.append(*item);

    const filecache::SanityResult result = filecache::reconcile(files, items);
    for (const QString &name : result.filesToRemove) {
        qWarning() << "CFileCache::runSanityCheck: invalid cache file on HDD:" << name << "-> removing";
        removeCacheFile(m_cacheFolder + QLatin1Char('/') + name);
    }
    for (const QString &id : result.itemsToRemove) {
        qWarning() << "CFileCache::runSanityCheck: invalid cache item in DB:" << id << "-> removing";
        m_syncDatabase->deleteFileCacheItem(id);
    }
}

void CFileCache::removeExpired(const QDateTime &nowUtc)
{
    for (const FileCacheItem::Ptr &item : m_syncDatabase->getFileCacheItems()) {
        if (!filecache::isExpired(*item, nowUtc))
            continue;
        qDebug() << "CFileCache::cacheCleanupSlot: removing expired cached file:" << item->toString();
        m_syncDatabase->deleteFileCacheItem(item->Id);
        if (!item->Id.isEmpty() && !m_cacheFolder.isEmpty())
            removeCacheFile(filecache::cacheFilePath(m_cacheFolder, item->Id));
    }
}

void CFileCache::cacheCleanupSlot()
{
    qDebug() << "CFileCache::cacheCleanupSlot";
    removeExpired(QDateTime::currentDateTimeUtc());
    m_cleanupTimer.start(filecache::kCleanupPeriodMs);
}

void CFileCache::removeCacheFile(const QString &path)
{
    // unlink removes a link itself, never its target.
    if (!QFile::remove(path) && QFileInfo(path).exists())
        qWarning() << "CFileCache: unable to remove cached file" << path;
}
