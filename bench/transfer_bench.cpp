// Download and upload speed of the engine's transfer requests against the reference server on
// loopback TLS, next to curl doing the same transfers in the same run (the floor this server
// allows), the engine's peak resident memory during the 1 GiB transfers, and the rates reached
// under configured speed limits.
//
// usage: transfer_bench [--sizes MiB,MiB,...] [--limited-seconds N]
//        defaults: --sizes 1,100,1024 --limited-seconds 10

#include "BenchSupport.h"
#include "Config.h"
#include "GetFileRequest.h"
#include "MetaTypes.h"
#include "ReferenceServer.h"
#include "UploadFileRequest.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

using testsupport::ReferenceServer;

namespace {

constexpr qint64 kMiB = 1048576;

void progress(const QString &text)
{
    std::fprintf(stderr, "transfer_bench: %s\n", qPrintable(text));
}

struct Outcome
{
    ErrorCode error = ServerApiErrorCode::ErrorUnknown;
    double seconds = 0;
    qint64 bytes = 0;
    qint64 fileId = 0;
    QByteArray hashHex;
    qint64 peakRss = 0;
    qint64 baseRss = 0;
};

class Bench
{
public:
    Bench(ReferenceServer &server, const QString &workDir)
        : m_server(server)
        , m_workDir(workDir)
    {
        m_library = m_server.createLibrary("bench");
        m_session.reset(new CUserSession());
        m_session->assign(CUserSessionJsonObject(m_server.sessionJson(m_server.token())));
    }

    bool ready() const { return m_library.id > 0 && m_session->isValid(); }

    // Pseudo-random bytes, so that nothing on the way can take a shortcut.
    QString makeLocalFile(const QString &name, qint64 size) const
    {
        const QString path = m_workDir + "/" + name;
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return QString();
        QByteArray block(4 * kMiB, Qt::Uninitialized);
        quint64 state = 0x9e3779b97f4a7c15ULL ^ quint64(size);
        for (qint64 left = size; left > 0;) {
            auto *words = reinterpret_cast<quint64 *>(block.data());
            for (int i = 0; i < block.size() / 8; ++i) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                words[i] = state;
            }
            const qint64 n = qMin<qint64>(left, block.size());
            if (file.write(block.constData(), n) != n)
                return QString();
            left -= n;
        }
        return path;
    }

    // Runs one engine transfer to its end (or until stopAfterMs), timing it and watching memory.
    template<typename Request>
    static void runTimed(Request *request, QEventLoop *loop, Outcome *outcome, int stopAfterMs)
    {
        if (stopAfterMs > 0)
            QTimer::singleShot(stopAfterMs, request, &CWorkspaceServerRequest::cancel);
        bench::PeakMemory memory;
        QElapsedTimer timer;
        timer.start();
        request->exec();
        if (outcome->error == ServerApiErrorCode::ErrorUnknown)
            loop->exec();
        outcome->seconds = timer.nsecsElapsed() / 1e9;
        memory.stop();
        outcome->baseRss = memory.base();
        outcome->peakRss = memory.peak();
    }

    Outcome engineUpload(const QString &path, const QString &name, qint64 size, int stopAfterMs = 0)
    {
        SyncLibrary::Ptr library = libraryRecord();
        SyncFile::Ptr file(new SyncFile());
        file->ClientId = 1000 + (++m_uploads);
        file->ClientName = name;
        file->Size = quint64(size);
        file->CreatedTime = file->UpdatedTime = QDateTime::currentDateTimeUtc();
        auto *request = new CUploadSyncFileRequest(m_session, UploadFileMethod::Create, path, library, library, file);

        Outcome outcome;
        QEventLoop loop;
        QObject::connect(request, &CUploadSyncFileRequest::fileUploadInfoSignal,
                         [&outcome](ItemId, qint64 done, qint64) { outcome.bytes = qMax(outcome.bytes, done); });
        QObject::connect(request, &CUploadSyncFileRequest::fileUploadCompletedSignal,
                         [&](ItemId, const ErrorCode &error, const CUploadFileResponse &response) {
                             outcome.error = error;
                             outcome.fileId = response.fileId;
                             loop.quit();
                         });
        runTimed(request, &loop, &outcome, stopAfterMs);
        if (outcome.error.isSuccess())
            outcome.bytes = size;
        return outcome;
    }

    Outcome engineDownload(qint64 fileId, int stopAfterMs = 0)
    {
        SyncLibrary::Ptr library = libraryRecord();
        SyncFile::Ptr file(new SyncFile());
        file->ClientId = 2000;
        file->ServerId = quint64(fileId);
        auto *request = new CGetFileRequest(m_session, library, file);

        Outcome outcome;
        QEventLoop loop;
        QObject::connect(request, &CGetFileRequest::fileDataReceived,
                         [&outcome](ItemId, const QString &, const char *, qint64 size) { outcome.bytes += size; });
        QObject::connect(request, &CGetFileRequest::fileCompletedSignal,
                         [&](ItemId, const CGetFileResponse &response, const ErrorCode &error) {
                             outcome.error = error;
                             outcome.hashHex = response.hash.toHex();
                             loop.quit();
                         });
        runTimed(request, &loop, &outcome, stopAfterMs);
        return outcome;
    }

