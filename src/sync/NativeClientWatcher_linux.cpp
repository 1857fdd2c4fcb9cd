#include "NativeClientWatcher.h"
#include "NativeClientWatcher_linux.h"

#include "utils.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QQueue>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace inotifywatch {

QList<RawRecord> parseBuffer(const char *data, qint64 length)
{
    QList<RawRecord> records;
    qint64 offset = 0;
    const qint64 header = qint64(sizeof(inotify_event));
    while (offset + header <= length) {
        inotify_event event;
        std::memcpy(&event, data + offset, sizeof event);
        if (offset + header + qint64(event.len) > length)
            break;
        RawRecord record;
        record.wd = event.wd;
        record.mask = event.mask;
        record.cookie = event.cookie;
        if (event.len > 0) {
            const char *name = data + offset + header;
            record.name = QFile::decodeName(QByteArray(name, int(qstrnlen(name, event.len))));
        }
        records << record;
        offset += header + event.len;
    }
    if (offset != length)
        qWarning() << "inotifywatch::parseBuffer: dropped a truncated record of" << (length - offset) << "bytes";
    return records;
}

CInotifyTranslator::CInotifyTranslator(const QString &rootPath) : m_root(rootPath) {}

void CInotifyTranslator::addWatch(int wd, const QString &path)
{
    m_paths.insert(wd, path);
}

Outcome CInotifyTranslator::translate(const QList<RawRecord> &records)
{
    Outcome outcome;
    for (const RawRecord &record : records)
        handle(record, outcome);
    // A partner that did not come with the next read will not come at all.
    if (hasPendingMove() && m_pendingFromEarlierRead)
        flushPendingMove(outcome);
    else if (hasPendingMove())
        m_pendingFromEarlierRead = true;
    return outcome;
}

void CInotifyTranslator::flushPendingMove(Outcome &outcome)
{
    if (!hasPendingMove())
        return;
    const QString oldPath = m_pendingPath;
    if (m_pendingIsDir)
        dropSubtree(oldPath, outcome);
    if (!watchpath::isHiddenName(watchpath::nameOf(oldPath)))
        outcome.events << ClientWatcherEvent(DIRECTORY_CHANGED, watchpath::parentOf(oldPath));
    m_pendingCookie = 0;
    m_pendingPath.clear();
}

void CInotifyTranslator::renameSubtree(const QString &from, const QString &to)
{
    for (auto it = m_paths.begin(); it != m_paths.end(); ++it) {
        if (watchpath::isBelow(it.value(), from, true))
            it.value() = to + it.value().mid(from.size());
    }
}

void CInotifyTranslator::dropSubtree(const QString &path, Outcome &outcome)
{
    for (auto it = m_paths.begin(); it != m_paths.end();) {
        if (watchpath::isBelow(it.value(), path, true)) {
            outcome.watchesToRemove << it.key();
            it = m_paths.erase(it);
        } else {
            ++it;
        }
    }
}

void CInotifyTranslator::handle(const RawRecord &record, Outcome &outcome)
{
    if (record.mask & IN_Q_OVERFLOW) {
        outcome.overflow = true;
        outcome.events << ClientWatcherEvent(DIRECTORY_CHANGED, m_root);
        return;
    }
    if (record.mask & IN_IGNORED) {
        if (m_paths.take(record.wd) == m_root)
            outcome.rootGone = true;
        return;
    }
    const QString folder = m_paths.value(record.wd);
    if (folder.isEmpty()) {
        qDebug() << "inotifywatch::CInotifyTranslator: record for a watch no longer held, wd:" << record.wd
                 << "mask:" << Qt::hex << record.mask;
        return;
    }
    if (record.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        // Below the root the parent's records tell what happened.
        if (folder == m_root) {
            outcome.rootGone = true;
            outcome.events << ClientWatcherEvent(DIRECTORY_CHANGED, m_root);
        }
        return;
    }
    if (hasPendingMove() && !((record.mask & IN_MOVED_TO) && record.cookie == m_pendingCookie))
        flushPendingMove(outcome);

    const QString path = folder + QLatin1Char('/') + record.name;
    const bool isDir = record.mask & IN_ISDIR;
    const bool hidden = watchpath::isHiddenName(record.name);
    if (record.mask & IN_MOVED_FROM) {
        m_pendingCookie = record.cookie;
        m_pendingPath = path;
        m_pendingIsDir = isDir;
        m_pendingFromEarlierRead = false;
        return;
    }
    if (record.mask & IN_MOVED_TO) {
        if (!hasPendingMove()) {
            // Moved in from outside the tree.
            if (hidden)
                return;
            if (isDir)
                outcome.foldersToWatch << path;
            outcome.events << ClientWatcherEvent(DIRECTORY_CHANGED, folder);
            return;
        }
        const QString oldPath = m_pendingPath;
        const QString oldFolder = watchpath::parentOf(oldPath);
        const bool oldHidden = watchpath::isHiddenName(watchpath::nameOf(oldPath));
        m_pendingCookie = 0;
        m_pendingPath.clear();
        if (isDir) {
            if (hidden)
                dropSubtree(oldPath, outcome);
            else if (oldHidden)
                outcome.foldersToWatch << path; // dot-folders are never watched
            else
                renameSubtree(oldPath, path);
        }
        if (oldHidden && hidden)
            return;
        if (oldHidden) {
            // An editor's atomic save: the comparison of the folder sees one changed file.
            outcome.events << ClientWatcherEvent(DIRECTORY_CHANGED, folder);
        } else if (hidden) {
            outcome.events << ClientWatcherEvent(DIRECTORY_CHANGED, oldFolder);
        } else if (oldFolder == folder) {
            outcome.events << ClientWatcherEvent(MOVED, path, oldPath);
        } else {
            // Signatures pair the removal and the addition that the two comparisons find.
            outcome.events << ClientWatcherEvent(DIRECTORY_CHANGED, oldFolder)
                           << ClientWatcherEvent(DIRECTORY_CHANGED, folder);
        }
        return;
    }
    if (hidden)
        return;
    if (record.mask & IN_CREATE) {
        outcome.events << ClientWatcherEvent(ADDED, path);
        if (isDir)
            outcome.foldersToWatch << path;
    } else if (record.mask & IN_DELETE) {
        outcome.events << ClientWatcherEvent(REMOVED, path);
    } else if ((record.mask & (IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB)) && !isDir) {
        outcome.events << ClientWatcherEvent(MODIFIED, path);
    }
}

