#pragma once

#include "SyncDatabase.h"
#include "SyncDatabaseSql.h"

#include <QMap>
#include <QObject>
#include <QSqlQuery>
#include <QTimer>

namespace testsupport {

// Stands in for the sync engine: marks every local change synchronised at once, counting
// what it carried by kind, so that the watcher's gate sees libraries become synchronised.
class FakeSyncEngine : public QObject
{
public:
    explicit FakeSyncEngine(CSyncDatabase &db) : m_db(db)
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
        m_timer.start(50);
    }

    QMap<QString, int> counts; // "file new", "folder moved", ...
    static QString statusText(quint32 status)
    {
        const QMap<quint32, QString> names{{StatusSynchronized, "sync"}, {StatusNew, "new"}, {StatusMoved, "moved"},
                                           {StatusChanged, "changed"}, {StatusDeleted, "deleted"}};
        return names.value(status, QString::number(status));
    }

private:
    void tick()
    {
        for (const QString &table : {sqltable::Folders, sqltable::Files}) {
            QSqlQuery query = m_db.execQuery("SELECT ClientId, ClientStatus FROM " + table
                                             + " WHERE ClientStatus <> " + QString::number(StatusSynchronized));
            QList<QPair<ItemId, quint32>> pending;
            for (bool row = query.isValid(); row; row = query.next())
                pending << qMakePair(query.value(0).toULongLong(), query.value(1).toUInt());
            for (const auto &item : pending) {
                ++counts[QString(table == sqltable::Files ? "file " : "folder ") + statusText(item.second)];
                const CSqlValueList values{CSqlValue("ClientStatus", quint32(StatusSynchronized)),
                                           CSqlValue("ServerStatus", quint32(StatusSynchronized)),
                                           CSqlValue("ServerId", item.first)};
                table == sqltable::Files ? m_db.updateFile(item.first, values) : m_db.updateFolder(item.first, values);
            }
        }
    }

    CSyncDatabase &m_db;
    QTimer m_timer;
};

} // namespace testsupport
