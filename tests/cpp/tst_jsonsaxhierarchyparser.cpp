#include "JsonSaxHierarchyParser.h"
#include "MessageCapture.h"
#include "TestMain.h"

#include <QTemporaryFile>

namespace {

QByteArray wrap(const QByteArray &hierarchyMembers)
{
    return "{\"jsonrpc\":\"2.0\",\"id\":17,\"result\":{\"wat\":\"w\",\"changedId\":\"99\",\"hierarchy\":{"
        + hierarchyMembers + "}}}";
}

QByteArray fileJson(int id, const QByteArray &name, quint64 size)
{
    return "{\"id\":\"" + QByteArray::number(id) + "\",\"state\":\"s" + QByteArray::number(id) + "\",\"name\":\"" + name
        + "\",\"createdTime\":\"2020-01-02T03:04:05Z\",\"modifiedTime\":\"2020-02-03T04:05:06Z\",\"fileSize\":"
        + QByteArray::number(size) + ",\"contentHash\":\"h" + QByteArray::number(id) + "\"}";
}

QByteArray flatFolders(int count)
{
    QByteArray folders;
    for (int i = 1; i <= count; ++i) {
        if (i > 1)
            folders += ',';
        folders += "{\"id\":\"" + QByteArray::number(i) + "\",\"name\":\"f" + QByteArray::number(i)
            + "\",\"folders\":[],\"files\":[]}";
    }
    return wrap("\"id\":\"1\",\"folders\":[" + folders + "]");
}

QByteArray flatFiles(int count)
{
    QByteArray files;
    for (int i = 1; i <= count; ++i) {
        if (i > 1)
            files += ',';
        files += "{\"id\":\"" + QByteArray::number(i) + "\",\"fileSize\":1}";
    }
    return wrap("\"id\":\"1\",\"files\":[" + files + "]");
}

QString dump(const QVector<brindlex::File> &files)
{
    QStringList parts;
    for (const brindlex::File &f : files)
        parts << QString("%1 %2 %3").arg(f.id).arg(f.name).arg(f.fileSize);
    return "files[" + parts.join(", ") + "]";
}

QString dump(const QVector<brindlex::Folder> &folders)
{
    QStringList parts;
    for (const brindlex::Folder &f : folders)
        parts << QString("%1 %2 %3 %4 %5").arg(f.id).arg(f.name, f.modifiedTime.toDateTime().toString(Qt::ISODate), dump(f.files), dump(f.folders));
    return "folders[" + parts.join(", ") + "]";
}

// The whole tree on one line: a record in the wrong list or with a wrong member shows at once.
QString dump(const brindlex::Hierarchy &h)
{
    QStringList chain;
    for (const brindlex::ChainItem &c : h.chain)
        chain << QString("%1<-%2 %3/%4 %5 %6 #%7").arg(c.id).arg(c.pid).arg(c.type, c.subType, c.name, c.dashifiedName).arg(c.pinIndex);
    return QString("%1 %2 %3 %4 chain[%5] %6 %7")
        .arg(h.id)
        .arg(h.state, h.tenantId, h.tenantName, chain.join(", "), dump(h.files), dump(h.folders));
}

} // namespace

