// Local change tracking end to end, with a stand-in sync engine that "uploads" every recorded
// change at once: from creating files in a running engine to the last upload, from starting on a
// folder of existing files to the last upload, the share of fixed pauses, and the stop time.

#include "ClientWatcher.h"
#include "Config.h"
#include "FakeSyncEngine.h"
#include "MetaTypes.h"
#include "SyncDatabase.h"
#include "TestMain.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include <cstdio>

namespace {

QtMessageHandler g_next = nullptr;
void warningsOnly(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtDebugMsg && type != QtInfoMsg && g_next)
        g_next(type, context, text);
}

void createFiles(const QString &root, int count, int perFolder)
{
    for (int i = 0; i < count; ++i) {
        const QString folder = QStringLiteral("%1/D%2/E%3").arg(root).arg(i / perFolder % 7).arg(i / perFolder);
        if (i % perFolder == 0)
            QDir().mkpath(folder);
        QFile file(folder + QStringLiteral("/f%1.txt").arg(i));
        if (file.open(QIODevice::WriteOnly))
            file.write(QByteArray::number(i).repeated(20));
    }
}

// Runs the event loop until every file is recorded and taken to the "server"; -1 on time-out.
qint64 waitForUploads(CSyncDatabase &db, testsupport::FakeSyncEngine &engine, int files, const QElapsedTimer &clock)
{
    while (clock.elapsed() < 600000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (engine.counts.value(QStringLiteral("file new")) >= files && db.isSynchronized(0, false))
            return clock.elapsed();
    }
    return -1;
}

void report(const char *what, qint64 totalMs, qint64 pausedMs)
{
    std::printf("%-46s %8.2f s   fixed pauses %7.2f s (%4.1f%%)\n", what, totalMs / 1000.0, pausedMs / 1000.0,
                totalMs > 0 ? 100.0 * double(pausedMs) / double(totalMs) : 0.0);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::IsolatedHome home;
    QCoreApplication app(argc, argv);
    registerEngineMetaTypes();
    QCoreApplication::setApplicationName(QStringLiteral("Brindlex"));
    if (qEnvironmentVariableIsEmpty("WATCH_BENCH_VERBOSE"))
        g_next = qInstallMessageHandler(warningsOnly);
    const int liveFiles = 1000;
    const int existingFiles = argc > 1 ? qMax(1000, QString::fromLocal8Bit(argv[1]).toInt()) : 10000;

    QTemporaryDir data;
    CConfig::setInstance(QSharedPointer<CConfig>(new CConfig(data.path())));
    const QString store = syncpath::storeFolder();
    QSharedPointer<CSyncDatabase> db(new CSyncDatabase(data.path()));

    const auto addLibrary = [&db](const QString &clientName) {
        SyncLibrary::Ptr library(new SyncLibrary);
        library->ClientName = clientName;
        library->ServerName = clientName;
        library->TenantId = clientName;
        library->syncStatus.ClientStatus = StatusSynchronized;
        library->syncStatus.ServerStatus = StatusSynchronized;
        db->insertLibrary(library);
        QDir().mkpath(syncpath::libraryFolderPath(*library));
        return syncpath::libraryFolderPath(*library);
    };

    {
        const QString root = addLibrary(QStringLiteral("Live/Lib"));
        testsupport::FakeSyncEngine engine(*db);
        CClientWatcherV2 watcher(db, {});
        watcher.startWatcher();
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 500)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        clock.restart();
        createFiles(root, liveFiles, 100);
        const qint64 created = clock.elapsed();
        const qint64 done = waitForUploads(*db, engine, liveFiles, clock);
        std::printf("created %d files in %.2f s\n", liveFiles, created / 1000.0);
        report("1000 new files in a running engine -> last upload", done, watcher.pausedMs());
        QElapsedTimer stop;
        stop.start();
        watcher.stopWatcherSlot();
        std::printf("%-46s %8.3f s\n", "stop with watchers running", stop.elapsed() / 1000.0);
    }
    {
        const QString root = addLibrary(QStringLiteral("Existing/Lib"));
        createFiles(root, existingFiles, 100);
        testsupport::FakeSyncEngine engine(*db);
        QElapsedTimer clock;
        clock.start();
        CClientWatcherV2 watcher(db, {});
        watcher.sanityCheck();
        watcher.startWatcher();
        const qint64 done = waitForUploads(*db, engine, existingFiles, clock);
        const QString what = QStringLiteral("start on %1 existing files -> last upload").arg(existingFiles);
        report(qPrintable(what), done, watcher.pausedMs());
        QElapsedTimer stop;
        stop.start();
        watcher.stopWatcherSlot();
        std::printf("%-46s %8.3f s\n", "stop with watchers running", stop.elapsed() / 1000.0);
    }
    db->closeDatabaseForCurrentThread();
    return 0;
}
