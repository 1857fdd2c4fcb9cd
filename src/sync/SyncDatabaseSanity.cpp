#include "SyncDatabase.h"

#include <QDebug>

void CSyncDatabase::runSanityCheck()
{
    qDebug() << "CSyncDatabase::runSanityCheck";

    static const QString noTenant = QStringLiteral("TenantId IS NULL OR TenantId = ''");
    static const QString ownParent = QStringLiteral("ClientId = ParentClientId");
    static const QString libraryIds = QStringLiteral("SELECT ClientId FROM %1").arg(sqltable::Libraries);
    static const QString folderIds = QStringLiteral("SELECT ClientId FROM %1").arg(sqltable::Folders);
    static const QString libraryGone = QStringLiteral("LibraryClientId NOT IN (%1)").arg(libraryIds);
    static const QString parentGone = QStringLiteral("ParentClientId NOT IN (%1 UNION %2)").arg(libraryIds, folderIds);
    static const QString duplicates = QStringLiteral(
        "SELECT ServerId, LibraryClientId FROM (    SELECT ServerId, LibraryClientId, COUNT(ServerId) AS csi, "
        "COUNT(LibraryClientId) AS cli    FROM %1 GROUP BY ServerId, LibraryClientId) WHERE csi > 1 AND cli > 1");

    const auto deleteWhere = [this](const QString &table, const QString &where) {
        execQuery(CSqlStatement::forWriting(table, where, {}).deleteStatement());
    };

    deleteWhere(sqltable::Libraries, noTenant);
    deleteWhere(sqltable::Folders, ownParent);
    deleteWhere(sqltable::Files, ownParent);
    deleteWhere(sqltable::Folders, libraryGone);
    deleteWhere(sqltable::Files, libraryGone);

    // Removing an orphan folder orphans the folders below it, so repeat until nothing changes.
    quint32 folders = countFolders();
    for (;;) {
        deleteWhere(sqltable::Folders, parentGone);
        const quint32 remaining = countFolders();
        if (remaining == folders)
            break;
        folders = remaining;
    }
    deleteWhere(sqltable::Files, parentGone);

    for (const QString &table : {sqltable::Folders, sqltable::Files}) {
        QList<QPair<quint64, quint64>> found;
        {
            QSqlQuery query = execQuery(duplicates.arg(table));
            for (bool row = query.isValid(); row; row = query.next())
                found.append({query.value(0).toULongLong(), query.value(1).toULongLong()});
        }
        for (const auto &duplicate : qAsConst(found)) {
            // Every item not yet uploaded has server id 0; those are not duplicates of each other.
            if (duplicate.first == 0)
                continue;
            if (table == sqltable::Folders)
                qDebug() << "CSyncDatabase::runSanityCheck: duplicate folder found: serverId:" << duplicate.first
                         << "libraryClientId:" << duplicate.second;
            else
                qDebug() << "CSyncDatabase::runSanityCheck: duplicate file found: serverId:" << duplicate.first
                         << "libraryClientId:" << duplicate.second;
            const QString where =
                QStringLiteral("ServerId = %1 AND LibraryClientId = %2").arg(duplicate.first).arg(duplicate.second);
            deleteWhere(sqltable::Folders, where);
            deleteWhere(sqltable::Files, where);
        }
    }
}
