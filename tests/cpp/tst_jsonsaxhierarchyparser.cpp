#include "JsonSaxHierarchyParser.h"
#include "MessageCapture.h"
#include "TestMain.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>

namespace {

// Test documents are written with single quotes, which none has inside a string.
QByteArray wrap(const QByteArray &members)
{
    return QByteArray("{'jsonrpc':'2.0','id':17,'result':{'wat':'w','changedId':'99','hierarchy':{" + members + "}}}").replace('\'', '"');
}

QByteArray fileJson(int id, const QByteArray &name)
{
    const QByteArray n = QByteArray::number(id);
    return "{'id':'" + n + "','state':'s" + n + "','name':'" + name + "','createdTime':'2020-01-02T03:04:05Z','modifiedTime':"
        "'2020-02-03T04:05:06.789Z','fileSize':" + QByteArray::number(id % 100 + 1) + ",'contentHash':'" + n.repeated(40).left(40) + "'}";
}

// The whole tree on one line: a record in the wrong list or with a wrong member shows at once.
QString dump(const QVector<brindlex::File> &files, const QVector<brindlex::Folder> &folders)
{
    const auto timeText = [](const brindlex::ServerTime &time) { return time.toDateTime().toString(Qt::ISODateWithMs); };
    QStringList parts;
    for (const brindlex::File &f : files)
        parts << QString("%1 %2 %3 %4 %5 %6 %7").arg(f.id).arg(f.name).arg(f.fileSize).arg(f.state.toString(),
                 f.contentHash.toString(), timeText(f.createdTime), timeText(f.modifiedTime));
    for (const brindlex::Folder &f : folders)
        parts << QString("%1 %2 %3 {%4}").arg(f.id).arg(f.name, timeText(f.modifiedTime), dump(f.files, f.folders));
    return parts.join(", ");
}

QString dump(const brindlex::Hierarchy &h)
{
    QStringList chain;
    for (const brindlex::ChainItem &c : h.chain)
        chain << QString("%1<-%2 %3/%4 %5 %6 %7").arg(c.id).arg(c.pid).arg(c.type, c.subType, c.name, c.dashifiedName).arg(c.pinIndex);
    return QString("%1 %2 %3 %4 [%5] {%6}").arg(h.id).arg(h.state, h.tenantId, h.tenantName, chain.join(", "),
                                                 dump(h.files, h.folders));
}

} // namespace

