// Projects a server library of 100000 files in 5000 folders into an empty database, then again
// unchanged, then with 1% of the files changed, 1% moved and 1% deleted, and prints time,
// statements and rows written per pass next to a raw SQLite insert of the same rows.
// Usage: build/bench/projection_bench [files]   (files defaults to 100000; folders are files / 20)

#include "AppStatusController.h"
#include "Config.h"
#include "MetaTypes.h"
#include "ServerHierarchyProjector.h"
#include "SyncDatabase.h"
#include "UserSessionController.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlError>
#include <QTemporaryDir>

#include "BenchSupport.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

std::atomic<qint64> g_writeStatements{0};

// The engine logs every modifying statement; counting them is all the log is good for here.
void countingHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg && text.startsWith(QLatin1String("CSyncDatabase::execQuery: "))
        && !text.startsWith(QLatin1String("CSyncDatabase::execQuery: error")))
        ++g_writeStatements;
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "critical: %s\n", qPrintable(text));
}

const quint64 kLibraryServerId = 1;
const quint64 kFirstFolderId = 100;
const quint64 kFirstFileId = 1000000;

// The server side as flat lists; turned into the nested hierarchy for each pass.
struct ServerLibrary
{
    struct FolderRow
    {
        int parent = -1; // index into folders, -1: the library
        brindlex::Folder folder;
    };
    struct FileRow
    {
        int folder = 0;
        bool deleted = false;
        brindlex::File file;
    };
    std::vector<FolderRow> folders;
    std::vector<FileRow> files;
    int version = 1;

    brindlex::Hierarchy hierarchy() const
    {
        std::vector<std::vector<int>> childFolders(folders.size());
        std::vector<std::vector<int>> childFiles(folders.size());
        std::vector<int> rootFolders;
        for (int i = 0; i < int(folders.size()); ++i)
            (folders[i].parent < 0 ? rootFolders : childFolders[folders[i].parent]).push_back(i);
        for (int i = 0; i < int(files.size()); ++i) {
            if (!files[i].deleted)
                childFiles[files[i].folder].push_back(i);
        }
        std::function<brindlex::Folder(int)> build = [&](int index) {
            brindlex::Folder folder = folders[index].folder;
            for (int f : childFiles[index])
                folder.files.append(files[f].file);
            for (int c : childFolders[index])
                folder.folders.append(build(c));
            return folder;
        };
        brindlex::Hierarchy h;
        h.id = kLibraryServerId;
        h.state = QStringLiteral("library-state-%1").arg(version);
        h.tenantId = QStringLiteral("bench");
        h.tenantName = QStringLiteral("Bench");
        for (int r : rootFolders)
            h.folders.append(build(r));
        return h;
    }
};

// Ten top folders, ten below each, and so on until the count is reached; 20 files per folder.
ServerLibrary makeServerLibrary(int fileCount, int folderCount)
{
    ServerLibrary library;
    std::vector<int> level{-1};
    while (int(library.folders.size()) < folderCount) {
        std::vector<int> next;
        for (int parent : level) {
            for (int k = 0; k < 10 && int(library.folders.size()) < folderCount; ++k) {
                ServerLibrary::FolderRow row;
                row.parent = parent;
                row.folder.id = kFirstFolderId + library.folders.size();
                row.folder.name = QStringLiteral("folder %1").arg(library.folders.size());
                row.folder.modifiedTime = QStringLiteral("2023-01-01T00:00:00Z");
                next.push_back(int(library.folders.size()));
                library.folders.push_back(row);
            }
        }
        level = next;
    }
    for (int i = 0; i < fileCount; ++i) {
        ServerLibrary::FileRow row;
        row.folder = i % folderCount;
        row.file.id = kFirstFileId + i;
        row.file.name = QStringLiteral("file %1.txt").arg(i);
        row.file.state = QStringLiteral("sic-%1-1").arg(i);
        row.file.createdTime = QStringLiteral("2023-01-01T10:00:00Z");
        row.file.modifiedTime = QStringLiteral("2023-02-03T11:22:33Z");
        row.file.fileSize = 1000 + i % 5000;
        row.file.contentHash = QStringLiteral("%1").arg(i, 40, 16, QLatin1Char('0'));
        library.files.push_back(row);
    }
    return library;
}

