#include "AppState.h"
#include "MessageCapture.h"
#include "SyncHash.h"
#include "TestMain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

namespace {

// A pattern that repeats every 251 bytes, so a block read at a wrong offset changes the digest.
QByteArray patterned(qint64 size)
{
    QByteArray data(int(size), Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char((i * 7) % 251);
    return data;
}

} // namespace

class TestSyncHash : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
    }

    void cleanup() { appstate::setShuttingDown(false); }

    void contentHash_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::newRow("empty") << qint64(0);
        QTest::newRow("one byte") << qint64(1);
        QTest::newRow("one block minus one") << CSyncHash::blockSize - 1;
        QTest::newRow("exactly one block") << CSyncHash::blockSize;
        QTest::newRow("one block plus one") << CSyncHash::blockSize + 1;
        QTest::newRow("two and a half blocks") << CSyncHash::blockSize * 5 / 2;
    }

    void contentHash()
    {
        QFETCH(qint64, size);
        const QByteArray content = patterned(size);
        const QString path = m_dir->filePath("file.bin");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), size);
        file.close();

        testsupport::MessageCapture capture;
        const QString hash = CSyncHash::calculateByFilePath(path);
        QCOMPARE(hash, QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex()));
        QCOMPARE(capture.count(QtWarningMsg, "CSyncHash::"), 0);
        // A hash that takes no measurable time has no statistic worth a line.
        QCOMPARE(capture.count(QtDebugMsg, "CSyncHash::calculateByFilePath: statistic:"), 0);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("warning");
        QTest::newRow("missing file") << "missing" << "CSyncHash::calculateByFilePath: file does not exists:";
        QTest::newRow("folder") << "folder" << "CSyncHash::calculateByFilePath: file open error:";
        QTest::newRow("dangling link") << "dangling" << "CSyncHash::calculateByFilePath: file does not exists:";
        QTest::newRow("empty path") << "" << "CSyncHash::calculateByFilePath: file does not exists:";
    }

    void failures()
    {
        QFETCH(QString, what);
        QFETCH(QString, warning);
        QString path;
        if (what == "folder") {
            path = m_dir->filePath("folder");
            QVERIFY(QDir().mkpath(path));
        } else if (what == "dangling") {
            path = m_dir->filePath("link");
            QVERIFY(QFile::link(m_dir->filePath("nowhere"), path));
        } else if (!what.isEmpty()) {
            path = m_dir->filePath(what);
        }
        testsupport::MessageCapture capture;
        QCOMPARE(CSyncHash::calculateByFilePath(path), QString());
        QCOMPARE(capture.count(QtWarningMsg, warning), 1);
    }

    void shutdownCancels()
    {
        const QString path = m_dir->filePath("file.bin");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("content") == 7);
        file.close();
        appstate::setShuttingDown(true);
        testsupport::MessageCapture capture;
        QCOMPARE(CSyncHash::calculateByFilePath(path), QString());
        QCOMPARE(capture.lines(QtDebugMsg, "CSyncHash::calculateByFilePath: file hash calculation was canceled by quit signal:"),
                 QStringList{"CSyncHash::calculateByFilePath: file hash calculation was canceled by quit signal: \"" + path + "\""});
    }

private:
    QScopedPointer<QTemporaryDir> m_dir;
};

BXSYNC_TEST_MAIN(TestSyncHash)
#include "tst_synchash.moc"
