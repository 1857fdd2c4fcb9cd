#include "MessageCapture.h"

#include <QThread>

namespace testsupport {

// Engine threads log at any time, also while a capture is made or destroyed on the test's thread.
static QMutex s_lock;
static MessageCapture *s_current = nullptr;
static QtMessageHandler s_previous = nullptr;

MessageCapture::MessageCapture()
{
    QMutexLocker locker(&s_lock);
    Q_ASSERT(!s_current);
    s_current = this;
    s_previous = qInstallMessageHandler(&MessageCapture::handle);
}

MessageCapture::~MessageCapture()
{
    QMutexLocker locker(&s_lock);
    qInstallMessageHandler(s_previous);
    s_current = nullptr;
}

void MessageCapture::handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QtMessageHandler previous;
    {
        QMutexLocker locker(&s_lock);
        if (s_current) {
            QMutexLocker own(&s_current->m_mutex);
            s_current->m_messages.append({type, text, QThread::currentThread()});
        }
        previous = s_previous;
    }
    if (previous)
        previous(type, context, text);
}

QStringList MessageCapture::select(const std::function<bool(const Message &)> &wanted) const
{
    QMutexLocker locker(&m_mutex);
    QStringList result;
    for (const Message &message : m_messages) {
        if (wanted(message))
            result << message.text;
    }
    return result;
}

QStringList MessageCapture::lines(QtMsgType type, const QString &prefix) const
{
    return select([&](const Message &m) { return m.type == type && m.text.startsWith(prefix); });
}

int MessageCapture::countOnThisThread(QtMsgType type, const QString &prefix) const
{
    QThread *const thread = QThread::currentThread();
    return select([&](const Message &m) { return m.type == type && m.thread == thread && m.text.startsWith(prefix); }).size();
}

QStringList MessageCapture::containing(QtMsgType type, const QString &fragment) const
{
    return select([&](const Message &m) { return m.type == type && m.text.contains(fragment); });
}

int MessageCapture::count(const QString &fragment) const
{
    return select([&](const Message &m) { return m.type != QtInfoMsg && m.type != QtFatalMsg && m.text.contains(fragment); }).size();
}

void MessageCapture::clear()
{
    QMutexLocker locker(&m_mutex);
    m_messages.clear();
}

} // namespace testsupport
