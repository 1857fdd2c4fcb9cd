#include "SyncDatabaseSql.h"

#include <QDebug>

namespace sqltable {

QStringList columnsOf(const QString &table)
{
    static const QStringList files = {
        "ClientId", "ServerId", "ServerName", "ClientName", "ParentClientId", "LibraryClientId", "Hash", "Sic",
        "Attr", "CreatedTime", "UpdatedTime", "CreatedBy", "UpdatedBy", "ServerStatus", "ClientStatus", "Size"};
    static const QStringList folders = {
        "ClientId", "ServerId", "ServerName", "ClientName", "ParentClientId", "LibraryClientId", "CreatedTime",
        "UpdatedTime", "Attr", "CreatedBy", "UpdatedBy", "ServerStatus", "ClientStatus"};
    static const QStringList libraries = {
        "ClientId", "ServerId", "TeamId", "TenantId", "TenantName", "ServerPath", "ServerName", "ClientName", "Sic",
        "CreatedTime", "UpdatedTime", "CreatedBy", "Attr", "UpdatedBy", "ServerStatus", "ClientStatus",
        "ContainerType"};
    static const QStringList fileCache = {"Id", "Hash", "Size", "CreatedTime"};

    if (table == Files)
        return files;
    if (table == Folders)
        return folders;
    if (table == Libraries)
        return libraries;
    if (table == FileCache)
        return fileCache;
    qWarning() << "sqltable::columnsOf: unknown table:" << table;
    return {};
}

} // namespace sqltable

bool CSqlValue::isText() const
{
    return m_value.userType() == QMetaType::QString;
}

QString CSqlValue::valueToString() const
{
    if (!m_value.canConvert<QString>()) {
        qCritical() << "CSqlParameter::valueToString: unable to convert value" << m_name << "- type:"
                    << m_value.typeName();
    }
    return m_value.toString();
}

quint64 CSqlValue::valueToULongLong() const
{
    if (m_value.userType() == QMetaType::QDateTime)
        return toDatabaseTime(m_value.toDateTime());
    bool ok = false;
    const quint64 number = m_value.toULongLong(&ok);
    if (!ok) {
        qCritical() << "CSqlParameter::valueToULongLong: unable to convert value" << m_name << "- type:"
                    << m_value.typeName();
        return 0;
    }
    return number;
}

QString toSqlLiteral(const CSqlValue &value)
{
    if (value.isText()) {
        QString text = value.valueToString();
        text.replace(QLatin1Char('\''), QLatin1String("''"));
        return QLatin1Char('\'') + text + QLatin1Char('\'');
    }
    return QString::number(value.valueToULongLong());
}

QVariant toSqlBinding(const CSqlValue &value)
{
    if (value.isText()) {
        // A null text would be bound as NULL; the literal stores ''.
        const QString text = value.valueToString();
        return text.isNull() ? QVariant(QStringLiteral("")) : QVariant(text);
    }
    return QVariant(qint64(value.valueToULongLong()));
}

CSqlStatement::CSqlStatement(const QString &table, const QString &where, const CSqlValueList &values)
    : m_table(table)
    , m_values(values)
    , m_where(where)
{
    m_positions.reserve(m_values.size());
    for (int i = 0; i < m_values.size(); ++i)
        m_positions.insert(m_values.at(i).name(), i);
}

CSqlStatement CSqlStatement::forReading(const QString &table, const QString &where)
{
    CSqlValueList columns;
    const QStringList names = sqltable::columnsOf(table);
    columns.reserve(names.size());
    for (const QString &name : names)
        columns.append(CSqlValue(name, QVariant()));
    return CSqlStatement(table, where, columns);
}

CSqlStatement CSqlStatement::forWriting(const QString &table, const QString &where, const CSqlValueList &values)
{
    return CSqlStatement(table, where, values);
}

QString CSqlStatement::whereClause() const
{
    return m_where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + m_where;
}

QString CSqlStatement::selectStatement() const
{
    QStringList names;
    names.reserve(m_values.size());
    for (const CSqlValue &value : m_values)
        names.append(value.name());
    return QStringLiteral("SELECT ") + names.join(QLatin1Char(',')) + QStringLiteral(" FROM ") + m_table
        + whereClause() + QLatin1Char(';');
}

