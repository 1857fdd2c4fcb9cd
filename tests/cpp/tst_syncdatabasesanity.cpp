#include "TestMain.h"

#include "SyncDatabaseTestSupport.h"

using testdb::Fixture;
using testdb::MessageCapture;

namespace {

// Rows as a damaged database holds them: written straight, past every check of the insert operations.
class DamagedDatabase : public Fixture
{
public:
    DamagedDatabase()
    {
        // A healthy library with content that every rule must leave alone.
        healthyLibrary = addLibrary("T/Healthy", "tenant");
        healthyFolder = addFolder(healthyLibrary, healthyLibrary, "d", 1);
        healthyFile = addFile(healthyFolder, healthyLibrary, "f", 2);
        unsentFiles = {addFile(healthyLibrary, healthyLibrary, "new 1"), addFile(healthyLibrary, healthyLibrary, "new 2"),
                       addFolder(healthyLibrary, healthyLibrary, "new folder")};
    }

    void library(ItemId id, const QVariant &tenantId)
    {
        insertRaw("Libraries", {CSqlValue("ClientId", id), CSqlValue("TenantId", tenantId)});
    }
    void library(ItemId id) { insertRaw("Libraries", {CSqlValue("ClientId", id)}); }
    void folder(ItemId id, ItemId parent, ItemId library, quint64 serverId = 0)
    {
        insertRaw("Folders", {CSqlValue("ClientId", id), CSqlValue("ParentClientId", parent),
                              CSqlValue("LibraryClientId", library), CSqlValue("ServerId", serverId)});
    }
    void file(ItemId id, ItemId parent, ItemId library, quint64 serverId = 0)
    {
        insertRaw("Files", {CSqlValue("ClientId", id), CSqlValue("ParentClientId", parent),
                            CSqlValue("LibraryClientId", library), CSqlValue("ServerId", serverId)});
    }

    bool healthyIntact()
    {
        bool ok = db->isLibraryPresent(healthyLibrary) && db->isFolderPresent(healthyFolder)
            && db->isFilePresent(healthyFile);
        for (ItemId id : qAsConst(unsentFiles))
            ok = ok && (db->isFilePresent(id) || db->isFolderPresent(id));
        return ok;
    }

    ItemId healthyLibrary = 0;
    ItemId healthyFolder = 0;
    ItemId healthyFile = 0;
    QList<ItemId> unsentFiles;
};

} // namespace

class TestSyncDatabaseSanity : public QObject
{
    Q_OBJECT

private slots:
    void libraryWithoutTenantGoesWithItsContent_data();
    void libraryWithoutTenantGoesWithItsContent();
    void ownParentRemoved();
    void libraryGoneRemovesItems();
    void orphanFolderChainRemovedEntirely();
    void duplicatesWithinALibraryAllGo();
    void sameServerIdInOtherLibrariesKept();
    void checkIsSilent();
};

void TestSyncDatabaseSanity::libraryWithoutTenantGoesWithItsContent_data()
{
    QTest::addColumn<QVariant>("tenantId");
    QTest::newRow("empty") << QVariant(QString(""));
    QTest::newRow("null") << QVariant();
}

void TestSyncDatabaseSanity::libraryWithoutTenantGoesWithItsContent()
{
    QFETCH(QVariant, tenantId);
    DamagedDatabase d;
    if (tenantId.isValid())
        d.library(100, tenantId);
    else
        d.library(100);
    d.folder(101, 100, 100, 5);
    d.file(102, 101, 100, 6);
    d.file(103, 100, 100, 7);

    d.db->runSanityCheck();
    QVERIFY(!d.db->isLibraryPresent(100));
    QVERIFY(!d.db->isFolderPresent(101));
    QVERIFY(!d.db->isFilePresent(102));
    QVERIFY(!d.db->isFilePresent(103));
    QVERIFY(d.healthyIntact());
}

void TestSyncDatabaseSanity::ownParentRemoved()
{
    DamagedDatabase d;
    d.folder(200, 200, d.healthyLibrary, 20);
    d.file(201, 201, d.healthyLibrary, 21);
    d.db->runSanityCheck();
    QVERIFY(!d.db->isFolderPresent(200));
    QVERIFY(!d.db->isFilePresent(201));
    QVERIFY(d.healthyIntact());
}

