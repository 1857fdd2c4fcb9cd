#include "SyncFile.h"

#include "SyncProgress.h"

#include "AppState.h"
#include "FileManipulation.h"
#include "SyncDatabase.h"
#include "SyncHash.h"
#include "utils.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFileInfo>
#include <QUuid>
#include <QtDebug>

#include <limits>

namespace filesync {

namespace {
constexpr qint64 kNoOverride = std::numeric_limits<qint64>::min();
QAtomicInteger<qint64> freeSpaceOverride(kNoOverride);
} // namespace

QString downloadFolderPath(const QString &storeFolder)
{
    return syncpath::join(storeFolder, kDownloadFolderName);
}

void removeDownloadLeftovers(const QString &storeFolder)
{
    if (storeFolder.isEmpty())
        return;
    const QString folder = downloadFolderPath(storeFolder);
    // Only partial downloads of our own live here: never the user's data, so they are unlinked.
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        qDebug() << "filesync::removeDownloadLeftovers: removing" << entry.absoluteFilePath();
        if (!QFile::remove(entry.absoluteFilePath()))
            qWarning() << "filesync::removeDownloadLeftovers: unable to remove" << entry.absoluteFilePath();
    }
}

FreeSpace freeSpaceVerdict(qint64 free, quint64 fileSize)
{
    if (free < 0)
        return FreeSpace::Unknown;
    return quint64(free) < fileSize + quint64(kFreeSpaceReserve) ? FreeSpace::NotEnough : FreeSpace::Enough;
}

LocalFile readLocalFile(const QString &path, bool withHash, qint64 sizeHint)
{
    LocalFile local;
    const QFileInfo info(path);
    local.exists = info.exists() || info.isSymLink();
    if (!local.exists)
        return local;
    local.regular = info.isFile() && !info.isSymLink();
    local.size = quint64(info.size());
    local.modifiedUtc = info.lastModified().toUTC();
    if (withHash && local.regular && (sizeHint < 0 || quint64(sizeHint) == local.size))
        local.hash = CSyncHash::calculateByFilePath(path);
    return local;
}

bool isUnchangedSinceRecorded(const SyncFile &record, const LocalFile &disk)
{
    if (!disk.exists)
        return true;
    if (!disk.regular)
        return false;
    if (!record.Hash.isEmpty() && !disk.hash.isEmpty())
        return record.Hash == disk.hash;
    return disk.size == record.Size && record.UpdatedTime.isValid()
        && toDatabaseTime(disk.modifiedUtc) == toDatabaseTime(record.UpdatedTime);
}

Target targetVerdict(const LocalFile &atTarget, const QString &serverHash, quint64 serverSize)
{
    if (!atTarget.exists)
        return Target::Free;
    if (atTarget.regular && !serverHash.isEmpty() && atTarget.size == serverSize && atTarget.hash == serverHash)
        return Target::Adopt;
    return Target::Occupied;
}

bool isContentConflict(const SyncStatus &status)
{
    return status.ClientStatus == StatusChanged
        && (status.ServerStatus == StatusChanged || status.ServerStatus == StatusMovedAndChanged
            || status.ServerStatus == StatusMoved);
}

void setDiscFreeSpaceForTesting(qint64 bytes)
{
    freeSpaceOverride.storeRelaxed(bytes < 0 ? kNoOverride : bytes);
}

qint64 discFreeSpace(const QString &path)
{
    const qint64 fixed = freeSpaceOverride.loadRelaxed();
    return fixed == kNoOverride ? utils::getDiscFreeSpaceFromPath(path) : fixed;
}

} // namespace filesync

namespace {
constexpr ServerApiErrorCode::ErrorEnum AccessDenied = ServerApiErrorCode::AccessDenied;
constexpr ServerApiErrorCode::ErrorEnum AntivirusAlert = ServerApiErrorCode::AntivirusAlert;
constexpr ServerApiErrorCode::ErrorEnum ErrorInternal = ServerApiErrorCode::ErrorInternal;
constexpr ServerApiErrorCode::ErrorEnum ErrorSuccess = ServerApiErrorCode::ErrorSuccess;
constexpr ServerApiErrorCode::ErrorEnum ErrorUnableToOpenFile = ServerApiErrorCode::ErrorUnableToOpenFile;
constexpr ServerApiErrorCode::ErrorEnum ItemNotFound = ServerApiErrorCode::ItemNotFound;
constexpr ServerApiErrorCode::ErrorEnum QuotaExceeded = ServerApiErrorCode::QuotaExceeded;
constexpr ServerApiErrorCode::ErrorEnum StateOutOfDate = ServerApiErrorCode::StateOutOfDate;
} // namespace

CSyncFile::CSyncFile(const QSharedPointer<CSyncDatabase> &syncDatabase,
                     const QSharedPointer<CAppStatusController> &appStatusController,
                     const QSharedPointer<CUserSessionController> &userSessionController,
                     const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
                     const QSharedPointer<CFileManipulation> &fileManipulation, const SyncFile::Ptr &file,
                     QObject *parent)
    : CSyncItem(syncDatabase, appStatusController, userSessionController, syncProgressManager, fileManipulation, file,
                parent)
{
    Q_ASSERT_X(file, "CSyncFile", "file");
    qDebug() << "CSyncFile::CSyncFile: id" << m_item->ClientId;
}

