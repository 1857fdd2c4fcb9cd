#include "TestMain.h"

#include "SyncDatabaseTestSupport.h"

#include <QPoint>

class TestSyncDatabaseSql : public QObject
{
    Q_OBJECT

private slots:
    void literal_data();
    void literal();
    void rendering_data();
    void rendering();
    void unconvertibleValuesAreLogged();
    void rowsReadBackByColumnName();
};

void TestSyncDatabaseSql::literal_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("literal");
    QTest::newRow("text") << QVariant(QString("abc")) << "'abc'";
    QTest::newRow("quote") << QVariant(QString("it's")) << "'it''s'";
    QTest::newRow("only quotes") << QVariant(QString("''")) << "''''''";
    QTest::newRow("empty text") << QVariant(QString()) << "''";
    QTest::newRow("no other escaping") << QVariant(QString("a\\b;\"c\"")) << "'a\\b;\"c\"'";
    QTest::newRow("number text stays text") << QVariant(QString("12")) << "'12'";
    QTest::newRow("unsigned 64") << QVariant::fromValue<quint64>(18446744073709551615ull) << "18446744073709551615";
    QTest::newRow("int") << QVariant(5) << "5";
    QTest::newRow("bool") << QVariant(true) << "1";
    QTest::newRow("time in seconds")
        << QVariant(QDateTime(QDate(1970, 1, 2), QTime(0, 0, 0, 500), Qt::UTC)) << "86400";
}

void TestSyncDatabaseSql::literal()
{
    QFETCH(QVariant, value);
    QFETCH(QString, literal);
    QCOMPARE(toSqlLiteral(CSqlValue("Col", value)), literal);
}

void TestSyncDatabaseSql::rendering_data()
{
    QTest::addColumn<QString>("rendered");
    QTest::addColumn<QString>("expected");

    const CSqlValueList two = {CSqlValue("ServerName", QString("a'b")), CSqlValue("Size", quint64(3))};
    const auto writing = [&](const QString &table, const QString &where) {
        return CSqlStatement::forWriting(table, where, two);
    };

    QTest::newRow("select with where")
        << CSqlStatement::forReading("FileCache", "Id = 'x'").selectStatement()
        << "SELECT Id,Hash,Size,CreatedTime FROM FileCache WHERE Id = 'x';";
    QTest::newRow("select without where")
        << CSqlStatement::forReading("FileCache").selectStatement() << "SELECT Id,Hash,Size,CreatedTime FROM FileCache;";
    QTest::newRow("insert") << writing("Files", "").insertStatement()
                            << "INSERT INTO Files (ServerName,Size) VALUES ('a''b',3);";
    QTest::newRow("update with where") << writing("Files", "ClientId = 4").updateStatement()
                                       << "UPDATE Files SET ServerName='a''b',Size=3 WHERE ClientId = 4;";
    QTest::newRow("update without where") << writing("Files", "").updateStatement()
                                          << "UPDATE Files SET ServerName='a''b',Size=3;";
    QTest::newRow("delete with where") << writing("Folders", "ClientId = 4").deleteStatement()
                                       << "DELETE FROM Folders WHERE ClientId = 4;";
    QTest::newRow("delete without where") << writing("Folders", "").deleteStatement() << "DELETE FROM Folders;";
    QTest::newRow("count files sums sizes") << writing("Files", "Size > 1").countStatement()
                                            << "SELECT COUNT(1), SUM(Size) FROM Files WHERE Size > 1;";
    QTest::newRow("count other tables") << writing("Libraries", "").countStatement()
                                        << "SELECT COUNT(1) FROM Libraries;";
}

void TestSyncDatabaseSql::rendering()
{
    QFETCH(QString, rendered);
    QFETCH(QString, expected);
    QCOMPARE(rendered, expected);
}

void TestSyncDatabaseSql::unconvertibleValuesAreLogged()
{
    testdb::MessageCapture log;
    QCOMPARE(CSqlValue("Size", QString("abc")).valueToULongLong(), 0ull);
    QCOMPARE(log.count(QtCriticalMsg, "CSqlParameter::valueToULongLong: unable to convert value"), 1);
    QCOMPARE(toSqlLiteral(CSqlValue("Size", QVariant())), QString("0"));
    QCOMPARE(log.count(QtCriticalMsg, "CSqlParameter::valueToULongLong: unable to convert value"), 2);
    CSqlValue("Pos", QPoint(1, 2)).valueToString();
    QCOMPARE(log.count(QtCriticalMsg, "CSqlParameter::valueToString: unable to convert value"), 1);
}

void TestSyncDatabaseSql::rowsReadBackByColumnName()
{
    testdb::Fixture f;
    const ItemId library = f.addLibrary("T/Lib", "tenant-9", 77);
    SyncFile::Ptr file = f.makeFile(library, library, "name 'quoted'.txt", 1234, {StatusNew, StatusSynchronized},
                                    AttrAccessDenied, 5000000000ull);
    file->Hash = "abc";
    file->Sic = "sic-1";
    file->CreatedBy = "me";
    file->UpdatedBy = "you";
    file->CreatedTime = QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5, 600), Qt::UTC);
    file->UpdatedTime = QDateTime(QDate(2021, 1, 2), QTime(3, 4, 5), Qt::UTC);
    QVERIFY(f.db->insertFile(file) != 0);

    const SyncFile::Ptr back = f.db->getFile(file->ClientId);
    QVERIFY(back);
    QCOMPARE(back->ClientName, file->ClientName);
    QCOMPARE(back->ServerId, 1234ull);
    QCOMPARE(back->ParentClientId, library);
    QCOMPARE(back->LibraryClientId, library);
    QCOMPARE(back->Hash, QString("abc"));
    QCOMPARE(back->Sic, QString("sic-1"));
    QCOMPARE(back->Attr, quint32(AttrAccessDenied));
    QCOMPARE(back->Size, 5000000000ull);
    QCOMPARE(back->CreatedBy, QString("me"));
    QCOMPARE(back->UpdatedBy, QString("you"));
    QCOMPARE(back->CreatedTime, QDateTime(QDate(2020, 1, 2), QTime(3, 4, 5), Qt::UTC));
    QCOMPARE(back->UpdatedTime, file->UpdatedTime);
    QCOMPARE(back->syncStatus.ServerStatus, quint32(StatusNew));
    QCOMPARE(back->syncStatus.ClientStatus, quint32(StatusSynchronized));

    const SyncLibrary::Ptr lib = f.db->getLibrary(library);
    QVERIFY(lib);
    QCOMPARE(lib->TenantId, QString("tenant-9"));
    QCOMPARE(lib->ServerId, 77ull);
    QCOMPARE(lib->ClientName, QString("T/Lib"));
}

BXSYNC_TEST_MAIN(TestSyncDatabaseSql)
#include "tst_syncdatabasesql.moc"
