#include "MessageCapture.h"
#include "NativeClientWatcher_linux.h"
#include "TestMain.h"

#include <sys/inotify.h>

using namespace inotifywatch;

namespace {

// One record as the kernel lays it out: header, then the name padded with zeros.
QByteArray record(int wd, quint32 mask, quint32 cookie = 0, const QByteArray &name = {})
{
    inotify_event header{};
    std::tie(header.wd, header.mask, header.cookie) = std::make_tuple(wd, mask, cookie);
    header.len = name.isEmpty() ? 0 : quint32((name.size() + 1 + 15) / 16 * 16);
    QByteArray padded = name;
    padded.resize(int(header.len));
    return QByteArray(reinterpret_cast<const char *>(&header), sizeof header) + padded;
}

using Reads = QList<QByteArray>;

} // namespace

class TestInotifyTranslator : public QObject
{
    Q_OBJECT
private slots:
    // Reads as the kernel delivers them, against watches 1 /r, 2 /r/A, 3 /r/A/Sub, 4 /r/B, 5 /r/AB.
    // Besides the events: "watch <path>", "unwatch <wd>", "overflow", "root gone", "pending move",
    // "truncated" (logged).
    void translate_data()
    {
        QTest::addColumn<Reads>("reads");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("besides");

        using L = QStringList;
        QTest::newRow("file created, written, closed")
            << Reads{record(2, IN_CREATE, 0, "f") + record(2, IN_MODIFY, 0, "f") + record(2, IN_CLOSE_WRITE, 0, "f")}
            << L{"ADDED: /r/A/f", "MODIFIED: /r/A/f", "MODIFIED: /r/A/f"} << L();
        QTest::newRow("folder with a long name created is watched")
            << Reads{record(1, IN_CREATE | IN_ISDIR, 0, "A long folder name")} << L{"ADDED: /r/A long folder name"}
            << L{"watch /r/A long folder name"};
        QTest::newRow("truncated record is dropped")
            << Reads{(record(2, IN_CREATE, 0, "f") + record(2, IN_CREATE, 0, "g")).chopped(3)} << L{"ADDED: /r/A/f"}
            << L{"truncated"};
        QTest::newRow("deleted file") << Reads{record(4, IN_DELETE, 0, "x")} << L{"REMOVED: /r/B/x"} << L();
        QTest::newRow("folder attributes ignored") << Reads{record(1, IN_ATTRIB | IN_ISDIR, 0, "A")} << L() << L();
        QTest::newRow("rename in place") << Reads{record(2, IN_MOVED_FROM, 7, "a") + record(2, IN_MOVED_TO, 7, "b")}
                                         << L{"MOVED: /r/A/a -> /r/A/b"} << L();
        QTest::newRow("rename pair split across two reads")
            << Reads{record(2, IN_CREATE, 0, "z") + record(2, IN_MOVED_FROM, 9, "a"), record(2, IN_MOVED_TO, 9, "b")}
            << L{"ADDED: /r/A/z", "MOVED: /r/A/a -> /r/A/b"} << L();
        QTest::newRow("renamed folder keeps its watches under the new path")
            << Reads{record(1, IN_MOVED_FROM | IN_ISDIR, 4, "A") + record(1, IN_MOVED_TO | IN_ISDIR, 4, "C"),
                     record(3, IN_CREATE, 0, "f") + record(5, IN_CREATE, 0, "g")}
            << L{"MOVED: /r/A -> /r/C", "ADDED: /r/C/Sub/f", "ADDED: /r/AB/g"} << L();
        QTest::newRow("move to another folder compares both")
            << Reads{record(2, IN_MOVED_FROM, 5, "a") + record(4, IN_MOVED_TO, 5, "a")}
            << L{"DIRECTORY_CHANGED: /r/A", "DIRECTORY_CHANGED: /r/B"} << L();
        QTest::newRow("folder moved out of the tree drops its watches")
            << Reads{record(1, IN_MOVED_FROM | IN_ISDIR, 3, "A"), record(4, IN_CREATE, 0, "y")}
            << L{"DIRECTORY_CHANGED: /r", "ADDED: /r/B/y"} << L{"unwatch 2", "unwatch 3"};
        QTest::newRow("moved out, nothing follows")
            << Reads{record(4, IN_MOVED_FROM, 3, "f")} << L{"DIRECTORY_CHANGED: /r/B"} << L{"pending move"};
        QTest::newRow("unpaired moved-from then a different cookie")
            << Reads{record(4, IN_MOVED_FROM, 3, "f") + record(2, IN_MOVED_TO, 8, "g")}
            << L{"DIRECTORY_CHANGED: /r/B", "DIRECTORY_CHANGED: /r/A"} << L();
        QTest::newRow("folder moved in from outside")
            << Reads{record(2, IN_MOVED_TO | IN_ISDIR, 4, "In")} << L{"DIRECTORY_CHANGED: /r/A"} << L{"watch /r/A/In"};
        QTest::newRow("dot-files are dropped")
            << Reads{record(2, IN_CREATE, 0, ".swp") + record(2, IN_CLOSE_WRITE, 0, ".swp") + record(2, IN_DELETE, 0, ".swp")
                     + record(2, IN_MOVED_FROM, 2, ".a") + record(2, IN_MOVED_TO, 2, ".b")}
            << L() << L();
        QTest::newRow("atomic save over the original")
            << Reads{record(2, IN_CREATE, 0, ".doc.tmp") + record(2, IN_MOVED_FROM, 6, ".doc.tmp") + record(2, IN_MOVED_TO, 6, "doc")}
            << L{"DIRECTORY_CHANGED: /r/A"} << L();
        QTest::newRow("renamed to a dot-name counts as gone")
            << Reads{record(2, IN_MOVED_FROM | IN_ISDIR, 6, "Sub") + record(2, IN_MOVED_TO | IN_ISDIR, 6, ".Sub")}
            << L{"DIRECTORY_CHANGED: /r/A"} << L{"unwatch 3"};
        QTest::newRow("overflow asks for a full check")
            << Reads{record(-1, IN_Q_OVERFLOW)} << L{"DIRECTORY_CHANGED: /r"} << L{"overflow"};
        QTest::newRow("root removed") << Reads{record(1, IN_DELETE_SELF) + record(1, IN_IGNORED)}
                                      << L{"DIRECTORY_CHANGED: /r"} << L{"root gone"};
        QTest::newRow("unknown watch is ignored") << Reads{record(42, IN_CREATE, 0, "f")} << L() << L();
    }

