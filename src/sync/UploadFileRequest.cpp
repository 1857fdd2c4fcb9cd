#include "UploadFileRequest.h"

#include "AppState.h"
#include "ServerApi.h"

#include <QDebug>
#include <QFileInfo>

#include <limits>

namespace {

QByteArray isoTime(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate).toLatin1();
}

} // namespace

QString uploadFileMethodToString(UploadFileMethod method)
{
    return method == UploadFileMethod::Create ? QStringLiteral("create") : QStringLiteral("update");
}

namespace upload {

int timeoutForFileSize(quint64 fileSize)
{
    constexpr quint64 kPlainLimit = 524288000; // 500 MiB
    if (fileSize <= kPlainLimit)
        return CUploadFileRequest::kTimeoutMs;
    const quint64 ms = fileSize / kPlainLimit * quint64(CUploadFileRequest::kTimeoutMs)
        + fileSize % kPlainLimit * quint64(CUploadFileRequest::kTimeoutMs) / kPlainLimit;
    return int(qMin<quint64>(ms, quint64(std::numeric_limits<int>::max())));
}

} // namespace upload

// --- CUploadFileResponse ---------------------------------------------------------------------------

CUploadFileResponse::CUploadFileResponse(const QByteArray &data)
    : CJsonResponse(data)
{
    if (hasError) {
        if (error.errorEnum == ServerApiErrorCode::AntivirusAlert)
            avVirusFound = readString(errorObject.value(QLatin1String("message"))).startsWith(QLatin1String("AvVirusFound"));
        return;
    }
    state = readString(resultObject.value(QLatin1String("state")));
    fileState = readString(resultObject.value(QLatin1String("fileState")));
    fileId = readInt64(resultObject.value(QLatin1String("fileId")));
    filename = readString(resultObject.value(QLatin1String("filename")));
    changeDropped = resultObject.value(QLatin1String("changeDropped")).toBool(false);
    avCheck = resultObject.value(QLatin1String("avCheck")).toBool(false);
    conflicted = resultObject.value(QLatin1String("conflicted")).toBool(false);
}

// --- CShareableFile --------------------------------------------------------------------------------

CShareableFile::CShareableFile(const QString &path, QObject *parent)
    : QIODevice(parent)
    , m_file(new QFile(path))
{
}

bool CShareableFile::open(OpenMode mode)
{
    if (mode & QIODevice::WriteOnly) {
        qWarning() << "CShareableFile::open: read-only device, refused mode:" << int(mode) << "file:" << fileName();
        return false;
    }
    if (!m_file->open(QIODevice::ReadOnly)) {
        qDebug() << "CShareableFile::open: unable to open file:" << fileName() << m_file->errorString();
        return false;
    }
    m_size = m_file->size();
    m_file->close();
    m_position = 0;
    return QIODevice::open(mode | QIODevice::Unbuffered);
}

qint64 CShareableFile::size() const
{
    if (m_size >= 0)
        return m_size;
    if (!m_file->open(QIODevice::ReadOnly)) {
        qDebug() << "CShareableFile::size: unable to open file:" << fileName();
        return 0;
    }
    m_size = m_file->size();
    m_file->close();
    return m_size;
}

bool CShareableFile::seek(qint64 pos)
{
    if (!QIODevice::seek(pos))
        return false;
    m_position = pos;
    return true;
}

qint64 CShareableFile::readData(char *data, qint64 maxSize)
{
    if (!m_file->open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        qDebug() << "CShareableFile::readData: unable to open file:" << fileName();
        m_size = -1;
        return -1;
    }
    m_size = m_file->size();
    const auto shuttingDown = [this] {
        if (!appstate::isShuttingDown())
            return false;
        qDebug() << "CShareableFile::readData: unable to read data -> app is shutting down - file:" << fileName();
        m_file->close();
        return true;
    };
    if (shuttingDown())
        return -1;
    qint64 count = -1;
    if (m_file->seek(m_position))
        count = m_file->read(data, maxSize);
    else
        qDebug() << "CShareableFile::readData: unable to seek to" << m_position << "in file:" << fileName();
    if (shuttingDown())
        return -1;
    if (count > 0)
        m_position += count;
    m_file->close();
    return count;
}

qint64 CShareableFile::writeData(const char *, qint64)
{
    qWarning() << "CShareableFile::writeData: not implemented method called for file:" << fileName();
    return -1;
}

// --- CUploadFileRequest ----------------------------------------------------------------------------

CUploadFileRequest::CUploadFileRequest(const QSharedPointer<CUserSession> &userSession, const QString &tenantId,
                                       int msTimeout)
    : CWorkspaceServerPostRequest(userSession, msTimeout)
    , m_tenantId(tenantId)
{
    m_notFoundIsItemNotFound = true;
}