QString CSqlStatement::insertStatement() const
{
    QStringList names;
    QStringList literals;
    names.reserve(m_values.size());
    literals.reserve(m_values.size());
    for (const CSqlValue &value : m_values) {
        names.append(value.name());
        literals.append(toSqlLiteral(value));
    }
    return QStringLiteral("INSERT INTO") + QLatin1Char(' ') + m_table + QLatin1Char(' ') + QLatin1Char('(')
        + names.join(QLatin1Char(',')) + QLatin1Char(')') + QStringLiteral(" VALUES ") + QLatin1Char('(')
        + literals.join(QLatin1Char(',')) + QLatin1Char(')') + QLatin1Char(';');
}

QString CSqlStatement::updateStatement() const
{
    QStringList assignments;
    assignments.reserve(m_values.size());
    for (const CSqlValue &value : m_values)
        assignments.append(value.name() + QLatin1Char('=') + toSqlLiteral(value));
    return QStringLiteral("UPDATE") + QLatin1Char(' ') + m_table + QStringLiteral(" SET ")
        + assignments.join(QLatin1Char(',')) + whereClause() + QLatin1Char(';');
}

QString CSqlStatement::deleteStatement() const
{
    return QStringLiteral("DELETE FROM ") + m_table + whereClause() + QLatin1Char(';');
}

QString CSqlStatement::countStatement() const
{
    const QString what = m_table == sqltable::Files ? QStringLiteral("COUNT(1), SUM(Size)") : QStringLiteral("COUNT(1)");
    return QStringLiteral("SELECT ") + what + QStringLiteral(" FROM ") + m_table + whereClause() + QLatin1Char(';');
}

namespace sqlrow {

namespace {

// Rows are read by column name, so a statement with another column order still maps correctly.
class RowReader
{
public:
    RowReader(const CSqlStatement &statement, const QSqlQuery &query) : m_statement(statement), m_query(query) {}

