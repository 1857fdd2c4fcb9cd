#include "SyncDatabasePrivate.h"

#include <QDebug>

using namespace syncdb;

bool CSyncDatabase::insertFileCacheItem(const FileCacheItem &item)
{
    if (!item.isValid()) {
        qWarning() << "CSyncDatabase::insertFileCacheItem: invalid cache item:" << item.toString() << "-> removing";
        return false;
    }
    const CSqlStatement statement =
        CSqlStatement::forWriting(sqltable::FileCache, QString(), sqlrow::fileCacheValues(item));
    return execQuery(statement.insertStatement()).isActive();
}

bool CSyncDatabase::isFileCacheItemPresent(const QString &id)
{
    return count(sqltable::FileCache, QStringLiteral("Id = ") + quoted(id) + QStringLiteral(" LIMIT 1")) != 0;
}

FileCacheItem::Ptr CSyncDatabase::getFileCacheItem(const QString &hash, quint64 size)
{
    return readOne<FileCacheItem::Ptr>(*this, sqltable::FileCache,
                                       QStringLiteral("Hash = ") + quoted(hash) + QStringLiteral(" AND Size = ")
                                           + QString::number(size) + QStringLiteral(" LIMIT 1"),
                                       sqlrow::readFileCacheItem);
}

QList<FileCacheItem::Ptr> CSyncDatabase::getFileCacheItems()
{
    return readAll<FileCacheItem::Ptr>(*this, sqltable::FileCache, QString(), sqlrow::readFileCacheItem);
}

void CSyncDatabase::deleteFileCacheItem(const QString &id)
{
    execQuery(CSqlStatement::forWriting(sqltable::FileCache, QStringLiteral("Id = ") + quoted(id), {}).deleteStatement());
}

void CSyncDatabase::deleteAllFileCacheItems()
{
    execQuery(CSqlStatement::forWriting(sqltable::FileCache, QString(), {}).deleteStatement());
}
