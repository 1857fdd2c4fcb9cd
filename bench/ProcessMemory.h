#pragma once

#include <QtGlobal>

namespace bench {

// The resident memory of this process in bytes right now; 0 when the system does not tell.
qint64 residentMemoryBytes();

} // namespace bench
