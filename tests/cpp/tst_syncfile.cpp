#include "AppStatusController.h"
#include "Config.h"
#include "ErrorCodePrinting.h"
#include "FileManipulation.h"
#include "ReferenceServer.h"
#include "ServerHierarchyProjector.h"
#include "SyncDatabase.h"
#include "SyncFile.h"
#include "SyncFolder.h"
#include "SyncHash.h"
#include "TestMain.h"
#include "UserSessionController.h"
#include "WorkspaceServerRequest.h"
#include "main.h"
#include "utils.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QSignalSpy>

using testsupport::ReferenceServer;

namespace {

QByteArray patterned(int size, char seed)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 31 + seed) % 253);
    return data;
}

QString sha1(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex());
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Relative path -> content hash of every file below root, dot-folders left out.
QMap<QString, QString> localTree(const QString &root)
{
    QMap<QString, QString> tree;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (!relative.startsWith(QLatin1Char('.')))
            tree.insert(relative, CSyncHash::calculateByFilePath(path));
    }
    return tree;
}

QSet<QString> hashSet(const QMap<QString, QString> &tree)
{
    QSet<QString> set;
    for (const QString &hash : tree)
        set.insert(hash);
    return set;
}

} // namespace

class TestSyncFile : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        registerServerApiMetaTypes();
        registerSyncRecordMetaTypes();
        if (!CConfig::instance()) {
            static QTemporaryDir configDir;
            CConfig::setInstance(QSharedPointer<CConfig>(new CConfig(configDir.path())));
        }
        m_server.reset(new ReferenceServer());
        QVERIFY(m_server->isRunning());
        m_server->trustCa();
        m_sessions = m_server->signIn();
        m_status.reset(new CAppStatusController([] { return true; }));
        m_team = m_server->createTenantWithTeam(m_tenant, "Files");
        QVERIFY(!m_team.isEmpty());
    }

    void cleanupTestCase()
    {
        m_sessions.reset();
        CNetworkAccessManager::deleteInstanceForCurrentThread();
    }

    void init()
    {
        filesync::setDiscFreeSpaceForTesting(-1);
        m_dir.reset(new QTemporaryDir);
        m_db.reset(new CSyncDatabase(m_dir->path()));
        m_files.reset(new CFileManipulation(m_db));
        const QJsonObject made = m_server->admin("POST", "/admin/tenants/" + m_tenant + "/libraries",
                                                 {{"name", QString("Lib %1").arg(++m_libraries)}, {"teamId", m_team}})
                                     .object();
        m_lib.tenantId = m_tenant;
        m_lib.teamId = m_team;
        m_lib.id = made.value("id").toString().toULongLong();
        QVERIFY(m_lib.id > 0);
        insertLibrary();
        m_server->clearRequestLog();
        m_server->admin("DELETE", "/admin/violations");
        m_fetches = 0;
    }

    void cleanup()
    {
        appstate::setShuttingDown(false);
        m_server->admin("DELETE", "/admin/faults");
        QCOMPARE(m_server->admin("GET", "/admin/violations").array().size(), 0);
        QVERIFY(!QFileInfo::exists(downloadFolder()) || QDir(downloadFolder()).isEmpty());
        m_files.reset();
        m_db->closeDatabaseForCurrentThread();
        m_db.reset();
    }

    // --- the pure rules

    void freeSpaceReserve_data()
    {
        QTest::addColumn<qint64>("free");
        QTest::addColumn<int>("verdict");
        const qint64 needed = 1000 + filesync::kFreeSpaceReserve;
        QTest::newRow("exactly size and reserve") << needed << int(filesync::FreeSpace::Enough);
        QTest::newRow("one byte less") << needed - 1 << int(filesync::FreeSpace::NotEnough);
        QTest::newRow("unreadable") << qint64(-1) << int(filesync::FreeSpace::Unknown);
    }
    void freeSpaceReserve()
    {
        QFETCH(qint64, free);
        QFETCH(int, verdict);
        QCOMPARE(int(filesync::freeSpaceVerdict(free, 1000)), verdict);
    }

    // Whether a download may replace (or a removal remove) what is on disk.
    void unchangedSinceRecorded_data()
    {
        QTest::addColumn<QString>("recordHash");
        QTest::addColumn<bool>("exists");
        QTest::addColumn<bool>("regular");
        QTest::addColumn<quint64>("size");
        QTest::addColumn<int>("secondsOff");
        QTest::addColumn<QString>("diskHash");
        QTest::addColumn<bool>("unchanged");
        QTest::newRow("nothing there") << "h" << false << false << quint64(0) << 0 << "" << true;
        QTest::newRow("same hash, other time") << "h" << true << true << quint64(5) << 60 << "h" << true;
        QTest::newRow("other hash, same size and time") << "h" << true << true << quint64(5) << 0 << "x" << false;
        QTest::newRow("no recorded hash, same size and time") << "" << true << true << quint64(5) << 0 << "x" << true;
        QTest::newRow("no recorded hash, other time") << "" << true << true << quint64(5) << 2 << "x" << false;
        QTest::newRow("no recorded hash, other size") << "" << true << true << quint64(6) << 0 << "x" << false;
        QTest::newRow("a folder in its place") << "h" << true << false << quint64(0) << 0 << "" << false;
    }
    void unchangedSinceRecorded()
    {
        QFETCH(QString, recordHash);
        QFETCH(bool, exists);
        QFETCH(bool, regular);
        QFETCH(quint64, size);
        QFETCH(int, secondsOff);
        QFETCH(QString, diskHash);
        QFETCH(bool, unchanged);
        SyncFile record;
        record.Hash = recordHash;
        record.Size = 5;
        record.UpdatedTime = QDateTime(QDate(2024, 1, 1), QTime(12, 0), Qt::UTC);
        filesync::LocalFile disk;
        disk.exists = exists;
        disk.regular = regular;
        disk.size = size;
        disk.modifiedUtc = record.UpdatedTime.addSecs(secondsOff);
        disk.hash = diskHash;
        QCOMPARE(filesync::isUnchangedSinceRecorded(record, disk), unchanged);
    }

    void targetOfANewServerFile_data()
    {
        QTest::addColumn<bool>("exists");
        QTest::addColumn<bool>("regular");
        QTest::addColumn<quint64>("size");
        QTest::addColumn<QString>("hash");
        QTest::addColumn<int>("verdict");
        QTest::newRow("free") << false << false << quint64(0) << "" << int(filesync::Target::Free);
        QTest::newRow("same content") << true << true << quint64(3) << "abc" << int(filesync::Target::Adopt);
        QTest::newRow("same size, other content") << true << true << quint64(3) << "abd" << int(filesync::Target::Occupied);
        QTest::newRow("same hash text, other size") << true << true << quint64(4) << "abc" << int(filesync::Target::Occupied);
        QTest::newRow("a folder of that name") << true << false << quint64(3) << "abc" << int(filesync::Target::Occupied);
    }
    void targetOfANewServerFile()
    {
        QFETCH(bool, exists);
        QFETCH(bool, regular);
        QFETCH(quint64, size);
        QFETCH(QString, hash);
        QFETCH(int, verdict);
        filesync::LocalFile disk;
        disk.exists = exists;
        disk.regular = regular;
        disk.size = size;
        disk.hash = hash;
        QCOMPARE(int(filesync::targetVerdict(disk, "abc", 3)), verdict);
    }

    // --- one file against the reference server

    void downloadsMatchTheServer_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("size");
        QTest::newRow("empty file") << "empty.txt" << 0;
        QTest::newRow("300 KiB") << "medium.bin" << 300 * 1024;
        QTest::newRow("2 MiB") << "large.bin" << 2 * 1024 * 1024;
        QTest::newRow("long Japanese name") << QString::fromUtf8("日本語のとても長いファイル名").repeated(5) + ".txt" << 1000;
    }
    void downloadsMatchTheServer()
    {
        QFETCH(QString, name);
        QFETCH(int, size);
        const QByteArray content = patterned(size, 3);
        addServerFile("Folder/" + name, content, "2020-01-02T03:04:05Z", "2021-06-07T08:09:10Z");
        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));

        const QString path = libraryPath() + "/Folder/" + name;
        QCOMPARE(readFile(path), content);
        QCOMPARE(utils::getModifiedTimeUtc(path), QDateTime(QDate(2021, 6, 7), QTime(8, 9, 10), Qt::UTC));
        const SyncFile::Ptr record = onlyFile(name);
        QCOMPARE(record->Hash, sha1(content));
        QVERIFY(record->syncStatus.isSynchronized());
    }

    void localFilesAreUploadedAndEditsUpdate()
    {
        writeFile(libraryPath() + "/new.txt", "first");
        addLocalNewFile("new.txt");
        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));
        SyncFile::Ptr record = onlyFile("new.txt");
        QVERIFY(record->ServerId != 0);
        QVERIFY(!record->Sic.isEmpty());
        QCOMPARE(record->Hash, sha1("first"));
        QCOMPARE(serverItem("new.txt").value("contentHash").toString(), sha1("first"));

        writeFile(libraryPath() + "/new.txt", "second version");
        m_db->updateFile(record->ClientId, CSqlValue("ClientStatus", quint32(StatusChanged)));
        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));
        QCOMPARE(serverItem("new.txt").value("contentHash").toString(), sha1("second version"));
        QCOMPARE(serverItem("new.txt").value("id").toString().toULongLong(), record->ServerId);
        QCOMPARE(onlyFile("new.txt")->Hash, sha1("second version"));
    }

    void serverChangeWaitsForAWriterThenReplaces()
    {
        const quint64 id = addServerFile("doc.txt", "old");
        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));
        putServerContent(id, "new content");
        project();

        QFile writer(libraryPath() + "/doc.txt");
        QVERIFY(writer.open(QIODevice::ReadWrite));
        QCOMPARE(stepOnce().errorName, QString("dc.ErrorLocalFileOpened"));
        QCOMPARE(readFile(libraryPath() + "/doc.txt"), QByteArray("old"));
        writer.close();
        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));
        QCOMPARE(readFile(libraryPath() + "/doc.txt"), QByteArray("new content"));
    }

    // A fault leaves the local side as it was, and the next pass gets through.
    void serverFaultsLoseNothing_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<QJsonObject>("fault");
        QTest::newRow("truncated body") << false << QJsonObject{{"type", "truncate"}, {"endpoint", "download"}};
        QTest::newRow("dropped connection") << false
                                            << QJsonObject{{"type", "drop"}, {"endpoint", "download"}, {"afterBytes", 5000}};
        QTest::newRow("no Content-Disposition")
            << false
            << QJsonObject{{"type", "headers"}, {"endpoint", "download"}, {"set", QJsonObject{{"content-disposition", QJsonValue()}}}};
        QTest::newRow("empty upload answer")
            << true << QJsonObject{{"type", "httpStatus"}, {"endpoint", "upload"}, {"status", 200}, {"body", ""}};
        QTest::newRow("dropped upload") << true << QJsonObject{{"type", "drop"}, {"endpoint", "upload"}};
    }
    void serverFaultsLoseNothing()
    {
        QFETCH(bool, upload);
        QFETCH(QJsonObject, fault);
        const QByteArray serverContent = patterned(300 * 1024, 5);
        const QByteArray localContent = patterned(1000, 6);
        if (upload) {
            writeFile(libraryPath() + "/f.bin", localContent);
            addLocalNewFile("f.bin");
        } else {
            addServerFile("f.bin", serverContent);
        }
        project();
        m_server->addFault(fault);
        const ErrorCode first = stepOnce();
        QVERIFY2(!first.isSuccess(), qPrintable(first.errorName));
        const SyncFile::Ptr record = onlyFile("f.bin");
        QCOMPARE(QFileInfo::exists(libraryPath() + "/f.bin"), upload);
        QVERIFY(!record->syncStatus.isSynchronized());
        QCOMPARE(record->ServerId != 0, !upload);

        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));
        QCOMPARE(readFile(libraryPath() + "/f.bin"), upload ? localContent : serverContent);
        QCOMPARE(serverItem("f.bin").value("contentHash").toString(), sha1(upload ? localContent : serverContent));
        QVERIFY(onlyFile("f.bin")->syncStatus.isSynchronized());
    }

    void bothSidesChangedKeepsBothVersions()
    {
        const quint64 id = addServerFile("shared.txt", "base");
        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));
        const int fetchesBefore = m_fetches;
        putServerContent(id, "server edit");
        writeFile(libraryPath() + "/shared.txt", "local edit");
        m_db->updateFile(onlyFile("shared.txt")->ClientId, CSqlValue("ClientStatus", quint32(StatusChanged)));
        m_db->updateLibrary(m_libClientId, CSqlValue("ServerStatus", quint32(StatusChanged)));
        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));

        const QMap<QString, QString> local = localTree(libraryPath());
        QCOMPARE(local.size(), 2);
        QCOMPARE(local.value("shared.txt"), sha1("server edit"));
        QVERIFY(local.values().contains(sha1("local edit")));
        QCOMPARE(serverHashes(), hashSet(local));
        QVERIFY2(m_fetches - fetchesBefore <= 3, qPrintable(QString::number(m_fetches - fetchesBefore)));
    }

    // A refused upload parks the file; the re-check lets it through in one pass once the obstacle
    // is gone. An infected file is not offered again.
    void refusals_data()
    {
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<quint32>("attr");
        QTest::newRow("quota too small") << "quota" << quint32(AttrQuotaExceeded);
        QTest::newRow("role Reader") << "role" << quint32(AttrAccessDenied);
        QTest::newRow("antivirus marker") << "virus" << quint32(AttrInfected);
    }
    void refusals()
    {
        QFETCH(QString, refusal);
        QFETCH(quint32, attr);
        QByteArray content = patterned(150 * 1024, 7);
        if (refusal == "virus")
            content += "BX-AV-TEST-SIGNATURE";
        if (refusal == "quota")
            QCOMPARE(m_server->admin("PATCH", "/admin/tenants/" + m_tenant, {{"quota", 1000}}).status, 200);
        if (refusal == "role")
            QCOMPARE(m_server->admin("PUT", m_lib.path() + "/roles/*", {{"role", "Reader"}}).status, 200);
        writeFile(libraryPath() + "/p.bin", content);
        addLocalNewFile("p.bin");
        runUntilIdle();
        QCOMPARE(onlyFile("p.bin")->Attr, attr);
        QVERIFY(serverItem("p.bin").isEmpty());

        m_server->clearRequestLog();
        if (refusal == "virus") {
            QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));
            QCOMPARE(countRequests("upload"), 0);
            return;
        }
        if (refusal == "quota")
            m_server->admin("PATCH", "/admin/tenants/" + m_tenant, {{"quota", QJsonValue()}});
        else
            m_server->admin("PUT", m_lib.path() + "/roles/*", {{"role", "Editor"}});
        QCOMPARE(runItem(onlyFile("p.bin")).errorName, QString("dc.ErrorSuccess"));
        QCOMPARE(onlyFile("p.bin")->Attr, 0u);
        QCOMPARE(serverItem("p.bin").value("contentHash").toString(), sha1(content));
        QCOMPARE(countRequests("upload"), 1);
    }

    void notEnoughFreeSpaceOnlyAsksTheServer()
    {
        const quint64 id = addServerFile("big.bin", patterned(4096, 8));
        project();
        filesync::setDiscFreeSpaceForTesting(filesync::kFreeSpaceReserve + 4095);
        m_server->clearRequestLog();
        QCOMPARE(stepOnce().errorName, QString("dc.ErrorNotEnoughFreeSpaceOnDisc"));
        QCOMPARE(countRequests("download"), 0);
        QCOMPARE(countRequests("jsonrpc"), 1);
        QVERIFY(!QFileInfo::exists(libraryPath() + "/big.bin"));

        m_server->admin("DELETE", m_lib.path() + "/items/" + QString::number(id));
        QCOMPARE(stepOnce().errorName, QString("dc.ErrorSuccess"));
        QCOMPARE(m_db->countFiles(), 0u);
    }

    void fileDeletedThenOfferedElsewhereComesFromTheCache()
    {
        const QByteArray content = patterned(200 * 1024, 9);
        const quint64 id = addServerFile("A/moved.bin", content);
        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));
        m_server->admin("DELETE", m_lib.path() + "/items/" + QString::number(id));
        addServerFile("B/moved.bin", content);
        m_server->clearRequestLog();
        m_db->updateLibrary(m_libClientId, CSqlValue("ServerStatus", quint32(StatusChanged)));
        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));
        QCOMPARE(readFile(libraryPath() + "/B/moved.bin"), content);
        QVERIFY(!QFileInfo::exists(libraryPath() + "/A/moved.bin"));
        QCOMPARE(countRequests("download"), 0);
    }

    // What a run killed at any moment of a download leaves: a partial temporary file, a file put in
    // place whose record was not written yet, a record that chose its name. Nothing is doubled.
    void interruptedDownloadsConverge()
    {
        for (int i = 0; i < 30; ++i)
            addServerFile(QString("F%1/file%2.txt").arg(i % 3).arg(i), patterned(1000 + i, char(i)));
        project();
        for (int i = 0; i < 10; ++i)
            stepOnce();
        const SyncItem::Ptr pending = m_db->getOneNotSynchronizedItemFromLibrary(m_libClientId);
        QVERIFY(pending && pending->isFile());
        const SyncFile::Ptr placed = SyncFile::cast(pending);
        QVERIFY(writeFile(libraryPath() + "/" + relativePathOnServer(placed->ServerId),
                          m_contents.value(placed->ServerId)));
        QVERIFY(writeFile(downloadFolder() + "/half.part", "partial"));

        const int missing = 30 - localTree(libraryPath()).size();
        filesync::removeDownloadLeftovers(syncpath::storeFolder());
        m_server->clearRequestLog();
        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));
        QCOMPARE(localTree(libraryPath()).size(), 30);
        QCOMPARE(hashSet(localTree(libraryPath())),
                 serverHashes());
        QCOMPARE(countRequests("download"), missing);
    }

    // Start-up after the database was lost: identical files are taken over, a differing one is kept
    // and both versions end on both sides.
    void rebuiltDatabaseAdoptsIdenticalFiles()
    {
        addServerFile("same1.txt", "one");
        addServerFile("Sub/same2.txt", "two");
        addServerFile("differs.txt", "server text");
        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));
        writeFile(libraryPath() + "/differs.txt", "local text");

        m_files.reset();
        m_db->closeDatabaseForCurrentThread();
        m_db.reset();
        m_dir.reset(new QTemporaryDir);
        m_db.reset(new CSyncDatabase(m_dir->path()));
        m_files.reset(new CFileManipulation(m_db));
        insertLibrary();
        // What the start-up comparison of disk and database records.
        SyncFolder::Ptr sub(new SyncFolder);
        sub->ParentClientId = m_libClientId;
        sub->LibraryClientId = m_libClientId;
        sub->ClientName = sub->ServerName = "Sub";
        sub->syncStatus = {StatusNew, StatusSynchronized};
        m_db->insertFolder(sub);
        addLocalNewFile("same1.txt");
        addLocalNewFile("differs.txt");
        addLocalNewFile("same2.txt", sub->ClientId);

        m_server->clearRequestLog();
        QCOMPARE(runUntilIdle().errorName, QString("dc.ErrorSuccess"));
        QCOMPARE(countRequests("download"), 1);
        const QMap<QString, QString> local = localTree(libraryPath());
        QCOMPARE(local.size(), 4);
        for (const QString &name : local.keys())
            QVERIFY2(!name.contains(" (2)"), qPrintable(name));
        QVERIFY(local.values().contains(sha1("local text")));
        QVERIFY(local.values().contains(sha1("server text")));
        QCOMPARE(serverHashes(), hashSet(local));
    }

