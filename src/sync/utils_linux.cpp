#include "utils.h"
#include "utils_linux.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtDebug>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace utils {

namespace {

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(toNativeLongPath(path));
}

QString lastComponent(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString parentOf(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QStringLiteral(".");
    if (slash == 0)
        return QStringLiteral("/");
    return path.left(slash);
}

// Closes a descriptor on every way out.
class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }

private:
    const int m_fd;
};

class DirectoryStream
{
public:
    explicit DirectoryStream(DIR *dir) : m_dir(dir) {}
    ~DirectoryStream()
    {
        if (m_dir)
            ::closedir(m_dir);
    }
    DirectoryStream(const DirectoryStream &) = delete;
    DirectoryStream &operator=(const DirectoryStream &) = delete;
    DIR *get() const { return m_dir; }

private:
    DIR *const m_dir;
};

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

bool directoryHasEntry(const QByteArray &directory, const QByteArray &name)
{
    DirectoryStream dir(::opendir(directory.constData()));
    if (!dir.get())
        return false;
    while (const dirent *entry = ::readdir(dir.get())) {
        if (name == entry->d_name)
            return true;
    }
    return false;
}

QString flipCase(const QString &text)
{
    QString flipped = text;
    for (QChar &c : flipped)
        c = c.isLower() ? c.toUpper() : c.isUpper() ? c.toLower() : c;
    return flipped;
}

// A case-sensitive directory resolved the name as given, so only a directory that finds the same
// entry under another spelling needs the listing, the one place that keeps the stored spelling.
bool hasExactCase(const QString &path)
{
    const QString name = lastComponent(path);
    if (name.isEmpty())
        return false;
    const QString flipped = flipCase(name);
    if (flipped == name)
        return true;
    const QString parent = parentOf(path);
    const QByteArray parentNative = nativePath(parent);
    struct stat asGiven = {};
    struct stat asFlipped = {};
    if (::lstat(nativePath(path).constData(), &asGiven) != 0)
        return false;
    const QString flippedPath = (parent.endsWith(QLatin1Char('/')) ? parent : parent + QLatin1Char('/')) + flipped;
    if (::lstat(nativePath(flippedPath).constData(), &asFlipped) != 0 || asFlipped.st_ino != asGiven.st_ino
        || asFlipped.st_dev != asGiven.st_dev) {
        return true;
    }
    return directoryHasEntry(parentNative, QFile::encodeName(name));
}

QDateTime utcFromSeconds(qint64 seconds, qint64 nanoseconds = 0)
{
    return QDateTime::fromMSecsSinceEpoch(seconds * 1000 + nanoseconds / 1000000, Qt::UTC);
}

// The fields of a date-time as they stand, read as UTC: callers pass UTC, and the other
// platforms write the fields the same way.
qint64 fieldsAsUtcSeconds(const QDateTime &dateTime)
{
    const QTime time = dateTime.time();
    return QDateTime(dateTime.date(), QTime(time.hour(), time.minute(), time.second()), Qt::UTC)
        .toSecsSinceEpoch();
}