QString CUploadFileRequest::uploadPath() const
{
    return QStringLiteral("/%1/fileupload").arg(m_tenantId);
}

// --- CUploadSyncFileRequest ------------------------------------------------------------------------

CUploadSyncFileRequest::CUploadSyncFileRequest(const QSharedPointer<CUserSession> &userSession,
                                               UploadFileMethod method, const QString &localPath,
                                               const SyncLibrary::ConstPtr &lib, const SyncItem::ConstPtr &parent,
                                               const SyncFile::ConstPtr &file)
    : CUploadFileRequest(userSession, lib ? lib->TenantId : QString(),
                         upload::timeoutForFileSize(file ? file->Size : 0))
    , m_library(lib)
    , m_parent(parent)
    , m_file(file)
    , m_method(method)
    , m_localPath(localPath)
{
    Q_ASSERT_X(userSession, "CUploadSyncFileRequest", "userSession");
    Q_ASSERT_X(lib, "CUploadSyncFileRequest", "lib");
    Q_ASSERT_X(parent || method != UploadFileMethod::Create, "CUploadSyncFileRequest", "parent");
    Q_ASSERT_X(file, "CUploadSyncFileRequest", "file");
    const quint64 size = file ? file->Size : 0;
    if (upload::timeoutForFileSize(size) != kTimeoutMs)
        qDebug() << "CUploadSyncFileRequest::CUploadSyncFileRequest: fileSize:" << size
                 << "-> msTimeout:" << upload::timeoutForFileSize(size);
}

void CUploadSyncFileRequest::exec()
{
    qDebug() << "CUploadSyncFileRequest::exec";
    if (!m_userSession || !m_library || !m_file || (m_method == UploadFileMethod::Create && !m_parent)) {
        qCritical() << "CUploadSyncFileRequest::exec: session, library, file or parent missing -> nothing uploaded,"
                    << "file:" << m_localPath;
        finished(ServerApiErrorCode::ErrorInternal);
        deleteLater();
        return;
    }
    if (m_file->Size < upload::kFeasibilityTestFromBytes) {
        qDebug() << "CUploadSyncFileRequest::exec: fileSize:" << m_file->Size
                 << "-> skipping file upload feasibility test";
        execContinue();
        return;
    }

    using namespace brindlex::FileSync;
    const qint64 size = qint64(m_file->Size);
    if (m_method == UploadFileMethod::Update) {
        auto *test = new CFileSyncCanUpdateFileRequest(m_userSession, m_library, m_library->TenantId,
                                                       qint64(m_library->ServerId), m_library->Sic,
                                                       qint64(m_file->ServerId), m_file->Sic, size,
                                                       brindlex::RenameOnConflict);
        connect(test, &CFileSyncCanUpdateFileRequest::finishedSignal, this,
                &CUploadSyncFileRequest::canUploadFileFinishedSlot);
        m_feasibilityRequest = test;
        test->exec();
    } else {
        auto *test = new CFileSyncCanCreateFileRequest(m_userSession, m_library, m_library->TenantId,
                                                       qint64(m_library->ServerId), m_library->Sic,
                                                       qint64(m_parent->ServerId), m_file->ClientName, size,
                                                       brindlex::RenameOnConflict);
        connect(test, &CFileSyncCanCreateFileRequest::finishedSignal, this,
                &CUploadSyncFileRequest::canUploadFileFinishedSlot);
        m_feasibilityRequest = test;
        test->exec();
    }
}

void CUploadSyncFileRequest::cancelUpload()
{
    m_cancelled = true;
    if (m_feasibilityRequest)
        m_feasibilityRequest->cancel();
    cancel();
}

void CUploadSyncFileRequest::canUploadFileFinishedSlot(ErrorCode error)
{
    if (m_cancelled) {
        qDebug() << "CUploadSyncFileRequest::canUploadFileFinishedSlot: cancelled while asking -> nothing uploaded";
        finished(ServerApiErrorCode::ErrorOperationCancelled);
        deleteLater();
        return;
    }
    if (error.isSuccess()) {
        execContinue();
        return;
    }
    qCritical() << "CUploadSyncFileRequest::canUploadFileFinishedSlot: unable to upload file, error:" << error;
    finished(error);
    deleteLater();
}

