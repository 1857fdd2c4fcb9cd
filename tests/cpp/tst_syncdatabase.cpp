#include "TestMain.h"

#include "SyncDatabaseTestSupport.h"

#include <QRegularExpression>
#include <QScopeGuard>
#include <QSqlError>
#include <QThread>

#include <algorithm>
#include <atomic>

using testdb::Fixture;
using testdb::MessageCapture;

namespace {

// What every installed database has, byte for byte.
const QMap<QString, QString> kSchema = {
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

int signalCountFor(const QSignalSpy &spy, ItemId id)
{
    return int(std::count_if(spy.begin(), spy.end(),
                             [id](const QList<QVariant> &args) { return args.at(0).value<ItemId>() == id; }));
}

// A library with enough files for the Files table to span several pages, folded into the main file;
// returns the Files table's root page.
int writeFilledDatabase(const QString &dir)
{
    CSyncDatabase db(dir);
    db.execQuery("INSERT INTO Libraries (ClientId, TenantId) VALUES (1, 't');");
    db.execQuery("WITH RECURSIVE n(i) AS (SELECT 2 UNION ALL SELECT i + 1 FROM n WHERE i < 301) INSERT INTO Files (ClientId, "
                 "ParentClientId, LibraryClientId, ServerName) SELECT i, 1, 1, printf('file %d with a long name', i) FROM n;");
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
    return QDir(dir).entryList({"bxsync.db.damaged-*"}, QDir::Files).filter(QRegularExpression("-\\d{6}$"));
}

// Libraries "Brindlex - Acme/Docs", a sibling whose name starts the same, one inside the first, one
// without local folder; a small tree in the first, a folder in the inner one, and an orphan.
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

// What a write row does to the fixture's library L (id 1), its file F (2) and its folder D (3).
using Write = std::function<void(Fixture &)>;

} // namespace

Q_DECLARE_METATYPE(Write)

class TestSyncDatabase : public QObject
{
    Q_OBJECT
private slots:
    void existingFileOpensWithItsRows_data()
    {
        QTest::addColumn<QStringList>("statements");
        QTest::addColumn<int>("libraries");
        QTest::addColumn<int>("alters");
        QTest::newRow("file of an install before TeamId")
            << QStringList{QString(kSchema["Libraries"]).remove("TeamId TEXT,"),
                           "INSERT INTO Libraries (ClientId, ServerId, TenantId, ClientName) VALUES (7, 70, 't', 'T/L');"}
            << 1 << 1;
        QTest::newRow("empty file of an interrupted first start") << QStringList{} << 0 << 0;
        QTest::newRow("no file yet") << QStringList{"none"} << 0 << 0;
    }

    void existingFileOpensWithItsRows()
    {
        QFETCH(QStringList, statements);
        QFETCH(int, libraries);
        QFETCH(int, alters);
        QTemporaryDir dir;
        if (statements != QStringList{"none"}) {
            QSqlDatabase old = QSqlDatabase::addDatabase("QSQLITE", "old-install");
            old.setDatabaseName(dir.path() + "/bxsync.db");
            QVERIFY(old.open());
            for (const QString &statement : statements)
                QVERIFY2(QSqlQuery(old).exec(statement), qPrintable(statement));
            old.close();
        }
        QSqlDatabase::removeDatabase("old-install");

        testdb::ensureConfiguration();
        MessageCapture log;
        for (int start = 0; start < 2; ++start) {
            CSyncDatabase db(dir.path());
            QCOMPARE(int(db.countLibraries()), libraries);
            QCOMPARE(db.execQuery("PRAGMA journal_mode;").value(0).toString(), QString("wal"));
            // Byte for byte what every installed database has: an old file must open without an upgrade step.
            QMap<QString, QString> schema;
            QSqlQuery query = db.execQuery("SELECT name, sql FROM sqlite_master WHERE type = 'table';");
            for (bool row = query.isValid(); row; row = query.next())
                schema.insert(query.value(0).toString(), query.value(1).toString());
            if (!alters)
                QCOMPARE(schema, kSchema);
            const SyncLibrary::Ptr kept = db.getLibrary(7);
            QCOMPARE(kept ? kept->ClientName + " " + QString::number(kept->ServerId) : QString(),
                     libraries ? "T/L 70" : "");
        }
        QCOMPARE(log.count("CSyncDatabase::updateTableSchema: column TeamId not found -> altering table"), alters);
        QCOMPARE(log.count(QtCriticalMsg, ""), 0);
    }