CSyncFile::~CSyncFile()
{
    if (m_tempFile.isOpen())
        m_tempFile.close();
    removeTempFile();
    qDebug() << "CSyncFile::~CSyncFile: id" << m_item->ClientId;
}

void CSyncFile::connectProgress(QObject *request)
{
    if (!m_syncProgressManager)
        return;
    CSyncProgressManager *progress = m_syncProgressManager.get();
    if (auto *download = qobject_cast<CGetFileRequest *>(request)) {
        connect(download, &CGetFileRequest::fileDownloadProgressSignal, progress,
                &CSyncProgressManager::fileDownloadProgressSlot, Qt::QueuedConnection);
        connect(download, &CGetFileRequest::fileDownloadFinishedSignal, progress,
                &CSyncProgressManager::fileDownloadFinishedSlot, Qt::QueuedConnection);
    } else if (auto *upload = qobject_cast<CUploadSyncFileRequest *>(request)) {
        connect(upload, &CUploadSyncFileRequest::fileUploadProgressSignal, progress,
                &CSyncProgressManager::fileUploadProgressSlot, Qt::QueuedConnection);
        connect(upload, &CUploadSyncFileRequest::fileUploadFinishedSignal, progress,
                &CSyncProgressManager::fileUploadFinishedSlot, Qt::QueuedConnection);
    }
}

// ---------------------------------------------------------------------------------------------
// Server to client

void CSyncFile::processNewOnServer()
{
    const SyncFile::Ptr record = file();
    qDebug() << "CSyncFile::processNewOnServer: file" << record->ServerId;
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncFile::processNewOnServerContinue: unable to find library for" << record->ClientId;
        m_syncDatabase->deleteFile(record->ClientId);
        finish(ErrorSuccess);
        return;
    }
    const QString parentPath = m_syncDatabase->getClientPath(record->ParentClientId);
    if (parentPath.isEmpty()) {
        qCritical() << "CSyncFile::processNewOnServer: no local path for parent" << record->ParentClientId;
        finish(ErrorInternal);
        return;
    }
    const QString plainName = utils::makeValidLocalName(record->ServerName);
    const QString plainPath = parentPath + QLatin1Char('/') + plainName;
    const filesync::LocalFile atTarget = filesync::readLocalFile(plainPath, true, qint64(record->Size));
    const filesync::Target verdict = filesync::targetVerdict(atTarget, record->Hash, record->Size);

    const SyncFile::Ptr twin = verdict == filesync::Target::Free ? SyncFile::Ptr() : sameNamedFile(plainName);
    if (verdict == filesync::Target::Adopt) {
        // The content is already here (a rebuilt database, an interrupted run): take it over.
        qDebug() << "CSyncFile::processNewOnServer: file" << plainPath << "already holds the server's content -> adopted";
        if (twin && twin->ServerId == 0) {
            qDebug() << "CSyncFile::processNewOnServer: dropping local record" << twin->ClientId << "of the same file";
            m_syncDatabase->deleteFile(twin->ClientId);
        }
        record->ClientName = plainName;
        writeItem();
        m_targetPath = plainPath;
        setFSAttributesAndFinishFileDownloading();
        return;
    }
    QString name = plainName;
    if (verdict == filesync::Target::Occupied) {
        // A local file in the way of the server's name keeps its content under a conflict name and
        // is uploaded as such; a folder or a known server item there makes this one take a number.
        const bool movable = atTarget.regular && (!twin || twin->ServerId == 0);
        if (!movable || !keepLocalVersionBeside(plainPath, twin))
            name = syncitem::uniqueLocalName(parentPath, plainName, true);
    }
    record->ClientName = name;
    writeItem();
    m_targetPath = parentPath + QLatin1Char('/') + name;

    if (m_fileManipulation->restoreSyncFileFromCache(record, m_targetPath)) {
        setFSAttributesAndFinishFileDownloading();
        return;
    }
    startFileDownloading();
}

void CSyncFile::processChangedOnServer()
{
    const SyncFile::Ptr record = file();
    const QString path = clientPath();
    qDebug() << "CSyncFile::processChangedOnServer: file serverId:" << record->ServerId << path;
    if (path.isEmpty()) {
        qCritical() << "CSyncFile::processChangedOnServer: no local path for file" << record->ClientId;
        finish(ErrorInternal);
        return;
    }
    const filesync::LocalFile local = filesync::readLocalFile(path, true);
    if (!filesync::isUnchangedSinceRecorded(*record, local)) {
        qDebug() << "CSyncFile::processChangedOnServer: file" << path << "has been modified on disk"
                 << "recorded hash:" << record->Hash << "disk hash:" << local.hash;
        if (!keepLocalVersionBeside(path)) {
            record->syncStatus.ClientStatus = StatusChanged;
            writeItem();
            finish(ErrorSuccess);
            return;
        }
    } else if (local.exists && utils::isFileLocked(path)) {
        qDebug() << "CSyncFile::processChangedOnServer: file" << path << "is opened by local application -> skipping";
        finish(ServerApiErrorCode::ErrorLocalFileOpened);
        return;
    }
    m_targetPath = path;
    startFileDownloading();
}

