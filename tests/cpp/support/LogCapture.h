#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace testsupport {

// Collects the engine's log lines, from every thread, while it exists. Warnings and worse still
// reach the test's own output. Create it in initTestCase: QTest installs its own handler when
// it starts, over any made before.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    void clear();
    QStringList lines() const;
    bool contains(const QString &fragment) const { return count(fragment) > 0; }
    int count(const QString &fragment) const;
};

} // namespace testsupport
