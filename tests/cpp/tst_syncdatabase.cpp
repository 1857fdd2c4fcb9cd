#include "TestMain.h"

#include "SyncDatabaseTestSupport.h"

#include <QSqlError>
#include <QSqlRecord>
#include <QThread>

#include <algorithm>
#include <atomic>

using testdb::Fixture;
using testdb::MessageCapture;

namespace {

QStringList columnNames(CSyncDatabase &db, const QString &table)
{
    QStringList names;
    QSqlQuery query = db.execQuery("PRAGMA table_info(" + table + ")");
    for (bool row = query.isValid(); row; row = query.next())
        names.append(query.value("name").toString());
    return names;
}

int signalCountFor(const QSignalSpy &spy, ItemId id)
{
    int n = 0;
    for (const QList<QVariant> &args : spy)
        n += args.at(0).value<ItemId>() == id ? 1 : 0;
    return n;
}

} // namespace

class TestSyncDatabase : public QObject
{
    Q_OBJECT

private slots:
    // Storage
    void newFileGetsTheFourTables();
    void oldFileGetsTeamIdOnceAndKeepsRows();
    void fileWithoutTablesGetsThem();
    void damagedFileIsMovedAsideAndReplaced_data();
    void damagedFileIsMovedAsideAndReplaced();
    void damageThatCannotBeMovedAsideIsNotRetried();
    void otherThreadsWriteTheNewFile();
    void clientIdsAreSharedAcrossTables();
    void selectsAreNotLoggedButWritesAre();
    void failingStatementIsLoggedAndInvalid();
    void connectionsArePerThreadAndClosedWhenAsked();
    void busyDatabaseIsWaitedOut();
    void concurrentInsertsAndDeletesGetUniqueIds();

    // Writes and their signals
    void insertIsRefused_data();
    void insertIsRefused();
    void insertAcceptsServerIdOfAnotherLibraryAndUnsentItems();
    void insertLibrarySignals();
    void updateWritesOnlyGivenColumns();
    void updateItemWritesEveryColumn();
    void updateOfMissingRowWarns_data();
    void updateOfMissingRowWarns();
    void quotaExceededOnEveryWrite();
    void deleteFolderRemovesSubtreeInOneTransaction();
    void deleteLibraryRemovesContent();
    void unknownItemTypeIsIgnored();

    // Look-ups and paths
    void serverIdLookups();
    void clientIdByClientPath_data();
    void clientIdByClientPath();
    void clientPath_data();
    void clientPath();
    void fileCache();
};

// ---------------------------------------------------------------------------------------------
// Storage

void TestSyncDatabase::newFileGetsTheFourTables()
{
    Fixture f;
    QVERIFY(!QFileInfo::exists(f.db->databaseFilePath()));
    QVERIFY(f.db->getDatabaseConnection().isOpen());
    QCOMPARE(f.db->databaseFilePath(), f.dir.path() + "/bxsync.db");

    const QMap<QString, QString> expected = {
        {"Libraries",
         "CREATE TABLE Libraries (ClientId INTEGER PRIMARY KEY,ServerId INTEGER,ServerPath TEXT,ServerName "
         "TEXT,ClientName TEXT,Hash TEXT,Sic TEXT,CreatedTime INTEGER,UpdatedTime INTEGER,CreatedBy TEXT,UpdatedBy "
         "TEXT,ServerStatus INTEGER,ClientStatus INTEGER,Attr INTEGER,TeamId TEXT,TenantId TEXT,TenantName "
         "TEXT,ContainerType INTEGER)"},
        {"Files",
         "CREATE TABLE Files (ClientId INTEGER PRIMARY KEY,ServerId INTEGER,ServerName TEXT,ClientName "
         "TEXT,ParentClientId INTEGER,LibraryClientId INTEGER,Hash TEXT,Sic TEXT,CreatedTime INTEGER,Attr "
         "INTEGER,UpdatedTime INTEGER,CreatedBy TEXT,UpdatedBy TEXT,ServerStatus INTEGER,ClientStatus INTEGER,Size "
         "INTEGER)"},
        {"Folders",
         "CREATE TABLE Folders (ClientId INTEGER PRIMARY KEY,ServerId INTEGER,ClientName TEXT,ServerName "
         "TEXT,ParentClientId INTEGER,LibraryClientId INTEGER,CreatedTime INTEGER,UpdatedTime INTEGER,Attr "
         "INTEGER,CreatedBy TEXT,UpdatedBy TEXT,ServerStatus TEXT,ClientStatus TEXT)"},
        {"FileCache", "CREATE TABLE FileCache (Id TEXT PRIMARY KEY,Hash TEXT,Size INTEGER,CreatedTime INTEGER)"},
    };
    QMap<QString, QString> actual;
    int indexes = 0;
    QSqlQuery query = f.db->execQuery("SELECT type, name, sql FROM sqlite_master;");
    for (bool row = query.isValid(); row; row = query.next()) {
        if (query.value(0).toString() == "table")
            actual.insert(query.value(1).toString(), query.value(2).toString());
        else if (query.value(0).toString() == "index" && !query.value(2).isNull())
            ++indexes;
    }
    QCOMPARE(actual, expected);
    QVERIFY2(indexes >= 4, "look-ups by server id, parent and library need indexes");

    QSqlQuery mode = f.db->execQuery("PRAGMA journal_mode;");
    QCOMPARE(mode.value(0).toString().toLower(), QString("wal"));
}