void CSyncFile::processConflict()
{
    const SyncFile::Ptr record = file();
    if (!filesync::isContentConflict(record->syncStatus)) {
        CSyncItem::processConflict();
        return;
    }
    // Sending the local edit against the server's newer state would only be refused until the
    // library is fetched again, and that fetch meets the same conflict. Both versions are kept
    // instead: the local one as a new file beside, the server's in place.
    qDebug() << "CSyncFile::processConflict: item" << record->ClientId
             << "is in conflict state:" << record->syncStatus.toString() << "-> keeping both versions";
    const QString path = clientPath();
    // A touch without a content change is no edit: nothing to keep beside.
    const filesync::LocalFile local = filesync::readLocalFile(path, true);
    if (!filesync::isUnchangedSinceRecorded(*record, local) && !keepLocalVersionBeside(path)) {
        CSyncItem::processConflict();
        return;
    }
    record->syncStatus.ClientStatus = StatusSynchronized;
    if (record->syncStatus.ServerStatus == StatusMoved)
        record->syncStatus.ServerStatus = StatusMovedAndChanged;
    writeItem();
    m_targetPath = path;
    startFileDownloading();
}

SyncFile::Ptr CSyncFile::sameNamedFile(const QString &name) const
{
    const SyncFile::Ptr record = file();
    // By path, not by parent: a rebuilt database can hold one folder twice, once from each side.
    QString parentPath;
    for (const SyncFile::Ptr &other : m_syncDatabase->getFilesOfLibraryByName(record->LibraryClientId, name)) {
        // A file new on the server has no local name until it is placed.
        const QString otherName =
            other->ClientName.isEmpty() ? utils::makeValidLocalName(other->ServerName) : other->ClientName;
        if (other->ClientId == record->ClientId || otherName.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (other->ParentClientId == record->ParentClientId)
            return other;
        if (parentPath.isEmpty())
            parentPath = m_syncDatabase->getClientPath(record->ParentClientId);
        if (!parentPath.isEmpty()
            && m_syncDatabase->getClientPath(other->ParentClientId).compare(parentPath, Qt::CaseInsensitive) == 0)
            return other;
    }
    return {};
}

bool CSyncFile::keepLocalVersionBeside(const QString &path, const SyncFile::Ptr &owner)
{
    const SyncFile::Ptr record = file();
    const QFileInfo info(path);
    const QString folder = info.absolutePath();
    const QString name = syncitem::uniqueLocalName(
        folder, syncitem::conflictName(info.fileName(), QDateTime::currentDateTime(), true), true);
    const QString conflictPath = folder + QLatin1Char('/') + name;
    if (!utils::renameFileNative(path, conflictPath)) {
        qCritical() << "CSyncFile::keepLocalVersionBeside: unable to rename" << path << "to" << conflictPath;
        return false;
    }
    qWarning() << "CSyncFile::keepLocalVersionBeside: local version of" << path << "kept as" << conflictPath;
    if (owner) {
        owner->ClientName = name;
        if (owner->ServerId == 0)
            owner->ServerName = name;
        m_syncDatabase->updateFile(owner->ClientId, CSqlValueList{CSqlValue(QStringLiteral("ClientName"), name),
                                                                  CSqlValue(QStringLiteral("ServerName"), owner->ServerName)});
        return true;
    }
    SyncFile::Ptr copy(new SyncFile);
    copy->ParentClientId = record->ParentClientId;
    copy->LibraryClientId = record->LibraryClientId;
    copy->ClientName = name;
    copy->ServerName = name;
    copy->syncStatus.ClientStatus = StatusNew;
    copy->syncStatus.ServerStatus = StatusSynchronized;
    copy->Size = quint64(QFileInfo(conflictPath).size());
    m_syncDatabase->insertFile(copy);
    return true;
}

void CSyncFile::startFileDownloading()
{
    const SyncFile::Ptr record = file();
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncFile::startFileDownloading: unable to find library for file" << record->ClientId;
        finish(ErrorInternal);
        return;
    }
    const qint64 free = filesync::discFreeSpace(m_targetPath);
    switch (filesync::freeSpaceVerdict(free, record->Size)) {
    case filesync::FreeSpace::Unknown:
        qCritical() << "CSyncFile::startFileDownloading: discFreeSpace:" << free << "fileSize:" << record->Size
                    << "-> unable to get free space on HDD, downloading file anyway";
        break;
    case filesync::FreeSpace::NotEnough: {
        qCritical() << "CSyncFile::startFileDownloading: discFreeSpace:" << free << "fileSize:" << record->Size
                    << "-> not enough free space on HDD, aborting file download";
        auto *request = new brindlex::FileSync::CFileSyncGetFileRequest(userSession(), library, library->TenantId,
                                                                         qint64(record->ServerId));
        connect(request, &brindlex::FileSync::CFileSyncGetFileRequest::finishedSignal, this,
                &CSyncFile::processNotEnoughFreeSpaceOnDiscSlot);
        request->exec();
        return;
    }
    case filesync::FreeSpace::Enough:
        qDebug() << "CSyncFile::startFileDownloading: discFreeSpace:" << free << "fileSize:" << record->Size
                 << "-> enough free space on HDD, downloading file";
        break;
    }

    const QString tempFolder = filesync::downloadFolderPath(syncpath::storeFolder());
    QDir().mkpath(tempFolder);
    m_tempPath = tempFolder + QLatin1Char('/') + QUuid::createUuid().toString(QUuid::Id128) + QStringLiteral(".part");
    m_tempFile.setFileName(m_tempPath);
    if (!m_tempFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning() << "CSyncFile::startFileDownloading: unable to create temp file" << m_tempPath << "for file"
                   << m_targetPath << "- error:" << m_tempFile.errorString();
        m_tempFailed = true;
    }

    auto *request = new CGetFileRequest(userSession(), library, record);
    connect(request, &CGetFileRequest::fileDataReceived, this, &CSyncFile::downloadingDataReceived,
            Qt::DirectConnection);
    connect(request, &CGetFileRequest::fileCompletedSignal, this, &CSyncFile::downloadingCompletedSlot);
    connect(this, &CSyncFile::cancelSignal, request, &CGetFileRequest::cancel);
    connectProgress(request);
    request->exec();
}

