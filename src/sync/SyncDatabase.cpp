#include "SyncDatabase.h"

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

namespace {

const QString kDatabaseFileName = QStringLiteral("bxsync.db");
const QString kSqliteBusy = QStringLiteral("5");
// SQLite waits this long for a lock by itself before execQuery's own retry loop takes over.
const int kBusyTimeoutMs = 5000;

// The look-ups by server id, parent, name and library would otherwise scan whole tables.
const QStringList &indexStatements()
{
    static const QStringList statements = [] {
        QStringList s = {
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
        };
        // Only the rows still to synchronise: small in a synchronised library, so finding the next
        // item does not depend on the library's size.
        for (const QString &table : {sqltable::Files, sqltable::Folders}) {
            s << QStringLiteral("CREATE INDEX IF NOT EXISTS %1Pending ON %1 (LibraryClientId, ClientId) WHERE %2;")
                     .arg(table, sqlwhere::pending());
        }
        // One per next-item class: the first, last and a random candidate are then each one index
        // seek, also when a class is empty and many items of a later class are pending.
        s << QStringLiteral("DROP INDEX IF EXISTS FilesNewPending;") << QStringLiteral("DROP INDEX IF EXISTS FoldersNewPending;");
        for (const QString &table : {sqltable::Files, sqltable::Folders}) {
            for (const sqlwhere::NextItemClass &c : sqlwhere::nextItemClasses()) {
                s << QStringLiteral("CREATE INDEX IF NOT EXISTS %1%2 ON %1 (LibraryClientId, ClientId) WHERE %3;")
                         .arg(table, c.indexName, c.condition);
            }
        }
        return s;
    }();
    return statements;
}

} // namespace

CSyncDatabase::CSyncDatabase(const QString &dataDirectory, QObject *parent)
    : QObject(parent)
    , m_filePath(dataDirectory + QLatin1Char('/') + kDatabaseFileName)
{
}

CSyncDatabase::~CSyncDatabase()
{
    closeDatabaseForCurrentThread();
}

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
    execQuery(sqltable::createStatement(table));
}

void CSyncDatabase::createTableSchema()
{
    qDebug() << "CSyncDatabase::createTableSchema";
    for (const QString &table : sqltable::all())
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
    for (const QString &table : sqltable::all()) {
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
