#include "Log.h"

#include "utils.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QReadWriteLock>
#include <QRegExp>
#include <QTextStream>
#include <QThread>

namespace {

QReadWriteLock g_logLock;
QSharedPointer<CLogImpl> g_log;

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QSharedPointer<CLogImpl> log;
    {
        QReadLocker locker(&g_logLock);
        log = g_log;
    }
    if (log)
        log->write(type, context, text);
}

QString levelTag(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
    case QtInfoMsg:
        return QString();
    case QtWarningMsg:
        return QStringLiteral("[WARN] ");
    case QtCriticalMsg:
    case QtFatalMsg:
        return QStringLiteral("[ERROR] ");
    }
    return QStringLiteral("[?] ");
}

} // namespace

CLogImpl::CLogImpl(const QString &directory, QtMessageHandler previousHandler)
    : m_directory(directory)
    , m_logFilePath(directory + "/bxsync_log.txt")
    , m_previousHandler(previousHandler)
{
}

void CLogImpl::setDebug(bool debug)
{
    m_debug.storeRelaxed(debug ? 1 : 0);
}

bool CLogImpl::debug() const
{
    return m_debug.loadRelaxed() != 0;
}

void CLogImpl::setMaxLogSize(int maxLogSizeKiB)
{
    m_maxLogSize.storeRelaxed(maxLogSizeKiB);
}

bool CLogImpl::isDemotedMessage(QtMsgType type, const QString &text)
{
    if (type != QtCriticalMsg)
        return false;
    // Classic syntax on purpose: the bracket is a character class, kept as it has always been.
    static const QRegExp demoted(QStringLiteral(
        "^.*Watcher..CWatcherWatchRequest..finished.*error...[api.exceptions.AccessDenied|dc.ErrorOperationCancelled].*$"),
        Qt::CaseSensitive, QRegExp::RegExp);
    QRegExp matcher(demoted); // QRegExp keeps match state; never share one across threads
    return matcher.indexIn(text) != -1;
}

QString CLogImpl::formatLine(QtMsgType type, const QString &text)
{
    const QString threadId = QStringLiteral("0x")
        + QString::number(quintptr(QThread::currentThreadId()), 16);
    return QStringLiteral("(%1) %2: %3%4")
        .arg(threadId, 7)
        .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")))
        .arg(levelTag(type))
        .arg(text);
}

void CLogImpl::write(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (isDemotedMessage(type, text))
        type = QtDebugMsg;
    if (type == QtDebugMsg && !debug())
        return;
    if (!m_mutex.tryLock(1000))
        return;
    const QString shown = CLog::capped(text, maxMessageBytes);
    if (type != QtDebugMsg && m_previousHandler)
        m_previousHandler(type, context, shown);
    const QString line = formatLine(type, qFormatLogMessage(type, context, shown));
    QFile file(m_logFilePath);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        if (file.size() == 0)
            file.setPermissions(utils::privateFilePermissions);
        file.write((line + "\r\n").toUtf8());
        file.flush();
        const qint64 size = file.size();
        file.close();
        // Waiting for the timer would let a burst fill the disk first.
        rotateIfTooLarge(size);
    }
    m_mutex.unlock();
}

bool CLogImpl::rotateIfTooLarge(qint64 size)
{
    const int maxSize = m_maxLogSize.loadRelaxed();
    if (maxSize == 0 || size / 1024 <= maxSize)
        return false;
    QFile::remove(m_directory + "/bxsync_log.2.txt");
    QFile::rename(m_directory + "/bxsync_log.1.txt", m_directory + "/bxsync_log.2.txt");
    QFile::rename(m_logFilePath, m_directory + "/bxsync_log.1.txt");
    return true;
}

void CLogImpl::rotateLogs()
{
    QFileInfo info(m_logFilePath);
    const int maxSize = m_maxLogSize.loadRelaxed();
    if (!info.exists() || maxSize == 0 || info.size() / 1024 <= maxSize)
        return;
    qDebug() << "CLogImpl::rotateLogs: about to rotate"; // with debug on, this write already rotates
    if (!m_mutex.tryLock(1000))
        return;
    rotateIfTooLarge(QFileInfo(m_logFilePath).size());
    m_mutex.unlock();
    qDebug() << "CLogImpl::rotateLogs: done";
}

void CLog::init(const QString &directory)
{
    QWriteLocker locker(&g_logLock);
    const QtMessageHandler previous = qInstallMessageHandler(messageHandler);
    // A second init must not chain the handler to itself.
    const QtMessageHandler chained = (previous == messageHandler && g_log) ? g_log->previousHandler() : previous;
    g_log.reset(new CLogImpl(directory, chained));
}

void CLog::setDebug(bool debug)
{
    if (QSharedPointer<CLogImpl> log = instance())
        log->setDebug(debug);
    if (debug)
        qDebug() << "CLog::setDebug:" << "true";
    else
        qWarning() << "CLog::setDebug:" << "false";
}

void CLog::setMaxLogSize(int maxLogSizeKiB)
{
    if (QSharedPointer<CLogImpl> log = instance())
        log->setMaxLogSize(maxLogSizeKiB);
}

void CLog::rotateLogs()
{
    if (QSharedPointer<CLogImpl> log = instance())
        log->rotateLogs();
}

void CLog::close()
{
    qInstallMessageHandler(nullptr);
    QWriteLocker locker(&g_logLock);
    g_log.reset();
}

QString CLog::capped(const QString &payload, int maxBytes)
{
    // Characters stand in for bytes up to the cut; only a long payload pays for the exact count.
    if (payload.size() <= maxBytes / 3)
        return payload;
    const QByteArray bytes = payload.toUtf8();
    return bytes.size() <= maxBytes ? payload : capped(bytes, maxBytes);
}

QString CLog::capped(const QByteArray &payload, int maxBytes)
{
    if (payload.size() <= maxBytes)
        return QString::fromUtf8(payload);
    // fromUtf8 turns a character cut in half into one replacement character, never a crash.
    return QString::fromUtf8(payload.left(maxBytes)) + QStringLiteral("... (%1 bytes)").arg(payload.size());
}

QSharedPointer<CLogImpl> CLog::instance()
{
    QReadLocker locker(&g_logLock);
    return g_log;
}
