#pragma once

#include "SyncItem.h"

#include <QAtomicInt>
#include <QHash>
#include <QPointer>
#include <QThread>

#include <memory>

// The rules of the library scheduler, free of threads, disk and database.
namespace synclibrary {

enum class Gate { Process, WaitOffline, WaitSignIn };
// What sync() does in an engine status (a library deleted on the server is handled in any).
Gate gateFor(int appStatus);
int gateInterval(Gate gate);

// "Brindlex - <tenant>/<library>", both names made valid local names.
QString relativeFolderPath(const QString &tenantName, const QString &libraryName);
// The name without a trailing " (n)".
QString withoutNumbering(const QString &relativePath);
// relativePath, or the first "relativePath (n)", n >= 2, that does not exist below storeFolder.
QString uniqueRelativePath(const QString &storeFolder, const QString &relativePath);
// "<path>.backup yyyy-MM-dd hh_mm_ss"
QString backupPath(const QString &path, const QDateTime &localTime);

} // namespace synclibrary

// The per-library scheduler on the sync thread: picks the library's next unsynchronised item,
// runs it to its single finished(), then continues at once or after an interval chosen from the
// error. Itself the state machine of the library record: fetching the hierarchy, creating,
// renaming and removing the library's folder.
class CSyncLibrary : public CSyncItem
{
    Q_OBJECT
public:
    CSyncLibrary(const QSharedPointer<CSyncDatabase> &syncDatabase,
                 const QSharedPointer<CAppStatusController> &appStatusController,
                 const QSharedPointer<CUserSessionController> &userSessionController,
                 const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
                 const QSharedPointer<CFileManipulation> &fileManipulation, const SyncLibrary::Ptr &library,
                 QObject *parent = nullptr);
    ~CSyncLibrary() override;

    void sync();
    void restartSync(unsigned int msecDelay);
    void restartProcessingLibrary();
    void startOneItemSync();
    bool areAllLocalChangesInDatabase(const QString &path) const;

public slots:
    void syncItemFinished(ErrorCode error);
    void syncDatabaseChangedSlot(ItemId libraryClientId);

protected:
    void processNewOnServer() override;
    void processDeletedOnServer() override;
    void processDeletedOnClient() override;
    void processMovedOnServer() override;
    bool isAdoptableLibraryFolder(const QString &store, const QString &relative) const;
    void processChangedOnServer() override;
    void finish(const ErrorCode &error) override;

private slots:
    void fillLibraryHierarchyContinueSlot(ErrorCode error, SyncLibrary::Ptr lib);

private:
    SyncLibrary::Ptr library() const { return SyncLibrary::cast(m_item); }
    void fillLibraryHierarchy();
    // False when the store folder is missing (engine status set): nothing may look deleted then.
    bool checkStoreFolder();
    // The library's folder vanished while the store folder is there: start over from the server.
    bool recoverMissingLibraryFolder(const SyncLibrary::Ptr &library);
    void clearRecordsOfLibrary();
    void refetchAfterInterruptedCreations(const SyncLibrary::Ptr &library);

    const ItemId m_libraryClientId;
    QAtomicInt m_processing = 0;
    QAtomicInt m_restartPending = 0;
    bool m_startChecked = false;
};

// Creates the object that carries one record of a library through its step.
CSyncItem *createSyncItem(const SyncItem::Ptr &item, const QSharedPointer<CSyncDatabase> &syncDatabase,
                          const QSharedPointer<CAppStatusController> &appStatusController,
                          const QSharedPointer<CUserSessionController> &userSessionController,
                          const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
                          const QSharedPointer<CFileManipulation> &fileManipulation, QObject *parent);

class CSyncThread : public QThread
{
    Q_OBJECT
};

// Owns the sync thread, on which every library scheduler and item step runs.
class CSyncThreadManager : public QObject
{
    Q_OBJECT
public:
    CSyncThreadManager(const QSharedPointer<CSyncDatabase> &syncDatabase,
                       const QSharedPointer<CAppStatusController> &appStatusController,
                       const QSharedPointer<CUserSessionController> &userSessionController,
                       const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
                       const QSharedPointer<CFileManipulation> &fileManipulation);
    // Stops the sync thread and waits for it, and for every projection it started.
    ~CSyncThreadManager() override;

    // Any thread: the library is started on the sync thread.
    void startSyncLibrary(ItemId clientId);

public slots:
    void startSyncLibrarySlot(ItemId clientId);
    void cleanupSlot();

private:
    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    const QSharedPointer<CAppStatusController> m_appStatusController;
    const QSharedPointer<CUserSessionController> m_userSessionController;
    const std::shared_ptr<CSyncProgressManager> m_syncProgressManager;
    const QSharedPointer<CFileManipulation> m_fileManipulation;
    QHash<ItemId, QPointer<CSyncLibrary>> m_libraries;
    std::unique_ptr<CSyncThread> m_syncThread;
};
