#include "SyncDatabasePrivate.h"

#include <QDebug>
#include <QSet>

#include <algorithm>
#include <functional>

using namespace syncdb;

namespace {

CSqlValueList withoutClientId(CSqlValueList values)
{
    values.erase(std::remove_if(values.begin(), values.end(),
                                [](const CSqlValue &value) { return value.name() == QLatin1String("ClientId"); }),
                 values.end());
    return values;
}

} // namespace

void CSyncDatabase::notifyItemChanged(const SyncItem &item)
{
    emit syncDatabaseChangedSignal(item.isLibrary() ? item.ClientId : libraryClientIdOf(item));
    if (item.hasAttr(AttrQuotaExceeded))
        emit quotaExceededSignal();
}

ItemId CSyncDatabase::insertFile(const SyncFile::Ptr &file)
{
    if (!file)
        return 0;
    if (isServerIdPresent(file)) {
        qCritical() << "CSyncDatabase::insertFile: serverId is already present in DB:" << file->ServerId
                    << "-> discarding insert";
        return 0;
    }
    QMutexLocker locker(&m_mutex);
    const ItemId previousId = file->ClientId;
    file->ClientId = getNextClientId();
    if (file->ClientId == file->ParentClientId) {
        qCritical() << "CSyncDatabase::insertFile: clientId and parentClientId are equal:" << file->ClientId
                    << "-> discarding insert";
        file->ClientId = previousId;
        return 0;
    }
    if (!isFolderPresent(file->ParentClientId) && !isLibraryPresent(file->ParentClientId)) {
        qCritical() << "CSyncDatabase::insertFile: parentClientId is not present in DB:" << file->ParentClientId
                    << "-> discarding insert";
        file->ClientId = previousId;
        return 0;
    }
    const CSqlStatement statement = CSqlStatement::forWriting(sqltable::Files, QString(), sqlrow::fileValues(*file));
    if (!execQuery(statement.insertStatement()).isActive()) {
        qCritical() << "CSyncDatabase::insertFile: insert failed for serverId:" << file->ServerId << "name:"
                    << file->ServerName << "-> discarding insert";
        file->ClientId = previousId;
        return 0;
    }
    notifyItemChanged(*file);
    return file->ClientId;
}

ItemId CSyncDatabase::insertFolder(const SyncFolder::Ptr &folder)
{
    if (!folder)
        return 0;
    if (isServerIdPresent(folder)) {
        qCritical() << "CSyncDatabase::insertFolder: serverId is already present in DB:" << folder->ServerId
                    << "-> discarding insert";
        return 0;
    }
    QMutexLocker locker(&m_mutex);
    const ItemId previousId = folder->ClientId;
    folder->ClientId = getNextClientId();
    if (folder->ClientId == folder->ParentClientId) {
        qCritical() << "CSyncDatabase::insertFolder: clientId and parentClientId are equal:" << folder->ClientId
                    << "-> discarding insert";
        folder->ClientId = previousId;
        return 0;
    }
    if (!isFolderPresent(folder->ParentClientId) && !isLibraryPresent(folder->ParentClientId)) {
        qCritical() << "CSyncDatabase::insertFolder: parentClientId is not present in DB:" << folder->ParentClientId
                    << "-> discarding insert";
        folder->ClientId = previousId;
        return 0;
    }
    const CSqlStatement statement =
        CSqlStatement::forWriting(sqltable::Folders, QString(), sqlrow::folderValues(*folder));
    if (!execQuery(statement.insertStatement()).isActive()) {
        qCritical() << "CSyncDatabase::insertFolder: insert failed for serverId:" << folder->ServerId << "name:"
                    << folder->ServerName << "-> discarding insert";
        folder->ClientId = previousId;
        return 0;
    }
    notifyItemChanged(*folder);
    return folder->ClientId;
}

ItemId CSyncDatabase::insertLibrary(const SyncLibrary::Ptr &library)
{
    if (!library)
        return 0;
    QMutexLocker locker(&m_mutex);
    const ItemId previousId = library->ClientId;
    library->ClientId = getNextClientId();
    const CSqlStatement statement =
        CSqlStatement::forWriting(sqltable::Libraries, QString(), sqlrow::libraryValues(*library));
    if (!execQuery(statement.insertStatement()).isActive()) {
        qCritical() << "CSyncDatabase::insertLibrary: insert failed for library:" << library->toString()
                    << "-> discarding insert";
        library->ClientId = previousId;
        return 0;
    }
    notifyItemChanged(*library);
    emit syncLibrarySubscribedSignal(library->ClientId);
    return library->ClientId;
}

