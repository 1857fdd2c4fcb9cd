#include "FileCache.h"
#include "SyncDatabaseTestSupport.h"
#include "SyncHash.h"
#include "TestMain.h"

#include <QDir>
#include <QFile>

namespace {

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

FileCacheItem cacheItem(const QString &id, const QString &hash)
{
    FileCacheItem item;
    item.Id = id;
    item.Hash = hash;
    item.Size = 102400;
    item.CreatedTime = QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9), Qt::UTC);
    return item;
}

SyncFile::Ptr fileRecord(const QByteArray &data, const QString &path)
{
    SyncFile::Ptr file(new SyncFile);
    file->ClientId = 7;
    file->Size = quint64(data.size());
    file->Hash = writeFile(path, data) ? CSyncHash::calculateByFilePath(path) : QString();
    return file;
}

} // namespace

class TestFileCache : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_store.reset(new QTemporaryDir);
        m_fixture.reset(new testdb::Fixture);
    }

    void folderIsPrivateAndAMissingOneEmptiesTheTable()
    {
        QVERIFY(m_fixture->db->insertFileCacheItem(cacheItem("0123", "abc")));

        CFileCache cache(m_fixture->db, m_store->path());
        QCOMPARE(cache.cacheFolder(), m_store->path() + QStringLiteral("/.Brindlex File Cache"));
        QVERIFY(QFileInfo(cache.cacheFolder()).isDir());
        QCOMPARE(QFile::permissions(cache.cacheFolder()) & 0x0077, QFileDevice::Permissions());
        QVERIFY(m_fixture->db->getFileCacheItems().isEmpty());
    }

    // Below the threshold a file stays where it is for the caller to delete; at it, it is cached
    // and a later server file with the same content is restored elsewhere, once.
    void cacheAndRestore_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("cached");
        QTest::newRow("one byte below the threshold") << qint64(102399) << false;
        QTest::newRow("at the threshold") << qint64(102400) << true;
    }
    void cacheAndRestore()
    {
        QFETCH(qint64, size);
        QFETCH(bool, cached);
        CFileCache cache(m_fixture->db, m_store->path());
        const QByteArray data(int(size), 1);
        const QString original = m_store->path() + QStringLiteral("/lib/a.bin");
        const SyncFile::Ptr file = fileRecord(data, original);

        QCOMPARE(cache.moveSyncFileToCache(file, original), cached);
        QCOMPARE((QList<bool>{QFileInfo::exists(original), cache.isSyncFileInCache(file)}),
                 (QList<bool>{!cached, cached}));

        const QString restored = m_store->path() + QStringLiteral("/lib/other/b.bin");
        QCOMPARE(cache.restoreSyncFileFromCache(file, restored), cached);
        if (cached) {
            QCOMPARE(testdb::readFile(restored), data);
            QVERIFY(m_fixture->db->getFileCacheItems().isEmpty());
            QVERIFY(QDir(cache.cacheFolder()).isEmpty(QDir::Files | QDir::Hidden));
            QVERIFY(!cache.restoreSyncFileFromCache(file, restored + QStringLiteral("2")));
        }
    }

    // A restore never trusts the table: the copy is hashed again, and nothing already at the target
    // is replaced.
    void refusedRestores_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::newRow("cached copy changed") << "changed";
        QTest::newRow("cached copy gone") << "gone";
        QTest::newRow("a user file at the target") << "occupied";
    }
    void refusedRestores()
    {
        QFETCH(QString, damage);
        CFileCache cache(m_fixture->db, m_store->path());
        const QByteArray data(200000, 2);
        const QString original = m_store->path() + QStringLiteral("/lib/a.bin");
        const SyncFile::Ptr file = fileRecord(data, original);
        QVERIFY(cache.moveSyncFileToCache(file, original));
        const QString cachePath = filecache::cacheFilePath(cache.cacheFolder(),
                                                           m_fixture->db->getFileCacheItems().first()->Id);
        if (damage == QLatin1String("changed"))
            QVERIFY(writeFile(cachePath, QByteArray(200000, 3)));
        else if (damage == QLatin1String("gone"))
            QVERIFY(QFile::remove(cachePath));
        else
            QVERIFY(writeFile(original, "mine"));

        QVERIFY(!cache.restoreSyncFileFromCache(file, original));
        if (damage == QLatin1String("occupied")) {
            QCOMPARE(testdb::readFile(original), QByteArray("mine"));
            QCOMPARE(testdb::readFile(cachePath), data);
        } else {
            QVERIFY(!QFileInfo::exists(cachePath));
            QVERIFY(m_fixture->db->getFileCacheItems().isEmpty());
        }
    }

    void expiry_data()
    {
        QTest::addColumn<qint64>("ageMs");
        QTest::addColumn<bool>("kept");
        QTest::newRow("exactly three hours") << filecache::kExpiryAgeMs << true;
        QTest::newRow("three hours and 1 ms") << filecache::kExpiryAgeMs + 1 << false;
        QTest::newRow("clock set back by more than three hours") << -filecache::kExpiryAgeMs - 1 << false;
    }
    void expiry()
    {
        QFETCH(qint64, ageMs);
        QFETCH(bool, kept);
        CFileCache cache(m_fixture->db, m_store->path());
        const QString original = m_store->path() + QStringLiteral("/a.bin");
        QVERIFY(cache.moveSyncFileToCache(fileRecord(QByteArray(102400, 4), original), original));
        const FileCacheItem::Ptr item = m_fixture->db->getFileCacheItems().first();

        cache.removeExpired(item->CreatedTime.addMSecs(ageMs));
        QCOMPARE(m_fixture->db->getFileCacheItems().size(), kept ? 1 : 0);
        QCOMPARE(QFileInfo::exists(filecache::cacheFilePath(cache.cacheFolder(), item->Id)), kept);
    }

    // The table alone: look-up by content, every column read back, ids quoted, invalid rows refused.
    void tableRows()
    {
        testdb::MessageCapture log;
        CSyncDatabase &db = *m_fixture->db;
        FileCacheItem second = cacheItem("{id-'2}", "abc");
        second.Size = 4;
        QVERIFY(db.insertFileCacheItem(cacheItem("{id-1}", "abc")) && db.insertFileCacheItem(second));
        QVERIFY(!db.insertFileCacheItem(cacheItem("{id-3}", "")));
        QCOMPARE(log.count(QtWarningMsg, "CSyncDatabase::insertFileCacheItem: invalid cache item:"), 1);
        QVERIFY(db.isFileCacheItemPresent(second.Id) && !db.isFileCacheItemPresent("{id-3}"));
        const FileCacheItem::Ptr found = db.getFileCacheItem("abc", 4);
        QVERIFY(found);
        QCOMPARE((QVariantList{found->Id, found->Hash, found->Size, found->CreatedTime}),
                 (QVariantList{second.Id, second.Hash, second.Size, second.CreatedTime}));
        QVERIFY(!db.getFileCacheItem("abc", 5));
        db.deleteFileCacheItem(second.Id);
        QCOMPARE(db.getFileCacheItems().size(), 1);
        db.deleteAllFileCacheItems();
        QVERIFY(db.getFileCacheItems().isEmpty());
    }

    void sanityCheckRemovesUnpairedFilesAndRows()
    {
        CFileCache cache(m_fixture->db, m_store->path());
        const QString keptPath = m_store->path() + QStringLiteral("/kept.bin");
        QVERIFY(cache.moveSyncFileToCache(fileRecord(QByteArray(102400, 5), keptPath), keptPath));
        const QString keptId = m_fixture->db->getFileCacheItems().first()->Id;

        const QString stray = cache.cacheFolder() + QStringLiteral("/stray.cache");
        QVERIFY(writeFile(stray, "x"));
        QVERIFY(m_fixture->db->insertFileCacheItem(cacheItem(filecache::newCacheId(), "abc")));

        cache.runSanityCheck();
        QVERIFY(!QFileInfo::exists(stray));
        const QList<FileCacheItem::Ptr> items = m_fixture->db->getFileCacheItems();
        QVERIFY(items.size() == 1 && items.first()->Id == keptId);
        QVERIFY(QFileInfo::exists(filecache::cacheFilePath(cache.cacheFolder(), keptId)));
    }

private:
    QScopedPointer<QTemporaryDir> m_store;
    QScopedPointer<testdb::Fixture> m_fixture;
};

BXSYNC_TEST_MAIN(TestFileCache)
#include "tst_filecache.moc"
