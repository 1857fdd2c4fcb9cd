#include "SyncDatabasePrivate.h"

#include <QDateTime>
#include <QDebug>

#include <limits>
#include <random>

using namespace syncdb;

namespace {

int randomNumber()
{
    thread_local std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(
        QDateTime::currentMSecsSinceEpoch()));
    return static_cast<int>(generator() % 32768);
}

} // namespace

SyncItem::Ptr CSyncDatabase::findOneNotSynchronizedItem(const QString &where)
{
    if (const SyncFolder::Ptr folder =
            readOne<SyncFolder::Ptr>(*this, sqltable::Folders, where + QStringLiteral(" LIMIT 1"), sqlrow::readFolder))
        return folder;

    // One file that keeps failing must not block the others, so the pick among the candidates is random.
    // Each step is a seek in the class's own index, never a walk over all candidates (a library being
    // downloaded for the first time has every file as one): up to kExactPickCandidates the pick is
    // among the counted rows; beyond, it is the first candidate from a random point between the first
    // and the last, which in a set that large gives no single candidate a lasting lead.
    constexpr int kExactPickCandidates = 256;
    const int orderAt = where.lastIndexOf(QLatin1String(" ORDER BY "));
    const QString terms = QLatin1Char('(') + (orderAt < 0 ? where : where.left(orderAt)) + QLatin1Char(')');
    const QString candidates = QStringLiteral("SELECT ClientId FROM ") + sqltable::Files + QStringLiteral(" WHERE ") + terms;
    const auto firstValue = [this](const QString &text) -> quint64 {
        const QSqlQuery query = execQuery(text);
        return query.isValid() ? query.value(0).toULongLong() : 0;
    };
    const quint64 counted = firstValue(QStringLiteral("SELECT COUNT(1) FROM (") + candidates + QStringLiteral(" LIMIT ")
                                       + QString::number(kExactPickCandidates + 1) + QStringLiteral(");"));
    if (counted == 0)
        return {};
    ItemId chosen = 0;
    if (counted <= quint64(kExactPickCandidates)) {
        const int row = syncpath::randomRowIndex(randomNumber(), int(counted - 1));
        chosen = firstValue(candidates + QStringLiteral(" ORDER BY ClientId LIMIT 1 OFFSET ") + QString::number(row)
                            + QLatin1Char(';'));
    } else {
        const ItemId first = firstValue(candidates + QStringLiteral(" ORDER BY ClientId LIMIT 1;"));
        const ItemId last = firstValue(candidates + QStringLiteral(" ORDER BY ClientId DESC LIMIT 1;"));
        const int span = int(qBound<qint64>(0, qint64(last) - qint64(first), std::numeric_limits<int>::max()));
        const ItemId from = first + ItemId(syncpath::randomRowIndex(randomNumber(), span));
        chosen = firstValue(candidates + QStringLiteral(" AND ClientId >= ") + QString::number(from)
                            + QStringLiteral(" ORDER BY ClientId LIMIT 1;"));
    }
    if (const SyncFile::Ptr file = chosen ? getFile(chosen) : SyncFile::Ptr())
        return file;
    // Changed in the meantime by another thread: the first remaining candidate will do.
    const ItemId any = firstValue(candidates + QStringLiteral(" ORDER BY ClientId LIMIT 1;"));
    return any ? getFile(any) : SyncFile::Ptr();
}

SyncItem::Ptr CSyncDatabase::getOneNotSynchronizedItemFromLibrary(ItemId libraryClientId)
{
    const SyncLibrary::Ptr library = getLibrary(libraryClientId);
    if (!library) {
        qCritical() << "CSyncDatabase::getOneNotSynchronizedItemFromLibrary: library" << libraryClientId
                    << "not found !?";
        return {};
    }
    if (!library->syncStatus.isSynchronized())
        return library;

    for (const sqlwhere::NextItemClass &c : sqlwhere::nextItemClasses()) {
        const QString where = QStringLiteral("LibraryClientId = %1 AND (%2) ORDER BY ClientId")
                                  .arg(QString::number(libraryClientId), c.condition);
        if (SyncItem::Ptr item = findOneNotSynchronizedItem(where))
            return item;
    }
    return {};
}

bool CSyncDatabase::isSynchronized(ItemId libraryClientId, bool clientSideOnly)
{
    const QString c = clientSideOnly ? QStringLiteral("ClientStatus != ") + sqlwhere::number(StatusSynchronized)
                                     : sqlwhere::pending();
    const QString limit = QStringLiteral(" LIMIT 1");
    if (libraryClientId == 0) {
        return !hasRow(sqltable::Libraries, c + limit) && !hasRow(sqltable::Files, c + limit)
            && !hasRow(sqltable::Folders, c + limit);
    }
    const QString id = QString::number(libraryClientId);
    if (hasRow(sqltable::Libraries, QStringLiteral("ClientId = %1 AND (%2)").arg(id, c) + limit))
        return false;
    if (hasRow(sqltable::Files, QStringLiteral("LibraryClientId = %1 AND ((%2) AND %3)").arg(id, c, sqlwhere::notInfected()) + limit))
        return false;
    return !hasRow(sqltable::Folders, QStringLiteral("LibraryClientId = %1 AND (%2)").arg(id, c) + limit);
}

bool CSyncDatabase::hasItemsSynchronizedOnServerNewOrDeletedOnClient(ItemId libraryClientId)
{
    return existsFileOrFolder(
        QStringLiteral("LibraryClientId = %1 AND ServerStatus = %2 AND (ClientStatus = %3 OR ClientStatus = %4)")
            .arg(QString::number(libraryClientId), sqlwhere::number(StatusSynchronized), sqlwhere::number(StatusNew),
                 sqlwhere::number(StatusDeleted)));
}

bool CSyncDatabase::hasQuotaExceededItems()
{
    return existsFileOrFolder(QStringLiteral("(Attr & %1) != 0").arg(sqlwhere::number(AttrQuotaExceeded)));
}

bool CSyncDatabase::existsFileOrFolder(const QString &condition)
{
    const QString text = QStringLiteral("SELECT 1 FROM ") + sqltable::Files + QStringLiteral(" WHERE %1 UNION SELECT 1 FROM ")
        + sqltable::Folders + QStringLiteral(" WHERE %1 LIMIT 1");
    return execQuery(text.arg(condition)).isValid();
}
