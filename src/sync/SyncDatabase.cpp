#include "SyncDatabase.h"

#include "Config.h"
#include "utils.h"

#include <QDateTime>
#include <QFile>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSqlError>
#include <QThread>

#include <algorithm>
#include <functional>
#include <limits>
#include <random>

namespace {

const QString kDatabaseFileName = QStringLiteral("bxsync.db");
const QString kSqliteBusy = QStringLiteral("5");
// SQLite waits this long for a lock by itself before execQuery's own retry loop takes over.
const int kBusyTimeoutMs = 5000;

QString createTableText(const QString &table)
{
    static const QHash<QString, QString> columns = {
        {sqltable::Libraries,
         " (ClientId INTEGER PRIMARY KEY,ServerId INTEGER,ServerPath TEXT,ServerName TEXT,ClientName TEXT,Hash "
         "TEXT,Sic TEXT,CreatedTime INTEGER,UpdatedTime INTEGER,CreatedBy TEXT,UpdatedBy TEXT,ServerStatus "
         "INTEGER,ClientStatus INTEGER,Attr INTEGER,TeamId TEXT,TenantId TEXT,TenantName TEXT,ContainerType "
         "INTEGER);"},
        {sqltable::Files,
         " (ClientId INTEGER PRIMARY KEY,ServerId INTEGER,ServerName TEXT,ClientName TEXT,ParentClientId "
         "INTEGER,LibraryClientId INTEGER,Hash TEXT,Sic TEXT,CreatedTime INTEGER,Attr INTEGER,UpdatedTime "
         "INTEGER,CreatedBy TEXT,UpdatedBy TEXT,ServerStatus INTEGER,ClientStatus INTEGER,Size INTEGER);"},
        {sqltable::Folders,
         " (ClientId INTEGER PRIMARY KEY,ServerId INTEGER,ClientName TEXT,ServerName TEXT,ParentClientId "
         "INTEGER,LibraryClientId INTEGER,CreatedTime INTEGER,UpdatedTime INTEGER,Attr INTEGER,CreatedBy "
         "TEXT,UpdatedBy TEXT,ServerStatus TEXT,ClientStatus TEXT);"},
        {sqltable::FileCache, " (Id TEXT PRIMARY KEY,Hash TEXT,Size INTEGER,CreatedTime INTEGER);"},
    };
    return QStringLiteral("CREATE TABLE ") + table + columns.value(table);
}

const QStringList &allTables()
{
    static const QStringList tables = {sqltable::Libraries, sqltable::Files, sqltable::Folders, sqltable::FileCache};
    return tables;
}

// The look-ups by server id, parent, name and library would otherwise scan whole tables.
const QStringList &indexStatements()
{
    static const QStringList statements = {
        "CREATE INDEX IF NOT EXISTS FilesServerId ON Files (ServerId);",
        "CREATE INDEX IF NOT EXISTS FilesParentName ON Files (ParentClientId, ClientName);",
        "CREATE INDEX IF NOT EXISTS FoldersServerId ON Folders (ServerId);",
        "CREATE INDEX IF NOT EXISTS FoldersParentName ON Folders (ParentClientId, ClientName);",
        // The same-name look-up across a library, local and server names, letter case aside.
        "CREATE INDEX IF NOT EXISTS FilesClientNameNoCase ON Files (ClientName COLLATE NOCASE);",
        "CREATE INDEX IF NOT EXISTS FilesServerNameNoCase ON Files (ServerName COLLATE NOCASE);",
        // A plain library index would win the planner's guess over the partial ones below and turn
        // every next-item query into a scan of the whole library.
        "DROP INDEX IF EXISTS FilesLibrary;",
        "DROP INDEX IF EXISTS FoldersLibrary;",
        "CREATE INDEX IF NOT EXISTS FilesLibraryParent ON Files (LibraryClientId, ParentClientId);",
        "CREATE INDEX IF NOT EXISTS FoldersLibraryParent ON Folders (LibraryClientId, ParentClientId);",
        // Only the rows still to synchronise, in the order the next-item selection reads them: small
        // in a synchronised library, so finding the next item does not depend on the library's size.
        "CREATE INDEX IF NOT EXISTS FilesPending ON Files (LibraryClientId, ClientId) "
        "WHERE ServerStatus != 1 OR ClientStatus != 1;",
        "CREATE INDEX IF NOT EXISTS FoldersPending ON Folders (LibraryClientId, ClientId) "
        "WHERE ServerStatus != 1 OR ClientStatus != 1;",
        // One per next-item class, its condition written exactly as the selection writes it so that
        // SQLite takes it: the first, last and a random candidate are then each one index seek, also
        // when a class is empty and many items of a later class are pending.
        "DROP INDEX IF EXISTS FilesNewPending;",
        "DROP INDEX IF EXISTS FoldersNewPending;",
        "CREATE INDEX IF NOT EXISTS FilesNextBoth ON Files (LibraryClientId, ClientId) "
        "WHERE ServerStatus != 1 AND ClientStatus != 1;",
        "CREATE INDEX IF NOT EXISTS FilesDeletedPending ON Files (LibraryClientId, ClientId) "
        "WHERE ServerStatus = 5 OR ClientStatus = 5;",
        "CREATE INDEX IF NOT EXISTS FilesNextNew ON Files (LibraryClientId, ClientId) "
        "WHERE (ServerStatus = 2 OR ClientStatus = 2) AND (Attr & 1) = 0;",
        "CREATE INDEX IF NOT EXISTS FilesNextUnflagged ON Files (LibraryClientId, ClientId) "
        "WHERE (ServerStatus != 1 OR ClientStatus != 1) AND (Attr = 0 OR Attr IS NULL);",
        "CREATE INDEX IF NOT EXISTS FilesNextClean ON Files (LibraryClientId, ClientId) "
        "WHERE (ServerStatus != 1 OR ClientStatus != 1) AND (Attr & 1) = 0;",
        "CREATE INDEX IF NOT EXISTS FoldersNextBoth ON Folders (LibraryClientId, ClientId) "
        "WHERE ServerStatus != 1 AND ClientStatus != 1;",
        "CREATE INDEX IF NOT EXISTS FoldersDeletedPending ON Folders (LibraryClientId, ClientId) "
        "WHERE ServerStatus = 5 OR ClientStatus = 5;",
        "CREATE INDEX IF NOT EXISTS FoldersNextNew ON Folders (LibraryClientId, ClientId) "
        "WHERE (ServerStatus = 2 OR ClientStatus = 2) AND (Attr & 1) = 0;",
        "CREATE INDEX IF NOT EXISTS FoldersNextUnflagged ON Folders (LibraryClientId, ClientId) "
        "WHERE (ServerStatus != 1 OR ClientStatus != 1) AND (Attr = 0 OR Attr IS NULL);",
        "CREATE INDEX IF NOT EXISTS FoldersNextClean ON Folders (LibraryClientId, ClientId) "
        "WHERE (ServerStatus != 1 OR ClientStatus != 1) AND (Attr & 1) = 0;",
    };
    return statements;
}

QString idWhere(const char *column, quint64 id)
{
    return QString::fromLatin1(column) + QStringLiteral(" = ") + QString::number(id);
}

QString quoted(const QString &text)
{
    return toSqlLiteral(CSqlValue(QString(), QVariant(text)));
}

CSqlValueList withoutClientId(CSqlValueList values)
{
    values.erase(std::remove_if(values.begin(), values.end(),
                                [](const CSqlValue &value) { return value.name() == QLatin1String("ClientId"); }),
                 values.end());
    return values;
}

template<typename Pointer, typename Reader>
QList<Pointer> readAll(CSyncDatabase &db, const QString &table, const QString &where, Reader reader)
{
    const CSqlStatement statement = CSqlStatement::forReading(table, where);
    QSqlQuery query = db.execQuery(statement.selectStatement());
    QList<Pointer> records;
    if (!query.isValid())
        return records;
    do {
        records.append(reader(statement, query));
    } while (query.next());
    return records;
}

// The query ends inside this function, so no read stays open on the connection.
template<typename Pointer, typename Reader>
Pointer readOne(CSyncDatabase &db, const QString &table, const QString &where, Reader reader)
{
    const CSqlStatement statement = CSqlStatement::forReading(table, where);
    QSqlQuery query = db.execQuery(statement.selectStatement());
    return reader(statement, query);
}

int randomNumber()
{
    thread_local std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(
        QDateTime::currentMSecsSinceEpoch()));
    return static_cast<int>(generator() % 32768);
}

} // namespace