bool CRepeatSuppressor::pass(const QString &path, qint64 nowMs)
{
    auto it = m_entries.find(path);
    if (it != m_entries.end() && nowMs < it->until) {
        it->held = true;
        return false;
    }
    m_entries.insert(path, Entry{nowMs + m_quietMs, false});
    return true;
}

QStringList CRepeatSuppressor::due(qint64 nowMs)
{
    QStringList paths;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (nowMs < it->until) {
            ++it;
            continue;
        }
        if (it->held) {
            paths << it.key();
            *it = Entry{nowMs + m_quietMs, false};
            ++it;
        } else {
            it = m_entries.erase(it);
        }
    }
    return paths;
}

qint64 CRepeatSuppressor::nextDueIn(qint64 nowMs) const
{
    qint64 next = -1;
    for (const Entry &entry : m_entries) {
        if (!entry.held)
            continue;
        const qint64 in = qMax<qint64>(0, entry.until - nowMs);
        next = next < 0 ? in : qMin(next, in);
    }
    return next;
}

} // namespace inotifywatch

namespace utils {

namespace {

const quint32 kWatchMask = IN_CREATE | IN_DELETE | IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_MOVED_FROM
    | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
const qint64 kRepeatQuietMs = 3000;
const int kPendingMoveWaitMs = 50;
const char kWatchLimitFile[] = "/proc/sys/fs/inotify/max_user_watches";

void logWatchLimitOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        QFile file(QString::fromLatin1(kWatchLimitFile));
        const QByteArray limit = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray("unknown");
        qDebug() << "CNativeClientWatcher: folder watch limit (fs.inotify.max_user_watches):" << limit.constData();
    });
}

} // namespace

struct NativeWatchContext
{
    explicit NativeWatchContext(const QString &root) : translator(root) {}

    int inotifyFd = -1;
    inotifywatch::CInotifyTranslator translator;
    inotifywatch::CRepeatSuppressor suppressor{kRepeatQuietMs};
    bool watchLimitLogged = false;
};

CNativeClientWatcher::CNativeClientWatcher(IClientWatcherEventListener *listener, const QString &watchedRootPath,
                                           QObject *parent)
    : QThread(parent)
    , m_listener(listener)
    , m_watchedRootPath(watchedRootPath)
    , m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    qDebug().noquote() << "CNativeClientWatcher::CNativeClientWatcher() - watchedRootPath:" << m_watchedRootPath;
    if (m_wakeFd < 0)
        qCritical() << "CNativeClientWatcher::CNativeClientWatcher() - eventfd failed, error:" << errno
                    << std::strerror(errno);
}

CNativeClientWatcher::~CNativeClientWatcher()
{
    stopThread();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    qDebug().noquote() << "CNativeClientWatcher::~CNativeClientWatcher() - watchedRootPath:" << m_watchedRootPath;
}

void CNativeClientWatcher::stopThread()
{
    qDebug() << "CNativeClientWatcher::stopThread() - started";
    if (isRunning()) {
        const quint64 one = 1;
        if (m_wakeFd < 0 || ::write(m_wakeFd, &one, sizeof one) != sizeof one)
            requestInterruption(); // seen at the next poll round
        qDebug() << "CNativeClientWatcher::stopThread() - waiting for native client watcher thread...";
        wait();
    }
    qDebug() << "CNativeClientWatcher::stopThread() - finished";
}

