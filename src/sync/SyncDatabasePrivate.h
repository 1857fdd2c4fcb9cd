#pragma once

// Shared by the source files of CSyncDatabase; not for the rest of the engine.

#include "SyncDatabase.h"

#include <QList>
#include <QString>

namespace syncdb {

inline QString idWhere(const char *column, quint64 id)
{
    return QString::fromLatin1(column) + QStringLiteral(" = ") + QString::number(id);
}

inline QString quoted(const QString &text)
{
    return toSqlLiteral(CSqlValue(QString(), QVariant(text)));
}

template<typename Pointer, typename Reader>
QList<Pointer> readAll(CSyncDatabase &db, const QString &table, const QString &where, Reader reader)
{
    const CSqlStatement statement = CSqlStatement::forReading(table, where);
    QSqlQuery query = db.execQuery(statement.selectStatement());
    QList<Pointer> records;
    if (!query.isValid())
        return records;
    do {
        records.append(reader(statement, query));
    } while (query.next());
    return records;
}

// The query ends inside this function, so no read stays open on the connection.
template<typename Pointer, typename Reader>
Pointer readOne(CSyncDatabase &db, const QString &table, const QString &where, Reader reader)
{
    const CSqlStatement statement = CSqlStatement::forReading(table, where);
    QSqlQuery query = db.execQuery(statement.selectStatement());
    return reader(statement, query);
}

} // namespace syncdb
