// Measures setFileLibraries with a long library list: the engine thread is blocked for that long,
// and a stop() waits behind it.
// Usage: build/bench/library_bench [libraries]   (defaults to 30000)

#include "AppStatusController.h"
#include "MetaTypes.h"
#include "SyncDatabase.h"
#include "SyncModeApplication.h"
#include "UserSessionController.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "BenchSupport.h"

#include <cstdio>

namespace {

// The figures are about the database, not the log writer.
void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "critical: %s\n", qPrintable(text));
}

QString libraryList(int count, int step, const QString &teamId)
{
    QJsonArray list;
    for (int i = 1; i <= count; i += step) {
        list.append(QJsonObject{{"teamId", teamId}, {"tenantId", "t1"}, {"tenantName", "Acme"},
                                {"id", QString::number(i)}, {"name", "L" + QString::number(i)}});
    }
    return QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerEngineMetaTypes();
    const int count = argc > 1 ? qMax(1, QString::fromLocal8Bit(argv[1]).toInt()) : 30000;
    bench::Folders folders;
    if (!folders.ok())
        return 1;
    qInstallMessageHandler(quietHandler);

    QSharedPointer<CSyncDatabase> database(new CSyncDatabase(folders.data.path()));
    QSharedPointer<CAppStatusController> status(new CAppStatusController([] { return true; }));
    QSharedPointer<CUserSessionController> sessions(new CUserSessionController(status));
    QScopedPointer<CSyncModeApplication> engine(new CSyncModeApplication(database, status, sessions));

    const struct
    {
        const char *what;
        QString list;
    } rounds[] = {
        {"subscribe every library", libraryList(count, 1, "team1")},
        {"same list again (no change)", libraryList(count, 1, "team1")},
        {"drop every second library, new team for the rest", libraryList(count, 2, "team2")},
    };
    for (const auto &round : rounds) {
        const quint64 statements = database->statementCount();
        QElapsedTimer timer;
        timer.start();
        engine->setFileLibraries(round.list);
        std::printf("%-52s %8lld ms %8llu statements (%d libraries)\n", round.what,
                    static_cast<long long>(timer.elapsed()),
                    static_cast<unsigned long long>(database->statementCount() - statements), count);
        std::fflush(stdout);
    }
    std::printf("peak resident memory: %s\n", qPrintable(bench::peakMemory()));
    engine.reset();
    database->closeDatabaseForCurrentThread();
    return 0;
}
