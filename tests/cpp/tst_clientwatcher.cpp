#include "ClientWatcher.h"
#include "FakeSyncEngine.h"
#include "LocalTreeTestSupport.h"
#include "TestMain.h"

#include <QSignalSpy>

using testdb::Fixture;

namespace {

using Counts = QMap<QString, int>;

} // namespace

class TestClientWatcher : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { testdb::ensureConfiguration(); }

    // Tree before, what the user does while the engine is stopped, then while it runs; what the
    // "server" received.
    void liveChanges_data()
    {
        QTest::addColumn<QString>("tenant");
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("whileStopped");
        QTest::addColumn<QStringList>("whileRunning");
        QTest::addColumn<Counts>("expected");
        QTest::addColumn<int>("files");

        QStringList thousand;
        for (int i = 0; i < 10; ++i)
            thousand << QString("many Top%1/Sub%2 %3").arg(i % 3).arg(i).arg(i < 9 ? 100 : 99);
        thousand << "write top=1" << "write .hidden=2" << "write Top0/.swp=3";
        QTest::newRow("1000 new files in a nested tree")
            << "T1" << QStringList() << QStringList() << thousand
            << Counts{{"file new", 1000}, {"folder new", 13}} << 1000;
        QTest::newRow("rm -rf of a folder with 200 files")
            << "T2" << QStringList{"A/"} << QStringList{"many A/B 200"} << QStringList{"rm A"}
            << Counts{{"file new", 200}, {"folder new", 1}, {"folder deleted", 1}} << 0;
        QTest::newRow("renamed folder with 500 files")
            << "T3" << QStringList() << QStringList{"many A 500"} << QStringList{"mv A Renamed"}
            << Counts{{"file new", 500}, {"folder new", 1}, {"folder moved", 1}} << 500;
        QTest::newRow("folder renamed while stopped")
            << "T4" << QStringList{"A/", "A/f1=1", "A/f2=2"} << QStringList{"mv A Renamed"} << QStringList()
            << Counts{{"folder moved", 1}} << 2;
        QTest::newRow("store folder reached through a link")
            << "T6@" << QStringList() << QStringList() << QStringList{"write Docs/a=1"}
            << Counts{{"file new", 1}, {"folder new", 1}} << 1;
    }

    void liveChanges()
    {
        QFETCH(QString, tenant);
        QFETCH(QStringList, before);
        QFETCH(QStringList, whileStopped);
        QFETCH(QStringList, whileRunning);
        QFETCH(Counts, expected);
        QFETCH(int, files);

        Fixture f;
        if (tenant.endsWith('@')) {
            tenant.chop(1);
            QVERIFY(QDir().mkpath(m_elsewhere.path() + "/" + tenant));
            QVERIFY(QFile::link(m_elsewhere.path() + "/" + tenant, f.libraryPath(tenant)));
        }
        const QString clientName = tenant + "/Lib";
        const ItemId library = f.addLibrary(clientName);
        const QString root = f.libraryPath(clientName);
        localtree::build(f, library, root, before);
        testsupport::FakeSyncEngine engine(*f.db);
        QTRY_VERIFY(f.db->isSynchronized(library, false));
        localtree::run(root, whileStopped);

        CClientWatcherV2 watcher(f.db, {});
        QSignalSpy finished(&watcher, &CClientWatcherV2::sanityCheckFinishedSignal);
        testdb::MessageCapture capture;
        watcher.sanityCheck();
        QTRY_COMPARE(finished.count(), 1);
        watcher.startWatcher();
        QTRY_VERIFY(capture.count(QtDebugMsg, "CNativeClientWatcher::run() - watching") == 1);
        localtree::run(root, whileRunning);

        QTRY_COMPARE_WITH_TIMEOUT(engine.counts, expected, 60000);
        QTRY_VERIFY(f.db->isSynchronized(library, false));
        QCOMPARE(int(f.db->getFilesOfLibrary(library).size()), files);
        for (const SyncFile::Ptr &file : f.db->getFilesOfLibrary(library))
            QVERIFY2(file->ParentClientId < file->ClientId, "a folder is recorded before its content");
        QCOMPARE(capture.count(QtCriticalMsg, ""), 0);
        watcher.stopWatcherSlot();
        QCOMPARE(engine.counts, expected);
    }

    void fileHeldOpenIsRecordedOnceClosed()
    {
        Fixture f;
        const ItemId library = f.addLibrary("T7/Lib");
        const QString root = f.libraryPath("T7/Lib");
        localtree::build(f, library, root, {});
        testsupport::FakeSyncEngine engine(*f.db);
        CClientWatcherV2 watcher(f.db, {});
        testdb::MessageCapture capture;
        watcher.startWatcher();
        QTRY_VERIFY(capture.count(QtDebugMsg, "CNativeClientWatcher::run() - watching") == 1);

        QFile file(root + "/open.log");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("first line\n");
        file.flush();
        QTRY_VERIFY_WITH_TIMEOUT(capture.count("file descriptor is in use") > 0, 20000);
        QVERIFY(f.db->getFilesOfLibrary(library).isEmpty());
        file.close();
        QTRY_COMPARE_WITH_TIMEOUT(engine.counts.value("file new"), 1, 20000);
    }

private:
    QTemporaryDir m_elsewhere;
};

BXSYNC_TEST_MAIN(TestClientWatcher)
#include "tst_clientwatcher.moc"