bool CSyncDatabase::writeLibraries(const QList<SyncLibrary::Ptr> &inserts,
                                   const QList<QPair<ItemId, CSqlValueList>> &updates)
{
    QList<SyncLibrary::Ptr> inserted;
    QList<ItemId> updated;
    {
        QMutexLocker locker(&m_mutex);
        if (!beginTransaction())
            return false;
        ItemId next = getNextClientId();
        for (const SyncLibrary::Ptr &library : inserts) {
            library->ClientId = next;
            const CSqlStatement statement =
                CSqlStatement::forWriting(sqltable::Libraries, QString(), sqlrow::libraryValues(*library));
            if (!execQuery(statement.insertStatement()).isActive()) {
                qCritical() << "CSyncDatabase::insertLibrary: insert failed for library:" << library->toString()
                            << "-> discarding insert";
                library->ClientId = 0;
                continue;
            }
            ++next;
            inserted << library;
        }
        for (const QPair<ItemId, CSqlValueList> &update : updates) {
            if (runUpdate(sqltable::Libraries, update.first, update.second))
                updated << update.first;
        }
        if (!commitTransaction()) {
            for (const SyncLibrary::Ptr &library : inserts)
                library->ClientId = 0;
            return false;
        }
    }
    for (const SyncLibrary::Ptr &library : qAsConst(inserted)) {
        notifyItemChanged(*library);
        emit syncLibrarySubscribedSignal(library->ClientId);
    }
    for (ItemId clientId : qAsConst(updated)) {
        if (const SyncLibrary::Ptr library = getLibrary(clientId))
            notifyItemChanged(*library);
        emit syncLibraryChangedSignal(clientId);
    }
    return true;
}

bool CSyncDatabase::runUpdate(const QString &table, ItemId clientId, const CSqlValueList &values)
{
    const CSqlStatement statement = CSqlStatement::forWriting(table, idWhere("ClientId", clientId), values);
    return execQuery(statement.updateStatement()).isActive();
}

void CSyncDatabase::updateFile(ItemId clientId, const CSqlValueList &values)
{
    if (!isFilePresent(clientId)) {
        qWarning() << "CSyncDatabase::updateFile: clientId:" << clientId << "doesn't exists in the databatase";
        return;
    }
    if (!runUpdate(sqltable::Files, clientId, values))
        return;
    if (const SyncFile::Ptr file = getFile(clientId))
        notifyItemChanged(*file);
}

void CSyncDatabase::updateFile(ItemId clientId, const CSqlValue &value)
{
    updateFile(clientId, CSqlValueList{value});
}

void CSyncDatabase::updateFile(ItemId clientId, const CSqlValue &value1, const CSqlValue &value2)
{
    updateFile(clientId, CSqlValueList{value1, value2});
}

void CSyncDatabase::updateFolder(ItemId clientId, const CSqlValueList &values)
{
    if (!isFolderPresent(clientId)) {
        qWarning() << "CSyncDatabase::updateFolder: clientId:" << clientId << "doesn't exists in the database";
        return;
    }
    if (!runUpdate(sqltable::Folders, clientId, values))
        return;
    if (const SyncFolder::Ptr folder = getFolder(clientId))
        notifyItemChanged(*folder);
}

void CSyncDatabase::updateFolder(ItemId clientId, const CSqlValue &value)
{
    updateFolder(clientId, CSqlValueList{value});
}

void CSyncDatabase::updateFolder(ItemId clientId, const CSqlValue &value1, const CSqlValue &value2)
{
    updateFolder(clientId, CSqlValueList{value1, value2});
}

