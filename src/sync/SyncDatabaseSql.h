#pragma once

#include "SyncRecords.h"

#include <QHash>
#include <QList>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <QVariant>

// The statement builder through which every row of the sync database is read and written.

namespace sqltable {
inline const QString Libraries = QStringLiteral("Libraries");
inline const QString Files = QStringLiteral("Files");
inline const QString Folders = QStringLiteral("Folders");
inline const QString FileCache = QStringLiteral("FileCache");

// Every table, in the order a new database creates them.
const QStringList &all();
// The CREATE TABLE text; empty for an unknown table.
QString createStatement(const QString &table);
// The columns written on insert and read back, in statement order.
QStringList columnsOf(const QString &table);
} // namespace sqltable

// Conditions of statements. Status numbers and attribute bits come from the enums, so a renumbered
// enum cannot leave a statement behind.
namespace sqlwhere {
template<typename Enum>
QString number(Enum value)
{
    return QString::number(static_cast<quint64>(value));
}
// Something is left to do on one side or the other.
QString pending();
// Not parked as infected.
QString notInfected();

// The next-item choice tries these in order. Each has a partial index whose condition is exactly this
// text: SQLite takes such an index only when the query repeats the condition.
struct NextItemClass
{
    QString indexName; // after the table name: "Files" + "NextBoth"
    QString condition;
};
const QList<NextItemClass> &nextItemClasses();
} // namespace sqlwhere

// One column with its value: a text or a number (a date-time counts as seconds since 1970).
class CSqlValue
{
public:
    CSqlValue() = default;
    CSqlValue(const QString &name, const QVariant &value) : m_name(name), m_value(value) {}

    const QString &name() const { return m_name; }
    const QVariant &value() const { return m_value; }
    bool isText() const;

    QString valueToString() const;
    quint64 valueToULongLong() const;

private:
    QString m_name;
    QVariant m_value;
};

using CSqlValueList = QList<CSqlValue>;

// A text in quotes with every "'" doubled; anything else in decimal.
QString toSqlLiteral(const CSqlValue &value);
// The same value for a prepared statement: what SQLite stores is identical to the literal's.
QVariant toSqlBinding(const CSqlValue &value);

class CSqlStatement
{
public:
    // Reading: every column of the table's column set, values left empty.
    static CSqlStatement forReading(const QString &table, const QString &where = QString());
    // Writing: exactly the given columns.
    static CSqlStatement forWriting(const QString &table, const QString &where, const CSqlValueList &values);

    const QString &table() const { return m_table; }
    const CSqlValueList &values() const { return m_values; }
    const QString &where() const { return m_where; }
    // Position of the column in the statement, -1 when the statement has no such column.
    int indexOf(const QString &column) const { return m_positions.value(column, -1); }

    QString selectStatement() const;
    QString insertStatement() const;
    QString updateStatement() const;
    QString deleteStatement() const;
    QString countStatement() const;

private:
    CSqlStatement(const QString &table, const QString &where, const CSqlValueList &values);

    QString whereClause() const;

    QString m_table;
    CSqlValueList m_values;
    QHash<QString, int> m_positions;
    QString m_where;
};

// Conversions between records and rows. Reading returns null when the query is not on a row.
namespace sqlrow {
CSqlValueList fileValues(const SyncFile &file);
CSqlValueList folderValues(const SyncFolder &folder);
CSqlValueList libraryValues(const SyncLibrary &library);
CSqlValueList fileCacheValues(const FileCacheItem &item);

SyncFile::Ptr readFile(const CSqlStatement &statement, const QSqlQuery &query);
SyncFolder::Ptr readFolder(const CSqlStatement &statement, const QSqlQuery &query);
SyncLibrary::Ptr readLibrary(const CSqlStatement &statement, const QSqlQuery &query);
FileCacheItem::Ptr readFileCacheItem(const CSqlStatement &statement, const QSqlQuery &query);
} // namespace sqlrow
