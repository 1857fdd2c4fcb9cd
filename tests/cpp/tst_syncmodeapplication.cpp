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
                        const QString &teamId = "team1")
{
    return QJsonObject{{"teamId", teamId}, {"tenantId", "t1"}, {"tenantName", tenantName}, {"id", id}, {"name", name}};
}

QString text(const QJsonArray &array) { return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)); }

const QJsonObject numericId{{"teamId", "a"}, {"tenantId", "t1"}, {"tenantName", "n"}, {"id", 12}, {"name", "x"}};

// "tenant,id,name,tenantName,team[,serverStatus]" entries separated by ';'; the client id is the id.
QList<SyncLibrary::Ptr> libraries(const QString &entries)
{
    QList<SyncLibrary::Ptr> result;
    for (const QString &entry : entries.split(';', Qt::SkipEmptyParts)) {
        const QStringList f = entry.split(',');
        SyncLibrary::Ptr library(new SyncLibrary());
        library->TenantId = f.at(0);
        library->ServerId = library->ClientId = f.at(1).toULongLong();
        library->ServerName = f.at(2);
        library->TenantName = f.at(3);
        library->TeamId = f.at(4);
        library->syncStatus.ServerStatus = f.value(5, "1").toUInt();
        result << library;
    }
    return result;
}

// "+id tenantName" per subscription, "id name=value ..." per update, in order, joined by "; ".
QString describe(const filelibraries::LibraryChanges &changes)
{
    QStringList parts;
    for (const SyncLibrary::Ptr &library : changes.subscribe)
        parts << QString("+%1 %2").arg(library->ServerId).arg(library->TenantName);
    for (const auto &update : changes.update) {
        QString part = QString::number(update.first);
        for (const CSqlValue &value : update.second)
            part += " " + value.name() + "=" + value.valueToString();
        parts << part;
    }
    return parts.join("; ");
}

} // namespace

