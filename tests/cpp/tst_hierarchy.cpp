#include "Hierarchy.h"
#include "JsonSaxHierarchyParser.h"
#include "MessageCapture.h"
#include "TestMain.h"

#include <QJsonDocument>

namespace {

QJsonObject hierarchyObject(const QByteArray &json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("test document does not parse: %s", qPrintable(error.errorString()));
    return doc.object().value("result").toObject().value("hierarchy").toObject();
}

} // namespace

class TestHierarchy : public QObject
{
    Q_OBJECT
private slots:
    void idFromString_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<quint64>("id");
        QTest::newRow("plain") << "123" << quint64(123);
        QTest::newRow("largest") << "9223372036854775807" << quint64(9223372036854775807LL);
        QTest::newRow("one past largest") << "9223372036854775808" << quint64(0);
        QTest::newRow("minus one wraps") << "-1" << quint64(18446744073709551615ULL);
        QTest::newRow("empty") << "" << quint64(0);
        QTest::newRow("sign only") << "-" << quint64(0);
        QTest::newRow("trailing letter") << "12a" << quint64(0);
        QTest::newRow("blank around") << " 12" << quint64(0);
        QTest::newRow("non-latin digits") << QString::fromUtf8("\xd9\xa1\xd9\xa2") << quint64(0);
    }

    void idFromString()
    {
        QFETCH(QString, text);
        QFETCH(quint64, id);
        QCOMPARE(brindlex::idFromString(text), id);
        const QByteArray utf8 = text.toUtf8();
        QCOMPARE(brindlex::idFromString(utf8.constData(), utf8.size()), id);
    }

    void integerFromJson_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("integer number") << QJsonValue(qint64(42)) << qint64(42);
        QTest::newRow("above 2^53 stays exact") << QJsonValue(qint64(9007199254740993LL)) << qint64(9007199254740993LL);
        QTest::newRow("fraction truncated") << QJsonValue(12.9) << qint64(12);
        QTest::newRow("too large double") << QJsonValue(1e30) << qint64(0);
        QTest::newRow("decimal string") << QJsonValue("77") << qint64(77);
        QTest::newRow("bad string") << QJsonValue("7x") << qint64(0);
        QTest::newRow("bool") << QJsonValue(true) << qint64(0);
        QTest::newRow("object") << QJsonValue(QJsonObject{{"a", 1}}) << qint64(0);
    }

    void integerFromJson()
    {
        QFETCH(QJsonValue, value);
        QFETCH(qint64, expected);
        QCOMPARE(brindlex::integerFromJson(value), expected);
    }

    void wholeDocumentReaderAgreesWithStreamingParser()
    {
        const QByteArray doc =
            "{\"result\":{\"wat\":\"w\",\"hierarchy\":{\"id\":\"500\",\"state\":\"sic\",\"tenantId\":\"t\","
            "\"tenantName\":\"Acme\",\"chain\":[{\"id\":\"1\",\"pid\":\"0\",\"type\":\"T\",\"subType\":\"S\","
            "\"name\":\"n\",\"dashifiedName\":\"d\"}],"
            "\"folders\":[{\"id\":\"10\",\"name\":\"A\",\"modifiedTime\":\"m\",\"folders\":[{\"id\":\"11\","
            "\"name\":\"B\",\"folders\":[{\"id\":\"12\",\"name\":\"C\",\"files\":[{\"id\":\"102\",\"name\":\"c\","
            "\"fileSize\":3,\"state\":\"s\",\"createdTime\":\"ct\",\"modifiedTime\":\"mt\",\"contentHash\":\"h\"}]}]}],"
            "\"files\":[{\"id\":\"100\",\"name\":\"a\",\"fileSize\":1}]}],"
            "\"files\":[{\"id\":\"1\",\"name\":\"r\",\"fileSize\":18446744073709551615}],\"extra\":true}}}";
        CJsonSaxHierarchyParser parser;
        QVERIFY(parser.parse(doc));
        const brindlex::Hierarchy streamed = parser.hierarchy();
        brindlex::Hierarchy whole = brindlex::hierarchyFromJson(hierarchyObject(doc));

        // Qt keeps integers only up to 2^63 - 1; the largest unsigned size is the one known difference.
        QCOMPARE(whole.files.size(), 1);
        QCOMPARE(streamed.files.value(0).fileSize, quint64(18446744073709551615ULL));
        whole.files[0].fileSize = streamed.files.value(0).fileSize;

        QCOMPARE(whole.folders.value(0).folders.value(0).folders.value(0).files.value(0).contentHash, QString("h"));
        QVERIFY(whole == streamed);
    }

    void wholeDocumentReaderIsLenientAboutTypes()
    {
        // Numbers where the format has strings, and the reverse, as the server may send them.
        const QByteArray doc =
            "{\"result\":{\"hierarchy\":{\"id\":500,\"chain\":[{\"id\":1,\"pid\":\"2\",\"pinIndex\":4}],"
            "\"files\":[{\"id\":7.9,\"fileSize\":\"12\"},{\"id\":\"8\",\"fileSize\":-5},{\"id\":true,\"fileSize\":null}]}}}";
        const brindlex::Hierarchy h = brindlex::hierarchyFromJson(hierarchyObject(doc));
        QCOMPARE(h.id, quint64(500));
        QCOMPARE(h.chain.value(0).id, quint64(1));
        QCOMPARE(h.chain.value(0).pid, quint64(2));
        QCOMPARE(h.chain.value(0).pinIndex, quint64(4));
        QCOMPARE(h.files.size(), 3);
        QCOMPARE(h.files[0].id, quint64(7));
        QCOMPARE(h.files[0].fileSize, quint64(12));
        QCOMPARE(h.files[1].fileSize, quint64(0));
        QCOMPARE(h.files[2].id, quint64(0));
    }

    void wholeDocumentReaderSkipsMalformedMembers_data()
    {
        QTest::addColumn<QByteArray>("hierarchy");
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("folders");
        QTest::addColumn<QString>("warning");
        const QString prefix = "brindlex::hierarchyFromJson: ";
        QTest::newRow("files is an object") << QByteArray("{\"files\":{\"id\":\"1\"},\"folders\":[{}]}") << 0 << 1
                                            << prefix + "member is no array, skipped: files";
        QTest::newRow("scalar among files") << QByteArray("{\"files\":[{\"id\":\"1\"},3,{\"id\":\"2\"}]}") << 2 << 0
                                            << prefix + "entry is no object, skipped: files index: 1";
    }

    void wholeDocumentReaderSkipsMalformedMembers()
    {
        QFETCH(QByteArray, hierarchy);
        QFETCH(int, files);
        QFETCH(int, folders);
        QFETCH(QString, warning);
        testsupport::MessageCapture capture;
        const brindlex::Hierarchy h =
            brindlex::hierarchyFromJson(hierarchyObject("{\"result\":{\"hierarchy\":" + hierarchy + "}}"));
        QCOMPARE(h.files.size(), files);
        QCOMPARE(h.folders.size(), folders);
        QCOMPARE(capture.lines(QtWarningMsg), QStringList{warning});
    }
};

BXSYNC_TEST_MAIN(TestHierarchy)
#include "tst_hierarchy.moc"
