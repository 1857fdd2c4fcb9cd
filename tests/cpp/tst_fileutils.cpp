#include "MessageCapture.h"
#include "TestMain.h"
#include "utils.h"
#include "utils_linux.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStorageInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

bool writeFile(const QString &path, const QByteArray &content = "data")
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Every entry below root, files with their content: shows what moved and what was replaced.
QStringList snapshot(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        const bool isFile = !it.fileInfo().isDir() && file.open(QIODevice::ReadOnly);
        entries << QDir(root).relativeFilePath(it.filePath()) + (isFile ? "=" + file.readAll() : "/");
    }
    entries.sort();
    return entries;
}

} // namespace

class TestFileUtils : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
    }

    void fileExistsNative_data()
    {
        QTest::addColumn<QString>("relativePath");
        QTest::addColumn<bool>("directory");
        QTest::addColumn<bool>("exactCase");
        QTest::addColumn<bool>("exists");
        QTest::newRow("file") << "File.txt" << false << false << true;
        QTest::newRow("file exact case") << "File.txt" << false << true << true;
        QTest::newRow("file other case") << "file.txt" << false << true << false;
        QTest::newRow("file asked as directory") << "File.txt" << true << false << false;
        QTest::newRow("directory") << "Dir" << true << true << true;
        QTest::newRow("directory asked as file") << "Dir" << false << false << false;
        QTest::newRow("file in directory") << "Dir/Inner.TXT" << false << true << true;
        QTest::newRow("missing") << "none" << false << false << false;
        QTest::newRow("trailing slash has no name") << "Dir/" << true << true << false;
        QTest::newRow("dangling link") << "dangling" << false << false << false;
        QTest::newRow("name without letters") << "123" << false << true << true;
        // A second spelling of the same file makes the check consult the listing.
        QTest::newRow("hard-linked spelling") << "Same.txt" << false << true << true;
    }

    void fileExistsNative()
    {
        QFETCH(QString, relativePath);
        QFETCH(bool, directory);
        QFETCH(bool, exactCase);
        QFETCH(bool, exists);
        const QString root = m_dir->path();
        QVERIFY(writeFile(root + "/File.txt"));
        QVERIFY(writeFile(root + "/123"));
        QVERIFY(QDir(root).mkdir("Dir"));
        QVERIFY(writeFile(root + "/Dir/Inner.TXT"));
        QVERIFY(QFile::link(root + "/nowhere", root + "/dangling"));
        QVERIFY(writeFile(root + "/Same.txt"));
        QCOMPARE(::link(QFile::encodeName(root + "/Same.txt").constData(), QFile::encodeName(root + "/sAME.TXT").constData()), 0);
        QCOMPARE(utils::fileExistsNative(root + "/" + relativePath, directory, exactCase), exists);
    }

    void getFileInfoListNative_data()
    {
        QTest::addColumn<int>("filters");
        QTest::addColumn<QStringList>("names");
        const int noDots = QDir::NoDotAndDotDot;
        QTest::newRow("files and dirs") << int(QDir::Files | QDir::Dirs | noDots)
                                        << QStringList{"d", "f", "linkToDir", "linkToFile"};
        QTest::newRow("with hidden") << int(QDir::Files | QDir::Dirs | QDir::Hidden | noDots)
                                     << QStringList{".hidden", ".hiddenDir", "d", "f", "linkToDir", "linkToFile"};
        QTest::newRow("files only") << int(QDir::Files | noDots) << QStringList{"f", "linkToFile"};
        QTest::newRow("dirs only") << int(QDir::Dirs | noDots) << QStringList{"d", "linkToDir"};
        QTest::newRow("dirs with dots") << int(QDir::Dirs) << QStringList{".", "..", "d", "linkToDir"};
        QTest::newRow("no dot") << int(QDir::Dirs | QDir::NoDot) << QStringList{"..", "d", "linkToDir"};
        QTest::newRow("no dot-dot") << int(QDir::Dirs | QDir::NoDotDot) << QStringList{".", "d", "linkToDir"};
        QTest::newRow("no symlinks") << int(QDir::Files | QDir::Dirs | QDir::NoSymLinks | noDots) << QStringList{"d", "f"};
        QTest::newRow("system entries") << int(QDir::Files | QDir::System | noDots)
                                        << QStringList{"f", "fifo", "linkToFile"};
    }

    void getFileInfoListNative()
    {
        QFETCH(int, filters);
        QFETCH(QStringList, names);
        const QString root = m_dir->path();
        QVERIFY(writeFile(root + "/f"));
        QVERIFY(writeFile(root + "/.hidden"));
        QVERIFY(QDir(root).mkdir("d"));
        QVERIFY(QDir(root).mkdir(".hiddenDir"));
        QVERIFY(QFile::link(root + "/f", root + "/linkToFile"));
        QVERIFY(QFile::link(root + "/d", root + "/linkToDir"));
        QVERIFY(QFile::link(root + "/nowhere", root + "/dangling"));
        QVERIFY(QFile::link(root + "/loop", root + "/loop"));
        QCOMPARE(::mkfifo(QFile::encodeName(root + "/fifo").constData(), 0600), 0);

        testsupport::MessageCapture capture;
        for (const QString &folder : {root, root + "/"}) {
            QStringList listed;
            for (const QFileInfo &info : utils::getFileInfoListNative(folder, QDir::Filters(filters))) {
                QCOMPARE(info.filePath(), root + "/" + info.fileName());
                QVERIFY(info.fileName() != "f" || info.size() == 4);
                listed << info.fileName();
            }
            listed.sort();
            QCOMPARE(listed, names);
        }
        QCOMPARE(capture.count(QtWarningMsg, "utils::"), 0); // unreachable links are skipped silently
    }

    void timesRoundTrip_data()
    {
        QTest::addColumn<QString>("afterwards");
        QTest::newRow("as set") << "";
        QTest::newRow("after renameFileNative") << "renameNative";
        QTest::newRow("creation time after in-place edit") << "edit";
        QTest::newRow("folder") << "folder";
    }

    void timesRoundTrip()
    {
        QFETCH(QString, afterwards);
        // Whole seconds are kept, and the fields count as given (callers pass UTC), as on other platforms.
        const QDateTime created(QDate(2001, 2, 3), QTime(4, 5, 6, 987), Qt::UTC);
        const QDateTime modified(QDate(2011, 12, 13), QTime(14, 15, 16, 500), Qt::OffsetFromUTC, 3600);
        const QDateTime modifiedStored(QDate(2011, 12, 13), QTime(14, 15, 16), Qt::UTC);
        QString path = m_dir->filePath("file.txt");
        QVERIFY(afterwards == "folder" ? QDir().mkpath(path) : writeFile(path));
        QVERIFY(utils::setTime(path, created, modified));

        if (afterwards == "renameNative") {
            QVERIFY(utils::renameFileNative(path, m_dir->filePath("renamed.txt")));
            path = m_dir->filePath("renamed.txt");
        } else if (afterwards == "edit") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            file.write("more");
        }

        QCOMPARE(utils::getCreatedTimeUtc(path), created.addMSecs(-987));
        if (afterwards == "edit")
            QVERIFY(utils::getModifiedTimeUtc(path) > modifiedStored);
        else
            QCOMPARE(utils::getModifiedTimeUtc(path), modifiedStored);
        QCOMPARE(utils::getCreatedTimeUtc(path).timeSpec(), Qt::UTC);
        QDateTime localCreated;
        QDateTime localModified;
        QVERIFY(utils::getTime(path, &localCreated, &localModified));
        QCOMPARE(localCreated.timeSpec(), Qt::LocalTime);
        QCOMPARE(localModified.toUTC(), utils::getModifiedTimeUtc(path));
    }

    void creationTimeFallsBackToBirthTime()
    {
        const QString path = m_dir->filePath("fresh.txt");
        const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-2);
        QVERIFY(writeFile(path));
        struct statx info = {};
        QCOMPARE(::statx(AT_FDCWD, QFile::encodeName(path).constData(), 0, STATX_BTIME, &info), 0);
        if (!(info.stx_mask & STATX_BTIME))
            QSKIP("this file system keeps no birth time");
        const QDateTime created = utils::getCreatedTimeUtc(path);
        QVERIFY(created >= before && created <= QDateTime::currentDateTimeUtc().addSecs(2));
    }

    void lockDetection_data()
    {
        QTest::addColumn<QString>("holder"); // a redirection a child applies to the file, or "self"
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("locked");
        QTest::newRow("nobody") << "" << "held.txt" << false;
        QTest::newRow("child appending") << "exec 3>>\"$0\"" << "held.txt" << true;
        QTest::newRow("child writing") << "exec 3<>\"$0\"" << "held.txt" << true;
        QTest::newRow("child reading") << "exec 3<\"$0\"" << "held.txt" << false;
        QTest::newRow("our own writer counts too") << "self" << "held.txt" << true;
        QTest::newRow("missing file") << "" << "missing" << false;
        QTest::newRow("a folder") << "" << "." << false;
    }

    void lockDetection()
    {
        QFETCH(QString, holder);
        QFETCH(QString, target);
        QFETCH(bool, locked);
        const QString path = m_dir->filePath(target);
        QVERIFY(writeFile(m_dir->filePath("held.txt")));
        QFile own(path);
        QProcess child; // applies the redirection to the file, then says it is in place
        if (holder == "self") {
            QVERIFY(own.open(QIODevice::WriteOnly));
        } else if (!holder.isEmpty()) {
            child.start("sh", {"-c", holder + "; echo ready; exec sleep 30", path});
            QVERIFY(child.waitForReadyRead(5000) && child.readAllStandardOutput().startsWith("ready"));
        }
        QCOMPARE(utils::isFileLocked(path), locked);
        if (holder != "self")
            QCOMPARE(utils::linuxfs::anyProcessHasOpenForWriting(path), locked);
        child.kill();
        child.waitForFinished();
    }

    // Each row runs through the native rename and through the fallback for kernels without it.
    void renameFileNative_data()
    {
        QTest::addColumn<bool>("fallback");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<bool>("renamed");
        for (const bool fallback : {false, true}) {
            const auto row = [fallback](const char *name) -> QTestData & {
                return QTest::addRow("%s%s", name, fallback ? ", fallback" : "") << fallback;
            };
            row("file to a free name") << "a.txt" << "new.txt" << true;
            row("file onto a file") << "a.txt" << "b.txt" << false;
            row("file onto a folder") << "a.txt" << "dir" << false;
            row("file into a folder") << "a.txt" << "dir/a.txt" << true;
            row("folder to a free name") << "dir" << "dir2" << true;
            row("folder onto an empty folder") << "dir" << "empty" << false;
            row("missing source") << "none" << "free" << false;
            row("case only, case-sensitive") << "a.txt" << "A.txt" << true;
        }
    }

    void renameFileNative()
    {
        QFETCH(bool, fallback);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(bool, renamed);
        QVERIFY(writeFile(m_dir->filePath("a.txt"), "A"));
        QVERIFY(writeFile(m_dir->filePath("b.txt"), "B"));
        QVERIFY(QDir(m_dir->path()).mkpath("dir") && QDir(m_dir->path()).mkdir("empty"));
        QVERIFY(writeFile(m_dir->filePath("dir/inside"), "I"));
        QStringList expected = snapshot(m_dir->path());
        if (renamed) // nothing else moves, nothing is replaced
            expected.replaceInStrings(QRegularExpression("^" + QRegularExpression::escape(from) + "(?=[/=])"), to).sort();
        testsupport::MessageCapture capture;
        int error = 0;
        const QString source = m_dir->filePath(from);
        const QString target = m_dir->filePath(to);
        QCOMPARE(fallback ? utils::linuxfs::renameWithoutReplaceFallback(source, target, &error)
                          : utils::renameFileNative(source, target),
                 renamed);
        QCOMPARE(snapshot(m_dir->path()), expected);
        if (fallback)
            QCOMPARE(error != 0, !renamed);
        else if (!renamed)
            QCOMPARE(capture.count(QtWarningMsg, "utils::renameFileNative: unable to rename"), 1);
        if (to == "b.txt")
            QVERIFY(fallback ? error == EEXIST : capture.lines(QtWarningMsg).value(0).contains("error: 17"));
    }

    void discFreeSpace()
    {
        const qint64 expected = QStorageInfo(m_dir->path()).bytesAvailable();
        // A download's folders may not exist yet; other programs write to the same disk meanwhile.
        for (const QString &path : {m_dir->path(), m_dir->filePath("not/yet/there/file.part")}) {
            const qint64 free = utils::getDiscFreeSpaceFromPath(path);
            QVERIFY2(free > 0 && qAbs(free - expected) < 256LL * 1024 * 1024,
                     qPrintable(QString("%1: %2 vs %3").arg(path).arg(free).arg(expected)));
        }
    }

    // Bad input gets one clear log line and a defined outcome.
    void badInput_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("path"); // "file" exists; "garbage" has a malformed creation time
        QTest::addColumn<QString>("message");
        QTest::newRow("listing an empty path") << "list" << "" << "utils::getFileInfoListNative: empty path!?";
        QTest::newRow("listing a missing folder") << "list" << "missing" << "utils::getFileInfoListNative: unable to list";
        QTest::newRow("setting times of a missing file") << "setTime" << "missing" << "utils::setTime: Unable to open";
        QTest::newRow("setting an invalid time") << "setInvalidTime" << "file" << "utils::setTime: invalid time for";
        QTest::newRow("creation time of a missing file") << "created" << "missing" << "utils::getTime: Unable to open";
        QTest::newRow("malformed creation time attribute")
            << "created" << "garbage" << "utils::getTime: ignoring malformed creation time attribute of";
        QTest::newRow("free space of an empty path") << "free" << "" << "utils::getDiscFreeSpaceFromPath: GetDiskFreeSpaceEx error:";
        QTest::newRow("attributes in a missing folder")
            << "attributes" << "missing/file" << "utils::updateFileAttributes: unable to read attrs for:";
    }

    void badInput()
    {
        QFETCH(QString, call);
        QFETCH(QString, path);
        QFETCH(QString, message);
        QVERIFY(writeFile(m_dir->filePath("file")));
        QVERIFY(writeFile(m_dir->filePath("garbage")));
        QCOMPARE(::setxattr(QFile::encodeName(m_dir->filePath("garbage")).constData(),
                            utils::linuxfs::createdTimeAttribute, "yesterday", 9, 0),
                 0);
        const QString full = path.isEmpty() ? path : m_dir->filePath(path);
        const QDateTime time(QDate(2001, 2, 3), QTime(4, 5, 6), Qt::UTC);
        testsupport::MessageCapture capture;
        if (call == "list")
            QVERIFY(utils::getFileInfoListNative(full, QDir::AllEntries).isEmpty());
        else if (call.startsWith("set"))
            QVERIFY(!utils::setTime(full, call == "setTime" ? time : QDateTime(), time));
        else if (call == "created")
            QVERIFY(path == "garbage" ? utils::getCreatedTimeUtc(full) != QDateTime::fromSecsSinceEpoch(0, Qt::UTC)
                                      : !utils::getCreatedTimeUtc(full).isValid());
        else if (call == "free")
            QCOMPARE(utils::getDiscFreeSpaceFromPath(full), qint64(-1));
        else
            utils::updateFileAttributes(full);
        QCOMPARE(capture.count(QtWarningMsg, message) + capture.count(QtCriticalMsg, message), 1);
    }

private:
    QScopedPointer<QTemporaryDir> m_dir;
};

BXSYNC_TEST_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
