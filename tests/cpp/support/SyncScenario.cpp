#include "SyncScenario.h"

#include "AppStatusController.h"
#include "Config.h"
#include "FileManipulation.h"
#include "SyncDatabase.h"
#include "SyncLibrary.h"
#include "UserSessionController.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QTest>
#include <QThread>

namespace testsupport {

SyncScenario::SyncScenario(const ReferenceServer &server, const QString &tenantId)
    : m_server(server), m_library(server.createLibrary(tenantId))
{
    QFile configFile(m_data.filePath("bxsync_cfg.json"));
    if (configFile.open(QIODevice::WriteOnly)) {
        configFile.write(QJsonDocument(QJsonObject{{"sync", QJsonObject{{"syncFolder", m_store.path()}}}}).toJson());
        configFile.close();
    }
    m_config.reset(new CConfig(m_data.path()));
    m_config->readConfiguration();
    CConfig::setInstance(m_config);

    m_database.reset(new CSyncDatabase(m_data.path()));
    m_status.reset(new CAppStatusController([connected = m_connected] { return connected->load(); }));
    m_sessions.reset(new CUserSessionController(m_status));
    m_sessions->setUserSession(server.sessionJson(server.token()));
    m_fileManipulation.reset(new CFileManipulation(m_database));

    // As the sync-mode application subscribes a library the host names.
    SyncLibrary::Ptr record(new SyncLibrary);
    record->TeamId = m_library.teamId;
    record->TenantId = record->TenantName = tenantId;
    record->ServerName = "Lib";
    record->ServerId = m_library.id;
    record->syncStatus = SyncStatus{StatusSynchronized, StatusNew};
    m_libraryClientId = m_database->insertLibrary(record);
}

SyncScenario::~SyncScenario()
{
    stop();
    // Every scenario checks that the engine spoke the protocol as the server expects it.
    const QStringList violations = m_server.takeViolations();
    if (!violations.isEmpty())
        QTest::qFail(qPrintable("protocol violations: " + violations.join("; ")), __FILE__, __LINE__);
    m_database->closeDatabaseForCurrentThread();
    CConfig::setInstance({});
}

QString SyncScenario::libraryFolder() const
{
    const SyncLibrary::Ptr library = m_database->getLibrary(m_libraryClientId);
    return library ? syncpath::libraryFolderPath(*library) : QString();
}

quint64 SyncScenario::serverFolder(const QString &path) const
{
    return m_server.admin("POST", m_library.path() + "/folders", {{"path", path}})
        .object().value("id").toVariant().toULongLong();
}

quint64 SyncScenario::serverFile(const QString &path, const QByteArray &content) const
{
    return m_server.admin("POST", m_library.path() + "/files", {{"path", path}, {"content", QString::fromUtf8(content)}})
        .object().value("id").toVariant().toULongLong();
}

quint64 SyncScenario::serverId(const QString &path) const
{
    return m_server.treeItem(m_library, path).value("id").toVariant().toULongLong();
}

bool SyncScenario::serverPatch(const QString &path, const QJsonObject &change) const
{
    const quint64 id = serverId(path);
    return id != 0 && m_server.admin("PATCH", m_library.path() + "/items/" + QString::number(id), change).status == 200;
}

bool SyncScenario::serverDelete(const QString &path) const
{
    const quint64 id = serverId(path);
    return id != 0 && m_server.admin("DELETE", m_library.path() + "/items/" + QString::number(id)).status == 200;
}

QString SyncScenario::localPath(const QString &relativePath) const
{
    return libraryFolder() + "/" + relativePath;
}

void SyncScenario::writeLocal(const QString &relativePath, const QByteArray &content) const
{
    const QString path = localPath(relativePath);
    QDir().mkpath(relativePath.endsWith('/') ? path : QFileInfo(path).path());
    QFile file(path);
    if (!relativePath.endsWith('/') && file.open(QIODevice::WriteOnly))
        file.write(content);
}

ItemId SyncScenario::parentRecordId(const QString &relativePath) const
{
    const QString path = localPath(relativePath);
    return m_database->getClientIdByClientPath(QFileInfo(path.endsWith('/') ? path.chopped(1) : path).path());
}

SyncItem::Ptr SyncScenario::record(const QString &relativePath) const
{
    const ItemId id = m_database->getClientIdByClientPath(localPath(relativePath));
    return id == m_libraryClientId ? SyncItem::Ptr() : m_database->getItem(id);
}

// Recorded as the local event processor records what it finds: new here, unknown to the server.
template <typename Record>
QSharedPointer<Record> newLocalRecord(ItemId parent, ItemId library, const QString &relativePath)
{
    QSharedPointer<Record> record(new Record);
    record->ParentClientId = parent;
    record->LibraryClientId = library;
    record->ClientName = relativePath.section('/', -1, -1, QString::SectionSkipEmpty);
    record->syncStatus = SyncStatus{StatusNew, StatusSynchronized};
    return record;
}

ItemId SyncScenario::recordNewLocalFolder(const QString &relativePath) const
{
    writeLocal(relativePath.endsWith('/') ? relativePath : relativePath + "/");
    return m_database->insertFolder(newLocalRecord<SyncFolder>(parentRecordId(relativePath), m_libraryClientId, relativePath));
}

ItemId SyncScenario::recordNewLocalFile(const QString &relativePath) const
{
    const SyncFile::Ptr file = newLocalRecord<SyncFile>(parentRecordId(relativePath), m_libraryClientId, relativePath);
    file->Size = quint64(QFileInfo(localPath(relativePath)).size());
    return m_database->insertFile(file);
}

void SyncScenario::recordLocalMove(const QString &oldRelativePath, const QString &newRelativePath) const
{
    const SyncItem::Ptr item = record(oldRelativePath);
    if (!item)
        return;
    QDir().rename(localPath(oldRelativePath), localPath(newRelativePath));
    const QString oldName = oldRelativePath.section('/', -1, -1, QString::SectionSkipEmpty);
    const QString newName = newRelativePath.section('/', -1, -1, QString::SectionSkipEmpty);
    const CSqlValueList values{{"ClientName", oldName + kPendingRenameMarker + newName},
                               {"ClientStatus", quint32(StatusMoved)}, {"ParentClientId", parentRecordId(newRelativePath)}};
    item->isFile() ? m_database->updateFile(item->ClientId, values) : m_database->updateFolder(item->ClientId, values);
}

void SyncScenario::recordLocalDeletion(const QString &relativePath) const
{
    const SyncItem::Ptr item = record(relativePath);
    if (!item)
        return;
    const QString path = localPath(relativePath);
    if (QFileInfo(path).isDir())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
    item->syncStatus.ClientStatus = StatusDeleted;
    m_database->updateItem(item);
}

void SyncScenario::recordLocalChange(const QString &relativePath) const
{
    const SyncItem::Ptr item = record(relativePath);
    if (!item || !item->isFile())
        return;
    m_database->updateFile(item->ClientId, {{"ClientStatus", quint32(StatusChanged)},
                                            {"Size", QFileInfo(localPath(relativePath)).size()}});
}

bool SyncScenario::addSynchronizedFile(const QString &relativePath, const QByteArray &content) const
{
    if (serverFile(relativePath, content) == 0)
        return false;
    writeLocal(relativePath, content);
    const QJsonObject onServer = m_server.treeItem(m_library, relativePath);
    SyncFile::Ptr file(new SyncFile);
    file->ParentClientId = parentRecordId(relativePath);
    file->LibraryClientId = m_libraryClientId;
    file->ServerId = onServer.value("id").toVariant().toULongLong();
    file->ClientName = file->ServerName = relativePath.section('/', -1);
    file->Sic = onServer.value("state").toString();
    file->Hash = onServer.value("contentHash").toString();
    file->Size = quint64(content.size());
    file->UpdatedTime = QFileInfo(localPath(relativePath)).lastModified().toUTC();
    file->syncStatus = SyncStatus{StatusSynchronized, StatusSynchronized};
    if (m_database->insertFile(file) == 0)
        return false;
    // The library's state moved with the new file; the engine would have learnt it from the upload.
    m_database->updateLibrary(m_libraryClientId, CSqlValue("Sic", m_server.libraryState(m_library)));
    return true;
}

void SyncScenario::start()
{
    if (!m_threadManager)
        m_threadManager.reset(new CSyncThreadManager(m_database, m_status, m_sessions, nullptr, m_fileManipulation));
    m_threadManager->startSyncLibrary(m_libraryClientId);
}

bool SyncScenario::runUntilIdle(int timeoutMs)
{
    start();
    QElapsedTimer timer;
    timer.start();
    int quietChecks = 0;
    while (timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(50);
        const bool idle =
            !m_database->isLibraryPresent(m_libraryClientId) || m_database->isSynchronized(m_libraryClientId, false);
        quietChecks = idle ? quietChecks + 1 : 0;
        // Long enough for a restart after success and one more pass over the library.
        if (quietChecks >= 12)
            return true;
    }
    return false;
}

void SyncScenario::stop()
{
    m_threadManager.reset();
}

QStringList SyncScenario::localTree() const
{
    QStringList tree;
    const QString root = libraryFolder();
    if (root.isEmpty() || !QFileInfo(root).isDir())
        return tree;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString relative = QDir(root).relativeFilePath(it.filePath());
        tree << (it.fileInfo().isDir() && !it.fileInfo().isSymLink() ? relative + "/" : relative);
    }
    tree.sort();
    return tree;
}

QStringList SyncScenario::serverTree() const
{
    QStringList tree;
    const ReferenceServer::Reply reply = m_server.admin("GET", m_library.path() + "/tree");
    for (const QJsonValue &value : reply.object().value("items").toArray()) {
        const QJsonObject item = value.toObject();
        const QString path = item.value("path").toString();
        tree << (item.value("type").toString() == "folder" ? path + "/" : path);
    }
    tree.sort();
    return tree;
}

int SyncScenario::requestCount(const QString &rpcMethodOrEndpoint) const
{
    int count = 0;
    for (const QJsonValue &entry : m_server.requestLog()) {
        const QJsonObject request = entry.toObject();
        count += request.value("rpcMethod").toString() == rpcMethodOrEndpoint
            || request.value("endpoint").toString() == rpcMethodOrEndpoint;
    }
    return count;
}

} // namespace testsupport
