#include "LogCapture.h"

#include <QMutex>

namespace testsupport {

namespace {

QMutex g_mutex;
QStringList g_lines;
QtMessageHandler g_previous = nullptr;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    {
        QMutexLocker locker(&g_mutex);
        g_lines << text;
    }
    if (type != QtDebugMsg && g_previous)
        g_previous(type, context, text);
}

} // namespace

LogCapture::LogCapture()
{
    g_previous = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(g_previous);
}

void LogCapture::clear()
{
    QMutexLocker locker(&g_mutex);
    g_lines.clear();
}

QStringList LogCapture::lines() const
{
    QMutexLocker locker(&g_mutex);
    return g_lines;
}

int LogCapture::count(const QString &fragment) const
{
    QMutexLocker locker(&g_mutex);
    int n = 0;
    for (const QString &line : qAsConst(g_lines))
        n += line.contains(fragment) ? 1 : 0;
    return n;
}

} // namespace testsupport