void CSyncFile::processNotEnoughFreeSpaceOnDiscSlot(ErrorCode error, brindlex::FileSync::CFileSyncGetFileResponse)
{
    qDebug() << "CSyncFile::processNotEnoughFreeSpaceOnDiscSlot";
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncFile::processNotEnoughFreeSpaceOnDiscSlot: unable to find library for file"
                    << m_item->ClientId;
        finish(ErrorInternal);
        return;
    }
    if (error == ItemNotFound) {
        qDebug() << "CSyncFile::processNotEnoughFreeSpaceOnDiscSlot: file" << m_item->ClientId
                 << "is already removed on server -> removing also locally";
        m_syncDatabase->deleteFile(m_item->ClientId);
        m_syncDatabase->updateLibrary(library->ClientId, CSqlValue(QStringLiteral("ServerStatus"), quint32(StatusChanged)));
        finish(ErrorSuccess);
        return;
    }
    qDebug() << "CSyncFile::processNotEnoughFreeSpaceOnDiscSlot: file" << m_item->ClientId << "still exists -> waiting";
    finish(ServerApiErrorCode::ErrorNotEnoughFreeSpaceOnDisc);
}

bool CSyncFile::cancelRequestIfNecessary()
{
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncFile::cancelRequestIfNecessary: unable to find library for file" << m_item->ClientId;
    } else if (library->syncStatus.ServerStatus == StatusDeleted) {
        qDebug() << "CSyncFile::cancelRequestIfNecessary: library for file" << m_item->ClientId
                 << "deleted -> request canceled";
    } else if (appstate::isShuttingDown()) {
        qDebug() << "CSyncFile::cancelRequestIfNecessary: sync disabled -> file" << m_item->ClientId
                 << "-> request canceled";
    } else {
        return false;
    }
    emit cancelSignal();
    return true;
}

void CSyncFile::downloadingDataReceived(quint64, QString, const char *data, qint64 size)
{
    if (m_tempFailed || cancelRequestIfNecessary())
        return;
    if (!m_tempFile.isOpen()) {
        qCritical() << "CSyncFile::downloadingDataReceived: unable to open temp file" << m_tempPath << "for file"
                    << m_targetPath << "- error:" << m_tempFile.errorString();
        m_tempFailed = true;
        return;
    }
    if (m_tempFile.write(data, size) != size) {
        const QString text = m_tempFile.error() == QFileDevice::NoError ? QStringLiteral("???") : m_tempFile.errorString();
        qCritical() << "CSyncFile::downloadingDataReceived: unable to write data into temp file" << m_tempPath
                    << "id:" << m_item->ServerId << "- error:" << text;
        m_tempFailed = true;
        m_tempFile.close();
        removeTempFile();
    }
}

void CSyncFile::removeTempFile()
{
    if (!m_tempPath.isEmpty() && QFileInfo::exists(m_tempPath))
        QFile::remove(m_tempPath);
}

