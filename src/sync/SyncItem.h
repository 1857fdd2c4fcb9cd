#pragma once

#include "ServerApi.h"
#include "ServerApiErrorCode.h"
#include "SyncRecords.h"

#include <QDateTime>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <memory>

class CAppStatusController;
class CFileManipulation;
class CSyncDatabase;
class CSyncProgressManager;
class CUserSession;
class CUserSessionController;

// The decisions of the item state machine, free of disk, server and database.
namespace syncitem {

enum class Handler {
    NewOnServer,
    NewOnClient,
    DeletedOnServer,
    DeletedOnClient,
    MovedOnServer,
    MovedOnClient,
    ChangedOnServer,
    ChangedOnClient,
    Conflict,
    UnknownFromServer, // synchronised locally, unknown server status
    UnknownFromClient, // synchronised on the server, unknown client status
    Unknown,           // synchronised on both sides
};
Handler dispatch(const SyncStatus &status);

// The pair that one direction can carry out; unchanged when the resolver has no rule.
struct Resolution
{
    SyncStatus status;
    bool cleanupName = false; // keep only the new local name of a pending rename
    bool impossible = false;
};
Resolution resolveConflict(const SyncStatus &status);


// "name (n).ext" for files, "name (n)" for folders; n >= 2.
QString numberedName(const QString &name, int n, bool isFile);
// ".conflict yyyy-MM-dd hh_mm_ss" before the extension (appended when there is none).
QString conflictName(const QString &name, const QDateTime &localTime, bool isFile);

// The first of name, "name (2)", "name (3)", ... that is free in folderPath. A name that differs
// only in letter case from an existing entry counts as taken, unless that entry is allowedSelf.
QString uniqueLocalName(const QString &folderPath, const QString &name, bool isFile,
                        const QString &allowedSelf = QString());

} // namespace syncitem

// Rewrites the status pair of an item changed on both sides so that one direction can carry it out.
class CSyncItemConflictResolver
{
public:
    CSyncItemConflictResolver(const QSharedPointer<CSyncDatabase> &syncDatabase, const SyncItem::Ptr &item);
    // False when the pair has no rule: the record is left as it was.
    bool resolveConflict();

private:
    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    const SyncItem::Ptr m_item;
};

// Carries one record (file, folder or library) from its status pair to synchronised: one handler,
// its server requests and local moves, the database written, then exactly one finished() and
// deleteLater(). Subclasses add creation and content changes. Lives on the sync thread.
class CSyncItem : public QObject
{
    Q_OBJECT
public:
    CSyncItem(const QSharedPointer<CSyncDatabase> &syncDatabase,
              const QSharedPointer<CAppStatusController> &appStatusController,
              const QSharedPointer<CUserSessionController> &userSessionController,
              const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
              const QSharedPointer<CFileManipulation> &fileManipulation, const SyncItem::Ptr &item,
              QObject *parent = nullptr);
    ~CSyncItem() override;

    void startProcessing();
    SyncItem::Ptr item() const { return m_item; }

signals:
    void finished(ErrorCode error);

protected:
    virtual void processNewOnServer();
    virtual void processNewOnClient();
    virtual void processDeletedOnServer();
    virtual void processDeletedOnClient();
    virtual void processMovedOnServer();
    virtual void processMovedOnClient();
    virtual void processChangedOnServer();
    virtual void processChangedOnClient();
    virtual void processConflict();
    // A parked item (access denied, quota exceeded): the checks that may let it through again.
    virtual void startPreProcessing();

    void processSyncFromServerToClient();
    void processSyncFromClientToServer();
    bool checkItemType(SyncItemType type);

    // Emits finished once and schedules deletion; later calls are ignored. A library's scheduler
    // outlives its steps and takes the outcome itself.
    virtual void finish(const ErrorCode &error);
    bool isFinished() const { return m_finished; }
    // The library is fetched again from the server; finishes with success.
    void markLibraryChangedOnServer();
    // The item (a folder with its whole subtree) is uploaded again as new.
    void resetToNewOnClient(const SyncItem::Ptr &item);
    // Full write of the record (every column).
    void writeItem();
    void storeLibrarySic(const SyncLibrary::Ptr &library, const QString &newSic);

    QSharedPointer<CUserSession> userSession() const;
    SyncLibrary::Ptr findLibrary() const;
    ItemId libraryClientId() const;
    QString clientPath() const;
    // Where the item is on disk now: a pending local rename is already done there.
    QString currentLocalPath() const;

    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    const QSharedPointer<CAppStatusController> m_appStatusController;
    const QSharedPointer<CUserSessionController> m_userSessionController;
    const std::shared_ptr<CSyncProgressManager> m_syncProgressManager; // may be null
    const QSharedPointer<CFileManipulation> m_fileManipulation;
    SyncItem::Ptr m_item;

private slots:
    void processDeletedOnClientContinueFile(ErrorCode error, brindlex::FileSync::CFileSyncRemoveFileResponse response);
    void processDeletedOnClientContinueFolder(ErrorCode error, brindlex::FileSync::CFileSyncRmDirResponse response);
    void processDeletedOnClientContinue(ErrorCode error, const QString &newLibrarySic);
    void processMovedOnServerContinue(ErrorCode error, brindlex::FileSync::CFileSyncGetHierarchyResponse response);
    void processMovedOnClientContinue(ErrorCode error, brindlex::FileSync::CFileSyncRenameResponse response);
    void processMovedOnClientContinue2(ErrorCode error, brindlex::FileSync::CFileSyncGetHierarchyResponse response);
    void processMovedOnClientContinue3(ErrorCode error, brindlex::FileSync::CFileSyncMoveResponse response);

private:
    void logUnhandled(const char *where);
    // Whether the folder's subtree holds anything on disk or in records the server never had.
    bool hasLocalChangesBelow(const QString &path) const;
    // A local item refused by the server: kept, under a conflict name when it has changes; the
    // library is fetched again. Finishes the step.
    void keepRefusedLocalItem();
    void deleteRecord();
    // A synchronised sibling that had to take another local name because `freedName` was in use
    // is set to move back to its server name.
    void wakeSiblingWaitingFor(ItemId parent, const QString &freedName);

    bool m_finished = false;
};
