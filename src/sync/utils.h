#pragma once

#include <QDateTime>
#include <QDir>
#include <QFileInfoList>
#include <QString>
#include <QtGlobal>

// What the engine needs of the local file system beyond Qt's portable file API. Paths use "/"
// separators; each platform file converts them itself. Failures are logged with the system
// error code and reported as false, -1, an invalid date-time or an empty list; nothing throws.
// Safe to call from any thread.
namespace utils {

// The form every native call of this layer uses. Identity where paths have no length limit.
QString toNativeLongPath(const QString &path);

// True when path names a directory (directory true) or anything else (directory false).
// With exactCase the last component must also match the name stored in the directory
// letter for letter, so File.txt and file.txt differ on case-insensitive mounts too.
bool fileExistsNative(const QString &path, bool directory, bool exactCase);

// The entries of a directory in the order the system returns them, filtered by Qt's
// QDir::Dirs, Files, Hidden, System, NoSymLinks, NoDot, NoDotDot and the permission flags.
// Links whose target cannot be reached (dangling, unreadable) are left out silently.
QFileInfoList getFileInfoListNative(const QString &path, QDir::Filters filters);

// Sets the modification time and records the creation time so that getCreatedTimeUtc returns
// it afterwards. The date and time fields are taken as UTC as they stand, seconds only.
bool setTime(const QString &path, const QDateTime &created, const QDateTime &modified);

// Either output may be null. Times are local time with milliseconds; the creation time is the
// one setTime recorded, else the file system's birth time, else invalid.
bool getTime(const QString &path, QDateTime *created, QDateTime *modified);
QDateTime getCreatedTimeUtc(const QString &path);  // invalid on failure
QDateTime getModifiedTimeUtc(const QString &path); // invalid on failure

// True while another program has the file open for writing (or it cannot be read at all);
// false for a missing file. Never waits.
bool isFileLocked(const QString &path);

// Lets a file that was written elsewhere take on what its folder gives files created in it.
void updateFileAttributes(const QString &path);

// Never replaces an existing target.
bool renameFileNative(const QString &from, const QString &to);
// Replaces the target in one step: readers see the old or the new file, never a mix or nothing.
bool replaceFileNative(const QString &from, const QString &to);

// Bytes available to this user on the volume that holds path (or would hold it), -1 on failure.
qint64 getDiscFreeSpaceFromPath(const QString &path);

// Turns a server name into a local file or folder name that every member of a team can store:
// at most 250 characters, no character Windows refuses, no trailing dots or blanks, no
// reserved device name, and never empty.
QString makeValidLocalName(const QString &name);

// A name Windows refuses whatever its suffix ("con", "lpt1.log", "Sync Issues"); case-insensitive.
bool isReservedName(const QString &name);

constexpr int maxLocalNameLength = 250;

// Removes a folder with everything in it. Symbolic links are removed as links, their targets are
// never touched. With toTrash, files go to the user's trash instead of being unlinked. A path that
// does not exist counts as removed; false on the first entry that could not be removed.
bool removeDir(const QString &path, bool toTrash = false);

// Moves a file or folder into the user's trash; links are unlinked instead (a trashed link would
// keep nothing of value). True when nothing is left at path.
bool moveToTrash(const QString &path);

} // namespace utils
