#include "AppStatusController.h"
#include "MessageCapture.h"
#include "ReferenceServer.h"
#include "ServerHierarchyProjector.h"
#include "SyncDatabase.h"
#include "TestMain.h"
#include "UserSessionController.h"
#include "main.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QSqlRecord>

#include <atomic>
#include <utility>

Q_DECLARE_METATYPE(brindlex::File)
Q_DECLARE_METATYPE(brindlex::Folder)

using testsupport::MessageCapture;
using testsupport::ReferenceServer;

namespace {

// Bodies of 50 MiB end up in log lines; the test output needs none of them.
QtMessageHandler g_nextHandler = nullptr;
void dropHugeMessages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.size() <= 65536 && g_nextHandler)
        g_nextHandler(type, context, text);
}

brindlex::File serverFile(quint64 id, quint64 size = 1, const QString &state = "s1")
{
    brindlex::File file;
    file.id = id;
    file.fileSize = size;
    file.state = state;
    return file;
}

brindlex::Folder serverFolder(quint64 id, QVector<brindlex::File> files, QVector<brindlex::Folder> folders = {},
                              const QString &name = {})
{
    brindlex::Folder folder;
    folder.id = id;
    folder.name = name;
    folder.files = files;
    folder.folders = folders;
    return folder;
}

// Stops the engine when the projection is about to write its third new file.
std::atomic<int> g_newFilesUntilShutdown{0};
QtMessageHandler g_interruptedHandler = nullptr;
void shutDownMidProjection(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text.startsWith("CServerHierarchyProjector::processOnServerNewFile: file") && --g_newFilesUntilShutdown == 0)
        appstate::setShuttingDown(true);
    if (g_interruptedHandler)
        g_interruptedHandler(type, context, text);
}

enum ServerChange { RenameFile, MoveFile, ChangeContent, DeleteItem, RenameAndChange, RenameFolder, RenameNewFolder,
                    MoveDeletedFile, LocalSicLostSameHash, LocalSicLostOtherHash };

} // namespace