private:
    void insertLibrary()
    {
        SyncLibrary::Ptr record(new SyncLibrary);
        record->ServerId = m_lib.id;
        record->TenantId = m_tenant;
        record->TenantName = "Files";
        record->ClientName = QString("Files/Lib %1").arg(m_libraries);
        record->ServerName = QString("Lib %1").arg(m_libraries);
        record->syncStatus.ServerStatus = StatusNew;
        record->syncStatus.ClientStatus = StatusSynchronized;
        m_libClientId = m_db->insertLibrary(record);
        QVERIFY(m_libClientId != 0);
        QDir().mkpath(libraryPath());
    }

    QString libraryPath() const
    {
        return syncpath::join(syncpath::storeFolder(), QString("Files/Lib %1").arg(m_libraries));
    }
    QString downloadFolder() const { return filesync::downloadFolderPath(syncpath::storeFolder()); }

    quint64 addServerFile(const QString &path, const QByteArray &content, const QString &created = QString(),
                          const QString &modified = QString())
    {
        QJsonObject body{{"path", path}, {"contentBase64", QString::fromLatin1(content.toBase64())}};
        if (!created.isEmpty())
            body["createdTime"] = created;
        if (!modified.isEmpty())
            body["modifiedTime"] = modified;
        const ReferenceServer::Reply reply = m_server->admin("POST", m_lib.path() + "/files", body);
        if (reply.status != 201 && reply.status != 200)
            qWarning() << "addServerFile:" << reply.json.toJson();
        const quint64 id = reply.object().value("id").toString().toULongLong();
        m_contents.insert(id, content);
        return id;
    }

    void putServerContent(quint64 id, const QByteArray &content)
    {
        m_server->admin("PUT", m_lib.path() + "/files/" + QString::number(id) + "/content",
                        {{"contentBase64", QString::fromLatin1(content.toBase64())}});
    }

    QString relativePathOnServer(quint64 id)
    {
        for (const QJsonValue &value : serverTree())
            if (value.toObject().value("id").toString().toULongLong() == id)
                return value.toObject().value("path").toString();
        return QString();
    }

    QJsonArray serverTree()
    {
        const ReferenceServer::Reply tree = m_server->admin("GET", m_lib.path() + "/tree");
        return tree.json.isArray() ? tree.array() : tree.object().value("items").toArray();
    }

    QSet<QString> serverHashes()
    {
        QSet<QString> hashes;
        for (const QJsonValue &value : serverTree())
            if (value.toObject().value("type").toString() != "folder" && value.toObject().contains("contentHash"))
                hashes.insert(value.toObject().value("contentHash").toString());
        return hashes;
    }

    QJsonObject serverItem(const QString &relative) { return m_server->treeItem(m_lib, relative); }

    void addLocalNewFile(const QString &name, ItemId parent = 0)
    {
        SyncFile::Ptr file(new SyncFile);
        file->ParentClientId = parent ? parent : m_libClientId;
        file->LibraryClientId = m_libClientId;
        file->ClientName = file->ServerName = name;
        file->syncStatus = {StatusNew, StatusSynchronized};
        m_db->insertFile(file);
    }

    SyncFile::Ptr onlyFile(const QString &name)
    {
        for (const SyncFile::Ptr &file : m_db->getFilesOfLibrary(m_libClientId))
            if (file->ClientName == name)
                return file;
        qWarning() << "no record named" << name;
        return SyncFile::Ptr(new SyncFile);
    }

    int countRequests(const QString &endpoint)
    {
        int n = 0;
        for (const QJsonValue &entry : m_server->requestLog())
            if (entry.toObject().value("endpoint").toString() == endpoint)
                ++n;
        return n;
    }

    void project()
    {
        ++m_fetches;
        CServerHierarchyProjector projector(m_db, m_sessions, m_db->getLibrary(m_libClientId));
        QSignalSpy finished(&projector, &CServerHierarchyProjector::finishedSignal);
        projector.start();
        if (!finished.wait(60000)) {
            projector.quit();
            projector.wait();
        }
        // What the scheduler does after a fetch.
        m_db->updateLibrary(m_libClientId, CSqlValue("ServerStatus", quint32(StatusSynchronized)));
    }

    ErrorCode runItem(const SyncItem::Ptr &item)
    {
        CSyncItem *step = nullptr;
        if (item->isFile())
            step = new CSyncFile(m_db, m_status, m_sessions, nullptr, m_files, SyncFile::cast(item));
        else
            step = new CSyncFolder(m_db, m_status, m_sessions, nullptr, m_files, item);
        QSignalSpy finished(step, &CSyncItem::finished);
        step->startProcessing();
        if (finished.isEmpty() && !finished.wait(60000))
            return ErrorCode(ServerApiErrorCode::ErrorUnknown);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return finished.first().at(0).value<ErrorCode>();
    }

    // One scheduler step: the library's fetch when it is due, else its next item.
    ErrorCode stepOnce()
    {
        const SyncLibrary::Ptr library = m_db->getLibrary(m_libClientId);
        if (library->syncStatus.ServerStatus == StatusNew || library->syncStatus.ServerStatus == StatusChanged) {
            project();
            return ErrorCode(ServerApiErrorCode::ErrorSuccess);
        }
        const SyncItem::Ptr item = m_db->getOneNotSynchronizedItemFromLibrary(m_libClientId);
        if (!item || item->isLibrary())
            return ErrorCode(ServerApiErrorCode::ErrorSuccess);
        return runItem(item);
    }

    // Until nothing is left or a step fails (the scheduler would wait before the next try).
    ErrorCode runUntilIdle()
    {
        for (int steps = 0; steps < 200; ++steps) {
            const SyncLibrary::Ptr library = m_db->getLibrary(m_libClientId);
            const bool due = library->syncStatus.ServerStatus == StatusNew || library->syncStatus.ServerStatus == StatusChanged;
            const SyncItem::Ptr item = m_db->getOneNotSynchronizedItemFromLibrary(m_libClientId);
            if (!due && (!item || item->isLibrary()))
                return ErrorCode(ServerApiErrorCode::ErrorSuccess);
            const ErrorCode error = stepOnce();
            if (!error.isSuccess())
                return error;
        }
        qWarning("not idle after 200 steps");
        return ErrorCode(ServerApiErrorCode::ErrorUnknown);
    }

    QScopedPointer<ReferenceServer> m_server;
    QSharedPointer<CUserSessionController> m_sessions;
    QSharedPointer<CAppStatusController> m_status;
    QScopedPointer<QTemporaryDir> m_dir;
    CSyncDatabase::Ptr m_db;
    QSharedPointer<CFileManipulation> m_files;
    const QString m_tenant = "filesync";
    QString m_team;
    ReferenceServer::Library m_lib;
    ItemId m_libClientId = 0;
    int m_libraries = 0;
    int m_fetches = 0;
    QHash<quint64, QByteArray> m_contents;
};

BXSYNC_TEST_MAIN(TestSyncFile)
#include "tst_syncfile.moc"