void CSyncDatabase::updateLibrary(ItemId clientId, const CSqlValueList &values)
{
    if (!isLibraryPresent(clientId)) {
        qWarning() << "CSyncDatabase::updateLibrary: clientId:" << clientId << "doesn't exists in the database";
        return;
    }
    if (!runUpdate(sqltable::Libraries, clientId, values))
        return;
    if (const SyncLibrary::Ptr library = getLibrary(clientId))
        notifyItemChanged(*library);
    emit syncLibraryChangedSignal(clientId);
}

void CSyncDatabase::updateLibrary(ItemId clientId, const CSqlValue &value)
{
    updateLibrary(clientId, CSqlValueList{value});
}

void CSyncDatabase::updateLibrary(ItemId clientId, const CSqlValue &value1, const CSqlValue &value2)
{
    updateLibrary(clientId, CSqlValueList{value1, value2});
}

void CSyncDatabase::updateItem(const SyncItem::ConstPtr &item)
{
    if (!item)
        return;
    if (const SyncFile::ConstPtr file = SyncFile::cast(item))
        updateFile(file->ClientId, withoutClientId(sqlrow::fileValues(*file)));
    else if (const SyncFolder::ConstPtr folder = SyncFolder::cast(item))
        updateFolder(folder->ClientId, withoutClientId(sqlrow::folderValues(*folder)));
    else if (const SyncLibrary::ConstPtr library = SyncLibrary::cast(item))
        updateLibrary(library->ClientId, withoutClientId(sqlrow::libraryValues(*library)));
    else
        qWarning() << "CSyncDatabase::updateItem: unknown item type:" << typeToString(item->type);
}

void CSyncDatabase::deleteRow(const QString &table, ItemId clientId)
{
    execQuery(CSqlStatement::forWriting(table, idWhere("ClientId", clientId), {}).deleteStatement());
}

void CSyncDatabase::deleteItem(const SyncItem::ConstPtr &item)
{
    if (!item)
        return;
    switch (item->type) {
    case SyncItemType::File:
        deleteFile(item->ClientId);
        return;
    case SyncItemType::FileFolder:
        deleteFolder(item->ClientId);
        return;
    case SyncItemType::FileLib:
        deleteLibrary(item->ClientId);
        return;
    default:
        break;
    }
    qWarning() << "CSyncDatabase::deleteItem: unknown item type:" << typeToString(item->type);
}

void CSyncDatabase::deleteFile(ItemId clientId)
{
    const SyncFile::Ptr file = getFile(clientId);
    const ItemId libraryClientId = file ? file->LibraryClientId : 0;
    {
        QMutexLocker locker(&m_mutex);
        deleteRow(sqltable::Files, clientId);
    }
    emit syncDatabaseChangedSignal(libraryClientId);
}

void CSyncDatabase::deleteFolder(ItemId clientId)
{
    const SyncFolder::Ptr folder = getFolder(clientId);
    const ItemId libraryClientId = folder ? folder->LibraryClientId : 0;
    {
        QMutexLocker locker(&m_mutex);
        const bool inTransaction = beginTransaction();

        // The subtree in depth-first order, the folder itself first.
        QList<ItemId> subtree;
        QSet<ItemId> seen;
        std::function<void(ItemId)> collect = [&](ItemId folderId) {
            if (seen.contains(folderId)) {
                qWarning() << "CSyncDatabase::deleteFolder: folder" << folderId << "is its own ancestor";
                return;
            }
            seen.insert(folderId);
            subtree.append(folderId);
            for (const SyncFolder::Ptr &child : getFoldersByParent(folderId))
                collect(child->ClientId);
        };
        collect(clientId);

        for (ItemId folderId : qAsConst(subtree)) {
            for (const SyncFile::Ptr &file : getFilesByParent(folderId))
                deleteRow(sqltable::Files, file->ClientId);
        }
        for (int i = 1; i < subtree.size(); ++i)
            deleteRow(sqltable::Folders, subtree.at(i));
        deleteRow(sqltable::Folders, clientId);

        if (inTransaction)
            commitTransaction();
    }
    emit syncDatabaseChangedSignal(libraryClientId);
}

