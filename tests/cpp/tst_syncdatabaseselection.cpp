#include "TestMain.h"

#include "SyncDatabaseTestSupport.h"

using testdb::Fixture;
using testdb::MessageCapture;
using testdb::Statuses;

namespace {

// "kind name server client attr [size]", e.g. "file a 2 1 0"; items go into the library root in this order.
// Kind "library" gives the library itself these statuses.
QMap<QString, ItemId> addItems(Fixture &f, ItemId library, const QStringList &descriptions)
{
    QMap<QString, ItemId> ids;
    for (const QString &description : descriptions) {
        const QStringList p = description.split(' ');
        const Statuses statuses{p.at(2).toUInt(), p.at(3).toUInt()};
        const quint32 attr = p.at(4).toUInt();
        if (p.at(0) == "library") {
            f.db->updateLibrary(library, CSqlValue("ServerStatus", statuses.server),
                                CSqlValue("ClientStatus", statuses.client));
            ids[p.at(1)] = library;
        } else {
            ids[p.at(1)] = p.at(0) == "folder" ? f.addFolder(library, library, p.at(1), 0, statuses, attr)
                                               : f.addFile(library, library, p.at(1), 0, statuses, attr,
                                                           p.value(5).toULongLong());
        }
    }
    return ids;
}

} // namespace

class TestSyncDatabaseSelection : public QObject
{
    Q_OBJECT
private slots:
    void classOrder_data()
    {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QString>("expected");
        QTest::newRow("library new on server before everything")
            << QStringList{"folder d 2 1 0", "file f 1 5 0", "library L 2 1 0"} << "L";
        QTest::newRow("library deleted locally before everything") << QStringList{"file f 1 5 0", "library L 1 5 0"} << "L";
        QTest::newRow("changed on both sides before deletion") << QStringList{"file del 5 1 0", "file both 4 4 0"} << "both";
        QTest::newRow("deletion before creation") << QStringList{"file new 2 1 0", "file del 1 5 0"} << "del";
        QTest::newRow("creation before other change") << QStringList{"file chg 4 1 0", "file new 1 2 0"} << "new";
        QTest::newRow("infected creation skipped") << QStringList{"file inf 1 2 1", "file chg 4 1 0"} << "chg";
        QTest::newRow("unflagged change before flagged") << QStringList{"file flag 4 1 4", "file chg 1 4 0"} << "chg";
        QTest::newRow("flagged change comes last") << QStringList{"file flag 4 1 8"} << "flag";
        QTest::newRow("flagged creation in the creation class")
            << QStringList{"file chg 4 1 0", "file newq 2 1 8"} << "newq";
        QTest::newRow("flagged deletion still a deletion") << QStringList{"file new 2 1 0", "file del 5 1 8"} << "del";
        QTest::newRow("folder before file of the same class") << QStringList{"file f 2 1 0", "folder d 2 1 0"} << "d";
        QTest::newRow("infected change never") << QStringList{"file inf 4 1 1", "file inf2 1 2 1"} << "";
        QTest::newRow("everything synchronised") << QStringList{"file ok 1 1 0", "folder okd 1 1 0"} << "";
    }

    void classOrder()
    {
        QFETCH(QStringList, items);
        QFETCH(QString, expected);
        Fixture f;
        const ItemId library = f.addLibrary("T/L");
        const ItemId other = f.addLibrary("T/M");
        // Work in another library never leaks into this one.
        f.addFile(other, other, "elsewhere", 0, {StatusSynchronized, StatusNew});
        const QMap<QString, ItemId> ids = addItems(f, library, items);

        const SyncItem::Ptr next = f.db->getOneNotSynchronizedItemFromLibrary(library);
        QCOMPARE(next ? next->ClientId : ItemId(0), ids.value(expected));
    }

    void missingLibraryIsLogged()
    {
        Fixture f;
        MessageCapture log;
        QVERIFY(!f.db->getOneNotSynchronizedItemFromLibrary(42));
        QCOMPARE(log.count(QtCriticalMsg, "getOneNotSynchronizedItemFromLibrary: library 42 not found !?"), 1);
    }

