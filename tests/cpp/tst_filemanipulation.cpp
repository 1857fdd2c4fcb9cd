#include "Config.h"
#include "FileManipulation.h"
#include "SyncDatabaseTestSupport.h"
#include "TestMain.h"

#include <QDirIterator>
#include <QStandardPaths>
#include <QStorageInfo>

#include <unistd.h>

namespace {

void write(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

QStringList tree(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(root).relativeFilePath(it.next());
        if (!relative.startsWith(".Brindlex File Cache")) // the file cache's own folder
            out << relative + (it.fileInfo().isDir() && !it.fileInfo().isSymLink() ? "/" : "");
    }
    out.sort();
    return out;
}

// What the home trash and the trash at the top of the store folder's volume hold.
QStringList trashed(const QString &store)
{
    QStringList names;
    for (const QString &trash : {QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Trash",
                                 QStorageInfo(store).rootPath() + "/.Trash-" + QString::number(::getuid())})
        names << QDir(trash + "/files").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

} // namespace

// Removals and moves on a real disk: what the server had goes, what only the user had goes to the
// trash, links and other libraries' folders are never followed into.
class TestFileManipulation : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_data.reset(new QTemporaryDir);
        m_store.reset(new QTemporaryDir);
        write(m_data->filePath("bxsync_cfg.json"),
              QJsonDocument(QJsonObject{{"sync", QJsonObject{{"syncFolder", m_store->path()}}}}).toJson());
        CConfig::setInstance(QSharedPointer<CConfig>(new CConfig(m_data->path())));
        m_fixture.reset(new testdb::Fixture);
        m_db = m_fixture->db;
        m_files.reset(new CFileManipulation(m_db));
        // The volume's trash may be shared: only what this test adds counts.
        m_trashBefore = trashed(m_store->path());