    QVariant value(const QString &column) const
    {
        const int index = m_statement.indexOf(column);
        return index < 0 ? QVariant() : m_query.value(index);
    }
    quint64 u64(const QString &column) const { return value(column).toULongLong(); }
    quint32 u32(const QString &column) const { return value(column).toUInt(); }
    QString text(const QString &column) const { return value(column).toString(); }
    QDateTime time(const QString &column) const
    {
        const QVariant v = value(column);
        return v.isNull() ? QDateTime() : fromDatabaseTime(v.toULongLong());
    }

private:
    const CSqlStatement &m_statement;
    const QSqlQuery &m_query;
};

void readCommon(const RowReader &row, SyncItem &item)
{
    item.ClientId = row.u64("ClientId");
    item.ServerId = row.u64("ServerId");
    item.ServerName = row.text("ServerName");
    item.ClientName = row.text("ClientName");
    item.CreatedTime = row.time("CreatedTime");
    item.UpdatedTime = row.time("UpdatedTime");
    item.CreatedBy = row.text("CreatedBy");
    item.UpdatedBy = row.text("UpdatedBy");
    item.Attr = row.u32("Attr");
    item.syncStatus.ServerStatus = row.u32("ServerStatus");
    item.syncStatus.ClientStatus = row.u32("ClientStatus");
}

CSqlValue number(const char *column, quint64 value)
{
    return CSqlValue(QString::fromLatin1(column), QVariant::fromValue<quint64>(value));
}

CSqlValue text(const char *column, const QString &value)
{
    return CSqlValue(QString::fromLatin1(column), QVariant(value));
}

} // namespace

CSqlValueList fileValues(const SyncFile &file)
{
    return {number("ClientId", file.ClientId),
            number("ServerId", file.ServerId),
            text("ServerName", file.ServerName),
            text("ClientName", file.ClientName),
            number("ParentClientId", file.ParentClientId),
            number("LibraryClientId", file.LibraryClientId),
            text("Hash", file.Hash),
            text("Sic", file.Sic),
            number("Attr", file.Attr),
            number("CreatedTime", toDatabaseTime(file.CreatedTime)),
            number("UpdatedTime", toDatabaseTime(file.UpdatedTime)),
            text("CreatedBy", file.CreatedBy),
            text("UpdatedBy", file.UpdatedBy),
            number("ServerStatus", file.syncStatus.ServerStatus),
            number("ClientStatus", file.syncStatus.ClientStatus),
            number("Size", file.Size)};
}

CSqlValueList folderValues(const SyncFolder &folder)
{
    return {number("ClientId", folder.ClientId),
            number("ServerId", folder.ServerId),
            text("ServerName", folder.ServerName),
            text("ClientName", folder.ClientName),
            number("ParentClientId", folder.ParentClientId),
            number("LibraryClientId", folder.LibraryClientId),
            number("CreatedTime", toDatabaseTime(folder.CreatedTime)),
            number("UpdatedTime", toDatabaseTime(folder.UpdatedTime)),
            number("Attr", folder.Attr),
            text("CreatedBy", folder.CreatedBy),
            text("UpdatedBy", folder.UpdatedBy),
            number("ServerStatus", folder.syncStatus.ServerStatus),
            number("ClientStatus", folder.syncStatus.ClientStatus)};
}

CSqlValueList libraryValues(const SyncLibrary &library)
{
    return {number("ClientId", library.ClientId),
            number("ServerId", library.ServerId),
            text("TeamId", library.TeamId),
            text("TenantId", library.TenantId),
            text("TenantName", library.TenantName),
            text("ServerPath", library.ServerPath),
            text("ServerName", library.ServerName),
            text("ClientName", library.ClientName),
            text("Sic", library.Sic),
            number("CreatedTime", toDatabaseTime(library.CreatedTime)),
            number("UpdatedTime", toDatabaseTime(library.UpdatedTime)),
            text("CreatedBy", library.CreatedBy),
            number("Attr", library.Attr),
            text("UpdatedBy", library.UpdatedBy),
            number("ServerStatus", library.syncStatus.ServerStatus),
            number("ClientStatus", library.syncStatus.ClientStatus),
            number("ContainerType", library.ContainerType)};
}

CSqlValueList fileCacheValues(const FileCacheItem &item)
{
    return {text("Id", item.Id), text("Hash", item.Hash), number("Size", item.Size),
            number("CreatedTime", toDatabaseTime(item.CreatedTime))};
}

SyncFile::Ptr readFile(const CSqlStatement &statement, const QSqlQuery &query)
{
    if (!query.isValid())
        return {};
    const RowReader row(statement, query);
    SyncFile::Ptr file(new SyncFile);
    readCommon(row, *file);
    file->ParentClientId = row.u64("ParentClientId");
    file->LibraryClientId = row.u64("LibraryClientId");
    file->Hash = row.text("Hash");
    file->Sic = row.text("Sic");
    file->Size = row.u64("Size");
    return file;
}

SyncFolder::Ptr readFolder(const CSqlStatement &statement, const QSqlQuery &query)
{
    if (!query.isValid())
        return {};
    const RowReader row(statement, query);
    SyncFolder::Ptr folder(new SyncFolder);
    readCommon(row, *folder);
    folder->ParentClientId = row.u64("ParentClientId");
    folder->LibraryClientId = row.u64("LibraryClientId");
    return folder;
}

SyncLibrary::Ptr readLibrary(const CSqlStatement &statement, const QSqlQuery &query)
{
    if (!query.isValid())
        return {};
    const RowReader row(statement, query);
    SyncLibrary::Ptr library(new SyncLibrary);
    readCommon(row, *library);
    library->ContainerType = row.u32("ContainerType");
    library->TeamId = row.text("TeamId");
    library->TenantId = row.text("TenantId");
    library->TenantName = row.text("TenantName");
    library->Sic = row.text("Sic");
    library->ServerPath = row.text("ServerPath");
    return library;
}

FileCacheItem::Ptr readFileCacheItem(const CSqlStatement &statement, const QSqlQuery &query)
{
    if (!query.isValid())
        return {};
    const RowReader row(statement, query);
    FileCacheItem::Ptr item(new FileCacheItem);
    item->Id = row.text("Id");
    item->Hash = row.text("Hash");
    item->Size = row.u64("Size");
    item->CreatedTime = row.time("CreatedTime");
    return item;
}

} // namespace sqlrow
