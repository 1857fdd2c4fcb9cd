#pragma once

#include "ServerApiErrorCode.h"

#include <QtTest>

// Lets QCOMPARE show error values by name when they differ.
namespace QTest {
template<>
inline char *toString(const ErrorCode &error)
{
    return qstrdup(qPrintable(error.errorName + (error.extraDelay ? QStringLiteral(" (extra delay)") : QString())));
}
} // namespace QTest
