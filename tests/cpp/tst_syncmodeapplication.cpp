#include "AppStatusController.h"
#include "Config.h"
#include "MessageCapture.h"
#include "SyncDatabase.h"
#include "SyncModeApplication.h"
#include "SyncProgress.h"
#include "TestMain.h"
#include "UserSessionController.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>

namespace {

QJsonObject libraryJson(const QString &id, const QString &name, const QString &tenantName = "Acme",
                        const QString &tenantId = "t1", const QString &teamId = "team1")
{
    return QJsonObject{{"teamId", teamId}, {"tenantId", tenantId}, {"tenantName", tenantName}, {"id", id}, {"name", name}};
}

QString text(const QJsonArray &array)
{
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

} // namespace

class TestSyncModeApplication : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        CConfig::setInstance(QSharedPointer<CConfig>(new CConfig(m_dir->path())));
        m_database.reset(new CSyncDatabase(m_dir->path()));
        QVERIFY(m_database->getDatabaseConnection().isOpen());
        m_status.reset(new CAppStatusController([] { return true; }));
        m_sessions.reset(new CUserSessionController(m_status));
        m_progress = std::make_shared<CSyncProgressManager>(m_database);
        m_app.reset(new CSyncModeApplication(m_database, m_status, m_sessions, m_progress));
    }

    void cleanup()
    {
        m_app.reset();
        m_progress.reset();
        m_sessions.reset();
        m_status.reset();
        m_database->closeDatabaseForCurrentThread();
        m_database.reset();
        CConfig::setInstance({});
    }

    void parsingRules_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("count");
        QTest::newRow("empty array") << "[]" << true << 0;
        QTest::newRow("two libraries") << text({libraryJson("10", "Docs"), libraryJson("11", "Photos")}) << true << 2;
        QTest::newRow("missing tenant name is accepted")
            << text({libraryJson("10", "Docs", "")}) << true << 1;
        QTest::newRow("numeric id rejects all")
            << text({libraryJson("10", "Docs"), QJsonObject{{"teamId", "a"}, {"tenantId", "t"}, {"tenantName", "n"}, {"id", 11}, {"name", "x"}}})
            << false << 0;
        QTest::newRow("empty name rejects all") << text({libraryJson("10", "")}) << false << 0;
        QTest::newRow("missing team rejects all") << text({libraryJson("10", "Docs", "Acme", "t1", "")}) << false << 0;
        QTest::newRow("not JSON") << "[{" << false << 0;
        QTest::newRow("an object") << "{\"id\":\"1\"}" << false << 0;
    }

    void parsingRules()
    {
        QFETCH(QString, json);
        QFETCH(bool, valid);
        QFETCH(int, count);
        const CFileLibrariesJsonArray parsed(json);
        QCOMPARE(parsed.isValid(), valid);
        QCOMPARE(parsed.libraries().size(), count);
    }

    void subscribeAndRepeat()
    {
        m_app->setFileLibraries(text({libraryJson("10", "Docs"), libraryJson("18446744073709551615", "Big")}));
        const QList<SyncLibrary::Ptr> libraries = m_database->getLibraries();
        QCOMPARE(libraries.size(), 2);
        const SyncLibrary::Ptr docs = m_database->getLibraryByServerId(10, "t1");
        QVERIFY(docs);
        QCOMPARE(docs->ServerName, QString("Docs"));
        QCOMPARE(docs->TenantName, QString("Acme"));
        QCOMPARE(docs->TeamId, QString("team1"));
        QCOMPARE(docs->syncStatus.ServerStatus, quint32(StatusNew));
        QCOMPARE(docs->syncStatus.ClientStatus, quint32(StatusSynchronized));
        QVERIFY(m_database->getLibraryByServerId(18446744073709551615ull, "t1"));

        QTest::ignoreMessage(QtDebugMsg, "CSyncModeApplication::setFileLibraries: no change from last time");
        m_app->setFileLibraries(text({libraryJson("10", "Docs"), libraryJson("18446744073709551615", "Big")}));
        QCOMPARE(m_database->getLibraries().size(), 2);
    }

    void replacedDatabaseTakesTheSameListAgain()
    {
        const QString list = text({libraryJson("10", "Docs")});
        m_app->setFileLibraries(list);
        QTest::qWait(10); // let the start-up request pass
        QSignalSpy asked(m_sessions.data(), &CUserSessionController::requestNewUserSessionSignal);
        // A damaged file was replaced by an empty one: the subscription lives on only in the host.
        m_database->deleteLibrary(m_database->getLibraryByServerId(10, "t1")->ClientId);
        emit m_database->databaseReplacedSignal();
        QTRY_COMPARE(asked.count(), 1);
        m_app->setFileLibraries(list);
        QVERIFY(m_database->getLibraryByServerId(10, "t1"));
    }

    void badListsTouchNothing()
    {
        m_app->setFileLibraries(text({libraryJson("10", "Docs")}));
        const QString bad = text({libraryJson("11", "New"), QJsonObject{{"teamId", "a"}, {"tenantId", "t1"}, {"tenantName", "n"}, {"id", 12}, {"name", "x"}}});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^CSyncModeApplication::setFileLibraries: failed to parse fileLibraries:"));
        m_app->setFileLibraries(bad);
        QCOMPARE(m_database->getLibraries().size(), 1);
        QCOMPARE(m_database->getLibraries().first()->syncStatus.ServerStatus, quint32(StatusNew));
        // Remembered although it failed: the same text again is not even parsed.
        QTest::ignoreMessage(QtDebugMsg, "CSyncModeApplication::setFileLibraries: no change from last time");
        m_app->setFileLibraries(bad);
    }

    // Marked deleted, or already removed by the sync thread.
    bool unsubscribed(quint64 serverId) const
    {
        const SyncLibrary::Ptr library = m_database->getLibraryByServerId(serverId, "t1");
        return !library || library->syncStatus.ServerStatus == StatusDeleted;
    }

    void unmentionedLibrariesAreUnsubscribed()
    {
        m_app->setFileLibraries(text({libraryJson("10", "Docs"), libraryJson("11", "Photos")}));
        m_app->setFileLibraries(text({libraryJson("11", "Photos")}));
        QVERIFY(unsubscribed(10));
        QCOMPARE(m_database->getLibraryByServerId(11, "t1")->syncStatus.ServerStatus, quint32(StatusNew));
        m_app->setFileLibraries("[]");
        QVERIFY(unsubscribed(11));
    }

    // Thousands of libraries must not hold the engine thread (and a stop behind it) for long:
    // one commit for the whole list. The time itself is library_bench's.
    void longListsAreWrittenInOneTransaction()
    {
        const int count = 2000;
        QJsonArray all;
        QJsonArray half;
        for (int i = 1; i <= count; ++i) {
            all.append(libraryJson(QString::number(i), "L" + QString::number(i)));
            if (i % 2 == 0)
                half.append(libraryJson(QString::number(i), "L" + QString::number(i), "Acme", "t1", "team2"));
        }
        testsupport::MessageCapture capture;
        for (const QJsonArray &list : {all, half}) {
            capture.clear();
            m_app->setFileLibraries(text(list));
            // The sync thread removes unsubscribed libraries meanwhile, each in its own transaction.
            QCOMPARE(capture.countOnThisThread(QtDebugMsg, "CSyncDatabase::commitTransaction: transaction committed"), 1);
        }
        QVERIFY(unsubscribed(1));
        QCOMPARE(m_database->getLibraryByServerId(2, "t1")->TeamId, QString("team2"));
    }

    void missingTenantNameNeitherUpdatesNorUnsubscribes()
    {
        m_app->setFileLibraries(text({libraryJson("10", "Docs")}));
        synchronizeAll();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is missing tenantName -> skipping, but not unsubscribing"));
        m_app->setFileLibraries(text({libraryJson("10", "Renamed", "", "t1", "team2")}));
        const SyncLibrary::Ptr docs = m_database->getLibraryByServerId(10, "t1");
        QCOMPARE(docs->ServerName, QString("Docs"));
        QCOMPARE(docs->TeamId, QString("team1"));
        QCOMPARE(docs->syncStatus.ServerStatus, quint32(StatusSynchronized));
    }

    void renameWaitsForASynchronizedDatabase()
    {
        m_app->setFileLibraries(text({libraryJson("10", "Docs")}));
        // The library itself is still new: nothing is synchronised, the new name waits.
        m_app->setFileLibraries(text({libraryJson("10", "Documents")}));
        QCOMPARE(m_database->getLibraryByServerId(10, "t1")->ServerName, QString("Docs"));

        synchronizeAll();
        m_app->setFileLibraries(text({libraryJson("10", "Documents", "Acme", "t1", "team9")}));
        const SyncLibrary::Ptr docs = m_database->getLibraryByServerId(10, "t1");
        QCOMPARE(docs->ServerName, QString("Documents"));
        QCOMPARE(docs->syncStatus.ServerStatus, quint32(StatusMoved));
        QCOMPARE(docs->TeamId, QString("team9"));
    }

    void newLibraryTakesTheTenantNameInUse()
    {
        m_app->setFileLibraries(text({libraryJson("10", "Docs", "Acme Ltd")}));
        m_app->setFileLibraries(text({libraryJson("10", "Docs", "Acme Ltd"), libraryJson("11", "Photos", "ACME")}));
        QCOMPARE(m_database->getLibraryByServerId(11, "t1")->TenantName, QString("Acme Ltd"));
        // Another tenant keeps its own name.
        m_app->setFileLibraries(text({libraryJson("10", "Docs", "Acme Ltd"), libraryJson("11", "Photos", "ACME"),
                                      libraryJson("12", "Shared", "Other", "t2")}));
        QCOMPARE(m_database->getLibraryByServerId(12, "t2")->TenantName, QString("Other"));
    }

    void syncedItemPath()
    {
        m_app->setFileLibraries(text({libraryJson("10", "Docs")}));
        const SyncLibrary::Ptr docs = m_database->getLibraryByServerId(10, "t1");
        m_database->updateLibrary(docs->ClientId, CSqlValue("ClientName", "Acme/Docs"));
        SyncFolder::Ptr folder(new SyncFolder());
        folder->ServerId = 500;
        folder->ClientName = "Reports";
        folder->ServerName = "Reports";
        folder->ParentClientId = docs->ClientId;
        folder->LibraryClientId = docs->ClientId;
        QVERIFY(m_database->insertFolder(folder) != 0);

        const QString store = CConfig::instance()->syncFolder();
        QCOMPARE(m_app->getSyncedItemPath("t1", "500"), store + "/Acme/Docs/Reports");
        QCOMPARE(m_app->getSyncedItemPath("t1", "10"), store + "/Acme/Docs");
        QCOMPARE(m_app->getSyncedItemPath("t2", "500"), QString());
        QCOMPARE(m_app->getSyncedItemPath("t1", "not-a-number"), QString());
        QCOMPARE(m_app->getSyncedItemPath("t1", "999"), QString());
    }

    void serverWatcherStartsOnceAndRestartsOnWakeUp()
    {
        m_app.reset(); // its watchers start on their own time
        testsupport::MessageCapture capture;
        CSyncModeApplication app(m_database, m_status, m_sessions, m_progress);
        // Both watchers start once the start-up comparison has finished.
        QTRY_VERIFY(capture.count(QtDebugMsg, "CSyncModeApplication::sanityCheckFinishedSlot") > 0);
        const QStringList lines = capture.lines(QtDebugMsg);
        const int started = lines.indexOf("CSyncModeApplication::startSync");
        const int compared = lines.indexOf("CClientWatcherV2::sanityCheckSlot() - finished");
        const int firstCycle =
            lines.indexOf("CServerWatcherScheduler::scheduleSignal: invoking restartSchedulerTimerSlot: interval: 3000");
        QVERIFY(started >= 0);
        QVERIFY2(compared > started, "the comparison follows the libraries");
        QVERIFY2(firstCycle > compared, "the watcher starts after the comparison");
        QVERIFY(lines.indexOf("CClientWatcherV2::startWatcher()") > compared);
        // The start-up comparison may report twice; the watcher starts once.
        app.sanityCheckFinishedSlot();
        QCOMPARE(capture.count(QtWarningMsg, "CServerWatcher::start: already started"), 0);
        QCOMPARE(capture.count(QtDebugMsg, "CServerWatcherScheduler::scheduleSignal"), 1);

        capture.clear();
        app.handleSystemWakeUp();
        QCOMPARE(capture.lines(QtDebugMsg, "CServerWatcher::"),
                 (QStringList{"CServerWatcher::restart: restarting with delay: 3000", "CServerWatcher::abortAllWatchRequests"}));
        QCOMPARE(capture.count(QtDebugMsg, "CServerWatcherScheduler::scheduleSignal: invoking restartSchedulerTimerSlot: interval: 3000"), 1);
    }

private:
    void synchronizeAll()
    {
        for (const SyncLibrary::Ptr &library : m_database->getLibraries())
            m_database->updateLibrary(library->ClientId, CSqlValue("ServerStatus", quint32(StatusSynchronized)),
                                      CSqlValue("ClientStatus", quint32(StatusSynchronized)));
        QVERIFY(m_database->isSynchronized(0, false));
    }

    QScopedPointer<QTemporaryDir> m_dir;
    QSharedPointer<CSyncDatabase> m_database;
    QSharedPointer<CAppStatusController> m_status;
    QSharedPointer<CUserSessionController> m_sessions;
    std::shared_ptr<CSyncProgressManager> m_progress;
    QScopedPointer<CSyncModeApplication> m_app;
};

BXSYNC_TEST_MAIN(TestSyncModeApplication)
#include "tst_syncmodeapplication.moc"