    void damagedFileIsMovedAsideAndReplaced_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("header") << "header";
        QTest::newRow("table page, found by the check at start") << "page at start";
        QTest::newRow("table page, found by a statement") << "page while running";
    }

    // Whatever found the damage, the file goes aside once and every thread, also one that had the old
    // file open, writes the new one.
    void damagedFileIsMovedAsideAndReplaced()
    {
        QFETCH(QString, damage);
        QTemporaryDir dir;
        const QString path = dir.path() + "/bxsync.db";
        testdb::ensureConfiguration();
        QScopedPointer<CSyncDatabase> db;
        QThread thread;
        QObject worker;
        worker.moveToThread(&thread);
        thread.start();
        // Also when a check fails early: a thread destroyed while running ends the whole run.
        const auto stop = qScopeGuard([&thread] { thread.quit(); thread.wait(); });
        const auto onWorker = [&](const std::function<void()> &work) {
            QMetaObject::invokeMethod(&worker, work, Qt::BlockingQueuedConnection);
        };
        if (damage == "header") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(65536, 'z')) == 65536);
        } else {
            const int root = writeFilledDatabase(dir.path());
            QVERIFY(root > 1);
            if (damage == "page while running") {
                db.reset(new CSyncDatabase(dir.path()));
                QCOMPARE(db->countLibraries(), 1u); // the start-up check passed
                quint32 seen = 0;
                onWorker([&] { seen = db->countLibraries(); }); // the worker's connection is open
                QCOMPARE(seen, 1u);
                db->closeDatabaseForCurrentThread();
            }
            overwritePage(path, root);
        }
        const QByteArray damaged = testdb::readFile(path);
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
        QCOMPARE(testdb::readFile(dir.path() + "/" + aside.first()), damaged);
        QCOMPARE(db->countFiles(), 0u);
        // Checked on this thread: a failed assertion on the worker would end the whole run.
        onWorker([&] {
            SyncLibrary::Ptr library(new SyncLibrary());
            library->TenantId = "from the worker";
            db->insertLibrary(library);
            db->closeDatabaseForCurrentThread();
        });
        QCOMPARE(db->countLibraries(), 1u);
        QCOMPARE(db->getLibraries().value(0)->TenantId, QString("from the worker"));
        QCOMPARE(movedAside(dir.path()).size(), 1);
    }

    void damageThatCannotBeMovedAsideIsNotRetried()
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

    void statementLogging()
    {
        Fixture f;
        const ItemId library = f.addLibrary("T/L");
        QSignalSpy changed(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
        MessageCapture log;
        f.db->getLibrary(library);
        f.db->isSynchronized(library, false);
        f.db->updateLibrary(library, CSqlValue("Sic", QString("s'1")));
        QCOMPARE(log.lines(QtDebugMsg, "CSyncDatabase::execQuery:"),
                 QStringList{"CSyncDatabase::execQuery: UPDATE Libraries SET Sic='s''1' WHERE ClientId = 1;"});
        QVERIFY(!f.db->execQuery("SELECT Nope FROM Nowhere;").isActive());
        // An update with no columns fails the same way and announces nothing.
        f.db->updateLibrary(library, CSqlValueList());
        QCOMPARE(log.count(QtCriticalMsg, "CSyncDatabase::execQuery: error:"), 2);
        QCOMPARE(log.count(QtCriticalMsg, "SELECT Nope FROM Nowhere;"), 1);
        QCOMPARE(changed.count(), 1);
    }

    void busyDatabaseIsWaitedOut()
    {
        Fixture f;
        const ItemId library = f.addLibrary("T/L");
        QSqlDatabase other = QSqlDatabase::addDatabase("QSQLITE", "lock-holder");
        other.setDatabaseName(f.db->databaseFilePath());
        QVERIFY(other.open());
        QVERIFY(QSqlQuery(other).exec("BEGIN IMMEDIATE;"));
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
        QVERIFY(QSqlQuery(other).exec("COMMIT;"));
        QVERIFY(writer->wait(10000));
        QCOMPARE(f.db->getLibrary(library)->Sic, QString("after-lock"));
        QCOMPARE(log.count(QtCriticalMsg, ""), 0);
        other.close();
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase("lock-holder");
    }

    void concurrentInsertsAndDeletesGetUniqueIds()
    {
        Fixture f;
        const ItemId library = f.addLibrary("T/L");
        MessageCapture log;
        constexpr int kPerThread = 150;
        std::atomic<int> refused{0};
        const auto work = [&](const QString &prefix) {
            for (int i = 0; i < kPerThread; ++i) {
                const ItemId folder = f.addFolder(library, library, prefix + QString::number(i));
                const ItemId file = f.addFile(folder, library, "f");
                refused += (folder == 0) + (file == 0);
                if (i % 3 == 0)
                    f.db->deleteFolder(folder);
                else if (i % 3 == 1)
                    f.db->deleteFile(file);
            }
            f.db->closeDatabaseForCurrentThread();
        };
        QScopedPointer<QThread> a(QThread::create(work, QString("a")));
        QScopedPointer<QThread> b(QThread::create(work, QString("b")));
        a->start();
        b->start();
        QVERIFY(a->wait(60000));
        QVERIFY(b->wait(60000));
        QCOMPARE(refused.load(), 0);
        // Deleting the highest row lets its id return, so uniqueness holds among rows alive together.
        QCOMPARE(f.db->countFolders(), quint32(2 * (kPerThread - kPerThread / 3)));
        QCOMPARE(f.db->countFiles(), quint32(2 * (kPerThread / 3)));
        QSet<ItemId> alive;
        for (const SyncFolder::Ptr &folder : f.db->getFoldersOfLibrary(library))
            alive.insert(folder->ClientId);
        for (const SyncFile::Ptr &file : f.db->getFilesOfLibrary(library))
            alive.insert(file->ClientId);
        QCOMPARE(alive.size(), int(f.db->countFolders() + f.db->countFiles()));
        QCOMPARE(log.count(QtCriticalMsg, "") + log.count(QtWarningMsg, ""), 0);
    }

    void insertChecks_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<quint64>("serverId");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QString>("refusal"); // empty: accepted
        QTest::newRow("file with a folder's server id")
            << "file" << quint64(50) << "library" << "CSyncDatabase::insertFile: serverId is already present in DB:";
        QTest::newRow("folder with a file's server id")
            << "folder" << quint64(51) << "library" << "CSyncDatabase::insertFolder: serverId is already present in DB:";
        QTest::newRow("file with missing parent")
            << "file" << quint64(0) << "missing" << "CSyncDatabase::insertFile: parentClientId is not present in DB:";
        QTest::newRow("folder with missing parent")
            << "folder" << quint64(0) << "missing" << "CSyncDatabase::insertFolder: parentClientId is not present in DB:";
        QTest::newRow("file under a file")
            << "file" << quint64(0) << "file" << "CSyncDatabase::insertFile: parentClientId is not present in DB:";
        QTest::newRow("file as its own parent")
            << "file" << quint64(0) << "next id" << "CSyncDatabase::insertFile: clientId and parentClientId are equal:";
        QTest::newRow("folder as its own parent")
            << "folder" << quint64(0) << "next id" << "CSyncDatabase::insertFolder: clientId and parentClientId are equal:";
        QTest::newRow("server id of another library") << "folder" << quint64(50) << "other library" << "";
        QTest::newRow("unsent beside unsent (server id 0)") << "file" << quint64(0) << "library" << "";
        QTest::newRow("folder under a folder") << "folder" << quint64(52) << "folder" << "";
    }

    void insertChecks()
    {
        QFETCH(QString, kind);
        QFETCH(quint64, serverId);
        QFETCH(QString, parent);
        QFETCH(QString, refusal);
        Fixture f;
        const ItemId library = f.addLibrary("T/L");
        const ItemId otherLibrary = f.addLibrary("T/M");
        const ItemId existingFolder = f.addFolder(library, library, "existing folder", 50);
        const ItemId existingFile = f.addFile(library, library, "existing file", 51);
        f.addFile(library, library, "unsent", 0);
        const QMap<QString, ItemId> parents = {{"library", library},      {"other library", otherLibrary},
                                               {"missing", 999},          {"file", existingFile},
                                               {"folder", existingFolder}, {"next id", f.db->getNextClientId()}};
        const ItemId parentId = parents.value(parent);
        const ItemId libraryId = parent == "other library" ? otherLibrary : library;

        QSignalSpy changed(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
        MessageCapture log;
        const quint32 rows = f.db->countFiles() + f.db->countFolders();
        const SyncFile::Ptr file = f.makeFile(parentId, libraryId, "new", serverId);
        const SyncFolder::Ptr folder = f.makeFolder(parentId, libraryId, "new", serverId);
        const ItemId result = kind == "file" ? f.db->insertFile(file) : f.db->insertFolder(folder);
        const bool accepted = refusal.isEmpty();
        QCOMPARE(kind == "file" ? file->ClientId : folder->ClientId, result);
        QCOMPARE(result != 0, accepted);
        QCOMPARE(f.db->countFiles() + f.db->countFolders(), rows + accepted);
        QCOMPARE(accepted ? signalCountFor(changed, libraryId) : changed.count(), int(accepted));
        QCOMPARE(log.count(QtCriticalMsg, refusal), accepted ? 0 : 1);
    }

    void writeSignals_data()
    {
        QTest::addColumn<Write>("write");
        QTest::addColumn<int>("changed");        // syncDatabaseChangedSignal for L
        QTest::addColumn<int>("libraryChanged"); // syncLibraryChangedSignal for L
        QTest::addColumn<int>("quota");
        QTest::addColumn<QString>("warning");
        const CSqlValue quota("Attr", quint32(AttrQuotaExceeded));
        const CSqlValue size("Size", quint64(5));
        QTest::newRow("file update") << Write([=](Fixture &f) { f.db->updateFile(2, size); }) << 1 << 0 << 0 << "";
        QTest::newRow("file over quota, every write")
            << Write([=](Fixture &f) { f.db->updateFile(2, quota); f.db->updateFile(2, size); }) << 2 << 0 << 2 << "";
        QTest::newRow("folder over quota and denied")
            << Write([](Fixture &f) { f.db->updateFolder(3, CSqlValue("Attr", quint32(AttrQuotaExceeded | AttrAccessDenied))); })
            << 1 << 0 << 1 << "";
        QTest::newRow("file inserted over quota")
            << Write([](Fixture &f) { f.addFile(1, 1, "big", 0, {}, AttrQuotaExceeded); }) << 1 << 0 << 1 << "";
        QTest::newRow("library over quota") << Write([=](Fixture &f) { f.db->updateLibrary(1, quota); }) << 1 << 1 << 1 << "";
        QTest::newRow("library written in a batch")
            << Write([](Fixture &f) { f.db->writeLibraries({}, {{1, {CSqlValue("Sic", QString("s"))}}}); }) << 1 << 1 << 0
            << "";
        QTest::newRow("missing file") << Write([=](Fixture &f) { f.db->updateFile(999, quota); }) << 0 << 0 << 0
                                      << "CSyncDatabase::updateFile: clientId: 999 doesn't exists in the databatase";
        QTest::newRow("missing folder") << Write([=](Fixture &f) { f.db->updateFolder(999, quota); }) << 0 << 0 << 0
                                        << "CSyncDatabase::updateFolder: clientId: 999 doesn't exists in the database";
        QTest::newRow("missing library") << Write([=](Fixture &f) { f.db->updateLibrary(999, quota); }) << 0 << 0 << 0
                                         << "CSyncDatabase::updateLibrary: clientId: 999 doesn't exists in the database";
        const SyncItem::Ptr page(new SyncItem(SyncItemType::Page));
        QTest::newRow("update of an unknown type") << Write([=](Fixture &f) { f.db->updateItem(page); }) << 0 << 0 << 0
                                                   << "CSyncDatabase::updateItem: unknown item type: \"Page\"";
        QTest::newRow("delete of an unknown type") << Write([=](Fixture &f) { f.db->deleteItem(page); }) << 0 << 0 << 0
                                                   << "CSyncDatabase::deleteItem: unknown item type: \"Page\"";
    }

    void writeSignals()
    {
        QFETCH(Write, write);
        QFETCH(int, changed);
        QFETCH(int, libraryChanged);
        QFETCH(int, quota);
        QFETCH(QString, warning);
        Fixture f;
        QCOMPARE(f.addLibrary("T/L"), ItemId(1));
        QCOMPARE(f.addFile(1, 1, "F"), ItemId(2));
        QCOMPARE(f.addFolder(1, 1, "D"), ItemId(3));
        QSignalSpy changedSpy(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
        QSignalSpy libraryChangedSpy(f.db.data(), &CSyncDatabase::syncLibraryChangedSignal);
        QSignalSpy quotaSpy(f.db.data(), &CSyncDatabase::quotaExceededSignal);
        MessageCapture log;
        write(f);
        QCOMPARE((QList<int>{changedSpy.count(), signalCountFor(changedSpy, 1), libraryChangedSpy.count(), quotaSpy.count()}),
                 (QList<int>{changed, changed, libraryChanged, quota}));
        QCOMPARE(log.lines(QtWarningMsg), warning.isEmpty() ? QStringList() : QStringList{warning});
        if (!warning.isEmpty())
            QVERIFY(log.count(QtDebugMsg, "UPDATE") == 0 && f.db->isLibraryPresent(1));
    }

    // A folder goes with its subtree in one transaction, a library with its content and nothing of another.
    void deletesTakeTheirSubtree()
    {
        Fixture f;
        const ItemId library = f.addLibrary("T/L");
        const ItemId other = f.addLibrary("T/M");
        QList<ItemId> chain{f.addFolder(library, library, "top")};
        for (int depth = 1; depth < 5; ++depth)
            chain << f.addFolder(chain.last(), library, "level" + QString::number(depth));
        for (ItemId folder : chain) {
            f.addFile(folder, library, "a");
            f.addFile(folder, library, "b");
        }
        const QList<ItemId> kept = {f.addFolder(library, library, "sibling"), f.addFile(library, library, "root file")};
        const ItemId siblingFile = f.addFile(kept.first(), library, "kept");
        const ItemId otherFile = f.addFile(other, other, "z");

        QSignalSpy changed(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
        QSignalSpy unsubscribed(f.db.data(), &CSyncDatabase::syncLibraryUnsubscribedSignal);
        MessageCapture log;
        f.db->deleteFolder(chain.first());
        QCOMPARE((QList<int>{changed.count(), signalCountFor(changed, library),
                             log.count(QtDebugMsg, "CSyncDatabase::beginTransaction: transaction started"),
                             log.count(QtDebugMsg, "CSyncDatabase::commitTransaction: transaction committed"),
                             log.count(QtDebugMsg, "CSyncDatabase::execQuery: DELETE FROM Files WHERE ClientId = "),
                             log.count(QtDebugMsg, "CSyncDatabase::execQuery: DELETE FROM Folders WHERE ClientId = ")}),
                 (QList<int>{1, 1, 1, 1, 10, 5}));
        QCOMPARE(f.db->countFolders() + f.db->countFiles(), 4u);
        QVERIFY(f.db->isFolderPresent(kept.first()) && f.db->isFilePresent(kept.last()) && f.db->isFilePresent(siblingFile));
        QCOMPARE(log.count(QtCriticalMsg, ""), 0);

        f.db->deleteItem(f.db->getLibrary(library));
        QCOMPARE((QList<quint32>{f.db->countLibraries(), f.db->countFolders(), f.db->countFiles()}), (QList<quint32>{1, 0, 1}));
        QVERIFY(f.db->isFilePresent(otherFile));
        QCOMPARE((QList<int>{changed.count(), signalCountFor(changed, library), unsubscribed.count(),
                             signalCountFor(unsubscribed, library)}),
                 (QList<int>{2, 2, 1, 1}));
    }

    void serverIdLookups()
    {
        Fixture f;
        const ItemId a = f.addLibrary("T/A", "tenant-1", 100);
        const ItemId b = f.addLibrary("U/B", "tenant-2", 200);
        const ItemId folderA = f.addFolder(a, a, "d", 7);
        const ItemId fileB = f.addFile(b, b, "f", 7);
        const ItemId fileA = f.addFile(folderA, a, "g", 8);

        const auto id = [](const SyncItem::Ptr &item) { return item ? item->ClientId : ItemId(0); };
        CSyncDatabase &db = *f.db;
        QCOMPARE((QList<ItemId>{id(db.getLibraryByServerId(100, "tenant-1")), id(db.getLibraryByServerId(100, "tenant-2")),
                                id(db.getFolderByServerId(7, a)), id(db.getFolderByServerId(7, b)),
                                id(db.getFileByServerId(7, b)), ItemId(db.getFilesByServerId(7).size()),
                                db.getClientIdByServerId(100, "tenant-1"), db.getClientIdByServerId(7, "tenant-1"),
                                db.getClientIdByServerId(7, "tenant-2"), db.getClientIdByServerId(8, "tenant-1"),
                                db.getClientIdByServerId(8, "tenant-2"), id(db.getLibraryOfServerItem(8, "tenant-1")),
                                id(db.getLibraryOfServerItem(9, "tenant-1")), id(db.getLibraryOfItem(a)),
                                id(db.getLibraryOfItem(fileA)), id(db.getLibraryOfItem(folderA)),
                                id(db.getLibraryOfItem(999)), id(db.getItem(a))}),
                 (QList<ItemId>{a, 0, folderA, 0, fileB, 1, a, folderA, fileB, fileA, 0, a, 0, a, a, a, 0, 0}));
        QVERIFY(db.isServerIdPresent(f.makeFile(a, a, "x", 8)));
        QVERIFY(!db.isServerIdPresent(f.makeFile(b, b, "x", 8)));
        QVERIFY(!db.isServerIdPresent(db.getLibrary(a)));
        QCOMPARE((QList<SyncItemType>{db.getItem(folderA)->type, db.getItem(fileA)->type}),
                 (QList<SyncItemType>{SyncItemType::FileFolder, SyncItemType::File}));
    }

    // Paths marked canonical are what getClientPath gives for the item; "#item" asks only for the path of
    // an item that has none.
    void clientPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("library");
        QTest::addColumn<bool>("canonical");
        QTest::newRow("library folder") << "Brindlex - Acme/Docs" << "Docs" << "Docs" << true;
        QTest::newRow("trailing slash") << "Brindlex - Acme/Docs/" << "Docs" << "Docs" << false;
        QTest::newRow("file at depth") << "Brindlex - Acme/Docs/a/b/f.txt" << "f.txt" << "Docs" << true;
        QTest::newRow("empty parts skipped") << "Brindlex - Acme/Docs/a//b/" << "b" << "Docs" << false;
        QTest::newRow("file used as a folder") << "Brindlex - Acme/Docs/top.txt/inside/deeper" << "top.txt" << "Docs" << false;
        QTest::newRow("unknown name") << "Brindlex - Acme/Docs/missing" << "" << "Docs" << false;
        QTest::newRow("unknown in the middle") << "Brindlex - Acme/Docs/a/missing/f.txt" << "" << "Docs" << false;
        QTest::newRow("name case differs") << "Brindlex - Acme/docs/a" << "" << "" << false;
        QTest::newRow("sibling with same prefix") << "Brindlex - Acme/Docs 2" << "Docs 2" << "Docs 2" << true;
        QTest::newRow("nothing of the sibling") << "Brindlex - Acme/Docs 2/a" << "" << "Docs 2" << false;
        QTest::newRow("longest prefix wins") << "Brindlex - Acme/Docs/Inner/x" << "x" << "Inner" << true;
        QTest::newRow("nested library, a quote") << "Brindlex - Acme/Docs/Inner/x/it's.txt" << "quote" << "Inner" << true;
        QTest::newRow("tenant folder alone") << "Brindlex - Acme" << "" << "" << false;
        QTest::newRow("outside the store") << "/elsewhere/Brindlex - Acme/Docs" << "" << "" << false;
        QTest::newRow("library without folder") << "#hidden file" << "" << "" << false;
        QTest::newRow("parent missing") << "#orphan" << "" << "" << false;
        QTest::newRow("unknown id") << "#none" << "" << "" << false;
    }

    void clientPaths()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        QFETCH(QString, library);
        QFETCH(bool, canonical);
        Fixture f;
        const PathTree tree(f);
        if (path.startsWith('#')) {
            QCOMPARE(f.db->getClientPath(tree.ids.value(path.mid(1), 999)), QString());
            return;
        }
        const QString absolute = path.startsWith('/') ? path : f.libraryPath(path);
        QCOMPARE(f.db->getClientIdByClientPath(absolute), tree.ids.value(expected));
        const SyncLibrary::Ptr found = f.db->getLibraryByClientPath(absolute);
        QCOMPARE(found ? found->ClientId : ItemId(0), tree.ids.value(library));
        if (canonical)
            QCOMPARE(f.db->getClientPath(tree.ids.value(expected)), absolute);
    }
};

BXSYNC_TEST_MAIN(TestSyncDatabase)
#include "tst_syncdatabase.moc"