void CSyncFile::downloadingCompletedSlot(quint64, CGetFileResponse response, ErrorCode error)
{
    const SyncFile::Ptr record = file();
    if (m_tempFile.isOpen()) {
        if (!m_tempFile.flush())
            m_tempFailed = true;
        m_tempFile.close();
    }
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncFile::downloadingCompleted: unable to find library for file" << record->ClientId;
        removeTempFile();
        finish(ErrorInternal);
        return;
    }
    if (error.isSuccess() && m_tempFailed) {
        qWarning() << "CSyncFile::downloadingCompleted: temp file" << m_tempPath << "incomplete -> retrying later";
        error = ErrorCode(ServerApiErrorCode::ErrorUnableToCreateFile);
    }
    if (error.isSuccess() && response.fileName.isEmpty() && QFileInfo(m_tempPath).size() == 0 && record->Size > 0) {
        qWarning() << "CSyncFile::downloadingCompleted: answer without file name for a file of" << record->Size
                   << "bytes -> not taken as an empty file";
        error = ErrorCode(ErrorInternal);
    }
    if (error == ItemNotFound) {
        qDebug() << "CSyncFile::downloadingCompleted: file" << record->ServerId << "not found on server -> updating hierarchy";
        removeTempFile();
        m_syncDatabase->updateLibrary(library->ClientId, CSqlValue(QStringLiteral("ServerStatus"), quint32(StatusChanged)));
        finish(ErrorSuccess);
        return;
    }
    if (!error.isSuccess()) {
        qWarning() << "CSyncFile::downloadingCompleted: unable to download file" << record->ServerName << "serverId"
                   << record->ServerId << "local path" << m_targetPath << "temp path" << m_tempPath << "error" << error;
        removeTempFile();
        if (record->Size > filesync::kLargeFileThreshold) {
            qWarning() << "CSyncFile::downloadingCompleted: file size:" << record->Size << "-> adding extra delay";
            error.extraDelay = true;
        }
        finish(error);
        return;
    }

    const QString libraryPath = syncpath::libraryFolderPath(*library);
    if (!QFileInfo(libraryPath).isDir()) {
        qWarning() << "CSyncFile::downloadingCompleted: library folder not yet created:" << libraryPath;
        m_syncDatabase->updateLibrary(library->ClientId, CSqlValue(QStringLiteral("ServerStatus"), quint32(StatusDeleted)));
        removeTempFile();
        finish(ServerApiErrorCode::ErrorParentFolderNotYetCreated);
        return;
    }
    QDir().mkpath(QFileInfo(m_targetPath).absolutePath());

    // The check right before the rename: an edit made during the download is kept, not replaced.
    const filesync::LocalFile local = filesync::readLocalFile(m_targetPath, true);
    bool placed = false;
    if (local.exists && record->syncStatus.ServerStatus != StatusNew && filesync::isUnchangedSinceRecorded(*record, local)) {
        placed = utils::replaceFileNative(m_tempPath, m_targetPath);
    } else {
        if (local.exists && record->syncStatus.ServerStatus != StatusNew)
            keepLocalVersionBeside(m_targetPath);
        placed = utils::renameFileNative(m_tempPath, m_targetPath);
    }
    if (!placed) {
        qWarning() << "CSyncFile::downloadingCompleted: unable to rename temp file" << m_tempPath << "to" << m_targetPath;
        removeTempFile();
        finish(ServerApiErrorCode::ErrorUnableToReplacePreviousFile);
        return;
    }
    record->Sic = response.fileState;
    record->Hash = QString::fromLatin1(response.hash.toHex());
    record->Size = quint64(QFileInfo(m_targetPath).size());
    qDebug() << "CSyncFile::downloadingCompleted: serverId" << record->ServerId << "temp file" << m_tempPath << "to"
             << m_targetPath << "hash:" << record->Hash << "sic:" << record->Sic;
    setFSAttributesAndFinishFileDownloading();
}

void CSyncFile::setFSAttributesAndFinishFileDownloading()
{
    const SyncFile::Ptr record = file();
    utils::updateFileAttributes(m_targetPath);
    if (utils::setTime(m_targetPath, record->CreatedTime, record->UpdatedTime)) {
        qDebug() << "CSyncFile::setFSAttributesAndFinishFileDownloading(): FS timestamps successfully set for file"
                 << record->ClientId << m_targetPath;
    } else {
        // The content is complete: a file system that keeps no creation time or refuses the time
        // change must not turn it into a retry. The record keeps what the disk says, so the next
        // comparison does not take the file for a local edit.
        qWarning() << "CSyncFile::setFSAttributesAndFinishFileDownloading: UNABLE_TO_SET_FS_TIMESTAMPS for file"
                   << record->ClientId << m_targetPath << "-> kept with the times the disk reports";
        const QDateTime onDisk = utils::getModifiedTimeUtc(m_targetPath);
        if (onDisk.isValid() && toDatabaseTime(onDisk) != toDatabaseTime(record->UpdatedTime))
            record->UpdatedTime = onDisk;
    }
    record->syncStatus.ServerStatus =
        record->syncStatus.ServerStatus == StatusMovedAndChanged ? StatusMoved : StatusSynchronized;
    record->Attr = 0;
    writeItem();
    finish(ErrorSuccess);
}

// ---------------------------------------------------------------------------------------------
// Client to server

void CSyncFile::processNewOnClient()
{
    const SyncFile::Ptr record = file();
    const QString path = clientPath();
    if (!QFileInfo(path).isFile()) {
        qDebug() << "CSyncFile::processNewOnClient: file was not found: clientId:" << record->ClientId;
        m_syncDatabase->deleteFile(record->ClientId);
        finish(ErrorSuccess);
        return;
    }
    qDebug() << "CSyncFile::processNewOnClient: clientId:" << record->ClientId << "parentClientId"
             << record->ParentClientId << "name:" << record->ClientName;
    const SyncLibrary::Ptr library = m_syncDatabase->getLibraryOfItem(record->ClientId);
    SyncItem::ConstPtr parent;
    if (library && record->ParentClientId == library->ClientId)
        parent = library;
    else
        parent = m_syncDatabase->getItem(record->ParentClientId);
    if (!library || !parent) {
        qCritical() << "CSyncFile::processNewOnClient: name:" << record->ClientName
                    << "unable to find container for parentId:" << record->ParentClientId;
        finish(ErrorInternal);
        return;
    }
    if (parent->ServerId == 0) {
        qDebug() << "CSyncFile::processNewOnClient: parent" << parent->ClientId << "not yet on the server -> waiting";
        finish(ServerApiErrorCode::ErrorParentFolderNotYetCreated);
        return;
    }
    // The server has a file of this name that is not here yet (typically after the database was
    // rebuilt): the same content is the server's file, other content goes up under a conflict name.
    const SyncFile::Ptr twin = sameNamedFile(record->ClientName);
    if (twin && twin->ServerId != 0 && twin->syncStatus.ServerStatus == StatusNew) {
        const filesync::LocalFile local = filesync::readLocalFile(path, true, qint64(twin->Size));
        if (filesync::targetVerdict(local, twin->Hash, twin->Size) == filesync::Target::Adopt) {
            qDebug() << "CSyncFile::processNewOnClient: file" << path << "is the server's file" << twin->ServerId
                     << "-> not uploaded";
            m_syncDatabase->deleteFile(record->ClientId);
            finish(ErrorSuccess);
            return;
        }
        if (!keepLocalVersionBeside(path, record)) {
            finish(ServerApiErrorCode::ErrorUnableToRenameFile);
            return;
        }
    }
    startUpload(UploadFileMethod::Create, parent);
}

