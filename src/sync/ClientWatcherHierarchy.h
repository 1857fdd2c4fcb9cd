#pragma once

#include "ClientWatcherUtils.h"

#include <QQueue>
#include <QSharedPointer>

class CSyncDatabase;

// Compares a folder and everything below it with the database and reports what differs as
// ADDED, REMOVED and MODIFIED events, a folder always before its content. With reportOnly the
// first difference ends the walk: the caller only wants to know whether there is any.
class CHierarchyChecker
{
public:
    explicit CHierarchyChecker(const QSharedPointer<CSyncDatabase> &syncDatabase);

    ClientWatcherEventList checkDirectory(const QString &path, bool checkFileHash, bool reportOnly = false);

private:
    void synchronizeDirectory(const QString &path, bool checkFileHash);
    void report(ClientWatcherEventType type, const QString &path, ItemId clientId, qint64 size = -1);
    bool isAboveOrIsLibraryFolder(const QString &path);

    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    ClientWatcherEventList m_results;
    QQueue<QString> m_workList;
    QStringList m_libraryFolders;
    bool m_reportOnly = false;
};

// Looks for records whose file or folder vanished from disk; a record of something that never
// reached the server is dropped, since nothing else would ever clear it.
class CRemovedHierarchyChecker
{
public:
    explicit CRemovedHierarchyChecker(const QSharedPointer<CSyncDatabase> &syncDatabase);

    void checkFLStore();

private:
    void checkFolder(const QString &path);
    void handleMissingSyncItem(const SyncItem &item, const QString &folderPath);

    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    QQueue<QString> m_workList;
    const bool m_quotaMode;
};
