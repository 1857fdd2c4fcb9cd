#pragma once

// What the database benchmarks share: the size argument, a throw-away data folder with the engine's
// configuration published, and the process's peak resident memory.

#include "Config.h"

#include <QFile>
#include <QString>
#include <QTemporaryDir>

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

} // namespace bench