void TestSyncDatabase::oldFileGetsTeamIdOnceAndKeepsRows()
{
    QTemporaryDir dir;
    {
        QSqlDatabase old = QSqlDatabase::addDatabase("QSQLITE", "old-install");
        old.setDatabaseName(dir.path() + "/bxsync.db");
        QVERIFY(old.open());
        QSqlQuery q(old);
        QVERIFY(q.exec("CREATE TABLE Libraries (ClientId INTEGER PRIMARY KEY,ServerId INTEGER,ServerPath TEXT,"
                       "ServerName TEXT,ClientName TEXT,Hash TEXT,Sic TEXT,CreatedTime INTEGER,UpdatedTime INTEGER,"
                       "CreatedBy TEXT,UpdatedBy TEXT,ServerStatus INTEGER,ClientStatus INTEGER,Attr INTEGER,"
                       "TenantId TEXT,TenantName TEXT,ContainerType INTEGER);"));
        QVERIFY(q.exec("INSERT INTO Libraries (ClientId, ServerId, TenantId, ClientName) VALUES (7, 70, 't', 'T/L');"));
        old.close();
    }
    QSqlDatabase::removeDatabase("old-install");

    testdb::ensureConfiguration();
    MessageCapture log;
    {
        CSyncDatabase db(dir.path());
        QVERIFY(columnNames(db, "Libraries").contains("TeamId"));
        const SyncLibrary::Ptr library = db.getLibrary(7);
        QVERIFY(library);
        QCOMPARE(library->ServerId, 70ull);
        QCOMPARE(library->ClientName, QString("T/L"));
        QVERIFY(library->TeamId.isEmpty());
        // The other tables of the file came with it.
        QVERIFY(columnNames(db, "Files").contains("Size"));
    }
    QCOMPARE(log.count("CSyncDatabase::updateTableSchema: column TeamId not found -> altering table"), 1);
    {
        CSyncDatabase db(dir.path());
        QCOMPARE(db.countLibraries(), 1u);
        QCOMPARE(columnNames(db, "Libraries").count("TeamId"), 1);
    }
    QCOMPARE(log.count("CSyncDatabase::updateTableSchema: column TeamId not found -> altering table"), 1);
    QCOMPARE(log.count(QtCriticalMsg, "CSyncDatabase::updateTableSchema"), 0);
}

// A file with libraries and enough files for the Files table to span several pages, all written
// through to the main file; the Files table's root page when asked.
int writeFilledDatabase(const QString &dir)
{
    CSyncDatabase db(dir);
    SyncLibrary::Ptr library(new SyncLibrary());
    library->ServerId = 5;
    library->TenantId = "t";
    const ItemId libraryId = db.insertLibrary(library);
    for (int i = 0; i < 300; ++i) {
        SyncFile::Ptr file(new SyncFile());
        file->ParentClientId = libraryId;
        file->LibraryClientId = libraryId;
        file->ClientName = file->ServerName = QString("file %1 with a name long enough to fill pages").arg(i);
        db.insertFile(file);
    }
    const int root = db.execQuery("SELECT rootpage FROM sqlite_master WHERE name = 'Files';").value(0).toInt();
    db.closeDatabaseForCurrentThread(); // the last connection folds the WAL into the file
    return root;
}

void overwritePage(const QString &path, int page)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.seek(qint64(page - 1) * 4096));
    file.write(QByteArray(4096, char(0xff)));
}

// The moved database files, without their WAL companions.
QStringList movedAside(const QString &dir)
{
    QStringList names = QDir(dir).entryList({"bxsync.db.damaged-*"}, QDir::Files);
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const QString &n) { return n.endsWith("-wal") || n.endsWith("-shm"); }),
                names.end());
    return names;
}

void TestSyncDatabase::damagedFileIsMovedAsideAndReplaced_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("header") << "header";
    QTest::newRow("table page, found by the check at start") << "page at start";
    QTest::newRow("table page, found by a statement") << "page while running";
}

void TestSyncDatabase::damagedFileIsMovedAsideAndReplaced()
{
    QFETCH(QString, damage);
    QTemporaryDir dir;
    const QString path = dir.path() + "/bxsync.db";
    testdb::ensureConfiguration();
    QByteArray damaged;
    QScopedPointer<CSyncDatabase> db;
    if (damage == "header") {
        damaged.resize(65536);
        for (int i = 0; i < damaged.size(); ++i)
            damaged[i] = char((i * 7919) % 251);
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(damaged);
    } else {
        const int root = writeFilledDatabase(dir.path());
        QVERIFY(root > 1);
        if (damage == "page while running") {
            db.reset(new CSyncDatabase(dir.path()));
            QCOMPARE(db->countLibraries(), 1u); // the start-up check passed
            db->closeDatabaseForCurrentThread();
        }
        overwritePage(path, root);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        damaged = file.readAll();
    }
    MessageCapture log;
    if (!db)
        db.reset(new CSyncDatabase(dir.path()));
    QSignalSpy replaced(db.data(), &CSyncDatabase::databaseReplacedSignal);
    QVERIFY(db->getDatabaseConnection().isOpen());
    db->getFilesOfLibrary(1);
    QCOMPARE(log.count(QtCriticalMsg, "CSyncDatabase::openDatabase: damaged database file moved aside:"), 1);
    QCOMPARE(replaced.count(), 1);
    // The damaged bytes are kept, and the new file works from the next statement on.
    const QStringList aside = movedAside(dir.path());
    QCOMPARE(aside.size(), 1);
    QFile kept(dir.path() + "/" + aside.first());
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), damaged);
    QCOMPARE(db->countFiles(), 0u);
    SyncLibrary::Ptr library(new SyncLibrary());
    library->ServerId = 5;
    library->TenantId = "t";
    QVERIFY(db->insertLibrary(library) != 0);
    QCOMPARE(db->countLibraries(), 1u);
    QCOMPARE(movedAside(dir.path()).size(), 1);
}

