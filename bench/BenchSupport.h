#pragma once

// What the database benchmarks share: the size argument, a throw-away data folder with the engine's
// configuration published, and the process's peak resident memory.

#include "Config.h"
#include "ProcessMemory.h"

#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <thread>

namespace bench {

// The file count from the first argument (at least 1000), else 100000.
inline int fileCountArgument(int argc, char *argv[])
{
    return argc > 1 ? qMax(1000, QString::fromLocal8Bit(argv[1]).toInt()) : 100000;
}

// The engine's data folder and a second one for the raw SQLite floor, both removed at the end.
struct Folders
{
    Folders()
    {
        if (ok())
            CConfig::setInstance(QSharedPointer<CConfig>(new CConfig(data.path())));
    }
    ~Folders() { CConfig::setInstance({}); }
    bool ok() const { return data.isValid() && floor.isValid(); }

    QTemporaryDir data;
    QTemporaryDir floor;
};

// VmHWM as the kernel writes it ("23808 kB"), or "unknown".
inline QString peakMemory()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return QStringLiteral("unknown");
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return QString::fromLatin1(line.mid(6).trimmed());
    }
    return QStringLiteral("unknown");
}

// Samples the resident memory every 10 ms on its own thread, so a busy event loop cannot hide a peak.
class PeakMemory
{
public:
    PeakMemory()
        : m_base(residentMemoryBytes())
        , m_peak(m_base)
        , m_thread([this] {
            while (!m_stop) {
                const qint64 now = residentMemoryBytes();
                if (now > m_peak)
                    m_peak = now;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        })
    {
    }
    ~PeakMemory() { stop(); }
    qint64 stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_peak;
    }
    qint64 base() const { return m_base; }
    qint64 peak() const { return m_peak; }

private:
    const qint64 m_base;
    std::atomic<qint64> m_peak;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace bench
