#include "MimeText.h"
#include "TestMain.h"

class TestMimeText : public QObject
{
    Q_OBJECT
private slots:
    void decodeMimeText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("decoded");
        QTest::newRow("plain text untouched") << "report.pdf" << "report.pdf";
        QTest::newRow("empty") << "" << "";
        QTest::newRow("B word") << "=?utf-8?B?w6TDtsO8LnR4dA==?=" << QString::fromUtf8("äöü.txt");
        QTest::newRow("Q word") << "=?utf-8?Q?caf=C3=A9.txt?=" << QString::fromUtf8("café.txt");
        QTest::newRow("Q keeps underscore") << "=?utf-8?Q?my_caf=C3=A9.txt?=" << QString::fromUtf8("my_café.txt");
        QTest::newRow("Q lower-case hex and encoding") << "=?utf-8?q?caf=c3=a9?=" << QString::fromUtf8("café");
        QTest::newRow("Q text starting with an escape") << "=?utf-8?Q?=C3=A9t=C3=A9?=" << QString::fromUtf8("été");
        QTest::newRow("text around a word") << "a =?utf-8?B?w6k=?= b" << QString::fromUtf8("a é b");
        QTest::newRow("blank between words kept")
            << "=?utf-8?B?w6Q=?= =?utf-8?B?w7Y=?=" << QString::fromUtf8("ä ö");
        QTest::newRow("other charset: markers gone, text kept")
            << "=?iso-8859-1?Q?caf=E9.txt?=" << "iso-8859-1?Q?caf=E9.txt";
        QTest::newRow("upper-case UTF-8 is another charset here")
            << "=?UTF-8?B?w6k=?=" << "UTF-8?B?w6k=";
        QTest::newRow("unknown encoding kept") << "=?utf-8?X?abc?=" << "utf-8?X?abc";
        QTest::newRow("unclosed word: the rest is one piece, still decoded")
            << "name=?utf-8?B?w6k=" << QString::fromUtf8("nameé");
        QTest::newRow("unclosed word: markers dropped") << "name=?abc?d" << "nameabc?d";
        QTest::newRow("closing marker missing after a word")
            << "=?utf-8?B?w6k=?==?iso?Q?x" << QString::fromUtf8("é") + "iso?Q?x";
    }

    void decodeMimeText()
    {
        QFETCH(QString, text);
        QFETCH(QString, decoded);
        QCOMPARE(utils::decodeMimeText(text), decoded);
    }

    void decodeMimeString_data()
    {
        QTest::addColumn<QString>("piece");
        QTest::addColumn<QByteArray>("utf8");
        QTest::addColumn<bool>("warns");
        QTest::newRow("B") << "utf-8?B?w6TDtsO8LnR4dA==" << QByteArray("\xc3\xa4\xc3\xb6\xc3\xbc.txt") << false;
        QTest::newRow("charset in any case") << "Utf-8?b?w6k=" << QByteArray("\xc3\xa9") << false;
        QTest::newRow("Q invalid pair becomes 0") << "utf-8?Q?a=ZZb" << QByteArray("a\0b", 3) << false;
        QTest::newRow("Q escape cut short ends the text") << "utf-8?Q?ab=4" << QByteArray("ab") << false;
        QTest::newRow("Q lone equals ends the text") << "utf-8?Q?ab=" << QByteArray("ab") << false;
        QTest::newRow("too few parts") << "utf-8?B" << QByteArray("utf-8?B") << true;
        QTest::newRow("empty parts dropped") << "utf-8??B??w6k=" << QByteArray("\xc3\xa9") << false;
        QTest::newRow("other charset") << "latin1?Q?caf=E9" << QByteArray("latin1?Q?caf=E9") << true;
        QTest::newRow("other encoding") << "utf-8?U?abc" << QByteArray("utf-8?U?abc") << true;
    }

    void decodeMimeString()
    {
        QFETCH(QString, piece);
        QFETCH(QByteArray, utf8);
        QFETCH(bool, warns);
        if (warns)
            QTest::ignoreMessage(QtWarningMsg, qPrintable("decodeMimeString: Unknown format: \"" + piece + "\""));
        QCOMPARE(utils::decodeMimeString(piece), QString::fromUtf8(utf8));
    }
};

BXSYNC_TEST_MAIN(TestMimeText)
#include "tst_mimetext.moc"