qint64 totalChanges(CSyncDatabase &db)
{
    const QSqlQuery query = db.execQuery(QStringLiteral("SELECT total_changes();"));
    return query.isValid() ? query.value(0).toLongLong() : -1;
}

struct PassFigures
{
    double seconds = 0;
    quint64 statements = 0;
    qint64 writeStatements = 0;
    qint64 rowsWritten = 0;
};

PassFigures runPass(CSyncDatabase &db, const QSharedPointer<CSyncDatabase> &shared,
                    const QSharedPointer<CUserSessionController> &sessions, ItemId libraryClientId,
                    const brindlex::Hierarchy &hierarchy)
{
    PassFigures figures;
    const qint64 changesBefore = totalChanges(db);
    const quint64 statementsBefore = db.statementCount();
    const qint64 writesBefore = g_writeStatements;
    QElapsedTimer timer;
    timer.start();
    CServerHierarchyProjector projector(shared, sessions, db.getLibrary(libraryClientId));
    const ErrorCode result = projector.projectHierarchy(hierarchy);
    figures.seconds = timer.nsecsElapsed() / 1e9;
    figures.statements = db.statementCount() - statementsBefore;
    figures.writeStatements = g_writeStatements - writesBefore;
    figures.rowsWritten = totalChanges(db) - changesBefore;
    if (!result.isSuccess())
        std::fprintf(stderr, "projection failed: %s\n", qPrintable(result.errorName));
    return figures;
}

void print(const char *what, const PassFigures &f)
{
    // The library row (its sic and server status) is written by every pass.
    std::printf("%-44s %8.2f s  %9llu statements  %7lld writes  %7lld rows (items %lld)\n", what, f.seconds,
                static_cast<unsigned long long>(f.statements), static_cast<long long>(f.writeStatements),
                static_cast<long long>(f.rowsWritten), static_cast<long long>(f.rowsWritten - 1));
    std::fflush(stdout);
}

