#include "MessageCapture.h"
#include "TestMain.h"
#include "utils.h"
#include "utils_linux.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStorageInfo>

#include <memory>
#include <vector>

#include <cerrno>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

bool writeFile(const QString &path, const QByteArray &content = "data")
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QStringList sortedNames(const QFileInfoList &list)
{
    QStringList names;
    for (const QFileInfo &info : list)
        names << info.fileName();
    names.sort();
    return names;
}

QDateTime utc(const char *iso)
{
    return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODateWithMs).toUTC();
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

    void cleanup()
    {
        for (const auto &child : m_children) {
            child->kill();
            child->waitForFinished(5000);
        }
        m_children.clear();
    }

    // --- existence --------------------------------------------------------------------------

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

    void exactCaseOnCaseInsensitiveMount()
    {
        // Needs a kernel with casefolding for tmpfs and the right to mount.
        const QString mountPoint = m_dir->filePath("ci");
        QVERIFY(QDir().mkpath(mountPoint));
        if (::mount("tmpfs", QFile::encodeName(mountPoint).constData(), "tmpfs", 0, "casefold") != 0)
            QSKIP("no case-insensitive tmpfs on this machine");
        struct Unmount {
            QString path;
            ~Unmount() { ::umount2(QFile::encodeName(path).constData(), MNT_DETACH); }
        } unmount{mountPoint};
        const QString folder = mountPoint + "/folder";
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QProcess::execute("chattr", {"+F", folder}) == 0);
        QVERIFY(writeFile(folder + "/File.txt"));
        QVERIFY(utils::fileExistsNative(folder + "/file.txt", false, false));
        QVERIFY(!utils::fileExistsNative(folder + "/file.txt", false, true));
        QVERIFY(utils::fileExistsNative(folder + "/File.txt", false, true));
        QVERIFY(utils::renameFileNative(folder + "/File.txt", folder + "/file.txt"));
        QVERIFY(utils::fileExistsNative(folder + "/file.txt", false, true));
    }

    // --- listing ----------------------------------------------------------------------------

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
        const QFileInfoList list = utils::getFileInfoListNative(root, QDir::Filters(filters));
        QCOMPARE(sortedNames(list), names);
        QCOMPARE(capture.count(QtWarningMsg, "utils::"), 0); // unreachable links are skipped silently
    }

    void listedPathsJoinWithOneSlash()
    {
        QVERIFY(writeFile(m_dir->filePath("f")));
        const QFileInfoList plain = utils::getFileInfoListNative(m_dir->path(), QDir::Files);
        const QFileInfoList slashed = utils::getFileInfoListNative(m_dir->path() + "/", QDir::Files);
        QCOMPARE(plain.size(), 1);
        QCOMPARE(slashed.size(), 1);
        QCOMPARE(plain[0].filePath(), m_dir->path() + "/f");
        QCOMPARE(slashed[0].filePath(), m_dir->path() + "/f");
        QCOMPARE(plain[0].size(), qint64(4));
    }

    void listingFailures_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("warning");
        QTest::newRow("empty path") << "" << "utils::getFileInfoListNative: empty path!?";
        QTest::newRow("missing folder") << "missing" << "utils::getFileInfoListNative: unable to list";
        QTest::newRow("a file") << "file" << "utils::getFileInfoListNative: unable to list";
    }

    void listingFailures()
    {
        QFETCH(QString, path);
        QFETCH(QString, warning);
        QVERIFY(writeFile(m_dir->filePath("file")));
        testsupport::MessageCapture capture;
        QVERIFY(utils::getFileInfoListNative(path.isEmpty() ? path : m_dir->filePath(path), QDir::AllEntries).isEmpty());
        QCOMPARE(capture.count(QtWarningMsg, warning), 1);
    }

    // --- times ------------------------------------------------------------------------------

    void timesRoundTrip_data()
    {
        QTest::addColumn<QString>("afterwards");
        QTest::newRow("as set") << "";
        QTest::newRow("after renameFileNative") << "renameNative";
        QTest::newRow("after QFile::rename") << "renameQt";
        QTest::newRow("after moving to another folder") << "move";
        QTest::newRow("creation time after in-place edit") << "edit";
        QTest::newRow("folder") << "folder";
    }

    void timesRoundTrip()
    {
        QFETCH(QString, afterwards);
        const QDateTime created = utc("2001-02-03T04:05:06Z");
        const QDateTime modified = utc("2011-12-13T14:15:16Z");
        QString path = m_dir->filePath("file.txt");
        QVERIFY(afterwards == "folder" ? QDir().mkpath(path) : writeFile(path));
        QVERIFY(utils::setTime(path, created, modified));

        if (afterwards == "renameNative") {
            QVERIFY(utils::renameFileNative(path, m_dir->filePath("renamed.txt")));
            path = m_dir->filePath("renamed.txt");
        } else if (afterwards == "renameQt") {
            QVERIFY(QFile::rename(path, m_dir->filePath("renamed.txt")));
            path = m_dir->filePath("renamed.txt");
        } else if (afterwards == "move") {
            QVERIFY(QDir(m_dir->path()).mkdir("sub"));
            QVERIFY(utils::renameFileNative(path, m_dir->filePath("sub/file.txt")));
            path = m_dir->filePath("sub/file.txt");
        } else if (afterwards == "edit") {
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            file.write("more");
        }

        QCOMPARE(utils::getCreatedTimeUtc(path), created);
        if (afterwards == "edit")
            QVERIFY(utils::getModifiedTimeUtc(path) > modified);
        else
            QCOMPARE(utils::getModifiedTimeUtc(path), modified);
        QCOMPARE(utils::getCreatedTimeUtc(path).timeSpec(), Qt::UTC);
    }

    void setTimeKeepsWholeSecondsAndTheFieldsAsGiven()
    {
        const QString path = m_dir->filePath("file.txt");
        QVERIFY(writeFile(path));
        const QDateTime created(QDate(2019, 5, 6), QTime(7, 8, 9, 987), Qt::UTC);
        // The fields count, as the other platforms take them: callers pass UTC.
        const QDateTime modified(QDate(2019, 6, 7), QTime(8, 9, 10, 500), Qt::OffsetFromUTC, 3600);
        QVERIFY(utils::setTime(path, created, modified));
        QCOMPARE(utils::getCreatedTimeUtc(path), QDateTime(QDate(2019, 5, 6), QTime(7, 8, 9), Qt::UTC));
        QCOMPARE(utils::getModifiedTimeUtc(path), QDateTime(QDate(2019, 6, 7), QTime(8, 9, 10), Qt::UTC));

        QDateTime localCreated;
        QDateTime localModified;
        QVERIFY(utils::getTime(path, &localCreated, &localModified));
        QCOMPARE(localCreated.timeSpec(), Qt::LocalTime);
        QCOMPARE(localModified.toUTC(), QDateTime(QDate(2019, 6, 7), QTime(8, 9, 10), Qt::UTC));
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
        QVERIFY(created.isValid());
        QVERIFY(created >= before && created <= QDateTime::currentDateTimeUtc().addSecs(2));
    }

    void malformedCreationAttributeIsIgnored()
    {
        const QString path = m_dir->filePath("file.txt");
        QVERIFY(writeFile(path));
        const QByteArray garbage = "yesterday";
        QCOMPARE(::setxattr(QFile::encodeName(path).constData(), utils::linuxfs::createdTimeAttribute, garbage.constData(),
                            size_t(garbage.size()), 0),
                 0);
        testsupport::MessageCapture capture;
        const QDateTime created = utils::getCreatedTimeUtc(path);
        QCOMPARE(capture.count(QtWarningMsg, "utils::getTime: ignoring malformed creation time attribute of"), 1);
        QVERIFY(created != QDateTime::fromSecsSinceEpoch(0, Qt::UTC));
    }

    void timeFailures()
    {
        const QString missing = m_dir->filePath("missing");
        testsupport::MessageCapture capture;
        QVERIFY(!utils::setTime(missing, utc("2001-02-03T04:05:06Z"), utc("2001-02-03T04:05:06Z")));
        QCOMPARE(capture.count(QtWarningMsg, "utils::setTime: Unable to open"), 1);
        QVERIFY(!utils::getCreatedTimeUtc(missing).isValid());
        QVERIFY(!utils::getModifiedTimeUtc(missing).isValid());
        QCOMPARE(capture.count(QtWarningMsg, "utils::getTime: Unable to open"), 2);

        const QString path = m_dir->filePath("file.txt");
        QVERIFY(writeFile(path));
        QVERIFY(!utils::setTime(path, QDateTime(), utc("2001-02-03T04:05:06Z")));
        QCOMPARE(capture.count(QtWarningMsg, "utils::setTime: invalid time for"), 1);
    }

    // --- locks ------------------------------------------------------------------------------

    void lockDetection_data()
    {
        QTest::addColumn<QString>("holder");
        QTest::addColumn<bool>("locked");
        QTest::newRow("nobody") << "" << false;
        QTest::newRow("child appending") << "exec 3>>\"$0\"" << true;
        QTest::newRow("child writing") << "exec 3<>\"$0\"" << true;
        QTest::newRow("child reading") << "exec 3<\"$0\"" << false;
    }

    void lockDetection()
    {
        QFETCH(QString, holder);
        QFETCH(bool, locked);
        const QString path = m_dir->filePath("held.txt");
        QVERIFY(writeFile(path));
        if (!holder.isEmpty())
            QVERIFY(startHolder(holder, path));

        QCOMPARE(utils::isFileLocked(path), locked);
        QCOMPARE(utils::linuxfs::anyProcessHasOpenForWriting(path), locked);

        cleanup();
        QCOMPARE(utils::isFileLocked(path), false);
        QCOMPARE(utils::linuxfs::anyProcessHasOpenForWriting(path), false);
    }

    void lockProbeEdgeCases()
    {
        const QString path = m_dir->filePath("mine.txt");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(utils::isFileLocked(path)); // our own writer counts too
        file.close();
        QVERIFY(!utils::isFileLocked(path));
        QVERIFY(!utils::isFileLocked(m_dir->filePath("missing")));
        QVERIFY(!utils::isFileLocked(m_dir->path()));
    }

    // --- renames ----------------------------------------------------------------------------

    void renameFileNative_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<bool>("renamed");
        QTest::newRow("file to a free name") << "a.txt" << "new.txt" << true;
        QTest::newRow("file onto a file") << "a.txt" << "b.txt" << false;
        QTest::newRow("file onto a folder") << "a.txt" << "dir" << false;
        QTest::newRow("file into a folder") << "a.txt" << "dir/a.txt" << true;
        QTest::newRow("folder to a free name") << "dir" << "dir2" << true;
        QTest::newRow("folder onto an empty folder") << "dir" << "empty" << false;
        QTest::newRow("missing source") << "none" << "free" << false;
        QTest::newRow("case only, case-sensitive") << "a.txt" << "A.txt" << true;
    }

    void renameFileNative()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(bool, renamed);
        prepareRenameTree();
        testsupport::MessageCapture capture;
        QCOMPARE(utils::renameFileNative(m_dir->filePath(from), m_dir->filePath(to)), renamed);
        verifyRenameOutcome(from, to, renamed);
        if (!renamed)
            QCOMPARE(capture.count(QtWarningMsg, "utils::renameFileNative: unable to rename"), 1);
        if (from == "a.txt" && to == "b.txt") {
            QVERIFY(capture.lines(QtWarningMsg).value(0).contains("error: 17"));
        }
    }

    void renameFallback_data() { renameFileNative_data(); }

    void renameFallback()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(bool, renamed);
        prepareRenameTree();
        int error = 0;
        QCOMPARE(utils::linuxfs::renameWithoutReplaceFallback(m_dir->filePath(from), m_dir->filePath(to), &error), renamed);
        verifyRenameOutcome(from, to, renamed);
        if (!renamed)
            QVERIFY(error != 0);
        if (from == "a.txt" && to == "b.txt")
            QCOMPARE(error, EEXIST);
    }

    // --- volume and attributes --------------------------------------------------------------

    void discFreeSpace_data()
    {
        QTest::addColumn<QString>("relativePath");
        QTest::newRow("existing folder") << "";
        QTest::newRow("existing file") << "file";
        QTest::newRow("not yet created folders") << "not/yet/there/file.part";
    }

    void discFreeSpace()
    {
        QFETCH(QString, relativePath);
        QVERIFY(writeFile(m_dir->filePath("file")));
        const qint64 free = utils::getDiscFreeSpaceFromPath(relativePath.isEmpty() ? m_dir->path() : m_dir->filePath(relativePath));
        const qint64 expected = QStorageInfo(m_dir->path()).bytesAvailable();
        QVERIFY(free > 0);
        // Other programs write to the same disk meanwhile.
        QVERIFY2(qAbs(free - expected) < 256LL * 1024 * 1024, qPrintable(QString("%1 vs %2").arg(free).arg(expected)));
    }

    void discFreeSpaceOfEmptyPath()
    {
        testsupport::MessageCapture capture;
        QCOMPARE(utils::getDiscFreeSpaceFromPath(QString()), qint64(-1));
        QCOMPARE(capture.count(QtCriticalMsg, "utils::getDiscFreeSpaceFromPath: GetDiskFreeSpaceEx error:"), 1);
    }

    void updateFileAttributes()
    {
        const QString path = m_dir->filePath("file");
        QVERIFY(writeFile(path));
        testsupport::MessageCapture capture;
        utils::updateFileAttributes(path);
        QCOMPARE(capture.count(QtWarningMsg, "utils::"), 0);
        QCOMPARE(capture.count(QtDebugMsg, "utils::updateFileAttributes:"), 1);
        QCOMPARE(readFile(path), QByteArray("data"));

        utils::updateFileAttributes(m_dir->filePath("missing/file"));
        QCOMPARE(capture.count(QtWarningMsg, "utils::updateFileAttributes: unable to read attrs for:"), 1);
    }

