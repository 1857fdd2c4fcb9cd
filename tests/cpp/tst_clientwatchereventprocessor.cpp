#include "ClientWatcher.h"
#include "ClientWatcherEventGateKeeper.h"
#include "ClientWatcherEventProcessor.h"
#include "ClientWatcherHierarchy.h"
#include "LocalTreeTestSupport.h"
#include "TestMain.h"

using testdb::Fixture;

Q_DECLARE_METATYPE(eventrules::EventFacts)

namespace {

ClientWatcherEvent ev(ClientWatcherEventType type, const QString &path, const QString &signature = {})
{
    ClientWatcherEvent e(type, path);
    e.signature = signature;
    return e;
}

QStringList texts(const ClientWatcherEventList &events)
{
    QStringList result;
    for (const ClientWatcherEvent &e : events)
        result << e.toString();
    return result;
}

// Compares disk and database the way the start-up check does, on the watcher's own thread.
void compareAll(CClientWatcherV2 &watcher)
{
    QMetaObject::invokeMethod(&watcher, [&watcher] { watcher.checkAllNowSlot(true); }, Qt::BlockingQueuedConnection);
}

// A library of its own whose disk content and records are `before` (see localtree::build).
struct Library : Fixture
{
    explicit Library(const QStringList &before)
    {
        static int count = 0;
        const QString clientName = QStringLiteral("Tenant%1/Lib").arg(++count);
        id = addLibrary(clientName);
        root = libraryPath(clientName);
        localtree::build(*this, id, root, before);
    }
    QStringList dump() const { return localtree::dump(*db, id); }
    ItemId id = 0;
    QString root;
};

} // namespace

