#include "AppStatusController.h"
#include "MessageCapture.h"
#include "ReferenceServer.h"
#include "ServerApi.h"
#include "SyncDatabase.h"
#include "SyncScenario.h"
#include "TestMain.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

using testsupport::ReferenceServer;
using testsupport::SyncScenario;

namespace {

enum Action {
    ServerNewFolder,          // a
    ServerDelete,             // a
    ServerPatchName,          // a -> name b
    ServerMoveInto,           // a -> into folder b
    LocalNewFolderServerHas,  // a created on both sides, the client has not seen the server's
    LocalDelete,              // a
    LocalMove,                // a -> b
    LocalMoveOntoUnseen,      // a -> b, while the server got b itself
    ServerDeleteHoldingEdits, // a: holds a new and an edited local file when the server deletes it
    LocalMoveAsReader,        // a -> b, refused: the user may only read the library
    ServerDeleteHoldingLibrary, // a: holds another library's folder when the server deletes it
    LibraryFolderGone,        // the library folder vanished while the engine was stopped
    LibraryRenamed,           // the host's list renames the library to a; the folder holds an untracked file
};

// The time in a conflict copy's name differs from run to run.
QStringList withoutTimes(QStringList tree)
{
    static const QRegularExpression time(QStringLiteral("\\.conflict \\d{4}-\\d\\d-\\d\\d \\d\\d_\\d\\d_\\d\\d"));
    for (QString &path : tree)
        path.replace(time, QStringLiteral(".conflict T"));
    return tree;
}

} // namespace