class TestJsonSaxHierarchyParser : public QObject
{
    Q_OBJECT
private slots:
    void nestedFoldersThreeDeep()
    {
        // Files follow each inner "folders" array, so a wrong state after an array end would
        // drop them or put them in the wrong list.
        const QByteArray doc = wrap(
            "\"id\":\"500\",\"state\":\"libSic\",\"tenantId\":\"t1\",\"tenantName\":\"Acme\","
            "\"chain\":[{\"id\":\"1\",\"pid\":\"0\",\"type\":\"TENANT\",\"subType\":\"\",\"name\":\"Acme\","
            "\"dashifiedName\":\"acme\",\"pinIndex\":3},{\"id\":\"500\",\"pid\":\"1\",\"type\":\"LIBRARY\","
            "\"name\":\"Docs\"}],"
            "\"folders\":[{\"id\":\"10\",\"name\":\"A\",\"modifiedTime\":\"mA\",\"folders\":["
            "  {\"id\":\"11\",\"name\":\"B\",\"folders\":["
            "    {\"id\":\"12\",\"name\":\"C\",\"files\":[" + fileJson(102, "c.txt", 3) + "," + fileJson(103, "d.txt", 4) + "]}"
            "  ],\"files\":[" + fileJson(101, "b.txt", 2) + "]}"
            "],\"files\":[" + fileJson(100, "a.txt", 1) + "]},"
            "{\"id\":\"20\",\"name\":\"Second\"}],"
            "\"files\":[" + fileJson(1, "root.txt", 18446744073709551615ULL) + "],"
            "\"tenantName\":\"Acme renamed\"");

        CJsonSaxHierarchyParser parser;
        testsupport::MessageCapture capture;
        QVERIFY(parser.parse(doc));
        QCOMPARE(parser.state(), CJsonSaxHierarchyParser::OUTSIDE);
        QCOMPARE(capture.lines(QtDebugMsg, "CJsonSaxHierarchyParser::parse: done"),
                 QStringList{"CJsonSaxHierarchyParser::parse: done, folders: 4 , files:  5"});

        const brindlex::Hierarchy h = parser.hierarchy();
        QCOMPARE(dump(h), QString("500 libSic t1 Acme renamed chain[1<-0 TENANT/ Acme acme #0, 500<-1 LIBRARY/ Docs  #0] "
                                  "files[1 root.txt 18446744073709551615] folders[10 A  files[100 a.txt 1] folders["
                                  "11 B  files[101 b.txt 2] folders[12 C  files[102 c.txt 3, 103 d.txt 4] folders[]]], "
                                  "20 Second  files[] folders[]]"));
        const brindlex::File &d = h.folders[0].folders[0].folders[0].files[1];
        QCOMPARE(d.state, QString("s103"));
        QCOMPARE(d.createdTime, QString("2020-01-02T03:04:05Z"));
        QCOMPARE(d.modifiedTime, QString("2020-02-03T04:05:06Z"));
        QCOMPARE(d.contentHash, QString("h103"));
    }

    void emptyArraysReturnToTheEnclosingObject()
    {
        const QByteArray doc = wrap("\"chain\":[],\"folders\":[],\"state\":\"afterFolders\",\"files\":[],"
                                    "\"tenantId\":\"afterFiles\",\"folders\":[{\"id\":\"7\",\"folders\":[],"
                                    "\"name\":\"inner\",\"files\":[],\"modifiedTime\":\"m\"}]");
        CJsonSaxHierarchyParser parser;
        QVERIFY(parser.parse(doc));
        const brindlex::Hierarchy h = parser.hierarchy();
        QCOMPARE(h.state, QString("afterFolders"));
        QCOMPARE(h.tenantId, QString("afterFiles"));
        QVERIFY(h.chain.isEmpty() && h.files.isEmpty());
        QCOMPARE(h.folders.size(), 1);
        QCOMPARE(h.folders[0].name, QString("inner"));
        QCOMPARE(h.folders[0].modifiedTime, QString("m"));
    }

    void fileMembers_data()
    {
        QTest::addColumn<QByteArray>("members");
        QTest::addColumn<quint64>("id");
        QTest::addColumn<quint64>("fileSize");
        QTest::addColumn<QString>("name");

        QTest::newRow("string fileSize ignored") << QByteArray("\"id\":\"12\",\"fileSize\":\"12\"") << quint64(12) << quint64(0) << "";
        QTest::newRow("numeric id ignored") << QByteArray("\"id\":12,\"fileSize\":5") << quint64(0) << quint64(5) << "";
        QTest::newRow("negative fileSize ignored") << QByteArray("\"fileSize\":-3") << quint64(0) << quint64(0) << "";
        QTest::newRow("unknown scalars skipped")
            << QByteArray("\"extra\":null,\"flag\":true,\"count\":7,\"name\":\"x\",\"ratio\":0.5") << quint64(0) << quint64(0) << "x";
        QTest::newRow("unicode name") << QByteArray("\"name\":\"\\u00e4\xc3\xb6\\ud83d\\ude00\"") << quint64(0) << quint64(0)
                                      << QString::fromUtf8("\xc3\xa4\xc3\xb6\xf0\x9f\x98\x80");
        // A file is read with its white space squeezed, but never inside a string.
        QTest::newRow("white space between members")
            << QByteArray("  \"id\"  :\n\n  \"12\" ,\t\r\n \"fileSize\"   : 5   ") << quint64(12) << quint64(5) << "";
        QTest::newRow("blanks and a quote inside a name")
            << QByteArray("\"name\":\"two  spaces\\\" and   a quote\" ,  \"fileSize\" : 2") << quint64(0) << quint64(2)
            << "two  spaces\" and   a quote";
        QTest::newRow("escaped backslash ends the name")
            << QByteArray("\"name\":\"back\\\\\"   ,   \"fileSize\":  3") << quint64(0) << quint64(3) << "back\\";
    }

