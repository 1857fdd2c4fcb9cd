#include "ReferenceServer.h"
#include "SyncDatabase.h"
#include "SyncScenario.h"
#include "TestMain.h"
#include "WorkspaceServerRequest.h"

#include <QFile>

using testsupport::ReferenceServer;
using testsupport::SyncScenario;

// File synchronisation through the whole scheduler: what the user sees on both sides and how often
// the engine had to fetch the library to get there.
class TestSyncFileEngine : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_server.reset(new ReferenceServer());
        QVERIFY(m_server->isRunning());
        m_server->trustCa();
    }

    void cleanupTestCase() { CNetworkAccessManager::deleteInstanceForCurrentThread(); }

    // Each row changes a synchronised file on one side or both; every version ends on both sides.
    void contentChanges_data()
    {
        QTest::addColumn<QByteArray>("server");
        QTest::addColumn<QByteArray>("local");
        QTest::addColumn<int>("maxFetches");
        QTest::newRow("server edit") << QByteArray("server edit") << QByteArray() << 1;
        QTest::newRow("local edit") << QByteArray() << QByteArray("local edit") << 1;
        QTest::newRow("both sides edited") << QByteArray("server edit") << QByteArray("local edit") << 3;
    }
    void contentChanges()
    {
        QFETCH(QByteArray, server);
        QFETCH(QByteArray, local);
        QFETCH(int, maxFetches);
        SyncScenario s(*m_server, nextTenant());
        QVERIFY(s.runUntilIdle());
        QVERIFY(s.addSynchronizedFile("doc.txt", "base"));
        QVERIFY(s.runUntilIdle());
        s.clearRequestLog();

        if (!server.isEmpty()) {
            const quint64 id = s.serverId("doc.txt");
            m_server->admin("PUT", s.library().path() + "/files/" + QString::number(id) + "/content",
                            {{"content", QString::fromUtf8(server)}});
            s.database()->updateLibrary(s.libraryClientId(), CSqlValue("ServerStatus", quint32(StatusChanged)));
        }
        if (!local.isEmpty()) {
            s.writeLocal("doc.txt", local);
            s.recordLocalChange("doc.txt");
        }
        QVERIFY(s.runUntilIdle(60000));

        QStringList expected;
        for (const QByteArray &content : {server, local})
            if (!content.isEmpty())
                expected << QString::fromUtf8(content);
        expected.sort();
        QCOMPARE(contents(s), expected);
        QCOMPARE(s.localTree(), s.serverTree());
        QVERIFY2(s.requestCount("FileSync.getHierarchy") <= maxFetches,
                 qPrintable(QString::number(s.requestCount("FileSync.getHierarchy"))));
        QCOMPARE(s.violations(), QJsonArray());
    }

private:
    QString nextTenant() { return QString("fileengine%1").arg(++m_tenants); }

    // The contents of every local file, sorted.
    static QStringList contents(const SyncScenario &s)
    {
        QStringList out;
        for (const QString &relative : s.localTree()) {
            QFile file(s.localPath(relative));
            if (!relative.endsWith('/') && file.open(QIODevice::ReadOnly))
                out << QString::fromUtf8(file.readAll());
        }
        out.sort();
        return out;
    }

    QScopedPointer<ReferenceServer> m_server;
    int m_tenants = 0;
};

BXSYNC_TEST_MAIN(TestSyncFileEngine)
#include "tst_syncfileengine.moc"
