// Measures the sync database on a library of 100000 files in 5000 folders (five levels).
// Usage: build/bench/db_bench [files]   (files defaults to 100000; folders are files / 20)

#include "Config.h"
#include "MetaTypes.h"
#include "SyncDatabase.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlError>
#include <QTemporaryDir>

#include "BenchSupport.h"
#include <QTextStream>

#include <atomic>
#include <cstdio>
#include <random>

namespace {

std::atomic<qint64> g_logLines{0};

// The engine logs every modifying statement; the figures are about the database, not the log writer.
void countingHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    ++g_logLines;
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "critical: %s\n", qPrintable(text));
}

void print(const char *what, double value, const char *unit, qint64 operations)
{
    std::printf("%-58s %12.1f %-8s (%lld ops)\n", what, value, unit, static_cast<long long>(operations));
    std::fflush(stdout);
}

struct Tree
{
    ItemId library = 0;
    QVector<ItemId> folders;          // in creation order
    QVector<ItemId> topFolders;       // level 1
    QVector<QString> folderPaths;     // relative to the library folder
    QVector<int> folderLevels;
    QVector<ItemId> files;
    QVector<quint64> fileServerIds;
    QVector<QString> deepFilePaths;   // files in level-4 folders: depth 5 below the library
};

SyncFile::Ptr makeFile(ItemId parent, ItemId library, const QString &name, quint64 serverId)
{
    SyncFile::Ptr file(new SyncFile);
    file->ParentClientId = parent;
    file->LibraryClientId = library;
    file->ServerId = serverId;
    file->ServerName = name;
    file->ClientName = name;
    file->Size = 1000 + serverId % 5000;
    file->Sic = QStringLiteral("sic-%1").arg(serverId);
    file->Hash = QStringLiteral("da39a3ee5e6b4b0d3255bfef95601890afd80709");
    file->syncStatus.ServerStatus = StatusNew;
    file->syncStatus.ClientStatus = StatusSynchronized;
    return file;
}

// Five levels, five children per folder down to level 4, the rest spread over level 4 as level 5.
void buildFolders(CSyncDatabase &db, Tree &tree, int folderCount)
{
    quint64 serverId = 1000000;
    QVector<int> parents{-1};
    for (int level = 1; level <= 5 && tree.folders.size() < folderCount; ++level) {
        QVector<int> next;
        const int perParent = level < 5 ? 5 : (folderCount - tree.folders.size() + parents.size() - 1) / parents.size();
        for (int round = 0; round < perParent; ++round) {
            for (int parentIndex : qAsConst(parents)) {
                if (tree.folders.size() >= folderCount)
                    break;
                SyncFolder::Ptr folder(new SyncFolder);
                folder->ParentClientId = parentIndex < 0 ? tree.library : tree.folders.at(parentIndex);
                folder->LibraryClientId = tree.library;
                folder->ServerId = ++serverId;
                folder->ClientName = QStringLiteral("folder %1").arg(tree.folders.size());
                folder->ServerName = folder->ClientName;
                folder->syncStatus.ServerStatus = StatusNew;
                folder->syncStatus.ClientStatus = StatusSynchronized;
                tree.folders.append(db.insertFolder(folder));
                tree.folderPaths.append((parentIndex < 0 ? QString() : tree.folderPaths.at(parentIndex) + '/')
                                        + folder->ClientName);
                tree.folderLevels.append(level);
                if (level == 1)
                    tree.topFolders.append(tree.folders.last());
                next.append(tree.folders.size() - 1);
            }
        }
        parents = next;
    }
}

double insertFiles(CSyncDatabase &db, Tree &tree, int fileCount)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < fileCount; ++i) {
        const int folderIndex = i % tree.folders.size();
        const quint64 serverId = 1 + i;
        const QString name = QStringLiteral("file %1.txt").arg(i);
        tree.files.append(db.insertFile(makeFile(tree.folders.at(folderIndex), tree.library, name, serverId)));
        tree.fileServerIds.append(serverId);
        if (tree.folderLevels.at(folderIndex) == 4)
            tree.deepFilePaths.append(tree.folderPaths.at(folderIndex) + '/' + name);
    }
    return timer.nsecsElapsed() / 1e9;
}

// The same rows written with one prepared statement inside one transaction: what SQLite itself needs.
double rawInsertFloor(const QString &directory, const Tree &tree, int fileCount)
{
    {
        CSyncDatabase schema(directory); // same tables and indexes
        schema.getDatabaseConnection();
    }
    double seconds = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw-floor"));
        db.setDatabaseName(directory + "/bxsync.db");
        if (!db.open()) {
            std::fprintf(stderr, "raw floor: cannot open: %s\n", qPrintable(db.lastError().text()));
            return 0;
        }
        QSqlQuery pragma(db);
        pragma.exec(QStringLiteral("PRAGMA synchronous=NORMAL;"));
        QElapsedTimer timer;
        timer.start();
        db.transaction();
        QSqlQuery insert(db);
        insert.prepare(QStringLiteral(
            "INSERT INTO Files (ClientId,ServerId,ServerName,ClientName,ParentClientId,LibraryClientId,Hash,Sic,Attr,"
            "CreatedTime,UpdatedTime,CreatedBy,UpdatedBy,ServerStatus,ClientStatus,Size) "
            "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"));
        for (int i = 0; i < fileCount; ++i) {
            const SyncFile::Ptr file = makeFile(tree.folders.at(i % tree.folders.size()), tree.library,
                                                QStringLiteral("file %1.txt").arg(i), 1 + i);
            const QVariantList values = {quint64(10000 + i), file->ServerId, file->ServerName, file->ClientName,
                                         file->ParentClientId, file->LibraryClientId, file->Hash, file->Sic, 0, 0, 0,
                                         QString(), QString(), file->syncStatus.ServerStatus,
                                         file->syncStatus.ClientStatus, file->Size};
            for (int c = 0; c < values.size(); ++c)
                insert.bindValue(c, values.at(c));
            if (!insert.exec()) {
                std::fprintf(stderr, "raw floor: insert failed: %s\n", qPrintable(insert.lastError().text()));
                break;
            }
        }
        db.commit();
        seconds = timer.nsecsElapsed() / 1e9;
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("raw-floor"));
    return seconds;
}