    void fileMembers()
    {
        QFETCH(QByteArray, members);
        QFETCH(quint64, id);
        QFETCH(quint64, fileSize);
        QFETCH(QString, name);
        const QByteArray doc = wrap("\"files\":[{" + members + "}]") + QByteArray(4096, ' ');
        QTemporaryFile file;
        QVERIFY(file.open() && file.write(doc) == doc.size() && file.flush());
        for (bool fromFile : {false, true}) {
            CJsonSaxHierarchyParser parser;
            QVERIFY(fromFile ? parser.parseFile(file.fileName()) : parser.parse(doc));
            const brindlex::Hierarchy h = parser.hierarchy();
            QCOMPARE(h.files.size(), 1);
            QCOMPARE(h.files[0].id, id);
            QCOMPARE(h.files[0].fileSize, fileSize);
            QCOMPARE(h.files[0].name, name);
        }
    }

    void rejectedDocuments_data()
    {
        QTest::addColumn<QByteArray>("doc");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("line");

        const QByteArray good = wrap("\"folders\":[{\"id\":\"1\",\"files\":[" + fileJson(2, "x", 1) + "]}]");
        const int warning = QtWarningMsg;
        const int critical = QtCriticalMsg;
        QTest::newRow("truncated") << good.left(good.size() - 10) << critical
                                   << "CJsonSaxHierarchyParser::parse_error: position:";
        QTest::newRow("trailing garbage") << good + " x" << critical << "CJsonSaxHierarchyParser::parse_error: position:";
        QTest::newRow("error object in root")
            << QByteArray("{\"error\":{\"code\":5},\"result\":{}}") << warning
            << "CJsonSaxHierarchyParser::start_object: parse error, state: IN_OBJECT_ROOT";
        QTest::newRow("object in result")
            << QByteArray("{\"result\":{\"meta\":{},\"hierarchy\":{}}}") << warning
            << "CJsonSaxHierarchyParser::start_object: parse error, state: IN_OBJECT_RESULT";
        QTest::newRow("object nested in a file")
            << wrap("\"files\":[{\"id\":\"1\",\"owner\":{\"id\":\"2\"}}]") << warning
            << "CJsonSaxHierarchyParser::start_object: parse error, state: IN_OBJECT_FILE";
        QTest::newRow("object nested in a folder")
            << wrap("\"folders\":[{\"id\":\"1\",\"acl\":{}}]") << warning
            << "CJsonSaxHierarchyParser::start_object: parse error, state: IN_OBJECT_FOLDER";
        QTest::newRow("array as root") << QByteArray("[]") << warning
                                       << "CJsonSaxHierarchyParser::start_array: parse error, state: OUTSIDE";
        QTest::newRow("hierarchy as array") << QByteArray("{\"result\":{\"hierarchy\":[]}}") << warning
                                            << "CJsonSaxHierarchyParser::start_array: parse error, state: IN_OBJECT_RESULT";
        QTest::newRow("array in a file")
            << wrap("\"files\":[{\"tags\":[]}]") << warning << "CJsonSaxHierarchyParser::start_array: parse error, state: IN_OBJECT_FILE";
        QTest::newRow("array in an array")
            << wrap("\"files\":[[]]") << warning << "CJsonSaxHierarchyParser::start_array: parse error, state: IN_ARRAY_FILES";
        QTest::newRow("chain in a folder")
            << wrap("\"folders\":[{\"chain\":[]}]") << warning << "CJsonSaxHierarchyParser::start_array: parse error, state: IN_OBJECT_FOLDER";
    }

    void rejectedDocuments()
    {
        QFETCH(QByteArray, doc);
        QFETCH(int, type);
        QFETCH(QString, line);
        CJsonSaxHierarchyParser parser;
        testsupport::MessageCapture capture;
        QVERIFY(!parser.parse(doc));
        QCOMPARE(capture.count(QtMsgType(type), line), 1);
        QCOMPARE(capture.count(QtDebugMsg, "CJsonSaxHierarchyParser::parse: done"), 0);
    }

    void documentsWithoutHierarchyAreEmpty_data()
    {
        QTest::addColumn<QByteArray>("doc");
        QTest::newRow("empty object") << QByteArray("{}");
        QTest::newRow("result without hierarchy") << QByteArray("{\"result\":{\"wat\":\"x\"}}");
        QTest::newRow("scalar root") << QByteArray("42");
    }