bool SyncProgressCounts::operator==(const SyncProgressCounts &other) const
{
    return librariesToAddOrRemove == other.librariesToAddOrRemove
        && foldersChangedOnServer == other.foldersChangedOnServer
        && foldersChangedOnClient == other.foldersChangedOnClient
        && filesMovedOrDeletedOnServer == other.filesMovedOrDeletedOnServer
        && filesMovedOrDeletedOnClient == other.filesMovedOrDeletedOnClient && filesToDownload == other.filesToDownload
        && filesToUpload == other.filesToUpload && bytesToDownload == other.bytesToDownload
        && bytesToUpload == other.bytesToUpload;
}

namespace syncpath {

QString join(const QString &storeFolder, const QString &relativePath)
{
    if (storeFolder.endsWith(QLatin1Char('/')) && relativePath.startsWith(QLatin1Char('/')))
        return storeFolder + relativePath.mid(1);
    if (storeFolder.endsWith(QLatin1Char('/')) || relativePath.startsWith(QLatin1Char('/')))
        return storeFolder + relativePath;
    return storeFolder + QLatin1Char('/') + relativePath;
}

QString storeFolder()
{
    const QSharedPointer<CConfig> config = CConfig::instance();
    return config ? config->syncFolder() : QString();
}

QString libraryFolderPath(const SyncLibrary &library)
{
    const QString store = storeFolder();
    if (library.ClientName.isEmpty() || store.isEmpty())
        return QString();
    return join(store, library.ClientName);
}

int randomRowIndex(int q, int lastRow)
{
    return static_cast<int>(q / 32767.0 * lastRow);
}

} // namespace syncpath

CSyncDatabase::CSyncDatabase(const QString &dataDirectory, QObject *parent)
    : QObject(parent)
    , m_filePath(dataDirectory + QLatin1Char('/') + kDatabaseFileName)
{
}

CSyncDatabase::~CSyncDatabase()
{
    closeDatabaseForCurrentThread();
}

// ---------------------------------------------------------------------------------------------
// Storage

QString CSyncDatabase::connectionPrefixForCurrentThread()
{
    return QStringLiteral("%1@%2#").arg(kDatabaseFileName,
                                        QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId())));
}

QString CSyncDatabase::connectionNameForCurrentThread() const
{
    return connectionPrefixForCurrentThread() + QString::number(m_generation.loadAcquire());
}

void CSyncDatabase::removeConnections(const QStringList &names)
{
    for (const QString &name : names) {
        {
            QSqlDatabase db = QSqlDatabase::database(name, false);
            if (db.isValid())
                db.close();
        }
        QSqlDatabase::removeDatabase(name);
    }
}

