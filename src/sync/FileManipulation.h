#pragma once

#include "FileCache.h"
#include "SyncRecords.h"

#include <QHash>
#include <QObject>
#include <QSharedPointer>
#include <QString>

class CSyncDatabase;

// Path rules of the safe local operations, free of disk and database.
namespace filemanipulation {

// True when one of libraryPaths lies strictly below path.
bool containsOtherLibrary(const QString &path, const QStringList &libraryPaths);

// Whether a file on disk still is what the server has: its record is synchronised on the client
// side and size and modification time (seconds) match. Anything else is the user's and is kept.
bool isServerCopy(const SyncFile &record, qint64 sizeOnDisk, const QDateTime &modifiedUtc);

} // namespace filemanipulation

// Every local removal and move that synchronisation causes. Library folders may lie inside other
// libraries' trees, so a folder holding another library's folder is never removed or moved whole;
// and what the server never had (untracked or locally changed files, dot-files) goes to the
// user's trash instead of being unlinked. Symbolic links are removed as links, never followed.
// Used on the sync thread only.
class CFileManipulation : public CFileCache
{
    Q_OBJECT
public:
    using Ptr = QSharedPointer<CFileManipulation>;

    explicit CFileManipulation(const QSharedPointer<CSyncDatabase> &syncDatabase, QObject *parent = nullptr);
    ~CFileManipulation() override;

    // An empty path stands for the record's own local path.
    bool removeSyncItem(const SyncItem::ConstPtr &item, const QString &path = QString());
    bool moveSyncItem(const SyncItem::ConstPtr &item, const QString &newPath, const QString &path = QString());

    bool removeSyncFile(const SyncFile::ConstPtr &file, const QString &path = QString());
    bool moveSyncFile(const SyncFile::ConstPtr &file, const QString &newPath, const QString &path = QString());
    bool removeSyncFolderOrLibrary(const SyncItem::ConstPtr &container, const QString &path = QString());
    bool moveSyncFolderOrLibrary(const SyncItem::ConstPtr &container, const QString &newPath,
                                 const QString &path = QString());

    // Removes folderPath and every parent that would be left empty, up to (never including) the
    // store folder, a known item's folder or a folder holding another library.
    void removeEmptyParentFolders(const QString &folderPath);
    QString getTopMostEmptyFolder(const QString &folderPath);

    // True when the container's folder holds something the server never had: an entry without a
    // record, a file that is no longer the server's copy, or a record of new or edited content. Dot-files
    // and links are never synchronised and do not count. Conservative: a plain walk of the disk.
    bool hasLocalChanges(const SyncItem::ConstPtr &container, const QString &path = QString());

    // True when some library that is not deleted on the server has its folder strictly below path.
    bool isOtherLibraryInside(const QString &path);

    // Move rule: a plain rename, or the case-only rename when the paths differ in letter case only.
    static bool movePath(const QString &path, const QString &newPath);


private:
    QString pathOf(const SyncItem::ConstPtr &item, const QString &path) const;
    // Records of the container's subtree by path relative to the container.
    void collectFiles(ItemId parentClientId, const QString &relative, QHash<QString, SyncFile::Ptr> *files,
                      QHash<QString, SyncFolder::Ptr> *folders = nullptr);
    bool differsFromRecords(const QString &path, const QString &relative, const QHash<QString, SyncFile::Ptr> &files,
                            const QHash<QString, SyncFolder::Ptr> &folders, const QStringList &libraryPaths);
    // Sends everything below path that the server never had to the trash, offers the server's
    // copies to the file cache, and removes the rest.
    bool removeTree(const QString &path, const QHash<QString, SyncFile::Ptr> &files, const QString &relative);

    const QSharedPointer<CSyncDatabase> m_syncDatabase;
};
