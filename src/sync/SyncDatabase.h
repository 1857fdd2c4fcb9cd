#pragma once

#include "SyncDatabaseSql.h"
#include "SyncRecords.h"

#include <QAtomicInt>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QRecursiveMutex>
#include <QSharedPointer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

#include <functional>

// What the progress report counts; all 0 when nothing is left to do.
struct SyncProgressCounts
{
    quint32 librariesToAddOrRemove = 0;
    quint32 foldersChangedOnServer = 0;
    quint32 foldersChangedOnClient = 0;
    quint32 filesMovedOrDeletedOnServer = 0;
    quint32 filesMovedOrDeletedOnClient = 0;
    quint32 filesToDownload = 0;
    quint32 filesToUpload = 0;
    quint64 bytesToDownload = 0;
    quint64 bytesToUpload = 0;

    bool operator==(const SyncProgressCounts &other) const;
    bool operator!=(const SyncProgressCounts &other) const { return !(*this == other); }
};

namespace syncpath {
// storeFolder + "/" + relativePath without a doubled "/".
QString join(const QString &storeFolder, const QString &relativePath);
// The store folder of the running engine's configuration; empty when there is none.
QString storeFolder();
// The library's local folder; empty when the library has no ClientName or there is no store folder.
QString libraryFolderPath(const SyncLibrary &library);
// The row picked among rows 0..lastRow for a pseudo-random q in 0..32767.
int randomRowIndex(int q, int lastRow);
} // namespace syncpath

// The engine's memory of every synchronised item, in bxsync.db in the data directory. One instance
// is shared by all components; any thread may call it and gets its own connection, which a thread
// that ends must give back with closeDatabaseForCurrentThread().
class CSyncDatabase : public QObject
{
    Q_OBJECT
public:
    using Ptr = QSharedPointer<CSyncDatabase>;

    explicit CSyncDatabase(const QString &dataDirectory, QObject *parent = nullptr);
    ~CSyncDatabase() override;

    QString databaseFilePath() const { return m_filePath; }

    // Storage
    QSqlDatabase getDatabaseConnection();
    void closeDatabaseForCurrentThread();
    // Positioned on the first row; invalid and inactive on failure (already logged).
    QSqlQuery execQuery(const QString &text);
    // Used by the subtree deletions. A caller that holds a transaction across insert or delete calls
    // can deadlock with another thread's deletion, which holds the mutex while it waits for the lock.
    bool beginTransaction();
    bool commitTransaction();
    // Runs work as one write transaction. Holds the insertion and deletion mutex throughout, in the
    // order the subtree deletions take it too, so that neither waits on the other for ever. Every
    // library is announced as changed after the commit: readers could not see the rows before.
    void runInTransaction(const std::function<void()> &work);
    void createTableSchema();
    void updateTableSchema();
    quint64 getNextClientId();
    // Statements sent to SQLite so far, by every thread; what the benchmarks count.
    quint64 statementCount() const { return m_statementCount.loadRelaxed(); }

    // Insertion: returns the new client id (also written into the record), 0 when refused.
    ItemId insertFile(const SyncFile::Ptr &file);
    ItemId insertFolder(const SyncFolder::Ptr &folder);
    ItemId insertLibrary(const SyncLibrary::Ptr &library);
    // Inserts (client ids written into the records) and updates in one transaction: a list of
    // thousands of libraries costs one commit, not one each. False, with nothing written, when
    // the transaction fails; the signals follow the commit.
    bool writeLibraries(const QList<SyncLibrary::Ptr> &inserts, const QList<QPair<ItemId, CSqlValueList>> &updates);