class TestJsonSaxHierarchyParser : public QObject
{
    Q_OBJECT
private slots:
    // Each tree as the streaming parser builds it, from memory and from a file, and as the
    // whole-document reader builds it where that one is more lenient (empty: the same).
    void documents_data()
    {
        QTest::addColumn<QByteArray>("doc");
        QTest::addColumn<QString>("tree");
        QTest::addColumn<QString>("wholeTree");
        QTest::addColumn<QString>("wholeWarning");
        QTest::addColumn<QStringList>("progress");
        const auto f = [](int id, const char *name) {
            return QString("%1 %2 %3 s%1 %4 2020-01-02T03:04:05.000Z 2020-02-03T04:05:06.789Z")
                .arg(id).arg(name).arg(id % 100 + 1).arg(QString::number(id).repeated(40).left(40));
        };
        // Files follow each inner "folders" array, so a wrong state after an array end would
        // drop them or put them in the wrong list.
        QTest::newRow("nested three deep") << wrap(
            "'id':'500','state':'libSic','tenantId':'t1','tenantName':'Acme','chain':[{'id':'1','pid':'0','type':'TENANT',"
            "'subType':'','name':'Acme','dashifiedName':'acme'},{'id':'500','pid':'1','type':'LIB','name':'Docs'}],'folders':["
            "{'id':'10','name':'A','modifiedTime':'2019-01-01T00:00:00Z','folders':[ {'id':'11','name':'B','folders':["
            "{'id':'12','name':'C','files':[" + fileJson(102, "c") + "," + fileJson(103, "d") + "]} ],'files':[" + fileJson(101, "b")
            + "]}],'files':[" + fileJson(100, "a") + "]},{'id':'20','name':'Second'}],'files':[" + fileJson(1, "r")
            + "],'tenantName':'Acme renamed'")
            << "500 libSic t1 Acme renamed [1<-0 TENANT/ Acme acme 0, 500<-1 LIB/ Docs  0] {" + f(1, "r")
                   + ", 10 A 2019-01-01T00:00:00.000Z {" + f(100, "a") + ", 11 B  {" + f(101, "b") + ", 12 C  {"
                   + f(102, "c") + ", " + f(103, "d") + "}}}, 20 Second  {}}" << QString() << QString() << QStringList();
        QTest::newRow("empty arrays return to the enclosing object")
            << wrap("'chain':[],'folders':[],'state':'afterFolders','files':[],'tenantId':'afterFiles',"
                    "'folders':[{'id':'7','folders':[],'name':'inner','files':[],'modifiedTime':'m'}]")
            << "0 afterFolders afterFiles  [] {7 inner  {}}" << QString() << QString() << QStringList();
        // Enough siblings to make every list grow several times while a deeper folder is open.
        QByteArray siblings;
        for (int i = 0; i < 300; ++i) {
            siblings += QByteArray(i ? "," : "") + "{'id':'" + QByteArray::number(i) + "','folders':[{'id':'"
                + QByteArray::number(1000 + i) + "','files':[" + fileJson(2000 + i, "deep") + "]}],'name':'after'}";
        }
        QTest::newRow("many siblings keep their place") << wrap("'folders':[" + siblings + "]") << QString() << QString()
                                                        << QString() << QStringList();
        const QString in = "0    [] {%1    }";
        const auto file = [&in](const char *name, const QByteArray &members, const char *tree, const char *wholeTree = "") {
            QTest::newRow(name) << wrap("'files':[" + members + "]") << in.arg(QString::fromUtf8(tree))
                                << (*wholeTree ? in.arg(wholeTree) : QString()) << QString() << QStringList();
        };
        file("string fileSize ignored", "{'id':'12','fileSize':'12'}", "12  0", "12  12");
        file("numeric id ignored", "{'id':12.9,'fileSize':5}", "0  5", "12  5");
        file("negative fileSize ignored", "{'fileSize':-3}", "0  0");
        file("largest fileSize", "{'fileSize':18446744073709551615}", "0  18446744073709551615", "0  0");
        file("unknown scalars skipped", "{'extra':null,'flag':true,'count':7,'name':'x','ratio':0.5}", "0 x 0");
        file("unicode name", "{'name':'\\u00e4ö\\ud83d\\ude00'}", "0 \xc3\xa4\xc3\xb6\xf0\x9f\x98\x80 0");
        // A file is read with its white space squeezed, but never inside a string.
        file("white space between members", "{  'id'  :\n\n  '12' ,\t\r\n 'fileSize'   : 5   }", "12  5");
        file("blanks and a quote inside a name", "{'name':'two  spaces\\' and   a quote' , 'fileSize' : 2}",
             "0 two  spaces\" and   a quote 2");
        file("escaped backslash ends the name", "{'name':'back\\\\'   ,   'fileSize':  3}", "0 back\\ 3");
        // Numbers where the format has strings, and a list of the wrong shape: the whole-document reader is lenient.
        QTest::newRow("numeric hierarchy and chain members, files no list")
            << wrap("'id':500,'chain':[{'id':1,'pid':2,'pinIndex':4}],'files':7") << "0    [0<-0 /   0] {}"
            << "500    [1<-2 /   4] {}" << "brindlex::hierarchyFromJson: member is no array, skipped: files" << QStringList();
        QTest::newRow("scalar among files") << wrap("'files':[{'id':'1'},3,{'id':'2'}]") << in.arg("1  0    , 2  0")
                                            << QString() << "brindlex::hierarchyFromJson: entry is no object, skipped: files index: 1"
                                            << QStringList();
        const auto sideBySide = [](const char *list, int count) {
            return wrap("'" + QByteArray(list) + "':[" + QByteArray("{'id':'1'},").repeated(count).chopped(1) + "]");
        };
        const QString folders = "CJsonSaxHierarchyParser::start_object: foldersCount: ";
        QTest::newRow("2999 folders") << sideBySide("folders", 2999) << QString() << QString() << QString()
                                      << QStringList{folders + "1000", folders + "2000"};
        QTest::newRow("50000 files") << sideBySide("files", 50000) << QString() << QString() << QString()
                                     << QStringList{"CJsonSaxHierarchyParser::start_object: filesCount: 50000"};
    }

    void documents()
    {
        QFETCH(QByteArray, doc);
        QFETCH(QString, tree);
        QFETCH(QString, wholeTree);
        QFETCH(QString, wholeWarning);
        QFETCH(QStringList, progress);
        QTemporaryFile file;
        QVERIFY(file.open() && file.write(doc + QByteArray(4096, ' ')) == doc.size() + 4096 && file.flush());
        CJsonSaxHierarchyParser parser, fromFile;
        testsupport::MessageCapture capture;
        QVERIFY(parser.parse(doc) && fromFile.parseFile(file.fileName()));
        QCOMPARE(capture.count(QtDebugMsg, "CJsonSaxHierarchyParser::parse: done"), 2);
        QCOMPARE(capture.lines(QtDebugMsg, "CJsonSaxHierarchyParser::start_object:"), progress + progress);
        if (!tree.isEmpty())
            QCOMPARE(dump(parser.hierarchy()), tree);
        QVERIFY(fromFile.hierarchy() == parser.hierarchy());
        const QJsonObject result = QJsonDocument::fromJson(doc).object().value("result").toObject();
        int skipped = -1;
        const brindlex::Hierarchy whole = brindlex::hierarchyFromJson(result.value("hierarchy").toObject(), &skipped);
        QCOMPARE(dump(whole), wholeTree.isEmpty() ? dump(parser.hierarchy()) : wholeTree);
        QCOMPARE(capture.lines(QtWarningMsg), wholeWarning.isEmpty() ? QStringList() : QStringList{wholeWarning});
        QCOMPARE(skipped, wholeWarning.isEmpty() ? 0 : 1);
    }