void CSyncDatabase::deleteLibrary(ItemId clientId)
{
    {
        QMutexLocker locker(&m_mutex);
        const bool inTransaction = beginTransaction();
        for (const SyncFile::Ptr &file : getFilesOfLibrary(clientId))
            deleteRow(sqltable::Files, file->ClientId);
        for (const SyncFolder::Ptr &folder : getFoldersOfLibrary(clientId))
            deleteRow(sqltable::Folders, folder->ClientId);
        deleteRow(sqltable::Libraries, clientId);
        if (inTransaction)
            commitTransaction();
    }
    emit syncDatabaseChangedSignal(clientId);
    emit syncLibraryUnsubscribedSignal(clientId);
}

SyncLibrary::Ptr CSyncDatabase::getLibrary(ItemId clientId)
{
    return readOne<SyncLibrary::Ptr>(*this, sqltable::Libraries, idWhere("ClientId", clientId), sqlrow::readLibrary);
}

QList<SyncLibrary::Ptr> CSyncDatabase::getLibraries()
{
    return readAll<SyncLibrary::Ptr>(*this, sqltable::Libraries, QString(), sqlrow::readLibrary);
}

SyncLibrary::Ptr CSyncDatabase::getLibraryByServerId(quint64 serverId, const QString &tenantId)
{
    return readOne<SyncLibrary::Ptr>(*this, sqltable::Libraries,
                                     idWhere("ServerId", serverId) + QStringLiteral(" AND TenantId = ")
                                         + quoted(tenantId),
                                     sqlrow::readLibrary);
}

SyncFile::Ptr CSyncDatabase::getFile(ItemId clientId)
{
    return readOne<SyncFile::Ptr>(*this, sqltable::Files, idWhere("ClientId", clientId), sqlrow::readFile);
}

SyncFolder::Ptr CSyncDatabase::getFolder(ItemId clientId)
{
    return readOne<SyncFolder::Ptr>(*this, sqltable::Folders, idWhere("ClientId", clientId), sqlrow::readFolder);
}

SyncItem::Ptr CSyncDatabase::getItem(ItemId clientId)
{
    if (const SyncFile::Ptr file = getFile(clientId))
        return file;
    return getFolder(clientId);
}

SyncFile::Ptr CSyncDatabase::getFileByName(ItemId parentClientId, const QString &name)
{
    return readOne<SyncFile::Ptr>(*this, sqltable::Files,
                                  idWhere("ParentClientId", parentClientId) + QStringLiteral(" AND ClientName = ")
                                      + quoted(name),
                                  sqlrow::readFile);
}

SyncFolder::Ptr CSyncDatabase::getFolderByName(ItemId parentClientId, const QString &name)
{
    return readOne<SyncFolder::Ptr>(*this, sqltable::Folders,
                                    idWhere("ParentClientId", parentClientId) + QStringLiteral(" AND ClientName = ")
                                        + quoted(name),
                                    sqlrow::readFolder);
}

QList<SyncFile::Ptr> CSyncDatabase::getFilesByParent(ItemId parentClientId)
{
    return readAll<SyncFile::Ptr>(*this, sqltable::Files, idWhere("ParentClientId", parentClientId), sqlrow::readFile);
}

QList<SyncFolder::Ptr> CSyncDatabase::getFoldersByParent(ItemId parentClientId)
{
    return readAll<SyncFolder::Ptr>(*this, sqltable::Folders, idWhere("ParentClientId", parentClientId),
                                    sqlrow::readFolder);
}

QList<SyncFile::Ptr> CSyncDatabase::getFilesOfLibrary(ItemId libraryClientId)
{
    return readAll<SyncFile::Ptr>(*this, sqltable::Files, idWhere("LibraryClientId", libraryClientId),
                                  sqlrow::readFile);
}

QList<SyncFile::Ptr> CSyncDatabase::getFilesOfLibraryByName(ItemId libraryClientId, const QString &name)
{
    // The unary plus keeps the planner on the name indexes instead of scanning the library.
    return readAll<SyncFile::Ptr>(*this, sqltable::Files,
                                  QStringLiteral("+LibraryClientId = %1").arg(libraryClientId)
                                      + QStringLiteral(" AND (ClientName = ")
                                      + quoted(name) + QStringLiteral(" COLLATE NOCASE OR ServerName = ")
                                      + quoted(name) + QStringLiteral(" COLLATE NOCASE)"),
                                  sqlrow::readFile);
}

