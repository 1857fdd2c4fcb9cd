#include "AppStatusController.h"
#include "ReferenceServer.h"
#include "ServerWatcher.h"
#include "SyncDatabase.h"
#include "TestMain.h"
#include "UserSessionController.h"

#include <QJsonArray>
#include <QSignalSpy>

using testsupport::ReferenceServer;

class TestServerWatcher : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_server.reset(new ReferenceServer());
        QVERIFY(m_server->runningAndTrusted());
        m_sessions = m_server->signIn();
        m_team = m_server->createTenantWithTeam(m_tenant, "Watching");
        QVERIFY(!m_team.isEmpty());
        m_otherHost = "localhost:" + QString::number(m_server->port());
    }

    void cleanupTestCase()
    {
        m_sessions.reset();
        CNetworkAccessManager::deleteInstanceForCurrentThread();
    }

    void init()
    {
        m_dir.reset(new QTemporaryDir);
        m_db.reset(new CSyncDatabase(m_dir->path()));
        m_watcher.reset(new CServerWatcher(m_db, m_sessions));
        m_watcher->setCycleDelay(kShortCycleMs);
        m_server->admin("DELETE", "/admin/faults");
        m_mark = lastLogSeq();
    }

    void cleanup()
    {
        m_watcher.reset();
        m_server->admin("PATCH", "/admin/settings", {{"holdMs", 60000}});
        m_db->closeDatabaseForCurrentThread();
        m_db.reset();
        QCOMPARE(m_server->takeViolations(), QStringList());
    }

    void threeLibrariesOnTwoHostsGiveTwoCalls()
    {
        const ItemId a = addLibrary("A");
        const ItemId b = addLibrary("B");
        const ItemId c = addLibrary("C", m_otherHost);
        m_watcher->start();

        QTRY_COMPARE_WITH_TIMEOUT(watchCalls().size(), 2, 15000);
        const QStringList calls = watchCalls();
        QCOMPARE(QSet<QString>(calls.begin(), calls.end()), (QSet<QString>{call({a, b}), call({c}, m_otherHost)}));
        QTRY_COMPARE_WITH_TIMEOUT(heldWatches(), 2, 5000);

        // One token per library, each fetched before any watch call went out.
        QStringList methods;
        for (const QJsonValue &entry : logSince(m_mark)) {
            methods << entry["rpcMethod"].toString();
            QVERIFY(!entry["params"].toObject().contains("timeout"));
        }
        const QString token = "FileSync.getWatcherAuthenticationToken";
        QCOMPARE(methods, (QStringList{token, token, token, "Watcher.watch", "Watcher.watch"}));
    }

    void tokenWithAnotherStateMarksTheLibraryChanged()
    {
        const ItemId stale = addLibrary("Stale");
        m_db->updateLibrary(stale, CSqlValue("Sic", QString("an older state")));
        const ItemId fresh = addLibrary("Fresh");
        m_watcher->start();

        QTRY_COMPARE_WITH_TIMEOUT(m_db->getLibrary(stale)->syncStatus.ServerStatus, quint32(StatusChanged), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(watchCalls(), QStringList{call({fresh})}, 10000);

        // Back in step: no token was kept, so it is asked for again.
        const int mark = lastLogSeq();
        const QString serverState = m_server->admin("GET", libraryPath(stale)).object().value("state").toString();
        m_db->updateLibrary(stale, CSqlValue("Sic", serverState), CSqlValue("ServerStatus", quint32(StatusSynchronized)));
        QTRY_COMPARE_WITH_TIMEOUT(tokenRequests(mark, stale), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(watchCalls(mark), QStringList{call({stale, fresh})}, 10000);
    }

    void theEndOfOneCallEndsTheOthers()
    {
        addLibrary("A");
        addLibrary("C", m_otherHost);
        QVERIFY(m_server->admin("PATCH", "/admin/settings", {{"holdMs", 1000}}).status < 300);
        // The first watch call answers 1500 ms late; the other one after the 1000 ms hold.
        m_server->addFault({{"type", "delay"}, {"ms", 1500}, {"endpoint", "watcher"}});
        m_watcher->start();
        QTRY_COMPARE_WITH_TIMEOUT(watchCalls().size(), 2, 10000);
        QTest::qWait(3000);

        QStringList delayedStatus;
        for (const QJsonValue &entry : logSince(m_mark, "Watcher.watch"))
            if (entry["fault"] == "delay")
                delayedStatus << entry["status"].toVariant().toString();
        QCOMPARE(delayedStatus, QStringList{""}); // the client left the delayed call before its answer
        QVERIFY(watchCalls().size() >= 4);
    }

    void itemNotFoundIgnoresTheLibraryFor15Minutes()
    {
        QDateTime now(QDate(2024, 5, 6), QTime(10, 0), Qt::UTC);
        m_watcher->setClock([&now] { return now; });
        const ItemId known = addLibrary("Known");
        const ItemId gone = addLibrary("Gone");
        QCOMPARE(m_server->admin("DELETE", libraryPath(gone)).status, 200);
        m_watcher->start();

        QTRY_COMPARE_WITH_TIMEOUT(watchCalls(), QStringList{call({known})}, 10000);
        QCOMPARE(tokenRequests(m_mark, gone), 1);

        now = now.addSecs(14 * 60 + 59);
        int mark = lastLogSeq();
        m_watcher->restart(0);
        QTRY_COMPARE_WITH_TIMEOUT(watchCalls(mark).size(), 1, 10000);
        QCOMPARE(tokenRequests(mark, gone), 0);

        now = now.addSecs(1);
        mark = lastLogSeq();
        m_watcher->restart(0);
        QTRY_COMPARE_WITH_TIMEOUT(tokenRequests(mark, gone), 1, 10000);
        // Still unknown to the server: ignored again, the other library watched.
        QTRY_COMPARE_WITH_TIMEOUT(watchCalls(mark), QStringList{call({known})}, 10000);
    }

    void accessDeniedDropsThatCallsTokens()
    {
        const ItemId a = addLibrary("A");
        const ItemId b = addLibrary("B");
        startHeld();

        QVERIFY(m_server->admin("POST", libraryPath(a) + "/revoke-wats").status < 300);
        const int mark = lastLogSeq();
        m_watcher->restart(0);
        QTRY_COMPARE_WITH_TIMEOUT(watchCalls(mark).size(), 2, 15000);
        QCOMPARE(tokenRequests(mark, a), 1);
        QCOMPARE(tokenRequests(mark, b), 1);
        QCOMPARE(watchCalls(mark).last(), call({a, b}));
        QTRY_COMPARE_WITH_TIMEOUT(heldWatches(), 1, 5000);
    }

    // Each change pushes the next cycle back: a burst longer than the delay still gives one cycle, after it.
    void burstOfDatabaseChangesGivesOneCycle()
    {
        addLibrary("A");
        const ItemId toggled = addLibrary("B");
        startHeld();
        m_watcher->setCycleDelay(CServerWatcher::kCycleDelayMs);
        QSignalSpy cycles(m_watcher->findChild<CServerWatcherScheduler *>(), &CServerWatcherScheduler::schedulerSignal);
        for (int i = 0; i < 8; ++i) {
            m_db->updateLibrary(toggled, CSqlValue("ClientStatus", quint32(i % 2 == 0 ? StatusChanged : StatusSynchronized)));
            QTest::qWait(CServerWatcher::kCycleDelayMs / 5);
        }
        QCOMPARE(cycles.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(cycles.count(), 1, 6000);
        QTest::qWait(300);
        QCOMPARE(cycles.count(), 1);
    }

    void changesToAWatchedLibrary_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("changed on the server: answers the long poll, leaves the set") << "server";
        QTest::newRow("changed locally: leaves the set") << "ClientStatus";
        QTest::newRow("unsubscribed: leaves the set") << "delete";
        QTest::newRow("another team: the set stays, nothing is sent") << "TeamId";
    }

    void changesToAWatchedLibrary()
    {
        QFETCH(QString, change);
        const ItemId changed = addLibrary("Changed");
        const ItemId b = addLibrary("B");
        startHeld();
        const int mark = lastLogSeq();
        if (change == "delete")
            m_db->deleteLibrary(changed);
        else if (change == "TeamId")
            m_db->updateLibrary(changed, CSqlValue("TeamId", QString("another team")));
        else if (change == "server")
            QVERIFY(m_server->admin("POST", libraryPath(changed) + "/files", {{"path", "new.txt"}, {"content", "x"}}).status < 300);
        else
            m_db->updateLibrary(changed, CSqlValue("ClientStatus", quint32(StatusChanged)));

        if (change == "TeamId") {
            QTest::qWait(3 * kShortCycleMs);
            QCOMPARE(logSince(mark).size(), 0);
            QCOMPARE(m_watcher->watchedLibraries(), (QSet<ItemId>{changed, b}));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(m_watcher->watchedLibraries(), QSet<ItemId>{b}, 10000);
            QTRY_COMPARE_WITH_TIMEOUT(watchCalls(mark), QStringList{call({b})}, 10000);
            QCOMPARE(tokenRequests(mark, b), 0);
            QCOMPARE(m_db->getLibrary(changed) && m_db->getLibrary(changed)->syncStatus.ServerStatus == StatusChanged, change == "server");
        }
        QTRY_COMPARE_WITH_TIMEOUT(heldWatches(), 1, 5000);
    }

    void replacedDatabaseForgetsTheWatchedLibraries()
    {
        addLibrary("A");
        startHeld();
        // As a damaged file replaced by an empty one leaves it: no rows, no signal per library.
        QVERIFY(m_db->execQuery("DELETE FROM Libraries;").isActive());
        emit m_db->databaseReplacedSignal();
        QTRY_VERIFY(m_watcher->watchedLibraries().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(heldWatches(), 0, 5000);
        const ItemId b = addLibrary("B"); // subscribed and synchronised again
        QTRY_COMPARE_WITH_TIMEOUT(m_watcher->watchedLibraries(), QSet<ItemId>{b}, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(heldWatches(), 1, 10000);
    }

    void deadHostKeepsItsBackOffBesideALiveOne()
    {
        addLibrary("Live");
        addLibrary("Dead", "127.0.0.1:1");
        QSignalSpy networkState(m_sessions->getUserSession().data(), &CUserSession::setNetworkRequestStateSignal);
        m_watcher->start();
        QTRY_VERIFY_WITH_TIMEOUT(networkState.contains(QVariantList{true, false, false}), 10000);
        // The watcher passes the session-less watch call's outcome on. The live call ends with the failed
        // cycle; its cancellation must not start the next cycle before the dead host's back-off (30 s).
        QTest::qWait(1500);
        QCOMPARE(networkState.count(QVariantList{true, false, false}), 1);
    }

private:
    static constexpr int kShortCycleMs = 150;

    // A server library and its synchronised record, in step with the server.
    ItemId addLibrary(const QString &name, const QString &watcherHostname = QString())
    {
        const QString path = "/admin/tenants/" + m_tenant + "/libraries";
        QJsonObject library = m_server->admin("POST", path, {{"name", QString("%1 %2").arg(name).arg(++m_libraries)}, {"teamId", m_team}}).object();
        const quint64 serverId = library.value("id").toString().toULongLong();
        if (!watcherHostname.isEmpty()) // a new state as well
            library = m_server->admin("PATCH", path + "/" + QString::number(serverId), {{"watcherHostname", watcherHostname}}).object();
        SyncLibrary::Ptr record(new SyncLibrary);
        record->ServerId = serverId;
        record->TenantId = m_tenant;
        record->ServerName = library.value("name").toString();
        record->Sic = library.value("state").toString();
        record->syncStatus = {StatusSynchronized, StatusSynchronized};
        return m_db->insertLibrary(record);
    }

    QString libraryPath(ItemId clientId) const
    {
        return "/admin/tenants/" + m_tenant + "/libraries/" + QString::number(m_db->getLibrary(clientId)->ServerId);
    }

    // A watch call as the server logs it: the host it was sent to and the libraries' server ids.
    QString call(const QList<ItemId> &clientIds, const QString &host = QString()) const
    {
        QStringList ids;
        for (ItemId id : clientIds)
            ids << QString::number(m_db->getLibrary(id)->ServerId);
        ids.sort();
        return (host.isEmpty() ? m_server->hostname() : host) + ": " + ids.join(',');
    }

    void startHeld()
    {
        m_watcher->start();
        QTRY_COMPARE_WITH_TIMEOUT(heldWatches(), 1, 10000);
    }

    QJsonArray logSince(int seq, const QString &method = QString()) const
    {
        return m_server->admin("GET", "/admin/log?since=" + QString::number(seq) + (method.isEmpty() ? "" : "&method=" + method)).array();
    }

    int lastLogSeq() const
    {
        const QJsonArray log = logSince(0);
        return log.isEmpty() ? 0 : log.last().toObject().value("seq").toInt();
    }

    QStringList watchCalls(int since = -1) const
    {
        QStringList calls;
        for (const QJsonValue &value : logSince(since < 0 ? m_mark : since, "Watcher.watch")) {
            const QJsonObject entry = value.toObject();
            QStringList ids;
            for (const QJsonValue &item : entry.value("params").toObject().value("watchItems").toArray())
                ids << item.toObject().value("id").toObject().value("itemId").toString();
            ids.sort();
            calls << entry.value("headers").toObject().value("host").toString() + ": " + ids.join(',');
        }
        return calls;
    }

    int tokenRequests(int since, ItemId library) const
    {
        const QString serverId = QString::number(m_db->getLibrary(library) ? m_db->getLibrary(library)->ServerId : 0);
        int count = 0;
        for (const QJsonValue &value : logSince(since, "FileSync.getWatcherAuthenticationToken"))
            count += value.toObject().value("params").toObject().value("id").toString() == serverId ? 1 : 0;
        return count;
    }

    int heldWatches() const { return m_server->admin("GET", "/admin/info").object().value("heldWatches").toInt(); }

    QScopedPointer<ReferenceServer> m_server;
    QSharedPointer<CUserSessionController> m_sessions;
    const QString m_tenant = "watch";
    QString m_team;
    QString m_otherHost;
    int m_libraries = 0;
    QScopedPointer<QTemporaryDir> m_dir;
    QSharedPointer<CSyncDatabase> m_db;
    QScopedPointer<CServerWatcher> m_watcher;
    int m_mark = 0;
};

BXSYNC_TEST_MAIN(TestServerWatcher)
#include "tst_serverwatcher.moc"
