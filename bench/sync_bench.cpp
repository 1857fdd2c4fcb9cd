// Whole-engine transfer figures against the reference server on loopback TLS: the initial download
// of a library of many small files and of a few large ones, and the initial upload of the same
// from a local folder. Next to each, rclone copying the same tree from and to "rclone serve webdav"
// over TLS with a certificate of the same test CA, when rclone is installed.
//
// usage: sync_bench [--files N] [--folders N] [--big N] [--big-mib N] [--no-rclone]
//        defaults: --files 10000 --folders 100 --big 20 --big-mib 50

#include "BenchSupport.h"
#include "MetaTypes.h"
#include "ProcessMemory.h"
#include "ReferenceServer.h"
#include "SyncDatabase.h"
#include "SyncScenario.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QUrlQuery>
#include <QTcpSocket>
#include <QThread>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

using testsupport::ReferenceServer;
using testsupport::SyncScenario;

namespace {

constexpr double kMiB = 1048576.0;

// The sum of the scheduler's announced restart delays: time the engine waits by design.
std::atomic<qint64> pausedMs{0};
const QRegularExpression kRestartDelay(QStringLiteral("CSyncLibrary::restartSync: libId: \\d+ msecDelay: (\\d+)$"));

void quietHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const QRegularExpressionMatch match = kRestartDelay.match(message);
    if (match.hasMatch())
        pausedMs += match.captured(1).toLongLong();
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "sync_bench: engine: %s\n", qPrintable(message.left(300)));
}

void progress(const QString &text)
{
    std::fprintf(stderr, "sync_bench: %s\n", qPrintable(text));
}

struct Tree
{
    QString name;
    int files = 0;
    int folders = 0;
    qint64 minBytes = 0;
    qint64 maxBytes = 0;
    qint64 totalBytes = 0;
    QStringList paths;
    QList<qint64> sizes;
};

Tree makeTree(const QString &name, int files, int folders, qint64 minBytes, qint64 maxBytes)
{
    Tree tree;
    tree.name = name;
    tree.files = files;
    tree.folders = folders;
    for (int i = 0; i < files; ++i) {
        const qint64 size = minBytes + (maxBytes > minBytes ? (qint64(i) * 7919) % (maxBytes - minBytes + 1) : 0);
        tree.paths << (folders > 0 ? QString("d%1/f%2.bin").arg(i % folders, 3, 10, QChar('0')).arg(i)
                                   : QString("f%1.bin").arg(i));
        tree.sizes << size;
        tree.totalBytes += size;
    }
    return tree;
}

// Deterministic content, so that both directions and both tools move the same bytes.
QByteArray contentOf(int index, qint64 size)
{
    QByteArray data(int(size), Qt::Uninitialized);
    quint32 x = quint32(index) * 2654435761u + 1;
    for (int i = 0; i < data.size(); ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = char(x >> 24);
    }
    return data;
}

bool writeLocalTree(const Tree &tree, const QString &root)
{
    for (int i = 0; i < tree.files; ++i) {
        const QString path = root + "/" + tree.paths.at(i);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(contentOf(i, tree.sizes.at(i))) != tree.sizes.at(i))
            return false;
    }
    return true;
}

void printRow(const QString &what, const QString &tool, double seconds, int files, qint64 bytes, const QString &requests,
              const QString &memory, const QString &pauses)
{
    std::printf("%-44s %-8s %9.2f s %10.1f files/s %8.1f MiB/s  requests %-8s peak %-10s pauses %s\n",
                qPrintable(what), qPrintable(tool), seconds, seconds > 0 ? files / seconds : 0.0,
                seconds > 0 ? bytes / kMiB / seconds : 0.0, qPrintable(requests), qPrintable(memory), qPrintable(pauses));
    std::fflush(stdout);
}

QString mib(qint64 bytes)
{
    return QString::number(bytes / kMiB, 'f', 1) + " MiB";
}

// Until the library is first seen synchronised (the fixture's own wait adds a quiet period that
// is not the engine's time); the caller confirms afterwards that it stays so.
bool waitUntilSynchronized(SyncScenario &s, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (s.database()->isSynchronized(s.libraryClientId(), false))
            return true;
        QThread::msleep(5);
    }
    return false;
}

int requestsSince(const ReferenceServer &server)
{
    return server.requestLog().size();
}

// How long the server spent on an upload, from its headers to its answer: the median over the
// request log, so that the client's own gaps between requests are left out.
QString serverMsPerUpload(const ReferenceServer &server)
{
    QList<double> ms;
    for (const QJsonValue &entry : server.requestLog()) {
        if (entry.toObject().value("endpoint").toString() == QLatin1String("upload"))
            ms << entry.toObject().value("durationMs").toDouble();
    }
    if (ms.isEmpty())
        return QStringLiteral("-");
    std::sort(ms.begin(), ms.end());
    return QString::number(ms.at(ms.size() / 2)) + " ms";
}

