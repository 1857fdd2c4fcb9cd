#include "ProcessMemory.h"

#include <QFile>

#include <unistd.h>

namespace bench {

qint64 residentMemoryBytes()
{
    // statm: size resident shared text lib data dt, in pages.
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        return 0;
    return fields.at(1).toLongLong() * qint64(sysconf(_SC_PAGESIZE));
}

} // namespace bench
