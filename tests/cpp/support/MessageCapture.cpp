#include "MessageCapture.h"

#include <QMutexLocker>
#include <QThread>

namespace testsupport {

namespace {
MessageCapture *s_current = nullptr;
} // namespace

MessageCapture::MessageCapture()
{
    Q_ASSERT(!s_current);
    s_current = this;
    m_previous = qInstallMessageHandler(&MessageCapture::handle);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(m_previous);
    s_current = nullptr;
}

void MessageCapture::handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    MessageCapture *capture = s_current;
    if (!capture)
        return;
    {
        QMutexLocker locker(&capture->m_mutex);
        capture->m_messages.append({type, text, QThread::currentThread()});
    }
    if (capture->m_previous)
        capture->m_previous(type, context, text);
}

QStringList MessageCapture::lines(QtMsgType type, const QString &prefix) const
{
    QMutexLocker locker(&m_mutex);
    QStringList result;
    for (const Message &message : m_messages) {
        if (message.type == type && message.text.startsWith(prefix))
            result << message.text;
    }
    return result;
}

int MessageCapture::countOnThisThread(QtMsgType type, const QString &prefix) const
{
    QMutexLocker locker(&m_mutex);
    int count = 0;
    for (const Message &message : m_messages)
        count += message.type == type && message.thread == QThread::currentThread() && message.text.startsWith(prefix);
    return count;
}

QStringList MessageCapture::containing(QtMsgType type, const QString &fragment) const
{
    QMutexLocker locker(&m_mutex);
    QStringList result;
    for (const Message &message : m_messages) {
        if (message.type == type && message.text.contains(fragment))
            result << message.text;
    }
    return result;
}

int MessageCapture::count(const QString &fragment) const
{
    return containing(QtDebugMsg, fragment).size() + containing(QtWarningMsg, fragment).size()
        + containing(QtCriticalMsg, fragment).size();
}

void MessageCapture::clear()
{
    QMutexLocker locker(&m_mutex);
    m_messages.clear();
}

} // namespace testsupport
