#pragma once

#include <QMutex>
#include <QStringList>
#include <QVector>
#include <functional>

class QThread;

namespace testsupport {

// Records every Qt message while it exists, so that a test can count log lines; the messages
// still reach the previous handler (the test log, QTest::ignoreMessage). One at a time.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    // Messages of the type that begin with prefix, in the order they were logged.
    QStringList lines(QtMsgType type, const QString &prefix = QString()) const;
    int count(QtMsgType type, const QString &prefix) const { return lines(type, prefix).size(); }
    // The same, counting only what the calling thread logged.
    int countOnThisThread(QtMsgType type, const QString &prefix) const;
    // Messages of the type that contain the fragment anywhere.
    QStringList containing(QtMsgType type, const QString &fragment) const;
    // The same over debug, warning and critical messages together.
    int count(const QString &fragment) const;
    bool contains(const QString &fragment) const { return count(fragment) > 0; }
    void clear();

private:
    struct Message { QtMsgType type; QString text; QThread *thread; };
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text);
    QStringList select(const std::function<bool(const Message &)> &wanted) const;

    mutable QMutex m_mutex;
    QVector<Message> m_messages;
};

} // namespace testsupport