private:
    // Starts sh with the redirection in holder applied to path, and waits until it is in place.
    bool startHolder(const QString &holder, const QString &path)
    {
        auto child = std::make_unique<QProcess>();
        child->start("sh", {"-c", holder + "; echo ready; exec sleep 30", path});
        if (!child->waitForStarted(5000) || !child->waitForReadyRead(5000))
            return false;
        const bool ready = child->readAllStandardOutput().startsWith("ready");
        m_children.push_back(std::move(child));
        return ready;
    }

    void prepareRenameTree()
    {
        QVERIFY(writeFile(m_dir->filePath("a.txt"), "A"));
        QVERIFY(writeFile(m_dir->filePath("b.txt"), "B"));
        QVERIFY(QDir(m_dir->path()).mkdir("dir"));
        QVERIFY(writeFile(m_dir->filePath("dir/inside"), "I"));
        QVERIFY(QDir(m_dir->path()).mkdir("empty"));
    }

    void verifyRenameOutcome(const QString &from, const QString &to, bool renamed)
    {
        const QString source = m_dir->filePath(from);
        const QString target = m_dir->filePath(to);
        if (renamed) {
            QVERIFY(!QFileInfo::exists(source));
            if (from == "a.txt")
                QCOMPARE(readFile(target), QByteArray("A"));
            else
                QCOMPARE(readFile(target + "/inside"), QByteArray("I"));
        } else {
            // Nothing moved and nothing was replaced.
            QCOMPARE(readFile(m_dir->filePath("a.txt")), QByteArray("A"));
            QCOMPARE(readFile(m_dir->filePath("b.txt")), QByteArray("B"));
            QCOMPARE(readFile(m_dir->filePath("dir/inside")), QByteArray("I"));
            QVERIFY(QDir(m_dir->filePath("empty")).isEmpty());
        }
    }

    QScopedPointer<QTemporaryDir> m_dir;
    std::vector<std::unique_ptr<QProcess>> m_children;
};

BXSYNC_TEST_MAIN(TestFileUtils)
#include "tst_fileutils.moc"
