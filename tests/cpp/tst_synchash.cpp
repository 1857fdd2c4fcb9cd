#include "AppState.h"
#include "MessageCapture.h"
#include "SyncHash.h"
#include "TestMain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

class TestSyncHash : public QObject
{
    Q_OBJECT
private slots:
    void init() { m_dir.reset(new QTemporaryDir); }
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
        // A pattern that repeats every 251 bytes, so a block read at a wrong offset changes the digest.
        QByteArray content(int(size), Qt::Uninitialized);
        for (int i = 0; i < content.size(); ++i)
            content[i] = char((i * 7) % 251);
        QCOMPARE(writeFile(content), size);
        testsupport::MessageCapture capture;
        QCOMPARE(CSyncHash::calculateByFilePath(m_dir->filePath("file.bin")),
                 QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex()));
        QCOMPARE(capture.count(QtWarningMsg, "CSyncHash::"), 0);
        // A hash that takes no measurable time has no statistic worth a line.
        QCOMPARE(capture.count(QtDebugMsg, "CSyncHash::calculateByFilePath: statistic:"), 0);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<QString>("line");
        QTest::newRow("missing file") << "missing" << "CSyncHash::calculateByFilePath: file does not exists:";
        QTest::newRow("folder") << "folder" << "CSyncHash::calculateByFilePath: file open error:";
        QTest::newRow("dangling link") << "link" << "CSyncHash::calculateByFilePath: file does not exists:";
        QTest::newRow("empty path") << "" << "CSyncHash::calculateByFilePath: file does not exists:";
        QTest::newRow("shutting down") << "file.bin"
                                       << "CSyncHash::calculateByFilePath: file hash calculation was canceled by quit signal:";
    }

    void failures()
    {
        QFETCH(QString, what);
        QFETCH(QString, line);
        const QString path = what.isEmpty() ? QString() : m_dir->filePath(what);
        if (what == "folder")
            QVERIFY(QDir().mkpath(path));
        if (what == "link")
            QVERIFY(QFile::link(m_dir->filePath("nowhere"), path));
        if (what == "file.bin") {
            QCOMPARE(writeFile("content"), 7);
            appstate::setShuttingDown(true);
        }
        testsupport::MessageCapture capture;
        QCOMPARE(CSyncHash::calculateByFilePath(path), QString());
        QCOMPARE(capture.count(what == "file.bin" ? QtDebugMsg : QtWarningMsg, line + " \"" + path + "\""), 1);
    }

private:
    qint64 writeFile(const QByteArray &content)
    {
        QFile file(m_dir->filePath("file.bin"));
        return file.open(QIODevice::WriteOnly) ? file.write(content) : -1;
    }

    QScopedPointer<QTemporaryDir> m_dir;
};

BXSYNC_TEST_MAIN(TestSyncHash)
#include "tst_synchash.moc"