void TestSyncDatabase::damageThatCannotBeMovedAsideIsNotRetried()
{
    QTemporaryDir dir;
    testdb::ensureConfiguration();
    overwritePage(dir.path() + "/bxsync.db", 1);
    // Every name the move could pick in the next minute is taken.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (int s = -2; s < 60; ++s)
        QVERIFY(QDir(dir.path()).mkpath("bxsync.db.damaged-" + now.addSecs(s).toString("yyyyMMdd-hhmmss") + "/x"));
    MessageCapture log;
    CSyncDatabase db(dir.path());
    QVERIFY(!db.getDatabaseConnection().isOpen());
    SyncLibrary::Ptr library(new SyncLibrary());
    library->TenantId = "t";
    QCOMPARE(db.insertLibrary(library), ItemId(0));
    QCOMPARE(db.countLibraries(), 0u);
    QCOMPARE(log.count(QtCriticalMsg, "could not be moved aside"), 1);
    QCOMPARE(QFileInfo(dir.path() + "/bxsync.db").size(), qint64(4096));
}

void TestSyncDatabase::otherThreadsWriteTheNewFile()
{
    QTemporaryDir dir;
    testdb::ensureConfiguration();
    const int root = writeFilledDatabase(dir.path());
    CSyncDatabase db(dir.path());
    QThread thread;
    QObject worker;
    worker.moveToThread(&thread);
    thread.start();
    const auto onWorker = [&](const std::function<void()> &work) {
        QMetaObject::invokeMethod(&worker, work, Qt::BlockingQueuedConnection);
    };
    onWorker([&] { QCOMPARE(db.countLibraries(), 1u); }); // the worker's connection is open
    overwritePage(dir.path() + "/bxsync.db", root);
    db.getFilesOfLibrary(1); // damage found here: the file goes aside
    const int moved = movedAside(dir.path()).size();
    ItemId inserted = 0;
    onWorker([&] {
        SyncLibrary::Ptr library(new SyncLibrary());
        library->TenantId = "from the worker";
        inserted = db.insertLibrary(library);
        db.closeDatabaseForCurrentThread();
    });
    thread.quit();
    QVERIFY(thread.wait(10000));
    QCOMPARE(moved, 1);
    QVERIFY(inserted != 0);
    QCOMPARE(db.countLibraries(), 1u);
    QCOMPARE(db.getLibraries().value(0)->TenantId, QString("from the worker"));
}

void TestSyncDatabase::fileWithoutTablesGetsThem()
{
    QTemporaryDir dir;
    {
        QFile empty(dir.path() + "/bxsync.db");
        QVERIFY(empty.open(QIODevice::WriteOnly));
    }
    testdb::ensureConfiguration();
    CSyncDatabase db(dir.path());
    QCOMPARE(db.countFiles(), 0u);
    QVERIFY(columnNames(db, "Libraries").contains("TeamId"));
    QVERIFY(db.insertLibrary(SyncLibrary::Ptr(new SyncLibrary)) != 0);
}

void TestSyncDatabase::clientIdsAreSharedAcrossTables()
{
    Fixture f;
    QCOMPARE(f.db->getNextClientId(), 1ull);
    const ItemId library = f.addLibrary("T/L");
    const ItemId folder = f.addFolder(library, library, "d");
    const ItemId file = f.addFile(folder, library, "x");
    QCOMPARE(library, ItemId(1));
    QCOMPARE(folder, ItemId(2));
    QCOMPARE(file, ItemId(3));
    QCOMPARE(f.db->getNextClientId(), 4ull);
    QCOMPARE(f.addLibrary("T/M"), ItemId(4));
    // The highest id may be handed out again once its row is gone.
    f.db->deleteLibrary(4);
    QCOMPARE(f.db->getNextClientId(), 4ull);
}

void TestSyncDatabase::selectsAreNotLoggedButWritesAre()
{
    Fixture f;
    const ItemId library = f.addLibrary("T/L");
    MessageCapture log;
    f.db->getLibrary(library);
    f.db->isSynchronized(library, false);
    QCOMPARE(log.count(QtDebugMsg, "CSyncDatabase::execQuery:"), 0);
    f.db->updateLibrary(library, CSqlValue("Sic", QString("s'1")));
    QCOMPARE(log.count(QtDebugMsg, "CSyncDatabase::execQuery: UPDATE Libraries SET Sic='s''1' WHERE ClientId = 1;"),
             1);
}

