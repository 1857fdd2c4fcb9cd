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

    // Reads as the kernel delivers them, against watches 1 /r, 2 /r/A, 3 /r/A/Sub, 4 /r/B, 5 /r/AB.
    // Besides the events: "watch <path>", "unwatch <wd>", "overflow", "root gone", "pending move".
    void translate_data()
    {
        QTest::addColumn<Reads>("reads");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("besides");

        QTest::newRow("file created, written, closed")
            << Reads{record(2, IN_CREATE, 0, "f") + record(2, IN_MODIFY, 0, "f") + record(2, IN_CLOSE_WRITE, 0, "f")}
            << QStringList{"ADDED: /r/A/f", "MODIFIED: /r/A/f", "MODIFIED: /r/A/f"} << QStringList();
        QTest::newRow("folder created is watched")
            << Reads{record(1, IN_CREATE | IN_ISDIR, 0, "New")} << QStringList{"ADDED: /r/New"} << QStringList{"watch /r/New"};
        QTest::newRow("deleted file") << Reads{record(4, IN_DELETE, 0, "x")} << QStringList{"REMOVED: /r/B/x"} << QStringList();
        QTest::newRow("folder attributes ignored") << Reads{record(1, IN_ATTRIB | IN_ISDIR, 0, "A")} << QStringList() << QStringList();
        QTest::newRow("rename in place") << Reads{record(2, IN_MOVED_FROM, 7, "a") + record(2, IN_MOVED_TO, 7, "b")}
                                         << QStringList{"MOVED: /r/A/a -> /r/A/b"} << QStringList();
        QTest::newRow("case-only rename") << Reads{record(2, IN_MOVED_FROM, 7, "Doc") + record(2, IN_MOVED_TO, 7, "doc")}
                                          << QStringList{"MOVED: /r/A/Doc -> /r/A/doc"} << QStringList();
        QTest::newRow("rename pair split across two reads")
            << Reads{record(2, IN_CREATE, 0, "z") + record(2, IN_MOVED_FROM, 9, "a"), record(2, IN_MOVED_TO, 9, "b")}
            << QStringList{"ADDED: /r/A/z", "MOVED: /r/A/a -> /r/A/b"} << QStringList();
        QTest::newRow("renamed folder keeps its watches under the new path")
            << Reads{record(1, IN_MOVED_FROM | IN_ISDIR, 4, "A") + record(1, IN_MOVED_TO | IN_ISDIR, 4, "C"),
                     record(3, IN_CREATE, 0, "f") + record(5, IN_CREATE, 0, "g")}
            << QStringList{"MOVED: /r/A -> /r/C", "ADDED: /r/C/Sub/f", "ADDED: /r/AB/g"} << QStringList();
        QTest::newRow("move to another folder compares both")
            << Reads{record(2, IN_MOVED_FROM, 5, "a") + record(4, IN_MOVED_TO, 5, "a")}
            << QStringList{"DIRECTORY_CHANGED: /r/A", "DIRECTORY_CHANGED: /r/B"} << QStringList();
        QTest::newRow("folder moved out of the tree drops its watches")
            << Reads{record(1, IN_MOVED_FROM | IN_ISDIR, 3, "A"), record(4, IN_CREATE, 0, "y")}
            << QStringList{"DIRECTORY_CHANGED: /r", "ADDED: /r/B/y"} << QStringList{"unwatch 2", "unwatch 3"};
        QTest::newRow("moved out, nothing follows")
            << Reads{record(4, IN_MOVED_FROM, 3, "f")} << QStringList{"DIRECTORY_CHANGED: /r/B"} << QStringList{"pending move"};
        QTest::newRow("unpaired moved-from then a different cookie")
            << Reads{record(4, IN_MOVED_FROM, 3, "f") + record(2, IN_MOVED_TO, 8, "g")}
            << QStringList{"DIRECTORY_CHANGED: /r/B", "DIRECTORY_CHANGED: /r/A"} << QStringList();
        QTest::newRow("folder moved in from outside") << Reads{record(2, IN_MOVED_TO | IN_ISDIR, 4, "In")}
                                                      << QStringList{"DIRECTORY_CHANGED: /r/A"} << QStringList{"watch /r/A/In"};
        QTest::newRow("dot-files are dropped")
            << Reads{record(2, IN_CREATE, 0, ".swp") + record(2, IN_CLOSE_WRITE, 0, ".swp") + record(2, IN_DELETE, 0, ".swp")
                     + record(2, IN_MOVED_FROM, 2, ".a") + record(2, IN_MOVED_TO, 2, ".b")}
            << QStringList() << QStringList();
        QTest::newRow("atomic save over the original")
            << Reads{record(2, IN_CREATE, 0, ".doc.tmp") + record(2, IN_MOVED_FROM, 6, ".doc.tmp") + record(2, IN_MOVED_TO, 6, "doc")}
            << QStringList{"DIRECTORY_CHANGED: /r/A"} << QStringList();
        QTest::newRow("renamed to a dot-name counts as gone")
            << Reads{record(2, IN_MOVED_FROM | IN_ISDIR, 6, "Sub") + record(2, IN_MOVED_TO | IN_ISDIR, 6, ".Sub")}
            << QStringList{"DIRECTORY_CHANGED: /r/A"} << QStringList{"unwatch 3"};
        QTest::newRow("overflow asks for a full check")
            << Reads{record(-1, IN_Q_OVERFLOW)} << QStringList{"DIRECTORY_CHANGED: /r"} << QStringList{"overflow"};
        QTest::newRow("root removed") << Reads{record(1, IN_DELETE_SELF) + record(1, IN_IGNORED)}
                                      << QStringList{"DIRECTORY_CHANGED: /r"} << QStringList{"root gone"};
        QTest::newRow("unknown watch is ignored") << Reads{record(42, IN_CREATE, 0, "f")} << QStringList() << QStringList();
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
        Outcome all;
        QStringList seen;
        for (const QByteArray &read : reads) {
            const Outcome outcome = translator.translate(parseBuffer(read.constData(), read.size()));
            all.events << outcome.events;
            for (const QString &folder : outcome.foldersToWatch)
                seen << "watch " + folder;
            for (int wd : outcome.watchesToRemove)
                seen << "unwatch " + QString::number(wd);
            if (outcome.overflow)
                seen << "overflow";
            if (outcome.rootGone)
                seen << "root gone";
        }
        if (translator.hasPendingMove())
            seen << "pending move";
        // What a quiet inotify descriptor triggers.
        translator.flushPendingMove(all);
        QCOMPARE(texts(all.events), events);
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
