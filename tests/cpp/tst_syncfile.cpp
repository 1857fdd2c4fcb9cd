#include "ErrorCodePrinting.h"
#include "FileManipulation.h"
#include "ReferenceServer.h"
#include "ServerHierarchyProjector.h"
#include "SyncDatabase.h"
#include "SyncDatabaseTestSupport.h"
#include "SyncFile.h"
#include "SyncFolder.h"
#include "SyncScenario.h"
#include "TestMain.h"
#include "WorkspaceServerRequest.h"

#include <QCryptographicHash>
#include <QSignalSpy>

using testdb::readFile;
using testsupport::ReferenceServer;
using testsupport::SyncScenario;

namespace {

// Text, so the fixture can send it as it is; a line number on every line catches misplaced blocks.
QByteArray text(int size, int seed)
{
    QByteArray data;
    for (int line = 0; data.size() < size; ++line)
        data += QByteArray::number(seed) + " line " + QByteArray::number(line) + "\n";
    return data.left(size);
}

QString sha1(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex());
}

} // namespace

// One file at a time against the reference server, with the scheduler replaced by a step loop so
// that a failed step is seen instead of waiting for the retry interval.
class TestSyncFile : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_server.reset(new ReferenceServer());
        QVERIFY(m_server->runningAndTrusted());
        m_sessions = m_server->signIn();
    }

    void cleanupTestCase()
    {
        m_sessions.reset();
        CNetworkAccessManager::deleteInstanceForCurrentThread();
    }

    void init()
    {
        filesync::setDiscFreeSpaceForTesting(-1);
        m_s.reset(new SyncScenario(*m_server, QString("files%1").arg(++m_tenants)));
        QVERIFY(m_s->runUntilIdle()); // the library folder
        m_s->stop();
        m_s->clearRequestLog();
    }

    void cleanup()
    {
        m_server->admin("DELETE", "/admin/faults");
        const QString downloads = filesync::downloadFolderPath(syncpath::storeFolder());
        QVERIFY(!QFileInfo::exists(downloads) || QDir(downloads).isEmpty());
        m_s.reset();
    }

    // Whether a download may replace (or a removal remove) what is on disk.
    void unchangedSinceRecorded_data()
    {
        QTest::addColumn<QString>("recordHash");
        QTest::addColumn<bool>("regular");
        QTest::addColumn<quint64>("size");
        QTest::addColumn<int>("secondsOff");
        QTest::addColumn<QString>("diskHash");
        QTest::addColumn<bool>("unchanged");
        QTest::newRow("same hash, other time") << "h" << true << quint64(5) << 60 << "h" << true;
        QTest::newRow("other hash, same size and time") << "h" << true << quint64(5) << 0 << "x" << false;
        QTest::newRow("no recorded hash, same size and time") << "" << true << quint64(5) << 0 << "x" << true;
        QTest::newRow("no recorded hash, other time") << "" << true << quint64(5) << 2 << "x" << false;
        QTest::newRow("a folder in its place") << "h" << false << quint64(0) << 0 << "" << false;
    }
    void unchangedSinceRecorded()
    {
        QFETCH(QString, recordHash);
        QFETCH(bool, regular);
        QFETCH(quint64, size);
        QFETCH(int, secondsOff);
        QFETCH(QString, diskHash);
        SyncFile record;
        record.Hash = recordHash;
        record.Size = 5;
        record.UpdatedTime = QDateTime(QDate(2024, 1, 1), QTime(12, 0), Qt::UTC);
        const filesync::LocalFile disk{true, regular, size, record.UpdatedTime.addSecs(secondsOff), diskHash};
        QTEST(filesync::isUnchangedSinceRecorded(record, disk), "unchanged");
    }

    void localFilesAreUploadedAndEditsUpdate()
    {
        m_s->writeLocal("new.txt", "first");
        m_s->recordNewLocalFile("new.txt");
        QCOMPARE(runUntilIdle(), ErrorCode(ServerApiErrorCode::ErrorSuccess));
        const SyncFile::Ptr record = file("new.txt");
        QVERIFY(record->ServerId != 0 && !record->Sic.isEmpty());
        QCOMPARE(record->Hash, sha1("first"));

        m_s->writeLocal("new.txt", "second version");
        m_s->recordLocalChange("new.txt");
        QCOMPARE(runUntilIdle(), ErrorCode(ServerApiErrorCode::ErrorSuccess));
        QCOMPARE(serverHash("new.txt"), sha1("second version"));
        QCOMPARE(m_s->serverId("new.txt"), record->ServerId);
        QCOMPARE(file("new.txt")->Hash, sha1("second version"));
        QCOMPARE(m_s->requestCount("FileSync.getHierarchy"), 0);
    }

    // The server stored the upload under another name because it had the name already, unseen here:
    // the next fetch carries its name to the local file and brings the server's file down beside it.
    void uploadStoredUnderAnotherNameConverges()
    {
        m_s->serverFile("x.txt", "theirs");
        // As if the server's file had come in the state the engine holds (a race): no StateOutOfDate.
        m_s->database()->updateLibrary(m_s->libraryClientId(), CSqlValue("Sic", m_server->libraryState(m_s->library())));
        m_s->writeLocal("x.txt", "mine");
        m_s->recordNewLocalFile("x.txt");
        QCOMPARE(runUntilIdle(), ErrorCode(ServerApiErrorCode::ErrorSuccess));
        QCOMPARE(m_s->serverTree(), (QStringList{"x (2).txt", "x.txt"}));
        serverChanged();
        QCOMPARE(runUntilIdle(), ErrorCode(ServerApiErrorCode::ErrorSuccess));
        QCOMPARE(m_s->localTree(), m_s->serverTree());
        QCOMPARE(readFile(m_s->localPath("x (2).txt")), QByteArray("mine"));
        QCOMPARE(readFile(m_s->localPath("x.txt")), QByteArray("theirs"));
    }

    void serverChangeWaitsForAWriterThenReplaces()
    {
        QVERIFY(m_s->addSynchronizedFile("doc.txt", "old"));
        m_server->admin("PUT", m_s->library().path() + "/files/" + QString::number(m_s->serverId("doc.txt")) + "/content",
                        {{"content", "new content"}});
        project();
        QFile writer(m_s->localPath("doc.txt"));
        QVERIFY(writer.open(QIODevice::ReadWrite));
        QCOMPARE(step(), ErrorCode(ServerApiErrorCode::ErrorLocalFileOpened));
        QCOMPARE(readFile(m_s->localPath("doc.txt")), QByteArray("old"));
        writer.close();
        QCOMPARE(runUntilIdle(), ErrorCode(ServerApiErrorCode::ErrorSuccess));
        QCOMPARE(readFile(m_s->localPath("doc.txt")), QByteArray("new content"));
    }

    // A fault leaves the local side as it was, and the next pass gets through.
    void serverFaultsLoseNothing_data()
    {
        QTest::addColumn<bool>("upload");
        QTest::addColumn<QJsonObject>("fault");
        QTest::newRow("truncated body") << false << QJsonObject{{"type", "truncate"}, {"endpoint", "download"}};
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
        const QByteArray content = text(300 * 1024, 5);
        if (upload) {
            m_s->writeLocal("f.txt", content);
            m_s->recordNewLocalFile("f.txt");
        } else {
            m_s->serverFile("f.txt", content);
            project();
        }
        m_server->addFault(fault);
        QVERIFY(!step().isSuccess());
        QCOMPARE(QFileInfo::exists(m_s->localPath("f.txt")), upload);
        QVERIFY(!file("f.txt")->syncStatus.isSynchronized());

        QCOMPARE(runUntilIdle(), ErrorCode(ServerApiErrorCode::ErrorSuccess));
        QCOMPARE(m_s->localTree(), QStringList{"f.txt"});
        QCOMPARE(readFile(m_s->localPath("f.txt")), content);
        QCOMPARE(m_s->serverTree(), QStringList{"f.txt"});
        QCOMPARE(serverHash("f.txt"), sha1(content));
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
        const QString tenant = "/admin/tenants/" + m_s->library().tenantId;
        const QByteArray content = text(150 * 1024, 7) + (refusal == "virus" ? "BX-AV-TEST-SIGNATURE" : "");
        if (refusal != "virus")
            QCOMPARE(refusal == "quota" ? m_server->admin("PATCH", tenant, {{"quota", 1000}}).status
                                        : m_server->admin("PUT", m_s->library().path() + "/roles/*", {{"role", "Reader"}}).status, 200);
        m_s->writeLocal("p.txt", content);
        m_s->recordNewLocalFile("p.txt");
        runUntilIdle();
        QCOMPARE(file("p.txt")->Attr, attr);
        QCOMPARE(m_s->serverId("p.txt"), 0u);

        m_s->clearRequestLog();
        if (refusal == "virus") {
            QCOMPARE(runUntilIdle(), ErrorCode(ServerApiErrorCode::ErrorSuccess));
            QCOMPARE(uploads(), 0);
            return;
        }
        if (refusal == "quota")
            m_server->admin("PATCH", tenant, {{"quota", QJsonValue()}});
        else
            m_server->admin("PUT", m_s->library().path() + "/roles/*", {{"role", "Editor"}});
        QCOMPARE(runItem(file("p.txt")), ErrorCode(ServerApiErrorCode::ErrorSuccess));
        QCOMPARE(file("p.txt")->Attr, 0u);
        QCOMPARE(serverHash("p.txt"), sha1(content));
        QCOMPARE(uploads(), 1);
    }

    void notEnoughFreeSpaceOnlyAsksTheServer()
    {
        m_s->serverFile("big.txt", text(4096, 8));
        project();
        filesync::setDiscFreeSpaceForTesting(filesync::kFreeSpaceReserve + 4095);
        m_s->clearRequestLog();
        QCOMPARE(step(), ErrorCode(ServerApiErrorCode::ErrorNotEnoughFreeSpaceOnDisc));
        QCOMPARE(m_server->requestLog().size(), 1);
        QCOMPARE(m_s->requestCount("FileSync.getFile"), 1);

        QVERIFY(m_s->serverDelete("big.txt"));
        QCOMPARE(step(), ErrorCode(ServerApiErrorCode::ErrorSuccess));
        QVERIFY(!m_s->record("big.txt"));
        QCOMPARE(m_s->localTree(), QStringList());
    }

    void fileDeletedThenOfferedElsewhereComesFromTheCache()
    {
        const QByteArray content = text(200 * 1024, 9);
        m_s->serverFile("A/moved.txt", content);
        serverChanged();
        QCOMPARE(runUntilIdle(), ErrorCode(ServerApiErrorCode::ErrorSuccess));
        QVERIFY(m_s->serverDelete("A/moved.txt"));
        m_s->serverFile("B/moved.txt", content);
        m_s->clearRequestLog();
        serverChanged();
        QCOMPARE(runUntilIdle(), ErrorCode(ServerApiErrorCode::ErrorSuccess));
        QCOMPARE(m_s->localTree(), (QStringList{"A/", "B/", "B/moved.txt"}));
        QCOMPARE(readFile(m_s->localPath("B/moved.txt")), content);
        QCOMPARE(uploads() + downloads(), 0);
    }

