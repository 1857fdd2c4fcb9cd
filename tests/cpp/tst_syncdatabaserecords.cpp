#include "TestMain.h"

#include "SyncRecords.h"

class TestSyncRecords : public QObject
{
    Q_OBJECT

private slots:
    void typeText_data();
    void typeText();
    void statusText_data();
    void statusText();
    void pairTextNamesServerFirst();
    void freshRecordsAreEmpty();
    void castChecksTheType();
    void fileCacheItemValidity_data();
    void fileCacheItemValidity();
    void databaseTimeDropsMillisecondsAndIsUtc();
    void queuedSignalsCarryRecords();
};

void TestSyncRecords::typeText_data()
{
    QTest::addColumn<quint32>("type");
    QTest::addColumn<QString>("text");
    QTest::newRow("page") << 1u << "Page";
    QTest::newRow("file") << 2u << "File";
    QTest::newRow("folder") << 3u << "FileFolder";
    QTest::newRow("library") << 4u << "FileLib";
    QTest::newRow("zero") << 0u << "TypeUnknown(0)";
    QTest::newRow("nine") << 9u << "TypeUnknown(9)";
}

void TestSyncRecords::typeText()
{
    QFETCH(quint32, type);
    QFETCH(QString, text);
    QCOMPARE(typeToString(SyncItemType(type)), text);
}

void TestSyncRecords::statusText_data()
{
    QTest::addColumn<quint32>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << 0u << "StatusInvalid";
    QTest::newRow("1") << 1u << "StatusSynchronized";
    QTest::newRow("2") << 2u << "StatusNew";
    QTest::newRow("3") << 3u << "StatusMoved";
    QTest::newRow("4") << 4u << "StatusChanged";
    QTest::newRow("5") << 5u << "StatusDeleted";
    QTest::newRow("6") << 6u << "StatusMovedAndChanged";
    QTest::newRow("7") << 7u << "StatusUnknown(7)";
    QTest::newRow("max") << 4294967295u << "StatusUnknown(4294967295)";
}

void TestSyncRecords::statusText()
{
    QFETCH(quint32, status);
    QFETCH(QString, text);
    QCOMPARE(statusToString(status), text);
}

void TestSyncRecords::pairTextNamesServerFirst()
{
    SyncStatus status;
    status.ClientStatus = StatusNew;
    status.ServerStatus = StatusSynchronized;
    QCOMPARE(status.toString(), QString("(S/C: StatusSynchronized/StatusNew)"));
    QVERIFY(!status.isSynchronized());
}

void TestSyncRecords::freshRecordsAreEmpty()
{
    const SyncFile file;
    QCOMPARE(file.type, SyncItemType::File);
    QCOMPARE(file.syncStatus.ClientStatus, quint32(StatusInvalid));
    QCOMPARE(file.syncStatus.ServerStatus, quint32(StatusInvalid));
    QCOMPARE(file.Attr, 0u);
    QCOMPARE(file.Size, 0ull);
    QCOMPARE(SyncFolder().type, SyncItemType::FileFolder);
    QCOMPARE(SyncLibrary().type, SyncItemType::FileLib);
}

void TestSyncRecords::castChecksTheType()
{
    SyncFile::Ptr file(new SyncFile);
    const SyncItem::Ptr asItem = file;
    QCOMPARE(SyncFile::cast(asItem).data(), file.data());
    QVERIFY(!SyncFolder::cast(asItem));
    QVERIFY(!SyncLibrary::cast(asItem));
    const SyncItem::ConstPtr asConstItem = file;
    QCOMPARE(SyncFile::cast(asConstItem).data(), file.data());
    QVERIFY(!SyncFile::cast(SyncItem::Ptr()));
}

void TestSyncRecords::fileCacheItemValidity_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("hash");
    QTest::addColumn<quint64>("size");
    QTest::addColumn<QDateTime>("created");
    QTest::addColumn<bool>("valid");
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QTest::newRow("complete") << "id" << "hash" << quint64(1) << now << true;
    QTest::newRow("no id") << "" << "hash" << quint64(1) << now << false;
    QTest::newRow("no hash") << "id" << "" << quint64(1) << now << false;
    QTest::newRow("size 0") << "id" << "hash" << quint64(0) << now << false;
    QTest::newRow("no time") << "id" << "hash" << quint64(1) << QDateTime() << false;
}

void TestSyncRecords::fileCacheItemValidity()
{
    QFETCH(QString, id);
    QFETCH(QString, hash);
    QFETCH(quint64, size);
    QFETCH(QDateTime, created);
    QFETCH(bool, valid);
    FileCacheItem item;
    item.Id = id;
    item.Hash = hash;
    item.Size = size;
    item.CreatedTime = created;
    QCOMPARE(item.isValid(), valid);
}

void TestSyncRecords::databaseTimeDropsMillisecondsAndIsUtc()
{
    const QDateTime local = QDateTime(QDate(2020, 10, 8), QTime(12, 34, 56, 789), Qt::OffsetFromUTC, 7200);
    const QDateTime back = fromDatabaseTime(toDatabaseTime(local));
    QCOMPARE(back.timeSpec(), Qt::UTC);
    QCOMPARE(back, QDateTime(QDate(2020, 10, 8), QTime(10, 34, 56), Qt::UTC));
    QCOMPARE(toDatabaseTime(QDateTime()), 0u);
}

// Records travel between threads inside queued signals.
class RecordSender : public QObject
{
    Q_OBJECT
signals:
    void itemSignal(SyncItem::ConstPtr item, ItemId id);
};

void TestSyncRecords::queuedSignalsCarryRecords()
{
    QVERIFY(QMetaType::type("ItemId") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("SyncItem::ConstPtr") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("SyncLibrary::Ptr") != QMetaType::UnknownType);

    RecordSender sender;
    SyncItem::ConstPtr received;
    ItemId receivedId = 0;
    connect(&sender, &RecordSender::itemSignal, this,
            [&](SyncItem::ConstPtr item, ItemId id) {
                received = item;
                receivedId = id;
            },
            Qt::QueuedConnection);
    SyncFile::Ptr file(new SyncFile);
    file->ClientName = "a.txt";
    emit sender.itemSignal(file, 7);
    QTRY_VERIFY(received);
    QCOMPARE(received->ClientName, QString("a.txt"));
    QCOMPARE(receivedId, ItemId(7));
}

BXSYNC_TEST_MAIN(TestSyncRecords)
#include "tst_syncdatabaserecords.moc"
