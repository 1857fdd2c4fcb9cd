#include "SyncDatabase.h"

#include "Config.h"

#include <QDebug>
#include <QSet>

namespace syncpath {

QString join(const QString &storeFolder, const QString &relativePath)
{
    if (storeFolder.endsWith(QLatin1Char('/')) && relativePath.startsWith(QLatin1Char('/')))
        return storeFolder + relativePath.mid(1);
    if (storeFolder.endsWith(QLatin1Char('/')) || relativePath.startsWith(QLatin1Char('/')))
        return storeFolder + relativePath;
    return storeFolder + QLatin1Char('/') + relativePath;
}

QString storeFolder()
{
    const QSharedPointer<CConfig> config = CConfig::instance();
    return config ? config->syncFolder() : QString();
}

QString libraryFolderPath(const SyncLibrary &library)
{
    const QString store = storeFolder();
    if (library.ClientName.isEmpty() || store.isEmpty())
        return QString();
    return join(store, library.ClientName);
}

int randomRowIndex(int q, int lastRow)
{
    return static_cast<int>(q / 32767.0 * lastRow);
}

} // namespace syncpath

QString CSyncDatabase::getClientPath(ItemId clientId)
{
    QString path;
    ItemId current = clientId;
    if (const SyncFile::Ptr file = getFile(current)) {
        path.prepend(QLatin1Char('/') + file->ClientName);
        current = file->ParentClientId;
    }
    QSet<ItemId> visited;
    while (const SyncFolder::Ptr folder = getFolder(current)) {
        if (visited.contains(current)) {
            qWarning() << "CSyncDatabase::getClientPath: folder" << current << "is its own ancestor, clientId:"
                       << clientId;
            return QString();
        }
        visited.insert(current);
        path.prepend(QLatin1Char('/') + folder->ClientName);
        current = folder->ParentClientId;
    }
    const SyncLibrary::Ptr library = getLibrary(current);
    if (!library || library->ClientName.isEmpty())
        return QString();
    const QString libraryPath = syncpath::libraryFolderPath(*library);
    return libraryPath.isEmpty() ? QString() : libraryPath + path;
}

SyncLibrary::Ptr CSyncDatabase::getLibraryByClientPath(const QString &path)
{
    QString trimmed = path;
    if (trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);

    SyncLibrary::Ptr best;
    int bestLength = -1;
    for (const SyncLibrary::Ptr &library : getLibraries()) {
        const QString folderPath = syncpath::libraryFolderPath(*library);
        if (folderPath.isEmpty())
            continue;
        if (folderPath == trimmed)
            return library;
        if (folderPath.size() > bestLength && trimmed.startsWith(folderPath + QLatin1Char('/'))) {
            best = library;
            bestLength = folderPath.size();
        }
    }
    return best;
}

ItemId CSyncDatabase::getClientIdByClientPath(const QString &path)
{
    QString trimmed = path;
    if (trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);

    const SyncLibrary::Ptr library = getLibraryByClientPath(trimmed);
    if (!library)
        return 0;
    const QString folderPath = syncpath::libraryFolderPath(*library);
    if (trimmed == folderPath)
        return library->ClientId;
    if (!trimmed.startsWith(folderPath + QLatin1Char('/')))
        return 0;

    ItemId parent = library->ClientId;
    const QStringList parts = trimmed.mid(folderPath.size() + 1).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        if (const SyncFolder::Ptr folder = getFolderByName(parent, part)) {
            parent = folder->ClientId;
            continue;
        }
        // Anything below a file name resolves to the file.
        if (const SyncFile::Ptr file = getFileByName(parent, part))
            return file->ClientId;
        return 0;
    }
    return parent;
}
