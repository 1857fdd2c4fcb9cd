// Prints how fast and how big hierarchy reading and content hashing are.
//
//   build/bench/hierarchy_bench            all sizes and the 1 GiB hash
//   build/bench/hierarchy_bench --quick    10000 and 100000 files, 256 MiB hash
//
// For each generated hierarchy: nlohmann's SAX pass with a handler that does nothing (the floor),
// the streaming parser (these two by the best CPU time of five turns each, taken in turns, so that
// other work on the machine slows neither), the streaming parser reading a file, and QJsonDocument
// followed by brindlex::hierarchyFromJson. Peak memory
// is the rise of the resident set over the phase (the input text is already resident before).

#include "Hierarchy.h"
#include "JsonSaxHierarchyParser.h"
#include "MetaTypes.h"
#include "SyncHash.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <nlohmann/json.hpp>

#include <malloc.h>
#include <time.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <string>

namespace {

// ---- memory -------------------------------------------------------------------------------

long statusKiB(const char *field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::stol(line.substr(prefix.size()));
    }
    return -1;
}

struct PhaseResult
{
    double seconds = 0;
    double cpuSeconds = 0; // of this thread: what other work on a shared machine takes away is not in it
    double peakMiB = 0;
};

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// Resets the kernel's high-water mark so that it covers this phase only.
PhaseResult measure(const std::function<void()> &phase)
{
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = statusKiB("VmRSS");
    QElapsedTimer timer;
    timer.start();
    const double cpuBefore = threadCpuSeconds();
    phase();
    PhaseResult result;
    result.cpuSeconds = threadCpuSeconds() - cpuBefore;
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    result.peakMiB = double(statusKiB("VmHWM") - before) / 1024.0;
    return result;
}

// ---- generated hierarchies ----------------------------------------------------------------

const char *const words[] = {"Report", "Budget", "Invoice", "Meeting notes", "Draft", "Final", "Q3", "2019",
                             "Contract", "Offer", "Übersicht", "Präsentation", "報告", "Photos", "Scan", "Plan",
                             "Marketing", "Design", "Customer", "Review", "v2", "(copy)", "Roadmap", "Team"};
const char *const extensions[] = {".docx", ".xlsx", ".pdf", ".jpg", ".png", ".txt", ".pptx", ".zip", ".csv", ".mp4"};
const char *const folderWords[] = {"Projects", "Archive", "2020", "2021", "Clients", "Finance", "HR", "Shared",
                                   "Marketing", "Photos", "Drafts", "Legal", "Verträge", "資料", "Old", "Templates"};

class Generator
{
public:
    explicit Generator(int files) : m_remaining(files) {}

    QByteArray document()
    {
        std::string out;
        out.reserve(size_t(m_remaining) * 300);
        out += "{\"jsonrpc\":\"2.0\",\"id\":123,\"result\":{\"wat\":\"abc\",\"watcherHostname\":\"w.example\","
               "\"changedId\":\"42\",\"hierarchy\":{\"id\":\"1000\",\"state\":\"AAAAAAAAB3k=\",\"tenantId\":\"t-1\","
               "\"tenantName\":\"Acme\",\"chain\":[{\"id\":\"1\",\"pid\":\"0\",\"type\":\"TENANT\",\"subType\":\"\","
               "\"name\":\"Acme\",\"dashifiedName\":\"acme\",\"pinIndex\":0}],\"files\":[";
        files(out, 10);
        out += "],\"folders\":[";
        bool first = true;
        while (m_remaining > 0) {
            if (!first)
                out += ',';
            first = false;
            folder(out, 1);
        }
        out += "]}}}";
        return QByteArray(out.data(), int(out.size()));
    }