void CSyncFile::processChangedOnClient()
{
    const SyncFile::Ptr record = file();
    qDebug() << "CSyncFile::processChangedOnClient: file" << record->ClientId << record->ClientName;
    if (!findLibrary()) {
        qCritical() << "CSyncFile::processChangedOnClient: name:" << record->ClientName
                    << "unable to find container for parentId:" << record->ParentClientId;
        finish(ErrorInternal);
        return;
    }
    startUpload(UploadFileMethod::Update, SyncItem::ConstPtr());
}

void CSyncFile::startUpload(UploadFileMethod method, const SyncItem::ConstPtr &parent)
{
    const SyncFile::Ptr record = file();
    const QString path = clientPath();
    // The hash of what is sent: an edit made while the upload runs differs from it and goes next time.
    m_uploadHash = CSyncHash::calculateByFilePath(path);
    record->Size = quint64(QFileInfo(path).size());
    m_syncDatabase->updateFile(record->ClientId, CSqlValueList{CSqlValue(QStringLiteral("Size"), record->Size)});
    if (method == UploadFileMethod::Update && !m_uploadHash.isEmpty() && m_uploadHash == record->Hash
        && !record->hasAttr(AttrInfected)) {
        qDebug() << "CSyncFile::processChangedOnClient: content of" << path << "unchanged -> nothing to upload";
        record->syncStatus.ClientStatus = StatusSynchronized;
        writeItem();
        finish(ErrorSuccess);
        return;
    }
    const SyncLibrary::Ptr library = findLibrary();
    auto *request = new CUploadSyncFileRequest(userSession(), method, path, library, parent, record);
    if (method == UploadFileMethod::Create)
        connect(request, &CUploadSyncFileRequest::fileUploadCompletedSignal, this, &CSyncFile::processNewOnClientContinue);
    else
        connect(request, &CUploadSyncFileRequest::fileUploadCompletedSignal, this,
                &CSyncFile::processChangedOnClientContinue);
    connect(this, &CSyncFile::cancelSignal, request, &CUploadSyncFileRequest::cancelUpload);
    connectProgress(request);
    request->exec();
}

bool CSyncFile::handleCommonUploadOutcome(const char *where, const ErrorCode &error)
{
    const SyncFile::Ptr record = file();
    const QString path = clientPath();
    if (error == StateOutOfDate) {
        qDebug() << where << "state out of date for file" << record->ClientId << "-> fetching the library again";
        markLibraryChangedOnServer();
        return true;
    }
    if (error == AccessDenied) {
        qDebug() << where << "ACCESS_DENIED for file" << record->ClientId << path;
        record->Attr |= AttrAccessDenied;
        writeItem();
        finish(error);
        return true;
    }
    if (error == QuotaExceeded) {
        qDebug() << where << "QUOTA_EXCEEDED for file" << record->ClientId << path;
        record->Attr |= AttrQuotaExceeded;
        writeItem();
        finish(error);
        return true;
    }
    return false;
}

// An infected file is parked for good (no more upload attempts); a failed scan is retried later.
void CSyncFile::finishAntivirusAlert(const char *context, bool virusFound, const QString &path)
{
    const SyncFile::Ptr record = file();
    if (virusFound) {
        qDebug() << context << "ANTIVIRUS_ALERT for file" << record->ClientId << path;
        record->Attr |= AttrInfected;
        record->Hash = m_uploadHash;
        record->syncStatus.ClientStatus = StatusSynchronized;
        writeItem();
        finish(ErrorSuccess);
    } else {
        qDebug() << context << "ANTIVIRUS_SERVICE_FAIL for file" << record->ClientId;
        finish(ServerApiErrorCode::ErrorAntivirusServiceFail);
    }
}

