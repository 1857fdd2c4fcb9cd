#include "ClientWatcher.h"
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

} // namespace

class TestClientWatcherEventProcessor : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { testdb::ensureConfiguration(); }

    // Local tree and records before, what the user did while nothing watched, records after.
    void fullComparison_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<QStringList>("after");

        QTest::newRow("new nested tree, parents first")
            << QStringList() << QStringList{"write A/B/f1=1", "write A/f2=22", "write top=333", "mkdir A/B/Empty"}
            << QStringList{"A/ new", "top new", "A/B/ new", "A/f2 new", "A/B/Empty/ new", "A/B/f1 new"};
        QTest::newRow("folder removed with its content: one deletion")
            << QStringList{"A/", "A/f1=1", "A/B/", "A/B/f2=2", "g=3"} << QStringList{"rm A"}
            << QStringList{"A/ deleted", "A/f1 sync", "A/B/ sync", "A/B/f2 sync", "g sync"};
        QTest::newRow("folder renamed: one move, content untouched")
            << QStringList{"A/", "A/f1=1", "A/f2=22", "A/B/", "A/B/f3=333"} << QStringList{"mv A C"}
            << QStringList{"A=>C/ moved", "A=>C/f1 sync", "A=>C/f2 sync", "A=>C/B/ sync", "A=>C/B/f3 sync"};
        QTest::newRow("file moved to another folder")
            << QStringList{"A/", "B/", "A/f=1"} << QStringList{"mv A/f B/f"} << QStringList{"A/ sync", "B/ sync", "B/f=>f moved"};
        QTest::newRow("case-only rename") << QStringList{"Doc.txt=x"} << QStringList{"mv Doc.txt doc.txt"}
                                          << QStringList{"Doc.txt=>doc.txt moved"};
        QTest::newRow("atomic save: one update, no dot-file")
            << QStringList{"doc=old"} << QStringList{"write .doc.tmp=newer", "mv .doc.tmp doc"} << QStringList{"doc changed"};
        QTest::newRow("same size, other content") << QStringList{"doc=aaaa"} << QStringList{"write doc=bbbb"}
                                                  << QStringList{"doc changed"};
        QTest::newRow("dot-files and links are never recorded")
            << QStringList{"A/"} << QStringList{"write .hidden=1", "write .cache/x=2", "ln A L", "write A/.swp=3"}
            << QStringList{"A/ sync"};
        QTest::newRow("file only known from the server is not a deletion")
            << QStringList{"!g"} << QStringList() << QStringList{"g sync"};
        QTest::newRow("nothing changed writes nothing") << QStringList{"A/", "A/f=1"} << QStringList()
                                                        << QStringList{"A/ sync", "A/f sync"};
    }

    void fullComparison()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, actions);
        QFETCH(QStringList, after);

        Fixture f;
        const QString clientName = QStringLiteral("Tenant%1/Lib").arg(++m_rows);
        const ItemId library = f.addLibrary(clientName);
        const QString root = f.libraryPath(clientName);
        localtree::build(f, library, root, before);
        localtree::run(root, actions);

        CClientWatcherV2 watcher(f.db, {});
        compareAll(watcher);
        QCOMPARE(localtree::dump(*f.db, library), after);
        // A second comparison finds nothing more to do.
        testdb::MessageCapture capture;
        compareAll(watcher);
        QCOMPARE(capture.count(QtDebugMsg, "CClientWatcherEventProcessor::acceptEvent("), 0);
        watcher.stopWatcherSlot();
    }

    void systemEvents_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("actions");
        QTest::addColumn<ClientWatcherEventList>("events");
        QTest::addColumn<QStringList>("after");

        const QString lib = QStringLiteral("%LIB%");
        QTest::newRow("renamed twice before it reached the server: one marker")
            << QStringList{"a=1"} << QStringList{"mv a b", "mv b c"}
            << ClientWatcherEventList{ClientWatcherEvent(MOVED, lib + "/b", lib + "/a"),
                                      ClientWatcherEvent(MOVED, lib + "/c", lib + "/b")}
            << QStringList{"a=>c moved"};
        QTest::newRow("a file still being written is refused")
            << QStringList() << QStringList{"write new=12345"} << ClientWatcherEventList{ClientWatcherEvent(ADDED, lib + "/new")}
            << QStringList();
        QTest::newRow("a new folder is recorded at once")
            << QStringList() << QStringList{"mkdir N"} << ClientWatcherEventList{ClientWatcherEvent(ADDED, lib + "/N")}
            << QStringList{"N/ new"};
        QTest::newRow("deleted file") << QStringList{"a=1"} << QStringList{"rm a"}
                                      << ClientWatcherEventList{ClientWatcherEvent(REMOVED, lib + "/a")}
                                      << QStringList{"a deleted"};
        QTest::newRow("deleted library folder")
            << QStringList{"a=1"} << QStringList{"rm ."} << ClientWatcherEventList{ClientWatcherEvent(REMOVED, lib)}
            << QStringList{"a sync"};
    }

    void systemEvents()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, actions);
        QFETCH(ClientWatcherEventList, events);
        QFETCH(QStringList, after);

        Fixture f;
        const QString clientName = QStringLiteral("Tenant%1/Lib").arg(++m_rows);
        const ItemId library = f.addLibrary(clientName);
        const QString root = f.libraryPath(clientName);
        localtree::build(f, library, root, before);
        // One action per event: each is reported before the next happens.
        const bool interleaved = actions.size() == events.size();
        if (!interleaved)
            localtree::run(root, actions);
        CClientWatcherEventProcessor processor(f.db);
        for (int i = 0; i < events.size(); ++i) {
            if (interleaved)
                localtree::run(root, {actions.at(i)});
            ClientWatcherEvent e = events.at(i);
            e.path.replace("%LIB%", root);
            e.oldPath.replace("%LIB%", root);
            processor.acceptEvent(e);
        }
        QCOMPARE(localtree::dump(*f.db, library), after);
        if (actions.contains("rm .")) {
            QCOMPARE(f.db->getLibrary(library)->syncStatus.ClientStatus, quint32(StatusDeleted));
            QVERIFY(f.db->getLibrary(library)->ClientName.isEmpty());
        }
    }

    void pairMoves_data()
    {
        QTest::addColumn<ClientWatcherEventList>("queue");
        QTest::addColumn<QList<eventrules::EventFacts>>("facts");
        QTest::addColumn<QStringList>("expected");

        const eventrules::EventFacts newFile{false, true, 0, true, 1};
        const eventrules::EventFacts goneFile{false, true, 7, false, 1};
        const eventrules::EventFacts newFolder{true, false, 0, true, 1};
        const eventrules::EventFacts goneFolder{true, false, 8, false, 1};
        const eventrules::EventFacts otherLibrary{false, true, 0, true, 2};
        QTest::newRow("file") << ClientWatcherEventList{ev(REMOVED, "/l/a", "s"), ev(ADDED, "/l/b", "s")}
                              << QList<eventrules::EventFacts>{goneFile, newFile}
                              << QStringList{"EMPTY", "MOVED: /l/a -> /l/b"};
        QTest::newRow("a copy is no move")
            << ClientWatcherEventList{ev(REMOVED, "/l/a", "s"), ev(ADDED, "/l/b", "s"), ev(ADDED, "/l/c", "s")}
            << QList<eventrules::EventFacts>{goneFile, newFile, newFile}
            << QStringList{"REMOVED: /l/a", "ADDED: /l/b", "ADDED: /l/c"};
        QTest::newRow("into another library")
            << ClientWatcherEventList{ev(REMOVED, "/l/a", "s"), ev(ADDED, "/m/a", "s")}
            << QList<eventrules::EventFacts>{goneFile, otherLibrary} << QStringList{"REMOVED: /l/a", "ADDED: /m/a"};
        QTest::newRow("different signatures")
            << ClientWatcherEventList{ev(REMOVED, "/l/a", "s"), ev(ADDED, "/l/b", "t")}
            << QList<eventrules::EventFacts>{goneFile, newFile} << QStringList{"REMOVED: /l/a", "ADDED: /l/b"};
        QTest::newRow("no signature") << ClientWatcherEventList{ev(REMOVED, "/l/a"), ev(ADDED, "/l/b")}
                                      << QList<eventrules::EventFacts>{goneFile, newFile}
                                      << QStringList{"REMOVED: /l/a", "ADDED: /l/b"};
        QTest::newRow("a file is not paired in the folder pass")
            << ClientWatcherEventList{ev(REMOVED, "/l/a", "s"), ev(ADDED, "/l/b", "s")}
            << QList<eventrules::EventFacts>{goneFile, newFile} << QStringList{"EMPTY", "MOVED: /l/a -> /l/b"};
        QTest::newRow("folder takes its content along")
            << ClientWatcherEventList{ev(ADDED, "/l/B", "d"), ev(ADDED, "/l/B/f", "x"), ev(REMOVED, "/l/A", "d"),
                                      ev(REMOVED, "/l/A/f", "x"), ev(ADDED, "/l/Bc", "y")}
            << QList<eventrules::EventFacts>{newFolder, newFile, goneFolder, goneFile, newFile}
            << QStringList{"MOVED: /l/A -> /l/B", "EMPTY", "EMPTY", "EMPTY", "ADDED: /l/Bc"};
    }

    void pairMoves()
    {
        QFETCH(ClientWatcherEventList, queue);
        QFETCH(QList<eventrules::EventFacts>, facts);
        QFETCH(QStringList, expected);
        const bool folders = QByteArray(QTest::currentDataTag()).startsWith("folder");
        eventrules::pairMoves(queue, facts, folders);
        if (QByteArray(QTest::currentDataTag()) == "a file is not paired in the folder pass") {
            ClientWatcherEventList untouched = queue;
            eventrules::pairMoves(untouched, facts, true);
            QCOMPARE(texts(untouched), texts(queue));
        }
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
        QStringList paths;
        for (const ClientWatcherEvent &e : queue) {
            if (e.type == DIRECTORY_CHANGED)
                paths << e.path;
        }
        QCOMPARE(paths, expected);
        QCOMPARE(queue.count(ev(ADDED, "/l/A/x")), 1);
    }

    void removedHierarchyCheckDropsOnlyWhatNeverReachedTheServer()
    {
        Fixture f;
        const QString clientName = QStringLiteral("Tenant%1/Lib").arg(++m_rows);
        const ItemId library = f.addLibrary(clientName);
        const QString root = f.libraryPath(clientName);
        localtree::build(f, library, root, {"A/", "A/kept=1", "A/synced=2"});
        const ItemId folder = f.db->getClientIdByClientPath(root + "/A");
        f.addFile(folder, library, "vanished", 0, {StatusSynchronized, StatusNew});
        f.addFolder(library, library, "VanishedFolder", 0, {StatusSynchronized, StatusNew});
        localtree::run(root, {"rm A/synced"});

        CRemovedHierarchyChecker(f.db).checkFLStore();
        QCOMPARE(localtree::dump(*f.db, library), (QStringList{"A/ sync", "A/kept sync", "A/synced sync"}));
    }

    void hierarchyCheckerReportsFolderBeforeContentWithSizes()
    {
        Fixture f;
        const QString clientName = QStringLiteral("Tenant%1/Lib").arg(++m_rows);
        const ItemId library = f.addLibrary(clientName);
        const QString root = f.libraryPath(clientName);
        localtree::build(f, library, root, {});
        localtree::run(root, {"write N/f=abc"});
        const ClientWatcherEventList events = CHierarchyChecker(f.db).checkDirectory(root, false);
        QCOMPARE(texts(events), (QStringList{"ADDED: " + root + "/N", "ADDED: " + root + "/N/f"}));
        QCOMPARE(events.at(0).size, qint64(-1));
        QCOMPARE(events.at(1).size, qint64(3));
        QVERIFY(CHierarchyChecker(f.db).checkDirectory(root, false, true).size() == 1);
        QCOMPARE(texts(CHierarchyChecker(f.db).checkDirectory(root + "/gone", false)),
                 QStringList{"REMOVED: " + root + "/gone"});
        Q_UNUSED(library);
    }

private:
    int m_rows = 0;
};

BXSYNC_TEST_MAIN(TestClientWatcherEventProcessor)
#include "tst_clientwatchereventprocessor.moc"