// The server's admin API with one kept-alive connection and many calls in flight: the test
// support's one-call-per-connection client would take longer to seed than the engine to download.
bool seedServer(const ReferenceServer &server, const QString &libraryPath, const Tree &tree)
{
    QFile infoFile(server.dataDirectory() + "/server.json");
    if (!infoFile.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject info = QJsonDocument::fromJson(infoFile.readAll()).object();
    const QString base = info.value("adminUrl").toString().section("/admin", 0, 0);
    const QByteArray auth = "Bearer " + info.value("adminToken").toString().toUtf8();
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setCaCertificates(ssl.caCertificates() + QSslCertificate::fromPath(server.caFile()));

    QNetworkAccessManager manager;
    int next = 0, running = 0, failed = 0;
    QEventLoop loop;
    std::function<void()> sendMore = [&] {
        while (running < 16 && next < tree.files) {
            // Raw bytes with the path in the query: a large file as base64 inside JSON is refused.
            QUrl url(base + libraryPath + "/files");
            url.setQuery(QUrlQuery{{"path", tree.paths.at(next)}});
            QNetworkRequest request(url);
            request.setSslConfiguration(ssl);
            request.setRawHeader("Authorization", auth);
            request.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
            QNetworkReply *reply = manager.post(request, contentOf(next, tree.sizes.at(next)));
            ++next;
            ++running;
            QObject::connect(reply, &QNetworkReply::finished, [&, reply] {
                const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                if (status != 200 && status != 201)
                    ++failed;
                reply->deleteLater();
                --running;
                if (next < tree.files)
                    sendMore();
                else if (running == 0)
                    loop.quit();
            });
        }
    };
    sendMore();
    if (running > 0)
        loop.exec();
    return failed == 0;
}

// Engine: the server holds the tree, the store folder is empty.
void engineDownload(const ReferenceServer &server, const Tree &tree, int *tenant)
{
    SyncScenario s(server, QString("bench%1").arg(++*tenant));
    progress(QString("seeding %1 on the server").arg(tree.name));
    if (!seedServer(server, s.library().path(), tree))
        progress("seeding the server failed for some files");
    server.clearRequestLog();
    pausedMs = 0;
    progress(QString("engine download of %1").arg(tree.name));
    bench::PeakMemory peak;
    QElapsedTimer timer;
    timer.start();
    s.start();
    const bool idle = waitUntilSynchronized(s, 3600000);
    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 peakBytes = peak.stop();
    s.runUntilIdle(60000);
    if (!idle)
        progress("engine did not finish the download");
    printRow("initial download: " + tree.name, "engine", seconds, tree.files, tree.totalBytes,
             QString::number(requestsSince(server)), mib(peakBytes), QString::number(pausedMs) + " ms");
    s.stop();
}

// Engine: the local folder holds the tree, recorded as new, the library is empty on the server.
void engineUpload(const ReferenceServer &server, const Tree &tree, int *tenant)
{
    SyncScenario s(server, QString("bench%1").arg(++*tenant));
    s.runUntilIdle(60000);
    s.stop(); // nothing may start before the clock does
    progress(QString("writing %1 locally").arg(tree.name));
    if (!writeLocalTree(tree, s.libraryFolder())) {
        progress("unable to write the local tree");
        return;
    }
    QSet<QString> folders;
    for (const QString &path : tree.paths) {
        const QString folder = path.section('/', 0, -2);
        if (!folder.isEmpty() && !folders.contains(folder)) {
            folders.insert(folder);
            s.recordNewLocalFolder(folder);
        }
        s.recordNewLocalFile(path);
    }
    server.clearRequestLog();
    pausedMs = 0;
    progress(QString("engine upload of %1").arg(tree.name));
    bench::PeakMemory peak;
    QElapsedTimer timer;
    timer.start();
    s.start();
    const bool idle = waitUntilSynchronized(s, 3600000);
    const double seconds = timer.nsecsElapsed() / 1e9;
    const qint64 peakBytes = peak.stop();
    s.runUntilIdle(60000);
    if (!idle)
        progress("engine did not finish the upload");
    printRow("initial upload: " + tree.name, "engine", seconds, tree.files, tree.totalBytes,
             QString::number(requestsSince(server)), mib(peakBytes), QString::number(pausedMs) + " ms");
    std::printf("%-44s %-8s server time per upload (median) %s\n", "", "engine", qPrintable(serverMsPerUpload(server)));
    s.stop();
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// "rclone serve webdav" of root over TLS with the reference server's certificate.
class WebDavServer
{
public:
    WebDavServer(const ReferenceServer &server, const QString &root)
        : m_port(freePort())
    {
        const QString tls = server.dataDirectory() + "/tls";
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start("rclone", {"serve", "webdav", root, "--addr", QString("127.0.0.1:%1").arg(m_port), "--cert",
                                   tls + "/server.pem", "--key", tls + "/server.key", "--log-level", "ERROR"});
        m_process.waitForStarted();
        for (int i = 0; i < 100; ++i) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, m_port);
            if (socket.waitForConnected(100))
                return;
            QThread::msleep(50);
        }
    }
    ~WebDavServer()
    {
        m_process.terminate();
        m_process.waitForFinished(5000);
    }
    QString remote() const { return QString(":webdav,url='https://127.0.0.1:%1':").arg(m_port); }

private:
    quint16 m_port;
    QProcess m_process;
};