    void translate()
    {
        QFETCH(Reads, reads);
        QFETCH(QStringList, events);
        QFETCH(QStringList, besides);

        CInotifyTranslator translator("/r");
        const QStringList watched{"/r", "/r/A", "/r/A/Sub", "/r/B", "/r/AB"};
        for (int wd = 1; wd <= watched.size(); ++wd)
            translator.addWatch(wd, watched.at(wd - 1));
        testsupport::MessageCapture capture;
        Outcome all;
        QStringList seen;
        for (const QByteArray &read : reads) {
            const Outcome outcome = translator.translate(parseBuffer(read.constData(), read.size()));
            all.events << outcome.events;
            for (const QString &folder : outcome.foldersToWatch)
                seen << "watch " + folder;
            for (int wd : outcome.watchesToRemove)
                seen << "unwatch " + QString::number(wd);
            seen << (outcome.overflow ? "overflow" : "") << (outcome.rootGone ? "root gone" : "");
        }
        seen << (translator.hasPendingMove() ? "pending move" : "")
             << (capture.containing(QtWarningMsg, "dropped a truncated record").isEmpty() ? "" : "truncated");
        // What a quiet inotify descriptor triggers.
        translator.flushPendingMove(all);
        QStringList texts;
        for (const ClientWatcherEvent &event : all.events)
            texts << event.toString();
        QCOMPARE(texts, events);
        seen.removeAll(QString());
        seen.sort();
        QCOMPARE(seen, besides);
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