void TestSyncDatabaseSanity::libraryGoneRemovesItems()
{
    DamagedDatabase d;
    d.folder(300, d.healthyLibrary, 999, 30);
    d.file(301, d.healthyFolder, 999, 31);
    d.db->runSanityCheck();
    QVERIFY(!d.db->isFolderPresent(300));
    QVERIFY(!d.db->isFilePresent(301));
    QVERIFY(d.healthyIntact());
}

void TestSyncDatabaseSanity::orphanFolderChainRemovedEntirely()
{
    DamagedDatabase d;
    const ItemId lib = d.healthyLibrary;
    // 401 lost its parent; everything below it goes, however deep.
    d.folder(401, 400, lib, 41);
    d.folder(402, 401, lib, 42);
    d.folder(403, 402, lib, 43);
    d.folder(404, 403, lib, 44);
    d.file(405, 404, lib, 45);
    d.file(406, 401, lib, 46);
    MessageCapture log;
    d.db->runSanityCheck();
    for (ItemId id : {401, 402, 403, 404})
        QVERIFY2(!d.db->isFolderPresent(id), qPrintable(QString::number(id)));
    QVERIFY(!d.db->isFilePresent(405));
    QVERIFY(!d.db->isFilePresent(406));
    QVERIFY(d.healthyIntact());
    QVERIFY(log.count(QtDebugMsg, "DELETE FROM Folders WHERE ParentClientId NOT IN (SELECT ClientId FROM Libraries "
                                  "UNION SELECT ClientId FROM Folders);")
            >= 4);
}

void TestSyncDatabaseSanity::duplicatesWithinALibraryAllGo()
{
    DamagedDatabase d;
    const ItemId lib = d.healthyLibrary;
    d.file(500, lib, lib, 50);
    d.file(501, d.healthyFolder, lib, 50);
    d.folder(502, lib, lib, 50); // shares the duplicated files' server id
    d.folder(510, lib, lib, 51);
    d.folder(511, lib, lib, 51);
    MessageCapture log;
    d.db->runSanityCheck();
    for (ItemId id : {500, 501})
        QVERIFY(!d.db->isFilePresent(id));
    for (ItemId id : {502, 510, 511})
        QVERIFY(!d.db->isFolderPresent(id));
    QVERIFY(d.healthyIntact());
    QCOMPARE(log.count(QtDebugMsg, QString("CSyncDatabase::runSanityCheck: duplicate file found: serverId: 50 "
                                           "libraryClientId: %1").arg(lib)),
             1);
    QCOMPARE(log.count(QtDebugMsg, QString("CSyncDatabase::runSanityCheck: duplicate folder found: serverId: 51 "
                                           "libraryClientId: %1").arg(lib)),
             1);
    // Items not yet uploaded share server id 0 and are no duplicates.
    QCOMPARE(log.count(QtDebugMsg, "serverId: 0 "), 0);
}

void TestSyncDatabaseSanity::sameServerIdInOtherLibrariesKept()
{
    DamagedDatabase d;
    const ItemId other = d.addLibrary("T/Other", "tenant");
    const ItemId inOther = d.addFolder(other, other, "same id", 1);
    const ItemId fileInOther = d.addFile(other, other, "same id too", 2);
    d.db->runSanityCheck();
    QVERIFY(d.db->isFolderPresent(inOther));
    QVERIFY(d.db->isFilePresent(fileInOther));
    QVERIFY(d.healthyIntact());
}

void TestSyncDatabaseSanity::checkIsSilent()
{
    DamagedDatabase d;
    d.folder(600, 600, d.healthyLibrary);
    QSignalSpy changed(d.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
    QSignalSpy unsubscribed(d.db.data(), &CSyncDatabase::syncLibraryUnsubscribedSignal);
    MessageCapture log;
    d.db->runSanityCheck();
    QCOMPARE(changed.count(), 0);
    QCOMPARE(unsubscribed.count(), 0);
    QCOMPARE(log.count(QtDebugMsg, "CSyncDatabase::runSanityCheck"), 1);
    QCOMPARE(log.count(QtCriticalMsg, ""), 0);
    QVERIFY(!d.db->isFolderPresent(600));
}

BXSYNC_TEST_MAIN(TestSyncDatabaseSanity)
#include "tst_syncdatabasesanity.moc"
