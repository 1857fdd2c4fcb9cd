#include "GetFileRequest.h"

#include "MimeText.h"

#include <QDebug>
#include <QRegularExpression>
#include <QStringList>

namespace {

// Once an answer without a length has ended, Qt reports its total as the count received; but
// then nothing vouches that the content is whole.
bool hasUnannouncedLength(QNetworkReply *reply)
{
    if (!reply)
        return false;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status >= 200 && status < 300 && !reply->header(QNetworkRequest::ContentLengthHeader).isValid();
}

} // namespace

CGetFileRequest::CGetFileRequest(const QSharedPointer<CUserSession> &userSession,
                                 const SyncLibrary::ConstPtr &syncLibrary, const SyncFile::ConstPtr &syncFile)
    : CWorkspaceServerGetRequest(userSession, kTimeoutMs)
{
    Q_ASSERT_X(userSession, "CGetFileRequest", "userSession");
    Q_ASSERT_X(syncLibrary, "CGetFileRequest", "syncLibrary");
    Q_ASSERT_X(syncFile, "CGetFileRequest", "syncFile");
    m_notFoundIsItemNotFound = true;
    if (syncLibrary)
        m_tenantId = syncLibrary->TenantId;
    if (syncFile) {
        m_fileServerId = qint64(syncFile->ServerId);
        m_fileClientId = syncFile->ClientId;
    }
    qDebug() << "CGetFileRequest::CGetFileRequest: syncLibraryClientId:" << (syncLibrary ? syncLibrary->ClientId : 0)
             << "syncLibraryServerId:" << (syncLibrary ? syncLibrary->ServerId : 0)
             << "syncFileClientId:" << m_fileClientId << "syncFileServerId:" << m_fileServerId;
}

void CGetFileRequest::exec()
{
    m_digest->reset();
    const QString path = QStringLiteral("/%1/file/%2").arg(m_tenantId).arg(m_fileServerId);
    if (m_tenantId.isEmpty() || m_fileServerId == 0) {
        qCritical() << "CGetFileRequest::exec: no library or file to download, path:" << path;
        finished(ServerApiErrorCode::ErrorInternal);
        deleteLater();
        return;
    }
    logRequest(path);
    send(QNetworkAccessManager::GetOperation, QNetworkRequest(), path);
}

QString CGetFileRequest::getServerFileName(const QByteArray &contentDisposition, ItemId clientId)
{
    const QString header = QString::fromUtf8(contentDisposition);
    if (header.isEmpty())
        return QString();

    static const QRegularExpression separators(QStringLiteral("[;:]"));
    static const QRegularExpression namePart(QRegularExpression::anchoredPattern(QStringLiteral(".*filename=.*")));
    static const QRegularExpression upToOpeningQuote(QStringLiteral(".*filename\\s*=\\s*\""));
    static const QRegularExpression quoteAndBlanks(QStringLiteral("\"\\s*"));

    const QStringList parts = header.split(separators, Qt::KeepEmptyParts);
    for (const QString &part : parts) {
        if (!namePart.match(part).hasMatch())
            continue;
        QString name = part;
        name.remove(upToOpeningQuote);
        name.remove(quoteAndBlanks);
        return utils::decodeMimeText(name);
    }
    qCritical() << "CGetFileRequest::getServerFileName: invalid format of the Content-Disposition header:" << header
                << "(file:" << clientId << ")";
    return QString();
}

void CGetFileRequest::readHeaders(QNetworkReply *reply)
{
    if (!reply)
        return;
    if (reply->hasRawHeader("X-fileState"))
        m_fileResponse.fileState = QString::fromUtf8(reply->rawHeader("X-fileState"));
    if (reply->hasRawHeader("X-state"))
        m_fileResponse.state = QString::fromUtf8(reply->rawHeader("X-state"));
    if (reply->hasRawHeader("X-id"))
        m_fileResponse.id = qint64(reply->rawHeader("X-id").toULongLong()); // 0 when it is no number
    if (m_fileResponse.fileName.isEmpty() && reply->hasRawHeader("Content-Disposition"))
        m_fileResponse.fileName = getServerFileName(reply->rawHeader("Content-Disposition"), m_fileClientId);
}

void CGetFileRequest::readProgress(qint64 done, qint64 total)
{
    m_bytesReceived = done;
    m_totalSize = total;
    readHeaders(reply());
    emit fileDownloadProgressSignal(m_fileResponse.fileName, m_fileClientId, progressCount(done), progressCount(total));
}

void CGetFileRequest::recv(QNetworkReply *reply, const char *data, qint64 size)
{
    readHeaders(reply);
    if (m_fileResponse.fileName.isEmpty()) {
        // Without a name the content cannot be told from an error page: never pass it on.
        qCritical() << "CGetFileRequest::recv: unable to parse filename from reposnse headers";
        return;
    }
    m_digest->addData(data, int(size));
    emit fileDataReceived(m_fileClientId, m_fileResponse.fileName, data, size);
}

bool CGetFileRequest::finished(const ErrorCode &error)
{
    // An answer can end between two ticks: judge by the reply's final count, not the last tick's.
    m_bytesReceived = lastReadDone();
    m_totalSize = hasUnannouncedLength(reply()) ? -1 : lastReadTotal();
    ErrorCode outcome = error;
    if (m_bytesReceived != m_totalSize && error != ServerApiErrorCode::ItemNotFound) {
        qDebug() << "CGetFileRequest::finished: file:" << m_fileClientId << "totalSize:" << m_totalSize << "but"
                 << m_bytesReceived << "bytes received -> operation cancelled";
        outcome = ErrorCode(ServerApiErrorCode::ErrorOperationCancelled);
    }
    m_fileResponse.hash = m_digest->result();
    emit fileCompletedSignal(m_fileClientId, m_fileResponse, outcome);
    emit fileDownloadFinishedSignal(m_fileResponse.fileName, m_fileClientId);
    return true;
}
