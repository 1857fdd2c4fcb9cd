#include "TestMain.h"

#include "SyncDatabaseTestSupport.h"

using testdb::Fixture;
using testdb::MessageCapture;

class TestSyncDatabaseSanity : public QObject
{
    Q_OBJECT
private slots:
    // Rows as a damaged database holds them, written past every check of the insert operations:
    // "library id tenant" (tenant "null" for NULL, "empty" for '') or "folder|file id parent library serverId".
    // Beside them a healthy library 1 with folder 2 and file 3, and three items not yet uploaded (server id 0).
    void damagedRowsGo_data()
    {
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QList<ItemId>>("gone");
        QTest::addColumn<QStringList>("logged");
        QTest::newRow("library with empty tenant, with its content")
            << QStringList{"library 100 empty", "folder 101 100 100 5", "file 102 101 100 6", "file 103 100 100 7"}
            << QList<ItemId>{100, 101, 102, 103} << QStringList{};
        QTest::newRow("library without tenant") << QStringList{"library 100 null", "file 103 100 100 7"}
                                                << QList<ItemId>{100, 103} << QStringList{};
        QTest::newRow("own parent") << QStringList{"folder 200 200 1 20", "file 201 201 1 21"} << QList<ItemId>{200, 201}
                                    << QStringList{};
        QTest::newRow("library gone") << QStringList{"folder 300 1 999 30", "file 301 2 999 31"}
                                      << QList<ItemId>{300, 301} << QStringList{};
        QTest::newRow("orphan folder chain, however deep")
            << QStringList{"folder 401 400 1 41", "folder 402 401 1 42", "folder 403 402 1 43", "folder 404 403 1 44",
                           "file 405 404 1 45", "file 406 401 1 46"}
            << QList<ItemId>{401, 402, 403, 404, 405, 406} << QStringList{};
        QTest::newRow("duplicates within a library, all of them")
            << QStringList{"file 500 1 1 50", "file 501 2 1 50", "folder 502 1 1 50", "folder 510 1 1 51",
                           "folder 511 1 1 51"}
            << QList<ItemId>{500, 501, 502, 510, 511}
            << QStringList{"CSyncDatabase::runSanityCheck: duplicate file found: serverId: 50 libraryClientId: 1",
                           "CSyncDatabase::runSanityCheck: duplicate folder found: serverId: 51 libraryClientId: 1"};
        QTest::newRow("same server ids in another library")
            << QStringList{"library 700 tenant", "folder 701 700 700 1", "file 702 700 700 2"} << QList<ItemId>{}
            << QStringList{};
    }

    void damagedRowsGo()
    {
        QFETCH(QStringList, rows);
        QFETCH(QList<ItemId>, gone);
        QFETCH(QStringList, logged);
        Fixture f;
        const ItemId library = f.addLibrary("T/Healthy");
        QList<ItemId> all = {library, f.addFolder(library, library, "d", 1)};
        all << f.addFile(all.last(), library, "f", 2) << f.addFile(library, library, "new 1")
            << f.addFile(library, library, "new 2") << f.addFolder(library, library, "new folder");
        QCOMPARE(all, (QList<ItemId>{1, 2, 3, 4, 5, 6}));
        for (const QString &row : rows) {
            const QStringList p = row.split(' ');
            const auto id = [&p](int i) { return CSqlValue(QStringList{"ClientId", "ParentClientId", "LibraryClientId",
                                                                       "ServerId"}.at(i - 1), p.at(i).toULongLong()); };
            if (p.first() == "library") {
                CSqlValueList values{id(1)};
                if (p.at(2) != "null")
                    values << CSqlValue("TenantId", p.at(2) == "empty" ? QString("") : p.at(2));
                f.insertRaw("Libraries", values);
            } else {
                f.insertRaw(p.first() == "folder" ? "Folders" : "Files", {id(1), id(2), id(3), id(4)});
            }
            all << p.at(1).toULongLong();
        }
        QSignalSpy changed(f.db.data(), &CSyncDatabase::syncDatabaseChangedSignal);
        QSignalSpy unsubscribed(f.db.data(), &CSyncDatabase::syncLibraryUnsubscribedSignal);
        MessageCapture log;
        f.db->runSanityCheck();
        for (ItemId id : all) {
            const bool present = f.db->isLibraryPresent(id) || f.db->isFolderPresent(id) || f.db->isFilePresent(id);
            QVERIFY2(present != gone.contains(id), qPrintable(QString::number(id)));
        }
        for (const QString &line : logged)
            QCOMPARE(log.count(QtDebugMsg, line), 1);
        QCOMPARE(log.count(QtDebugMsg, "duplicate"), logged.size());
        QCOMPARE(log.count(QtCriticalMsg, ""), 0);
        QCOMPARE(changed.count() + unsubscribed.count(), 0);
    }
};

BXSYNC_TEST_MAIN(TestSyncDatabaseSanity)
#include "tst_syncdatabasesanity.moc"