class TestServerHierarchyProjector : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_server.reset(new ReferenceServer());
        QVERIFY(m_server->runningAndTrusted());
        m_sessions = m_server->signIn();
        m_lib.tenantId = "proj";
        m_lib.teamId = m_server->createTenantWithTeam(m_lib.tenantId, "Projection");
        QVERIFY(!m_lib.teamId.isEmpty());
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
        m_lib.id = m_server->admin("POST", "/admin/tenants/" + m_lib.tenantId + "/libraries",
                                   {{"name", QString("Lib %1").arg(++m_libraries)}, {"teamId", m_lib.teamId}})
                       .object().value("id").toString().toULongLong();
        QVERIFY(m_lib.id > 0);
        SyncLibrary::Ptr record(new SyncLibrary);
        record->ServerId = m_lib.id;
        record->TenantId = record->TenantName = m_lib.tenantId;
        record->ServerName = QString("Lib %1").arg(m_libraries);
        record->syncStatus = SyncStatus{StatusSynchronized, StatusNew};
        m_libClientId = m_db->insertLibrary(record);
        QVERIFY(m_libClientId != 0);
    }

    void cleanup()
    {
        appstate::setShuttingDown(false);
        m_db->closeDatabaseForCurrentThread();
        m_db.reset();
        QCOMPARE(m_server->takeViolations(), QStringList());
    }

    // --- the pure parts

    void indexWalksFilesFirstThenFoldersDepthFirst()
    {
        brindlex::Hierarchy hierarchy;
        hierarchy.id = 100;
        hierarchy.files = {serverFile(1, 10)};
        hierarchy.folders = {serverFolder(2, {serverFile(3, 20)}, {serverFolder(4, {serverFile(5, 30)})}, "A"),
                             serverFolder(6, {})};
        const HierarchyIndex index = hierarchyprojection::buildIndex(hierarchy);
        QCOMPARE(index.ids, (QVector<quint64>{1, 2, 3, 4, 5, 6}));
        QCOMPARE((QVector<quint64>{index.parentOf.value(1), index.parentOf.value(2), index.parentOf.value(3),
                                   index.parentOf.value(4), index.parentOf.value(5), index.parentOf.value(6)}),
                 (QVector<quint64>{100, 100, 2, 2, 4, 100}));
        QCOMPARE(index.nameOf.value(2), QString("A"));
        QVERIFY(index.contains(5) && !index.contains(100));
        QCOMPARE(index.toString(), QString("[filesCount: 3, foldersCount: 3, filesSizeSum: 60]"));
        QCOMPARE(index.itemsWithoutId, quint64(0));

        hierarchy.folders[1].files = {serverFile(0)};
        QCOMPARE(hierarchyprojection::buildIndex(hierarchy).itemsWithoutId, quint64(1));
    }

    void fileStatusRules_data()
    {
        QTest::addColumn<int>("current");
        QTest::addColumn<bool>("sicChanged");
        QTest::addColumn<bool>("moved");
        QTest::addColumn<int>("expected");
        QTest::addColumn<bool>("movedFromSynchronized");
        QTest::newRow("synchronized, content") << int(StatusSynchronized) << true << false << int(StatusChanged) << false;
        QTest::newRow("synchronized, place") << int(StatusSynchronized) << false << true << int(StatusMoved) << true;
        QTest::newRow("synchronized, both") << int(StatusSynchronized) << true << true << int(StatusMovedAndChanged) << false;
        QTest::newRow("moved, content") << int(StatusMoved) << true << false << int(StatusMovedAndChanged) << false;
        QTest::newRow("moved, place again") << int(StatusMoved) << false << true << int(StatusMoved) << false;
        QTest::newRow("changed, place") << int(StatusChanged) << false << true << int(StatusMovedAndChanged) << false;
        QTest::newRow("new stays new") << int(StatusNew) << true << true << int(StatusNew) << false;
        QTest::newRow("deleted stays deleted") << int(StatusDeleted) << true << true << int(StatusDeleted) << false;
    }

    void fileStatusRules()
    {
        QFETCH(int, current);
        QFETCH(bool, sicChanged);
        QFETCH(bool, moved);
        const auto status = hierarchyprojection::fileServerStatus(quint32(current), sicChanged, moved);
        QTEST(int(status.serverStatus), "expected");
        QTEST(status.movedFromSynchronized, "movedFromSynchronized");
    }

    void conflictRule_data()
    {
        QTest::addColumn<int>("client");
        QTest::addColumn<int>("server");
        QTest::addColumn<bool>("conflict");
        QTest::newRow("changed on both") << int(StatusChanged) << int(StatusChanged) << true;
        QTest::newRow("moved locally, changed on server") << int(StatusMoved) << int(StatusChanged) << true;
        QTest::newRow("changed locally, moved on server") << int(StatusChanged) << int(StatusMoved) << true;
        QTest::newRow("deleted locally, moved and changed") << int(StatusDeleted) << int(StatusMovedAndChanged) << true;
        QTest::newRow("moved on both") << int(StatusMoved) << int(StatusMoved) << false;
        QTest::newRow("only the server") << int(StatusSynchronized) << int(StatusChanged) << false;
        QTest::newRow("new locally, deleted on server") << int(StatusNew) << int(StatusDeleted) << false;
    }

    void conflictRule()
    {
        QFETCH(int, client);
        QFETCH(int, server);
        QTEST(hierarchyprojection::isConflict(SyncStatus{quint32(client), quint32(server)}), "conflict");
    }

    // --- against the reference server

    void emptyDatabaseGetsEverythingAsNew()
    {
        admin("POST", "/files", {{"path", "a.txt"}, {"content", "hello"}, {"createdTime", "2021-03-04T05:06:07Z"},
                                 {"modifiedTime", "2022-01-02T03:04:05Z"}});
        addServerFile("Docs/b.txt", "bee");
        addServerFile("Docs/Deep/c.txt", "");
        addServerFolder("Empty");

        std::atomic<Qt::HANDLE> projectionThread{nullptr};
        const QMetaObject::Connection watching = connect(
            m_db.data(), &CSyncDatabase::syncDatabaseChangedSignal, this,
            [&](ItemId) { projectionThread = QThread::currentThreadId(); }, Qt::DirectConnection);
        QCOMPARE(project().errorName, QString("dc.ErrorSuccess"));
        disconnect(watching);
        // The thread gave back what it used.
        QVERIFY(projectionThread.load() && projectionThread.load() != QThread::currentThreadId());
        QVERIFY(!CNetworkAccessManager::findInstanceForThread(projectionThread.load()));
        QCOMPARE(QSqlDatabase::connectionNames().size(), 1);

        QCOMPARE(m_db->countFolders(), 3u);
        QCOMPARE(m_db->countFiles(), 3u);
        // Column by column what the server itself answered.
        const SyncFile::Ptr c = fileRecord("Docs/Deep/c.txt");
        const QJsonObject onServer = m_server->treeItem(m_lib, "Docs/Deep/c.txt");
        QCOMPARE(c->ParentClientId, record("Docs/Deep")->ClientId);
        QCOMPARE(record("Docs/Deep")->syncStatus.ServerStatus, quint32(StatusNew));
        QCOMPARE(c->syncStatus.toString(), (SyncStatus{StatusSynchronized, StatusNew}.toString()));
        QCOMPARE(c->Sic, onServer.value("state").toString());
        QCOMPARE(c->Hash, onServer.value("contentHash").toString());
        QVERIFY(record("Empty") && !fileRecord("Empty"));
        const SyncFile::Ptr a = fileRecord("a.txt");
        QCOMPARE(a->CreatedTime, QDateTime(QDate(2021, 3, 4), QTime(5, 6, 7), Qt::UTC));
        QCOMPARE(a->UpdatedTime, QDateTime(QDate(2022, 1, 2), QTime(3, 4, 5), Qt::UTC));
        QCOMPARE(qint64(a->Size), 5);

        const SyncLibrary::Ptr library = m_db->getLibrary(m_libClientId);
        QCOMPARE(library->Sic, serverLibraryState());
        // Left for the library scheduler to check the library folder's name and place.
        QCOMPARE(library->syncStatus.ServerStatus, quint32(StatusMoved));
    }

    void unchangedProjectionWritesNothing()
    {
        addServerFile("a.txt", "a");
        addServerFile("Docs/b.txt", "b");
        addServerFile("Docs/Deep/c.txt", "c");
        QCOMPARE(project().errorName, QString("dc.ErrorSuccess"));
        const QStringList before = itemRows();

        std::atomic<int> itemChanges{0};
        const QMetaObject::Connection counting = connect(
            m_db.data(), &CSyncDatabase::syncDatabaseChangedSignal, this, [&](ItemId) { ++itemChanges; },
            Qt::DirectConnection);
        QSignalSpy libraryChanges(m_db.data(), &CSyncDatabase::syncLibraryChangedSignal);
        QCOMPARE(project().errorName, QString("dc.ErrorSuccess"));
        disconnect(counting);

        QCOMPARE(itemRows(), before);
        // The library row alone: its sic and server status.
        QCOMPARE(libraryChanges.count(), 1);
        QCOMPARE(itemChanges.load(), 1);
    }

    void serverChangesGiveTheirStatus_data()
    {
        QTest::addColumn<int>("change");
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("recordName");
        QTest::newRow("file renamed") << int(RenameFile) << "a.txt" << int(StatusMoved) << "a.txt";
        QTest::newRow("file moved to another folder") << int(MoveFile) << "Docs/b.txt" << int(StatusMoved) << "b.txt";
        QTest::newRow("file content changed") << int(ChangeContent) << "a.txt" << int(StatusChanged) << "a.txt";
        QTest::newRow("file deleted") << int(DeleteItem) << "a.txt" << int(StatusDeleted) << "a.txt";
        QTest::newRow("file renamed and changed") << int(RenameAndChange) << "a.txt" << int(StatusMovedAndChanged) << "a.txt";
        QTest::newRow("folder renamed takes the name") << int(RenameFolder) << "Docs" << int(StatusMoved) << "Docs 2";
        QTest::newRow("folder deleted") << int(DeleteItem) << "Docs" << int(StatusDeleted) << "Docs";
        QTest::newRow("new folder renamed again stays new") << int(RenameNewFolder) << "Other" << int(StatusNew) << "Other 2";
        // Nothing local to keep in place: name and parent are taken at once.
        QTest::newRow("file deleted locally, moved and renamed") << int(MoveDeletedFile) << "Docs/b.txt" << int(StatusMoved)
                                                                  << "b2.txt";
        // A local record without sic: the hash tells whether the server's content is another one.
        QTest::newRow("empty local sic, same hash: only the sic") << int(LocalSicLostSameHash) << "a.txt"
                                                                  << int(StatusSynchronized) << "a.txt";
        QTest::newRow("empty local sic, other hash: changed") << int(LocalSicLostOtherHash) << "a.txt" << int(StatusChanged)
                                                              << "a.txt";
    }

    void serverChangesGiveTheirStatus()
    {
        QFETCH(int, change);
        QFETCH(QString, target);
        QFETCH(int, status);
        QFETCH(QString, recordName);
        addServerFile("a.txt", "a");
        addServerFile("Docs/b.txt", "b");
        addServerFolder("Other");
        QCOMPARE(project().errorName, QString("dc.ErrorSuccess"));
        markAllSynchronized();
        // Items new on the client are unknown to the server and must stay so.
        SyncFolder::Ptr localFolder(new SyncFolder);
        SyncFile::Ptr localFile(new SyncFile);
        localFolder->ParentClientId = localFolder->LibraryClientId = localFile->LibraryClientId = m_libClientId;
        localFolder->ClientName = localFile->ClientName = "local";
        localFolder->syncStatus = localFile->syncStatus = SyncStatus{StatusNew, StatusSynchronized};
        QVERIFY(m_db->insertFolder(localFolder) != 0);
        localFile->ParentClientId = localFolder->ClientId;
        QVERIFY(m_db->insertFile(localFile) != 0);
        const QString id = idOf(target);
        const SyncItem::Ptr before = record(target);
        QVERIFY(before);

        switch (ServerChange(change)) {
        case RenameFile:
            patchItem(id, {{"name", "a2.txt"}});
            break;
        case MoveFile:
            patchItem(id, {{"parentId", idOf("Other")}});
            break;
        case MoveDeletedFile:
            m_db->updateFile(before->ClientId, CSqlValue("ClientStatus", quint32(StatusDeleted)));
            patchItem(id, {{"name", "b2.txt"}, {"parentId", idOf("Other")}});
            break;
        case ChangeContent:
            changeServerContent(id, "new content");
            break;
        case DeleteItem:
            admin("DELETE", "/items/" + id);
            break;
        case LocalSicLostSameHash:
        case LocalSicLostOtherHash:
            m_db->updateFile(before->ClientId, CSqlValue("Sic", QString()),
                             CSqlValue("Hash", change == LocalSicLostSameHash ? SyncFile::cast(before)->Hash : QString(40, '0')));
            break;
        case RenameAndChange:
            patchItem(id, {{"name", "a2.txt"}});
            changeServerContent(id, "new content");
            break;
        case RenameFolder:
            patchItem(id, {{"name", "Docs 2"}});
            break;
        case RenameNewFolder:
            m_db->updateFolder(before->ClientId, CSqlValue("ServerStatus", quint32(StatusNew)));
            patchItem(id, {{"name", "Other 2"}});
            break;
        }
        QCOMPARE(project().errorName, QString("dc.ErrorSuccess"));

        const SyncItem::Ptr after = m_db->getFile(before->ClientId) ? SyncItem::Ptr(m_db->getFile(before->ClientId))
                                                                   : SyncItem::Ptr(m_db->getFolder(before->ClientId));
        QVERIFY(after);
        QCOMPARE(int(after->syncStatus.ServerStatus), status);
        const bool deletedLocally = change == MoveDeletedFile;
        QCOMPARE(after->syncStatus.ClientStatus, quint32(deletedLocally ? StatusDeleted : StatusSynchronized));
        QCOMPARE(after->ServerName, recordName);
        // New names, parents and sics are fetched when the item itself is synchronised.
        QCOMPARE(parentClientIdOf(*after), deletedLocally ? record("Other")->ClientId : parentClientIdOf(*before));
        if (const SyncFile::Ptr file = SyncFile::cast(after))
            QCOMPARE(file->Sic, change == LocalSicLostOtherHash ? QString() : SyncFile::cast(before)->Sic);
        QCOMPARE(m_db->getLibrary(m_libClientId)->Sic, serverLibraryState());
        // Nothing else changed (a deleted folder takes its file along), and the new local items kept their server status.
        const bool subtree = target == "Docs" && status == StatusDeleted;
        const QString changed = QString("SELECT COUNT(*) FROM %2 WHERE ServerStatus != %1").arg(StatusSynchronized);
        QCOMPARE(m_db->execQuery(changed.arg("Files")).value(0).toInt() + m_db->execQuery(changed.arg("Folders")).value(0).toInt(),
                 subtree ? 2 : status == StatusSynchronized ? 0 : 1);
    }

    void changeOnBothSides_data()
    {
        QTest::addColumn<int>("localStatusOfB");
        QTest::addColumn<bool>("newSic");
        QTest::newRow("old library sic kept") << int(StatusSynchronized) << false;
        QTest::newRow("a local deletion lets the new sic through") << int(StatusDeleted) << true;
    }

    void changeOnBothSides()
    {
        QFETCH(int, localStatusOfB);
        QFETCH(bool, newSic);
        addServerFile("a.txt", "a");
        addServerFile("b.txt", "b");
        QCOMPARE(project().errorName, QString("dc.ErrorSuccess"));
        markAllSynchronized();
        const QString oldSic = m_db->getLibrary(m_libClientId)->Sic;
        const SyncFile::Ptr a = fileRecord("a.txt");
        m_db->updateFile(a->ClientId, CSqlValue("ClientStatus", quint32(StatusChanged)));
        m_db->updateFile(fileRecord("b.txt")->ClientId, CSqlValue("ClientStatus", quint32(localStatusOfB)));
        changeServerContent(QString::number(a->ServerId), "changed on the server too");

        QCOMPARE(project().errorName, QString("dc.ErrorSuccess"));
        QVERIFY(m_lastConflict);
        QCOMPARE(m_db->getFile(a->ClientId)->syncStatus.ServerStatus, quint32(StatusChanged));
        const QString sic = m_db->getLibrary(m_libClientId)->Sic;
        QCOMPARE(sic, newSic ? serverLibraryState() : oldSic);
        QVERIFY(serverLibraryState() != oldSic);
    }

    void oversizedAnswers_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QString>("fill");
        QTest::addColumn<QString>("result");
        QTest::addColumn<bool>("streamed");
        QTest::newRow("one byte over the limit: streamed") << CJsonResponse::kMaxDocumentSize + 1 << " " << "dc.ErrorSuccess" << true;
        QTest::newRow("exactly the limit, unreadable: not streamed") << CJsonResponse::kMaxDocumentSize << "x" << "dc.ErrorInternal" << false;
        QTest::newRow("exactly the limit, readable: read whole") << CJsonResponse::kMaxDocumentSize << " " << "dc.ErrorSuccess" << false;
    }

    void oversizedAnswers()
    {
        QFETCH(int, size);
        QFETCH(QString, fill);
        QFETCH(QString, result);
        QFETCH(bool, streamed);
        addServerFile("a.txt", "a");
        addServerFile("Docs/b.txt", "b");
        m_server->addFault({{"type", "pad"}, {"method", "FileSync.getHierarchy"}, {"size", size}, {"fill", fill}});

        MessageCapture capture;
        g_nextHandler = qInstallMessageHandler(dropHugeMessages);
        const ErrorCode error = project();
        qInstallMessageHandler(g_nextHandler);

        QCOMPARE(error.errorName, result);
        QCOMPARE(capture.count(QtDebugMsg, "CJsonSaxHierarchyParser::parse: hierarchyData size:"), streamed ? 1 : 0);
        // Streamed answers never sat in memory: they went to a temporary file, gone afterwards.
        const QStringList spooled = capture.lines(QtDebugMsg, "CWorkspaceServerPostRequest::startSpool:");
        QCOMPARE(spooled.size(), streamed ? 1 : 0);
        if (streamed)
            QVERIFY(!QFile::exists(spooled.first().section(" kept in ", 1)));
        if (error.isSuccess()) {
            QCOMPARE(m_db->countFiles(), 2u);
            QCOMPARE(fileRecord("Docs/b.txt")->ParentClientId, record("Docs")->ClientId);
            QCOMPARE(m_db->getLibrary(m_libClientId)->Sic, serverLibraryState());
        } else {
            QCOMPARE(m_db->countFiles() + m_db->countFolders(), 0u);
            QCOMPARE(m_db->getLibrary(m_libClientId)->Sic, QString());
        }
    }

    void malformedAnswersChangeNothing_data()
    {
        QTest::addColumn<QString>("result");
        QTest::newRow("empty result") << "{}";
        QTest::newRow("hierarchy of another library") << "{\"hierarchy\":{\"id\":\"1\",\"state\":\"s\",\"files\":[],\"folders\":[]}}";
        QTest::newRow("no state") << "{\"hierarchy\":{\"id\":\"%1\",\"files\":[],\"folders\":[]}}";
        QTest::newRow("a file without id") << "{\"hierarchy\":{\"id\":\"%1\",\"state\":\"s\",\"files\":[{\"name\":\"x\"}],\"folders\":[]}}";
        QTest::newRow("a folder without id")
            << "{\"hierarchy\":{\"id\":\"%1\",\"state\":\"s\",\"files\":[],\"folders\":[{\"id\":\"\",\"name\":\"x\"}]}}";
    }

    void malformedAnswersChangeNothing()
    {
        QFETCH(QString, result);
        addServerFile("a.txt", "a");
        addServerFolder("Docs");
        QCOMPARE(project().errorName, QString("dc.ErrorSuccess"));
        markAllSynchronized();
        const QStringList before = itemRows();
        const QString sic = m_db->getLibrary(m_libClientId)->Sic;
        const QString body = "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":" + result.arg(m_lib.id) + "}";
        m_server->addFault({{"type", "httpStatus"}, {"status", 200}, {"method", "FileSync.getHierarchy"}, {"body", body}});

        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^CServerHierarchyProjector::processHierarchy: clientId: \\d+ malformed hierarchy"));
        QCOMPARE(project().errorName, QString("dc.ErrorInternal"));
        QCOMPARE(itemRows(), before);
        QCOMPARE(m_db->getLibrary(m_libClientId)->Sic, sic);
    }

    void unknownLibraryAsksForTheDummyToken()
    {
        addServerFile("a.txt", "a");
        QCOMPARE(m_server->admin("DELETE", m_lib.path()).status, 200);
        m_server->clearRequestLog();

        QCOMPARE(project().errorName, QString("brindlex.ItemNotFound"));
        QStringList methods;
        for (const QJsonValue &entry : m_server->requestLog())
            methods << entry.toObject().value("rpcMethod").toString();
        QCOMPARE(methods, (QStringList{"FileSync.getHierarchy", "FileSync.getWatcherAuthenticationToken"}));
        QCOMPARE(m_db->countFiles(), 0u);
        QCOMPARE(m_db->getLibrary(m_libClientId)->syncStatus.ServerStatus, quint32(StatusNew));
    }

    // --- one transaction per projection (hierarchies built here, projected on this thread)

    void unsubscriptionDuringProjectionIsKept()
    {
        bool unsubscribed = false;
        const QMetaObject::Connection host = connect(m_db.data(), &CSyncDatabase::syncDatabaseChangedSignal, this, [&](ItemId) {
            if (!std::exchange(unsubscribed, true))
                m_db->updateLibrary(m_libClientId, CSqlValue("ServerStatus", quint32(StatusDeleted)));
        });
        QCOMPARE(projectBuilt({serverFile(1)}, {}).errorName, QString("dc.ErrorSuccess"));
        disconnect(host);
        QVERIFY(unsubscribed);
        QCOMPARE(m_db->getLibrary(m_libClientId)->syncStatus.ServerStatus, quint32(StatusDeleted));
    }

    // What the server answered is checked column by column above; here the shape the batch builds.
    void newItemsBelowKnownFoldersAndKnownIdsRefused()
    {
        QCOMPARE(projectBuilt({serverFile(1)}, {serverFolder(10, {serverFile(11)}, {serverFolder(20, {})})}).errorName,
                 QString("dc.ErrorSuccess"));
        // Server ids the library already has, as a file and as a folder: refused, the folder's subtree with it.
        const QVector<brindlex::Folder> grown{
            serverFolder(10, {serverFile(11), serverFile(12)},
                         {serverFolder(20, {serverFile(21)}, {serverFolder(30, {serverFile(31)})}), serverFolder(1, {serverFile(13)})})};
        QCOMPARE(projectBuilt({serverFile(1), serverFile(10), serverFile(2)}, grown).errorName, QString("dc.ErrorSuccess"));
        QStringList rows;
        QSqlQuery query = m_db->execQuery("SELECT i.ServerId, p.ServerId FROM (SELECT ServerId, ParentClientId FROM Files UNION "
                                          "ALL SELECT ServerId, ParentClientId FROM Folders) i LEFT JOIN Folders p ON "
                                          "p.ClientId = i.ParentClientId ORDER BY i.ServerId;");
        for (bool row = query.isValid(); row; row = query.next())
            rows << query.value(0).toString() + "<" + query.value(1).toString();
        QCOMPARE(rows, (QStringList{"1<", "2<", "10<", "11<10", "12<10", "20<10", "21<20", "30<20", "31<30"}));
    }

    void interruptedProjectionLeavesThePreviousState()
    {
        QCOMPARE(projectBuilt({serverFile(1), serverFile(2)}, {serverFolder(10, {serverFile(11)})}).errorName,
                 QString("dc.ErrorSuccess"));
        markAllSynchronized();
        const QStringList before = itemRows();
        const QString sicBefore = m_db->getLibrary(m_libClientId)->Sic;

        // A changed file, a vanished one, a renamed folder and new files: every kind of write.
        QVector<brindlex::File> files{serverFile(1, 1, "s2")};
        for (quint64 id = 100; id < 120; ++id)
            files << serverFile(id);
        const QVector<brindlex::Folder> folders{serverFolder(10, {serverFile(11)}, {}, "renamed")};
        g_newFilesUntilShutdown = 3;
        g_interruptedHandler = qInstallMessageHandler(shutDownMidProjection);
        const ErrorCode interrupted = projectBuilt(files, folders, "state-2");
        qInstallMessageHandler(g_interruptedHandler);
        QCOMPARE(interrupted.errorName, QString("dc.ErrorOperationCancelled"));
        QCOMPARE(itemRows(), before);
        QCOMPARE(m_db->getLibrary(m_libClientId)->Sic, sicBefore);

        // The next run does all of it.
        appstate::setShuttingDown(false);
        QCOMPARE(projectBuilt(files, folders, "state-2").errorName, QString("dc.ErrorSuccess"));
        QCOMPARE(m_db->countFiles(), 23u);
    }

