#include "SyncItem.h"
#include "SyncLibrary.h"
#include "TestMain.h"

// The decisions of the item state machine and the library names, without server or disk.
class TestSyncRules : public QObject
{
    Q_OBJECT
private slots:
    void resolveConflict_data()
    {
        QTest::addColumn<quint32>("client");
        QTest::addColumn<quint32>("server");
        QTest::addColumn<quint32>("newClient");
        QTest::addColumn<quint32>("newServer");
        QTest::addColumn<bool>("cleanup");
        const quint32 S = StatusSynchronized, N = StatusNew, M = StatusMoved, C = StatusChanged, D = StatusDeleted,
                      MC = StatusMovedAndChanged;
        QTest::newRow("new / deleted: upload") << N << D << N << S << false;
        QTest::newRow("new / new: download") << N << N << S << N << false;
        QTest::newRow("new / changed: download") << N << C << S << N << false;
        QTest::newRow("moved / moved: local move wins") << M << M << M << S << false;
        QTest::newRow("moved / deleted: upload under the new name") << M << D << N << S << true;
        QTest::newRow("moved / changed: server wins") << M << C << S << MC << true;
        QTest::newRow("moved / moved and changed: server wins") << M << MC << S << MC << true;
        QTest::newRow("moved / new: no rule") << M << N << M << N << false;
        QTest::newRow("changed / changed: upload") << C << C << C << S << false;
        QTest::newRow("changed / moved: upload") << C << M << C << S << false;
        QTest::newRow("changed / moved and changed: upload") << C << MC << C << S << false;
        QTest::newRow("changed / deleted: upload as new") << C << D << N << S << false;
        QTest::newRow("changed / new: no rule") << C << N << C << N << false;
        QTest::newRow("deleted / deleted: server deletion") << D << D << S << D << false;
        QTest::newRow("deleted / changed: download again") << D << C << S << N << false;
        QTest::newRow("deleted / moved: download again") << D << M << S << N << false;
        QTest::newRow("moved and changed: impossible") << MC << C << MC << C << false;
    }

    void resolveConflict()
    {
        QFETCH(quint32, client);
        QFETCH(quint32, server);
        QFETCH(quint32, newClient);
        QFETCH(quint32, newServer);
        QFETCH(bool, cleanup);
        const syncitem::Resolution r = syncitem::resolveConflict(SyncStatus{client, server});
        QCOMPARE(r.status.ClientStatus, newClient);
        QCOMPARE(r.status.ServerStatus, newServer);
        QCOMPARE(r.cleanupName, cleanup);
        QCOMPARE(r.impossible, client == StatusMovedAndChanged);
    }

    void names_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("isFile");
        QTest::addColumn<QString>("expected");
        QTest::newRow("numbered file") << "numbered" << "report.pdf" << true << "report (2).pdf";
        QTest::newRow("numbered folder keeps its dot") << "numbered" << "v1.2" << false << "v1.2 (2)";
        QTest::newRow("numbered dot-file has no extension") << "numbered" << ".profile" << true << ".profile (2)";
        QTest::newRow("conflict file") << "conflict" << "a.b.txt" << true << "a.b.conflict 2026-01-02 03_04_05.txt";
        QTest::newRow("conflict without extension") << "conflict" << "Makefile" << true
                                                     << "Makefile.conflict 2026-01-02 03_04_05";
        QTest::newRow("conflict trailing dot") << "conflict" << "name." << true << "name..conflict 2026-01-02 03_04_05";
        QTest::newRow("cleanup keeps the new name") << "cleanup" << "old" + kPendingRenameMarker + "new" << true << "new";
        QTest::newRow("cleanup of a plain name") << "cleanup" << "plain" << true << "plain";
        QTest::newRow("split") << "split" << "old" + kPendingRenameMarker + "new" << true << "old|new";
        QTest::newRow("split without marker") << "split" << "old" << true << "";
        QTest::newRow("split with an empty half") << "split" << kPendingRenameMarker + "new" << true << "";
        QTest::newRow("library folder") << "library" << "Acme: Ltd|Docs?" << false << "Brindlex - Acme_ Ltd/Docs_";
        QTest::newRow("numbering removed") << "unnumbered" << "Brindlex - T/Docs (12)" << false << "Brindlex - T/Docs";
        QTest::newRow("numbering needs a blank") << "unnumbered" << "Brindlex - T/Docs(2)" << false
                                                 << "Brindlex - T/Docs(2)";
    }

    void names()
    {
        QFETCH(QString, kind);
        QFETCH(QString, input);
        QFETCH(bool, isFile);
        QFETCH(QString, expected);
        const QDateTime time(QDate(2026, 1, 2), QTime(3, 4, 5));
        QString actual;
        if (kind == "numbered")
            actual = syncitem::numberedName(input, 2, isFile);
        else if (kind == "conflict")
            actual = syncitem::conflictName(input, time, isFile);
        else if (kind == "cleanup")
            actual = syncitem::cleanupPendingRename(input);
        else if (kind == "split")
            actual = syncitem::splitPendingRename(input).join('|');
        else if (kind == "library")
            actual = synclibrary::relativeFolderPath(input.section('|', 0, 0), input.section('|', 1));
        else if (kind == "unnumbered")
            actual = synclibrary::withoutNumbering(input);
        QCOMPARE(actual, expected);
    }
};

BXSYNC_TEST_MAIN(TestSyncRules)
#include "tst_syncrules.moc"
