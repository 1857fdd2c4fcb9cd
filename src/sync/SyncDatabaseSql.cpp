#include "SyncDatabaseSql.h"

#include <QDebug>
#include <QVector>

#include <type_traits>

namespace {

// One column of a table: how the CREATE text declares it, and how a record writes and reads it.
template<typename Record>
struct Column
{
    QString name;
    const char *declaration;
    // Both null: declared in the table, never written or read.
    QVariant (*write)(const Record &);
    void (*read)(Record &, const QVariant &);
};

template<typename Record>
using Columns = QVector<Column<Record>>;

template<typename Record, auto Member>
Column<Record> integer(const char *name, const char *declaration = "INTEGER")
{
    return {QString::fromLatin1(name), declaration,
            [](const Record &r) { return QVariant::fromValue<quint64>(r.*Member); },
            [](Record &r, const QVariant &v) {
                r.*Member = static_cast<std::remove_reference_t<decltype(r.*Member)>>(v.toULongLong());
            }};
}

template<typename Record, auto Member>
Column<Record> text(const char *name, const char *declaration = "TEXT")
{
    return {QString::fromLatin1(name), declaration, [](const Record &r) { return QVariant(r.*Member); },
            [](Record &r, const QVariant &v) { r.*Member = v.toString(); }};
}

template<typename Record, auto Member>
Column<Record> time(const char *name)
{
    return {QString::fromLatin1(name), "INTEGER",
            [](const Record &r) { return QVariant::fromValue<quint64>(toDatabaseTime(r.*Member)); },
            [](Record &r, const QVariant &v) { r.*Member = v.isNull() ? QDateTime() : fromDatabaseTime(v.toULongLong()); }};
}

template<typename Record, auto Member>
Column<Record> status(const char *name, const char *declaration)
{
    return {QString::fromLatin1(name), declaration,
            [](const Record &r) { return QVariant::fromValue<quint64>(r.syncStatus.*Member); },
            [](Record &r, const QVariant &v) { r.syncStatus.*Member = quint32(v.toULongLong()); }};
}

template<typename Record>
Column<Record> declaredOnly(const char *name, const char *declaration)
{
    return {QString::fromLatin1(name), declaration, nullptr, nullptr};
}

// Folders declare their statuses as TEXT and always have; SQLite converts on both ways.
const Columns<SyncFolder> &folderColumns()
{
    using R = SyncFolder;
    static const Columns<R> columns = {
        integer<R, &SyncItem::ClientId>("ClientId", "INTEGER PRIMARY KEY"),
        integer<R, &SyncItem::ServerId>("ServerId"),
        text<R, &SyncItem::ClientName>("ClientName"),
        text<R, &SyncItem::ServerName>("ServerName"),
        integer<R, &SyncFolder::ParentClientId>("ParentClientId"),
        integer<R, &SyncFolder::LibraryClientId>("LibraryClientId"),
        time<R, &SyncItem::CreatedTime>("CreatedTime"),
        time<R, &SyncItem::UpdatedTime>("UpdatedTime"),
        integer<R, &SyncItem::Attr>("Attr"),
        text<R, &SyncItem::CreatedBy>("CreatedBy"),
        text<R, &SyncItem::UpdatedBy>("UpdatedBy"),
        status<R, &SyncStatus::ServerStatus>("ServerStatus", "TEXT"),
        status<R, &SyncStatus::ClientStatus>("ClientStatus", "TEXT"),
    };
    return columns;
}

const Columns<SyncFile> &fileColumns()
{
    using R = SyncFile;
    static const Columns<R> columns = {
        integer<R, &SyncItem::ClientId>("ClientId", "INTEGER PRIMARY KEY"),
        integer<R, &SyncItem::ServerId>("ServerId"),
        text<R, &SyncItem::ServerName>("ServerName"),
        text<R, &SyncItem::ClientName>("ClientName"),
        integer<R, &SyncFile::ParentClientId>("ParentClientId"),
        integer<R, &SyncFile::LibraryClientId>("LibraryClientId"),
        text<R, &SyncFile::Hash>("Hash"),
        text<R, &SyncFile::Sic>("Sic"),
        time<R, &SyncItem::CreatedTime>("CreatedTime"),
        integer<R, &SyncItem::Attr>("Attr"),
        time<R, &SyncItem::UpdatedTime>("UpdatedTime"),
        text<R, &SyncItem::CreatedBy>("CreatedBy"),
        text<R, &SyncItem::UpdatedBy>("UpdatedBy"),
        status<R, &SyncStatus::ServerStatus>("ServerStatus", "INTEGER"),
        status<R, &SyncStatus::ClientStatus>("ClientStatus", "INTEGER"),
        integer<R, &SyncFile::Size>("Size"),
    };
    return columns;
}

// Hash is a leftover of an early version: declared, never used. TeamId is last because older
// databases got it by ALTER TABLE.
const Columns<SyncLibrary> &libraryColumns()
{
    using R = SyncLibrary;
    static const Columns<R> columns = {
        integer<R, &SyncItem::ClientId>("ClientId", "INTEGER PRIMARY KEY"),
        integer<R, &SyncItem::ServerId>("ServerId"),
        text<R, &SyncLibrary::ServerPath>("ServerPath"),
        text<R, &SyncItem::ServerName>("ServerName"),
        text<R, &SyncItem::ClientName>("ClientName"),
        declaredOnly<R>("Hash", "TEXT"),
        text<R, &SyncLibrary::Sic>("Sic"),
        time<R, &SyncItem::CreatedTime>("CreatedTime"),
        time<R, &SyncItem::UpdatedTime>("UpdatedTime"),
        text<R, &SyncItem::CreatedBy>("CreatedBy"),
        text<R, &SyncItem::UpdatedBy>("UpdatedBy"),
        status<R, &SyncStatus::ServerStatus>("ServerStatus", "INTEGER"),
        status<R, &SyncStatus::ClientStatus>("ClientStatus", "INTEGER"),
        integer<R, &SyncItem::Attr>("Attr"),
        text<R, &SyncLibrary::TeamId>("TeamId"),
        text<R, &SyncLibrary::TenantId>("TenantId"),
        text<R, &SyncLibrary::TenantName>("TenantName"),
        integer<R, &SyncLibrary::ContainerType>("ContainerType"),
    };
    return columns;
}

const Columns<FileCacheItem> &fileCacheColumns()
{
    using R = FileCacheItem;
    static const Columns<R> columns = {
        text<R, &FileCacheItem::Id>("Id", "TEXT PRIMARY KEY"),
        text<R, &FileCacheItem::Hash>("Hash"),
        integer<R, &FileCacheItem::Size>("Size"),
        time<R, &FileCacheItem::CreatedTime>("CreatedTime"),
    };
    return columns;
}

template<typename Record>
QString createText(const QString &table, const Columns<Record> &columns)
{
    QStringList declared;
    for (const Column<Record> &column : columns)
        declared << column.name + QLatin1Char(' ') + QLatin1String(column.declaration);
    return QStringLiteral("CREATE TABLE ") + table + QStringLiteral(" (") + declared.join(QLatin1Char(','))
        + QStringLiteral(");");
}

template<typename Record>
QStringList writtenNames(const Columns<Record> &columns)
{
    QStringList names;
    for (const Column<Record> &column : columns) {
        if (column.write)
            names << column.name;
    }
    return names;
}

template<typename Record>
CSqlValueList valuesOf(const Columns<Record> &columns, const Record &record)
{
    CSqlValueList values;
    values.reserve(columns.size());
    for (const Column<Record> &column : columns) {
        if (column.write)
            values.append(CSqlValue(column.name, column.write(record)));
    }
    return values;
}

// Rows are read by column name, so a statement with another column order still maps correctly;
// a column the statement lacks keeps the record's default.
template<typename Record>
QSharedPointer<Record> readRow(const Columns<Record> &columns, const CSqlStatement &statement, const QSqlQuery &query)
{
    if (!query.isValid())
        return {};
    QSharedPointer<Record> record(new Record);
    for (const Column<Record> &column : columns) {
        const int index = column.read ? statement.indexOf(column.name) : -1;
        if (index >= 0)
            column.read(*record, query.value(index));
    }
    return record;
}

} // namespace

