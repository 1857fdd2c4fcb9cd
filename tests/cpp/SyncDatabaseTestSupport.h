#pragma once

// Shared by the sync database test suites: a fresh database in its own folder, item builders, and a
// capture of the log so that tests can check what was (or was not) logged.

#include "Config.h"
#include "MessageCapture.h"
#include "SyncDatabase.h"

#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>

namespace testdb {

// The database suites match log lines by any fragment, of one type or of all three.
class MessageCapture : public testsupport::MessageCapture
{
public:
    int count(QtMsgType type, const QString &contains) const { return containing(type, contains).size(); }
    using testsupport::MessageCapture::count;
    QStringList lines(QtMsgType type) const { return testsupport::MessageCapture::lines(type); }
};

// The process-wide configuration gives the store folder: the isolated home folder of the test run.
inline void ensureConfiguration()
{
    if (!CConfig::instance()) {
        static QTemporaryDir configDir;
        CConfig::setInstance(QSharedPointer<CConfig>(new CConfig(configDir.path())));
    }
}

struct Statuses
{
    quint32 server = StatusSynchronized;
    quint32 client = StatusSynchronized;
};

class Fixture
{
public:
    Fixture()
    {
        ensureConfiguration();
        db.reset(new CSyncDatabase(dir.path()));
    }

    SyncLibrary::Ptr makeLibrary(const QString &clientName, const QString &tenantId = QStringLiteral("tenant"),
                                 quint64 serverId = 0, Statuses statuses = {})
    {
        SyncLibrary::Ptr library(new SyncLibrary);
        library->ClientName = clientName;
        library->ServerName = clientName.section(QLatin1Char('/'), -1);
        library->TenantId = tenantId;
        library->ServerId = serverId;
        library->syncStatus.ServerStatus = statuses.server;
        library->syncStatus.ClientStatus = statuses.client;
        return library;
    }
    ItemId addLibrary(const QString &clientName, const QString &tenantId = QStringLiteral("tenant"),
                      quint64 serverId = 0, Statuses statuses = {})
    {
        return db->insertLibrary(makeLibrary(clientName, tenantId, serverId, statuses));
    }

    SyncFolder::Ptr makeFolder(ItemId parent, ItemId library, const QString &name, quint64 serverId = 0,
                               Statuses statuses = {}, quint32 attr = 0)
    {
        SyncFolder::Ptr folder(new SyncFolder);
        folder->ParentClientId = parent;
        folder->LibraryClientId = library;
        folder->ClientName = name;
        folder->ServerName = name;
        folder->ServerId = serverId;
        folder->Attr = attr;
        folder->syncStatus.ServerStatus = statuses.server;
        folder->syncStatus.ClientStatus = statuses.client;
        return folder;
    }
    ItemId addFolder(ItemId parent, ItemId library, const QString &name, quint64 serverId = 0, Statuses statuses = {},
                     quint32 attr = 0)
    {
        return db->insertFolder(makeFolder(parent, library, name, serverId, statuses, attr));
    }

    SyncFile::Ptr makeFile(ItemId parent, ItemId library, const QString &name, quint64 serverId = 0,
                           Statuses statuses = {}, quint32 attr = 0, quint64 size = 0)
    {
        SyncFile::Ptr file(new SyncFile);
        file->ParentClientId = parent;
        file->LibraryClientId = library;
        file->ClientName = name;
        file->ServerName = name;
        file->ServerId = serverId;
        file->Attr = attr;
        file->Size = size;
        file->syncStatus.ServerStatus = statuses.server;
        file->syncStatus.ClientStatus = statuses.client;
        return file;
    }
    ItemId addFile(ItemId parent, ItemId library, const QString &name, quint64 serverId = 0, Statuses statuses = {},
                   quint32 attr = 0, quint64 size = 0)
    {
        return db->insertFile(makeFile(parent, library, name, serverId, statuses, attr, size));
    }

    // Writes a row past every check, as a damaged database would hold it.
    void insertRaw(const QString &table, const CSqlValueList &values)
    {
        QVERIFY(db->execQuery(CSqlStatement::forWriting(table, QString(), values).insertStatement()).isActive());
    }

    QString libraryPath(const QString &clientName) const { return syncpath::join(syncpath::storeFolder(), clientName); }

    QTemporaryDir dir;
    CSyncDatabase::Ptr db;
};

} // namespace testdb

Q_DECLARE_METATYPE(testdb::Statuses)