    // Updates write only the given columns.
    void updateFile(ItemId clientId, const CSqlValueList &values);
    void updateFile(ItemId clientId, const CSqlValue &value);
    void updateFile(ItemId clientId, const CSqlValue &value1, const CSqlValue &value2);
    void updateFolder(ItemId clientId, const CSqlValueList &values);
    void updateFolder(ItemId clientId, const CSqlValue &value);
    void updateFolder(ItemId clientId, const CSqlValue &value1, const CSqlValue &value2);
    void updateLibrary(ItemId clientId, const CSqlValueList &values);
    void updateLibrary(ItemId clientId, const CSqlValue &value);
    void updateLibrary(ItemId clientId, const CSqlValue &value1, const CSqlValue &value2);
    // Every column but ClientId.
    void updateItem(const SyncItem::ConstPtr &item);

    // Deletions take the whole subtree with them.
    void deleteItem(const SyncItem::ConstPtr &item);
    void deleteFile(ItemId clientId);
    void deleteFolder(ItemId clientId);
    void deleteLibrary(ItemId clientId);

    // Look-ups: fresh records, null or empty when absent.
    SyncLibrary::Ptr getLibrary(ItemId clientId);
    QList<SyncLibrary::Ptr> getLibraries();
    SyncLibrary::Ptr getLibraryByServerId(quint64 serverId, const QString &tenantId);
    SyncFile::Ptr getFile(ItemId clientId);
    SyncFolder::Ptr getFolder(ItemId clientId);
    SyncItem::Ptr getItem(ItemId clientId); // file or folder
    SyncFile::Ptr getFileByName(ItemId parentClientId, const QString &name);
    SyncFolder::Ptr getFolderByName(ItemId parentClientId, const QString &name);
    QList<SyncFile::Ptr> getFilesByParent(ItemId parentClientId);
    QList<SyncFolder::Ptr> getFoldersByParent(ItemId parentClientId);
    QList<SyncFile::Ptr> getFilesOfLibrary(ItemId libraryClientId);
    // Local or server name, letter case aside (ASCII only, as SQLite compares).
    QList<SyncFile::Ptr> getFilesOfLibraryByName(ItemId libraryClientId, const QString &name);
    QList<SyncFolder::Ptr> getFoldersOfLibrary(ItemId libraryClientId);
    QList<SyncFile::Ptr> getFilesByServerId(quint64 serverId);
    QList<SyncFolder::Ptr> getFoldersByServerId(quint64 serverId);

    // Derived look-ups
    SyncLibrary::Ptr getLibraryOfItem(ItemId clientId);
    SyncFile::Ptr getFileByServerId(quint64 serverId, ItemId libraryClientId);
    SyncFolder::Ptr getFolderByServerId(quint64 serverId, ItemId libraryClientId);
    SyncLibrary::Ptr getLibraryOfServerItem(quint64 serverId, const QString &tenantId);
    ItemId getClientIdByServerId(quint64 serverId, const QString &tenantId);
    bool isLibraryPresent(ItemId clientId);
    bool isFolderPresent(ItemId clientId);
    bool isFilePresent(ItemId clientId);
    bool isServerIdPresent(const SyncItem::ConstPtr &item);

    // Local paths (below the configured store folder)
    QString getClientPath(ItemId clientId);
    SyncLibrary::Ptr getLibraryByClientPath(const QString &path);
    ItemId getClientIdByClientPath(const QString &path);

    // Selection and summaries
    SyncItem::Ptr getOneNotSynchronizedItemFromLibrary(ItemId libraryClientId);
    // Library id 0 means all libraries.
    bool isSynchronized(ItemId libraryClientId, bool clientSideOnly);
    bool hasItemsSynchronizedOnServerNewOrDeletedOnClient(ItemId libraryClientId);
    bool hasQuotaExceededItems();
    bool existsFileOrFolder(const QString &condition);
    quint32 countLibraries();
    quint32 countFolders();
    quint32 countFiles();
    quint64 sumFileSizes();
    SyncProgressCounts getSyncProgressCounts();

    // File cache table
    bool insertFileCacheItem(const FileCacheItem &item);
    bool isFileCacheItemPresent(const QString &id);
    FileCacheItem::Ptr getFileCacheItem(const QString &hash, quint64 size);
    QList<FileCacheItem::Ptr> getFileCacheItems();
    void deleteFileCacheItem(const QString &id);
    void deleteAllFileCacheItems();

