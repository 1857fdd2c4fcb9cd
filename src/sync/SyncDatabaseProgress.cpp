#include "SyncDatabase.h"

#include <initializer_list>

bool SyncProgressCounts::operator==(const SyncProgressCounts &other) const
{
    return librariesToAddOrRemove == other.librariesToAddOrRemove
        && foldersChangedOnServer == other.foldersChangedOnServer
        && foldersChangedOnClient == other.foldersChangedOnClient
        && filesMovedOrDeletedOnServer == other.filesMovedOrDeletedOnServer
        && filesMovedOrDeletedOnClient == other.filesMovedOrDeletedOnClient && filesToDownload == other.filesToDownload
        && filesToUpload == other.filesToUpload && bytesToDownload == other.bytesToDownload
        && bytesToUpload == other.bytesToUpload;
}

quint32 CSyncDatabase::countLibraries()
{
    return count(sqltable::Libraries);
}

quint32 CSyncDatabase::countFolders()
{
    return count(sqltable::Folders);
}

quint32 CSyncDatabase::countFiles()
{
    return count(sqltable::Files);
}

quint64 CSyncDatabase::sumFileSizes()
{
    quint64 sum = 0;
    count(sqltable::Files, QString(), &sum);
    return sum;
}

namespace {

struct ProgressConditions
{
    QString libraries, foldersOnServer, foldersOnClient, filesMovedOnServer, filesMovedOnClient, filesToDownload,
        filesToUpload;
};

QString n(quint32 value)
{
    return sqlwhere::number(value);
}

// (column = a OR column = b ...)
QString oneOf(const char *column, std::initializer_list<quint32> values)
{
    QStringList terms;
    for (quint32 value : values)
        terms << QLatin1String(column) + QStringLiteral(" = ") + n(value);
    return QLatin1Char('(') + terms.join(QStringLiteral(" OR ")) + QLatin1Char(')');
}

ProgressConditions progressConditions()
{
    const QString onServer = QStringLiteral("ClientStatus = ") + n(StatusSynchronized) + QStringLiteral(" AND ");
    const QString onClient = QStringLiteral("ServerStatus = ") + n(StatusSynchronized) + QStringLiteral(" AND ");
    // Items of a library being removed are not counted.
    const QString r = QStringLiteral(" AND LibraryClientId IN (SELECT ClientId FROM Libraries WHERE ServerStatus != ")
        + n(StatusDeleted) + QLatin1Char(')');
    const auto group = [](const QString &text) { return QLatin1Char('(') + text + QLatin1Char(')'); };
    ProgressConditions c;
    c.libraries = group(onServer + QStringLiteral("ServerStatus = ") + n(StatusNew)) + QStringLiteral(" OR ")
        + group(onClient + QStringLiteral("ClientStatus = ") + n(StatusDeleted));
    c.foldersOnServer = group(onServer + oneOf("ServerStatus", {StatusNew, StatusMoved, StatusDeleted})) + r;
    c.foldersOnClient = group(onClient + oneOf("ClientStatus", {StatusNew, StatusMoved, StatusDeleted})) + r;
    c.filesMovedOnServer = group(onServer + oneOf("ServerStatus", {StatusMoved, StatusDeleted})) + r;
    c.filesMovedOnClient = group(onClient + oneOf("ClientStatus", {StatusMoved, StatusDeleted})) + r;
    c.filesToDownload = onServer + oneOf("ServerStatus", {StatusNew, StatusChanged}) + r;
    c.filesToUpload = onClient + oneOf("ClientStatus", {StatusNew, StatusChanged}) + r;
    return c;
}

} // namespace

SyncProgressCounts CSyncDatabase::getSyncProgressCounts()
{
    static const ProgressConditions c = progressConditions();
    SyncProgressCounts counts;
    counts.librariesToAddOrRemove = count(sqltable::Libraries, c.libraries);
    counts.foldersChangedOnServer = count(sqltable::Folders, c.foldersOnServer);
    counts.foldersChangedOnClient = count(sqltable::Folders, c.foldersOnClient);
    counts.filesMovedOrDeletedOnServer = count(sqltable::Files, c.filesMovedOnServer);
    counts.filesMovedOrDeletedOnClient = count(sqltable::Files, c.filesMovedOnClient);
    counts.filesToDownload = count(sqltable::Files, c.filesToDownload, &counts.bytesToDownload);
    counts.filesToUpload = count(sqltable::Files, c.filesToUpload, &counts.bytesToUpload);
    return counts;
}