// The same rows with two prepared statements inside one transaction: what SQLite itself needs.
double rawInsertFloor(const QString &directory, const ServerLibrary &server)
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
        QSqlQuery folder(db);
        folder.prepare(QStringLiteral("INSERT INTO Folders (ClientId,ServerId,ServerName,ClientName,ParentClientId,"
                                      "LibraryClientId,CreatedTime,UpdatedTime,Attr,CreatedBy,UpdatedBy,ServerStatus,"
                                      "ClientStatus) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)"));
        for (size_t i = 0; i < server.folders.size(); ++i) {
            const auto &row = server.folders[i];
            const QVariantList values = {quint64(2 + i), row.folder.id, row.folder.name, QString(),
                                         row.parent < 0 ? quint64(1) : quint64(2 + row.parent), quint64(1), 0, 0, 0,
                                         QString(), QString(), 2, 1};
            for (int c = 0; c < values.size(); ++c)
                folder.bindValue(c, values.at(c));
            folder.exec();
        }
        QSqlQuery file(db);
        file.prepare(QStringLiteral(
            "INSERT INTO Files (ClientId,ServerId,ServerName,ClientName,ParentClientId,LibraryClientId,Hash,Sic,Attr,"
            "CreatedTime,UpdatedTime,CreatedBy,UpdatedBy,ServerStatus,ClientStatus,Size) "
            "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"));
        const quint64 firstFileClientId = 2 + server.folders.size();
        for (size_t i = 0; i < server.files.size(); ++i) {
            const auto &row = server.files[i];
            const QVariantList values = {firstFileClientId + i, row.file.id, row.file.name, QString(),
                                         quint64(2 + row.folder), quint64(1), row.file.contentHash.toString(), row.file.state.toString(), 0,
                                         1672567200, 1675423353, QString(), QString(), 2, 1, row.file.fileSize};
            for (int c = 0; c < values.size(); ++c)
                file.bindValue(c, values.at(c));
            if (!file.exec()) {
                std::fprintf(stderr, "raw floor: insert failed: %s\n", qPrintable(file.lastError().text()));
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
    std::printf("projection_bench: %d files in %d folders, database in %s\n", fileCount, folderCount,
                qPrintable(dataDir.path()));

    const QSharedPointer<CSyncDatabase> shared(new CSyncDatabase(dataDir.path()));
    CSyncDatabase &db = *shared;
    if (!db.getDatabaseConnection().isOpen()) {
        std::fprintf(stderr, "cannot open the database\n");
        return 1;
    }
    const QSharedPointer<CAppStatusController> status(new CAppStatusController([] { return true; }));
    const QSharedPointer<CUserSessionController> sessions(new CUserSessionController(status));

    SyncLibrary::Ptr library(new SyncLibrary);
    library->ServerId = kLibraryServerId;
    library->TenantId = QStringLiteral("bench");
    library->TenantName = QStringLiteral("Bench");
    library->ServerName = QStringLiteral("Library");
    library->syncStatus.ServerStatus = StatusNew;
    library->syncStatus.ClientStatus = StatusSynchronized;
    const ItemId libraryClientId = db.insertLibrary(library);

    ServerLibrary server = makeServerLibrary(fileCount, folderCount);
    QElapsedTimer building;
    building.start();
    const brindlex::Hierarchy first = server.hierarchy();
    std::printf("%-44s %8.2f s\n", "building the hierarchy records (not projected)", building.nsecsElapsed() / 1e9);

    print("1 empty database: everything new", runPass(db, shared, sessions, libraryClientId, first));
    const PassFigures unchanged = runPass(db, shared, sessions, libraryClientId, first);
    print("2 unchanged re-projection", unchanged);

    // What the sync engine leaves behind once it has fetched everything.
    db.execQuery(QStringLiteral("UPDATE Files SET ServerStatus = 1, ClientName = ServerName;"));
    db.execQuery(QStringLiteral("UPDATE Folders SET ServerStatus = 1, ClientName = ServerName;"));
    const int onePercent = fileCount / 100;
    for (int i = 0; i < onePercent; ++i) {
        auto &changed = server.files[size_t(i) * 97 % server.files.size()];
        changed.file.state = QStringLiteral("sic-%1-2").arg(changed.file.id);
        changed.file.contentHash = QStringLiteral("%1").arg(changed.file.id, 40, 16, QLatin1Char('f'));
        auto &moved = server.files[(size_t(i) * 97 + 31) % server.files.size()];
        moved.folder = (moved.folder + 1) % folderCount;
        server.files[(size_t(i) * 97 + 63) % server.files.size()].deleted = true;
    }
    server.version = 2;
    const PassFigures changes = runPass(db, shared, sessions, libraryClientId, server.hierarchy());
    print("3 with 1% changed, 1% moved, 1% deleted", changes);

    const double floorSeconds = rawInsertFloor(floorDir.path(), server);
    std::printf("%-44s %8.2f s  %9d statements\n", "raw SQLite insert, one transaction (floor)", floorSeconds,
                fileCount + folderCount);
    std::printf("unchanged re-projection wrote item rows: %lld%s\n", static_cast<long long>(unchanged.rowsWritten - 1),
                unchanged.rowsWritten - 1 == 0 ? "" : "  <-- must be 0");
    std::printf("peak memory (VmHWM): %s\n", qPrintable(bench::peakMemory()));
    db.closeDatabaseForCurrentThread();
    return unchanged.rowsWritten - 1 == 0 ? 0 : 2;
}