void TestSyncDatabase::failingStatementIsLoggedAndInvalid()
{
    Fixture f;
    MessageCapture log;
    const QSqlQuery query = f.db->execQuery("SELECT Nope FROM Nowhere;");
    QVERIFY(!query.isValid());
    QVERIFY(!query.isActive());
    QCOMPARE(log.count(QtCriticalMsg, "CSyncDatabase::execQuery: error:"), 1);
    QCOMPARE(log.count(QtCriticalMsg, "SELECT Nope FROM Nowhere;"), 1);
    // An update with no columns fails the same way and changes nothing.
    const ItemId library = f.addLibrary("T/L");
    QSignalSpy changed(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
    f.db->updateLibrary(library, CSqlValueList());
    QCOMPARE(log.count(QtCriticalMsg, "CSyncDatabase::execQuery: error:"), 2);
    QCOMPARE(changed.count(), 0);
}

void TestSyncDatabase::connectionsArePerThreadAndClosedWhenAsked()
{
    Fixture f;
    const QString mainName = f.db->getDatabaseConnection().connectionName();
    QVERIFY(mainName.startsWith("bxsync.db@"));
    QVERIFY(mainName.startsWith("bxsync.db@" + QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId())) + "#"));

    QString workerName;
    bool workerOpen = false;
    bool stillThereAfterClose = true;
    // A thread sees the rows another thread wrote, through its own connection.
    const ItemId library = f.addLibrary("T/L");
    QScopedPointer<QThread> reader(QThread::create([&] {
        workerName = f.db->getDatabaseConnection().connectionName();
        workerOpen = f.db->getLibrary(library) != nullptr;
        f.db->closeDatabaseForCurrentThread();
        stillThereAfterClose = QSqlDatabase::contains(workerName);
    }));
    reader->start();
    QVERIFY(reader->wait(10000));
    QVERIFY(workerName.startsWith("bxsync.db@"));
    QVERIFY(workerName != mainName);
    QVERIFY(workerOpen);
    QVERIFY(!stillThereAfterClose);
    QVERIFY(QSqlDatabase::contains(mainName));
    f.db->closeDatabaseForCurrentThread();
    QVERIFY(!QSqlDatabase::contains(mainName));
    // The next statement opens the connection again.
    QVERIFY(f.db->getLibrary(library));
}

void TestSyncDatabase::busyDatabaseIsWaitedOut()
{
    Fixture f;
    const ItemId library = f.addLibrary("T/L");
    QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "lock-holder");
    other.setDatabaseName(f.db->databaseFilePath());
    QVERIFY(other.open());
    {
        QSqlQuery lock(other);
        QVERIFY(lock.exec("BEGIN IMMEDIATE;"));
    }
    MessageCapture log;
    std::atomic<bool> done{false};
    QScopedPointer<QThread> writer(QThread::create([&] {
        f.db->updateLibrary(library, CSqlValue("Sic", QString("after-lock")));
        f.db->closeDatabaseForCurrentThread();
        done = true;
    }));
    writer->start();
    QThread::msleep(300);
    QVERIFY(!done);
    {
        QSqlQuery commit(other);
        QVERIFY(commit.exec("COMMIT;"));
    }
    QVERIFY(writer->wait(10000));
    QCOMPARE(f.db->getLibrary(library)->Sic, QString("after-lock"));
    QCOMPARE(log.count(QtCriticalMsg, ""), 0);
    other.close();
    other = QSqlDatabase();
    QSqlDatabase::removeDatabase("lock-holder");
}

void TestSyncDatabase::concurrentInsertsAndDeletesGetUniqueIds()
{
    Fixture f;
    const ItemId library = f.addLibrary("T/L");
    MessageCapture log;
    constexpr int kPerThread = 150;
    QVector<ItemId> idsA, idsB;
    const auto work = [&](QVector<ItemId> &ids, const QString &prefix) {
        for (int i = 0; i < kPerThread; ++i) {
            const ItemId folder = f.addFolder(library, library, prefix + QString::number(i));
            const ItemId file = f.addFile(folder, library, "f");
            ids << folder << file;
            if (i % 3 == 0)
                f.db->deleteFolder(folder);
            else if (i % 3 == 1)
                f.db->deleteFile(file);
        }
        f.db->closeDatabaseForCurrentThread();
    };
    QScopedPointer<QThread> a(QThread::create(work, std::ref(idsA), QString("a")));
    QScopedPointer<QThread> b(QThread::create(work, std::ref(idsB), QString("b")));
    a->start();
    b->start();
    QVERIFY(a->wait(60000));
    QVERIFY(b->wait(60000));

    QVERIFY(!idsA.contains(0));
    QVERIFY(!idsB.contains(0));
    // Deleting the highest row lets its id return, so uniqueness holds among rows alive together:
    // every surviving row has its own id, and both threads' rows are all there.
    QCOMPARE(f.db->countFolders(), quint32(2 * (kPerThread - kPerThread / 3)));
    QCOMPARE(f.db->countFiles(), quint32(2 * (kPerThread / 3)));
    QSet<ItemId> alive;
    for (const SyncFolder::Ptr &folder : f.db->getFoldersOfLibrary(library))
        alive.insert(folder->ClientId);
    for (const SyncFile::Ptr &file : f.db->getFilesOfLibrary(library))
        alive.insert(file->ClientId);
    QCOMPARE(alive.size(), int(f.db->countFolders() + f.db->countFiles()));
    QCOMPARE(log.count(QtCriticalMsg, ""), 0);
    QCOMPARE(log.count(QtWarningMsg, ""), 0);
}

// ---------------------------------------------------------------------------------------------
// Writes and their signals

void TestSyncDatabase::insertIsRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<quint64>("serverId");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("logText");
    QTest::newRow("file with a folder's server id") << "file" << quint64(50) << "library"
                                                    << "CSyncDatabase::insertFile: serverId is already present in DB:";
    QTest::newRow("folder with a file's server id") << "folder" << quint64(51) << "library"
                                                    << "CSyncDatabase::insertFolder: serverId is already present in DB:";
    QTest::newRow("file with missing parent") << "file" << quint64(0) << "missing"
                                              << "CSyncDatabase::insertFile: parentClientId is not present in DB:";
    QTest::newRow("folder with missing parent") << "folder" << quint64(0) << "missing"
                                                << "CSyncDatabase::insertFolder: parentClientId is not present in DB:";
    QTest::newRow("file under a file") << "file" << quint64(0) << "file"
                                       << "CSyncDatabase::insertFile: parentClientId is not present in DB:";
    QTest::newRow("file as its own parent") << "file" << quint64(0) << "next id"
                                            << "CSyncDatabase::insertFile: clientId and parentClientId are equal:";
    QTest::newRow("folder as its own parent") << "folder" << quint64(0) << "next id"
                                              << "CSyncDatabase::insertFolder: clientId and parentClientId are equal:";
}

