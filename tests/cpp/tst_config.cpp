#include "Config.h"
#include "SafeFileWriter.h"
#include "TestMain.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

namespace {

QJsonObject readJson(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

void writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

} // namespace

class TestConfig : public QObject
{
    Q_OBJECT
private slots:
    void init() { m_dir.reset(new QTemporaryDir); }

    void valuesSurviveAndMissingKeysAreAdded()
    {
        const QString path = m_dir->path() + "/bxsync_cfg.json";
        writeText(path, "{\"debug\":{\"debugLogging\":false,\"maxLogSize\":-5},\"network\":{\"uploadSpeedLimit\":512,\n"
                  "                           \"disableSslSessionResuming\":true,\"downloadSpeedLimit\":\"fast\"},\n"
                  "                           \"proxy\":{\"proxyPassword\":\"secret\",\"proxyPort\":8080}}");
        CConfig config(m_dir->path());
        QCOMPARE(config.debugLogging(), false);
        QCOMPARE(config.uploadSpeedLimit(), 512);
        QCOMPARE(config.downloadSpeedLimit(), 0); // wrong type keeps the default
        QCOMPARE(config.maxLogSize(), 32768);     // negative keeps the default
        QCOMPARE(config.proxyPort(), QString());  // a number is not the string the key wants
        QCOMPARE(config.disableSslSessionResuming(), true);
        const QJsonObject root = readJson(path);
        QCOMPARE(root["network"].toObject()["disableSslSessionResuming"].toBool(), true);
        QCOMPARE(root["sync"].toObject()["syncDisabled"].toBool(), false);
    }

    void interruptedReplacementIsRepaired()
    {
        const QString path = m_dir->path() + "/bxsync_cfg.json";
        // Only the backup survived: it becomes the file again, with its values.
        writeText(path + ".old", "{\"sync\":{\"syncFolder\":\"/srv/data/Sync\"}}");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("CSafeFileWriter::fixUnfinishedChanges: missing file .* restored from the backup copy"));
        {
            CConfig config(m_dir->path());
            QCOMPARE(config.syncFolder(), QString("/srv/data/Sync"));
        }
        QVERIFY(!QFile::exists(path + ".old"));

        // Only a half-written new copy: it cannot be trusted and goes.
        QVERIFY(QFile::remove(path));
        writeText(path + ".new", "{\"sync\":{\"syncFolder\":\"/half");
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("CSafeFileWriter::fixUnfinishedChanges: backup file for .* doesn't exists - there is no way hot to restore damaged file"));
        CConfig config(m_dir->path());
        QCOMPARE(config.syncFolder(), QDir::homePath());
        QVERIFY(!QFile::exists(path + ".new"));

        // The file and leftovers from a finished swap: the leftovers go, the file stays.
        writeText(path + ".new", "stale");
        writeText(path + ".old", "stale");
        CSafeFileWriter::fixUnfinishedChanges(path);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{"bxsync_cfg.json"});
    }

    // A missing file, or one that is broken as a whole, is replaced by the defaults. Every start
    // writes all sections back, and nothing else is left in the folder.
    void syncFolderIsReadAndRewritten_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        const auto stored = [](const QString &folder) {
            return QJsonDocument(QJsonObject{{"sync", QJsonObject{{"syncFolder", folder}}}}).toJson();
        };
        for (const char *folder : {"/home/ann/Sync", "/home/ann/a:b", "Sync", "/home/ann/a\\b", "D:/Data/Sync"})
            QTest::newRow(folder) << stored(folder) << QString(folder);
        QTest::newRow("backslashes, no colon") << stored("C\\Users") << "C:/Users";
        QTest::newRow("no slash") << stored("C:Users") << "C:/Users";
        QTest::newRow("backslashes") << stored("C:\\Users\\ann") << "C:/Users/ann";
        QTest::newRow("truncated") << QByteArray("{\"sync\":{\"syncFolder\":\"/a\"},\"debug\":{\"debugLogging\":fal") << QDir::homePath();
        QTest::newRow("not an object") << QByteArray("[1,2,3]") << QDir::homePath();
        QTest::newRow("empty") << QByteArray("") << QDir::homePath();
        QTest::newRow("no file") << QByteArray() << QDir::homePath();
    }

    void syncFolderIsReadAndRewritten()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        const QString path = m_dir->path() + "/bxsync_cfg.json";
        if (!content.isNull())
            writeText(path, content);
        CConfig config(m_dir->path());
        QCOMPARE(config.syncFolder(), expected);
        const QJsonObject written = readJson(path);
        QCOMPARE(written.keys(), (QStringList{"debug", "network", "proxy", "sync"}));
        QCOMPARE(written["sync"].toObject()["syncFolder"].toString(), expected);
        QCOMPARE(written["debug"].toObject()["maxLogSize"].toInt(), 32768);
        QVERIFY(written["proxy"].toObject()["proxyPort"].isString());
        QVERIFY(!written["network"].toObject().contains("disableSslSessionResuming"));
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList{"bxsync_cfg.json"});
    }

    void instanceGuidRoundTripsOnlyWhenItIsAGuid_data()
    {
        QTest::addColumn<QString>("guid");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("plain") << "0b6e1d2c-1111-4222-8333-444455556666" << true;
        QTest::newRow("braces") << "{0B6E1D2C-1111-4222-8333-444455556666}" << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("header injection") << "abc\r\nX-Injected: yes" << false;
        QTest::newRow("blank") << "abc def" << false;
        QTest::newRow("non-ASCII") << QString::fromUtf8("gu\xc3\xaf" "d") << false;
        QTest::newRow("65 characters") << QString(65, 'a') << false;
    }

    void instanceGuidRoundTripsOnlyWhenItIsAGuid()
    {
        QFETCH(QString, guid);
        QFETCH(bool, accepted);
        const QString kept = "1111-kept";
        {
            CConfig config(m_dir->path());
            QVERIFY(config.setInstanceGuid(kept));
            if (!accepted)
                QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^CConfig::setInstanceGuid: not a GUID, refused:"));
            QCOMPARE(config.setInstanceGuid(guid), accepted);
            config.writeConfiguration();
        }
        QCOMPARE(CConfig(m_dir->path()).instanceGuid(), accepted ? guid : kept);

        // A file edited by hand is read by the same rule, every start.
        const QString path = m_dir->path() + "/bxsync_cfg.json";
        writeText(path, QJsonDocument(QJsonObject{{"network", QJsonObject{{"instanceGuid", guid}}}}).toJson());
        if (!accepted)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^CConfig::readConfiguration: instanceGuid is not a GUID, dropped:"));
        CConfig config(m_dir->path());
        QCOMPARE(config.instanceGuid(), accepted ? guid : QString());
        QCOMPARE(readJson(path)["network"].toObject()["instanceGuid"].toString(), config.instanceGuid());
    }

    void failedWriteKeepsThePreviousFile()
    {
        CConfig config(m_dir->path());
        const QJsonObject before = readJson(config.filePath());
        // A directory where the new copy should go makes the write fail.
        QVERIFY(QDir().mkpath(config.filePath() + ".new"));
        config.setInstanceGuid("changed");
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("CConfig::writeConfiguration: unable to open file:"));
        config.writeConfiguration();
        QCOMPARE(readJson(config.filePath()), before);
    }

private:
    QScopedPointer<QTemporaryDir> m_dir;
};

BXSYNC_TEST_MAIN(TestConfig)
#include "tst_config.moc"
