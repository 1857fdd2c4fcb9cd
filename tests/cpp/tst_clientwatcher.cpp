#include "ClientWatcher.h"
#include "FakeSyncEngine.h"
#include "LocalTreeTestSupport.h"
#include "TestMain.h"

#include <QSignalSpy>

using testdb::Fixture;
using Counts = QMap<QString, int>;

// The watcher with a stand-in engine, for what the end-to-end rows cannot set up: a tenant folder
// that is a link, and a file held open by its writer.
class TestClientWatcher : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { testdb::ensureConfiguration(); }

    void changesBeforeAndWhileWatching()
    {
        Fixture f;
        QTemporaryDir elsewhere;
        QVERIFY(QFile::link(elsewhere.path(), f.libraryPath("T")));
        const ItemId library = f.addLibrary("T/Lib");
        const QString root = f.libraryPath("T/Lib");
        localtree::build(f, library, root, {"A/", "A/f1=1", "A/f2=2"});
        testsupport::FakeSyncEngine engine(*f.db);
        QTRY_VERIFY(f.db->isSynchronized(library, false));
        localtree::run(root, {"mv A Renamed"});

        CClientWatcherV2 watcher(f.db, {});
        QSignalSpy finished(&watcher, &CClientWatcherV2::sanityCheckFinishedSignal);
        testdb::MessageCapture capture;
        watcher.sanityCheck();
        QTRY_COMPARE(finished.count(), 1);
        watcher.startWatcher();
        QTRY_VERIFY(capture.count(QtDebugMsg, "CNativeClientWatcher::run() - watching") == 1);
        localtree::run(root, {"write Docs/a=1"});
        QTRY_COMPARE_WITH_TIMEOUT(engine.counts, (Counts{{"folder moved", 1}, {"folder new", 1}, {"file new", 1}}), 20000);

        QFile file(root + "/open.log");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("first line\n");
        file.flush();
        QTRY_VERIFY_WITH_TIMEOUT(capture.count("file descriptor is in use") > 0, 20000);
        QCOMPARE(f.db->getClientIdByClientPath(file.fileName()), ItemId(0));
        file.close();
        const Counts expected{{"folder moved", 1}, {"folder new", 1}, {"file new", 2}};
        QTRY_COMPARE_WITH_TIMEOUT(engine.counts, expected, 20000);
        QTRY_VERIFY(f.db->isSynchronized(library, false));
        QCOMPARE(f.db->getFilesOfLibrary(library).size(), 4);
        for (const SyncFile::Ptr &file : f.db->getFilesOfLibrary(library))
            QVERIFY2(file->ParentClientId < file->ClientId, "a folder is recorded before its content");
        QCOMPARE(capture.count(QtCriticalMsg, ""), 0);
        watcher.stopWatcherSlot();
        QCOMPARE(engine.counts, expected);
    }
};

BXSYNC_TEST_MAIN(TestClientWatcher)
#include "tst_clientwatcher.moc"
