#pragma once

// Shared by the sync database test suites: a fresh database in its own folder, item builders, and a
// capture of the log that matches lines by any fragment.

#include "Config.h"
#include "MessageCapture.h"
#include "SyncDatabase.h"

#include <QTemporaryDir>
#include <QtTest>

namespace testdb {

class MessageCapture : public testsupport::MessageCapture
{
public:
    using testsupport::MessageCapture::count;
    int count(QtMsgType type, const QString &contains) const { return containing(type, contains).size(); }
};

// The process-wide configuration gives the store folder: the isolated home folder of the test run.
inline void ensureConfiguration()
{
    static QTemporaryDir configDir;
    if (!CConfig::instance())
        CConfig::setInstance(QSharedPointer<CConfig>(new CConfig(configDir.path())));
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
        SyncLibrary::Ptr library = make<SyncLibrary>(clientName.section(QLatin1Char('/'), -1), serverId, statuses, 0);
        library->ClientName = clientName;
        library->TenantId = tenantId;
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
        return placed(make<SyncFolder>(name, serverId, statuses, attr), parent, library);
    }
    ItemId addFolder(ItemId parent, ItemId library, const QString &name, quint64 serverId = 0, Statuses statuses = {},
                     quint32 attr = 0)
    {
        return db->insertFolder(makeFolder(parent, library, name, serverId, statuses, attr));
    }

    SyncFile::Ptr makeFile(ItemId parent, ItemId library, const QString &name, quint64 serverId = 0,
                           Statuses statuses = {}, quint32 attr = 0, quint64 size = 0)
    {
        SyncFile::Ptr file = placed(make<SyncFile>(name, serverId, statuses, attr), parent, library);
        file->Size = size;
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

private:
    template<typename Record>
    static QSharedPointer<Record> make(const QString &name, quint64 serverId, Statuses statuses, quint32 attr)
    {
        QSharedPointer<Record> record(new Record);
        record->ClientName = record->ServerName = name;
        record->ServerId = serverId;
        record->Attr = attr;
        record->syncStatus.ServerStatus = statuses.server;
        record->syncStatus.ClientStatus = statuses.client;
        return record;
    }
    template<typename Record>
    static Record placed(Record record, ItemId parent, ItemId library)
    {
        record->ParentClientId = parent;
        record->LibraryClientId = library;
        return record;
    }
};

} // namespace testdb
