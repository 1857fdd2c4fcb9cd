#include "ErrorCodePrinting.h"
#include "SyncDatabaseTestSupport.h"
#include "SyncProgress.h"
#include "TestMain.h"

#include <QJsonDocument>

#include <memory>

Q_DECLARE_METATYPE(SyncProgressCounts)

namespace {

constexpr quint64 GiB = quint64(1) << 30;
constexpr int kPeriodMs = 300;

QJsonObject parse(const QString &report)
{
    return QJsonDocument::fromJson(report.toUtf8()).object();
}

// The file objects of a report by name.
QHash<QString, QJsonObject> filesOf(const QJsonObject &report)
{
    QHash<QString, QJsonObject> files;
    for (const QJsonValue &v : report.value("files").toArray())
        files.insert(v["info"]["fileName"].toString(), v.toObject());
    return files;
}

// The manager on its own thread, fed as the database and the transfers feed it.
struct Scenario
{
    Scenario()
    {
        SyncLibrary::Ptr lib = fixture.makeLibrary("Tenant/Lib", "tenant", 7);
        lib->TeamId = "team-1";
        library = fixture.db->insertLibrary(lib);
        tick = fixture.addFile(library, library, "tick"); // synchronised: counted nowhere
        manager = std::make_unique<CSyncProgressManager>(fixture.db, kPeriodMs);
        QObject::connect(manager.get(), &CSyncProgressManager::syncProgressChangedSignal, &receiver,
                         [this](const QString &text) { reports << text; });
    }

    ItemId addFile(const QString &name, quint64 size)
    {
        return fixture.addFile(library, library, name, 0, {StatusNew, StatusSynchronized}, 0, size);
    }
    // Queued onto the manager's thread, as the transfers' signals arrive.
    template<typename F> void send(F slotCall)
    {
        QMetaObject::invokeMethod(manager.get(), [m = manager.get(), slotCall] { slotCall(m); }, Qt::QueuedConnection);
    }
    const QJsonObject nextReport()
    {
        const int seen = reports.size();
        [&] { QTRY_VERIFY_WITH_TIMEOUT(reports.size() > seen, 20000); }();
        return reports.size() > seen ? parse(reports.at(seen)) : QJsonObject();
    }
    const QJsonObject nextFile(const QString &name) { return filesOf(nextReport()).value(name); }
    // A report that has no other reason to come.
    const QJsonObject provokedReport()
    {
        send([id = tick, n = reports.size()](CSyncProgressManager *m) { m->fileDownloadProgressSlot({}, id, n, 1000); });
        return nextReport();
    }
    QJsonObject lastReport() const { return reports.isEmpty() ? QJsonObject() : parse(reports.last()); }
    // Past every pending reducer period.
    void settle() { QTest::qWait(kPeriodMs * 5 / 2); }

    testdb::Fixture fixture;
    ItemId library = 0;
    ItemId tick = 0;
    QObject receiver;
    std::unique_ptr<CSyncProgressManager> manager;
    QStringList reports;
};

} // namespace

class TestSyncProgress : public QObject
{
    Q_OBJECT
private slots:
    void totals_data()
    {
        QTest::addColumn<SyncProgressCounts>("counts");
        QTest::addColumn<int>("downloads");
        QTest::addColumn<int>("uploads");
        QTest::addColumn<QList<quint64>>("expected"); // toGo, toDownload, toUpload, moreDown, moreUp

        SyncProgressCounts libraryOnly;
        libraryOnly.librariesToAddOrRemove = 1;
        QTest::newRow("one library waiting") << libraryOnly << 0 << 0 << QList<quint64>{1, 1, 0, 1, 0};
        SyncProgressCounts both;
        both.librariesToAddOrRemove = 4; // hidden once items are known
        both.filesToDownload = 3;
        both.filesMovedOrDeletedOnServer = 2;
        both.foldersChangedOnServer = 1;
        both.filesToUpload = 5;
        both.filesMovedOrDeletedOnClient = 1;
        both.foldersChangedOnClient = 1;
        both.bytesToDownload = 5 * GiB + 3; // past 32 bits and past float precision
        both.bytesToUpload = (quint64(1) << 52) + 1;
        QTest::newRow("both sides") << both << 2 << 1 << QList<quint64>{13, 6, 7, 4, 6};
        QTest::newRow("more entries than counted") << both << 9 << 9 << QList<quint64>{13, 6, 7, 0, 0};
    }
    void totals()
    {
        QFETCH(SyncProgressCounts, counts);
        QFETCH(int, downloads);
        QFETCH(int, uploads);
        QFETCH(QList<quint64>, expected);
        const syncprogress::Totals t = syncprogress::totals(counts, downloads, uploads);
        QCOMPARE((QList<quint64>{t.itemsToGo, t.itemsToDownload, t.itemsToUpload, t.moreToDownload, t.moreToUpload}),
                 expected);
        // The report keeps byte counts exact, on one line.
        const QString text = syncprogress::reportJson(counts, {});
        QVERIFY2(text.contains(QString("\"bytesToDownload\":%1,").arg(counts.bytesToDownload))
                     && text.contains(QString("\"bytesToUpload\":%1,").arg(counts.bytesToUpload)) && !text.contains(' ')
                     && !text.contains('\n'),
                 qPrintable(text));
    }

