#pragma once

#include "GetFileRequest.h"
#include "ServerApi.h"
#include "SyncItem.h"
#include "UploadFileRequest.h"

#include <QDateTime>
#include <QFile>
#include <QString>

#include <memory>

// The decisions of a file transfer, free of server and database.
namespace filesync {

// A download needs its size plus this much free space; larger failed downloads wait longer.
constexpr qint64 kFreeSpaceReserve = 104857600;
constexpr quint64 kLargeFileThreshold = 104857600;

// Partial downloads live on the store folder's own file system, so putting one in place is a rename.
inline const QString kDownloadFolderName = QStringLiteral(".Brindlex Downloads");
QString downloadFolderPath(const QString &storeFolder);
// Removes what an interrupted run left behind; run before any download starts.
void removeDownloadLeftovers(const QString &storeFolder);

enum class FreeSpace { Unknown, NotEnough, Enough };
FreeSpace freeSpaceVerdict(qint64 discFreeSpace, quint64 fileSize);

// What is on disk at a path. The hash is only filled in when the caller asked for it.
struct LocalFile
{
    bool exists = false;
    bool regular = false; // a plain file, not a folder or link
    quint64 size = 0;
    QDateTime modifiedUtc;
    QString hash;
};
// withHash: hash only when the size leaves the question open (sizeHint < 0: always).
LocalFile readLocalFile(const QString &path, bool withHash, qint64 sizeHint = -1);

// Whether replacing or removing the file loses nothing the user wrote since it was recorded:
// nothing there, or the recorded content (hash when both are known, else size and time).
bool isUnchangedSinceRecorded(const SyncFile &record, const LocalFile &disk);

// A server file's place may already hold a file: the same content is taken over as it is.
enum class Target { Free, Adopt, Occupied };
Target targetVerdict(const LocalFile &atTarget, const QString &serverHash, quint64 serverSize);

// Both sides changed the content (or the server moved what was edited here).
bool isContentConflict(const SyncStatus &status);

// Tests set a fixed free-space figure; a negative value restores the real one.
void setDiscFreeSpaceForTesting(qint64 bytes);
qint64 discFreeSpace(const QString &path);

} // namespace filesync

// The item state machine of a file: downloads of files new or changed on the server, uploads of
// files new or changed locally, and the re-checks of parked files. Nothing local is overwritten
// that was not recorded as the server's copy: a local edit met by a server change is kept beside
// as a conflict copy and uploaded as a new file.
class CSyncFile : public CSyncItem
{
    Q_OBJECT
public:
    CSyncFile(const QSharedPointer<CSyncDatabase> &syncDatabase,
              const QSharedPointer<CAppStatusController> &appStatusController,
              const QSharedPointer<CUserSessionController> &userSessionController,
              const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
              const QSharedPointer<CFileManipulation> &fileManipulation, const SyncFile::Ptr &file,
              QObject *parent = nullptr);
    ~CSyncFile() override;

signals:
    void cancelSignal();

protected:
    void processNewOnServer() override;
    void processNewOnClient() override;
    void processChangedOnServer() override;
    void processChangedOnClient() override;
    void processConflict() override;
    void startPreProcessing() override;

private slots:
    void downloadingDataReceived(quint64 clientId, QString serverFileName, const char *data, qint64 size);
    void downloadingCompletedSlot(quint64 clientId, CGetFileResponse response, ErrorCode error);
    void processNotEnoughFreeSpaceOnDiscSlot(ErrorCode error, brindlex::FileSync::CFileSyncGetFileResponse response);
    void processNewOnClientContinue(quint64 clientId, ErrorCode error, CUploadFileResponse response);
    void processChangedOnClientContinue(quint64 clientId, ErrorCode error, CUploadFileResponse response);
    void checkAccessRightsContinue(ErrorCode error, brindlex::Items::CItemsGetRoleResponse response);
    void checkQuotaContinue(ErrorCode error);

private:
    void finishAntivirusAlert(const char *context, bool virusFound, const QString &path);
    SyncFile::Ptr file() const { return m_item.staticCast<SyncFile>(); }
    void startFileDownloading();
    void setFSAttributesAndFinishFileDownloading();
    bool cancelRequestIfNecessary();
    void removeTempFile();
    // Moves the local file aside under a conflict name; owner's record follows it, else a new
    // record makes it an upload.
    bool keepLocalVersionBeside(const QString &path, const SyncFile::Ptr &owner = SyncFile::Ptr());
    // Another record in the same folder with this name, letter case aside.
    SyncFile::Ptr sameNamedFile(const QString &name) const;
    void startUpload(UploadFileMethod method, const SyncItem::ConstPtr &parent);
    // What both upload outcomes share; false when the outcome was specific and handled by the caller.
    bool handleCommonUploadOutcome(const char *where, const ErrorCode &error);
    void checkAccessRights();
    void checkQuota();
    // Connects a transfer to the progress report, when the engine keeps one.
    void connectProgress(QObject *request);

    QString m_tempPath;
    QString m_targetPath;
    QFile m_tempFile;
    bool m_tempFailed = false;
    QString m_uploadHash;
};