QSqlDatabase CSyncDatabase::getDatabaseConnection()
{
    const QString name = connectionNameForCurrentThread();
    if (QSqlDatabase::contains(name)) {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (db.isValid() && db.databaseName() == m_filePath && (db.isOpen() || m_unusable.loadAcquire()))
            return db;
        // Left behind by an ended thread that had the same id, or pointing at another file.
        qWarning() << "CSyncDatabase::getDatabaseConnection: replacing stale connection" << name;
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    // A file moved aside since this thread last wrote: its old connection must not write there again.
    QStringList stale;
    for (const QString &other : QSqlDatabase::connectionNames()) {
        if (other.startsWith(connectionPrefixForCurrentThread()) && other != name)
            stale << other;
    }
    if (!stale.isEmpty()) {
        qDebug() << "CSyncDatabase::getDatabaseConnection: closing connections to a replaced file:" << stale;
        removeConnections(stale);
    }
    return openConnection(name);
}

bool CSyncDatabase::isDamageError(const QSqlError &error)
{
    // SQLITE_CORRUPT ("database disk image is malformed") and SQLITE_NOTADB; busy or locked is not damage.
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("11") || code == QLatin1String("26");
}

bool CSyncDatabase::isDamaged(const QSqlDatabase &db, bool quickCheck)
{
    QSqlQuery probe(db);
    if (!probe.exec(QStringLiteral("SELECT COUNT(*) FROM sqlite_master;")))
        return isDamageError(probe.lastError());
    if (!quickCheck)
        return false;
    QSqlQuery check(db);
    if (!check.exec(QStringLiteral("PRAGMA quick_check;")))
        return isDamageError(check.lastError());
    QStringList problems;
    while (check.next()) {
        const QString line = check.value(0).toString();
        if (line != QLatin1String("ok") && problems.size() < 5)
            problems << line;
    }
    if (problems.isEmpty())
        return false;
    qCritical() << "CSyncDatabase::openDatabase: quick check failed:" << problems;
    return true;
}

bool CSyncDatabase::moveDamagedFileAside()
{
    const QString aside = m_filePath + QStringLiteral(".damaged-")
        + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    if (!QFile::rename(m_filePath, aside)) {
        // Opening it again would find the same damage: no database until someone moves it.
        m_unusable.storeRelease(1);
        qCritical() << "CSyncDatabase::openDatabase: damaged database file could not be moved aside to" << aside
                    << "-> working without a database";
        return false;
    }
    for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")})
        QFile::rename(m_filePath + suffix, aside + suffix);
    m_generation.fetchAndAddOrdered(1);
    qCritical() << "CSyncDatabase::openDatabase: damaged database file moved aside:" << aside;
    return true;
}

void CSyncDatabase::damageFound(const QString &statement)
{
    {
        QMutexLocker locker(&m_connectionMutex);
        if (m_unusable.loadAcquire())
            return;
        // The statement ran on this thread's connection. When that one belongs to a file another
        // thread has moved aside already, the next statement opens the new file instead.
        if (!QSqlDatabase::contains(connectionNameForCurrentThread()))
            return;
        qCritical().noquote() << "CSyncDatabase::execQuery: database damaged, statement:" << statement.left(200);
        if (!moveDamagedFileAside())
            return;
    }
    emit databaseReplacedSignal();
}

QSqlDatabase CSyncDatabase::openConnection(const QString &name)
{
    qDebug() << "CSyncDatabase::getDatabaseConnection: opening new connection" << name;
    QMutexLocker locker(&m_connectionMutex);

    utils::createPrivateDirectory(QFileInfo(m_filePath).absolutePath());
    const bool existed = QFileInfo(m_filePath).isFile();
    if (!existed && !QFileInfo::exists(m_filePath)) {
        // SQLite gives its journal files the mode of the database file.
        QFile created(m_filePath);
        if (created.open(QIODevice::WriteOnly))
            created.setPermissions(utils::privateFilePermissions);
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setHostName(QStringLiteral("localhost"));
    db.setDatabaseName(m_filePath);
    if (m_unusable.loadAcquire())
        return db; // left closed: every statement fails and says so
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    if (!db.open()) {
        qCritical() << "CSyncDatabase::openDatabase: unable to open" << m_filePath << db.lastError().text();
        return db;
    }
    // The thorough check reads every page: once per start, not for every thread.
    const bool quickCheck = existed && m_quickChecked.testAndSetOrdered(0, 1);
    if (existed && isDamaged(db, quickCheck)) {
        // Keep the damaged file for inspection and start afresh: the engine rebuilds its state from the
        // host's library list and the disk, which an unreadable file would block for good.
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        const bool moved = moveDamagedFileAside();
        locker.unlock();
        if (moved)
            emit databaseReplacedSignal();
        // Moved: a fresh file under the new generation. Not moved: a closed connection. Either way
        // the second call cannot come back here.
        return openConnection(connectionNameForCurrentThread());
    }

    // WAL lets the sync, watcher and projector threads read while one of them writes.
    for (const char *pragma : {"PRAGMA journal_mode=WAL;", "PRAGMA synchronous=NORMAL;"}) {
        QSqlQuery query(db);
        if (!query.exec(QString::fromLatin1(pragma)))
            qWarning() << "CSyncDatabase::openDatabase:" << pragma << "failed:" << query.lastError().text();
    }

    if (existed)
        updateTableSchema();
    else
        createTableSchema();
    if (m_indexesCreated.loadAcquire() == 0)
        createIndexes();
    return db;
}

void CSyncDatabase::closeDatabaseForCurrentThread()
{
    QStringList names;
    for (const QString &name : QSqlDatabase::connectionNames()) {
        if (name.startsWith(connectionPrefixForCurrentThread()))
            names << name;
    }
    if (names.isEmpty())
        return;
    qDebug() << "CSyncDatabase::getDatabaseConnection: closing connection" << names;
    removeConnections(names);
}

bool CSyncDatabase::execWithBusyRetry(QSqlQuery &query, const QString &text)
{
    m_statementCount.fetchAndAddRelaxed(1);
    while (!query.exec(text)) {
        const QSqlError error = query.lastError();
        if (error.nativeErrorCode() != kSqliteBusy) {
            qCritical().noquote() << "CSyncDatabase::execQuery: error:" << error.nativeErrorCode()
                                  << error.driverText() << error.databaseText() << text;
            if (isDamageError(error))
                damageFound(text);
            return false;
        }
        qDebug().noquote() << "CSyncDatabase::execQuery: error:" << error.nativeErrorCode() << error.driverText()
                           << error.databaseText() << "retrying query:" << text;
        QThread::msleep(10);
    }
    return true;
}

QSqlQuery CSyncDatabase::execQuery(const QString &text)
{
    QSqlQuery query(getDatabaseConnection());
    // Large result sets are walked once; caching every row would double the memory.
    query.setForwardOnly(true);
    if (!text.startsWith(QLatin1String("SELECT"), Qt::CaseInsensitive))
        qDebug().noquote() << "CSyncDatabase::execQuery:" << text;
    if (!execWithBusyRetry(query, text))
        return QSqlQuery();
    query.next();
    return query;
}

bool CSyncDatabase::beginTransaction()
{
    qDebug() << "CSyncDatabase::beginTransaction: starting transaction";
    QSqlQuery query(getDatabaseConnection());
    // IMMEDIATE takes the write lock up front: a transaction that reads first and writes later could
    // otherwise hit a busy state that no retry resolves.
    if (!execWithBusyRetry(query, QStringLiteral("BEGIN IMMEDIATE;"))) {
        qCritical() << "CSyncDatabase::beginTransaction: error" << query.lastError().text();
        return false;
    }
    qDebug() << "CSyncDatabase::beginTransaction: transaction started";
    return true;
}

void CSyncDatabase::runInTransaction(const std::function<void()> &work)
{
    {
        QMutexLocker locker(&m_mutex);
        const bool inTransaction = beginTransaction();
        work();
        if (inTransaction)
            commitTransaction();
    }
    for (const SyncLibrary::Ptr &library : getLibraries())
        emit syncDatabaseChangedSignal(library->ClientId);
}

bool CSyncDatabase::commitTransaction()
{
    qDebug() << "CSyncDatabase::commitTransaction: committing transaction";
    QSqlQuery query(getDatabaseConnection());
    if (!execWithBusyRetry(query, QStringLiteral("COMMIT;"))) {
        qCritical() << "CSyncDatabase::commitTransaction: error" << query.lastError().text();
        // A transaction left open would swallow every later write of this thread.
        QSqlQuery rollback(getDatabaseConnection());
        if (rollback.exec(QStringLiteral("ROLLBACK;")))
            qWarning() << "CSyncDatabase::commitTransaction: transaction rolled back";
        return false;
    }
    qDebug() << "CSyncDatabase::commitTransaction: transaction committed";
    return true;
}

void CSyncDatabase::createTable(const QString &table)
{
    execQuery(createTableText(table));
}

void CSyncDatabase::createTableSchema()
{
    qDebug() << "CSyncDatabase::createTableSchema";
    for (const QString &table : allTables())
        createTable(table);
}

void CSyncDatabase::updateTableSchema()
{
    qDebug() << "CSyncDatabase::updateTableSchema";

    // A file that exists but lacks tables (an interrupted first start) gets the missing ones.
    QSet<QString> existing;
    {
        QSqlQuery tables = execQuery(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table';"));
        for (bool row = tables.isValid(); row; row = tables.next())
            existing.insert(tables.value(0).toString());
    }
    for (const QString &table : allTables()) {
        if (!existing.contains(table)) {
            qWarning() << "CSyncDatabase::updateTableSchema: table" << table << "missing -> creating it";
            createTable(table);
        }
    }

    bool teamIdFound = false;
    {
        QSqlQuery query = execQuery(QStringLiteral("PRAGMA table_info(") + sqltable::Libraries + QLatin1Char(')'));
        if (!query.isValid()) {
            qCritical() << "CSyncDatabase::updateTableSchema: PRAGMA query failed for table" << sqltable::Libraries
                        << "-> table schema will not be altered";
            return;
        }
        do {
            if (query.value(QStringLiteral("name")).toString().compare(QLatin1String("TeamId"), Qt::CaseInsensitive) == 0)
                teamIdFound = true;
        } while (query.next());
    }
    if (teamIdFound)
        return;

    qDebug() << "CSyncDatabase::updateTableSchema: column TeamId not found -> altering table" << sqltable::Libraries;
    const QSqlQuery alter = execQuery(QStringLiteral("ALTER TABLE ") + sqltable::Libraries
                                      + QStringLiteral(" ADD COLUMN TeamId TEXT"));
    if (!alter.isActive()) {
        qCritical() << "CSyncDatabase::updateTableSchema: ALTER query failed -> column TeamId not added to table"
                    << sqltable::Libraries;
    }
}

void CSyncDatabase::createIndexes()
{
    bool allCreated = true;
    for (const QString &statement : indexStatements())
        allCreated = execQuery(statement).isActive() && allCreated;
    if (allCreated)
        m_indexesCreated.storeRelease(1);
}

quint64 CSyncDatabase::maxClientId(const QString &table)
{
    const CSqlStatement statement =
        CSqlStatement::forWriting(table, QString(), {CSqlValue(QStringLiteral("MAX(ClientId)"), QVariant())});
    const QSqlQuery query = execQuery(statement.selectStatement());
    return query.isValid() ? query.value(0).toULongLong() : 0;
}

quint64 CSyncDatabase::getNextClientId()
{
    const quint64 highest = std::max({maxClientId(sqltable::Libraries), maxClientId(sqltable::Folders),
                                      maxClientId(sqltable::Files)});
    return highest + 1;
}

quint32 CSyncDatabase::count(const QString &table, const QString &where, quint64 *sizeSum)
{
    const CSqlStatement statement = CSqlStatement::forWriting(table, where, {});
    const QSqlQuery query = execQuery(statement.countStatement());
    if (!query.isValid())
        return 0;
    if (sizeSum && table == sqltable::Files)
        *sizeSum = query.value(1).toULongLong();
    return query.value(0).toUInt();
}

bool CSyncDatabase::hasRow(const QString &table, const QString &where)
{
    const CSqlStatement statement = CSqlStatement::forReading(table, where);
    return execQuery(statement.selectStatement()).isValid();
}

// ---------------------------------------------------------------------------------------------
// Insertion, update, deletion

void CSyncDatabase::notifyItemChanged(const SyncItem &item)
{
    emit syncDatabaseChangedSignal(item.isLibrary() ? item.ClientId : libraryClientIdOf(item));
    if (item.hasAttr(AttrQuotaExceeded))
        emit quotaExceededSignal();
}

ItemId CSyncDatabase::insertFile(const SyncFile::Ptr &file)
{
    if (!file)
        return 0;
    if (isServerIdPresent(file)) {
        qCritical() << "CSyncDatabase::insertFile: serverId is already present in DB:" << file->ServerId
                    << "-> discarding insert";
        return 0;
    }
    QMutexLocker locker(&m_mutex);
    const ItemId previousId = file->ClientId;
    file->ClientId = getNextClientId();
    if (file->ClientId == file->ParentClientId) {
        qCritical() << "CSyncDatabase::insertFile: clientId and parentClientId are equal:" << file->ClientId
                    << "-> discarding insert";
        file->ClientId = previousId;
        return 0;
    }
    if (!isFolderPresent(file->ParentClientId) && !isLibraryPresent(file->ParentClientId)) {
        qCritical() << "CSyncDatabase::insertFile: parentClientId is not present in DB:" << file->ParentClientId
                    << "-> discarding insert";
        file->ClientId = previousId;
        return 0;
    }
    const CSqlStatement statement = CSqlStatement::forWriting(sqltable::Files, QString(), sqlrow::fileValues(*file));
    if (!execQuery(statement.insertStatement()).isActive()) {
        qCritical() << "CSyncDatabase::insertFile: insert failed for serverId:" << file->ServerId << "name:"
                    << file->ServerName << "-> discarding insert";
        file->ClientId = previousId;
        return 0;
    }
    notifyItemChanged(*file);
    return file->ClientId;
}

ItemId CSyncDatabase::insertFolder(const SyncFolder::Ptr &folder)
{
    if (!folder)
        return 0;
    if (isServerIdPresent(folder)) {
        qCritical() << "CSyncDatabase::insertFolder: serverId is already present in DB:" << folder->ServerId
                    << "-> discarding insert";
        return 0;
    }
    QMutexLocker locker(&m_mutex);
    const ItemId previousId = folder->ClientId;
    folder->ClientId = getNextClientId();
    if (folder->ClientId == folder->ParentClientId) {
        qCritical() << "CSyncDatabase::insertFolder: clientId and parentClientId are equal:" << folder->ClientId
                    << "-> discarding insert";
        folder->ClientId = previousId;
        return 0;
    }
    if (!isFolderPresent(folder->ParentClientId) && !isLibraryPresent(folder->ParentClientId)) {
        qCritical() << "CSyncDatabase::insertFolder: parentClientId is not present in DB:" << folder->ParentClientId
                    << "-> discarding insert";
        folder->ClientId = previousId;
        return 0;
    }
    const CSqlStatement statement =
        CSqlStatement::forWriting(sqltable::Folders, QString(), sqlrow::folderValues(*folder));
    if (!execQuery(statement.insertStatement()).isActive()) {
        qCritical() << "CSyncDatabase::insertFolder: insert failed for serverId:" << folder->ServerId << "name:"
                    << folder->ServerName << "-> discarding insert";
        folder->ClientId = previousId;
        return 0;
    }
    notifyItemChanged(*folder);
    return folder->ClientId;
}

ItemId CSyncDatabase::insertLibrary(const SyncLibrary::Ptr &library)
{
    if (!library)
        return 0;
    QMutexLocker locker(&m_mutex);
    const ItemId previousId = library->ClientId;
    library->ClientId = getNextClientId();
    const CSqlStatement statement =
        CSqlStatement::forWriting(sqltable::Libraries, QString(), sqlrow::libraryValues(*library));
    if (!execQuery(statement.insertStatement()).isActive()) {
        qCritical() << "CSyncDatabase::insertLibrary: insert failed for library:" << library->toString()
                    << "-> discarding insert";
        library->ClientId = previousId;
        return 0;
    }
    notifyItemChanged(*library);
    emit syncLibrarySubscribedSignal(library->ClientId);
    return library->ClientId;
}

bool CSyncDatabase::writeLibraries(const QList<SyncLibrary::Ptr> &inserts,
                                   const QList<QPair<ItemId, CSqlValueList>> &updates)
{
    QList<SyncLibrary::Ptr> inserted;
    QList<ItemId> updated;
    {
        QMutexLocker locker(&m_mutex);
        if (!beginTransaction())
            return false;
        ItemId next = getNextClientId();
        for (const SyncLibrary::Ptr &library : inserts) {
            library->ClientId = next;
            const CSqlStatement statement =
                CSqlStatement::forWriting(sqltable::Libraries, QString(), sqlrow::libraryValues(*library));
            if (!execQuery(statement.insertStatement()).isActive()) {
                qCritical() << "CSyncDatabase::insertLibrary: insert failed for library:" << library->toString()
                            << "-> discarding insert";
                library->ClientId = 0;
                continue;
            }
            ++next;
            inserted << library;
        }
        for (const QPair<ItemId, CSqlValueList> &update : updates) {
            if (runUpdate(sqltable::Libraries, update.first, update.second))
                updated << update.first;
        }
        if (!commitTransaction()) {
            for (const SyncLibrary::Ptr &library : inserts)
                library->ClientId = 0;
            return false;
        }
    }
    for (const SyncLibrary::Ptr &library : qAsConst(inserted)) {
        notifyItemChanged(*library);
        emit syncLibrarySubscribedSignal(library->ClientId);
    }
    for (ItemId clientId : qAsConst(updated)) {
        if (const SyncLibrary::Ptr library = getLibrary(clientId))
            notifyItemChanged(*library);
        emit syncLibraryChangedSignal(clientId);
    }
    return true;
}

bool CSyncDatabase::runUpdate(const QString &table, ItemId clientId, const CSqlValueList &values)
{
    const CSqlStatement statement = CSqlStatement::forWriting(table, idWhere("ClientId", clientId), values);
    return execQuery(statement.updateStatement()).isActive();
}

void CSyncDatabase::updateFile(ItemId clientId, const CSqlValueList &values)
{
    if (!isFilePresent(clientId)) {
        qWarning() << "CSyncDatabase::updateFile: clientId:" << clientId << "doesn't exists in the databatase";
        return;
    }
    if (!runUpdate(sqltable::Files, clientId, values))
        return;
    if (const SyncFile::Ptr file = getFile(clientId))
        notifyItemChanged(*file);
}

void CSyncDatabase::updateFile(ItemId clientId, const CSqlValue &value)
{
    updateFile(clientId, CSqlValueList{value});
}

void CSyncDatabase::updateFile(ItemId clientId, const CSqlValue &value1, const CSqlValue &value2)
{
    updateFile(clientId, CSqlValueList{value1, value2});
}

void CSyncDatabase::updateFolder(ItemId clientId, const CSqlValueList &values)
{
    if (!isFolderPresent(clientId)) {
        qWarning() << "CSyncDatabase::updateFolder: clientId:" << clientId << "doesn't exists in the database";
        return;
    }
    if (!runUpdate(sqltable::Folders, clientId, values))
        return;
    if (const SyncFolder::Ptr folder = getFolder(clientId))
        notifyItemChanged(*folder);
}

void CSyncDatabase::updateFolder(ItemId clientId, const CSqlValue &value)
{
    updateFolder(clientId, CSqlValueList{value});
}

void CSyncDatabase::updateFolder(ItemId clientId, const CSqlValue &value1, const CSqlValue &value2)
{
    updateFolder(clientId, CSqlValueList{value1, value2});
}

void CSyncDatabase::updateLibrary(ItemId clientId, const CSqlValueList &values)
{
    if (!isLibraryPresent(clientId)) {
        qWarning() << "CSyncDatabase::updateLibrary: clientId:" << clientId << "doesn't exists in the database";
        return;
    }
    if (!runUpdate(sqltable::Libraries, clientId, values))
        return;
    if (const SyncLibrary::Ptr library = getLibrary(clientId))
        notifyItemChanged(*library);
    emit syncLibraryChangedSignal(clientId);
}

void CSyncDatabase::updateLibrary(ItemId clientId, const CSqlValue &value)
{
    updateLibrary(clientId, CSqlValueList{value});
}

void CSyncDatabase::updateLibrary(ItemId clientId, const CSqlValue &value1, const CSqlValue &value2)
{
    updateLibrary(clientId, CSqlValueList{value1, value2});
}

void CSyncDatabase::updateItem(const SyncItem::ConstPtr &item)
{
    if (!item)
        return;
    if (const SyncFile::ConstPtr file = SyncFile::cast(item))
        updateFile(file->ClientId, withoutClientId(sqlrow::fileValues(*file)));
    else if (const SyncFolder::ConstPtr folder = SyncFolder::cast(item))
        updateFolder(folder->ClientId, withoutClientId(sqlrow::folderValues(*folder)));
    else if (const SyncLibrary::ConstPtr library = SyncLibrary::cast(item))
        updateLibrary(library->ClientId, withoutClientId(sqlrow::libraryValues(*library)));
    else
        qWarning() << "CSyncDatabase::updateItem: unknown item type:" << typeToString(item->type);
}

void CSyncDatabase::deleteRow(const QString &table, ItemId clientId)
{
    execQuery(CSqlStatement::forWriting(table, idWhere("ClientId", clientId), {}).deleteStatement());
}

void CSyncDatabase::deleteItem(const SyncItem::ConstPtr &item)
{
    if (!item)
        return;
    switch (item->type) {
    case SyncItemType::File:
        deleteFile(item->ClientId);
        return;
    case SyncItemType::FileFolder:
        deleteFolder(item->ClientId);
        return;
    case SyncItemType::FileLib:
        deleteLibrary(item->ClientId);
        return;
    default:
        break;
    }
    qWarning() << "CSyncDatabase::deleteItem: unknown item type:" << typeToString(item->type);
}

void CSyncDatabase::deleteFile(ItemId clientId)
{
    const SyncFile::Ptr file = getFile(clientId);
    const ItemId libraryClientId = file ? file->LibraryClientId : 0;
    {
        QMutexLocker locker(&m_mutex);
        deleteRow(sqltable::Files, clientId);
    }
    emit syncDatabaseChangedSignal(libraryClientId);
}

void CSyncDatabase::deleteFolder(ItemId clientId)
{
    const SyncFolder::Ptr folder = getFolder(clientId);
    const ItemId libraryClientId = folder ? folder->LibraryClientId : 0;
    {
        QMutexLocker locker(&m_mutex);
        const bool inTransaction = beginTransaction();

        // The subtree in depth-first order, the folder itself first.
        QList<ItemId> subtree;
        QSet<ItemId> seen;
        std::function<void(ItemId)> collect = [&](ItemId folderId) {
            if (seen.contains(folderId)) {
                qWarning() << "CSyncDatabase::deleteFolder: folder" << folderId << "is its own ancestor";
                return;
            }
            seen.insert(folderId);
            subtree.append(folderId);
            for (const SyncFolder::Ptr &child : getFoldersByParent(folderId))
                collect(child->ClientId);
        };
        collect(clientId);

        for (ItemId folderId : qAsConst(subtree)) {
            for (const SyncFile::Ptr &file : getFilesByParent(folderId))
                deleteRow(sqltable::Files, file->ClientId);
        }
        for (int i = 1; i < subtree.size(); ++i)
            deleteRow(sqltable::Folders, subtree.at(i));
        deleteRow(sqltable::Folders, clientId);

        if (inTransaction)
            commitTransaction();
    }
    emit syncDatabaseChangedSignal(libraryClientId);
}

void CSyncDatabase::deleteLibrary(ItemId clientId)
{
    {
        QMutexLocker locker(&m_mutex);
        const bool inTransaction = beginTransaction();
        for (const SyncFile::Ptr &file : getFilesOfLibrary(clientId))
            deleteRow(sqltable::Files, file->ClientId);
        for (const SyncFolder::Ptr &folder : getFoldersOfLibrary(clientId))
            deleteRow(sqltable::Folders, folder->ClientId);
        deleteRow(sqltable::Libraries, clientId);
        if (inTransaction)
            commitTransaction();
    }
    emit syncDatabaseChangedSignal(clientId);
    emit syncLibraryUnsubscribedSignal(clientId);
}

// ---------------------------------------------------------------------------------------------
// Look-ups

SyncLibrary::Ptr CSyncDatabase::getLibrary(ItemId clientId)
{
    return readOne<SyncLibrary::Ptr>(*this, sqltable::Libraries, idWhere("ClientId", clientId), sqlrow::readLibrary);
}

QList<SyncLibrary::Ptr> CSyncDatabase::getLibraries()
{
    return readAll<SyncLibrary::Ptr>(*this, sqltable::Libraries, QString(), sqlrow::readLibrary);
}

SyncLibrary::Ptr CSyncDatabase::getLibraryByServerId(quint64 serverId, const QString &tenantId)
{
    return readOne<SyncLibrary::Ptr>(*this, sqltable::Libraries,
                                     idWhere("ServerId", serverId) + QStringLiteral(" AND TenantId = ")
                                         + quoted(tenantId),
                                     sqlrow::readLibrary);
}

SyncFile::Ptr CSyncDatabase::getFile(ItemId clientId)
{
    return readOne<SyncFile::Ptr>(*this, sqltable::Files, idWhere("ClientId", clientId), sqlrow::readFile);
}

SyncFolder::Ptr CSyncDatabase::getFolder(ItemId clientId)
{
    return readOne<SyncFolder::Ptr>(*this, sqltable::Folders, idWhere("ClientId", clientId), sqlrow::readFolder);
}

SyncItem::Ptr CSyncDatabase::getItem(ItemId clientId)
{
    if (const SyncFile::Ptr file = getFile(clientId))
        return file;
    return getFolder(clientId);
}

SyncFile::Ptr CSyncDatabase::getFileByName(ItemId parentClientId, const QString &name)
{
    return readOne<SyncFile::Ptr>(*this, sqltable::Files,
                                  idWhere("ParentClientId", parentClientId) + QStringLiteral(" AND ClientName = ")
                                      + quoted(name),
                                  sqlrow::readFile);
}

SyncFolder::Ptr CSyncDatabase::getFolderByName(ItemId parentClientId, const QString &name)
{
    return readOne<SyncFolder::Ptr>(*this, sqltable::Folders,
                                    idWhere("ParentClientId", parentClientId) + QStringLiteral(" AND ClientName = ")
                                        + quoted(name),
                                    sqlrow::readFolder);
}

QList<SyncFile::Ptr> CSyncDatabase::getFilesByParent(ItemId parentClientId)
{
    return readAll<SyncFile::Ptr>(*this, sqltable::Files, idWhere("ParentClientId", parentClientId), sqlrow::readFile);
}

QList<SyncFolder::Ptr> CSyncDatabase::getFoldersByParent(ItemId parentClientId)
{
    return readAll<SyncFolder::Ptr>(*this, sqltable::Folders, idWhere("ParentClientId", parentClientId),
                                    sqlrow::readFolder);
}

QList<SyncFile::Ptr> CSyncDatabase::getFilesOfLibrary(ItemId libraryClientId)
{
    return readAll<SyncFile::Ptr>(*this, sqltable::Files, idWhere("LibraryClientId", libraryClientId),
                                  sqlrow::readFile);
}

QList<SyncFile::Ptr> CSyncDatabase::getFilesOfLibraryByName(ItemId libraryClientId, const QString &name)
{
    // The unary plus keeps the planner on the name indexes instead of scanning the library.
    return readAll<SyncFile::Ptr>(*this, sqltable::Files,
                                  QStringLiteral("+LibraryClientId = %1").arg(libraryClientId)
                                      + QStringLiteral(" AND (ClientName = ")
                                      + quoted(name) + QStringLiteral(" COLLATE NOCASE OR ServerName = ")
                                      + quoted(name) + QStringLiteral(" COLLATE NOCASE)"),
                                  sqlrow::readFile);
}

QList<SyncFolder::Ptr> CSyncDatabase::getFoldersOfLibrary(ItemId libraryClientId)
{
    return readAll<SyncFolder::Ptr>(*this, sqltable::Folders, idWhere("LibraryClientId", libraryClientId),
                                    sqlrow::readFolder);
}

QList<SyncFile::Ptr> CSyncDatabase::getFilesByServerId(quint64 serverId)
{
    return readAll<SyncFile::Ptr>(*this, sqltable::Files, idWhere("ServerId", serverId), sqlrow::readFile);
}

QList<SyncFolder::Ptr> CSyncDatabase::getFoldersByServerId(quint64 serverId)
{
    return readAll<SyncFolder::Ptr>(*this, sqltable::Folders, idWhere("ServerId", serverId), sqlrow::readFolder);
}

// ---------------------------------------------------------------------------------------------
// Derived look-ups

SyncLibrary::Ptr CSyncDatabase::getLibraryOfItem(ItemId clientId)
{
    if (const SyncLibrary::Ptr library = getLibrary(clientId))
        return library;
    if (const SyncFile::Ptr file = getFile(clientId))
        return getLibrary(file->LibraryClientId);
    if (const SyncFolder::Ptr folder = getFolder(clientId))
        return getLibrary(folder->LibraryClientId);
    return {};
}

SyncFile::Ptr CSyncDatabase::getFileByServerId(quint64 serverId, ItemId libraryClientId)
{
    // A file's library is its LibraryClientId, provided that library still exists.
    for (const SyncFile::Ptr &file : getFilesByServerId(serverId)) {
        if (file->LibraryClientId == libraryClientId && isLibraryPresent(libraryClientId))
            return file;
    }
    return {};
}

SyncFolder::Ptr CSyncDatabase::getFolderByServerId(quint64 serverId, ItemId libraryClientId)
{
    for (const SyncFolder::Ptr &folder : getFoldersByServerId(serverId)) {
        if (folder->LibraryClientId == libraryClientId && isLibraryPresent(libraryClientId))
            return folder;
    }
    return {};
}

SyncLibrary::Ptr CSyncDatabase::getLibraryOfServerItem(quint64 serverId, const QString &tenantId)
{
    if (const SyncLibrary::Ptr library = getLibraryByServerId(serverId, tenantId))
        return library;
    for (const SyncFile::Ptr &file : getFilesByServerId(serverId)) {
        const SyncLibrary::Ptr library = getLibrary(file->LibraryClientId);
        if (library && library->TenantId == tenantId)
            return library;
    }
    for (const SyncFolder::Ptr &folder : getFoldersByServerId(serverId)) {
        const SyncLibrary::Ptr library = getLibrary(folder->LibraryClientId);
        if (library && library->TenantId == tenantId)
            return library;
    }
    return {};
}

ItemId CSyncDatabase::getClientIdByServerId(quint64 serverId, const QString &tenantId)
{
    if (const SyncLibrary::Ptr library = getLibraryByServerId(serverId, tenantId))
        return library->ClientId;
    const SyncLibrary::Ptr library = getLibraryOfServerItem(serverId, tenantId);
    if (!library)
        return 0;
    if (const SyncFolder::Ptr folder = getFolderByServerId(serverId, library->ClientId))
        return folder->ClientId;
    if (const SyncFile::Ptr file = getFileByServerId(serverId, library->ClientId))
        return file->ClientId;
    return 0;
}

bool CSyncDatabase::isLibraryPresent(ItemId clientId)
{
    return hasRow(sqltable::Libraries, idWhere("ClientId", clientId));
}

bool CSyncDatabase::isFolderPresent(ItemId clientId)
{
    return hasRow(sqltable::Folders, idWhere("ClientId", clientId));
}

bool CSyncDatabase::isFilePresent(ItemId clientId)
{
    return hasRow(sqltable::Files, idWhere("ClientId", clientId));
}

bool CSyncDatabase::isServerIdPresent(const SyncItem::ConstPtr &item)
{
    if (!item || !(item->isFile() || item->isFolder()))
        return false;
    const ItemId libraryClientId = libraryClientIdOf(*item);
    if (item->ServerId == 0 || libraryClientId == 0)
        return false;
    return getFileByServerId(item->ServerId, libraryClientId) || getFolderByServerId(item->ServerId, libraryClientId);
}

// ---------------------------------------------------------------------------------------------
// Local paths

QString CSyncDatabase::getClientPath(ItemId clientId)
{
    QString path;
    ItemId current = clientId;
    if (const SyncFile::Ptr file = getFile(current)) {
        path.prepend(QLatin1Char('/') + file->ClientName);
        current = file->ParentClientId;
    }
    QSet<ItemId> visited;
    while (const SyncFolder::Ptr folder = getFolder(current)) {
        if (visited.contains(current)) {
            qWarning() << "CSyncDatabase::getClientPath: folder" << current << "is its own ancestor, clientId:"
                       << clientId;
            return QString();
        }
        visited.insert(current);
        path.prepend(QLatin1Char('/') + folder->ClientName);
        current = folder->ParentClientId;
    }
    const SyncLibrary::Ptr library = getLibrary(current);
    if (!library || library->ClientName.isEmpty())
        return QString();
    const QString libraryPath = syncpath::libraryFolderPath(*library);
    return libraryPath.isEmpty() ? QString() : libraryPath + path;
}

SyncLibrary::Ptr CSyncDatabase::getLibraryByClientPath(const QString &path)
{
    QString trimmed = path;
    if (trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);

    SyncLibrary::Ptr best;
    int bestLength = -1;
    for (const SyncLibrary::Ptr &library : getLibraries()) {
        const QString folderPath = syncpath::libraryFolderPath(*library);
        if (folderPath.isEmpty())
            continue;
        if (folderPath == trimmed)
            return library;
        if (folderPath.size() > bestLength && trimmed.startsWith(folderPath + QLatin1Char('/'))) {
            best = library;
            bestLength = folderPath.size();
        }
    }
    return best;
}

ItemId CSyncDatabase::getClientIdByClientPath(const QString &path)
{
    QString trimmed = path;
    if (trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);

    const SyncLibrary::Ptr library = getLibraryByClientPath(trimmed);
    if (!library)
        return 0;
    const QString folderPath = syncpath::libraryFolderPath(*library);
    if (trimmed == folderPath)
        return library->ClientId;
    if (!trimmed.startsWith(folderPath + QLatin1Char('/')))
        return 0;

    ItemId parent = library->ClientId;
    const QStringList parts = trimmed.mid(folderPath.size() + 1).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (const SyncFolder::Ptr folder = getFolderByName(parent, part)) {
            parent = folder->ClientId;
            continue;
        }
        // Anything below a file name resolves to the file.
        if (const SyncFile::Ptr file = getFileByName(parent, part))
            return file->ClientId;
        return 0;
    }
    return parent;
}

// ---------------------------------------------------------------------------------------------
// Selection and summaries

SyncItem::Ptr CSyncDatabase::findOneNotSynchronizedItem(const QString &where)
{
    if (const SyncFolder::Ptr folder =
            readOne<SyncFolder::Ptr>(*this, sqltable::Folders, where + QStringLiteral(" LIMIT 1"), sqlrow::readFolder))
        return folder;

    // One file that keeps failing must not block the others, so the pick among the candidates is random.
    // Each step is a seek in the class's own index, never a walk over all candidates (a library being
    // downloaded for the first time has every file as one): up to kExactPickCandidates the pick is
    // among the counted rows; beyond, it is the first candidate from a random point between the first
    // and the last, which in a set that large gives no single candidate a lasting lead.
    constexpr int kExactPickCandidates = 256;
    const int orderAt = where.lastIndexOf(QLatin1String(" ORDER BY "));
    const QString terms = QLatin1Char('(') + (orderAt < 0 ? where : where.left(orderAt)) + QLatin1Char(')');
    const QString candidates = QStringLiteral("SELECT ClientId FROM ") + sqltable::Files + QStringLiteral(" WHERE ") + terms;
    const auto firstValue = [this](const QString &text) -> quint64 {
        const QSqlQuery query = execQuery(text);
        return query.isValid() ? query.value(0).toULongLong() : 0;
    };
    const quint64 counted = firstValue(QStringLiteral("SELECT COUNT(1) FROM (") + candidates + QStringLiteral(" LIMIT ")
                                       + QString::number(kExactPickCandidates + 1) + QStringLiteral(");"));
    if (counted == 0)
        return {};
    ItemId chosen = 0;
    if (counted <= quint64(kExactPickCandidates)) {
        const int row = syncpath::randomRowIndex(randomNumber(), int(counted - 1));
        chosen = firstValue(candidates + QStringLiteral(" ORDER BY ClientId LIMIT 1 OFFSET ") + QString::number(row)
                            + QLatin1Char(';'));
    } else {
        const ItemId first = firstValue(candidates + QStringLiteral(" ORDER BY ClientId LIMIT 1;"));
        const ItemId last = firstValue(candidates + QStringLiteral(" ORDER BY ClientId DESC LIMIT 1;"));
        const int span = int(qBound<qint64>(0, qint64(last) - qint64(first), std::numeric_limits<int>::max()));
        const ItemId from = first + ItemId(syncpath::randomRowIndex(randomNumber(), span));
        chosen = firstValue(candidates + QStringLiteral(" AND ClientId >= ") + QString::number(from)
                            + QStringLiteral(" ORDER BY ClientId LIMIT 1;"));
    }
    if (const SyncFile::Ptr file = chosen ? getFile(chosen) : SyncFile::Ptr())
        return file;
    // Changed in the meantime by another thread: the first remaining candidate will do.
    const ItemId any = firstValue(candidates + QStringLiteral(" ORDER BY ClientId LIMIT 1;"));
    return any ? getFile(any) : SyncFile::Ptr();
}

SyncItem::Ptr CSyncDatabase::getOneNotSynchronizedItemFromLibrary(ItemId libraryClientId)
{
    const SyncLibrary::Ptr library = getLibrary(libraryClientId);
    if (!library) {
        qCritical() << "CSyncDatabase::getOneNotSynchronizedItemFromLibrary: library" << libraryClientId
                    << "not found !?";
        return {};
    }
    if (!library->syncStatus.isSynchronized())
        return library;

    const QString l = QString::number(libraryClientId);
    const QStringList classes = {
        QStringLiteral("LibraryClientId = %1 AND ServerStatus != 1 AND ClientStatus != 1 ORDER BY ClientId").arg(l),
        QStringLiteral("LibraryClientId = %1 AND (ServerStatus = 5 OR ClientStatus = 5) ORDER BY ClientId").arg(l),
        QStringLiteral("LibraryClientId = %1 AND (ServerStatus = 2 OR ClientStatus = 2) AND (Attr & 1) = 0 ORDER BY "
                       "ClientId")
            .arg(l),
        QStringLiteral("LibraryClientId = %1 AND (ServerStatus != 1 OR ClientStatus != 1) AND (Attr = 0 OR Attr IS "
                       "NULL) ORDER BY ClientId")
            .arg(l),
        QStringLiteral("LibraryClientId = %1 AND (ServerStatus != 1 OR ClientStatus != 1) AND (Attr & 1) = 0 ORDER "
                       "BY ClientId")
            .arg(l),
    };
    for (const QString &where : classes) {
        if (SyncItem::Ptr item = findOneNotSynchronizedItem(where))
            return item;
    }
    return {};
}

bool CSyncDatabase::isSynchronized(ItemId libraryClientId, bool clientSideOnly)
{
    const QString c = clientSideOnly ? QStringLiteral("ClientStatus != 1")
                                     : QStringLiteral("ServerStatus != 1 OR ClientStatus != 1");
    const QString limit = QStringLiteral(" LIMIT 1");
    if (libraryClientId == 0) {
        return !hasRow(sqltable::Libraries, c + limit) && !hasRow(sqltable::Files, c + limit)
            && !hasRow(sqltable::Folders, c + limit);
    }
    const QString id = QString::number(libraryClientId);
    if (hasRow(sqltable::Libraries, QStringLiteral("ClientId = %1 AND (%2)").arg(id, c) + limit))
        return false;
    if (hasRow(sqltable::Files, QStringLiteral("LibraryClientId = %1 AND ((%2) AND (Attr & 1) = 0)").arg(id, c) + limit))
        return false;
    return !hasRow(sqltable::Folders, QStringLiteral("LibraryClientId = %1 AND (%2)").arg(id, c) + limit);
}

bool CSyncDatabase::hasItemsSynchronizedOnServerNewOrDeletedOnClient(ItemId libraryClientId)
{
    return existsFileOrFolder(
        QStringLiteral("LibraryClientId = %1 AND ServerStatus = 1 AND (ClientStatus = 2 OR ClientStatus = 5)")
            .arg(libraryClientId));
}

bool CSyncDatabase::hasQuotaExceededItems()
{
    return existsFileOrFolder(QStringLiteral("(Attr & 8) != 0"));
}

bool CSyncDatabase::existsFileOrFolder(const QString &condition)
{
    const QString text = QStringLiteral("SELECT 1 FROM ") + sqltable::Files + QStringLiteral(" WHERE %1 UNION SELECT 1 FROM ")
        + sqltable::Folders + QStringLiteral(" WHERE %1 LIMIT 1");
    return execQuery(text.arg(condition)).isValid();
}

quint32 CSyncDatabase::countLibraries()
{
    return count(sqltable::Libraries);
}

quint32 CSyncDatabase::countFolders()
{
    return count(sqltable::Folders);
}

quint32 CSyncDatabase::countFiles()
{
    return count(sqltable::Files);
}

quint64 CSyncDatabase::sumFileSizes()
{
    quint64 sum = 0;
    count(sqltable::Files, QString(), &sum);
    return sum;
}

SyncProgressCounts CSyncDatabase::getSyncProgressCounts()
{
    static const QString r =
        QStringLiteral(" AND LibraryClientId IN (SELECT ClientId FROM Libraries WHERE ServerStatus != 5)");
    static const QString libraries =
        QStringLiteral("(ClientStatus = 1 AND ServerStatus = 2) OR (ServerStatus = 1 AND ClientStatus = 5)");
    static const QString foldersOnServer =
        QStringLiteral("(ClientStatus = 1 AND (ServerStatus = 2 OR ServerStatus = 3 OR ServerStatus = 5))") + r;
    static const QString foldersOnClient =
        QStringLiteral("(ServerStatus = 1 AND (ClientStatus = 2 OR ClientStatus = 3 OR ClientStatus = 5))") + r;
    static const QString filesMovedOnServer =
        QStringLiteral("(ClientStatus = 1 AND (ServerStatus = 3 OR ServerStatus = 5))") + r;
    static const QString filesMovedOnClient =
        QStringLiteral("(ServerStatus = 1 AND (ClientStatus = 3 OR ClientStatus = 5))") + r;
    static const QString filesToDownload =
        QStringLiteral("ClientStatus = 1 AND (ServerStatus = 2 OR ServerStatus = 4)") + r;
    static const QString filesToUpload = QStringLiteral("ServerStatus = 1 AND (ClientStatus = 2 OR ClientStatus = 4)") + r;

    SyncProgressCounts counts;
    counts.librariesToAddOrRemove = count(sqltable::Libraries, libraries);
    counts.foldersChangedOnServer = count(sqltable::Folders, foldersOnServer);
    counts.foldersChangedOnClient = count(sqltable::Folders, foldersOnClient);
    counts.filesMovedOrDeletedOnServer = count(sqltable::Files, filesMovedOnServer);
    counts.filesMovedOrDeletedOnClient = count(sqltable::Files, filesMovedOnClient);
    counts.filesToDownload = count(sqltable::Files, filesToDownload, &counts.bytesToDownload);
    counts.filesToUpload = count(sqltable::Files, filesToUpload, &counts.bytesToUpload);
    return counts;
}

// ---------------------------------------------------------------------------------------------
// File cache

bool CSyncDatabase::insertFileCacheItem(const FileCacheItem &item)
{
    if (!item.isValid()) {
        qWarning() << "CSyncDatabase::insertFileCacheItem: invalid cache item:" << item.toString() << "-> removing";
        return false;
    }
    const CSqlStatement statement =
        CSqlStatement::forWriting(sqltable::FileCache, QString(), sqlrow::fileCacheValues(item));
    return execQuery(statement.insertStatement()).isActive();
}

bool CSyncDatabase::isFileCacheItemPresent(const QString &id)
{
    return count(sqltable::FileCache, QStringLiteral("Id = '%1' LIMIT 1").arg(id)) != 0;
}

FileCacheItem::Ptr CSyncDatabase::getFileCacheItem(const QString &hash, quint64 size)
{
    return readOne<FileCacheItem::Ptr>(*this, sqltable::FileCache,
                                       QStringLiteral("Hash = '%1' AND Size = %2 LIMIT 1").arg(hash).arg(size),
                                       sqlrow::readFileCacheItem);
}

QList<FileCacheItem::Ptr> CSyncDatabase::getFileCacheItems()
{
    return readAll<FileCacheItem::Ptr>(*this, sqltable::FileCache, QString(), sqlrow::readFileCacheItem);
}

void CSyncDatabase::deleteFileCacheItem(const QString &id)
{
    execQuery(CSqlStatement::forWriting(sqltable::FileCache, QStringLiteral("Id = '%1'").arg(id), {}).deleteStatement());
}

void CSyncDatabase::deleteAllFileCacheItems()
{
    execQuery(CSqlStatement::forWriting(sqltable::FileCache, QString(), {}).deleteStatement());
}

// ---------------------------------------------------------------------------------------------
// Sanity check

void CSyncDatabase::runSanityCheck()
{
    qDebug() << "CSyncDatabase::runSanityCheck";

    static const QString noTenant = QStringLiteral("TenantId IS NULL OR TenantId = ''");
    static const QString ownParent = QStringLiteral("ClientId = ParentClientId");
    static const QString libraryIds = QStringLiteral("SELECT ClientId FROM %1").arg(sqltable::Libraries);
    static const QString folderIds = QStringLiteral("SELECT ClientId FROM %1").arg(sqltable::Folders);
    static const QString libraryGone = QStringLiteral("LibraryClientId NOT IN (%1)").arg(libraryIds);
    static const QString parentGone = QStringLiteral("ParentClientId NOT IN (%1 UNION %2)").arg(libraryIds, folderIds);
    static const QString duplicates = QStringLiteral(
        "SELECT ServerId, LibraryClientId FROM (    SELECT ServerId, LibraryClientId, COUNT(ServerId) AS csi, "
        "COUNT(LibraryClientId) AS cli    FROM %1 GROUP BY ServerId, LibraryClientId) WHERE csi > 1 AND cli > 1");

    const auto deleteWhere = [this](const QString &table, const QString &where) {
        execQuery(CSqlStatement::forWriting(table, where, {}).deleteStatement());
    };

    deleteWhere(sqltable::Libraries, noTenant);
    deleteWhere(sqltable::Folders, ownParent);
    deleteWhere(sqltable::Files, ownParent);
    deleteWhere(sqltable::Folders, libraryGone);
    deleteWhere(sqltable::Files, libraryGone);

    // Removing an orphan folder orphans the folders below it, so repeat until nothing changes.
    quint32 folders = countFolders();
    for (;;) {
        deleteWhere(sqltable::Folders, parentGone);
        const quint32 remaining = countFolders();
        if (remaining == folders)
            break;
        folders = remaining;
    }
    deleteWhere(sqltable::Files, parentGone);

    for (const QString &table : {sqltable::Folders, sqltable::Files}) {
        QList<QPair<quint64, quint64>> found;
        {
            QSqlQuery query = execQuery(duplicates.arg(table));
            for (bool row = query.isValid(); row; row = query.next())
                found.append({query.value(0).toULongLong(), query.value(1).toULongLong()});
        }
        for (const auto &duplicate : qAsConst(found)) {
            // Every item not yet uploaded has server id 0; those are not duplicates of each other.
            if (duplicate.first == 0)
                continue;
            if (table == sqltable::Folders)
                qDebug() << "CSyncDatabase::runSanityCheck: duplicate folder found: serverId:" << duplicate.first
                         << "libraryClientId:" << duplicate.second;
            else
                qDebug() << "CSyncDatabase::runSanityCheck: duplicate file found: serverId:" << duplicate.first
                         << "libraryClientId:" << duplicate.second;
            const QString where =
                QStringLiteral("ServerId = %1 AND LibraryClientId = %2").arg(duplicate.first).arg(duplicate.second);
            deleteWhere(sqltable::Folders, where);
            deleteWhere(sqltable::Files, where);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// CSyncDatabaseBatch

namespace {

QString preparedInsertText(const QString &table, const CSqlValueList &columns)
{
    QStringList names;
    for (const CSqlValue &column : columns)
        names << column.name();
    QString placeholders = QStringLiteral("?,").repeated(names.size());
    placeholders.chop(1);
    return QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (") + names.join(QLatin1Char(','))
        + QStringLiteral(") VALUES (") + placeholders + QStringLiteral(");");
}

} // namespace

CSyncDatabaseBatch::CSyncDatabaseBatch(CSyncDatabase &db, ItemId libraryClientId)
    : m_db(db)
    , m_libraryClientId(libraryClientId)
    , m_lock(&db.m_mutex)
{
    const QSqlDatabase connection = m_db.getDatabaseConnection();
    if (!connection.isOpen() || !m_db.beginTransaction())
        return;
    m_active = true;
    m_changesAtStart = totalChanges();
    m_nextClientId = m_db.getNextClientId();
    m_insertFile = QSqlQuery(connection);
    m_insertFolder = QSqlQuery(connection);
    if (!m_insertFile.prepare(preparedInsertText(sqltable::Files, sqlrow::fileValues(SyncFile())))
        || !m_insertFolder.prepare(preparedInsertText(sqltable::Folders, sqlrow::folderValues(SyncFolder())))) {
        qCritical() << "CSyncDatabaseBatch: unable to prepare the inserts:" << m_insertFile.lastError().text()
                    << m_insertFolder.lastError().text();
        rollback();
    }
}

CSyncDatabaseBatch::~CSyncDatabaseBatch()
{
    if (m_active) {
        qWarning() << "CSyncDatabaseBatch: library" << m_libraryClientId << "not committed -> rolling back";
        rollback();
    }
}

qint64 CSyncDatabaseBatch::totalChanges()
{
    const QSqlQuery query = m_db.execQuery(QStringLiteral("SELECT total_changes();"));
    return query.isValid() ? query.value(0).toLongLong() : 0;
}

ItemId CSyncDatabaseBatch::insert(QSqlQuery &statement, const QString &table, SyncItem &item,
                                  const CSqlValueList &values)
{
    if (!m_active)
        return 0;
    for (int i = 0; i < values.size(); ++i)
        statement.bindValue(i, toSqlBinding(values.at(i)));
    m_db.m_statementCount.fetchAndAddRelaxed(1);
    // The write lock is held since the transaction began, so there is no busy state to wait out.
    if (!statement.exec()) {
        qCritical() << "CSyncDatabaseBatch: insert into" << table << "failed for serverId:" << item.ServerId
                    << "name:" << item.ServerName << statement.lastError().text() << "-> discarding insert";
        return 0;
    }
    ++m_nextClientId;
    ++m_inserted;
    return item.ClientId;
}

ItemId CSyncDatabaseBatch::insertFile(SyncFile &file)
{
    const ItemId previousId = file.ClientId;
    file.ClientId = m_nextClientId;
    const ItemId id = insert(m_insertFile, sqltable::Files, file, sqlrow::fileValues(file));
    if (id == 0)
        file.ClientId = previousId;
    return id;
}

ItemId CSyncDatabaseBatch::insertFolder(SyncFolder &folder)
{
    const ItemId previousId = folder.ClientId;
    folder.ClientId = m_nextClientId;
    const ItemId id = insert(m_insertFolder, sqltable::Folders, folder, sqlrow::folderValues(folder));
    if (id == 0)
        folder.ClientId = previousId;
    return id;
}

bool CSyncDatabaseBatch::commit()
{
    if (!m_active)
        return false;
    m_active = false;
    m_insertFile.finish();
    m_insertFolder.finish();
    const bool changed = totalChanges() != m_changesAtStart;
    if (!m_db.commitTransaction())
        return false;
    qDebug() << "CSyncDatabaseBatch::commit: library" << m_libraryClientId << "rows inserted:" << m_inserted;
    // Nothing of the batch was visible before; those who listen read it now.
    if (changed)
        emit m_db.syncDatabaseChangedSignal(m_libraryClientId);
    return true;
}

void CSyncDatabaseBatch::rollback()
{
    if (!m_active)
        return;
    m_active = false;
    m_insertFile.finish();
    m_insertFolder.finish();
    if (!m_db.execQuery(QStringLiteral("ROLLBACK;")).isActive())
        qCritical() << "CSyncDatabaseBatch: rollback failed for library" << m_libraryClientId;
}