    void transferShowsFractionThenAlmostThenFinishedOnce()
    {
        Scenario s;
        const ItemId file = s.addFile("report.pdf", 200);
        s.settle();
        s.reports.clear();
        struct Step { quint64 done, total; double progress; };
        const Step steps[]{
            {0, 200, 0.0}, {50, 200, 0.25}, {10, 0, 0.99} /* size not known */, {0, 0, 0.99} /* empty file */,
            {3 * GiB, 4 * GiB, 0.75}, {300, 200, 1.0} /* more than announced */, {200, 200, 0.99}};
        for (const Step &step : steps) {
            s.send([file, step](CSyncProgressManager *m) { m->fileDownloadProgressSlot({}, file, step.done, step.total); });
            QCOMPARE(s.nextFile("report.pdf")["status"]["progress"].toDouble(), step.progress);
        }
        s.send([file](CSyncProgressManager *m) {
            m->fileDownloadFinishedSlot({}, file);
            m->fileDownloadProgressSlot({}, file, 10, 200); // a late tick changes nothing
        });
        const QJsonObject done = s.nextFile("report.pdf");
        QCOMPARE(done["status"].toObject(), (QJsonObject{{"type", "download"}, {"progress", 1.0}, {"finished", true}}));
        QCOMPARE(done["info"].toObject(),
                 (QJsonObject{{"fileName", "report.pdf"}, {"tenantId", "tenant"}, {"parentType", "team"}, {"parentId", "team-1"}}));
        QVERIFY2(!filesOf(s.provokedReport()).contains("report.pdf"), "a finished file is in exactly one report");
    }

    void uploadEndings_data()
    {
        QTest::addColumn<ErrorCode>("error");
        QTest::addColumn<QJsonValue>("shown"); // null: dropped without a finished report
        QTest::newRow("quota") << ErrorCode(ServerApiErrorCode::QuotaExceeded) << QJsonValue("Quota exceeded");
        QTest::newRow("read-only team") << ErrorCode(ServerApiErrorCode::AccessDenied) << QJsonValue("Team is read-only");
        QTest::newRow("failure") << ErrorCode(ServerApiErrorCode::FileTooBig) << QJsonValue(true);
        QTest::newRow("invalid token") << ErrorCode(ServerApiErrorCode::InvalidAccessToken) << QJsonValue();
    }
    void uploadEndings()
    {
        QFETCH(ErrorCode, error);
        QFETCH(QJsonValue, shown);
        Scenario s;
        const ItemId file = s.addFile("big.bin", 1000);
        s.settle(); // else the report of the new record may come first
        s.send([file](CSyncProgressManager *m) { m->fileUploadProgressSlot({}, file, 400, 1000); });
        QCOMPARE(s.nextFile("big.bin")["status"]["type"].toString(), QString("upload"));
        s.send([file, error](CSyncProgressManager *m) { m->fileUploadFinishedSlot({}, file, error); });
        const QJsonObject finished{{"type", "upload"}, {"progress", 1.0}, {"finished", true}, {"error", shown}};
        QCOMPARE(filesOf(s.provokedReport()).value("big.bin")["status"].toObject(), shown.isNull() ? QJsonObject() : finished);
    }

    void startUpFirstChangeAndBurst()
    {
        Scenario s;
        s.manager->evaluateCountsNow();
        s.settle();
        QVERIFY2(s.reports.isEmpty(), "nothing to do at start, nothing to report");
        // The first change tells the host once that all is done; later unchanged counts do not.
        for (quint64 size : {1, 2})
            s.fixture.db->updateFile(s.tick, CSqlValue("Size", size));
        s.settle();
        QCOMPARE(s.reports.size(), 1);
        QCOMPARE(s.lastReport().value("itemsToGo"), QJsonValue(0));
        // A burst of changes in one transaction is counted at most twice.
        const ItemId file = s.addFile("x", 1);
        s.settle();
        const quint64 before = s.manager->countsQueryCount();
        QVERIFY(s.fixture.db->beginTransaction());
        for (int i = 0; i < 20; ++i)
            s.fixture.db->updateFile(file, CSqlValue("Size", quint64(100 + i)));
        QVERIFY(s.fixture.db->commitTransaction());
        s.settle();
        const quint64 queries = s.manager->countsQueryCount() - before;
        QVERIFY2(queries == 1 || queries == 2, qPrintable(QString::number(queries)));
        QCOMPARE(s.lastReport().value("bytesToDownload").toDouble(), 119.0);

        Scenario waiting; // a library to subscribe is the start-up report's one item to download
        waiting.fixture.db->insertLibrary(
            waiting.fixture.makeLibrary("Tenant/New", "tenant", 77, {StatusNew, StatusSynchronized}));
        waiting.manager->evaluateCountsNow();
        waiting.settle();
        QCOMPARE(waiting.lastReport().value("itemsToDownload"), QJsonValue(1));
        QCOMPARE(waiting.lastReport().value("itemsToGo"), QJsonValue(1));
    }
};

BXSYNC_TEST_MAIN(TestSyncProgress)
#include "tst_syncprogress.moc"