    // Start-up repair; run once on the main thread before anything else uses the database.
    void runSanityCheck();

signals:
    void syncDatabaseChangedSignal(ItemId libraryClientId);
    void syncLibrarySubscribedSignal(ItemId libraryClientId);
    void syncLibraryChangedSignal(ItemId libraryClientId);
    void syncLibraryUnsubscribedSignal(ItemId libraryClientId);
    void quotaExceededSignal();
    // A damaged file was moved aside and an empty one replaces it: whatever it held must be rebuilt.
    // Emitted on the thread that found the damage, perhaps inside the connection lock: connect queued.
    void databaseReplacedSignal();

private:
    friend class CSyncDatabaseBatch;
    // One connection per thread and database file generation: a file moved aside is never written again.
    static QString connectionPrefixForCurrentThread();
    QString connectionNameForCurrentThread() const;
    static void removeConnections(const QStringList &names);
    QSqlDatabase openConnection(const QString &name);
    static bool isDamageError(const QSqlError &error);
    static bool isDamaged(const QSqlDatabase &db, bool quickCheck);
    // False when it could not be moved: then there is no database, and no new attempt.
    bool moveDamagedFileAside();
    void damageFound(const QString &statement);
    void createTable(const QString &table);
    void createIndexes();
    // Runs a statement on this thread's connection, waiting out a busy database; false on any other error.
    bool execWithBusyRetry(QSqlQuery &query, const QString &text);

    quint64 maxClientId(const QString &table);
    quint32 count(const QString &table, const QString &where = QString(), quint64 *sizeSum = nullptr);
    bool hasRow(const QString &table, const QString &where);

    bool runUpdate(const QString &table, ItemId clientId, const CSqlValueList &values);
    void notifyItemChanged(const SyncItem &item);
    void deleteRow(const QString &table, ItemId clientId);
    SyncItem::Ptr findOneNotSynchronizedItem(const QString &where);

    const QString m_filePath;
    // Serialises id allocation with its INSERT, and every deletion.
    QRecursiveMutex m_mutex;
    // Serialises connection set-up, so that two threads never create the schema at once.
    QRecursiveMutex m_connectionMutex;
    QAtomicInt m_indexesCreated = 0;
    QAtomicInt m_quickChecked = 0;
    QAtomicInt m_generation = 0;
    QAtomicInt m_unusable = 0;
    QAtomicInteger<quint64> m_statementCount = 0;
};

// Many inserts as one transaction, each statement prepared once, for a caller that has already
// checked the rows itself (server ids new, parents present). Holds the database's lock while it
// lives, so the ids it hands out in memory are the ones single inserts would have taken. Anything
// not committed is rolled back: an interrupted batch leaves the database as it was.
class CSyncDatabaseBatch
{
public:
    CSyncDatabaseBatch(CSyncDatabase &db, ItemId libraryClientId);
    ~CSyncDatabaseBatch();
    CSyncDatabaseBatch(const CSyncDatabaseBatch &) = delete;
    CSyncDatabaseBatch &operator=(const CSyncDatabaseBatch &) = delete;

    bool isActive() const { return m_active; }
    // The new client id, also written into the record; 0 when refused (logged).
    ItemId insertFile(SyncFile &file);
    ItemId insertFolder(SyncFolder &folder);
    bool commit();
    void rollback();

private:
    ItemId insert(QSqlQuery &statement, const QString &table, SyncItem &item, const CSqlValueList &values);
    qint64 totalChanges();

    CSyncDatabase &m_db;
    const ItemId m_libraryClientId;
    QMutexLocker m_lock;
    bool m_active = false;
    ItemId m_nextClientId = 0;
    qint64 m_changesAtStart = 0;
    int m_inserted = 0;
    QSqlQuery m_insertFile;
    QSqlQuery m_insertFolder;
};