    void foldersByLowestClientId()
    {
        Fixture f;
        const ItemId library = f.addLibrary("T/L");
        const ItemId first = f.addFolder(library, library, "a", 0, {StatusNew, StatusSynchronized});
        const ItemId child = f.addFolder(first, library, "b", 0, {StatusNew, StatusSynchronized});
        f.addFolder(library, library, "c", 0, {StatusNew, StatusSynchronized});
        for (int i = 0; i < 10; ++i)
            QCOMPARE(f.db->getOneNotSynchronizedItemFromLibrary(library)->ClientId, first);
        f.db->updateFolder(first, CSqlValue("ServerStatus", quint32(StatusSynchronized)));
        QCOMPARE(f.db->getOneNotSynchronizedItemFromLibrary(library)->ClientId, child);
    }

    void filesArePickedAtRandom_data()
    {
        QTest::addColumn<int>("count");
        QTest::newRow("few candidates: picked among the counted rows") << 20;
        QTest::newRow("many candidates: picked from a random point") << 300;
    }

    void filesArePickedAtRandom()
    {
        QFETCH(int, count);
        Fixture f;
        const ItemId library = f.addLibrary("T/L");
        QSet<ItemId> candidates;
        for (int i = 0; i < count; ++i) {
            candidates.insert(f.addFile(library, library, QString::number(i), 0, {StatusNew, StatusSynchronized}));
            // Rows of no or a later class between the candidates are stepped over, never picked.
            f.addFile(library, library, QString("done%1").arg(i), 0, {StatusSynchronized, StatusSynchronized});
            f.addFile(library, library, QString("infected%1").arg(i), 0, {StatusNew, StatusSynchronized}, 1);
        }
        // A change of a later class must not be chosen while creations remain.
        f.addFile(library, library, "changed", 0, {StatusChanged, StatusSynchronized});

        QSet<ItemId> picked;
        for (int i = 0; i < 100; ++i) {
            const SyncItem::Ptr next = f.db->getOneNotSynchronizedItemFromLibrary(library);
            QVERIFY(next && candidates.contains(next->ClientId));
            picked.insert(next->ClientId);
        }
        QVERIFY2(picked.size() > 1, "one failing file would block all others");
    }

    void randomRowIndex()
    {
        QCOMPARE(syncpath::randomRowIndex(0, 10), 0);
        QCOMPARE(syncpath::randomRowIndex(32767, 10), 10); // the last row can be picked
        QCOMPARE(syncpath::randomRowIndex(32767, 1), 1);
        QCOMPARE(syncpath::randomRowIndex(12345, 0), 0);
    }

    void isSynchronized_data()
    {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<bool>("clientSideOnly");
        QTest::addColumn<bool>("library");
        QTest::addColumn<bool>("all");
        QTest::newRow("empty") << QStringList{} << false << true << true;
        QTest::newRow("library new on server") << QStringList{"library L 2 1 0"} << false << false << false;
        QTest::newRow("library new on server, client side only") << QStringList{"library L 2 1 0"} << true << true << true;
        QTest::newRow("file new on server") << QStringList{"file f 2 1 0"} << false << false << false;
        QTest::newRow("file new on server, client side only") << QStringList{"file f 2 1 0"} << true << true << true;
        QTest::newRow("file changed locally") << QStringList{"file f 1 4 0"} << true << false << false;
        QTest::newRow("folder deleted locally") << QStringList{"folder d 1 5 0"} << false << false << false;
        QTest::newRow("flagged file counts") << QStringList{"file f 1 2 4"} << false << false << false;
        // The per-library test leaves infected files out; the test over all libraries does not.
        QTest::newRow("infected file") << QStringList{"file f 1 2 1"} << false << true << false;
        QTest::newRow("only synchronised items") << QStringList{"file f 1 1 0", "folder d 1 1 8"} << false << true << true;
    }

