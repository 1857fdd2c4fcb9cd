#include "TestMain.h"

#include "SyncDatabaseTestSupport.h"

#include <QPoint>

namespace {

QVariantList fieldsOf(const SyncItem &i)
{
    return {int(i.type), i.ClientId, i.ServerId, i.ServerName, i.ClientName, i.CreatedTime, i.UpdatedTime,
            i.CreatedBy, i.UpdatedBy, i.Attr, i.syncStatus.ServerStatus, i.syncStatus.ClientStatus};
}
QVariantList fieldsOf(const SyncFile &f)
{
    return fieldsOf(static_cast<const SyncItem &>(f)) << f.ParentClientId << f.LibraryClientId << f.Hash << f.Sic
                                                       << f.Size;
}
QVariantList fieldsOf(const SyncFolder &f)
{
    return fieldsOf(static_cast<const SyncItem &>(f)) << f.ParentClientId << f.LibraryClientId;
}
QVariantList fieldsOf(const SyncLibrary &l)
{
    return fieldsOf(static_cast<const SyncItem &>(l)) << l.TeamId << l.TenantId << l.TenantName << l.Sic
                                                       << l.ServerPath << l.ContainerType;
}

// Every field different from its default and from every other field, so that a column written to
// or read from the wrong place shows.
template<typename Record>
void fill(Record &r, quint64 serverId, const QString &tag)
{
    r.ServerId = serverId;
    r.ServerName = tag + " server 'name'";
    r.ClientName = tag + " client name";
    r.CreatedBy = tag + " creator";
    r.UpdatedBy = tag + " updater";
    r.CreatedTime = QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC);
    r.UpdatedTime = QDateTime(QDate(2021, 6, 7), QTime(8, 9, 10), Qt::UTC);
    r.Attr = AttrQuotaExceeded | AttrAccessDenied;
    r.syncStatus = {StatusChanged, StatusNew}; // client, server
}

} // namespace

class TestSyncDatabaseSql : public QObject
{
    Q_OBJECT
private slots:
    void literal_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QString>("literal");
        QTest::newRow("quote") << QVariant(QString("it's")) << "'it''s'";
        QTest::newRow("only quotes") << QVariant(QString("''")) << "''''''";
        QTest::newRow("null text") << QVariant(QString()) << "''";
        QTest::newRow("no other escaping") << QVariant(QString("a\\b;\"c\"")) << "'a\\b;\"c\"'";
        QTest::newRow("number text stays text") << QVariant(QString("12")) << "'12'";
        QTest::newRow("unsigned 64") << QVariant::fromValue<quint64>(18446744073709551615ull) << "18446744073709551615";
        QTest::newRow("bool") << QVariant(true) << "1";
        QTest::newRow("time in seconds") << QVariant(QDateTime(QDate(1970, 1, 2), QTime(0, 0, 0, 500), Qt::UTC)) << "86400";
    }

    void literal()
    {
        QFETCH(QVariant, value);
        QFETCH(QString, literal);
        QCOMPARE(toSqlLiteral(CSqlValue("Col", value)), literal);
    }

    void unconvertibleValuesAreLogged()
    {
        testdb::MessageCapture log;
        QCOMPARE(CSqlValue("Size", QString("abc")).valueToULongLong(), 0ull);
        QCOMPARE(toSqlLiteral(CSqlValue("Size", QVariant())), QString("0"));
        QCOMPARE(log.count(QtCriticalMsg, "CSqlParameter::valueToULongLong: unable to convert value"), 2);
        CSqlValue("Pos", QPoint(1, 2)).valueToString();
        QCOMPARE(log.count(QtCriticalMsg, "CSqlParameter::valueToString: unable to convert value"), 1);
    }

    // Through single inserts, the batch and updateItem: what goes in comes back, field by field.
    void everyColumnReadsBackWhatWasWritten()
    {
        testdb::Fixture f;
        SyncLibrary::Ptr library = f.makeLibrary("T/Lib", "tenant-9", 77);
        fill(*library, 77, "library");
        library->TeamId = "team";
        library->TenantName = "tenant name";
        library->Sic = "library sic";
        library->ServerPath = "/server/path";
        library->ContainerType = 3;
        QVERIFY(f.db->insertLibrary(library) != 0);
        QCOMPARE(fieldsOf(*f.db->getLibrary(library->ClientId)), fieldsOf(*library));

        const ItemId parent = f.addFolder(library->ClientId, library->ClientId, "parent");
        SyncFolder::Ptr folder = f.makeFolder(parent, library->ClientId, "");
        fill(*folder, 1234, "folder");
        SyncFile::Ptr file = f.makeFile(parent, library->ClientId, "", 0, {}, 0, 5000000000ull);
        fill(*file, 5678, "file");
        file->Hash = "abc";
        file->Sic = "file sic";
        {
            CSyncDatabaseBatch batch(*f.db, library->ClientId);
            QVERIFY(batch.insertFolder(*folder) != 0);
            QVERIFY(batch.insertFile(*file) != 0);
            QVERIFY(batch.commit());
        }
        QCOMPARE(fieldsOf(*f.db->getFolder(folder->ClientId)), fieldsOf(*folder));
        QCOMPARE(fieldsOf(*f.db->getFile(file->ClientId)), fieldsOf(*file));
        file->ClientId = f.addFile(parent, library->ClientId, "second");
        f.db->updateItem(file);
        QCOMPARE(fieldsOf(*f.db->getFile(file->ClientId)), fieldsOf(*file));
    }

    void recordTexts()
    {
        QCOMPARE(typeToString(SyncItemType(9)), QString("TypeUnknown(9)"));
        QCOMPARE(statusToString(4294967295u), QString("StatusUnknown(4294967295)"));
        const SyncStatus status{StatusNew, StatusSynchronized}; // client, server
        QCOMPARE(status.toString(), QString("(S/C: StatusSynchronized/StatusNew)"));
        QVERIFY(!status.isSynchronized());
    }

    void databaseTimeDropsMillisecondsAndIsUtc()
    {
        const QDateTime local = QDateTime(QDate(2020, 10, 8), QTime(12, 34, 56, 789), Qt::OffsetFromUTC, 7200);
        const QDateTime back = fromDatabaseTime(toDatabaseTime(local));
        QCOMPARE(back.timeSpec(), Qt::UTC);
        QCOMPARE(back, QDateTime(QDate(2020, 10, 8), QTime(10, 34, 56), Qt::UTC));
        QCOMPARE(toDatabaseTime(QDateTime()), 0u);
    }

    // Records travel between threads as arguments of queued calls, which need the names registered.
    void queuedCallsCarryRecords()
    {
        for (const char *name : {"ItemId", "SyncItem::ConstPtr", "SyncLibrary::Ptr"})
            QVERIFY2(QMetaType::type(name) != QMetaType::UnknownType, name);
    }
};

BXSYNC_TEST_MAIN(TestSyncDatabaseSql)
#include "tst_syncdatabasesql.moc"