void CSyncFile::processNewOnClientContinue(quint64, ErrorCode error, CUploadFileResponse response)
{
    const SyncFile::Ptr record = file();
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        if (!m_syncDatabase->isFilePresent(record->ClientId)) {
            qDebug() << "CSyncFile::processNewOnClientContinue() - file was removed from SyncDB:" << record->ClientId;
        } else {
            qCritical() << "CSyncFile::processNewOnClientContinue() - file does not belong to any library:"
                        << record->ClientId;
            m_syncDatabase->deleteFile(record->ClientId);
        }
        finish(ErrorSuccess);
        return;
    }
    const QString path = clientPath();
    if (error.isSuccess()) {
        if (!response.conflicted && !response.state.isEmpty())
            storeLibrarySic(library, response.state);
        else
            m_syncDatabase->updateLibrary(library->ClientId, CSqlValue(QStringLiteral("ServerStatus"), quint32(StatusChanged)));
        // Under a taken name the server stores the file as "name (2)": the record keeps the name sent,
        // so the next fetch sees the server's rename and carries it here too.
        record->ServerName = record->ClientName;
        record->Size = quint64(QFileInfo(path).size());
        record->ServerId = quint64(response.fileId);
        record->Sic = response.fileState;
        record->Hash = m_uploadHash;
        record->syncStatus.ClientStatus = StatusSynchronized;
        record->Attr &= ~quint32(AttrInfected);
        writeItem();
        qDebug() << "CSyncFile::processNewOnClientContinue: clientName:" << record->ClientName << "clientPath:" << path
                 << "uploaded, new serverId:" << record->ServerId << "new fileSic:" << record->Sic
                 << "new libSic:" << response.state;
        finish(ErrorSuccess);
        return;
    }
    if (handleCommonUploadOutcome("CSyncFile::processNewOnClientContinue:", error))
        return;
    if (error == ItemNotFound) {
        qDebug() << "CSyncFile::processNewOnClientContinue: ITEM_NOT_FOUND for parentId:" << record->ParentClientId;
        // The parent is gone on the server; the local file stays and is found again as new.
        m_syncDatabase->deleteFile(record->ClientId);
        if (record->ParentClientId == library->ClientId) {
            qDebug() << "CSyncFile::processNewOnClientContinue: error:" << error << "for syncLibrary:" << library->ClientName;
            finish(error);
        } else {
            m_syncDatabase->deleteFolder(record->ParentClientId);
            finish(ErrorSuccess);
        }
        return;
    }
    if (error == ErrorUnableToOpenFile) {
        if (!QFileInfo::exists(path)) {
            qDebug() << "CSyncFile::processNewOnClientContinue: UNABLE_TO_OPEN_FILE for file" << record->ClientId << path;
            m_syncDatabase->deleteFile(record->ClientId);
            finish(ErrorSuccess);
        } else {
            finish(error);
        }
        return;
    }
    if (error == AntivirusAlert) {
        finishAntivirusAlert("CSyncFile::processNewOnClientContinue:", response.avVirusFound, path);
        return;
    }
    qWarning() << "CSyncFile::processNewOnClientContinue: unable to upload file" << record->ClientName << "error:" << error;
    finish(error);
}

void CSyncFile::processChangedOnClientContinue(quint64, ErrorCode error, CUploadFileResponse response)
{
    const SyncFile::Ptr record = file();
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qDebug() << "CSyncFile::processChangedOnClientContinue: file" << record->ClientId << "has no library any more";
        finish(ErrorSuccess);
        return;
    }
    const QString path = clientPath();
    if (error.isSuccess()) {
        if (!response.conflicted && !response.state.isEmpty())
            storeLibrarySic(library, response.state);
        else
            m_syncDatabase->updateLibrary(library->ClientId, CSqlValue(QStringLiteral("ServerStatus"), quint32(StatusChanged)));
        if (response.conflicted) {
            // The server kept our content as a copy beside its newer version; both come down with
            // the next fetch, and until then this record still describes the server's file.
            qWarning() << "CSyncFile::processChangedOnClientContinue: uploaded as a conflict copy:" << response.filename;
            record->syncStatus.ClientStatus = StatusSynchronized;
            record->Hash = m_uploadHash;
            writeItem();
            finish(ErrorSuccess);
            return;
        }
        record->syncStatus.ClientStatus = StatusSynchronized;
        record->Hash = m_uploadHash;
        record->Sic = response.fileState;
        record->Attr &= ~quint32(AttrInfected);
        writeItem();
        qDebug() << "CSyncFile::processChangedOnClientContinue: uploaded file - clientName:" << record->ClientName
                 << "clientPath:" << path << "uploaded" << "new fileSic:" << record->Sic << "new libSic:" << response.state;
        finish(ErrorSuccess);
        return;
    }
    if (handleCommonUploadOutcome("CSyncFile::processChangedOnClientContinue:", error))
        return;
    if (error == ItemNotFound) {
        qDebug() << "CSyncFile::processChangedOnClientContinue: unable to upload file" << record->ClientName
                 << "error:" << error;
        m_syncDatabase->deleteFile(record->ClientId);
        finish(ErrorSuccess);
        return;
    }
    if (error == ErrorUnableToOpenFile) {
        if (!QFileInfo::exists(path)) {
            qDebug() << "CSyncFile::processChangedOnClientContinue: UNABLE_TO_OPEN_FILE for file" << record->ClientId;
            record->syncStatus.ClientStatus = StatusDeleted;
            writeItem();
            finish(ErrorSuccess);
        } else {
            finish(error);
        }
        return;
    }
    if (error == AntivirusAlert) {
        finishAntivirusAlert("CSyncFile::processChangedOnClientContinue:", response.avVirusFound, path);
        return;
    }
    qWarning() << "CSyncFile::processChangedOnClientContinue: unable to upload file" << record->ClientName
               << "error:" << error;
    finish(error);
}

