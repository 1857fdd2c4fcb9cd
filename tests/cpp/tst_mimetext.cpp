#include "MimeText.h"
#include "TestMain.h"

class TestMimeText : public QObject
{
    Q_OBJECT
private slots:
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

BXSYNC_TEST_MAIN(TestMimeText)
#include "tst_mimetext.moc"