// Invalid when no creation time was recorded or the attribute holds something else.
QDateTime recordedCreationTime(const QString &path, const QByteArray &native)
{
    char buffer[64];
    const ssize_t length = ::getxattr(native.constData(), linuxfs::createdTimeAttribute, buffer, sizeof(buffer));
    if (length < 0)
        return QDateTime();
    const QByteArray value(buffer, int(length));
    bool ok = false;
    const qint64 seconds = value.toLongLong(&ok);
    if (!ok) {
        qWarning() << "utils::getTime: ignoring malformed creation time attribute of" << path << "value:" << value;
        return QDateTime();
    }
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

bool sameEntry(const QByteArray &a, const QByteArray &b)
{
    struct stat first = {};
    struct stat second = {};
    return ::lstat(a.constData(), &first) == 0 && ::lstat(b.constData(), &second) == 0
        && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Changing only the case of a name on a case-insensitive mount: the target "exists" because it
// is the source itself, so the name goes through a temporary one in the same folder.
bool renameCaseOnly(const QByteArray &from, const QByteArray &to, int *error)
{
    const QByteArray temporary = from + ".bxsync-rename-" + QByteArray::number(QRandomGenerator::global()->generate(), 16);
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, temporary.constData(), RENAME_NOREPLACE) != 0) {
        *error = errno;
        return false;
    }
    if (::renameat2(AT_FDCWD, temporary.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return true;
    *error = errno;
    ::rename(temporary.constData(), from.constData());
    return false;
}

} // namespace

QString toNativeLongPath(const QString &path)
{
    return path;
}

bool fileExistsNative(const QString &path, bool directory, bool exactCase)
{
    struct stat info = {};
    if (path.isEmpty() || ::stat(nativePath(path).constData(), &info) != 0)
        return false;
    if (S_ISDIR(info.st_mode) != directory)
        return false;
    return !exactCase || hasExactCase(path);
}

QFileInfoList getFileInfoListNative(const QString &path, QDir::Filters filters)
{
    QFileInfoList list;
    if (path.isEmpty()) {
        qWarning() << "utils::getFileInfoListNative: empty path!?";
        return list;
    }
    if (filters == QDir::NoFilter)
        filters = QDir::AllEntries;

    DirectoryStream dir(::opendir(nativePath(path).constData()));
    if (!dir.get()) {
        qWarning() << "utils::getFileInfoListNative: unable to list" << path << "error" << errno << std::strerror(errno);
        return list;
    }
    const int dirFd = ::dirfd(dir.get());
    const QString prefix = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');

    while (const dirent *entry = ::readdir(dir.get())) {
        const char *name = entry->d_name;
        const bool dotOrDotDot = isDotOrDotDot(name);
        if (dotOrDotDot) {
            const bool isDot = name[1] == 0;
            if (isDot ? filters.testFlag(QDir::NoDot) : filters.testFlag(QDir::NoDotDot))
                continue;
        }

        struct stat info = {};
        if (::fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // removed while we were listing
        if (S_ISLNK(info.st_mode)) {
            if (filters.testFlag(QDir::NoSymLinks))
                continue;
            if (::fstatat(dirFd, name, &info, 0) != 0)
                continue;
            // Only a target we can actually read counts, like any other unreachable link.
            const int flags = S_ISDIR(info.st_mode) ? O_RDONLY | O_DIRECTORY : O_RDONLY | O_NONBLOCK | O_NOCTTY;
            FileDescriptor target(::openat(dirFd, name, flags | O_CLOEXEC));
            if (!target.isValid())
                continue;
        }

        if (S_ISDIR(info.st_mode)) {
            if (!(filters & (QDir::Dirs | QDir::AllDirs)))
                continue;
        } else if (S_ISREG(info.st_mode)) {
            if (!filters.testFlag(QDir::Files))
                continue;
        } else if (!filters.testFlag(QDir::System)) {
            continue; // FIFOs, sockets and devices are never synchronised content
        }
        if (!dotOrDotDot && name[0] == '.' && !filters.testFlag(QDir::Hidden))
            continue;
        if ((filters.testFlag(QDir::Readable) && ::faccessat(dirFd, name, R_OK, 0) != 0)
            || (filters.testFlag(QDir::Writable) && ::faccessat(dirFd, name, W_OK, 0) != 0)
            || (filters.testFlag(QDir::Executable) && ::faccessat(dirFd, name, X_OK, 0) != 0)) {
            continue;
        }
        list.append(QFileInfo(prefix + QFile::decodeName(name)));
    }
    return list;
}

bool setTime(const QString &path, const QDateTime &created, const QDateTime &modified)
{
    const QByteArray native = nativePath(path);
    struct stat info = {};
    if (::stat(native.constData(), &info) != 0) {
        qWarning() << "utils::setTime: Unable to open" << path << "error" << errno << std::strerror(errno);
        return false;
    }
    if (!created.isValid() || !modified.isValid()) {
        qWarning() << "utils::setTime: invalid time for" << path << "created:" << created << "modified:" << modified;
        return false;
    }

    const struct timespec times[2] = {{0, UTIME_OMIT}, {time_t(fieldsAsUtcSeconds(modified)), 0}};
    if (::utimensat(AT_FDCWD, native.constData(), times, 0) != 0) {
        qWarning() << "utils::setTime: SetFileTime for" << path << "error" << errno << std::strerror(errno);
        return false;
    }
    // The inode carries the attribute, so renames and in-place edits keep the creation time.
    const QByteArray createdText = QByteArray::number(fieldsAsUtcSeconds(created));
    if (::setxattr(native.constData(), linuxfs::createdTimeAttribute, createdText.constData(),
                   size_t(createdText.size()), 0) != 0) {
        const int error = errno;
        qWarning() << "utils::setTime: SetFileTime for" << path << "error" << error << std::strerror(error)
                   << "-> the creation time cannot be kept on this file system";
        return false;
    }
    return true;
}

bool getTime(const QString &path, QDateTime *created, QDateTime *modified)
{
    const QByteArray native = nativePath(path);
    struct statx info = {};
    if (::statx(AT_FDCWD, native.constData(), AT_STATX_SYNC_AS_STAT, STATX_MTIME | STATX_BTIME, &info) != 0) {
        qWarning() << "utils::getTime: Unable to open" << path << "error" << errno << std::strerror(errno);
        return false;
    }
    if (modified)
        *modified = utcFromSeconds(info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec).toLocalTime();
    if (created) {
        QDateTime time = recordedCreationTime(path, native);
        if (!time.isValid() && (info.stx_mask & STATX_BTIME))
            time = utcFromSeconds(info.stx_btime.tv_sec, info.stx_btime.tv_nsec);
        *created = time.isValid() ? time.toLocalTime() : QDateTime();
    }
    return true;
}

bool isFileLocked(const QString &path)
{
    // O_NONBLOCK: an open that would have to break another program's lease fails instead of waiting.
    FileDescriptor fd(::open(nativePath(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.isValid()) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return false;
        qDebug() << "utils::isFileLocked: unable to open" << path << "error" << error << std::strerror(error);
        return true;
    }
    struct stat info = {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;

    // A read lease is refused while anyone has the file open for writing. Should a writer open it
    // in the moment we hold the lease, the kernel signals us: SIGIO would end the process,
    // SIGURG is ignored by default.
    ::fcntl(fd.get(), F_SETSIG, SIGURG);
    if (::fcntl(fd.get(), F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
        return false;
    }
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK)
        return true;
    // EACCES: someone else's file without CAP_LEASE; EINVAL: no leases on this file system.
    return linuxfs::anyProcessHasOpenForWriting(path);
}

void updateFileAttributes(const QString &path)
{
    const QString folder = parentOf(path);
    struct stat info = {};
    if (::stat(nativePath(folder).constData(), &info) != 0) {
        qWarning() << "utils::updateFileAttributes: unable to read attrs for:" << folder;
        return;
    }
    // Linux file systems encrypt by folder policy at creation; a moved-in file has nothing to copy.
    qDebug() << "utils::updateFileAttributes: no encryption attribute to copy on this platform:" << path;
}

bool renameFileNative(const QString &from, const QString &to)
{
    const QByteArray source = nativePath(from);
    const QByteArray target = nativePath(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0)
        return true;

    int error = errno;
    bool renamed = false;
    if (error == EINVAL || error == ENOSYS || error == ENOTSUP) {
        renamed = linuxfs::renameWithoutReplaceFallback(from, to, &error);
    } else if (error == EEXIST && from != to && from.compare(to, Qt::CaseInsensitive) == 0
               && sameEntry(source, target)) {
        renamed = renameCaseOnly(source, target, &error);
    }
    if (!renamed) {
        qWarning() << "utils::renameFileNative: unable to rename" << from << "->" << to << "error:" << error
                   << std::strerror(error);
    }
    return renamed;
}

bool replaceFileNative(const QString &from, const QString &to)
{
    if (::rename(nativePath(from).constData(), nativePath(to).constData()) == 0)
        return true;
    const int error = errno;
    qWarning() << "utils::replaceFileNative: unable to rename" << from << "->" << to << "error:" << error
               << std::strerror(error);
    return false;
}

qint64 getDiscFreeSpaceFromPath(const QString &path)
{
    if (path.isEmpty()) {
        qCritical() << "utils::getDiscFreeSpaceFromPath: GetDiskFreeSpaceEx error:" << EINVAL << "rootPath:" << path
                    << "path:" << path;
        return -1;
    }
    // The folder a download goes to may not exist yet; its volume is that of the nearest ancestor.
    QString rootPath = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    struct stat info = {};
    while (::stat(nativePath(rootPath).constData(), &info) != 0 && rootPath != QLatin1String("/"))
        rootPath = parentOf(rootPath);

    struct statvfs volume = {};
    if (::statvfs(nativePath(rootPath).constData(), &volume) != 0) {
        qCritical() << "utils::getDiscFreeSpaceFromPath: GetDiskFreeSpaceEx error:" << errno << "rootPath:" << rootPath
                    << "path:" << path;
        return -1;
    }
    return qint64(volume.f_bavail) * qint64(volume.f_frsize);
}

namespace linuxfs {

namespace {

// The access mode from /proc/<pid>/fdinfo/<fd>: its "flags:" line is octal.
bool fdinfoSaysWritable(const QByteArray &fdinfoPath)
{
    QFile fdinfo(QFile::decodeName(fdinfoPath));
    if (!fdinfo.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> lines = fdinfo.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.startsWith("flags:"))
            continue;
        bool ok = false;
        const int flags = line.mid(6).trimmed().toInt(&ok, 8);
        return ok && (flags & O_ACCMODE) != O_RDONLY;
    }
    return false;
}

} // namespace

bool anyProcessHasOpenForWriting(const QString &path)
{
    struct stat wanted = {};
    if (::stat(nativePath(path).constData(), &wanted) != 0)
        return false;

    DirectoryStream proc(::opendir("/proc"));
    if (!proc.get()) {
        qWarning() << "utils::isFileLocked: /proc unreadable, assuming not locked:" << path;
        return false;
    }
    while (const dirent *process = ::readdir(proc.get())) {
        if (process->d_name[0] < '0' || process->d_name[0] > '9')
            continue;
        const QByteArray pid(process->d_name);
        const QByteArray fdDirectory = "/proc/" + pid + "/fd";
        DirectoryStream fds(::opendir(fdDirectory.constData()));
        if (!fds.get())
            continue; // gone, or another user's process
        const int fdsFd = ::dirfd(fds.get());
        while (const dirent *descriptor = ::readdir(fds.get())) {
            if (isDotOrDotDot(descriptor->d_name))
                continue;
            struct stat opened = {};
            if (::fstatat(fdsFd, descriptor->d_name, &opened, 0) != 0 || opened.st_dev != wanted.st_dev
                || opened.st_ino != wanted.st_ino) {
                continue;
            }
            if (fdinfoSaysWritable("/proc/" + pid + "/fdinfo/" + descriptor->d_name))
                return true;
        }
    }
    return false;
}

bool renameWithoutReplaceFallback(const QString &from, const QString &to, int *error)
{
    const QByteArray source = nativePath(from);
    const QByteArray target = nativePath(to);
    struct stat info = {};
    if (::lstat(source.constData(), &info) != 0) {
        *error = errno;
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        if (::link(source.constData(), target.constData()) == 0) {
            if (::unlink(source.constData()) == 0)
                return true;
            *error = errno;
            ::unlink(target.constData());
            return false;
        }
        if (errno == EEXIST) {
            *error = EEXIST;
            return false;
        }
    }
    if (::lstat(target.constData(), &info) == 0) {
        *error = EEXIST;
        return false;
    }
    if (errno != ENOENT) {
        *error = errno;
        return false;
    }
    if (::rename(source.constData(), target.constData()) == 0)
        return true;
    *error = errno;
    return false;
}

} // namespace linuxfs

} // namespace utils