// ---------------------------------------------------------------------------------------------
// Parked files

void CSyncFile::startPreProcessing()
{
    qDebug() << "CSyncItem::startPreProcessing: item:" << m_item->ClientName;
    if (m_item->hasAttr(AttrAccessDenied))
        checkAccessRights();
    else
        checkQuota();
}

void CSyncFile::checkAccessRights()
{
    const SyncLibrary::Ptr library = m_syncDatabase->getLibraryOfItem(m_item->ClientId);
    if (!library) {
        qCritical() << "CSyncItem::checkAccessRights: clientName:" << m_item->ClientName
                    << "unable to find container for parentId:" << parentClientIdOf(*m_item);
        finish(ErrorInternal);
        return;
    }
    auto *request = new brindlex::Items::CItemsGetRoleRequest(userSession(), library, library->TenantId,
                                                              qint64(library->ServerId));
    connect(request, &brindlex::Items::CItemsGetRoleRequest::finishedSignal, this, &CSyncFile::checkAccessRightsContinue);
    request->exec();
}

void CSyncFile::checkAccessRightsContinue(ErrorCode error, brindlex::Items::CItemsGetRoleResponse response)
{
    const QString text = QString::fromUtf8(response.data.left(8192));
    if (!m_syncDatabase->getLibraryOfItem(m_item->ClientId)) {
        qCritical() << "CSyncItem::checkAccessRightsContinue: clientName:" << m_item->ClientName
                    << "unable to find container for parentId:" << parentClientIdOf(*m_item);
        finish(ErrorInternal);
        return;
    }
    if (error.isSuccess()) {
        if (response.role == brindlex::RoleEditor || response.role == brindlex::RoleAdmin) {
            qDebug() << "CSyncItem::checkAccessRightsContinue: item:" << m_item->ClientName << text << "-> retrying";
            m_item->Attr &= ~quint32(AttrAccessDenied);
            writeItem();
            startProcessing();
        } else {
            qDebug() << "CSyncItem::checkAccessRightsContinue: item:" << m_item->ClientName << text
                     << "-> access is still denied";
            finish(AccessDenied);
        }
        return;
    }
    qDebug() << "CSyncItem::checkAccessRightsContinue: item:" << m_item->ClientName << text << "error:" << error;
    if (error == ItemNotFound) {
        m_item->Attr &= ~quint32(AttrAccessDenied);
        writeItem();
    }
    finish(error);
}

void CSyncFile::checkQuota()
{
    const SyncFile::Ptr record = file();
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        qCritical() << "CSyncItem::checkQuota: unable to find container for item with clientId:" << record->ClientId;
        finish(ErrorInternal);
        return;
    }
    SyncItem::ConstPtr parent = m_syncDatabase->getItem(record->ParentClientId);
    if (!parent && record->ParentClientId == library->ClientId)
        parent = library;
    const qint64 size = QFileInfo(clientPath()).size();
    using namespace brindlex::FileSync;
    if (record->syncStatus.ClientStatus == StatusNew) {
        auto *request = new CFileSyncCanCreateFileRequest(userSession(), library, library->TenantId,
                                                          qint64(library->ServerId), library->Sic,
                                                          parent ? qint64(parent->ServerId) : 0, record->ClientName,
                                                          size, brindlex::RenameOnConflict);
        connect(request, &CFileSyncCanCreateFileRequest::finishedSignal, this,
                [this](ErrorCode error) { checkQuotaContinue(error); });
        request->exec();
    } else {
        auto *request = new CFileSyncCanUpdateFileRequest(userSession(), library, library->TenantId,
                                                          qint64(library->ServerId), library->Sic,
                                                          qint64(record->ServerId), record->Sic, size,
                                                          brindlex::RenameOnConflict);
        connect(request, &CFileSyncCanUpdateFileRequest::finishedSignal, this,
                [this](ErrorCode error) { checkQuotaContinue(error); });
        request->exec();
    }
}

void CSyncFile::checkQuotaContinue(ErrorCode error)
{
    if (!findLibrary()) {
        qCritical() << "CSyncItem::checkQuotaContinue: unable to find container for item with clientId:"
                    << m_item->ClientId;
        finish(ErrorInternal);
        return;
    }
    if (error.isSuccess()) {
        qDebug() << "CSyncItem::checkQuotaContinue: item:" << m_item->ClientId << "name:" << m_item->ClientName
                 << "can be uploaded now -> retrying to upload file";
        m_item->Attr &= ~quint32(AttrQuotaExceeded);
        writeItem();
        startProcessing();
        return;
    }
    qDebug() << "CSyncItem::checkQuotaContinue: item:" << m_item->ClientId << "name:" << m_item->ClientName
             << "error:" << error;
    if (error == StateOutOfDate) {
        markLibraryChangedOnServer();
        return;
    }
    if (error != QuotaExceeded) {
        m_item->Attr &= ~quint32(AttrQuotaExceeded);
        writeItem();
    }
    finish(error);
}