namespace {

// Watches path and every folder below it; false when path itself could not be watched.
bool watchTree(NativeWatchContext &context, const QString &path, bool isRoot)
{
    QQueue<QString> folders;
    folders.enqueue(path);
    bool first = true;
    bool rootWatched = false;
    while (!folders.isEmpty()) {
        const QString folder = folders.dequeue();
        // The root may be reached through a link; below it links are never followed.
        const quint32 mask = first && isRoot ? (kWatchMask & ~quint32(IN_DONT_FOLLOW)) : kWatchMask;
        const int wd = ::inotify_add_watch(context.inotifyFd, QFile::encodeName(folder).constData(), mask);
        const bool wasFirst = first;
        first = false;
        if (wd < 0) {
            const int error = errno;
            if (error == ENOSPC) {
                if (!context.watchLimitLogged) {
                    context.watchLimitLogged = true;
                    qCritical().noquote() << "CNativeClientWatcher: folder watch limit reached at" << folder
                                          << "- changes below it are found by the periodic checks only; raise the "
                                             "sysctl fs.inotify.max_user_watches";
                }
            } else if (error != ENOENT && error != ENOTDIR) {
                qWarning().noquote() << "CNativeClientWatcher: cannot watch" << folder << "error:" << error
                                     << std::strerror(error);
            }
            continue;
        }
        rootWatched = rootWatched || wasFirst;
        context.translator.addWatch(wd, folder);
        for (const QFileInfo &entry :
             utils::getFileInfoListNative(folder, QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks))
            folders.enqueue(entry.filePath());
    }
    return rootWatched;
}

} // namespace

void CNativeClientWatcher::run()
{
    qDebug() << "CNativeClientWatcher::run() - started";
    logWatchLimitOnce();
    NativeWatchContext context(m_watchedRootPath);
    context.inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (context.inotifyFd < 0) {
        qCritical() << "CNativeClientWatcher::run() - inotify_init1 failed, error:" << errno << std::strerror(errno);
        return;
    }
    m_context = &context;
    if (!watchTree(context, m_watchedRootPath, true)) {
        qCritical().noquote() << "CNativeClientWatcher::run() - cannot open directory for watch:" << m_watchedRootPath;
    } else {
        qDebug() << "CNativeClientWatcher::run() - watching" << context.translator.watchCount() << "folders";
    }

    QElapsedTimer clock;
    clock.start();
    const auto deliver = [this](const ClientWatcherEvent &event) {
        if (m_listener)
            m_listener->handleClientWatcherEvent(event);
    };
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    bool rootGone = context.translator.watchCount() == 0;
    while (!rootGone && !isInterruptionRequested()) {
        int timeout = int(context.suppressor.nextDueIn(clock.elapsed()));
        if (context.translator.hasPendingMove())
            timeout = timeout < 0 ? kPendingMoveWaitMs : qMin(timeout, kPendingMoveWaitMs);
        if (m_wakeFd < 0)
            timeout = timeout < 0 ? 500 : qMin(timeout, 500);
        pollfd fds[2] = {{context.inotifyFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        const int ready = ::poll(fds, m_wakeFd >= 0 ? 2 : 1, timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            qCritical() << "CNativeClientWatcher::run() - poll failed, error:" << errno << std::strerror(errno);
            break;
        }
        if (m_wakeFd >= 0 && (fds[1].revents & POLLIN))
            break;

        inotifywatch::Outcome outcome;
        if (fds[0].revents & POLLIN) {
            const ssize_t length = ::read(context.inotifyFd, buffer.data(), size_t(buffer.size()));
            if (length < 0 && errno != EAGAIN && errno != EINTR) {
                qCritical() << "CNativeClientWatcher::run() - read failed, error:" << errno << std::strerror(errno);
                break;
            }
            if (length > 0)
                outcome = context.translator.translate(inotifywatch::parseBuffer(buffer.constData(), length));
        } else if (context.translator.hasPendingMove()) {
            context.translator.flushPendingMove(outcome);
        }

        for (int wd : qAsConst(outcome.watchesToRemove))
            ::inotify_rm_watch(context.inotifyFd, wd);
        if (outcome.overflow)
            qWarning().noquote() << "CNativeClientWatcher::run() - event queue overflowed, watchedRootPath:"
                                 << m_watchedRootPath << "-> full check";
        const qint64 now = clock.elapsed();
        for (const ClientWatcherEvent &event : qAsConst(outcome.events)) {
            if (event.type != MODIFIED || context.suppressor.pass(event.path, now))
                deliver(event);
        }
        // Watch first, then look: what was created before the watch existed is reported too.
        for (const QString &folder : qAsConst(outcome.foldersToWatch)) {
            if (watchTree(context, folder, false) && !watchpath::listFolder(folder).isEmpty())
                deliver(ClientWatcherEvent(DIRECTORY_CHANGED, folder));
        }
        if (outcome.overflow)
            watchTree(context, m_watchedRootPath, true);
        for (const QString &path : context.suppressor.due(clock.elapsed()))
            deliver(ClientWatcherEvent(MODIFIED, path));
        rootGone = outcome.rootGone;
    }
    if (rootGone)
        qWarning().noquote() << "CNativeClientWatcher::run() - watched folder is gone:" << m_watchedRootPath;
    m_context = nullptr;
    ::close(context.inotifyFd);
    qDebug() << "CNativeClientWatcher::run() - finished";
}

} // namespace utils