template<typename Operation>
double microsecondsPerOperation(int operations, Operation operation)
{
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < operations; ++i)
        operation(i);
    return timer.nsecsElapsed() / 1e3 / operations;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerEngineMetaTypes();
    QCoreApplication::setApplicationName(QStringLiteral("Brindlex"));
    const int fileCount = bench::fileCountArgument(argc, argv);
    const int folderCount = fileCount / 20;

    qInstallMessageHandler(countingHandler);
    const bench::Folders folders;
    if (!folders.ok()) {
        std::fprintf(stderr, "cannot create temporary folders\n");
        return 1;
    }
    const QTemporaryDir &dataDir = folders.data;
    const QTemporaryDir &floorDir = folders.floor;

    std::printf("db_bench: %d files in %d folders, database in %s\n", fileCount, folderCount, qPrintable(dataDir.path()));
    CSyncDatabase db(dataDir.path());
    if (!db.getDatabaseConnection().isOpen()) {
        std::fprintf(stderr, "cannot open the database\n");
        return 1;
    }

    Tree tree;
    SyncLibrary::Ptr library(new SyncLibrary);
    library->ClientName = QStringLiteral("Brindlex - Bench/Library");
    library->TenantId = QStringLiteral("bench");
    library->ServerId = 1;
    library->syncStatus.ServerStatus = StatusSynchronized;
    library->syncStatus.ClientStatus = StatusSynchronized;
    tree.library = db.insertLibrary(library);
    buildFolders(db, tree, folderCount);

    const qint64 linesBefore = g_logLines;
    const double insertSeconds = insertFiles(db, tree, fileCount);
    print("insertFile (engine, one statement set per file)", fileCount / insertSeconds, "files/s", fileCount);
    print("  log lines per insertFile", double(g_logLines - linesBefore) / fileCount, "lines", fileCount);
    const double floorSeconds = rawInsertFloor(floorDir.path(), tree, fileCount);
    print("raw SQLite insert, one transaction (floor)", fileCount / floorSeconds, "files/s", fileCount);

    std::mt19937 random(42);
    const auto pick = [&](int size) { return static_cast<int>(random() % size); };

    print("getFileByServerId", microsecondsPerOperation(2000, [&](int) {
              db.getFileByServerId(tree.fileServerIds.at(pick(tree.fileServerIds.size())), tree.library);
          }), "us/op", 2000);

    const QString libraryPath = syncpath::libraryFolderPath(*db.getLibrary(tree.library));
    if (tree.deepFilePaths.isEmpty()) {
        std::printf("getClientIdByClientPath (depth 5): no file that deep with this few files\n");
    } else {
        print("getClientIdByClientPath (depth 5)", microsecondsPerOperation(1000, [&](int) {
                  db.getClientIdByClientPath(libraryPath + '/' + tree.deepFilePaths.at(pick(tree.deepFilePaths.size())));
              }), "us/op", 1000);
    }

    print("getOneNotSynchronizedItemFromLibrary (new folders first)", microsecondsPerOperation(20, [&](int) {
              db.getOneNotSynchronizedItemFromLibrary(tree.library);
          }) / 1000, "ms/op", 20);

    // Folders synchronised, so the pick has to go through the files.
    db.execQuery(QStringLiteral("UPDATE Folders SET ServerStatus = 1;"));
    print("getOneNotSynchronizedItemFromLibrary (only new files left)", microsecondsPerOperation(20, [&](int) {
              db.getOneNotSynchronizedItemFromLibrary(tree.library);
          }) / 1000, "ms/op", 20);

    print("getSyncProgressCounts", microsecondsPerOperation(20, [&](int) { db.getSyncProgressCounts(); }) / 1000,
          "ms/op", 20);

    print("isSynchronized (first row differs)", microsecondsPerOperation(200, [&](int) {
              db.isSynchronized(tree.library, false);
          }), "us/op", 200);
    db.execQuery(QStringLiteral("UPDATE Files SET ServerStatus = 1;"));
    print("isSynchronized (all synchronised: whole library read)", microsecondsPerOperation(20, [&](int) {
              db.isSynchronized(tree.library, false);
          }) / 1000, "ms/op", 20);
    print("getOneNotSynchronizedItemFromLibrary (all synchronised)", microsecondsPerOperation(20, [&](int) {
              db.getOneNotSynchronizedItemFromLibrary(tree.library);
          }) / 1000, "ms/op", 20);

    const quint32 itemsBefore = db.countFiles() + db.countFolders();
    QElapsedTimer timer;
    timer.start();
    db.deleteFolder(tree.topFolders.first());
    const double deleteMs = timer.nsecsElapsed() / 1e6;
    const quint32 deleted = itemsBefore - (db.countFiles() + db.countFolders());
    print("deleteFolder (whole subtree, one transaction)", deleteMs, "ms", 1);
    print("  items in that subtree", deleted, "items", 1);

    std::printf("peak memory (VmHWM): %s\n", qPrintable(bench::peakMemory()));
    db.closeDatabaseForCurrentThread();
    return 0;
}
