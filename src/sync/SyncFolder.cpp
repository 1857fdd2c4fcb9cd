#include "SyncFolder.h"

#include "FileManipulation.h"
#include "SyncDatabase.h"
#include "UserSessionController.h"
#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

CSyncFolder::CSyncFolder(const QSharedPointer<CSyncDatabase> &syncDatabase,
                         const QSharedPointer<CAppStatusController> &appStatusController,
                         const QSharedPointer<CUserSessionController> &userSessionController,
                         const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
                         const QSharedPointer<CFileManipulation> &fileManipulation, const SyncItem::Ptr &folder,
                         QObject *parent)
    : CSyncItem(syncDatabase, appStatusController, userSessionController, syncProgressManager, fileManipulation,
                folder, parent)
{
    qDebug() << "CSyncFolder::CSyncFolder: id" << m_item->ClientId;
}

CSyncFolder::~CSyncFolder()
{
    qDebug() << "CSyncFolder::~CSyncFolder: id" << m_item->ClientId;
}

bool CSyncFolder::createLocalFolder()
{
    const QString path = clientPath();
    if (path.isEmpty() || !QDir().mkpath(path) || !QFileInfo(path).isDir()) {
        qCritical() << "CSyncFolder::createLocalFolder: unable to create folder" << path;
        return false;
    }
    return true;
}

