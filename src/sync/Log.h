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

    // A message longer than this is cut; it keeps one payload of CLog::maxPayloadBytes and its frame.
    static constexpr int maxMessageBytes = 16384;

private:
    // Moves the current file to .1 and .1 to .2; false when the file is not past the maximum.
    bool rotateIfTooLarge(qint64 size);

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
    // A payload (an answer, a host's text) as it may appear in the log: its first
    // maxPayloadBytes, then "... (N bytes)".
    static constexpr int maxPayloadBytes = 4096;
    static QString capped(const QString &payload, int maxBytes = maxPayloadBytes);
    static QString capped(const QByteArray &payload, int maxBytes = maxPayloadBytes);

    static void init(const QString &directory);
    static void setDebug(bool debug);
    static void setMaxLogSize(int maxLogSizeKiB);
    static void rotateLogs();
    static void close();

    static QSharedPointer<CLogImpl> instance();
};
