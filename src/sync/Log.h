#pragma once

#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QtGlobal>

// Writes every Qt message of the process to bxsync_log.txt in the data directory.
class CLogImpl : public QObject
{
    Q_OBJECT
public:
    explicit CLogImpl(const QString &directory, QtMessageHandler previousHandler);

    void write(QtMsgType type, const QMessageLogContext &context, const QString &text);
    void rotateLogs();

    void setDebug(bool debug);
    bool debug() const;
    void setMaxLogSize(int maxLogSizeKiB);

    QString logFilePath() const { return m_logFilePath; }
    QtMessageHandler previousHandler() const { return m_previousHandler; }

    // The line as written to the file, without the CR LF.
    static QString formatLine(QtMsgType type, const QString &text);
    // True for the one known-noisy server watcher failure that is logged as debug instead.
    static bool isDemotedMessage(QtMsgType type, const QString &text);

private:
    const QString m_directory;
    const QString m_logFilePath;
    QAtomicInt m_debug = 0;
    QAtomicInt m_maxLogSize = 0; // KiB; 0 = never rotate
    const QtMessageHandler m_previousHandler;
    QMutex m_mutex;
};

class CLog
{
public:
    static void init(const QString &directory);
    static void setDebug(bool debug);
    static void setMaxLogSize(int maxLogSizeKiB);
    static void rotateLogs();
    static void close();

    static QSharedPointer<CLogImpl> instance();
};
