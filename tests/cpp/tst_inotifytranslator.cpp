#include "NativeClientWatcher_linux.h"
#include "TestMain.h"

#include <sys/inotify.h>

#include <cstring>

using namespace inotifywatch;

namespace {

// One record as the kernel lays it out: header, then the name padded with zeros.
QByteArray record(int wd, quint32 mask, quint32 cookie = 0, const QByteArray &name = {})
{
    const quint32 len = name.isEmpty() ? 0 : quint32((name.size() + 1 + 15) / 16 * 16);
    inotify_event header{};
    header.wd = wd;
    header.mask = mask;
    header.cookie = cookie;
    header.len = len;
    QByteArray bytes(reinterpret_cast<const char *>(&header), sizeof header);
    QByteArray padded = name;
    padded.resize(int(len));
    return bytes + padded;
}

QStringList texts(const ClientWatcherEventList &events)
{
    QStringList result;
    for (const ClientWatcherEvent &event : events)
        result << event.toString();
    return result;
}

using Reads = QList<QByteArray>;

} // namespace

class TestInotifyTranslator : public QObject
{
    Q_OBJECT
private slots:
    void parseBufferSplitsRecords()
    {
        const QByteArray buffer = record(1, IN_CREATE, 0, "a.txt") + record(2, IN_DELETE | IN_ISDIR, 0, "long folder name")
            + record(-1, IN_Q_OVERFLOW);
        const QList<RawRecord> records = parseBuffer(buffer.constData(), buffer.size());
        QCOMPARE(records.size(), 3);
        QCOMPARE(records.at(0).name, QString("a.txt"));
        QCOMPARE(records.at(1).name, QString("long folder name"));
        QCOMPARE(records.at(1).mask, quint32(IN_DELETE | IN_ISDIR));
        QCOMPARE(records.at(2).wd, -1);
        QVERIFY(records.at(2).name.isEmpty());

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("dropped a truncated record"));
        QCOMPARE(parseBuffer(buffer.constData(), buffer.size() - 3).size(), 2);
    }

    void translate_data()
    {
        QTest::addColumn<Reads>("reads");
        QTest::addColumn<bool>("flushAfter");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("foldersToWatch");
        QTest::addColumn<QList<int>>("removedWatches");
        QTest::addColumn<bool>("overflow");
        QTest::addColumn<bool>("rootGone");

        const QList<int> none;
        QTest::newRow("file created, written, closed")
            << Reads{record(2, IN_CREATE, 0, "f") + record(2, IN_MODIFY, 0, "f") + record(2, IN_CLOSE_WRITE, 0, "f")}
            << false << QStringList{"ADDED: /r/A/f", "MODIFIED: /r/A/f", "MODIFIED: /r/A/f"} << QStringList() << none
            << false << false;
        QTest::newRow("folder created is watched")
            << Reads{record(1, IN_CREATE | IN_ISDIR, 0, "New")} << false << QStringList{"ADDED: /r/New"}
            << QStringList{"/r/New"} << none << false << false;
        QTest::newRow("deleted file") << Reads{record(4, IN_DELETE, 0, "x")} << false << QStringList{"REMOVED: /r/B/x"}
                                      << QStringList() << none << false << false;
        QTest::newRow("folder attributes ignored") << Reads{record(1, IN_ATTRIB | IN_ISDIR, 0, "A")} << false
                                                   << QStringList() << QStringList() << none << false << false;
        QTest::newRow("rename in place") << Reads{record(2, IN_MOVED_FROM, 7, "a") + record(2, IN_MOVED_TO, 7, "b")}
                                         << false << QStringList{"MOVED: /r/A/a -> /r/A/b"} << QStringList() << none
                                         << false << false;
        QTest::newRow("case-only rename") << Reads{record(2, IN_MOVED_FROM, 7, "Doc") + record(2, IN_MOVED_TO, 7, "doc")}
                                          << false << QStringList{"MOVED: /r/A/Doc -> /r/A/doc"} << QStringList()
                                          << none << false << false;
        QTest::newRow("rename pair split across two reads")
            << Reads{record(2, IN_CREATE, 0, "z") + record(2, IN_MOVED_FROM, 9, "a"), record(2, IN_MOVED_TO, 9, "b")}
            << false << QStringList{"ADDED: /r/A/z", "MOVED: /r/A/a -> /r/A/b"} << QStringList() << none << false
            << false;
        QTest::newRow("move to another folder compares both")
            << Reads{record(2, IN_MOVED_FROM, 5, "a") + record(4, IN_MOVED_TO, 5, "a")} << false
            << QStringList{"DIRECTORY_CHANGED: /r/A", "DIRECTORY_CHANGED: /r/B"} << QStringList() << none << false
            << false;
        QTest::newRow("folder moved out of the tree drops its watches")
            << Reads{record(1, IN_MOVED_FROM | IN_ISDIR, 3, "A"), record(4, IN_CREATE, 0, "y")} << false
            << QStringList{"DIRECTORY_CHANGED: /r", "ADDED: /r/B/y"} << QStringList() << QList<int>{2, 3} << false
            << false;
        QTest::newRow("moved out, nothing follows") << Reads{record(4, IN_MOVED_FROM, 3, "f")} << true
                                                    << QStringList{"DIRECTORY_CHANGED: /r/B"} << QStringList() << none
                                                    << false << false;
        QTest::newRow("unpaired moved-from then a different cookie")
            << Reads{record(4, IN_MOVED_FROM, 3, "f") + record(2, IN_MOVED_TO, 8, "g")} << false
            << QStringList{"DIRECTORY_CHANGED: /r/B", "DIRECTORY_CHANGED: /r/A"} << QStringList() << none << false
            << false;
        QTest::newRow("folder moved in from outside")
            << Reads{record(2, IN_MOVED_TO | IN_ISDIR, 4, "In")} << false << QStringList{"DIRECTORY_CHANGED: /r/A"}
            << QStringList{"/r/A/In"} << none << false << false;
        QTest::newRow("dot-files are dropped")
            << Reads{record(2, IN_CREATE, 0, ".swp") + record(2, IN_CLOSE_WRITE, 0, ".swp") + record(2, IN_DELETE, 0, ".swp")
                     + record(2, IN_MOVED_FROM, 2, ".a") + record(2, IN_MOVED_TO, 2, ".b")}
            << false << QStringList() << QStringList() << none << false << false;
        QTest::newRow("atomic save over the original")
            << Reads{record(2, IN_CREATE, 0, ".doc.tmp") + record(2, IN_MOVED_FROM, 6, ".doc.tmp")
                     + record(2, IN_MOVED_TO, 6, "doc")}
            << false << QStringList{"DIRECTORY_CHANGED: /r/A"} << QStringList() << none << false << false;
        QTest::newRow("renamed to a dot-name counts as gone")
            << Reads{record(2, IN_MOVED_FROM | IN_ISDIR, 6, "Sub") + record(2, IN_MOVED_TO | IN_ISDIR, 6, ".Sub")}
            << false << QStringList{"DIRECTORY_CHANGED: /r/A"} << QStringList() << QList<int>{3} << false << false;
        QTest::newRow("overflow asks for a full check")
            << Reads{record(-1, IN_Q_OVERFLOW)} << false << QStringList{"DIRECTORY_CHANGED: /r"} << QStringList()
            << none << true << false;
        QTest::newRow("root removed") << Reads{record(1, IN_DELETE_SELF) + record(1, IN_IGNORED)} << false
                                      << QStringList{"DIRECTORY_CHANGED: /r"} << QStringList() << none << false << true;
        QTest::newRow("unknown watch is ignored") << Reads{record(42, IN_CREATE, 0, "f")} << false << QStringList()
                                                  << QStringList() << none << false << false;
    }

    void translate()
    {
        QFETCH(Reads, reads);
        QFETCH(bool, flushAfter);
        QFETCH(QStringList, events);
        QFETCH(QStringList, foldersToWatch);
        QFETCH(QList<int>, removedWatches);
        QFETCH(bool, overflow);
        QFETCH(bool, rootGone);

        CInotifyTranslator translator("/r");
        translator.addWatch(1, "/r");
        translator.addWatch(2, "/r/A");
        translator.addWatch(3, "/r/A/Sub");
        translator.addWatch(4, "/r/B");
        Outcome all;
        for (const QByteArray &read : reads) {
            const Outcome outcome = translator.translate(parseBuffer(read.constData(), read.size()));
            all.events << outcome.events;
            all.foldersToWatch << outcome.foldersToWatch;
            all.watchesToRemove << outcome.watchesToRemove;
            all.overflow = all.overflow || outcome.overflow;
            all.rootGone = all.rootGone || outcome.rootGone;
        }
        if (flushAfter)
            translator.flushPendingMove(all);
        QVERIFY(!translator.hasPendingMove());
        QCOMPARE(texts(all.events), events);
        QCOMPARE(all.foldersToWatch, foldersToWatch);
        std::sort(all.watchesToRemove.begin(), all.watchesToRemove.end());
        QCOMPARE(all.watchesToRemove, removedWatches);
        QCOMPARE(all.overflow, overflow);
        QCOMPARE(all.rootGone, rootGone);
    }

    void renamedFolderKeepsItsWatchesUnderTheNewPath()
    {
        CInotifyTranslator translator("/r");
        translator.addWatch(1, "/r");
        translator.addWatch(2, "/r/A");
        translator.addWatch(3, "/r/A/Sub");
        translator.addWatch(5, "/r/AB");
        const QByteArray read = record(1, IN_MOVED_FROM | IN_ISDIR, 4, "A") + record(1, IN_MOVED_TO | IN_ISDIR, 4, "C");
        QCOMPARE(texts(translator.translate(parseBuffer(read.constData(), read.size())).events),
                 QStringList{"MOVED: /r/A -> /r/C"});
        QCOMPARE(translator.pathOf(3), QString("/r/C/Sub"));
        QCOMPARE(translator.pathOf(5), QString("/r/AB"));
        const QByteArray inside = record(3, IN_CREATE, 0, "f");
        QCOMPARE(texts(translator.translate(parseBuffer(inside.constData(), inside.size())).events),
                 QStringList{"ADDED: /r/C/Sub/f"});
    }

    void repeatsOfOnePathAreHeldBackButNeverLost()
    {
        CRepeatSuppressor suppressor(3000);
        QVERIFY(suppressor.pass("/a", 0));
        QVERIFY(suppressor.pass("/b", 10));
        QVERIFY(!suppressor.pass("/a", 100));
        QVERIFY(!suppressor.pass("/a", 2000));
        QCOMPARE(suppressor.nextDueIn(2000), qint64(1000));
        QVERIFY(suppressor.due(2999).isEmpty());
        QCOMPARE(suppressor.due(3000), QStringList{"/a"});
        // A writer that goes on gets one event per quiet period.
        QVERIFY(!suppressor.pass("/a", 3500));
        QCOMPARE(suppressor.due(6000), QStringList{"/a"});
        QCOMPARE(suppressor.nextDueIn(6000), qint64(-1));
        QVERIFY(suppressor.pass("/b", 6000));
    }
};

BXSYNC_TEST_MAIN(TestInotifyTranslator)
#include "tst_inotifytranslator.moc"