    Outcome curlUpload(const QString &path, const QString &name, qint64 size)
    {
        const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
        QStringList args = curlCommon();
        args << "-X" << "POST" << "-T" << path << "-H" << "Expect:" << "-H" << "Content-Type: application/octet-stream"
             << "-H" << "X-id: " + QString::number(m_library.id) << "-H" << "X-state: " + m_server.libraryState(m_library)
             << "-H" << "X-length: " + QString::number(size) << "-H" << "X-createdTimeFS: " + now
             << "-H" << "X-modifiedTimeFS: " + now << "-H" << "X-method: create"
             << "-H" << "X-parentId: " + QString::number(m_library.id)
             << "-H" << "X-filename: " + QString::fromLatin1(name.toUtf8().toBase64())
             << "-H" << "X-conflictPolicy: RENAME_ON_CONFLICT"
             << "https://" + m_server.hostname() + "/" + m_library.tenantId + "/fileupload";
        Outcome outcome;
        const QByteArray answer = runCurl(args, &outcome.seconds);
        const QJsonObject result = QJsonDocument::fromJson(answer).object().value("result").toObject();
        outcome.error = result.isEmpty() ? ErrorCode(ServerApiErrorCode::ErrorUnknown) : ErrorCode(ServerApiErrorCode::ErrorSuccess);
        if (result.isEmpty())
            progress("curl upload failed: " + QString::fromUtf8(answer.left(300)));
        outcome.fileId = result.value("fileId").toString().toLongLong();
        outcome.bytes = size;
        return outcome;
    }

    Outcome curlDownload(qint64 fileId)
    {
        QStringList args = curlCommon();
        args << "-o" << "/dev/null" << "-w" << "%{size_download}"
             << "https://" + m_server.hostname() + "/" + m_library.tenantId + "/file/" + QString::number(fileId);
        Outcome outcome;
        outcome.bytes = runCurl(args, &outcome.seconds).trimmed().toLongLong();
        outcome.error = ServerApiErrorCode::ErrorSuccess;
        return outcome;
    }

    QString contentHash(const QString &name) const
    {
        return m_server.treeItem(m_library, name).value("contentHash").toString();
    }

    void deleteServerFile(qint64 fileId) const
    {
        m_server.admin("DELETE", m_library.path() + "/items/" + QString::number(fileId));
    }

private:
    SyncLibrary::Ptr libraryRecord() const
    {
        SyncLibrary::Ptr library(new SyncLibrary());
        library->ClientId = 1;
        library->ServerId = m_library.id;
        library->TenantId = m_library.tenantId;
        library->Sic = m_server.libraryState(m_library);
        return library;
    }

    QStringList curlCommon() const
    {
        return {"-sS", "--cacert", m_server.caFile(), "-H", "Authorization: Bearer " + m_server.token()};
    }

    static QByteArray runCurl(const QStringList &args, double *seconds)
    {
        QProcess curl;
        QElapsedTimer timer;
        timer.start();
        curl.start("curl", args);
        curl.waitForFinished(-1);
        *seconds = timer.nsecsElapsed() / 1e9;
        if (curl.exitCode() != 0)
            progress("curl failed: " + QString::fromUtf8(curl.readAllStandardError()));
        return curl.readAllStandardOutput();
    }

    ReferenceServer &m_server;
    const QString m_workDir;
    ReferenceServer::Library m_library;
    QSharedPointer<CUserSession> m_session;
    int m_uploads = 0;
};

QString sizeText(qint64 bytes)
{
    return bytes >= 1024 * kMiB ? QString::number(bytes / (1024 * kMiB)) + " GiB" : QString::number(bytes / kMiB) + " MiB";
}

void printRow(const QString &size, const QString &direction, const Outcome &engine, const Outcome &curl)
{
    const double engineRate = engine.bytes / double(kMiB) / engine.seconds;
    const double curlRate = curl.bytes / double(kMiB) / curl.seconds;
    std::printf("%-8s %-9s %9.2f %9.2f %11.1f %11.1f %8.2f %s\n", qPrintable(size), qPrintable(direction), engine.seconds,
                curl.seconds, engineRate, curlRate, engine.seconds / curl.seconds,
                engine.error.isSuccess() ? "" : qPrintable("engine error: " + engine.error.errorName));
}

