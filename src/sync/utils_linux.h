#pragma once

#include <QString>

// Fallbacks of the Linux file layer that the usual path rarely reaches (no lease rights, file
// systems without renameat2 flags). Declared here so that they can be exercised directly;
// the engine calls the utils.h interface only.
namespace utils::linuxfs {

// The extended attribute that holds the creation time setTime recorded (seconds since 1970, UTC).
constexpr const char createdTimeAttribute[] = "user.brindlex.createdTime";

// Looks through /proc for a descriptor open for writing on the same file. Sees every process
// for root and the caller's own processes otherwise.
bool anyProcessHasOpenForWriting(const QString &path);

// Moves without replacing, for file systems that refuse RENAME_NOREPLACE: a hard link and an
// unlink where links work, else a check of the target followed by a plain rename (a short race
// that the file system leaves no way to close). On failure *error holds the errno value.
bool renameWithoutReplaceFallback(const QString &from, const QString &to, int *error);

} // namespace utils::linuxfs