void TestSyncDatabase::insertIsRefused()
{
    QFETCH(QString, kind);
    QFETCH(quint64, serverId);
    QFETCH(QString, parent);
    QFETCH(QString, logText);

    Fixture f;
    const ItemId library = f.addLibrary("T/L");
    f.addFolder(library, library, "existing folder", 50);
    const ItemId existingFile = f.addFile(library, library, "existing file", 51);

    ItemId parentId = library;
    if (parent == "missing")
        parentId = 999;
    else if (parent == "file")
        parentId = existingFile;
    else if (parent == "next id")
        parentId = f.db->getNextClientId();

    QSignalSpy changed(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
    MessageCapture log;
    const quint32 files = f.db->countFiles();
    const quint32 folders = f.db->countFolders();
    ItemId result = 1;
    ItemId recordId = 1;
    if (kind == "file") {
        const SyncFile::Ptr file = f.makeFile(parentId, library, "new", serverId);
        result = f.db->insertFile(file);
        recordId = file->ClientId;
    } else {
        const SyncFolder::Ptr folder = f.makeFolder(parentId, library, "new", serverId);
        result = f.db->insertFolder(folder);
        recordId = folder->ClientId;
    }
    QCOMPARE(result, ItemId(0));
    QCOMPARE(recordId, ItemId(0));
    QCOMPARE(f.db->countFiles(), files);
    QCOMPARE(f.db->countFolders(), folders);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(log.count(QtCriticalMsg, logText), 1);
}

void TestSyncDatabase::insertAcceptsServerIdOfAnotherLibraryAndUnsentItems()
{
    Fixture f;
    const ItemId a = f.addLibrary("T/A");
    const ItemId b = f.addLibrary("T/B");
    QVERIFY(f.addFolder(a, a, "d", 50) != 0);
    QVERIFY(f.addFile(b, b, "same server id", 50) != 0);
    QVERIFY(f.addFolder(b, b, "another", 50) == 0);
    // Items not yet uploaded all have server id 0.
    QVERIFY(f.addFile(a, a, "new 1", 0) != 0);
    QVERIFY(f.addFile(a, a, "new 2", 0) != 0);
    QCOMPARE(f.db->countFiles(), 3u);
}

void TestSyncDatabase::insertLibrarySignals()
{
    Fixture f;
    QSignalSpy changed(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
    QSignalSpy subscribed(f.db.data(), &CSyncDatabase::syncLibrarySubscribedSignal);
    QSignalSpy quota(f.db.data(), &CSyncDatabase::quotaExceededSignal);
    const ItemId library = f.addLibrary("T/L");
    QCOMPARE(changed.count(), 1);
    QCOMPARE(signalCountFor(changed, library), 1);
    QCOMPARE(subscribed.count(), 1);
    QCOMPARE(signalCountFor(subscribed, library), 1);
    QCOMPARE(quota.count(), 0);
    f.addFile(library, library, "x");
    QCOMPARE(signalCountFor(changed, library), 2);
}

void TestSyncDatabase::updateWritesOnlyGivenColumns()
{
    Fixture f;
    const ItemId library = f.addLibrary("T/L");
    const ItemId file = f.addFile(library, library, "x", 9, {StatusNew, StatusSynchronized}, 0, 10);
    QSignalSpy changed(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
    QSignalSpy libraryChanged(f.db.data(), &CSyncDatabase::syncLibraryChangedSignal);

    f.db->updateFile(file, CSqlValue("ServerStatus", quint32(StatusSynchronized)), CSqlValue("Size", quint64(11)));
    const SyncFile::Ptr back = f.db->getFile(file);
    QCOMPARE(back->syncStatus.ServerStatus, quint32(StatusSynchronized));
    QCOMPARE(back->Size, 11ull);
    QCOMPARE(back->ClientName, QString("x"));
    QCOMPARE(back->ServerId, 9ull);
    QCOMPARE(signalCountFor(changed, library), 1);
    QCOMPARE(libraryChanged.count(), 0);

    f.db->updateLibrary(library, CSqlValue("Sic", QString("new sic")));
    QCOMPARE(f.db->getLibrary(library)->Sic, QString("new sic"));
    QCOMPARE(f.db->getLibrary(library)->ClientName, QString("T/L"));
    QCOMPARE(signalCountFor(changed, library), 2);
    QCOMPARE(signalCountFor(libraryChanged, library), 1);
}

void TestSyncDatabase::updateItemWritesEveryColumn()
{
    Fixture f;
    const ItemId library = f.addLibrary("T/L");
    const ItemId folder = f.addFolder(library, library, "d");
    const ItemId other = f.addFolder(library, library, "e");
    SyncFolder::Ptr record = f.db->getFolder(folder);
    record->ClientName = "d" + kPendingRenameMarker + "renamed";
    record->ParentClientId = other;
    record->syncStatus.ClientStatus = StatusMoved;
    record->UpdatedTime = QDateTime(QDate(2022, 2, 2), QTime(2, 2, 2), Qt::UTC);
    f.db->updateItem(record);
    const SyncFolder::Ptr back = f.db->getFolder(folder);
    QCOMPARE(back->ClientName, record->ClientName);
    QCOMPARE(back->ParentClientId, other);
    QCOMPARE(back->syncStatus.ClientStatus, quint32(StatusMoved));
    QCOMPARE(back->UpdatedTime, record->UpdatedTime);
    QCOMPARE(back->ClientId, folder);
}

void TestSyncDatabase::updateOfMissingRowWarns_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("warning");
    QTest::newRow("file") << "Files" << "CSyncDatabase::updateFile: clientId: 999 doesn't exists in the databatase";
    QTest::newRow("folder") << "Folders" << "CSyncDatabase::updateFolder: clientId: 999 doesn't exists in the database";
    QTest::newRow("library") << "Libraries"
                             << "CSyncDatabase::updateLibrary: clientId: 999 doesn't exists in the database";
}

void TestSyncDatabase::updateOfMissingRowWarns()
{
    QFETCH(QString, table);
    QFETCH(QString, warning);
    Fixture f;
    const ItemId library = f.addLibrary("T/L");
    QSignalSpy changed(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
    QSignalSpy libraryChanged(f.db.data(), &CSyncDatabase::syncLibraryChangedSignal);
    MessageCapture log;
    const CSqlValue value("Attr", quint32(AttrQuotaExceeded));
    if (table == "Files")
        f.db->updateFile(999, value);
    else if (table == "Folders")
        f.db->updateFolder(999, value);
    else
        f.db->updateLibrary(999, value);
    QCOMPARE(log.count(QtWarningMsg, warning), 1);
    QCOMPARE(log.count(QtDebugMsg, "UPDATE"), 0);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(libraryChanged.count(), 0);
    QCOMPARE(f.db->getLibrary(library)->Attr, 0u);
}

void TestSyncDatabase::quotaExceededOnEveryWrite()
{
    Fixture f;
    const ItemId library = f.addLibrary("T/L");
    const ItemId plain = f.addFile(library, library, "plain");
    QSignalSpy quota(f.db.data(), &CSyncDatabase::quotaExceededSignal);

    const ItemId file = f.addFile(library, library, "big", 0, {}, AttrQuotaExceeded);
    QCOMPARE(quota.count(), 1);
    f.db->updateFile(file, CSqlValue("Size", quint64(5)));
    QCOMPARE(quota.count(), 2);
    f.db->updateFile(file, CSqlValue("Size", quint64(6)));
    QCOMPARE(quota.count(), 3);
    f.db->updateFile(plain, CSqlValue("Size", quint64(6)));
    QCOMPARE(quota.count(), 3);
    const ItemId folder = f.addFolder(library, library, "d", 0, {}, AttrQuotaExceeded | AttrAccessDenied);
    QCOMPARE(quota.count(), 4);
    f.db->updateFolder(folder, CSqlValue("Attr", quint32(0)));
    QCOMPARE(quota.count(), 4);
    f.db->updateLibrary(library, CSqlValue("Attr", quint32(AttrQuotaExceeded)));
    QCOMPARE(quota.count(), 5);
    QVERIFY(f.db->hasQuotaExceededItems());
}

void TestSyncDatabase::deleteFolderRemovesSubtreeInOneTransaction()
{
    Fixture f;
    const ItemId library = f.addLibrary("T/L");
    const ItemId top = f.addFolder(library, library, "top");
    ItemId parent = top;
    QList<ItemId> chain{top};
    for (int depth = 1; depth < 5; ++depth) {
        parent = f.addFolder(parent, library, "level" + QString::number(depth));
        chain << parent;
    }
    for (ItemId folder : chain) {
        f.addFile(folder, library, "a");
        f.addFile(folder, library, "b");
    }
    const ItemId sibling = f.addFolder(library, library, "sibling");
    const ItemId siblingFile = f.addFile(sibling, library, "kept");
    const ItemId rootFile = f.addFile(library, library, "root file");

    QSignalSpy changed(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
    MessageCapture log;
    f.db->deleteFolder(top);

    QCOMPARE(changed.count(), 1);
    QCOMPARE(signalCountFor(changed, library), 1);
    QCOMPARE(log.count(QtDebugMsg, "CSyncDatabase::beginTransaction: transaction started"), 1);
    QCOMPARE(log.count(QtDebugMsg, "CSyncDatabase::commitTransaction: transaction committed"), 1);
    QCOMPARE(log.count(QtDebugMsg, "CSyncDatabase::execQuery: DELETE FROM Files WHERE ClientId = "), 10);
    QCOMPARE(log.count(QtDebugMsg, "CSyncDatabase::execQuery: DELETE FROM Folders WHERE ClientId = "), 5);
    for (ItemId folder : chain) {
        QVERIFY(!f.db->isFolderPresent(folder));
        QVERIFY(f.db->getFilesByParent(folder).isEmpty());
    }
    QVERIFY(f.db->isFolderPresent(sibling));
    QVERIFY(f.db->isFilePresent(siblingFile));
    QVERIFY(f.db->isFilePresent(rootFile));
    QVERIFY(f.db->isLibraryPresent(library));
    QCOMPARE(log.count(QtCriticalMsg, ""), 0);
}

void TestSyncDatabase::deleteLibraryRemovesContent()
{
    Fixture f;
    const ItemId library = f.addLibrary("T/L");
    const ItemId other = f.addLibrary("T/M");
    const ItemId folder = f.addFolder(library, library, "d");
    f.addFile(folder, library, "x");
    f.addFile(library, library, "y");
    const ItemId kept = f.addFile(other, other, "z");

    QSignalSpy changed(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
    QSignalSpy unsubscribed(f.db.data(), &CSyncDatabase::syncLibraryUnsubscribedSignal);
    f.db->deleteItem(f.db->getLibrary(library));
    QCOMPARE(f.db->countLibraries(), 1u);
    QCOMPARE(f.db->countFolders(), 0u);
    QCOMPARE(f.db->countFiles(), 1u);
    QVERIFY(f.db->isFilePresent(kept));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(signalCountFor(changed, library), 1);
    QCOMPARE(unsubscribed.count(), 1);
    QCOMPARE(signalCountFor(unsubscribed, library), 1);
}

void TestSyncDatabase::unknownItemTypeIsIgnored()
{
    Fixture f;
    const ItemId library = f.addLibrary("T/L");
    SyncItem::Ptr page(new SyncItem(SyncItemType::Page));
    page->ClientId = library;
    QSignalSpy changed(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
    MessageCapture log;
    f.db->updateItem(page);
    f.db->deleteItem(page);
    QCOMPARE(log.count(QtWarningMsg, "CSyncDatabase::updateItem: unknown item type: \"Page\""), 1);
    QCOMPARE(log.count(QtWarningMsg, "CSyncDatabase::deleteItem: unknown item type: \"Page\""), 1);
    QCOMPARE(changed.count(), 0);
    QVERIFY(f.db->isLibraryPresent(library));
}

// ---------------------------------------------------------------------------------------------
// Look-ups and paths

void TestSyncDatabase::serverIdLookups()
{
    Fixture f;
    const ItemId a = f.addLibrary("T/A", "tenant-1", 100);
    const ItemId b = f.addLibrary("U/B", "tenant-2", 200);
    const ItemId folderA = f.addFolder(a, a, "d", 7);
    const ItemId fileB = f.addFile(b, b, "f", 7);
    const ItemId fileA = f.addFile(folderA, a, "g", 8);

    QCOMPARE(f.db->getLibraryByServerId(100, "tenant-1")->ClientId, a);
    QVERIFY(!f.db->getLibraryByServerId(100, "tenant-2"));
    QCOMPARE(f.db->getFolderByServerId(7, a)->ClientId, folderA);
    QVERIFY(!f.db->getFolderByServerId(7, b));
    QCOMPARE(f.db->getFileByServerId(7, b)->ClientId, fileB);
    QCOMPARE(f.db->getFilesByServerId(7).size(), 1);

    QCOMPARE(f.db->getClientIdByServerId(100, "tenant-1"), a);
    QCOMPARE(f.db->getClientIdByServerId(7, "tenant-1"), folderA);
    QCOMPARE(f.db->getClientIdByServerId(7, "tenant-2"), fileB);
    QCOMPARE(f.db->getClientIdByServerId(8, "tenant-1"), fileA);
    QCOMPARE(f.db->getClientIdByServerId(8, "tenant-2"), ItemId(0));
    QCOMPARE(f.db->getLibraryOfServerItem(8, "tenant-1")->ClientId, a);
    QVERIFY(!f.db->getLibraryOfServerItem(9, "tenant-1"));

    QCOMPARE(f.db->getLibraryOfItem(a)->ClientId, a);
    QCOMPARE(f.db->getLibraryOfItem(fileA)->ClientId, a);
    QCOMPARE(f.db->getLibraryOfItem(folderA)->ClientId, a);
    QVERIFY(!f.db->getLibraryOfItem(999));
    QVERIFY(f.db->isServerIdPresent(f.makeFile(a, a, "x", 8)));
    QVERIFY(!f.db->isServerIdPresent(f.makeFile(b, b, "x", 8)));
    QVERIFY(!f.db->isServerIdPresent(f.db->getLibrary(a)));

    QCOMPARE(f.db->getItem(folderA)->type, SyncItemType::FileFolder);
    QCOMPARE(f.db->getItem(fileA)->type, SyncItemType::File);
    QVERIFY(!f.db->getItem(a));
}

namespace {

// Libraries "Brindlex - Acme/Docs", a sibling whose name starts the same, one inside the first, one
// without local folder; a small tree in the first and a folder in the inner one.
struct PathTree
{
    explicit PathTree(Fixture &f)
    {
        ids["Docs"] = f.addLibrary("Brindlex - Acme/Docs");
        ids["Docs 2"] = f.addLibrary("Brindlex - Acme/Docs 2");
        ids["Inner"] = f.addLibrary("Brindlex - Acme/Docs/Inner");
        ids["NoFolder"] = f.addLibrary("");
        ids["a"] = f.addFolder(ids["Docs"], ids["Docs"], "a");
        ids["b"] = f.addFolder(ids["a"], ids["Docs"], "b");
        ids["f.txt"] = f.addFile(ids["b"], ids["Docs"], "f.txt");
        ids["top.txt"] = f.addFile(ids["Docs"], ids["Docs"], "top.txt");
        ids["x"] = f.addFolder(ids["Inner"], ids["Inner"], "x");
        ids["quote"] = f.addFile(ids["x"], ids["Inner"], "it's.txt");
        ids["hidden"] = f.addFolder(ids["NoFolder"], ids["NoFolder"], "hidden");
        ids["hidden file"] = f.addFile(ids["hidden"], ids["NoFolder"], "h.txt");
        f.insertRaw("Folders", {CSqlValue("ClientId", quint64(500)), CSqlValue("ParentClientId", quint64(499)),
                                CSqlValue("LibraryClientId", ids["Docs"]), CSqlValue("ClientName", QString("orphan"))});
        ids["orphan"] = 500;
    }
    QMap<QString, ItemId> ids;
};

} // namespace

void TestSyncDatabase::clientIdByClientPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("library");
    QTest::newRow("library folder") << "Brindlex - Acme/Docs" << "Docs" << "Docs";
    QTest::newRow("trailing slash") << "Brindlex - Acme/Docs/" << "Docs" << "Docs";
    QTest::newRow("folder") << "Brindlex - Acme/Docs/a" << "a" << "Docs";
    QTest::newRow("file at depth") << "Brindlex - Acme/Docs/a/b/f.txt" << "f.txt" << "Docs";
    QTest::newRow("empty parts skipped") << "Brindlex - Acme/Docs/a//b/" << "b" << "Docs";
    QTest::newRow("file used as a folder") << "Brindlex - Acme/Docs/top.txt/inside/deeper" << "top.txt" << "Docs";
    QTest::newRow("unknown name") << "Brindlex - Acme/Docs/missing" << "" << "Docs";
    QTest::newRow("unknown in the middle") << "Brindlex - Acme/Docs/a/missing/f.txt" << "" << "Docs";
    QTest::newRow("name case differs") << "Brindlex - Acme/docs/a" << "" << "";
    QTest::newRow("sibling with same prefix") << "Brindlex - Acme/Docs 2" << "Docs 2" << "Docs 2";
    QTest::newRow("nothing of the sibling") << "Brindlex - Acme/Docs 2/a" << "" << "Docs 2";
    QTest::newRow("longest prefix wins") << "Brindlex - Acme/Docs/Inner/x" << "x" << "Inner";
    QTest::newRow("name with a quote") << "Brindlex - Acme/Docs/Inner/x/it's.txt" << "quote" << "Inner";
    QTest::newRow("tenant folder alone") << "Brindlex - Acme" << "" << "";
    QTest::newRow("outside the store") << "/elsewhere/Brindlex - Acme/Docs" << "" << "";
}

void TestSyncDatabase::clientIdByClientPath()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    QFETCH(QString, library);
    Fixture f;
    const PathTree tree(f);
    const QString absolute = path.startsWith('/') ? path : f.libraryPath(path);
    QCOMPARE(f.db->getClientIdByClientPath(absolute), expected.isEmpty() ? ItemId(0) : tree.ids.value(expected));
    const SyncLibrary::Ptr found = f.db->getLibraryByClientPath(absolute);
    QCOMPARE(found ? found->ClientId : ItemId(0), library.isEmpty() ? ItemId(0) : tree.ids.value(library));
}

void TestSyncDatabase::clientPath_data()
{
    QTest::addColumn<QString>("item");
    QTest::addColumn<QString>("relativePath");
    QTest::newRow("library") << "Docs" << "Brindlex - Acme/Docs";
    QTest::newRow("folder") << "b" << "Brindlex - Acme/Docs/a/b";
    QTest::newRow("file") << "f.txt" << "Brindlex - Acme/Docs/a/b/f.txt";
    QTest::newRow("nested library file") << "quote" << "Brindlex - Acme/Docs/Inner/x/it's.txt";
    QTest::newRow("library without folder") << "hidden file" << "";
    QTest::newRow("parent missing") << "orphan" << "";
    QTest::newRow("unknown id") << "none" << "";
}

void TestSyncDatabase::clientPath()
{
    QFETCH(QString, item);
    QFETCH(QString, relativePath);
    Fixture f;
    const PathTree tree(f);
    const QString expected = relativePath.isEmpty() ? QString() : f.libraryPath(relativePath);
    QCOMPARE(f.db->getClientPath(tree.ids.value(item, 999)), expected);
    if (!expected.isEmpty())
        QCOMPARE(f.db->getClientIdByClientPath(expected), tree.ids.value(item));
}

void TestSyncDatabase::fileCache()
{
    Fixture f;
    MessageCapture log;
    FileCacheItem item;
    item.Id = "{guid-1}";
    item.Hash = "a9993e364706816aba3e25717850c26c9cd0d89d";
    item.Size = 3;
    item.CreatedTime = QDateTime(QDate(2020, 5, 5), QTime(5, 5, 5, 5), Qt::UTC);
    QVERIFY(f.db->insertFileCacheItem(item));
    FileCacheItem second = item;
    second.Id = "{guid-2}";
    second.Size = 4;
    QVERIFY(f.db->insertFileCacheItem(second));
    FileCacheItem invalid = item;
    invalid.Hash.clear();
    QVERIFY(!f.db->insertFileCacheItem(invalid));
    QCOMPARE(log.count(QtWarningMsg, "CSyncDatabase::insertFileCacheItem: invalid cache item:"), 1);

    QVERIFY(f.db->isFileCacheItemPresent("{guid-1}"));
    QVERIFY(!f.db->isFileCacheItemPresent("{guid-3}"));
    const FileCacheItem::Ptr found = f.db->getFileCacheItem(item.Hash, 4);
    QVERIFY(found);
    QCOMPARE(found->Id, QString("{guid-2}"));
    QCOMPARE(found->CreatedTime, QDateTime(QDate(2020, 5, 5), QTime(5, 5, 5), Qt::UTC));
    QVERIFY(!f.db->getFileCacheItem(item.Hash, 5));
    QCOMPARE(f.db->getFileCacheItems().size(), 2);

    f.db->deleteFileCacheItem("{guid-1}");
    QVERIFY(!f.db->isFileCacheItemPresent("{guid-1}"));
    QCOMPARE(f.db->getFileCacheItems().size(), 1);
    f.db->deleteAllFileCacheItems();
    QVERIFY(f.db->getFileCacheItems().isEmpty());
}

BXSYNC_TEST_MAIN(TestSyncDatabase)
#include "tst_syncdatabase.moc"