    void documentsWithoutHierarchyAreEmpty()
    {
        QFETCH(QByteArray, doc);
        CJsonSaxHierarchyParser parser;
        testsupport::MessageCapture capture;
        QVERIFY(parser.parse(doc));
        QCOMPARE(parser.hierarchy(), brindlex::Hierarchy());
        QCOMPARE(capture.count(QtWarningMsg, "CJsonSaxHierarchyParser::parse: no \"hierarchy\" object"), 1);
    }

    void progressLines_data()
    {
        QTest::addColumn<QByteArray>("doc");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QStringList>("expected");
        const QString folders = "CJsonSaxHierarchyParser::start_object: foldersCount:";
        const QString files = "CJsonSaxHierarchyParser::start_object: filesCount:";
        QTest::newRow("999 folders") << flatFolders(999) << folders << QStringList();
        QTest::newRow("1000 folders") << flatFolders(1000) << folders << QStringList{folders + " 1000"};
        QTest::newRow("2999 folders") << flatFolders(2999) << folders << QStringList{folders + " 1000", folders + " 2000"};
        QTest::newRow("50000 files") << flatFiles(50000) << files << QStringList{files + " 50000"};
    }

    void progressLines()
    {
        QFETCH(QByteArray, doc);
        QFETCH(QString, prefix);
        QFETCH(QStringList, expected);
        CJsonSaxHierarchyParser parser;
        testsupport::MessageCapture capture;
        QVERIFY(parser.parse(doc));
        QCOMPARE(capture.lines(QtDebugMsg, prefix), expected);
    }

    void parserIsReusable()
    {
        CJsonSaxHierarchyParser parser;
        QVERIFY(parser.parse(wrap("\"id\":\"1\",\"state\":\"first\",\"chain\":[{\"id\":\"9\"}],\"folders\":[{\"id\":\"2\","
                                  "\"files\":[" + fileJson(3, "a", 1) + "]}],\"files\":[" + fileJson(4, "b", 2) + "]")));
        const brindlex::Hierarchy first = parser.hierarchy();

        // A failed parse in between must leave nothing behind for the next one.
        QVERIFY(!parser.parse(wrap("\"folders\":[{\"id\":\"5\",\"folders\":[{\"id\":\"6\"")));
        QVERIFY(parser.parse(wrap("\"id\":\"7\",\"files\":[" + fileJson(8, "c", 3) + "]")));
        const brindlex::Hierarchy second = parser.hierarchy();
        QCOMPARE(second.id, quint64(7));
        QVERIFY(second.state.isEmpty());
        QVERIFY(second.chain.isEmpty());
        QVERIFY(second.folders.isEmpty());
        QCOMPARE(second.files.size(), 1);
        QCOMPARE(second.files[0].id, quint64(8));

        // The copy handed out earlier is untouched by the later parses.
        QCOMPARE(first.state, QString("first"));
        QCOMPARE(first.folders.size(), 1);
        QCOMPARE(first.folders[0].files.size(), 1);
        QCOMPARE(first.folders[0].files[0].id, quint64(3));
        QCOMPARE(first.files[0].id, quint64(4));
    }

    void manySiblingsKeepTheirPlace()
    {
        // Enough siblings to make every list grow several times while a deeper folder is open.
        QByteArray folders;
        for (int i = 0; i < 300; ++i) {
            folders += QByteArray(i ? "," : "") + "{\"id\":\"" + QByteArray::number(i) + "\",\"folders\":[{\"id\":\""
                + QByteArray::number(10000 + i) + "\",\"files\":[" + fileJson(20000 + i, "deep", quint64(i)) + "]}],"
                "\"name\":\"after" + QByteArray::number(i) + "\"}";
        }
        CJsonSaxHierarchyParser parser;
        QVERIFY(parser.parse(wrap("\"folders\":[" + folders + "]")));
        const brindlex::Hierarchy h = parser.hierarchy();
        QCOMPARE(h.folders.size(), 300);
        for (int i = 0; i < 300; ++i) {
            const brindlex::Folder &folder = h.folders[i];
            QCOMPARE(folder.id, quint64(i));
            QCOMPARE(folder.name, QString("after%1").arg(i));
            QCOMPARE(folder.folders.size(), 1);
            QCOMPARE(folder.folders[0].files[0].fileSize, quint64(i));
        }
    }
};

BXSYNC_TEST_MAIN(TestJsonSaxHierarchyParser)
#include "tst_jsonsaxhierarchyparser.moc"