        // L1/F, deleted on the server, holds a.txt as the server has it.
        m_library = library("T/L1", StatusSynchronized);
        const ItemId lib = m_library->ClientId;
        m_folder = m_fixture->makeFolder(lib, lib, "F", 10, {StatusDeleted, StatusSynchronized});
        write(path("T/L1/F/a.txt"), "server");
        SyncFile::Ptr file = m_fixture->makeFile(m_db->insertFolder(m_folder), lib, "a.txt", 11, {}, 0, 6);
        file->UpdatedTime = QFileInfo(path("T/L1/F/a.txt")).lastModified().toUTC();
        m_db->insertFile(file);
    }

    void cleanup()
    {
        m_files.reset();
        m_db->closeDatabaseForCurrentThread();
        m_db.reset();
        m_fixture.reset();
        CConfig::setInstance({});
    }

    // What the user sees changed below the library (it decides between removing a folder and keeping
    // a backup of it), then what removing the folder leaves and puts in the trash.
    void removeFolder_data()
    {
        QTest::addColumn<QString>("extra");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<QStringList>("left"); // below the store folder
        QTest::addColumn<QStringList>("inTrash");
        const QStringList emptied{"T/", "T/L1/"};
        QTest::newRow("server copies are deleted") << "" << false << emptied << QStringList{};
        QTest::newRow("an untracked file goes to the trash") << "F/mine.txt" << true << emptied << QStringList{"mine.txt"};
        QTest::newRow("an untracked folder") << "F/sub/" << true << emptied << QStringList{};
        QTest::newRow("a dot-file goes to the trash") << "F/.hidden" << false << emptied << QStringList{".hidden"};
        QTest::newRow("an edited file goes to the trash") << "F/a.txt" << true << emptied << QStringList{"a.txt"};
        QTest::newRow("a link goes, its target stays") << "link" << false << (QStringList(emptied) << "outside/" << "outside/keep")
                                                       << QStringList{};
        QTest::newRow("another library inside survives") << "library" << false
            << QStringList{"T/", "T/L1/", "T/L1/F/", "T/L1/F/L2/", "T/L1/F/L2/x"} << QStringList{};
        QTest::newRow("a deleted library does not protect") << "deleted library" << true << emptied << QStringList{"x"};
        QTest::newRow("deletion recorded") << "deleted" << false << emptied << QStringList{};
        QTest::newRow("new file recorded") << "new" << true << emptied << QStringList{};
    }

    void removeFolder()
    {
        QFETCH(QString, extra);
        QFETCH(bool, changed);
        QFETCH(QStringList, left);
        QFETCH(QStringList, inTrash);
        if (extra == "link") {
            write(path("outside/keep"), "keep");
            QVERIFY(QFile::link(path("outside"), path("T/L1/F/link")));
        } else if (extra.endsWith("library")) {
            library("T/L1/F/L2", extra == "library" ? StatusSynchronized : StatusDeleted);
            write(path("T/L1/F/L2/x"), "other");
        } else if (extra == "deleted" || extra == "new") {
            QFile::remove(path("T/L1/F/a.txt"));
            m_db->updateFile(m_db->getFileByName(m_folder->ClientId, "a.txt")->ClientId,
                             CSqlValue("ClientStatus", quint32(extra == "new" ? StatusNew : StatusDeleted)));
        } else if (extra.endsWith('/')) {
            QDir().mkpath(path("T/L1/" + extra));
        } else if (!extra.isEmpty()) {
            write(path("T/L1/" + extra), "the user's");
        }
        QCOMPARE(m_files->hasLocalChanges(m_library), changed);
        QVERIFY(m_files->removeSyncItem(m_folder));
        QCOMPARE(tree(m_store->path()), left);
        QStringList added = trashed(m_store->path());
        for (const QString &name : qAsConst(m_trashBefore))
            added.removeOne(name);
        QCOMPARE(added, inTrash);
    }

    void removeEmptyParents_data()
    {
        QTest::addColumn<QString>("other"); // another library's folder
        QTest::addColumn<QStringList>("left");
        QTest::newRow("the emptied tenant folder goes, the store folder stays") << "" << QStringList{};
        QTest::newRow("a tenant folder with another library stays") << "T/L3" << QStringList{"T/", "T/L3/"};
    }

    void removeEmptyParents()
    {
        QFETCH(QString, other);
        QFETCH(QStringList, left);
        if (!other.isEmpty()) {
            library(other, StatusSynchronized);
            QDir().mkpath(path(other));
        }
        QVERIFY(QDir(path("T/L1")).removeRecursively());
        m_files->removeEmptyParentFolders(path("T/L1"));
        QVERIFY(QFileInfo(m_store->path()).isDir());
        QCOMPARE(tree(m_store->path()), left);
    }

    void moveKeepsOtherLibraries()
    {
        library("T/L1/F/L2", StatusSynchronized);
        write(path("T/L1/F/L2/x"), "other");
        QVERIFY(m_files->moveSyncItem(m_folder, path("T/L1/G")));
        QCOMPARE(tree(path("T/L1")), (QStringList{"F/", "F/L2/", "F/L2/x", "G/", "G/a.txt"}));
        QVERIFY(!m_files->moveSyncItem(m_folder, path("T/L1/G")));
    }

private:
    QString path(const QString &relative) const { return m_store->path() + "/" + relative; }

    SyncLibrary::Ptr library(const QString &clientName, quint32 serverStatus)
    {
        SyncLibrary::Ptr library = m_fixture->makeLibrary(clientName, "t", quint64(100 + m_db->countLibraries()), {serverStatus});
        m_db->insertLibrary(library);
        QDir().mkpath(path(clientName));
        return library;
    }

    QScopedPointer<QTemporaryDir> m_data;
    QScopedPointer<QTemporaryDir> m_store;
    QScopedPointer<testdb::Fixture> m_fixture;
    QSharedPointer<CSyncDatabase> m_db;
    QSharedPointer<CFileManipulation> m_files;
    SyncLibrary::Ptr m_library;
    SyncFolder::Ptr m_folder;
    QStringList m_trashBefore;
};

BXSYNC_TEST_MAIN(TestFileManipulation)
#include "tst_filemanipulation.moc"