QList<SyncFolder::Ptr> CSyncDatabase::getFoldersOfLibrary(ItemId libraryClientId)
{
    return readAll<SyncFolder::Ptr>(*this, sqltable::Folders, idWhere("LibraryClientId", libraryClientId),
                                    sqlrow::readFolder);
}

QList<SyncFile::Ptr> CSyncDatabase::getFilesByServerId(quint64 serverId)
{
    return readAll<SyncFile::Ptr>(*this, sqltable::Files, idWhere("ServerId", serverId), sqlrow::readFile);
}

QList<SyncFolder::Ptr> CSyncDatabase::getFoldersByServerId(quint64 serverId)
{
    return readAll<SyncFolder::Ptr>(*this, sqltable::Folders, idWhere("ServerId", serverId), sqlrow::readFolder);
}

SyncLibrary::Ptr CSyncDatabase::getLibraryOfItem(ItemId clientId)
{
    if (const SyncLibrary::Ptr library = getLibrary(clientId))
        return library;
    if (const SyncFile::Ptr file = getFile(clientId))
        return getLibrary(file->LibraryClientId);
    if (const SyncFolder::Ptr folder = getFolder(clientId))
        return getLibrary(folder->LibraryClientId);
    return {};
}

SyncFile::Ptr CSyncDatabase::getFileByServerId(quint64 serverId, ItemId libraryClientId)
{
    // A file's library is its LibraryClientId, provided that library still exists.
    for (const SyncFile::Ptr &file : getFilesByServerId(serverId)) {
        if (file->LibraryClientId == libraryClientId && isLibraryPresent(libraryClientId))
            return file;
    }
    return {};
}

SyncFolder::Ptr CSyncDatabase::getFolderByServerId(quint64 serverId, ItemId libraryClientId)
{
    for (const SyncFolder::Ptr &folder : getFoldersByServerId(serverId)) {
        if (folder->LibraryClientId == libraryClientId && isLibraryPresent(libraryClientId))
            return folder;
    }
    return {};
}

SyncLibrary::Ptr CSyncDatabase::getLibraryOfServerItem(quint64 serverId, const QString &tenantId)
{
    if (const SyncLibrary::Ptr library = getLibraryByServerId(serverId, tenantId))
        return library;
    for (const SyncFile::Ptr &file : getFilesByServerId(serverId)) {
        const SyncLibrary::Ptr library = getLibrary(file->LibraryClientId);
        if (library && library->TenantId == tenantId)
            return library;
    }
    for (const SyncFolder::Ptr &folder : getFoldersByServerId(serverId)) {
        const SyncLibrary::Ptr library = getLibrary(folder->LibraryClientId);
        if (library && library->TenantId == tenantId)
            return library;
    }
    return {};
}

ItemId CSyncDatabase::getClientIdByServerId(quint64 serverId, const QString &tenantId)
{
    if (const SyncLibrary::Ptr library = getLibraryByServerId(serverId, tenantId))
        return library->ClientId;
    const SyncLibrary::Ptr library = getLibraryOfServerItem(serverId, tenantId);
    if (!library)
        return 0;
    if (const SyncFolder::Ptr folder = getFolderByServerId(serverId, library->ClientId))
        return folder->ClientId;
    if (const SyncFile::Ptr file = getFileByServerId(serverId, library->ClientId))
        return file->ClientId;
    return 0;
}

bool CSyncDatabase::isLibraryPresent(ItemId clientId)
{
    return hasRow(sqltable::Libraries, idWhere("ClientId", clientId));
}

bool CSyncDatabase::isFolderPresent(ItemId clientId)
{
    return hasRow(sqltable::Folders, idWhere("ClientId", clientId));
}

bool CSyncDatabase::isFilePresent(ItemId clientId)
{
    return hasRow(sqltable::Files, idWhere("ClientId", clientId));
}

bool CSyncDatabase::isServerIdPresent(const SyncItem::ConstPtr &item)
{
    if (!item || !(item->isFile() || item->isFolder()))
        return false;
    const ItemId libraryClientId = libraryClientIdOf(*item);
    if (item->ServerId == 0 || libraryClientId == 0)
        return false;
    return getFileByServerId(item->ServerId, libraryClientId) || getFolderByServerId(item->ServerId, libraryClientId);
}