QNetworkRequest CUploadSyncFileRequest::uploadRequest() const
{
    QNetworkRequest request;
    request.setRawHeader("X-id", QByteArray::number(m_library->ServerId));
    request.setRawHeader("X-state", m_library->Sic.toUtf8());
    request.setRawHeader("X-length", QByteArray::number(m_file->Size));
    request.setRawHeader("X-createdTimeFS", isoTime(m_file->CreatedTime));
    request.setRawHeader("X-modifiedTimeFS", isoTime(m_file->UpdatedTime));
    request.setRawHeader("X-method", uploadFileMethodToString(m_method).toLatin1());
    if (m_method == UploadFileMethod::Create) {
        request.setRawHeader("X-parentId", QByteArray::number(m_parent->ServerId));
        // Base64 keeps the header ASCII whatever the name holds.
        request.setRawHeader("X-filename", m_file->ClientName.toUtf8().toBase64());
    } else {
        request.setRawHeader("X-fileState", m_file->Sic.toUtf8());
        request.setRawHeader("X-fileId", QByteArray::number(m_file->ServerId));
    }
    request.setRawHeader("X-conflictPolicy", brindlex::conflictPolicyToString(brindlex::RenameOnConflict).toLatin1());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/octet-stream"));
    return request;
}

void CUploadSyncFileRequest::execContinue()
{
    qDebug() << "CUploadSyncFileRequest::execContinue: method:" << uploadFileMethodToString(m_method)
             << "file:" << m_localPath << "parentClientId:" << (m_parent ? m_parent->ClientId : 0)
             << "library clientId:" << m_library->ClientId << "library sic:" << m_library->Sic
             << "file sic:" << m_file->Sic;
    m_bodyDevice = new CLimitedIODevice(new CShareableFile(m_localPath), this);
    send(QNetworkAccessManager::PostOperation, uploadRequest(), uploadPath(), m_bodyDevice);
}

void CUploadSyncFileRequest::sendProgress(qint64 done, qint64 total)
{
    emit fileUploadInfoSignal(m_file->ClientId, done, total);
    emit fileUploadProgressSignal(displayName(), m_file->ClientId, progressCount(done), progressCount(total));
}

CustomItem CUploadSyncFileRequest::libraryItem() const
{
    CustomItem item;
    if (m_library) {
        item.clientId = qint64(m_library->ClientId);
        item.serverId = qint64(m_library->ServerId);
        item.tenantId = m_library->TenantId;
    }
    return item;
}

QString CUploadSyncFileRequest::displayName() const
{
    return m_file->ServerName.isEmpty() ? m_file->ClientName : m_file->ServerName;
}

bool CUploadSyncFileRequest::finished(const ErrorCode &outcome)
{
    // No answer at all (refused before sending, transport failure): nothing to parse or log.
    CUploadFileResponse response = m_response.isEmpty() ? CUploadFileResponse() : CUploadFileResponse(m_response);
    response.customItem = libraryItem();

    ErrorCode error = outcome;
    if (outcome.isSuccess()) {
        if (response.hasError && response.error == ServerApiErrorCode::SessionExpired)
            return false; // the engine clears the token and calls again with brindlex.InvalidAccessToken
        error = response.hasError ? response.error : ErrorCode(ServerApiErrorCode::ErrorSuccess);
        // A success must name the file: without it the record would get server id 0, which later
        // reads as a file deleted on the server.
        if (error.isSuccess() && (m_response.isEmpty() || response.fileId <= 0)) {
            qCritical() << "CUploadSyncFileRequest::finished: answer without a file id:"
                        << QString::fromUtf8(m_response.left(1024)) << "-> internal error";
            error = ErrorCode(ServerApiErrorCode::ErrorInternal);
        }
        if (error == ServerApiErrorCode::AccessDenied && m_userSession && response.customItem.isValid()
            && probeAccessDenied(m_userSession, response.customItem, this, [this, response](const ErrorCode &verdict) {
                   report(verdict, response);
                   releaseHeld();
               })) {
            holdForLaterReport();
            return true;
        }
    } else if (!QFileInfo(m_localPath).isFile()) {
        // A transfer that failed because the file went away is the file's problem, not the network's.
        qDebug() << "CUploadSyncFileRequest::finished: file" << m_localPath << "vanished, error:" << outcome;
        error = ErrorCode(ServerApiErrorCode::ErrorUnableToOpenFile);
    }
    report(error, response);
    return true;
}

void CUploadSyncFileRequest::report(ErrorCode error, const CUploadFileResponse &response)
{
    if (error == ServerApiErrorCode::TenantNotFound)
        error = ErrorCode(ServerApiErrorCode::ItemNotFound);
    // The body stays open: an aborted reply may still read a chunk it had asked for, and the
    // device goes with this request, after the reply.
    const ItemId id = m_file ? m_file->ClientId : 0;
    emit fileUploadCompletedSignal(id, error, response);
    emit fileUploadFinishedSignal(m_file ? m_file->ServerName : QString(), id, error);
}