class TestSyncEngine : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_server.reset(new ReferenceServer());
        QVERIFY(m_server->runningAndTrusted());
    }

    void itemScenarios_data()
    {
        QTest::addColumn<QStringList>("before"); // folders end in "/"; files hold their own name
        QTest::addColumn<int>("action");
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<QStringList>("local");
        QTest::addColumn<QStringList>("server");
        QTest::addColumn<QString>("requests"); // "method=count ..."

        QTest::newRow("a server folder arrives") << QStringList{"A/"} << int(ServerNewFolder) << "A/B/C" << ""
            << QStringList{"A/", "A/B/", "A/B/C/"} << QStringList{"A/", "A/B/", "A/B/C/"} << "FileSync.getHierarchy=1";
        QTest::newRow("local folder joins the server's unseen one") << QStringList{} << int(LocalNewFolderServerHas)
            << "A" << "" << QStringList{"A/"} << QStringList{"A/"} << "FileSync.mkDir=1";
        QTest::newRow("server deletes a folder") << QStringList{"A/", "A/B/", "A/f.txt", "E/"} << int(ServerDelete)
            << "A" << "" << QStringList{"E/"} << QStringList{"E/"} << "FileSync.rmDir=0";
        QTest::newRow("server renames a folder") << QStringList{"A/", "A/f.txt"} << int(ServerPatchName) << "A" << "Z"
            << QStringList{"Z/", "Z/f.txt"} << QStringList{"Z/", "Z/f.txt"} << "FileSync.rename=0";
        QTest::newRow("server renames a file, letter case only") << QStringList{"A/", "A/f.txt"} << int(ServerPatchName)
            << "A/f.txt" << "F.txt" << QStringList{"A/", "A/F.txt"} << QStringList{"A/", "A/F.txt"} << "FileSync.rename=0";
        QTest::newRow("server moves a folder") << QStringList{"A/", "B/", "A/f.txt"} << int(ServerMoveInto) << "A" << "B"
            << QStringList{"B/", "B/A/", "B/A/f.txt"} << QStringList{"B/", "B/A/", "B/A/f.txt"} << "FileSync.move=0";
        QTest::newRow("server moves a file") << QStringList{"A/", "B/", "A/f.txt"} << int(ServerMoveInto) << "A/f.txt"
            << "B" << QStringList{"A/", "B/", "B/f.txt"} << QStringList{"A/", "B/", "B/f.txt"} << "FileSync.move=0";
        QTest::newRow("local folder deletion") << QStringList{"A/", "A/f.txt", "E/"} << int(LocalDelete) << "A" << ""
            << QStringList{"E/"} << QStringList{"E/"} << "FileSync.rmDir=1 FileSync.removeFile=0";
        QTest::newRow("local folder rename") << QStringList{"A/", "A/f.txt"} << int(LocalMove) << "A" << "Z"
            << QStringList{"Z/", "Z/f.txt"} << QStringList{"Z/", "Z/f.txt"} << "FileSync.rename=1 FileSync.move=0";
        QTest::newRow("local file rename, letter case only") << QStringList{"A/", "A/f.txt"} << int(LocalMove)
            << "A/f.txt" << "A/F.txt" << QStringList{"A/", "A/F.txt"} << QStringList{"A/", "A/F.txt"}
            << "FileSync.rename=1 FileSync.move=0";
        QTest::newRow("local move without rename") << QStringList{"A/", "B/", "A/f.txt"} << int(LocalMove) << "A/f.txt"
            << "B/f.txt" << QStringList{"A/", "B/", "B/f.txt"} << QStringList{"A/", "B/", "B/f.txt"}
            << "FileSync.rename=0 FileSync.move=1";
        QTest::newRow("local move and rename of a folder") << QStringList{"A/", "B/", "A/S/"} << int(LocalMove) << "A/S"
            << "B/T" << QStringList{"A/", "B/", "B/T/"} << QStringList{"A/", "B/", "B/T/"}
            << "FileSync.rename=1 FileSync.move=1";
        QTest::newRow("local move onto a name the server took: both kept") << QStringList{"A/", "B/", "A/S/"}
            << int(LocalMoveOntoUnseen) << "A/S" << "B/S"
            << QStringList{"A/", "A/S/", "B/", "B/S (2)/", "B/S.conflict T/"} << QStringList{"A/", "A/S/", "B/", "B/S/"}
            << "FileSync.move=1";
        QTest::newRow("local rename refused: the user's folder is kept") << QStringList{"A/", "A/S/"}
            << int(LocalMoveAsReader) << "A" << "Z" << QStringList{"A/", "A/S/", "Z/", "Z/S/"}
            << QStringList{"A/", "A/S/"} << "FileSync.rename=1 FileSync.rmDir=0";
        QTest::newRow("server deletes a folder holding local edits") << QStringList{"A/", "A/edited.txt"}
            << int(ServerDeleteHoldingEdits) << "A" << "" << QStringList{"A/", "A/edited.txt", "A/new.txt"}
            << QStringList{"A/", "A/edited.txt", "A/new.txt"} << "FileSync.mkDir=1";
        QTest::newRow("server deletes a folder holding another library") << QStringList{"A/"}
            << int(ServerDeleteHoldingLibrary) << "A" << "" << QStringList{"A/", "A/Other/", "A/Other/keep.txt"}
            << QStringList{} << "";
        QTest::newRow("library folder deleted locally comes back") << QStringList{"A/", "A/B/"} << int(LibraryFolderGone)
            << "" << "" << QStringList{"A/", "A/B/"} << QStringList{"A/", "A/B/"} << "FileSync.rmDir=0";
        QTest::newRow("library renamed on the server moves its folder") << QStringList{"A/"} << int(LibraryRenamed)
            << "Renamed" << "" << QStringList{"A/", "untracked.txt"} << QStringList{"A/"} << "FileSync.rename=0";
    }

    void itemScenarios()
    {
        QFETCH(QStringList, before);
        QFETCH(int, action);
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(QStringList, local);
        QFETCH(QStringList, server);
        QFETCH(QString, requests);

        SyncScenario s(*m_server, nextTenant());
        for (const QString &path : before) {
            if (path.endsWith('/'))
                QVERIFY(s.serverFolder(path.chopped(1)) != 0);
        }
        QVERIFY(s.runUntilIdle());
        QCOMPARE(s.libraryFolder(), s.storeFolder() + "/Brindlex - " + s.library().tenantId + "/Lib");
        for (const QString &path : before) {
            if (!path.endsWith('/'))
                QVERIFY(s.addSynchronizedFile(path, path.toUtf8()));
        }
        // Changes of both sides land together, as they would while the engine was busy elsewhere.
        s.stop();
        s.clearRequestLog();

        const QString oldFolder = s.libraryFolder();
        // What the server watcher writes; the sync-mode application's own for a library renamed in the host's list.
        CSqlValueList library{{"ServerStatus", quint32(StatusChanged)}};
        switch (Action(action)) {
        case ServerNewFolder: QVERIFY(s.serverFolder(a) != 0); break;
        case ServerDelete: QVERIFY(s.serverDelete(a)); break;
        case ServerPatchName: QVERIFY(s.serverPatch(a, {{"name", b}})); break;
        case ServerMoveInto:
            QVERIFY(s.serverPatch(a, {{"parentId", QString::number(s.serverId(b))}}));
            break;
        case LocalNewFolderServerHas:
            QVERIFY(s.serverFolder(a) != 0);
            // The engine learns of the server's folder first, then meets the local one.
            s.database()->updateLibrary(s.libraryClientId(), CSqlValue("ServerStatus", quint32(StatusChanged)));
            QVERIFY(s.recordNewLocalFolder(a) != 0);
            break;
        case LocalDelete: s.recordLocalDeletion(a); break;
        case LocalMove: s.recordLocalMove(a, b); break;
        case LocalMoveAsReader:
            QCOMPARE(m_server->admin("PUT", s.library().path() + "/roles/demo.user", {{"role", "Reader"}}).status, 200);
            s.recordLocalMove(a, b);
            break;
        case LocalMoveOntoUnseen:
            QVERIFY(s.serverFolder(b) != 0);
            s.recordLocalMove(a, b);
            break;
        case LibraryRenamed:
            s.writeLocal("untracked.txt", "mine");
            library = {{"ServerStatus", quint32(StatusMoved)}, {"ServerName", a}};
            break;
        case ServerDeleteHoldingLibrary: {
            SyncLibrary::Ptr other(new SyncLibrary);
            other->ClientName = s.database()->getLibrary(s.libraryClientId())->ClientName + "/A/Other";
            other->TenantId = "elsewhere";
            other->ServerId = 1;
            other->syncStatus = SyncStatus{StatusSynchronized, StatusSynchronized};
            QVERIFY(s.database()->insertLibrary(other) != 0);
            s.writeLocal("A/Other/keep.txt", "another library's");
            QVERIFY(s.serverDelete(a));
            break;
        }
        case LibraryFolderGone: QVERIFY(QDir(s.libraryFolder()).removeRecursively()); break;
        case ServerDeleteHoldingEdits:
            s.writeLocal(a + "/new.txt", "new");
            QVERIFY(s.recordNewLocalFile(a + "/new.txt") != 0);
            s.writeLocal(a + "/edited.txt", "edited locally");
            s.recordLocalChange(a + "/edited.txt");
            QVERIFY(s.serverDelete(a));
            break;
        }
        s.database()->updateLibrary(s.libraryClientId(), library);
        QVERIFY(s.runUntilIdle());

        // A download the last step asked for may still be on its way when the scheduler goes idle.
        QTRY_COMPARE_WITH_TIMEOUT(withoutTimes(s.localTree()).join(", "), local.join(", "), 10000);
        QCOMPARE(withoutTimes(s.serverTree()).join(", "), server.join(", "));
        for (const QString &expectation : requests.split(' ', Qt::SkipEmptyParts))
            QCOMPARE(s.requestCount(expectation.section('=', 0, 0)), expectation.section('=', 1).toInt());
        if (action == LibraryRenamed)
            QVERIFY(s.libraryFolder().endsWith("/Renamed") && !QFileInfo::exists(oldFolder));
        QCOMPARE(s.database()->getLibrary(s.libraryClientId())->Sic, m_server->libraryState(s.library()));
        for (const QString &path : s.localTree()) {
            const SyncItem::Ptr item = s.record(path);
            const quint64 onServer = s.serverId(path.endsWith('/') ? path.chopped(1) : path);
            if (item && onServer != 0)
                QCOMPARE(item->ServerId, onServer);
        }
    }

    void libraryDeletedOnServer_data()
    {
        QTest::addColumn<QString>("extra"); // what the library folder holds besides the synchronised tree
        QTest::addColumn<bool>("backup");
        QTest::newRow("synchronised content goes, with the tenant folder") << "" << false;
        QTest::newRow("an untracked file keeps a backup") << "mine.txt" << true;
    }

    void libraryDeletedOnServer()
    {
        QFETCH(QString, extra);
        QFETCH(bool, backup);
        SyncScenario s(*m_server, nextTenant());
        QVERIFY(s.serverFolder("A") != 0);
        QVERIFY(s.runUntilIdle());
        QVERIFY(s.addSynchronizedFile("A/f.txt", "server"));
        if (!extra.isEmpty())
            s.writeLocal(extra, "mine");
        const QString libraryFolder = s.libraryFolder();
        const QString tenantFolder = QFileInfo(libraryFolder).path();

        testsupport::MessageCapture log;
        s.database()->updateLibrary(s.libraryClientId(), CSqlValue("ServerStatus", quint32(StatusDeleted)));
        QVERIFY(s.runUntilIdle());

        QVERIFY(!s.database()->isLibraryPresent(s.libraryClientId()));
        QVERIFY(log.contains("is no longer valid (unsubscribed) -> no restart of sync scheduled"));
        log.clear();
        QTest::qWait(300);
        QVERIFY(!log.contains("CSyncLibrary::restartSync:"));
        QVERIFY(!QFileInfo::exists(libraryFolder));
        const QStringList left = QDir(tenantFolder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        if (backup) {
            QCOMPARE(left.size(), 1);
            QVERIFY(left.first().startsWith("Lib.backup "));
            QVERIFY(QFileInfo::exists(tenantFolder + "/" + left.first() + "/" + extra));
        } else {
            QVERIFY2(!QFileInfo::exists(tenantFolder), qPrintable(left.join(',')));
        }
    }

    void missingStoreFolderPausesWithoutDeletions()
    {
        SyncScenario s(*m_server, nextTenant());
        QVERIFY(s.serverFolder("A") != 0);
        QVERIFY(s.runUntilIdle());
        const QString store = s.storeFolder();
        QVERIFY(QDir().rename(store, store + ".unmounted"));
        s.database()->updateLibrary(s.libraryClientId(), CSqlValue("ServerStatus", quint32(StatusChanged)));
        s.start();
        QTest::qWait(1500);
        QVERIFY(s.record("A"));
        QVERIFY(QDir().rename(store + ".unmounted", store));
        QCOMPARE(s.requestCount("FileSync.rmDir"), 0);
    }

    void offlineEngineSendsNothingAndPolls()
    {
        testsupport::MessageCapture log;
        SyncScenario s(*m_server, nextTenant());
        QVERIFY(s.serverFolder("A") != 0);
        s.clearRequestLog();
        s.setConnected(false);
        s.start();
        QTRY_VERIFY(log.contains("msecDelay: 30000"));
        QTest::qWait(500);
        QCOMPARE(s.requestCount("FileSync.getHierarchy"), 0);
        QCOMPARE(m_server->requestLog().size(), 0);
        QVERIFY(!s.record("A"));
    }

private:
    QString nextTenant() { return QStringLiteral("engine%1").arg(++m_tenants); }

    QScopedPointer<ReferenceServer> m_server;
    int m_tenants = 0;
};

BXSYNC_TEST_MAIN(TestSyncEngine)
#include "tst_syncengine.moc"
