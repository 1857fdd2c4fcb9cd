#include "SyncDatabase.h"

#include <QDebug>
#include <QSqlError>

namespace {

QString preparedInsertText(const QString &table, const CSqlValueList &columns)
{
    QStringList names;
    for (const CSqlValue &column : columns)
        names << column.name();
    QString placeholders = QStringLiteral("?,").repeated(names.size());
    placeholders.chop(1);
    return QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (") + names.join(QLatin1Char(','))
        + QStringLiteral(") VALUES (") + placeholders + QStringLiteral(");");
}

} // namespace

CSyncDatabaseBatch::CSyncDatabaseBatch(CSyncDatabase &db, ItemId libraryClientId)
    : m_db(db)
    , m_libraryClientId(libraryClientId)
    , m_lock(&db.m_mutex)
{
    const QSqlDatabase connection = m_db.getDatabaseConnection();
    if (!connection.isOpen() || !m_db.beginTransaction())
        return;
    m_active = true;
    m_changesAtStart = totalChanges();
    m_nextClientId = m_db.getNextClientId();
    m_insertFile = QSqlQuery(connection);
    m_insertFolder = QSqlQuery(connection);
    if (!m_insertFile.prepare(preparedInsertText(sqltable::Files, sqlrow::fileValues(SyncFile())))
        || !m_insertFolder.prepare(preparedInsertText(sqltable::Folders, sqlrow::folderValues(SyncFolder())))) {
        qCritical() << "CSyncDatabaseBatch: unable to prepare the inserts:" << m_insertFile.lastError().text()
                    << m_insertFolder.lastError().text();
        rollback();
    }
}

CSyncDatabaseBatch::~CSyncDatabaseBatch()
{
    if (m_active) {
        qWarning() << "CSyncDatabaseBatch: library" << m_libraryClientId << "not committed -> rolling back";
        rollback();
    }
}

qint64 CSyncDatabaseBatch::totalChanges()
{
    const QSqlQuery query = m_db.execQuery(QStringLiteral("SELECT total_changes();"));
    return query.isValid() ? query.value(0).toLongLong() : 0;
}

ItemId CSyncDatabaseBatch::insert(QSqlQuery &statement, const QString &table, SyncItem &item,
                                  const CSqlValueList &values)
{
    if (!m_active)
        return 0;
    for (int i = 0; i < values.size(); ++i)
        statement.bindValue(i, toSqlBinding(values.at(i)));
    m_db.m_statementCount.fetchAndAddRelaxed(1);
    // The write lock is held since the transaction began, so there is no busy state to wait out.
    if (!statement.exec()) {
        qCritical() << "CSyncDatabaseBatch: insert into" << table << "failed for serverId:" << item.ServerId
                    << "name:" << item.ServerName << statement.lastError().text() << "-> discarding insert";
        return 0;
    }
    ++m_nextClientId;
    ++m_inserted;
    return item.ClientId;
}

ItemId CSyncDatabaseBatch::insertFile(SyncFile &file)
{
    const ItemId previousId = file.ClientId;
    file.ClientId = m_nextClientId;
    const ItemId id = insert(m_insertFile, sqltable::Files, file, sqlrow::fileValues(file));
    if (id == 0)
        file.ClientId = previousId;
    return id;
}

ItemId CSyncDatabaseBatch::insertFolder(SyncFolder &folder)
{
    const ItemId previousId = folder.ClientId;
    folder.ClientId = m_nextClientId;
    const ItemId id = insert(m_insertFolder, sqltable::Folders, folder, sqlrow::folderValues(folder));
    if (id == 0)
        folder.ClientId = previousId;
    return id;
}

bool CSyncDatabaseBatch::commit()
{
    if (!m_active)
        return false;
    m_active = false;
    m_insertFile.finish();
    m_insertFolder.finish();
    const bool changed = totalChanges() != m_changesAtStart;
    if (!m_db.commitTransaction())
        return false;
    qDebug() << "CSyncDatabaseBatch::commit: library" << m_libraryClientId << "rows inserted:" << m_inserted;
    // Nothing of the batch was visible before; those who listen read it now.
    if (changed)
        emit m_db.syncDatabaseChangedSignal(m_libraryClientId);
    return true;
}

void CSyncDatabaseBatch::rollback()
{
    if (!m_active)
        return;
    m_active = false;
    m_insertFile.finish();
    m_insertFolder.finish();
    if (!m_db.execQuery(QStringLiteral("ROLLBACK;")).isActive())
        qCritical() << "CSyncDatabaseBatch: rollback failed for library" << m_libraryClientId;
}