    int folders() const { return m_folders; }

private:
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_random); }

    void id(std::string &out)
    {
        out += "\"id\":\"";
        out += std::to_string(100000000 + ++m_lastId);
        out += '"';
    }

    void time(std::string &out, const char *key)
    {
        char text[64];
        std::snprintf(text, sizeof(text), ",\"%s\":\"20%02d-%02d-%02dT%02d:%02d:%02d.%03dZ\"", key, 10 + pick(12),
                      1 + pick(12), 1 + pick(28), pick(24), pick(60), pick(60), pick(1000));
        out += text;
    }

    void files(std::string &out, int count)
    {
        for (int i = 0; i < count && m_remaining > 0; ++i, --m_remaining) {
            if (i)
                out += ',';
            out += '{';
            id(out);
            out += ",\"state\":\"AAAAAAAA";
            out += std::to_string(pick(1000000));
            out += "\",\"name\":\"";
            out += words[pick(24)];
            out += ' ';
            out += words[pick(24)];
            out += ' ';
            out += std::to_string(pick(1000));
            out += extensions[pick(10)];
            out += '"';
            time(out, "createdTime");
            time(out, "modifiedTime");
            out += ",\"fileSize\":";
            out += std::to_string(std::uniform_int_distribution<long long>(0, 50000000)(m_random));
            out += ",\"contentHash\":\"";
            static const char hex[] = "0123456789abcdef";
            for (int h = 0; h < 40; ++h)
                out += hex[pick(16)];
            out += "\"}";
        }
    }

    void folder(std::string &out, int depth)
    {
        ++m_folders;
        out += '{';
        id(out);
        out += ",\"name\":\"";
        out += folderWords[pick(16)];
        out += ' ';
        out += std::to_string(pick(100));
        out += '"';
        time(out, "modifiedTime");
        out += ",\"files\":[";
        files(out, 5 + pick(40));
        out += "],\"folders\":[";
        const int children = depth < 7 ? pick(5) : 0;
        for (int i = 0; i < children && m_remaining > 0; ++i) {
            if (i)
                out += ',';
            folder(out, depth + 1);
        }
        out += "]}";
    }

    std::mt19937 m_random{20201008};
    int m_remaining;
    int m_folders = 0;
    int m_lastId = 0;
};

// ---- the floor ----------------------------------------------------------------------------

class NullSax final : public nlohmann::json::json_sax_t
{
public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t &) override { return true; }
    bool string(string_t &) override { return true; }
    bool binary(binary_t &) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t &) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &) override { return false; }
};

int countFiles(const QVector<brindlex::Folder> &folders)
{
    int count = 0;
    for (const brindlex::Folder &folder : folders)
        count += folder.files.size() + countFiles(folder.folders);
    return count;
}

double megabytesPerSecond(qint64 bytes, double seconds)
{
    return seconds > 0 ? double(bytes) / 1048576.0 / seconds : 0;
}

void benchHierarchy(int fileCount)
{
    Generator generator(fileCount);
    const QByteArray doc = generator.document();
    const double sizeMiB = double(doc.size()) / 1048576.0;

    // The peak is the first turn's.
    bool floorOk = false;
    bool streamOk = false;
    int streamedFiles = 0;
    PhaseResult floor, stream;
    for (int round = 0; round < 5; ++round) {
        const PhaseResult floorRound = measure([&] {
            NullSax sax;
            const char *begin = doc.constData();
            floorOk = nlohmann::json::sax_parse(begin, begin + doc.size(), &sax);
        });
        const PhaseResult streamRound = measure([&] {
            CJsonSaxHierarchyParser parser;
            streamOk = parser.parse(doc);
            const brindlex::Hierarchy h = parser.hierarchy();
            streamedFiles = h.files.size() + countFiles(h.folders);
        });
        if (round == 0) {
            floor = floorRound;
            stream = streamRound;
        }
        floor.cpuSeconds = qMin(floor.cpuSeconds, floorRound.cpuSeconds);
        stream.cpuSeconds = qMin(stream.cpuSeconds, streamRound.cpuSeconds);
    }

    // As the engine reads an answer past the reply ceiling: spooled to a file, streamed from there.
    bool fileOk = false;
    int fileFiles = 0;
    PhaseResult fromFile;
    QTemporaryDir spoolDir(QStringLiteral("/tmp/hierarchy_bench-XXXXXX"));
    QFile spool(spoolDir.filePath(QStringLiteral("answer.json")));
    if (spool.open(QIODevice::WriteOnly) && spool.write(doc) == doc.size() && spool.flush()) {
        spool.close();
        fromFile = measure([&] {
            CJsonSaxHierarchyParser parser;
            fileOk = parser.parseFile(spool.fileName());
            const brindlex::Hierarchy h = parser.hierarchy();
            fileFiles = h.files.size() + countFiles(h.folders);
        });
    }

    bool wholeOk = false;
    int wholeFiles = 0;
    double documentSeconds = 0;
    const PhaseResult whole = measure([&] {
        QElapsedTimer timer;
        timer.start();
        QJsonParseError error;
        const QJsonDocument json = QJsonDocument::fromJson(doc, &error);
        documentSeconds = double(timer.nsecsElapsed()) / 1e9;
        if (error.error != QJsonParseError::NoError) {
            std::printf("    QJsonDocument refused the document: %s at %d\n", qPrintable(error.errorString()), error.offset);
            return;
        }
        const brindlex::Hierarchy h = brindlex::hierarchyFromJson(
            json.object().value("result").toObject().value("hierarchy").toObject());
        wholeOk = true;
        wholeFiles = h.files.size() + countFiles(h.folders);
    });

    std::printf("%8d files %7d folders %8.1f MiB | floor %6.1f MB/s %s| streaming %6.1f MB/s (%4.2fx floor) %7.1f MiB peak %s"
                "| from a file %6.1f MB/s %7.1f MiB peak %s"
                "| whole-document %6.2f s (QJsonDocument %5.2f s) %7.1f MiB peak %s\n",
                fileCount, generator.folders(), sizeMiB, megabytesPerSecond(doc.size(), floor.cpuSeconds),
                floorOk ? "" : "FAILED ", megabytesPerSecond(doc.size(), stream.cpuSeconds),
                floor.cpuSeconds > 0 ? stream.cpuSeconds / floor.cpuSeconds : 0, stream.peakMiB,
                streamOk && streamedFiles == fileCount ? "" : "FAILED ", megabytesPerSecond(doc.size(), fromFile.seconds),
                fromFile.peakMiB, fileOk && fileFiles == fileCount ? "" : "FAILED ", whole.seconds, documentSeconds, whole.peakMiB,
                wholeOk && wholeFiles == fileCount ? "" : "FAILED ");
    std::fflush(stdout);
}