    void isSynchronized()
    {
        QFETCH(QStringList, items);
        QFETCH(bool, clientSideOnly);
        QFETCH(bool, library);
        QFETCH(bool, all);
        Fixture f;
        const ItemId id = f.addLibrary("T/L");
        const ItemId other = f.addLibrary("T/M");
        f.addFile(other, other, "synchronised elsewhere");
        addItems(f, id, items);
        QCOMPARE(f.db->isSynchronized(id, clientSideOnly), library);
        QCOMPARE(f.db->isSynchronized(0, clientSideOnly), all);
        QVERIFY(f.db->isSynchronized(other, clientSideOnly));
    }

    void summaries()
    {
        Fixture f;
        const ItemId library = f.addLibrary("T/L");
        const ItemId other = f.addLibrary("T/M");
        QVERIFY(!f.db->hasItemsSynchronizedOnServerNewOrDeletedOnClient(library));
        f.addFile(library, library, "new on both", 0, {StatusNew, StatusNew}, 0, 5);
        f.addFile(other, other, "new locally elsewhere", 0, {StatusSynchronized, StatusNew}, 0, 6);
        QVERIFY(!f.db->hasItemsSynchronizedOnServerNewOrDeletedOnClient(library));
        QVERIFY(f.db->hasItemsSynchronizedOnServerNewOrDeletedOnClient(other));
        f.addFolder(library, library, "deleted locally", 0, {StatusSynchronized, StatusDeleted});
        QVERIFY(f.db->hasItemsSynchronizedOnServerNewOrDeletedOnClient(library));

        QVERIFY(!f.db->hasQuotaExceededItems());
        f.addFolder(library, library, "over quota", 0, {}, AttrQuotaExceeded | AttrAccessDenied);
        QVERIFY(f.db->hasQuotaExceededItems());

        QCOMPARE((QList<quint64>{f.db->countLibraries(), f.db->countFolders(), f.db->countFiles(), f.db->sumFileSizes()}),
                 (QList<quint64>{2, 2, 2, 11}));
        QVERIFY(f.db->existsFileOrFolder("ClientName = 'over quota'"));
        QVERIFY(!f.db->existsFileOrFolder("ClientName = 'nothing'"));
    }

    void progressCounts()
    {
        Fixture f;
        QCOMPARE(f.db->getSyncProgressCounts(), SyncProgressCounts());
        const ItemId added = f.addLibrary("T/Added", "t", 1, {StatusNew, StatusSynchronized});
        f.addLibrary("T/Removed", "t", 2, {StatusSynchronized, StatusDeleted});
        const ItemId goingAway = f.addLibrary("T/Gone", "t", 3, {StatusDeleted, StatusSynchronized});
        // Folders: new, moved, deleted on the server; moved locally; new on both sides (neither count).
        // Files: moved on the server; deleted locally twice, moved locally; two downloads; three uploads;
        // moved and changed on the server (no count).
        addItems(f, added, {"folder a 2 1 0", "folder b 3 1 0", "folder c 5 1 0", "folder d 1 3 0", "folder e 2 2 0",
                            "file a 3 1 0 1", "file b 1 5 0 1", "file c 1 5 0 1", "file d 1 3 0 1", "file e 2 1 0 100",
                            "file f 4 1 0 50", "file g 1 2 0 7", "file h 1 4 0 8", "file i 1 4 0 9", "file j 6 1 0 1000"});
        // Content of a library that is being deleted on the server does not count.
        addItems(f, goingAway, {"file x 2 1 0 5000", "folder y 2 1 0"});

        const SyncProgressCounts c = f.db->getSyncProgressCounts();
        QCOMPARE((QList<quint64>{c.librariesToAddOrRemove, c.foldersChangedOnServer, c.foldersChangedOnClient,
                                 c.filesMovedOrDeletedOnServer, c.filesMovedOrDeletedOnClient, c.filesToDownload,
                                 c.bytesToDownload, c.filesToUpload, c.bytesToUpload}),
                 (QList<quint64>{2, 3, 1, 1, 3, 2, 150, 3, 24}));
    }
};

BXSYNC_TEST_MAIN(TestSyncDatabaseSelection)
#include "tst_syncdatabaseselection.moc"
