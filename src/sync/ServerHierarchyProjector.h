#pragma once

#include "Hierarchy.h"
#include "ServerApi.h"
#include "ServerApiErrorCode.h"
#include "SyncRecords.h"

#include <QDateTime>
#include <QHash>
#include <QPointer>
#include <QScopedPointer>
#include <QSet>
#include <QSharedPointer>
#include <QThread>
#include <QVector>

class CSyncDatabase;
class CSyncDatabaseBatch;
class CUserSessionController;

// Where every item of one server hierarchy sits. Root items have the library's server id as parent.
struct HierarchyIndex
{
    QVector<quint64> ids; // files of a level first, then its folders, depth first
    QSet<quint64> idSet;  // the same ids, for membership tests
    QHash<quint64, quint64> parentOf;
    QHash<quint64, QString> nameOf;
    quint64 foldersCount = 0;
    quint64 filesCount = 0;
    quint64 filesSizeSum = 0;
    // Items the server sent without a usable id. One is enough to distrust the whole answer.
    quint64 itemsWithoutId = 0;

    bool contains(quint64 id) const { return idSet.contains(id); }
    // "[filesCount: %1, foldersCount: %2, filesSizeSum: %3]"
    QString toString() const;
};

// The pure parts of a projection: the index, the server's times and the status rules.
namespace hierarchyprojection {

HierarchyIndex buildIndex(const brindlex::Hierarchy &hierarchy);

// A time as the server sent it, in UTC; invalid when it was none.
QDateTime serverTime(const brindlex::ServerTime &time);

struct FileServerStatus
{
    quint32 serverStatus = StatusInvalid;
    // Only a file that was synchronised on the server side counts as moved by the server alone.
    bool movedFromSynchronized = false;
};
// A known file's server status once the server changed its content (sic) and/or its name or place.
FileServerStatus fileServerStatus(quint32 current, bool sicChanged, bool nameOrPlaceChanged);
// A known folder's server status once the server renamed or moved it.
quint32 folderServerStatus(quint32 current);
// Changed on both sides: only conflict resolution can settle the item.
bool isConflict(const SyncStatus &status);

} // namespace hierarchyprojection

// Fetches one library's hierarchy from the server and projects it onto the database on a thread of
// its own: server items the database lacks become new on the server, known ones whose name, place
// or content changed are marked moved or changed, and rows the hierarchy no longer holds are marked
// deleted on the server. Touches no local file. One object serves one library and one run; the
// owner starts it, receives finishedSignal (queued) and discards it.
class CServerHierarchyProjector : public QThread
{
    Q_OBJECT
public:
    CServerHierarchyProjector(const QSharedPointer<CSyncDatabase> &syncDatabase,
                              const QSharedPointer<CUserSessionController> &userSessionController,
                              const SyncLibrary::Ptr &library, QObject *parent = nullptr);
    ~CServerHierarchyProjector() override;

    // What the thread does with a hierarchy the server sent, done on the calling thread: the item
    // rows, then the library's new sic. Returns the result, which result() keeps.
    ErrorCode projectHierarchy(const brindlex::Hierarchy &hierarchy);

    ErrorCode result() const { return m_result; }
    bool hasConflict() const { return m_conflict; }
    SyncLibrary::Ptr library() const { return m_library; }
    const HierarchyIndex &index() const { return m_index; }

signals:
    void finishedSignal(ErrorCode error, SyncLibrary::Ptr lib);

protected:
    void run() override;

private slots:
    void continueHierarchyProcessing(ErrorCode error, brindlex::FileSync::CFileSyncGetHierarchyResponse response);
    void threadFinishedSlot();

private:
    // The library's rows as the projection found them, so that each server item costs no query.
    struct LocalRows
    {
        QList<SyncFile::Ptr> files;
        QList<SyncFolder::Ptr> folders;
        QHash<quint64, SyncFile::Ptr> filesByServerId;
        QHash<quint64, SyncFolder::Ptr> foldersByServerId;
        QHash<ItemId, quint64> serverIdOfClientId;
        // Every server id the library holds, including rows inserted by this projection.
        QSet<quint64> serverIds;
    };

    bool processHierarchy(const brindlex::Hierarchy &hierarchy);
    void findOnServerDeletedItems(const brindlex::Hierarchy &hierarchy);
    void processFiles(const QVector<brindlex::File> &files, const SyncItem::ConstPtr &parent);
    void processFolders(const SyncItem::ConstPtr &parent, const QVector<brindlex::Folder> &folders);
    void processOnServerNewFile(const SyncItem::ConstPtr &parent, const brindlex::File &file);
    void processOnServerExistingFile(const brindlex::File &file, const SyncFile::Ptr &record);
    void processOnServerNewFolder(const SyncItem::ConstPtr &parent, const brindlex::Folder &folder);
    void processOnServerExistingFolder(const brindlex::Folder &folder, const SyncFolder::Ptr &record);

    void loadLocalRows();
    // The server id of a record's current parent; false when that parent is not in the database.
    bool currentParentServerId(ItemId parentClientId, quint64 *serverId);
    void storeLibrarySic(const brindlex::Hierarchy &hierarchy);
    void requestDummyWatcherToken();

    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    const QSharedPointer<CUserSessionController> m_userSessionController;
    const SyncLibrary::Ptr m_library;
    HierarchyIndex m_index;
    ErrorCode m_result = ServerApiErrorCode::ErrorUnknown;
    bool m_conflict = false;
    LocalRows m_rows;
    // All writes of one projection: committed whole or not at all.
    QScopedPointer<CSyncDatabaseBatch> m_batch;
    // The request in flight on the projection thread; deleted there if the thread ends first.
    QPointer<CJsonRpcRequest> m_pendingRequest;
};