namespace sqltable {

const QStringList &all()
{
    static const QStringList tables = {Libraries, Files, Folders, FileCache};
    return tables;
}

QString createStatement(const QString &table)
{
    if (table == Files)
        return createText(table, fileColumns());
    if (table == Folders)
        return createText(table, folderColumns());
    if (table == Libraries)
        return createText(table, libraryColumns());
    if (table == FileCache)
        return createText(table, fileCacheColumns());
    qWarning() << "sqltable::createStatement: unknown table:" << table;
    return {};
}

QStringList columnsOf(const QString &table)
{
    static const QStringList files = writtenNames(fileColumns());
    static const QStringList folders = writtenNames(folderColumns());
    static const QStringList libraries = writtenNames(libraryColumns());
    static const QStringList fileCache = writtenNames(fileCacheColumns());

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

namespace sqlwhere {

QString pending()
{
    return QStringLiteral("ServerStatus != %1 OR ClientStatus != %1").arg(number(StatusSynchronized));
}

QString notInfected()
{
    return QStringLiteral("(Attr & %1) = 0").arg(number(AttrInfected));
}

const QList<NextItemClass> &nextItemClasses()
{
    static const QList<NextItemClass> classes = [] {
        const QString synced = number(StatusSynchronized);
        const QString isNew = number(StatusNew);
        const QString deleted = number(StatusDeleted);
        const QString somewhere = QLatin1Char('(') + pending() + QLatin1Char(')');
        return QList<NextItemClass>{
            {QStringLiteral("NextBoth"), QStringLiteral("ServerStatus != %1 AND ClientStatus != %1").arg(synced)},
            {QStringLiteral("DeletedPending"), QStringLiteral("ServerStatus = %1 OR ClientStatus = %1").arg(deleted)},
            {QStringLiteral("NextNew"),
             QStringLiteral("(ServerStatus = %1 OR ClientStatus = %1) AND ").arg(isNew) + notInfected()},
            {QStringLiteral("NextUnflagged"), somewhere + QStringLiteral(" AND (Attr = 0 OR Attr IS NULL)")},
            {QStringLiteral("NextClean"), somewhere + QStringLiteral(" AND ") + notInfected()},
        };
    }();
    return classes;
}

} // namespace sqlwhere

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

CSqlValueList fileValues(const SyncFile &file)
{
    return valuesOf(fileColumns(), file);
}

CSqlValueList folderValues(const SyncFolder &folder)
{
    return valuesOf(folderColumns(), folder);
}

CSqlValueList libraryValues(const SyncLibrary &library)
{
    return valuesOf(libraryColumns(), library);
}

CSqlValueList fileCacheValues(const FileCacheItem &item)
{
    return valuesOf(fileCacheColumns(), item);
}

SyncFile::Ptr readFile(const CSqlStatement &statement, const QSqlQuery &query)
{
    return readRow(fileColumns(), statement, query);
}

SyncFolder::Ptr readFolder(const CSqlStatement &statement, const QSqlQuery &query)
{
    return readRow(folderColumns(), statement, query);
}

SyncLibrary::Ptr readLibrary(const CSqlStatement &statement, const QSqlQuery &query)
{
    return readRow(libraryColumns(), statement, query);
}

FileCacheItem::Ptr readFileCacheItem(const CSqlStatement &statement, const QSqlQuery &query)
{
    return readRow(fileCacheColumns(), statement, query);
}

} // namespace sqlrow
