#include "MessageCapture.h"
#include "NativeEventFilter.h"
#include "StoreFolderShell.h"
#include "TestMain.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

QString readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QStringLiteral("<unreadable>");
}

void writeAll(const QString &path, const QString &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text.toUtf8());
}

struct WakeUpCounter : utils::IApplicationEventListener
{
    void handleSystemWakeUp() override { ++wakeUps; }
    int wakeUps = 0;
};

} // namespace

class TestStoreFolderShell : public QObject
{
    Q_OBJECT
private slots:
    void withBookmark_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        const QString line = "file:///home/u/Brindlex%20-%20Acme Brindlex - Acme\n";
        QTest::newRow("no file yet") << "" << line;
        QTest::newRow("other bookmarks kept") << "file:///home/u/Music\nsftp://host/x Host\n"
                                              << "file:///home/u/Music\nsftp://host/x Host\n" + line;
        QTest::newRow("last line without newline") << "file:///tmp" << "file:///tmp\n" + line;
        QTest::newRow("already there, own label") << "file:///home/u/Brindlex%20-%20Acme Work\n"
                                                  << "file:///home/u/Brindlex%20-%20Acme Work\n";
        QTest::newRow("already there, no label") << "file:///home/u/Brindlex%20-%20Acme\n"
                                                 << "file:///home/u/Brindlex%20-%20Acme\n";
        QTest::newRow("a longer path is another folder") << "file:///home/u/Brindlex%20-%20Acme%20(2)\n"
                                                         << "file:///home/u/Brindlex%20-%20Acme%20(2)\n" + line;
    }
    void withBookmark()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        QCOMPARE(bookmarks::withBookmark(before, "file:///home/u/Brindlex%20-%20Acme", "Brindlex - Acme"), after);
    }

    // Added once across runs; a bookmarks file that cannot be written is left alone with a warning.
    void storeFolderLink_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("added once") << "plain";
        QTest::newRow("bookmarks is a folder") << "folder";
        QTest::newRow("dangling link") << "dangling";
        QTest::newRow("store folder missing") << "missing";
        QTest::newRow("link into a dotfiles folder") << "link";
    }
    void storeFolderLink()
    {
        QFETCH(QString, kind);
        QTemporaryDir home;
        qputenv("XDG_CONFIG_HOME", home.filePath(".config").toUtf8());
        const QString file = utils::bookmarksFilePath();
        const QString dotfile = home.filePath("dotfiles/bookmarks");
        QString folder = home.filePath("Brindlex - Acme");
        QDir().mkpath(folder);
        for (const QString &path : {file, dotfile})
            writeAll(path, "file:///srv Srv\n");
        if (kind != "plain")
            QVERIFY(QFile::remove(file));
        if (kind == "folder")
            QVERIFY(QDir().mkpath(file));
        if (kind == "dangling")
            QVERIFY(QFile::link(home.filePath("gone"), file));
        if (kind == "missing")
            folder = home.filePath("not there");
        if (kind == "link")
            QVERIFY(QFile::link(dotfile, file));
        testsupport::MessageCapture capture;
        for (int run = 0; run < 3; ++run)
            utils::createStoreFolderLink(folder, "Brindlex - Acme");
        const QString added = "file:///srv Srv\n" + QString::fromLatin1(QUrl::fromLocalFile(folder).toEncoded()) + " Brindlex - Acme\n";
        if (kind == "plain" || kind == "link") {
            QCOMPARE(readAll(home.filePath(".config/gtk-3.0/bookmarks")), added);
            QCOMPARE(QFileInfo(file).isSymLink(), kind == "link"); // the link stays a link
            return;
        }
        QCOMPARE(capture.count(QtWarningMsg, "utils::createStoreFolderLink: "), 3);
        QCOMPARE(QFileInfo(file).isDir(), kind == "folder");
        QCOMPARE(QFileInfo(file).isSymLink(), kind == "dangling");
        QVERIFY(!QFileInfo::exists(home.filePath("gone")));
    }

    // Waking from sleep reaches the engine once, from logind's signal (driven here without a bus) and
    // from the native resume message; nothing is lost while no listener is set.
    void wakeUpReachesTheListenerOnce()
    {
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bxsync-test-bus");
        testsupport::MessageCapture capture;
        utils::CSystemNotificationReceiver receiver;
        QCOMPARE(capture.count(QtWarningMsg, "utils::subscribeToSleepNotifications: no system D-Bus"), 1);
        receiver.handlePrepareForSleep(false);
        utils::CNativeEventFilter filter;
        utils::NativeWindowMessage resume;
        resume.message = utils::kWmPowerBroadcast;
        resume.wParam = utils::kPbtApmResumeAutomatic;
        long result = 0;
        QVERIFY(!filter.nativeEventFilter("windows_generic_MSG", &resume, &result));
        QCOMPARE(capture.count(QtDebugMsg, "CSystemNotificationReceiver::handlePrepareForSleep: applicationEventListener is not set"), 1);
        QCOMPARE(capture.count(QtDebugMsg, "CNativeEventFilter::nativeEventFilter: applicationEventListener is not set"), 1);

        WakeUpCounter listener;
        receiver.setApplicationEventListener(&listener);
        filter.setApplicationEventListener(&listener);
        receiver.handlePrepareForSleep(true);
        utils::NativeWindowMessage suspend = resume;
        suspend.wParam = 0x4; // PBT_APMSUSPEND
        QVERIFY(!filter.nativeEventFilter("windows_generic_MSG", &suspend, &result));
        QVERIFY(!filter.nativeEventFilter("xcb_generic_event_t", &resume, &result));
        QCOMPARE(listener.wakeUps, 0);
        receiver.handlePrepareForSleep(false);
        QCOMPARE(listener.wakeUps, 1);
        QVERIFY(filter.nativeEventFilter("windows_generic_MSG", &resume, &result));
        QCOMPARE(listener.wakeUps, 2);
        QCOMPARE(result, 1L);
    }
};

BXSYNC_TEST_MAIN(TestStoreFolderShell)
#include "tst_storefoldershell.moc"