// ---- content hash -------------------------------------------------------------------------

void benchHash(qint64 size)
{
    QTemporaryDir dir(QStringLiteral("/tmp/hierarchy_bench-XXXXXX")); // removed with everything in it
    if (!dir.isValid()) {
        std::printf("hash: no temporary folder in /tmp\n");
        return;
    }
    const QString path = dir.filePath(QStringLiteral("big.bin"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            std::printf("hash: cannot create %s\n", qPrintable(path));
            return;
        }
        std::mt19937_64 random(7);
        QByteArray block(int(CSyncHash::blockSize), Qt::Uninitialized);
        for (qint64 written = 0; written < size; written += block.size()) {
            auto *words64 = reinterpret_cast<quint64 *>(block.data());
            for (int i = 0; i < block.size() / 8; ++i)
                words64[i] = random();
            if (file.write(block.constData(), qMin<qint64>(block.size(), size - written)) < 0) {
                std::printf("hash: write failed: %s\n", qPrintable(file.errorString()));
                return;
            }
        }
    }

    QElapsedTimer timer;
    timer.start();
    const QString ours = CSyncHash::calculateByFilePath(path);
    const double oursSeconds = double(timer.nsecsElapsed()) / 1e9;

    timer.restart();
    QProcess sha1sum;
    sha1sum.start(QStringLiteral("sha1sum"), {path});
    const bool ran = sha1sum.waitForFinished(120000) && sha1sum.exitCode() == 0;
    const double theirSeconds = double(timer.nsecsElapsed()) / 1e9;
    const QString theirs = QString::fromLatin1(sha1sum.readAllStandardOutput()).section(QLatin1Char(' '), 0, 0);

    std::printf("hash %lld MiB (page cache warm for both): calculateByFilePath %7.1f MB/s | sha1sum %s | digests %s\n",
                size / 1048576, megabytesPerSecond(size, oursSeconds),
                ran ? qPrintable(QString::asprintf("%7.1f MB/s", megabytesPerSecond(size, theirSeconds))) : "not run",
                ran ? (ours == theirs ? "agree" : "DIFFER") : "-");
}

void dropDebugMessages(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerEngineMetaTypes();
    qInstallMessageHandler(dropDebugMessages);
    const bool quick = app.arguments().contains(QStringLiteral("--quick"));

    benchHierarchy(10000);
    benchHierarchy(100000);
    if (!quick)
        benchHierarchy(1000000);
    benchHash(quick ? 256LL * 1048576 : 1024LL * 1048576);
    return 0;
}