void CSyncFolder::processNewOnServer()
{
    qDebug() << "CSyncFolder::processNewOnServer: clientId:" << m_item->ClientId;
    const SyncLibrary::Ptr library = findLibrary();
    const SyncFolder::Ptr folder = SyncFolder::cast(m_item);
    if (!library || !folder) {
        qCritical() << "CSyncFolder::processNewOnServer: unable to find library for" << m_item->ClientId;
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    const QString libraryPath = syncpath::libraryFolderPath(*library);
    if (libraryPath.isEmpty() || !QFileInfo(libraryPath).isDir()) {
        qWarning() << "CSyncFolder::processNewOnServer: library folder not yet created:" << libraryPath;
        // Marked deleted on the client, not on the server: the library is recovered and fetched
        // again instead of being dropped from the database.
        m_syncDatabase->updateLibrary(library->ClientId,
                                      CSqlValue(QStringLiteral("ClientStatus"), quint32(StatusDeleted)));
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }
    const QString parentPath = m_syncDatabase->getClientPath(folder->ParentClientId);
    // Creating the parent here would make the parent's own step find its place taken.
    if (parentPath.isEmpty() || !QFileInfo(parentPath).isDir()) {
        qWarning() << "CSyncFolder::processNewOnServer: parent folder not yet created:" << folder->ParentClientId;
        finish(ServerApiErrorCode::ErrorParentFolderNotYetCreated);
        return;
    }
    const QString wanted = utils::makeValidLocalName(m_item->ServerName);
    const QString existing = adoptableLocalFolder(parentPath, wanted, folder->ParentClientId);
    if (!existing.isEmpty()) {
        // Ours already (a rebuilt database, a reinstall over the store folder): taken as it is, and
        // what it holds is matched or uploaded, never duplicated as "(2)".
        qDebug() << "CSyncFolder::processNewOnServer: adopting the local folder already there:" << existing;
        m_item->ClientName = existing;
    } else {
        m_item->ClientName = syncitem::uniqueLocalName(parentPath, wanted, false);
    }
    writeItem();
    qDebug() << "CSyncFolder::processNewOnServer: clientName:" << m_item->ClientName << "clientPath:" << clientPath();
    if (!createLocalFolder()) {
        qWarning() << "CSyncFolder::processNewOnServer: unable to create folder:" << clientPath();
        finish(ServerApiErrorCode::ErrorUnableToCreateFile);
        return;
    }
    m_item->syncStatus.ServerStatus = StatusSynchronized;
    writeItem();
    finish(ServerApiErrorCode::ErrorSuccess);
}

// A real folder (no link) with the server's name, in any letter case, that no other record claims.
QString CSyncFolder::adoptableLocalFolder(const QString &parentPath, const QString &name, ItemId parentClientId) const
{
    const QStringList entries = QDir(parentPath).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        if (entry.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (QFileInfo(syncpath::join(parentPath, entry)).isSymLink())
            return QString();
        // Claimed by another record, also by one whose local rename or move there has not reached the server.
        const auto claims = [&](const SyncItem &item) {
            const QString localName = item.ClientName.section(kPendingRenameMarker, -1);
            return item.ClientId != m_item->ClientId && localName.compare(entry, Qt::CaseInsensitive) == 0;
        };
        for (const SyncFolder::Ptr &folder : m_syncDatabase->getFoldersByParent(parentClientId)) {
            if (claims(*folder))
                return QString();
        }
        for (const SyncFile::Ptr &file : m_syncDatabase->getFilesByParent(parentClientId)) {
            if (claims(*file))
                return QString();
        }
        return entry;
    }
    return QString();
}

void CSyncFolder::processNewOnClient()
{
    const QString path = clientPath();
    if (path.isEmpty() || !QFileInfo(path).isDir()) {
        qDebug() << "CSyncFolder::processNewOnClient() - folder not found on HDD:" << path;
        m_syncDatabase->deleteFolder(m_item->ClientId);
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }
    const SyncFolder::Ptr folder = SyncFolder::cast(m_item);
    qDebug() << "CSyncFolder::processNewOnClient: name:" << m_item->ClientName << "clientId" << m_item->ClientId
             << "parentClientId" << folder->ParentClientId;
    const SyncLibrary::Ptr library = m_syncDatabase->getLibrary(folder->LibraryClientId);
    if (!library) {
        qCritical() << "CSyncFolder::processNewOnClient: name:" << m_item->ClientName
                    << "unable to find library with clientId:" << folder->LibraryClientId;
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    quint64 parentServerId = 0;
    if (folder->ParentClientId == folder->LibraryClientId) {
        parentServerId = library->ServerId;
    } else if (const SyncItem::Ptr parent = m_syncDatabase->getItem(folder->ParentClientId)) {
        parentServerId = parent->ServerId;
    } else {
        qCritical() << "CSyncFolder::processNewOnClient: name:" << m_item->ClientName
                    << "unable to find container for parentId:" << folder->ParentClientId;
        finish(ServerApiErrorCode::ErrorInternal);
        return;
    }
    if (parentServerId == 0) {
        qDebug() << "CSyncFolder::processNewOnClient: parent of" << m_item->ClientId << "is not on the server yet";
        finish(ServerApiErrorCode::ErrorParentFolderNotYetCreated);
        return;
    }
    auto *request = new brindlex::FileSync::CFileSyncMkDirRequest(userSession(), library, library->Sic,
                                                                  library->TenantId, qint64(library->ServerId),
                                                                  m_item->ClientName, qint64(parentServerId));
    connect(request, &brindlex::FileSync::CFileSyncMkDirRequest::finishedSignal, this,
            &CSyncFolder::processNewOnClientContinue);
    request->exec();
}

void CSyncFolder::processNewOnClientContinue(ErrorCode error, brindlex::FileSync::CFileSyncMkDirResponse response)
{
    const SyncLibrary::Ptr library = findLibrary();
    if (!library) {
        if (!m_syncDatabase->isFolderPresent(m_item->ClientId)) {
            qDebug() << "CSyncFolder::processNewOnClientContinue() - folder was removed from SyncDB:" << m_item->ClientId
                     << m_item->ClientName;
            finish(ServerApiErrorCode::ErrorSuccess);
            return;
        }
        qCritical() << "CSyncFolder::processNewOnClientContinue() - folder does not belong to any library:"
                    << m_item->ClientId << m_item->ClientName;
        m_syncDatabase->deleteFolder(m_item->ClientId);
        finish(ServerApiErrorCode::ErrorItemDoesNotBelongToAnyLibrary);
        return;
    }
    const SyncFolder::Ptr folder = SyncFolder::cast(m_item);
    if (error.isSuccess()) {
        qDebug() << "CSyncFolder::processNewOnClientContinue: clientName:" << m_item->ClientName
                 << "clientPath:" << clientPath();
        m_item->ServerName = m_item->ClientName;
        m_item->ServerId = quint64(response.newFolderId);
        m_item->syncStatus.ClientStatus = StatusSynchronized;
        writeItem();
        storeLibrarySic(library, response.newState);
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }
    if (error == ServerApiErrorCode::StateOutOfDate) {
        markLibraryChangedOnServer();
        return;
    }
    if (error == ServerApiErrorCode::ItemNotFound) {
        qDebug() << "CSyncFolder::processNewOnClientContinue: clientName:" << m_item->ClientName
                 << "clientId:" << m_item->ClientId << "-> parentId" << folder->ParentClientId << "not found";
        const bool parentIsLibrary = folder->ParentClientId == folder->LibraryClientId;
        m_syncDatabase->deleteFolder(m_item->ClientId);
        if (parentIsLibrary) {
            qDebug() << "CSyncFolder::processNewOnClientContinue: error:" << error
                     << "for syncLibrary:" << library->toString();
            finish(error);
            return;
        }
        m_syncDatabase->deleteFolder(folder->ParentClientId);
        finish(ServerApiErrorCode::ErrorSuccess);
        return;
    }
    if (error == ServerApiErrorCode::AccessDenied) {
        qDebug() << "CSyncFolder::processNewOnClientContinue: ACCESS_DENIED for folder" << m_item->ClientId
                 << clientPath();
        m_item->Attr |= AttrAccessDenied;
        writeItem();
        finish(error);
        return;
    }
    if (error == ServerApiErrorCode::QuotaExceeded) {
        qDebug() << "CSyncFolder::processNewOnClientContinue: QUOTA_EXCEEDED for folder" << m_item->ClientId
                 << clientPath();
        m_item->Attr |= AttrQuotaExceeded;
        writeItem();
        finish(error);
        return;
    }
    if (error == ServerApiErrorCode::AlreadyExists && response.newFolderId != 0) {
        qDebug() << "CSyncFolder::processNewOnClientContinue: ALREADY_EXISTS for folder" << m_item->ClientId
                 << clientPath();
        m_item->ServerId = quint64(response.newFolderId);
        m_item->ServerName = m_item->ClientName;
        m_item->syncStatus.ClientStatus = StatusSynchronized;
        writeItem();
        // A fetch may already have recorded that server folder as new: its record would be created
        // again locally as "name (2)". The next fetch hangs its content under this folder instead.
        for (const SyncFolder::Ptr &twin : m_syncDatabase->getFoldersByServerId(m_item->ServerId)) {
            if (twin->ClientId == m_item->ClientId || twin->LibraryClientId != library->ClientId
                || twin->syncStatus.ServerStatus != StatusNew || twin->syncStatus.ClientStatus != StatusSynchronized)
                continue;
            qDebug() << "CSyncFolder::processNewOnClientContinue: dropping the server's record" << twin->ClientId
                     << "of the adopted folder";
            m_syncDatabase->deleteFolder(twin->ClientId);
        }
        markLibraryChangedOnServer();
        return;
    }
    qWarning() << "CSyncFolder::processNewOnClientContinue: error:" << error;
    finish(error);
}
