#pragma once

// Shared by the sync database test suites: a fresh database in its own folder, item builders, and a
// capture of the log so that tests can check what was (or was not) logged.

#include "Config.h"
#include "SyncDatabase.h"

#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>

namespace testdb {

class MessageCapture
{
public:
    MessageCapture() : m_previous(qInstallMessageHandler(&MessageCapture::handler)) { s_active = this; }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        s_active = nullptr;
    }
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    int count(QtMsgType type, const QString &contains) const
    {
        QMutexLocker locker(&m_mutex);
        int n = 0;
        for (const auto &message : m_messages)
            n += (message.first == type && message.second.contains(contains)) ? 1 : 0;
        return n;
    }
    int count(const QString &contains) const
    {
        return count(QtDebugMsg, contains) + count(QtWarningMsg, contains) + count(QtCriticalMsg, contains);
    }
    QStringList lines(QtMsgType type) const
    {
        QMutexLocker locker(&m_mutex);
        QStringList result;
        for (const auto &message : m_messages)
            if (message.first == type)
                result.append(message.second);
        return result;
    }
    void clear()
    {
        QMutexLocker locker(&m_mutex);
        m_messages.clear();
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        if (MessageCapture *self = s_active) {
            QMutexLocker locker(&self->m_mutex);
            self->m_messages.append({type, text});
        }
    }

    static inline MessageCapture *s_active = nullptr;
    mutable QMutex m_mutex;
    QList<QPair<QtMsgType, QString>> m_messages;
    QtMessageHandler m_previous = nullptr;
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