bool useLimits(const QString &dir, int downloadKiBps, int uploadKiBps)
{
    QFile file(dir + "/bxsync_cfg.json");
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QString("{\"network\":{\"downloadSpeedLimit\":%1,\"uploadSpeedLimit\":%2}}")
                   .arg(downloadKiBps)
                   .arg(uploadKiBps)
                   .toUtf8());
    file.close();
    CConfig::setInstance(QSharedPointer<CConfig>(new CConfig(dir)));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerEngineMetaTypes();
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });

    QList<qint64> sizes{1 * kMiB, 100 * kMiB, 1024 * kMiB};
    int limitedSeconds = 10;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args.at(i) == "--sizes") {
            sizes.clear();
            for (const QString &mib : args.at(i + 1).split(','))
                sizes << mib.toLongLong() * kMiB;
        } else if (args.at(i) == "--limited-seconds") {
            limitedSeconds = args.at(i + 1).toInt();
        }
    }

    ReferenceServer server;
    if (!server.isRunning()) {
        progress("the reference server did not start");
        return 1;
    }
    server.trustCa();
    QTemporaryDir work(QDir::tempPath() + "/bxsync-transfer-bench-XXXXXX");
    Bench bench(server, work.path());
    if (!work.isValid() || !bench.ready()) {
        progress("no work folder or no library on the server");
        return 1;
    }

    std::printf("transfer_bench: engine requests vs curl, reference server on loopback TLS\n");
    std::printf("%-8s %-9s %9s %9s %11s %11s %8s\n", "size", "direction", "engine_s", "curl_s", "engine_MiB/s",
                "curl_MiB/s", "ratio");
    QStringList memoryLines;
    qint64 limitedFileId = 0;
    QString limitedLocalPath;
    for (const qint64 size : qAsConst(sizes)) {
        const QString label = sizeText(size);
        progress("writing a local file of " + label);
        const QString path = bench.makeLocalFile(QString("local-%1.bin").arg(size), size);
        if (path.isEmpty()) {
            progress("cannot write the local file");
            return 1;
        }
        progress("upload " + label);
        const QString engineName = QString("engine-%1.bin").arg(size);
        const Outcome engineUp = bench.engineUpload(path, engineName, size);
        const Outcome curlUp = bench.curlUpload(path, QString("curl-%1.bin").arg(size), size);
        printRow(label, "upload", engineUp, curlUp);
        std::fflush(stdout);

        progress("download " + label);
        const Outcome engineDown = bench.engineDownload(engineUp.fileId);
        const Outcome curlDown = bench.curlDownload(engineUp.fileId);
        printRow(label, "download", engineDown, curlDown);
        std::fflush(stdout);
        if (QString::fromLatin1(engineDown.hashHex) != bench.contentHash(engineName))
            progress("the downloaded digest differs from the server's content hash");

        if (size >= 1024 * kMiB) {
            memoryLines << QString("peak resident memory, %1 upload:   %2 MiB (%3 MiB before, +%4 MiB)")
                               .arg(label)
                               .arg(engineUp.peakRss / double(kMiB), 0, 'f', 1)
                               .arg(engineUp.baseRss / double(kMiB), 0, 'f', 1)
                               .arg((engineUp.peakRss - engineUp.baseRss) / double(kMiB), 0, 'f', 1);
            memoryLines << QString("peak resident memory, %1 download: %2 MiB (%3 MiB before, +%4 MiB)")
                               .arg(label)
                               .arg(engineDown.peakRss / double(kMiB), 0, 'f', 1)
                               .arg(engineDown.baseRss / double(kMiB), 0, 'f', 1)
                               .arg((engineDown.peakRss - engineDown.baseRss) / double(kMiB), 0, 'f', 1);
        }
        bench.deleteServerFile(curlUp.fileId);
        if (limitedFileId == 0 && size >= 20 * kMiB) {
            limitedFileId = engineUp.fileId; // kept for the limited runs
            limitedLocalPath = path;
        } else {
            bench.deleteServerFile(engineUp.fileId);
            QFile::remove(path);
        }
    }
    for (const QString &line : qAsConst(memoryLines))
        std::printf("%s\n", qPrintable(line));

    if (limitedFileId != 0 && limitedSeconds > 0) {
        QTemporaryDir config;
        const int downLimit = 1024;
        const int upLimit = 512;
        if (!useLimits(config.path(), downLimit, upLimit)) {
            progress("cannot write the configuration");
            return 1;
        }
        const int windowMs = limitedSeconds * 1000;
        progress(QString("download limited to %1 KiB/s for %2 s").arg(downLimit).arg(limitedSeconds));
        const Outcome down = bench.engineDownload(limitedFileId, windowMs);
        progress(QString("upload limited to %1 KiB/s for %2 s").arg(upLimit).arg(limitedSeconds));
        const Outcome up = bench.engineUpload(limitedLocalPath, "limited.bin", QFileInfo(limitedLocalPath).size(), windowMs);
        const double downRate = down.bytes / 1024.0 / down.seconds;
        const double upRate = up.bytes / 1024.0 / up.seconds;
        std::printf("limited download: %.0f KiB/s measured over %.1f s, limit %d KiB/s (ratio %.3f)\n", downRate,
                    down.seconds, downLimit, downRate / downLimit);
        std::printf("limited upload:   %.0f KiB/s measured over %.1f s, limit %d KiB/s (ratio %.3f)\n", upRate,
                    up.seconds, upLimit, upRate / upLimit);
        CConfig::setInstance({});
    }
    if (!limitedLocalPath.isEmpty())
        QFile::remove(limitedLocalPath);
    CNetworkAccessManager::deleteInstanceForCurrentThread();
    return 0;
}
