// Measures the progress report: the database's counts on a large library, building a report with
// many files in transfer, and how many counts queries a long burst of database changes costs.
// Usage: build/bench/progress_bench [files]   (files defaults to 100000)

#include "MetaTypes.h"
#include "SyncDatabase.h"
#include "SyncProgress.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include "BenchSupport.h"

#include <cstdio>
#include <memory>

namespace {

void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "critical: %s\n", qPrintable(text));
}

void print(const char *what, double value, const char *unit)
{
    std::printf("%-52s %12.2f %s\n", what, value, unit);
    std::fflush(stdout);
}

void waitMs(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerEngineMetaTypes();
    qInstallMessageHandler(quietHandler);
    const int files = bench::fileCountArgument(argc, argv);
    bench::Folders folders;
    if (!folders.ok())
        return 1;
    auto db = QSharedPointer<CSyncDatabase>::create(folders.data.path());

    SyncLibrary::Ptr library(new SyncLibrary);
    library->ClientName = QStringLiteral("Brindlex - Bench/Lib");
    library->ServerName = QStringLiteral("Lib");
    library->TeamId = library->TenantId = QStringLiteral("bench");
    library->syncStatus.ServerStatus = library->syncStatus.ClientStatus = StatusSynchronized;
    const ItemId lib = db->insertLibrary(library);
    QVector<ItemId> ids;
    db->beginTransaction();
    for (int i = 0; i < files; ++i) {
        SyncFile::Ptr file(new SyncFile);
        file->ParentClientId = file->LibraryClientId = lib;
        file->ServerName = file->ClientName = QStringLiteral("f%1").arg(i);
        file->ServerId = quint64(i) + 1;
        file->Size = quint64(3) << 30; // 3 GiB each: the sums go far past 32 bits
        // One file in ten waits for a download, one in twenty for an upload.
        file->syncStatus.ServerStatus = i % 10 == 0 ? StatusNew : StatusSynchronized;
        file->syncStatus.ClientStatus = i % 20 == 5 ? StatusChanged : StatusSynchronized;
        ids << db->insertFile(file);
    }
    db->commitTransaction();

    QElapsedTimer timer;
    timer.start();
    const int countRuns = 20;
    SyncProgressCounts counts;
    for (int i = 0; i < countRuns; ++i)
        counts = db->getSyncProgressCounts();
    print(qPrintable(QStringLiteral("counts query, %1 files").arg(files)), timer.nsecsElapsed() / 1e6 / countRuns, "ms");
    print("  bytes to download (GiB)", double(counts.bytesToDownload) / (quint64(1) << 30), "GiB");

    QList<SyncProgressFile::Ptr> inTransfer;
    for (int i = 0; i < 1000; ++i) {
        SyncProgressFile::Ptr f(new SyncProgressFile);
        f->id = QStringLiteral("{%1}").arg(i);
        f->fileName = QStringLiteral("file %1.bin").arg(i);
        f->operation = i % 2;
        f->bytesDone = quint64(i) << 20;
        f->bytesTotal = quint64(1) << 32;
        inTransfer << f;
    }
    timer.restart();
    const int reportRuns = 50;
    qsizetype reportSize = 0;
    for (int i = 0; i < reportRuns; ++i)
        reportSize = syncprogress::reportJson(counts, inTransfer).size();
    print("report with 1000 files in transfer", timer.nsecsElapsed() / 1e6 / reportRuns, "ms");
    print("  its size", reportSize / 1024.0, "KiB");

    {
        auto manager = std::make_shared<CSyncProgressManager>(db);
        int reports = 0;
        QObject::connect(manager.get(), &CSyncProgressManager::syncProgressChangedSignal, &app, [&] { ++reports; });
        timer.restart();
        const int changes = 10000;
        for (int i = 0; i < changes; ++i)
            db->updateFile(ids.at(i % ids.size()), CSqlValue("Size", quint64(i)));
        const qint64 burstMs = timer.elapsed();
        waitMs(2500);
        print(qPrintable(QStringLiteral("burst of %1 changes over %2 ms: counts queries").arg(changes).arg(burstMs)),
              double(manager->countsQueryCount()), "");
        print("  reports", double(reports), "");
    }
    db->closeDatabaseForCurrentThread();
    print("peak memory", bench::peakMemory().section(' ', 0, 0).toDouble() / 1024.0, "MiB");
    return 0;
}
