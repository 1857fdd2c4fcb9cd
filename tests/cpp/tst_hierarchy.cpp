#include "Hierarchy.h"
#include "TestMain.h"

#include <QJsonDocument>

class TestHierarchy : public QObject
{
    Q_OBJECT
private slots:
    // A string goes through idFromString in both readers; a number only reaches the whole-document one.
    void integers_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("plain") << QJsonValue("123") << qint64(123);
        QTest::newRow("largest") << QJsonValue("9223372036854775807") << qint64(9223372036854775807LL);
        QTest::newRow("one past largest") << QJsonValue("9223372036854775808") << qint64(0);
        QTest::newRow("minus one") << QJsonValue("-1") << qint64(-1);
        QTest::newRow("trailing letter") << QJsonValue("12a") << qint64(0);
        QTest::newRow("non-latin digits") << QJsonValue(QString::fromUtf8("\xd9\xa1\xd9\xa2")) << qint64(0);
        QTest::newRow("integer number") << QJsonValue(qint64(42)) << qint64(42);
        QTest::newRow("above 2^53 exact") << QJsonValue(qint64(9007199254740993LL)) << qint64(9007199254740993LL);
        QTest::newRow("fraction truncated") << QJsonValue(12.9) << qint64(12);
        QTest::newRow("too large double") << QJsonValue(1e30) << qint64(0);
        QTest::newRow("bool") << QJsonValue(true) << qint64(0);
        QTest::newRow("object") << QJsonValue(QJsonObject{{"a", 1}}) << qint64(0);
    }

    void integers()
    {
        QFETCH(QJsonValue, value);
        QFETCH(qint64, expected);
        QCOMPARE(brindlex::integerFromJson(value), expected);
        if (value.isString()) {
            QCOMPARE(brindlex::idFromString(value.toString()), quint64(expected));
            QCOMPARE(brindlex::idFromString(value.toString().toUtf8().constData(), value.toString().toUtf8().size()), quint64(expected));
        }
    }

    // The server's usual shape is read without QDateTime; every text must still read as QDateTime reads it.
    void serverTimeReadsAsQDateTime_data()
    {
        QTest::addColumn<QString>("text");
        for (const char *text : {"2021-03-04T05:06:07Z", "2022-01-02T03:04:05.250Z", "1970-01-01T00:00:00.000Z", "", "mt",
                                 "1969-12-31T23:59:59.999Z", "2000-02-29T12:00:00Z", "1900-02-29T12:00:00Z", "2021-03-04",
                                 "2021-13-01T00:00:00Z", "2021-01-01T24:00:00Z", "2021-01-01T23:60:00Z", "0001-01-01T00:00:00Z",
                                 "2021-03-04T05:06:07+02:00", "2021-03-04T05:06:07.5Z", "2021-03-04 05:06:07Z", "2021-03-04T05:06:07"})
            QTest::newRow(text) << QString(text);
    }

    void serverTimeReadsAsQDateTime()
    {
        QFETCH(QString, text);
        const QDateTime qt = QDateTime::fromString(text, Qt::ISODateWithMs).toUTC();
        const brindlex::ServerTime time = brindlex::ServerTime::fromUtf8(text.toUtf8().constData(), text.toUtf8().size());
        QCOMPARE(time.toDateTime(), qt);
        QCOMPARE(time.isValid() ? time.msecsSinceEpoch() : -1, qt.isValid() ? qt.toMSecsSinceEpoch() : -1);
        QVERIFY(brindlex::ServerTime(text) == time);
    }

    void packedTextReadsBackExactly_data()
    {
        QTest::addColumn<QString>("text");
        const QString sha1 = "aaf4c61ddcc5e8a2dabede0f3b482cd9aea9434d";
        QTest::newRow("empty") << QString();
        QTest::newRow("state") << "AAAAAAAAB3k=";
        QTest::newRow("22 characters") << QString(22, 'x');
        QTest::newRow("content hash") << sha1;
        QTest::newRow("content hash, upper case") << sha1.toUpper();
        QTest::newRow("hex, odd length") << sha1 + "0";
        QTest::newRow("hex, 44 digits") << sha1 + "0f9e";
        QTest::newRow("hex, 46 digits") << sha1 + "0f9e8d";
        QTest::newRow("non-latin") << QString::fromUtf8("\xc3\xa4\xe5\xa0\xb1");
        QTest::newRow("zero character") << QString(QChar(0)) + "a";
    }

    void packedTextReadsBackExactly()
    {
        QFETCH(QString, text);
        const brindlex::PackedText packed = brindlex::PackedText::fromUtf8(text.toUtf8().constData(), text.toUtf8().size());
        QCOMPARE(packed.toString(), text);
        QCOMPARE(packed.isEmpty(), text.isEmpty());
        brindlex::PackedText copy("x");
        QVERIFY(packed == text && text == packed && packed == brindlex::PackedText(text) && (copy = packed) == packed);
        // Same length with the last character changed, and one character more.
        const QString other = text.left(text.size() - 1) + (text.endsWith('0') ? "1" : "0");
        for (const QString &different : {other, text + "0"})
            QVERIFY(packed != different && packed != brindlex::PackedText(different));
    }
};

BXSYNC_TEST_MAIN(TestHierarchy)
#include "tst_hierarchy.moc"
