#pragma once

#include "ReferenceServer.h"
#include "SyncRecords.h"

#include <QSharedPointer>
#include <QStringList>
#include <QTemporaryDir>

#include <atomic>
#include <memory>

class CAppStatusController;
class CConfig;
class CFileManipulation;
class CSyncDatabase;
class CSyncThreadManager;
class CUserSessionController;

namespace testsupport {

// One library on the reference server and the engine that synchronises it into a store folder of
// its own: set up both trees, run the engine until the library is idle, then compare the trees
// and count what the server received. Each scenario gets fresh folders and a fresh tenant, and
// fails the running test when the server recorded a protocol violation meanwhile.
class SyncScenario
{
public:
    SyncScenario(const ReferenceServer &server, const QString &tenantId);
    ~SyncScenario();

    const ReferenceServer::Library &library() const { return m_library; }
    ItemId libraryClientId() const { return m_libraryClientId; }
    QString storeFolder() const { return m_store.path(); }
    // The library's local folder as the engine named it; empty before the first run.
    QString libraryFolder() const;
    QSharedPointer<CSyncDatabase> database() const { return m_database; }
    // For suites that drive single items with the engine stopped.
    QSharedPointer<CFileManipulation> fileManipulation() const { return m_fileManipulation; }
    QSharedPointer<CAppStatusController> statusController() const { return m_status; }

    // Server side, as another user would change it. Paths are relative to the library.
    quint64 serverFolder(const QString &path) const;
    quint64 serverFile(const QString &path, const QByteArray &content) const;
    quint64 serverId(const QString &path) const; // 0 when the server has no such item
    bool serverPatch(const QString &path, const QJsonObject &change) const;
    bool serverDelete(const QString &path) const;

    // Local side. Files get the content; folders end in "/".
    void writeLocal(const QString &relativePath, const QByteArray &content = QByteArray()) const;
    QString localPath(const QString &relativePath) const;
    // Records of local changes, written the way the local event processor writes them.
    ItemId recordNewLocalFolder(const QString &relativePath) const;
    ItemId recordNewLocalFile(const QString &relativePath) const;
    void recordLocalMove(const QString &oldRelativePath, const QString &newRelativePath) const;
    void recordLocalDeletion(const QString &relativePath) const;
    void recordLocalChange(const QString &relativePath) const;
    // A file present on both sides with the same content, recorded as synchronised (what a
    // download leaves behind).
    bool addSynchronizedFile(const QString &relativePath, const QByteArray &content) const;
    // The record of an item at a path relative to the library folder; null when none.
    SyncItem::Ptr record(const QString &relativePath) const;

    // Starts the engine on the first call; later calls wake the library.
    void start();
    // Waits until every record of the library is synchronised and stays so; false on time-out.
    bool runUntilIdle(int timeoutMs = 30000);
    void stop();
    // What the engine's status controller sees of the network.
    void setConnected(bool connected) { *m_connected = connected; }

    // Sorted; folders end in "/". Dot-files are left out, as the engine never synchronises them.
    QStringList localTree() const;
    QStringList serverTree() const;
    int requestCount(const QString &rpcMethodOrEndpoint) const; // "FileSync.mkDir", "upload"
    void clearRequestLog() const { m_server.clearRequestLog(); }

private:
    ItemId parentRecordId(const QString &relativePath) const;

    const ReferenceServer &m_server;
    ReferenceServer::Library m_library;
    QTemporaryDir m_data;
    QTemporaryDir m_store;
    QSharedPointer<CConfig> m_config;
    QSharedPointer<CSyncDatabase> m_database;
    QSharedPointer<CAppStatusController> m_status;
    QSharedPointer<CUserSessionController> m_sessions;
    QSharedPointer<CFileManipulation> m_fileManipulation;
    std::unique_ptr<CSyncThreadManager> m_threadManager;
    ItemId m_libraryClientId = 0;
    std::shared_ptr<std::atomic_bool> m_connected = std::make_shared<std::atomic_bool>(true);
};

} // namespace testsupport
