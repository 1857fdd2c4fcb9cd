#include "MimeText.h"
#include "TestMain.h"
#include "utils.h"

class TestLocalName : public QObject
{
    Q_OBJECT
private slots:
    void makeValidLocalName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");

        QTest::newRow("ordinary") << "Report 2020.docx" << "Report 2020.docx";
        QTest::newRow("colon and question mark") << "a:b?.txt" << "a_b_.txt";
        QTest::newRow("every invalid character") << "^/?<>\\:*|\"\n\tx" << "____________x";
        QTest::newRow("NUL") << QString("a") + QChar(0) + "b" << "a_b";
        QTest::newRow("trailing dots and blanks") << "name. . .  " << "name";
        QTest::newRow("trailing tab becomes _ first") << "name\t" << "name_";
        QTest::newRow("leading blanks kept") << "  lead" << "  lead";
        QTest::newRow("three dots") << "..." << "_";
        QTest::newRow("empty") << "" << "_";
        QTest::newRow("CON.txt") << "CON.txt" << "CON_.txt";
        QTest::newRow("nul with complete suffix") << "nul.tar.gz" << "nul_.tar.gz";
        QTest::newRow("Sync Issues") << "Sync Issues" << "Sync Issues_";
        QTest::newRow("lpt1.log") << "lpt1.log" << "lpt1_.log";
        QTest::newRow("com9") << "COM9" << "COM9_";
        QTest::newRow("lpt10 is no device") << "lpt10" << "lpt10";
        QTest::newRow("com0 is no device") << "com0" << "com0";
        QTest::newRow("reserved name inside") << "console.txt" << "console.txt";
        QTest::newRow("hidden name kept") << ".profile" << ".profile";
        QTest::newRow("a dot before a device name") << ".con" << ".con";

        const QString base300 = QString(300, 'a');
        QTest::newRow("300 characters .pdf") << base300 + ".pdf" << QString(246, 'a') + ".pdf";
        QTest::newRow("300 characters without dot") << base300 << QString(249, 'a');
        QTest::newRow("exactly 250 unchanged") << QString(246, 'b') + ".txt" << QString(246, 'b') + ".txt";
        QTest::newRow("251 characters") << QString(247, 'b') + ".txt" << QString(246, 'b') + ".txt";
        QTest::newRow("long complete suffix keeps the last suffix")
            << "base." + QString(260, 'x') + ".txt" << "base.txt";
        QTest::newRow("long last suffix") << "b." + QString(300, 'y') << QString(250, 'y');
        QTest::newRow("long hidden name") << "." + QString(300, 'z') << QString(250, 'z');

        // Linux counts bytes: 250 characters of CJK are 750 bytes of UTF-8.
        const QString cjk = QString::fromUtf8("\xe6\x96\x87");
        QTest::newRow("CJK fits 255 bytes") << cjk.repeated(300) + ".txt" << cjk.repeated(83) + ".txt";
        const QString emoji = QString::fromUtf8("\xf0\x9f\x98\x80");
        QTest::newRow("emoji never split") << emoji.repeated(200) << emoji.repeated(63);
    }

    void makeValidLocalName()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        const QString result = utils::makeValidLocalName(name);
        QCOMPARE(result, expected);
        QVERIFY(result.size() <= utils::maxLocalNameLength);
        QVERIFY(result.toUtf8().size() <= 255);
        QCOMPARE(utils::makeValidLocalName(result), result); // applying the rules twice changes nothing
    }

    // Names in the server's answers may come MIME-encoded.
    // warns: a UTF-8 word that cannot be decoded is left as it is, with a log line saying so.
    void decodeMimeText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("decoded");
        QTest::addColumn<bool>("warns");
        QTest::newRow("plain text untouched") << "report.pdf" << "report.pdf" << false;
        QTest::newRow("empty") << "" << "" << false;
        QTest::newRow("B word") << "=?utf-8?B?w6TDtsO8LnR4dA==?=" << QString::fromUtf8("äöü.txt") << false;
        QTest::newRow("Q keeps underscore") << "=?utf-8?Q?my_caf=C3=A9.txt?=" << QString::fromUtf8("my_café.txt") << false;
        QTest::newRow("Q lower-case hex and encoding") << "=?utf-8?q?caf=c3=a9?=" << QString::fromUtf8("café") << false;
        QTest::newRow("Q text starting with an escape") << "=?utf-8?Q?=C3=A9t=C3=A9?=" << QString::fromUtf8("été") << false;
        QTest::newRow("Q invalid pair becomes 0") << "=?utf-8?Q?a=ZZb?=" << QString::fromUtf8(QByteArray("a\0b", 3)) << false;
        QTest::newRow("Q escape cut short ends the text") << "=?utf-8?Q?ab=4?=" << "ab" << false;
        QTest::newRow("empty parts dropped") << "=?utf-8??B??w6k=?=" << QString::fromUtf8("é") << false;
        QTest::newRow("text around a word") << "a =?utf-8?B?w6k=?= b" << QString::fromUtf8("a é b") << false;
        QTest::newRow("blank between words kept") << "=?utf-8?B?w6Q=?= =?utf-8?B?w7Y=?=" << QString::fromUtf8("ä ö") << false;
        QTest::newRow("other charset: markers gone, text kept")
            << "=?iso-8859-1?Q?caf=E9.txt?=" << "iso-8859-1?Q?caf=E9.txt" << false;
        QTest::newRow("upper-case UTF-8 is another charset here") << "=?UTF-8?B?w6k=?=" << "UTF-8?B?w6k=" << false;
        QTest::newRow("unknown encoding kept") << "=?utf-8?X?abc?=" << "utf-8?X?abc" << true;
        QTest::newRow("too few parts") << "=?utf-8?B??=" << "utf-8?B?" << true;
        QTest::newRow("unclosed word: the rest is one piece, still decoded")
            << "name=?utf-8?B?w6k=" << QString::fromUtf8("nameé") << false;
        QTest::newRow("unclosed word: markers dropped") << "name=?abc?d" << "nameabc?d" << false;
        QTest::newRow("closing marker missing after a word")
            << "=?utf-8?B?w6k=?==?iso?Q?x" << QString::fromUtf8("é") + "iso?Q?x" << false;
    }

    void decodeMimeText()
    {
        QFETCH(QString, text);
        QFETCH(QString, decoded);
        QFETCH(bool, warns);
        if (warns)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^decodeMimeString: Unknown format: "));
        QCOMPARE(utils::decodeMimeText(text), decoded);
    }
};

BXSYNC_TEST_MAIN(TestLocalName)
#include "tst_localname.moc"