private:
    ErrorCode projectBuilt(const QVector<brindlex::File> &files, const QVector<brindlex::Folder> &folders,
                           const QString &state = "state-1")
    {
        brindlex::Hierarchy hierarchy;
        hierarchy.id = m_lib.id;
        hierarchy.state = state;
        hierarchy.files = files;
        hierarchy.folders = folders;
        CServerHierarchyProjector projector(m_db, m_sessions, m_db->getLibrary(m_libClientId));
        return projector.projectHierarchy(hierarchy);
    }

    ErrorCode project()
    {
        CServerHierarchyProjector projector(m_db, m_sessions, m_db->getLibrary(m_libClientId));
        QSignalSpy finished(&projector, &CServerHierarchyProjector::finishedSignal);
        projector.start();
        if (!finished.wait(60000)) {
            qWarning("projection did not finish");
            projector.quit();
            projector.wait();
            return ErrorCode(ServerApiErrorCode::ErrorUnknown);
        }
        m_lastConflict = projector.hasConflict();
        const ErrorCode error = finished.first().at(0).value<ErrorCode>();
        if (finished.first().at(1).value<SyncLibrary::Ptr>() != projector.library())
            qWarning("finishedSignal names another library");
        return error;
    }

    void admin(const QByteArray &method, const QString &path, const QJsonObject &body = {})
    {
        const ReferenceServer::Reply reply = m_server->admin(method, m_lib.path() + path, body);
        QVERIFY2(reply.status == 201 || reply.status == 200, qPrintable(QString::fromLatin1(method) + ' ' + path));
    }
    void addServerFile(const QString &path, const QString &content) { admin("POST", "/files", {{"path", path}, {"content", content}}); }
    void addServerFolder(const QString &path) { admin("POST", "/folders", {{"path", path}}); }
    void patchItem(const QString &id, const QJsonObject &change) { admin("PATCH", "/items/" + id, change); }
    void changeServerContent(const QString &id, const QString &content) { admin("PUT", "/files/" + id + "/content", {{"content", content}}); }

    QString serverLibraryState() const { return m_server->libraryState(m_lib); }
    QString idOf(const QString &path) const { return m_server->treeItem(m_lib, path).value("id").toString(); }
    SyncFile::Ptr fileRecord(const QString &path) const { return SyncFile::cast(record(path)); }

    SyncItem::Ptr record(const QString &path) const
    {
        if (const SyncFile::Ptr file = m_db->getFileByServerId(idOf(path).toULongLong(), m_libClientId))
            return file;
        return m_db->getFolderByServerId(idOf(path).toULongLong(), m_libClientId);
    }

    void markAllSynchronized()
    {
        for (const char *table : {"Files", "Folders"}) {
            QVERIFY(m_db->execQuery(QString("UPDATE %1 SET ServerStatus = %2, ClientStatus = %2, ClientName = ServerName")
                                        .arg(table).arg(StatusSynchronized)).isActive());
        }
        m_db->updateLibrary(m_libClientId, CSqlValue("ServerStatus", quint32(StatusSynchronized)),
                            CSqlValue("ClientStatus", quint32(StatusSynchronized)));
    }

    // Every file and folder row, every column.
    QStringList itemRows() const
    {
        QStringList rows;
        for (const char *table : {"Folders", "Files"}) {
            QSqlQuery query = m_db->execQuery(QString("SELECT * FROM %1 ORDER BY ClientId").arg(table));
            for (bool row = query.isValid(); row; row = query.next()) {
                QStringList values;
                for (int c = 0; c < query.record().count(); ++c)
                    values << query.value(c).toString();
                rows << values.join('|');
            }
        }
        return rows;
    }

    QScopedPointer<ReferenceServer> m_server;
    QSharedPointer<CUserSessionController> m_sessions;
    ReferenceServer::Library m_lib;
    int m_libraries = 0;
    QScopedPointer<QTemporaryDir> m_dir;
    QSharedPointer<CSyncDatabase> m_db;
    ItemId m_libClientId = 0;
    bool m_lastConflict = false;
};

BXSYNC_TEST_MAIN(TestServerHierarchyProjector)
#include "tst_serverhierarchyprojector.moc"
