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
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
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
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
    }

    void defaultsAreWrittenWithAllSections()
    {
        CConfig config(m_dir->path());
        const QJsonObject root = readJson(config.filePath());
        QCOMPARE(root.keys(), (QStringList{"debug", "network", "proxy", "sync"}));
        QCOMPARE(root["debug"].toObject()["maxLogSize"].toInt(), 32768);
        QCOMPARE(root["sync"].toObject()["syncFolder"].toString(), QDir::homePath());
        QVERIFY(root["proxy"].toObject()["proxyPort"].isString());
        QVERIFY(!root["network"].toObject().contains("disableSslSessionResuming"));
        QVERIFY(!QFile::exists(config.filePath() + ".new"));
        QVERIFY(!QFile::exists(config.filePath() + ".old"));
    }

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

    void brokenFileIsReplacedByDefaults_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("truncated") << QByteArray("{\"debug\":{\"debugLogging\":fal");
        QTest::newRow("not an object") << QByteArray("[1,2,3]");
        QTest::newRow("empty") << QByteArray();
    }

    void brokenFileIsReplacedByDefaults()
    {
        QFETCH(QByteArray, content);
        const QString path = m_dir->path() + "/bxsync_cfg.json";
        writeText(path, content);
        CConfig config(m_dir->path());
        QCOMPARE(config.maxLogSize(), 32768);
        QCOMPARE(readJson(path)["debug"].toObject()["maxLogSize"].toInt(), 32768);
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
        QVERIFY(QFile::exists(path));
        QVERIFY(!QFile::exists(path + ".new"));
        QVERIFY(!QFile::exists(path + ".old"));
    }

    void syncFolderFixUps_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("expected");
        QTest::newRow("posix absolute") << "/home/ann/Sync" << "/home/ann/Sync";
        QTest::newRow("posix with colon") << "/home/ann/a:b" << "/home/ann/a:b";
        QTest::newRow("posix relative") << "Sync" << "Sync";
        QTest::newRow("posix with backslash") << "/home/ann/a\\b" << "/home/ann/a\\b";
        QTest::newRow("backslashes, no colon") << "C\\Users" << "C:/Users";
        QTest::newRow("no slash") << "C:Users" << "C:/Users";
        QTest::newRow("already fine") << "D:/Data/Sync" << "D:/Data/Sync";
        QTest::newRow("backslashes") << "C:\\Users\\ann" << "C:/Users/ann";
    }

    void syncFolderFixUps()
    {
        QFETCH(QString, stored);
        QFETCH(QString, expected);
        const QString path = m_dir->path() + "/bxsync_cfg.json";
        writeText(path, QJsonDocument(QJsonObject{{"sync", QJsonObject{{"syncFolder", stored}}}}).toJson());
        CConfig config(m_dir->path());
        QCOMPARE(config.syncFolder(), expected);
        QCOMPARE(readJson(path)["sync"].toObject()["syncFolder"].toString(), expected);
    }

    void instanceGuidRoundTripsOnlyWhenItIsAGuid_data()
    {
        QTest::addColumn<QString>("guid");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("plain") << "0b6e1d2c-1111-4222-8333-444455556666" << true;
        QTest::newRow("braces") << "{0B6E1D2C-1111-4222-8333-444455556666}" << true;
        QTest::newRow("empty") << "" << true;
        QTest::newRow("header injection") << "abc\r\nX-Injected: yes" << false;
        QTest::newRow("bare line feed") << "abc\nX-Injected" << false;
        QTest::newRow("blank") << "abc def" << false;
        QTest::newRow("non-ASCII") << QString::fromUtf8("gu\xc3\xafd") << false;
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
        const QByteArray before = [&] { QFile f(config.filePath()); f.open(QIODevice::ReadOnly); return f.readAll(); }();
        // A directory where the new copy should go makes the write fail.
        QVERIFY(QDir().mkpath(config.filePath() + ".new"));
        config.setInstanceGuid("changed");
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("CConfig::writeConfiguration: unable to open file:"));
        config.writeConfiguration();
        QFile after(config.filePath());
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), before);
    }

private:
    QScopedPointer<QTemporaryDir> m_dir;
};

BXSYNC_TEST_MAIN(TestConfig)
#include "tst_config.moc"
