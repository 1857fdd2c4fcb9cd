#pragma once

#include "SyncRecords.h"
#include "SyncHash.h"
#include "WorkspaceServerRequest.h"

#include <QByteArray>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>

// What a download learnt about the file besides its bytes.
struct CGetFileResponse
{
    QString fileName;  // from "Content-Disposition", encoded words decoded
    qint64 id = 0;     // "X-id"
    QString fileState; // "X-fileState": the file's state identifier
    QString state;     // "X-state": the library's state identifier
    QByteArray hash;   // raw SHA-1 of exactly the bytes passed on through fileDataReceived
};

Q_DECLARE_METATYPE(CGetFileResponse)

// Fetches one server file with a plain GET and hands it on chunk by chunk; the receiver writes
// it to disk. A transfer shorter or longer than the server announced ends as cancelled, so a
// half file is never taken for the whole one. Deletes itself after fileCompletedSignal.
//
// Connect fileDataReceived directly: the data pointer is only valid during the emission.
// The progress report connects fileDownloadProgressSignal and fileDownloadFinishedSignal, queued.
class CGetFileRequest : public CWorkspaceServerGetRequest
{
    Q_OBJECT
public:
    static constexpr int kTimeoutMs = 360000;

    CGetFileRequest(const QSharedPointer<CUserSession> &userSession, const SyncLibrary::ConstPtr &syncLibrary,
                    const SyncFile::ConstPtr &syncFile);

    void exec();

    // The file name in a "Content-Disposition" value; empty when there is none. clientId only
    // names the file in the log.
    static QString getServerFileName(const QByteArray &contentDisposition, ItemId clientId);

signals:
    void fileDataReceived(ItemId clientId, QString serverFileName, const char *data, qint64 size);
    void fileCompletedSignal(ItemId clientId, CGetFileResponse resp, ErrorCode error);
    void fileDownloadProgressSignal(QString fileName, ItemId clientId, qulonglong bytesDone, qulonglong bytesTotal);
    void fileDownloadFinishedSignal(QString fileName, ItemId clientId);

protected:
    void readProgress(qint64 done, qint64 total) override;
    void recv(QNetworkReply *reply, const char *data, qint64 size) override;
    bool finished(const ErrorCode &error) override;

private:
    // Headers come with the first progress; read them whenever something arrives.
    void readHeaders(QNetworkReply *reply);

    CGetFileResponse m_fileResponse;
    QString m_tenantId;
    qint64 m_fileServerId = 0;
    ItemId m_fileClientId = 0;
    qint64 m_bytesReceived = 0;
    qint64 m_totalSize = 0;
    QSharedPointer<CSyncHashCalculator> m_digest{new CSyncHashCalculator};
};
