#pragma once

#include "JsonResponse.h"
#include "SyncRecords.h"
#include "WorkspaceServerRequest.h"

#include <QFile>
#include <QIODevice>
#include <QMetaType>
#include <QPointer>
#include <QSharedPointer>
#include <QString>

enum class UploadFileMethod {
    Create = 0, // a new file in a folder
    Update = 1, // a new version of a known file
};

// "create" or "update", as the server reads it.
QString uploadFileMethodToString(UploadFileMethod method);

namespace upload {

// From this size on the server is asked first whether the upload can succeed at all, so that a
// big transfer is not wasted on a full quota or an outdated state.
constexpr quint64 kFeasibilityTestFromBytes = 102400;

// The inactivity time-out for a body of fileSize bytes: 360000 ms up to 500 MiB, beyond that in
// proportion, because the server goes silent while it stores and checks what it received.
int timeoutForFileSize(quint64 fileSize);

} // namespace upload

// The server's answer to an upload. Booleans it leaves out read as false.
struct CUploadFileResponse : CJsonResponse
{
    CUploadFileResponse() = default;
    explicit CUploadFileResponse(const QByteArray &data);

    QString state;     // the library's new state identifier
    QString fileState; // the file's new state identifier
    qint64 fileId = 0;
    QString filename;  // differs from the sent name when the server renamed on conflict
    bool changeDropped = false;
    bool avCheck = false;
    bool conflicted = false;
    bool avVirusFound = false; // refused as infected, not merely unscanned
};

Q_DECLARE_METATYPE(CUploadFileResponse)

// A local file read as a request body without being held open: it is opened, read and closed
// again for every chunk, so other programs may open, replace or delete it meanwhile. Reading
// fails once the engine shuts down, which ends a long upload early. The size is the one seen at
// the latest opening: the network layer asks for it several times per chunk, and an opening
// each time cost more than the read itself.
class CShareableFile : public QIODevice
{
    Q_OBJECT
public:
    explicit CShareableFile(const QString &path, QObject *parent = nullptr);

    // Read-only; fails when the file cannot be opened now.
    bool open(OpenMode mode) override;
    qint64 size() const override;
    bool seek(qint64 pos) override;
    QString fileName() const { return m_file->fileName(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    qint64 m_position = 0; // bytes already read
    mutable qint64 m_size = -1; // at the latest opening; -1: open again to learn it
    const QSharedPointer<QFile> m_file;
};

// POST of a body to the tenant's upload endpoint; an HTTP 404 means the target is gone.
class CUploadFileRequest : public CWorkspaceServerPostRequest
{
    Q_OBJECT
public:
    static constexpr int kTimeoutMs = 360000;

protected:
    CUploadFileRequest(const QSharedPointer<CUserSession> &userSession, const QString &tenantId,
                       int msTimeout = kTimeoutMs);

    QString uploadPath() const;

    const QString m_tenantId;
};

// Uploads one local file as a new file ("create", into parent) or as a new version of a known
// file ("update"). Reads the records, never changes them: applying the answer is the caller's.
// Reports exactly once through fileUploadCompletedSignal, then deletes itself.
//
// The progress report connects fileUploadProgressSignal and fileUploadFinishedSignal, queued.
class CUploadSyncFileRequest : public CUploadFileRequest
{
    Q_OBJECT
public:
    // parent is needed for Create only.
    CUploadSyncFileRequest(const QSharedPointer<CUserSession> &userSession, UploadFileMethod method,
                           const QString &localPath, const SyncLibrary::ConstPtr &lib, const SyncItem::ConstPtr &parent,
                           const SyncFile::ConstPtr &file);

    // Feasibility test (for 102400 bytes and more), then the upload.
    void exec();

signals:
    void fileUploadInfoSignal(ItemId id, qint64 done, qint64 total);
    void fileUploadCompletedSignal(ItemId id, ErrorCode error, CUploadFileResponse resp);
    void fileUploadProgressSignal(QString fileName, ItemId clientId, qulonglong bytesDone, qulonglong bytesTotal);
    void fileUploadFinishedSignal(QString fileName, ItemId clientId, ErrorCode error);

public slots:
    void canUploadFileFinishedSlot(ErrorCode error);
    // Also stops an upload whose feasibility question is still out.
    void cancelUpload();

protected:
    void sendProgress(qint64 done, qint64 total) override;
    bool finished(const ErrorCode &error) override;

private:
    void execContinue();
    void report(ErrorCode error, const CUploadFileResponse &response);
    // The upload's own headers, in the order the server documents them.
    QNetworkRequest uploadRequest() const;
    CustomItem libraryItem() const;
    QString displayName() const;

    const SyncLibrary::ConstPtr m_library;
    const SyncItem::ConstPtr m_parent;
    const SyncFile::ConstPtr m_file;
    const UploadFileMethod m_method;
    const QString m_localPath;
    // A child, so it outlives the reply that reads it (the base deletes the reply first).
    CLimitedIODevice *m_bodyDevice = nullptr;
    QPointer<CWorkspaceServerRequest> m_feasibilityRequest;
    bool m_cancelled = false;
};
