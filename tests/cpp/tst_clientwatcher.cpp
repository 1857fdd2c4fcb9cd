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

    void fileHeldOpenBelowALinkedTenantFolder()
    {
        Fixture f;
        QTemporaryDir elsewhere;
        QVERIFY(QFile::link(elsewhere.path(), f.libraryPath("T")));
        const ItemId library = f.addLibrary("T/Lib");
        const QString root = f.libraryPath("T/Lib");
        localtree::build(f, library, root, {"A/"});
        testsupport::FakeSyncEngine engine(*f.db);

        CClientWatcherV2 watcher(f.db, {});
        QSignalSpy finished(&watcher, &CClientWatcherV2::sanityCheckFinishedSignal);
        testdb::MessageCapture capture;
        watcher.sanityCheck();
        QTRY_COMPARE(finished.count(), 1);
        watcher.startWatcher();
        QTRY_VERIFY(capture.count(QtDebugMsg, "CNativeClientWatcher::run() - watching") == 1);

        QFile file(root + "/A/open.log");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("first line\n");
        file.flush();
        QTRY_VERIFY_WITH_TIMEOUT(capture.count("file descriptor is in use") > 0, 20000);
        QCOMPARE(f.db->getClientIdByClientPath(file.fileName()), ItemId(0));
        file.close();
        QTRY_COMPARE_WITH_TIMEOUT(engine.counts, (Counts{{"file new", 1}}), 20000);
        QCOMPARE(capture.count(QtCriticalMsg, ""), 0);
        watcher.stopWatcherSlot();
        QCOMPARE(engine.counts, (Counts{{"file new", 1}}));
    }
};

BXSYNC_TEST_MAIN(TestClientWatcher)
#include "tst_clientwatcher.moc"