private:
    // An empty record when there is none, so a missing one fails the comparison instead of crashing.
    SyncFile::Ptr file(const QString &relativePath)
    {
        const SyncFile::Ptr record = SyncFile::cast(m_s->record(relativePath));
        return record ? record : SyncFile::Ptr(new SyncFile);
    }
    QString serverHash(const QString &path) { return m_server->treeItem(m_s->library(), path).value("contentHash").toString(); }
    int uploads() { return m_s->requestCount("upload"); }
    int downloads() { return m_s->requestCount("download"); }

    // What the server watcher does when the library's state moves on.
    void serverChanged()
    {
        m_s->database()->updateLibrary(m_s->libraryClientId(), CSqlValue("ServerStatus", quint32(StatusChanged)));
    }

    void project()
    {
        CServerHierarchyProjector projector(m_s->database(), m_sessions, m_s->database()->getLibrary(m_s->libraryClientId()));
        QSignalSpy finished(&projector, &CServerHierarchyProjector::finishedSignal);
        projector.start();
        if (!finished.wait(60000)) {
            projector.quit();
            projector.wait();
        }
        // What the scheduler does after a fetch.
        m_s->database()->updateLibrary(m_s->libraryClientId(), CSqlValue("ServerStatus", quint32(StatusSynchronized)));
    }

    ErrorCode runItem(const SyncItem::Ptr &item)
    {
        CSyncItem *handler = item->isFile()
            ? static_cast<CSyncItem *>(new CSyncFile(m_s->database(), m_s->statusController(), m_sessions, nullptr,
                                                     m_s->fileManipulation(), SyncFile::cast(item)))
            : new CSyncFolder(m_s->database(), m_s->statusController(), m_sessions, nullptr, m_s->fileManipulation(), item);
        QSignalSpy finished(handler, &CSyncItem::finished);
        handler->startProcessing();
        if (finished.isEmpty() && !finished.wait(60000))
            return ErrorCode(ServerApiErrorCode::ErrorUnknown);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return finished.first().at(0).value<ErrorCode>();
    }

    // One scheduler step: the library's fetch when it is due, else its next item; idle when neither is left.
    ErrorCode step(bool *idle = nullptr)
    {
        const quint32 status = m_s->database()->getLibrary(m_s->libraryClientId())->syncStatus.ServerStatus;
        const SyncItem::Ptr item = m_s->database()->getOneNotSynchronizedItemFromLibrary(m_s->libraryClientId());
        if (status == StatusNew || status == StatusChanged)
            project();
        else if (item && !item->isLibrary())
            return runItem(item);
        else if (idle)
            *idle = true;
        return ErrorCode(ServerApiErrorCode::ErrorSuccess);
    }

    // Until nothing is left or a step fails (where the scheduler would wait before the next try).
    ErrorCode runUntilIdle()
    {
        bool idle = false;
        for (int steps = 0; steps < 200 && !idle; ++steps) {
            const ErrorCode error = step(&idle);
            if (!error.isSuccess())
                return error;
        }
        return ErrorCode(idle ? ServerApiErrorCode::ErrorSuccess : ServerApiErrorCode::ErrorUnknown);
    }

    QScopedPointer<ReferenceServer> m_server;
    QSharedPointer<CUserSessionController> m_sessions;
    QScopedPointer<SyncScenario> m_s;
    int m_tenants = 0;
};

BXSYNC_TEST_MAIN(TestSyncFile)
#include "tst_syncfile.moc"
