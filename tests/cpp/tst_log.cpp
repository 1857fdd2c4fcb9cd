#include "Log.h"
#include "TestMain.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

QStringList logLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(file.readAll());
    if (!text.isEmpty() && !text.endsWith("\r\n"))
        return {"<missing CR LF at the end>"};
    QStringList lines = text.split("\r\n");
    lines.removeLast();
    return lines;
}

void makeFileOfSize(const QString &path, qint64 bytes, const QByteArray &marker = QByteArray())
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(marker);
    QVERIFY(file.resize(bytes));
}

QByteArray firstBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(4) : QByteArray();
}

} // namespace

class TestLog : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        CLog::init(m_dir->path());
        m_logPath = m_dir->path() + "/bxsync_log.txt";
    }

    void cleanup() { CLog::close(); }

    void lineFormatAndTags()
    {
        CLog::setDebug(true);
        qDebug() << "CApplication::initialize";
        qWarning() << "CFoo::bar: refused";
        qCritical() << "CFoo::baz: failed:" << 3;
        qInfo() << "CFoo::info";
        CLog::setDebug(false);
        qDebug() << "CFoo::hidden";
        qWarning() << "CFoo::shown";
        CLog::close();
        qWarning() << "CFoo::afterClose";
        const QStringList lines = logLines(m_logPath);
        // The thread id is right-aligned in at least seven characters.
        QVERIFY(lines.value(0).indexOf(')') >= 8);
        QCOMPARE(QStringList(lines).replaceInStrings(QRegularExpression(R"(^\( *0x[0-9a-f]+\) \d{4}-\d\d-\d\d \d\d:\d\d:\d\d: )"), ""),
                 (QStringList{"CLog::setDebug: true", "CApplication::initialize", "[WARN] CFoo::bar: refused",
                              "[ERROR] CFoo::baz: failed: 3", "CFoo::info", "[WARN] CLog::setDebug: false", "[WARN] CFoo::shown"}));
    }

    void watcherNoiseIsDemoted_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("demoted");
        QTest::newRow("access denied") << "watcher::api::Watcher::CWatcherWatchRequest::finished: error: \"api.exceptions.AccessDenied\"" << true;
        QTest::newRow("cancelled") << "watcher::api::Watcher::CWatcherWatchRequest::finished: error: \"dc.ErrorOperationCancelled\"" << true;
        QTest::newRow("other watcher error") << "CWatcherWatchRequest::finished: errorName" << false;
        QTest::newRow("other class") << "CServerWatcher::finished: error: \"api.exceptions.AccessDenied\"" << false;
        QTest::newRow("no error text") << "Watcher::CWatcherWatchRequest::finished: ok" << false;
    }

    void watcherNoiseIsDemoted()
    {
        QFETCH(QString, text);
        QFETCH(bool, demoted);
        QCOMPARE(CLogImpl::isDemotedMessage(QtCriticalMsg, text), demoted);
        QVERIFY(!CLogImpl::isDemotedMessage(QtWarningMsg, text));

        CLog::setDebug(true);
        qCritical().noquote() << text;
        CLog::setDebug(false);
        qCritical().noquote() << text;
        const QStringList lines = logLines(m_logPath).filter(text);
        // Demoted: written untagged once, dropped with debug off.
        QCOMPARE(lines.size(), demoted ? 1 : 2);
        QCOMPARE(lines.first().contains("[ERROR] "), !demoted);
    }

    void rotationThreshold_data()
    {
        QTest::addColumn<int>("maxKiB");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<bool>("rotates");
        QTest::newRow("exactly the maximum") << 32768 << qint64(32768) * 1024 << false;
        QTest::newRow("a little over, same KiB") << 32768 << qint64(32768) * 1024 + 1023 << false;
        QTest::newRow("one KiB over") << 32768 << qint64(32769) * 1024 << true;
        QTest::newRow("zero: never") << 0 << qint64(10) * 1024 * 1024 << false;
    }

    void rotationThreshold()
    {
        QFETCH(int, maxKiB);
        QFETCH(qint64, bytes);
        QFETCH(bool, rotates);
        CLog::setDebug(false);
        CLog::setMaxLogSize(maxKiB);
        makeFileOfSize(m_logPath, bytes);
        CLog::rotateLogs();
        QCOMPARE(QFile::exists(m_dir->path() + "/bxsync_log.1.txt"), rotates);
        QCOMPARE(QFileInfo(m_logPath).size() == bytes, !rotates);
    }

    void rotationKeepsThreeGenerations()
    {
        CLog::setDebug(true);
        CLog::setMaxLogSize(1);
        for (int generation = 0; generation < 4; ++generation) {
            makeFileOfSize(m_logPath, 4096, "gen" + QByteArray::number(generation));
            CLog::rotateLogs();
        }
        QDir dir(m_dir->path());
        QCOMPARE(dir.entryList({"bxsync_log*"}, QDir::Files, QDir::Name),
                 (QStringList{"bxsync_log.1.txt", "bxsync_log.2.txt", "bxsync_log.txt"}));
        QCOMPARE(firstBytes(m_dir->path() + "/bxsync_log.1.txt"), QByteArray("gen3"));
        QCOMPARE(firstBytes(m_dir->path() + "/bxsync_log.2.txt"), QByteArray("gen2"));
        // The new current file starts with the rotation's closing line.
        QVERIFY(logLines(m_logPath).join('\n').contains("CLogImpl::rotateLogs: done"));
    }

    void payloadsAreCapped_data()
    {
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("logged");
        QTest::newRow("short") << "abc" << "abc";
        QTest::newRow("exactly the cap") << QString(8, 'x') << QString(8, 'x');
        QTest::newRow("one over") << QString(9, 'x') << QString(8, 'x') + "... (9 bytes)";
        // Bytes, not characters: each umlaut is two.
        QTest::newRow("multi-byte") << QString::fromUtf8("\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc")
                                    << QString::fromUtf8("\xc3\xbc\xc3\xbc\xc3\xbc\xc3\xbc... (10 bytes)");
    }

    void payloadsAreCapped()
    {
        QFETCH(QString, payload);
        QFETCH(QString, logged);
        QCOMPARE(CLog::capped(payload, 8), logged);
        QCOMPARE(CLog::capped(payload.toUtf8(), 8), logged);
    }

    void hugeMessagesAreCutAndRotateTheLogAtOnce()
    {
        CLog::setDebug(true);
        CLog::setMaxLogSize(64);
        const QString payload(30 * 1000 * 1000, 'p');
        for (int i = 0; i < 6; ++i)
            qDebug().noquote() << "CFoo::bar:" << payload;
        const QStringList lines = logLines(m_logPath);
        QVERIFY(!lines.isEmpty());
        QVERIFY2(lines.last().endsWith("... (30000011 bytes)"), qPrintable(lines.last().right(40)));
        QVERIFY(lines.last().size() < CLogImpl::maxMessageBytes + 100);
        // The fifth line of 16 KiB passes 64 KiB: rotated at that write, not at the next timer check.
        QVERIFY(QFile::exists(m_dir->path() + "/bxsync_log.1.txt"));
        QVERIFY(QFileInfo(m_logPath).size() < 64 * 1024);
    }

private:
    QScopedPointer<QTemporaryDir> m_dir;
    QString m_logPath;
};

BXSYNC_TEST_MAIN(TestLog)
#include "tst_log.moc"
