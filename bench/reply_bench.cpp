// Memory the engine spends on server answers too large to keep: an endless JSON-RPC answer, refused
// at the reply ceiling, and a hierarchy answer far past it, kept on disk and parsed from there.
// usage: reply_bench [--hierarchy-mib N]   (default 300)

#include "BenchSupport.h"
#include "Config.h"
#include "JsonSaxHierarchyParser.h"
#include "MetaTypes.h"
#include "ReferenceServer.h"
#include "ServerApi.h"
#include "UserSessionController.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>

#include <cstdio>

using testsupport::ReferenceServer;

namespace {

constexpr qint64 kMiB = 1048576;

void printRow(const char *what, const ErrorCode &error, double seconds, const bench::PeakMemory &memory)
{
    std::printf("%-58s %-22s %7.2f s   peak resident +%6.1f MiB\n", what, qPrintable(error.errorName), seconds,
                double(memory.peak() - memory.base()) / kMiB);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerEngineMetaTypes();
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text.left(300)));
    });
    const QStringList args = app.arguments();
    const int hierarchyMiB = args.size() > 2 && args.at(1) == "--hierarchy-mib" ? qMax(60, args.at(2).toInt()) : 300;

    ReferenceServer server;
    QTemporaryDir data; // the engine's data folder: where an oversized answer is kept
    if (!server.isRunning() || !data.isValid())
        return 1;
    server.trustCa();
    CConfig::setInstance(QSharedPointer<CConfig>(new CConfig(data.path())));
    const QSharedPointer<CUserSessionController> sessions = server.signIn();
    const ReferenceServer::Library created = server.createLibrary("bench-tenant");
    if (created.id == 0)
        return 1;

    {
        server.addFault({{"type", "pad"}, {"method", "Items.getRole"}, {"size", 1 << 30}, {"chunked", true}});
        bench::PeakMemory memory;
        QElapsedTimer timer;
        timer.start();
        QEventLoop loop;
        ErrorCode result;
        auto *request = new brindlex::Items::CItemsGetRoleRequest(sessions->getUserSession(), created.tenantId,
                                                                  qint64(created.id));
        QObject::connect(request, &brindlex::Items::CItemsGetRoleRequest::finishedSignal, &loop,
                         [&](ErrorCode error) { result = error; loop.quit(); });
        request->exec();
        loop.exec();
        memory.stop();
        printRow("endless JSON-RPC answer (1 GiB without a length)", result, timer.elapsed() / 1000.0, memory);
    }

    {
        server.addFault({{"type", "pad"}, {"method", "FileSync.getHierarchy"}, {"size", hierarchyMiB * kMiB}});
        SyncLibrary::Ptr library(new SyncLibrary());
        library->ClientId = 1;
        library->ServerId = created.id;
        library->TenantId = created.tenantId;
        bench::PeakMemory memory;
        QElapsedTimer timer;
        timer.start();
        QEventLoop loop;
        ErrorCode result;
        auto *request = new brindlex::FileSync::CFileSyncGetHierarchyRequest(
            sessions->getUserSession(), library, created.tenantId, qint64(created.id));
        request->setBodyLogging(false);
        QObject::connect(request, &brindlex::FileSync::CFileSyncGetHierarchyRequest::finishedSignal, &loop,
                         [&](ErrorCode error, const brindlex::FileSync::CFileSyncGetHierarchyResponse &response) {
                             result = error;
                             CJsonSaxHierarchyParser parser;
                             if (error.isSuccess() && (!response.spool || !parser.parseFile(response.spool->fileName())))
                                 result = ServerApiErrorCode::ErrorInternal;
                             loop.quit();
                         });
        request->exec();
        loop.exec();
        memory.stop();
        const QByteArray what = QStringLiteral("hierarchy answer of %1 MiB, kept on disk and parsed").arg(hierarchyMiB).toUtf8();
        printRow(what.constData(), result, timer.elapsed() / 1000.0, memory);
    }

    CNetworkAccessManager::deleteInstanceForCurrentThread();
    CConfig::setInstance({});
    return 0;
}