class TestSyncModeApplication : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
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
        m_database->closeDatabaseForCurrentThread();
        CConfig::setInstance({});
    }

    void parsingRules_data()
    {
        QTest::addColumn<QString>("json");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<int>("count");
        QTest::newRow("empty array") << "[]" << true << 0;
        QTest::newRow("two libraries") << text({libraryJson("10", "Docs"), libraryJson("11", "Photos")}) << true << 2;
        QTest::newRow("missing tenant name is accepted") << text({libraryJson("10", "Docs", "")}) << true << 1;
        QTest::newRow("numeric id rejects all")
<< text({libraryJson("10", "Docs"), numericId}) << false << 0;
        QTest::newRow("empty name rejects all") << text({libraryJson("10", "")}) << false << 0;
        QTest::newRow("missing team rejects all") << text({libraryJson("10", "Docs", "Acme", "")}) << false << 0;
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

    void subscribeRepeatAndRefuse()
    {
        const QString list = text({libraryJson("10", "Docs"), libraryJson("18446744073709551615", "Big")});
        m_app->setFileLibraries(list);
        QCOMPARE(m_database->getLibraries().size(), 2);
        const SyncLibrary::Ptr docs = m_database->getLibraryByServerId(10, "t1");
        QVERIFY(docs);
        QCOMPARE(QStringList({docs->ServerName, docs->TenantName, docs->TeamId}), QStringList({"Docs", "Acme", "team1"}));
        QCOMPARE(docs->syncStatus.ServerStatus, quint32(StatusNew));
        QCOMPARE(docs->syncStatus.ClientStatus, quint32(StatusSynchronized));
        QVERIFY(m_database->getLibraryByServerId(18446744073709551615ull, "t1"));
        // Not QTest::ignoreMessage: its list is not safe against the engine threads' logging.
        testsupport::MessageCapture capture;
        m_app->setFileLibraries(list);

        // A list that is not valid as a whole changes nothing; remembered all the same, it is not
        // even parsed a second time.
        const QString bad = text({libraryJson("11", "New"), numericId});
        m_app->setFileLibraries(bad);
        QCOMPARE(m_database->getLibraries().size(), 2);
        QCOMPARE(m_database->getLibraryByServerId(10, "t1")->syncStatus.ServerStatus, quint32(StatusNew));
        m_app->setFileLibraries(bad);
        QCOMPARE(capture.count(QtDebugMsg, "CSyncModeApplication::setFileLibraries: no change from last time"), 2);
        QCOMPARE(capture.count(QtWarningMsg, "CSyncModeApplication::setFileLibraries: failed to parse fileLibraries:"), 1);
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

    void planLibraryChanges_data()
    {
        QTest::addColumn<QString>("known");
        QTest::addColumn<QString>("wanted");
        QTest::addColumn<bool>("synchronized");
        QTest::addColumn<QString>("changes");
        const QString docs = "t1,10,Docs,Acme,team1";
        QTest::newRow("new library") << "" << docs << true << "+10 Acme";
        QTest::newRow("listed twice: the first counts") << "" << docs + ";t1,10,Other,Acme,team2" << true << "+10 Acme";
        QTest::newRow("same list: nothing") << docs << docs << true << "";
        QTest::newRow("unmentioned: unsubscribed") << docs + ";t1,11,Photos,Acme,team1" << "t1,11,Photos,Acme,team1"
                                                   << true << "10 ServerStatus=5";
        QTest::newRow("already unsubscribed") << docs + ",5" << "" << true << "";
        QTest::newRow("missing tenant name: neither updated nor unsubscribed") << docs << "t1,10,Renamed,,team2" << true << "";
        QTest::newRow("rename waits for a synchronised database") << docs << "t1,10,Documents,Acme,team1" << false << "";
        QTest::newRow("rename") << docs << "t1,10,Documents,Acme,team1" << true << "10 ServerStatus=3 ServerName=Documents";
        QTest::newRow("a subscription defers a later rename") << docs << "t1,11,New,Acme,team1;t1,10,Documents,Acme,team1"
                                                              << true << "+11 Acme";
        QTest::newRow("team change, also unsynchronised") << docs << "t1,10,Docs,Acme,team9" << false << "10 TeamId=team9";
        QTest::newRow("new library takes the tenant name in use") << "t1,10,Docs,Acme Ltd,team1" << "t1,11,Photos,ACME,team1"
                                                                  << true << "+11 Acme Ltd; 10 ServerStatus=5";
        QTest::newRow("another tenant keeps its own name") << "t1,10,Docs,Acme Ltd,team1"
                                                           << "t1,10,Docs,Acme Ltd,team1;t2,10,Shared,Other,team1" << true
                                                           << "+10 Other";
    }

    void planLibraryChanges()
    {
        QFETCH(QString, known);
        QFETCH(QString, wanted);
        QFETCH(bool, synchronized);
        QFETCH(QString, changes);
        testsupport::MessageCapture capture;
        QCOMPARE(describe(filelibraries::planLibraryChanges(libraries(known), libraries(wanted), synchronized)), changes);
        QCOMPARE(capture.containing(QtWarningMsg, "is missing tenantName -> skipping, but not unsubscribing").size(),
                 QString(QTest::currentDataTag()).startsWith("missing tenant name") ? 1 : 0);
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
                half.append(libraryJson(QString::number(i), "L" + QString::number(i), "Acme", "team2"));
        }
        testsupport::MessageCapture capture;
        for (const QJsonArray &list : {all, half}) {
            capture.clear();
            m_app->setFileLibraries(text(list));
            // The sync thread removes unsubscribed libraries meanwhile, each in its own transaction.
            QCOMPARE(capture.countOnThisThread(QtDebugMsg, "CSyncDatabase::commitTransaction: transaction committed"), 1);
        }
        // Marked deleted, or already removed by the sync thread.
        const SyncLibrary::Ptr first = m_database->getLibraryByServerId(1, "t1");
        QVERIFY(!first || first->syncStatus.ServerStatus == StatusDeleted);
        QCOMPARE(m_database->getLibraryByServerId(2, "t1")->TeamId, QString("team2"));
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
        QVERIFY(started >= 0 && compared > started && firstCycle > compared);
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
    QScopedPointer<QTemporaryDir> m_dir;
    QSharedPointer<CSyncDatabase> m_database;
    QSharedPointer<CAppStatusController> m_status;
    QSharedPointer<CUserSessionController> m_sessions;
    std::shared_ptr<CSyncProgressManager> m_progress;
    QScopedPointer<CSyncModeApplication> m_app;
};

BXSYNC_TEST_MAIN(TestSyncModeApplication)
#include "tst_syncmodeapplication.moc"