double runRclone(const ReferenceServer &server, const QString &from, const QString &to, qint64 *peakKiB)
{
    QProcess rclone;
    rclone.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    // GNU time is not always there: the kernel's own accounting of the child's peak is read instead.
    rclone.start("rclone", {"copy", from, to, "--ca-cert", server.caFile(), "--log-level", "ERROR"});
    rclone.waitForFinished(-1);
    const double seconds = timer.nsecsElapsed() / 1e9;
    *peakKiB = -1;
    if (rclone.exitCode() != 0)
        progress(QString("rclone copy %1 -> %2 exited with %3").arg(from, to).arg(rclone.exitCode()));
    return seconds;
}

void rcloneBoth(const ReferenceServer &server, const Tree &tree)
{
    QTemporaryDir source;
    QTemporaryDir target;
    QTemporaryDir served;
    progress(QString("writing %1 for rclone").arg(tree.name));
    if (!writeLocalTree(tree, source.path()))
        return;
    {
        WebDavServer dav(server, source.path());
        qint64 peak = 0;
        const double seconds = runRclone(server, dav.remote(), target.path(), &peak);
        printRow("initial download: " + tree.name, "rclone", seconds, tree.files, tree.totalBytes, "-", "-", "-");
    }
    {
        WebDavServer dav(server, served.path());
        qint64 peak = 0;
        const double seconds = runRclone(server, source.path(), dav.remote(), &peak);
        printRow("initial upload: " + tree.name, "rclone", seconds, tree.files, tree.totalBytes, "-", "-", "-");
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toLocal8Bit());
    QCoreApplication app(argc, argv);
    registerEngineMetaTypes();
    QCoreApplication::setApplicationName("Brindlex");
    qInstallMessageHandler(quietHandler);

    int files = 10000, folders = 100, big = 20, bigMiB = 50;
    bool withRclone = true;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString next = i + 1 < args.size() ? args.at(i + 1) : QString();
        if (args.at(i) == "--files") files = qMax(0, next.toInt()), ++i;
        else if (args.at(i) == "--folders") folders = qMax(0, next.toInt()), ++i;
        else if (args.at(i) == "--big") big = qMax(0, next.toInt()), ++i;
        else if (args.at(i) == "--big-mib") bigMiB = qMax(1, next.toInt()), ++i;
        else if (args.at(i) == "--no-rclone") withRclone = false;
        else {
            std::fprintf(stderr, "usage: sync_bench [--files N] [--folders N] [--big N] [--big-mib N] [--no-rclone]\n");
            return 2;
        }
    }
    if (withRclone && QStandardPaths::findExecutable("rclone").isEmpty()) {
        std::printf("rclone: not installed (Debian package \"rclone\"), its lines are skipped\n");
        withRclone = false;
    }

    ReferenceServer server({"--quiet"});
    if (!server.isRunning()) {
        std::fprintf(stderr, "sync_bench: the reference server did not start\n");
        return 1;
    }
    server.trustCa();

    const QList<Tree> trees = {makeTree(QString("%1 files of 1-8 KiB in %2 folders").arg(files).arg(folders), files,
                                        folders, 1024, 8192),
                               makeTree(QString("%1 files of %2 MiB").arg(big).arg(bigMiB), big, 0, bigMiB * 1048576LL,
                                        bigMiB * 1048576LL)};
    std::printf("%-44s %-8s %11s %16s %14s  %-17s %-15s %s\n", "transfer", "tool", "wall", "files/s", "MiB/s",
                "requests", "peak memory", "fixed pauses");
    int tenant = 0;
    for (const Tree &tree : trees) {
        if (tree.files == 0)
            continue;
        engineDownload(server, tree, &tenant);
        engineUpload(server, tree, &tenant);
        if (withRclone)
            rcloneBoth(server, tree);
    }
    return 0;
}
