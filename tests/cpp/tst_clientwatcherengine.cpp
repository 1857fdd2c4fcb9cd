#include "ClientWatcher.h"
#include "LocalTreeTestSupport.h"
#include "ReferenceServer.h"
#include "ServerApi.h"
#include "SyncScenario.h"
#include "TestMain.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>

using testsupport::ReferenceServer;
using testsupport::SyncScenario;

namespace {

using Counts = QMap<QString, int>;

// How often the server received an upload ("upload") or a FileSync call ("mkDir").
int received(const ReferenceServer &server, const QString &what)
{
    int count = 0;
    for (const QJsonValue &entry : server.requestLog())
        count += entry["endpoint"].toString() == what || entry["rpcMethod"].toString() == "FileSync." + what;
    return count;
}

} // namespace

// Local changes through the whole engine: the client watcher records them, the sync engine takes
// them to the reference server.
class TestClientWatcherEngine : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_server.reset(new ReferenceServer());
        QVERIFY(m_server->runningAndTrusted());
    }

    // Files on the server first ("path=content"), what the user does, whether the engine is stopped
    // meanwhile; what the server receives.
    void localChangesReachTheServer_data()
    {
        QTest::addColumn<QStringList>("onServer");
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<bool>("whileStopped");
        QTest::addColumn<Counts>("expected");

        const auto many = [](const QString &folder, int count) {
            QStringList files;
            for (int i = 0; i < count; ++i)
                files << QString("%1/%2=%2").arg(folder).arg(i);
            return files;
        };
        QStringList thousand;
        for (int i = 0; i < 10; ++i)
            thousand << QString("many N%1/M%2 100").arg(i % 3).arg(i);
        thousand << "write .hidden=never uploaded";
        QTest::newRow("1000 new files in a nested tree")
            << QStringList() << thousand << false << Counts{{"upload", 1000}, {"mkDir", 13}};
        QTest::newRow("rm -rf of a folder with 200 files")
            << many("A", 200) << QStringList{"rm A"} << false << Counts{{"rmDir", 1}, {"removeFile", 0}, {"upload", 0}};
        const Counts oneRename{{"rename", 1}, {"move", 0}, {"upload", 0}, {"mkDir", 0}};
        QTest::newRow("rename of a folder with 500 files") << many("A", 500) << QStringList{"mv A Renamed"} << false << oneRename;
        QTest::newRow("the same rename while the engine is stopped")
            << many("A", 500) << QStringList{"mv A Renamed"} << true << oneRename;
        QTest::newRow("atomic save and case-only rename")
            << QStringList{"doc=old", "Name=x"} << QStringList{"write .doc.swp=new text", "mv .doc.swp doc", "mv Name name"}
            << false << Counts{{"upload", 1}, {"rename", 1}, {"removeFile", 0}};
    }

    void localChangesReachTheServer()
    {
        QFETCH(QStringList, onServer);
        QFETCH(QStringList, actions);
        QFETCH(bool, whileStopped);
        QFETCH(Counts, expected);

        SyncScenario s(*m_server, QString("watch%1").arg(++m_rows));
        s.writeLocal("keep", "k");
        // Downloaded rather than uploaded: an upload costs several downloads.
        QList<QJsonObject> files;
        for (const QString &file : onServer)
            files << QJsonObject{{"path", file.section('=', 0, 0)}, {"content", file.section('=', 1)}};
        QCOMPARE(m_server->adminPostAll(s.library().path() + "/files", files), 0);
        s.start();
        QVERIFY(s.runUntilIdle(60000));

        // As the sync-mode application does: compare first, then watch.
        auto watcher = startedWatcher(s);
        QTRY_COMPARE_WITH_TIMEOUT(s.serverTree(), s.localTree(), 120000);
        QVERIFY(s.runUntilIdle(60000));

        m_server->clearRequestLog();
        if (whileStopped)
            watcher.reset();
        localtree::run(s.libraryFolder(), actions);
        if (whileStopped)
            watcher = startedWatcher(s);
        QTRY_COMPARE_WITH_TIMEOUT(s.serverTree(), s.localTree(), 150000);
        QVERIFY(s.runUntilIdle(60000));
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QCOMPARE(received(*m_server, it.key()), it.value());
        QVERIFY2(!s.serverTree().contains(".hidden"), "a dot-file is never uploaded");
        QCOMPARE(s.violations(), QJsonArray());
        watcher.reset();
        s.stop();
    }

private:
    std::unique_ptr<CClientWatcherV2> startedWatcher(SyncScenario &s)
    {
        auto watcher = std::make_unique<CClientWatcherV2>(s.database(), QSharedPointer<CFileManipulation>());
        QSignalSpy compared(watcher.get(), &CClientWatcherV2::sanityCheckFinishedSignal);
        watcher->sanityCheck();
        if (!compared.wait(60000))
            qWarning() << "TestClientWatcherEngine: the start-up comparison did not finish";
        watcher->startWatcher();
        return watcher;
    }

    QScopedPointer<ReferenceServer> m_server;
    int m_rows = 0;
};

BXSYNC_TEST_MAIN(TestClientWatcherEngine)
#include "tst_clientwatcherengine.moc"
