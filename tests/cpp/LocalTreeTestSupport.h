#pragma once

// Shared by the local change tracking suites: a library folder built from a few lines of text,
// records that match it as if everything were synchronised, shell-like actions on the folder,
// and the library's records written back as text.

#include "ClientWatcherUtils.h"
#include "FakeSyncEngine.h"
#include "SyncDatabaseTestSupport.h"
#include "SyncHash.h"
#include "utils.h"

#include <QDir>
#include <QFile>

#include <cstdio>

namespace localtree {

inline void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(watchpath::parentOf(path));
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(content);
}

// "mkdir A/B", "write A/f=text", "rm A", "mv A B" and "ln A L" (symbolic link L to A).
inline void run(const QString &root, const QStringList &actions)
{
    for (const QString &action : actions) {
        const QString verb = action.section(' ', 0, 0);
        const QString args = action.section(' ', 1);
        const QString first = root + '/' + args.section(' ', 0, 0);
        const QString second = root + '/' + args.section(' ', 1);
        if (verb == "mkdir") {
            QVERIFY(QDir().mkpath(first));
        } else if (verb == "write") {
            writeFile(root + '/' + args.section('=', 0, 0), args.section('=', 1).toUtf8());
        } else if (verb == "rm") {
            QVERIFY(QFileInfo(first).isDir() ? QDir(first).removeRecursively() : QFile::remove(first));
        } else if (verb == "mv") { // replaces the target, as editors' atomic saves rely on
            QVERIFY2(::rename(QFile::encodeName(first).constData(), QFile::encodeName(second).constData()) == 0, qPrintable(action));
        } else if (verb == "ln") {
            QVERIFY(QFile::link(first, second));
        } else {
            QFAIL(qPrintable("unknown action " + action));
        }
    }
}

// Entries "A/" (folder), "A/f=text" (file) and "!A/g" (a file known only from the server) become
// disk content and synchronised records with disk sizes, times and hashes.
inline void build(testdb::Fixture &f, ItemId libraryId, const QString &root, const QStringList &entries)
{
    QDir().mkpath(root);
    quint64 serverId = 1000;
    for (QString entry : entries) {
        const bool serverOnly = entry.startsWith('!');
        entry.remove(0, serverOnly ? 1 : 0);
        const bool isFolder = entry.endsWith('/');
        const QString relative = isFolder ? entry.chopped(1) : entry.section('=', 0, 0);
        const QString path = root + '/' + relative;
        const ItemId parent = f.db->getClientIdByClientPath(watchpath::parentOf(path));
        QVERIFY2(parent != 0, qPrintable(entry));
        if (isFolder) {
            QVERIFY(QDir().mkpath(path));
            f.addFolder(parent, libraryId, watchpath::nameOf(path), ++serverId);
            continue;
        }
        SyncFile::Ptr file = f.makeFile(parent, libraryId, watchpath::nameOf(path), ++serverId);
        if (serverOnly) {
            file->syncStatus.ServerStatus = StatusNew;
        } else {
            writeFile(path, entry.section('=', 1).toUtf8());
            file->Size = quint64(QFileInfo(path).size());
            file->UpdatedTime = utils::getModifiedTimeUtc(path);
            file->CreatedTime = utils::getCreatedTimeUtc(path);
            file->Hash = CSyncHash::calculateByFilePath(path);
        }
        QVERIFY(f.db->insertFile(file) != 0);
    }
}

// One line per record in insertion order: "A/", "A/f new", "B/a=>b moved" (pending rename).
inline QStringList dump(CSyncDatabase &db, ItemId libraryId)
{
    QMap<ItemId, QString> lines;
    QHash<ItemId, QString> folderPaths;
    folderPaths.insert(libraryId, QString());
    const QString marker = kPendingRenameMarker;
    const auto shown = [&marker](QString name) { return name.replace(marker, QStringLiteral("=>")); };
    QList<SyncFolder::Ptr> folders = db.getFoldersOfLibrary(libraryId);
    std::sort(folders.begin(), folders.end(), [](const auto &a, const auto &b) { return a->ClientId < b->ClientId; });
    for (const SyncFolder::Ptr &folder : folders) {
        const QString path = folderPaths.value(folder->ParentClientId) + shown(folder->ClientName) + '/';
        folderPaths.insert(folder->ClientId, path);
        lines.insert(folder->ClientId, path + ' ' + testsupport::FakeSyncEngine::statusText(folder->syncStatus.ClientStatus));
    }
    for (const SyncFile::Ptr &file : db.getFilesOfLibrary(libraryId))
        lines.insert(file->ClientId, folderPaths.value(file->ParentClientId) + shown(file->ClientName)
                                         + ' ' + testsupport::FakeSyncEngine::statusText(file->syncStatus.ClientStatus));
    return lines.values();
}

} // namespace localtree