    // Rejected documents, and accepted ones without a hierarchy, with the one line that says so.
    void outcomes_data()
    {
        QTest::addColumn<QByteArray>("doc");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("line");
        const QByteArray good = wrap("'folders':[{'id':'1','files':[" + fileJson(2, "x") + "]}]");
        const QString error = "CJsonSaxHierarchyParser::parse_error: position:";
        const QString object = "CJsonSaxHierarchyParser::start_object: parse error, state: ";
        const QString array = "CJsonSaxHierarchyParser::start_array: parse error, state: ";
        const QString empty = "CJsonSaxHierarchyParser::parse: no \"hierarchy\" object";
        const auto row = [](const char *name, const QByteArray &doc, bool parsed, QtMsgType type, const QString &line) {
            QTest::newRow(name) << QByteArray(doc).replace('\'', '"') << parsed << int(type) << line;
        };
        row("truncated", good.left(good.size() - 10), false, QtCriticalMsg, error);
        row("trailing garbage", good + " x", false, QtCriticalMsg, error);
        row("error object in root", "{'error':{'code':5},'result':{}}", false, QtWarningMsg, object + "IN_OBJECT_ROOT");
        row("object in result", "{'result':{'meta':{},'hierarchy':{}}}", false, QtWarningMsg, object + "IN_OBJECT_RESULT");
        row("object in a file", wrap("'files':[{'owner':{'id':'2'}}]"), false, QtWarningMsg, object + "IN_OBJECT_FILE");
        row("object in a folder", wrap("'folders':[{'acl':{}}]"), false, QtWarningMsg, object + "IN_OBJECT_FOLDER");
        row("array as root", "[]", false, QtWarningMsg, array + "OUTSIDE");
        row("hierarchy as array", "{'result':{'hierarchy':[]}}", false, QtWarningMsg, array + "IN_OBJECT_RESULT");
        row("array in an array", wrap("'files':[[]]"), false, QtWarningMsg, array + "IN_ARRAY_FILES");
        row("chain in a folder", wrap("'folders':[{'chain':[]}]"), false, QtWarningMsg, array + "IN_OBJECT_FOLDER");
        row("empty object", "{}", true, QtWarningMsg, empty);
        row("result without hierarchy", "{'result':{'wat':'x'}}", true, QtWarningMsg, empty);
        row("scalar root", "42", true, QtWarningMsg, empty);
    }

    void outcomes()
    {
        QFETCH(QByteArray, doc);
        QFETCH(bool, parsed);
        QFETCH(int, type);
        QFETCH(QString, line);
        CJsonSaxHierarchyParser parser;
        testsupport::MessageCapture capture;
        QCOMPARE(parser.parse(doc), parsed);
        QCOMPARE(capture.count(QtMsgType(type), line), 1);
        QCOMPARE(capture.count(QtDebugMsg, "CJsonSaxHierarchyParser::parse: done"), parsed ? 1 : 0);
        if (parsed)
            QCOMPARE(parser.hierarchy(), brindlex::Hierarchy());
    }

    void parserIsReusable()
    {
        CJsonSaxHierarchyParser parser;
        QVERIFY(parser.parse(wrap("'id':'1','state':'first','chain':[{'id':'9'}],'folders':[{'id':'2','files':[{'id':'3'}]}],"
                                  "'files':[{'id':'4'}]")));
        const brindlex::Hierarchy first = parser.hierarchy();
        // A failed parse in between must leave nothing behind for the next one.
        QVERIFY(!parser.parse(wrap("'folders':[{'id':'5','folders':[{'id':'6'")));
        QVERIFY(parser.parse(wrap("'id':'7','files':[{'id':'8'}]")));
        QCOMPARE(dump(parser.hierarchy()), QString("7    [] {8  0    }"));
        // The copy handed out earlier is untouched by the later parses.
        QCOMPARE(dump(first), QString("1 first   [9<-0 /   0] {4  0    , 2   {3  0    }}"));
    }
};

BXSYNC_TEST_MAIN(TestJsonSaxHierarchyParser)
#include "tst_jsonsaxhierarchyparser.moc"