class TestClientWatcherEventProcessor : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { testdb::ensureConfiguration(); }

    // Local tree and records before, what the user did, records after. Without events the user
    // did it while nothing watched and the start-up comparison finds it; with events the system
    // reported each action as it happened.
    void localChanges_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<ClientWatcherEventList>("events");
        QTest::addColumn<QStringList>("after");

        using L = QStringList;
        using Events = ClientWatcherEventList;
        QTest::newRow("new nested tree, parents first")
            << L() << L{"write A/B/f1=1", "write A/f2=22", "write top=333", "mkdir A/B/Empty"}
            << Events() << L{"A/ new", "top new", "A/B/ new", "A/f2 new", "A/B/Empty/ new", "A/B/f1 new"};
        QTest::newRow("folder removed with its content: one deletion")
            << L{"A/", "A/f1=1", "A/B/", "A/B/f2=2", "g=3"} << L{"rm A"}
            << Events() << L{"A/ deleted", "A/f1 sync", "A/B/ sync", "A/B/f2 sync", "g sync"};
        QTest::newRow("folder renamed: one move, content untouched")
            << L{"A/", "A/f1=1", "A/f2=22", "A/B/", "A/B/f3=333"} << L{"mv A C"}
            << Events() << L{"A=>C/ moved", "A=>C/f1 sync", "A=>C/f2 sync", "A=>C/B/ sync", "A=>C/B/f3 sync"};
        QTest::newRow("file moved to another folder") << L{"A/", "B/", "A/f=1"} << L{"mv A/f B/f"}
                                                      << Events() << L{"A/ sync", "B/ sync", "B/f=>f moved"};
        QTest::newRow("case-only rename") << L{"Doc.txt=x"} << L{"mv Doc.txt doc.txt"} << Events() << L{"Doc.txt=>doc.txt moved"};
        QTest::newRow("atomic save: one update, no dot-file")
            << L{"doc=old"} << L{"write .doc.tmp=newer", "mv .doc.tmp doc"} << Events() << L{"doc changed"};
        QTest::newRow("same size, other content") << L{"doc=aaaa"} << L{"write doc=bbbb"} << Events() << L{"doc changed"};
        QTest::newRow("dot-files and links are never recorded")
            << L{"A/"} << L{"write .hidden=1", "write .cache/x=2", "ln A L", "write A/.swp=3"} << Events() << L{"A/ sync"};
        QTest::newRow("file only known from the server is not a deletion") << L{"!g"} << L() << Events() << L{"g sync"};
        QTest::newRow("nothing changed writes nothing") << L{"A/", "A/f=1"} << L() << Events() << L{"A/ sync", "A/f sync"};
        const QString lib = QStringLiteral("%LIB%");
        QTest::newRow("renamed twice before it reached the server: one marker")
            << L{"a=1"} << L{"mv a b", "mv b c"}
            << Events{ClientWatcherEvent(MOVED, lib + "/b", lib + "/a"), ClientWatcherEvent(MOVED, lib + "/c", lib + "/b")}
            << L{"a=>c moved"};
        QTest::newRow("a file still being written is refused")
            << L() << L{"write new=12345"} << Events{ClientWatcherEvent(ADDED, lib + "/new")} << L();
        QTest::newRow("a new folder is recorded at once")
            << L() << L{"mkdir N"} << Events{ClientWatcherEvent(ADDED, lib + "/N")} << L{"N/ new"};
        QTest::newRow("deleted file")
            << L{"a=1"} << L{"rm a"} << Events{ClientWatcherEvent(REMOVED, lib + "/a")} << L{"a deleted"};
        QTest::newRow("deleted library folder")
            << L{"a=1"} << L{"rm ."} << Events{ClientWatcherEvent(REMOVED, lib)} << L{"a sync"};
    }

    void localChanges()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, actions);
        QFETCH(ClientWatcherEventList, events);
        QFETCH(QStringList, after);

        Library lib(before);
        if (events.isEmpty()) {
            localtree::run(lib.root, actions);
            CClientWatcherV2 watcher(lib.db, {});
            compareAll(watcher);
            QCOMPARE(lib.dump(), after);
            // A second comparison finds nothing more to do.
            testdb::MessageCapture capture;
            compareAll(watcher);
            QCOMPARE(capture.count(QtDebugMsg, "CClientWatcherEventProcessor::acceptEvent("), 0);
            return;
        }
        CClientWatcherEventProcessor processor(lib.db);
        for (int i = 0; i < events.size(); ++i) {
            localtree::run(lib.root, {actions.at(i)});
            ClientWatcherEvent e = events.at(i);
            e.path.replace("%LIB%", lib.root);
            e.oldPath.replace("%LIB%", lib.root);
            processor.acceptEvent(e);
        }
        QCOMPARE(lib.dump(), after);
        if (actions.contains("rm .")) {
            QCOMPARE(lib.db->getLibrary(lib.id)->syncStatus.ClientStatus, quint32(StatusDeleted));
            QVERIFY(lib.db->getLibrary(lib.id)->ClientName.isEmpty());
        }
    }

    void pairMoves_data()
    {
        QTest::addColumn<bool>("folders"); // which pass
        QTest::addColumn<ClientWatcherEventList>("queue");
        QTest::addColumn<QList<eventrules::EventFacts>>("facts");
        QTest::addColumn<QStringList>("expected");

        using Facts = QList<eventrules::EventFacts>;
        const eventrules::EventFacts newFile{false, true, 0, true, 1};
        const eventrules::EventFacts goneFile{false, true, 7, false, 1};
        const eventrules::EventFacts newFolder{true, false, 0, true, 1};
        const eventrules::EventFacts goneFolder{true, false, 8, false, 1};
        const eventrules::EventFacts otherLibrary{false, true, 0, true, 2};
        const ClientWatcherEventList aToB{ev(REMOVED, "/l/a", "s"), ev(ADDED, "/l/b", "s")};
        const QStringList unpaired{"REMOVED: /l/a", "ADDED: /l/b"};
        QTest::newRow("file") << false << aToB << Facts{goneFile, newFile} << QStringList{"EMPTY", "MOVED: /l/a -> /l/b"};
        QTest::newRow("a copy is no move") << false << (ClientWatcherEventList(aToB) << ev(ADDED, "/l/c", "s"))
                                           << Facts{goneFile, newFile, newFile} << (QStringList(unpaired) << "ADDED: /l/c");
        QTest::newRow("into another library") << false << ClientWatcherEventList{ev(REMOVED, "/l/a", "s"), ev(ADDED, "/m/a", "s")}
                                              << Facts{goneFile, otherLibrary} << QStringList{"REMOVED: /l/a", "ADDED: /m/a"};
        QTest::newRow("different signatures") << false << ClientWatcherEventList{ev(REMOVED, "/l/a", "s"), ev(ADDED, "/l/b", "t")}
                                              << Facts{goneFile, newFile} << unpaired;
        QTest::newRow("no signature") << false << ClientWatcherEventList{ev(REMOVED, "/l/a"), ev(ADDED, "/l/b")}
                                      << Facts{goneFile, newFile} << unpaired;
        QTest::newRow("a file is not paired in the folder pass") << true << aToB << Facts{goneFile, newFile} << unpaired;
        QTest::newRow("folder takes its content along")
            << true
            << ClientWatcherEventList{ev(ADDED, "/l/B", "d"), ev(ADDED, "/l/B/f", "x"), ev(REMOVED, "/l/A", "d"),
                                      ev(REMOVED, "/l/A/f", "x"), ev(ADDED, "/l/Bc", "y")}
            << Facts{newFolder, newFile, goneFolder, goneFile, newFile}
            << QStringList{"MOVED: /l/A -> /l/B", "EMPTY", "EMPTY", "EMPTY", "ADDED: /l/Bc"};
    }

    void pairMoves()
    {
        QFETCH(bool, folders);
        QFETCH(ClientWatcherEventList, queue);
        QFETCH(QList<eventrules::EventFacts>, facts);
        QFETCH(QStringList, expected);
        eventrules::pairMoves(queue, facts, folders);
        QCOMPARE(texts(queue), expected);
    }

    void insertCoalesced_data()
    {
        QTest::addColumn<QStringList>("queued");
        QTest::addColumn<QString>("added");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("inside a queued folder") << QStringList{"/l/A"} << "/l/A/B" << QStringList{"/l/A"};
        QTest::newRow("same folder") << QStringList{"/l/A"} << "/l/A" << QStringList{"/l/A"};
        QTest::newRow("enclosing folder replaces") << QStringList{"/l/A/B", "/l/C", "/l/A/D"} << "/l/A"
                                                   << QStringList{"/l/C", "/l/A"};
        QTest::newRow("common prefix is no parent") << QStringList{"/l/A"} << "/l/AB" << QStringList{"/l/A", "/l/AB"};
    }

    void insertCoalesced()
    {
        QFETCH(QStringList, queued);
        QFETCH(QString, added);
        QFETCH(QStringList, expected);
        ClientWatcherEventList queue;
        for (const QString &path : queued)
            queue << ev(DIRECTORY_CHANGED, path);
        queue << ev(ADDED, "/l/A/x");
        eventrules::insertCoalesced(queue, ev(DIRECTORY_CHANGED, added));
        QCOMPARE(texts(queue).filter("DIRECTORY_CHANGED: ").replaceInStrings("DIRECTORY_CHANGED: ", ""), expected);
        QCOMPARE(queue.count(ev(ADDED, "/l/A/x")), 1);
    }

    void removedHierarchyCheckDropsOnlyWhatNeverReachedTheServer()
    {
        Library lib({"A/", "A/kept=1", "A/synced=2"});
        lib.addFile(lib.db->getClientIdByClientPath(lib.root + "/A"), lib.id, "vanished", 0, {StatusSynchronized, StatusNew});
        lib.addFolder(lib.id, lib.id, "VanishedFolder", 0, {StatusSynchronized, StatusNew});
        localtree::run(lib.root, {"rm A/synced"});
        CRemovedHierarchyChecker(lib.db).checkFLStore();
        QCOMPARE(lib.dump(), (QStringList{"A/ sync", "A/kept sync", "A/synced sync"}));
    }

    // Events of a library the engine is still working on are dropped; the library is compared once it is done.
    void busyLibraryIsComparedOnceDone()
    {
        Library lib({"A/"});
        const ItemId pending = lib.addFile(lib.id, lib.id, "pending", 5, {StatusChanged, StatusSynchronized});
        QObject owner;
        CClientWatcherEventGateKeeper keeper(lib.db, &owner);
        QSignalSpy accepted(&keeper, &CClientWatcherEventGateKeeper::checkEventLaterSignal);
        QSignalSpy compare(&keeper, &CClientWatcherEventGateKeeper::checkSyncLibraryLaterSignal);
        keeper.insertEventSlot(ev(ADDED, lib.root + "/A/new"));
        keeper.recheckNotSynchronizedSlot();
        QCOMPARE(accepted.count() + compare.count(), 0);

        lib.db->updateFile(pending, CSqlValue("ServerStatus", quint32(StatusSynchronized)));
        keeper.recheckNotSynchronizedSlot();
        keeper.recheckNotSynchronizedSlot();
        QCOMPARE(compare.count(), 1);
        QCOMPARE(compare.first().at(0).value<SyncLibrary::ConstPtr>()->ClientId, lib.id);
        keeper.insertEventSlot(ev(ADDED, lib.root + "/A/new"));
        QCOMPARE(accepted.count(), 1);
    }

    void hierarchyCheckerReportsFolderBeforeContentWithSizes()
    {
        Library lib({});
        localtree::run(lib.root, {"write N/f=abc"});
        const ClientWatcherEventList events = CHierarchyChecker(lib.db).checkDirectory(lib.root, false);
        QCOMPARE(texts(events), (QStringList{"ADDED: " + lib.root + "/N", "ADDED: " + lib.root + "/N/f"}));
        QCOMPARE((QList<qint64>{events.at(0).size, events.at(1).size}), (QList<qint64>{-1, 3}));
        QVERIFY(CHierarchyChecker(lib.db).checkDirectory(lib.root, false, true).size() == 1);
        QCOMPARE(texts(CHierarchyChecker(lib.db).checkDirectory(lib.root + "/gone", false)),
                 QStringList{"REMOVED: " + lib.root + "/gone"});
    }
};

BXSYNC_TEST_MAIN(TestClientWatcherEventProcessor)
#include "tst_clientwatchereventprocessor.moc"
