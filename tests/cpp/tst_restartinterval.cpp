#include "RestartInterval.h"
#include "TestMain.h"

class TestRestartInterval : public QObject
{
    Q_OBJECT
private slots:
    void table_data()
    {
        QTest::addColumn<ErrorCode>("error");
        QTest::addColumn<bool>("extraDelay");
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        using E = ServerApiErrorCode;
        QTest::newRow("success") << ErrorCode(E::ErrorSuccess) << false << 0 << 0;
        QTest::newRow("session expired") << ErrorCode(E::SessionExpired) << false << 5000 << 5000;
        QTest::newRow("invalid token") << ErrorCode(E::InvalidToken) << false << 5000 << 5000;
        QTest::newRow("invalid access token") << ErrorCode(E::InvalidAccessToken) << false << 5000 << 5000;
        QTest::newRow("local file opened") << ErrorCode(E::ErrorLocalFileOpened) << false << 10000 << 10000;
        QTest::newRow("fixed intervals ignore the flag") << ErrorCode(E::ErrorNoNetwork) << true << 30000 << 30000;
        QTest::newRow("invalid call") << ErrorCode(E::InvalidCall) << false << 600000 << 3600000;
        QTest::newRow("method not found") << ErrorCode(E::MethodNotFound) << false << 600000 << 3600000;
        QTest::newRow("invalid parameters") << ErrorCode(E::InvalidParameters) << false << 600000 << 3600000;
        QTest::newRow("invalid request is no invalid call") << ErrorCode(E::InvalidRequest) << false << 30000 << 600000;
        QTest::newRow("other, flag set") << ErrorCode(E::ErrorInternal) << true << 900000 << 7200000;
        QTest::newRow("transport failure text") << ErrorCode::fromTransportError("Connection closed") << false << 30000
                                                << 600000;
    }

    void table()
    {
        QFETCH(ErrorCode, error);
        QFETCH(bool, extraDelay);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        error.extraDelay = extraDelay;
        const restartinterval::Range range = restartinterval::rangeFor(error);
        QCOMPARE(range.minMs, minMs);
        QCOMPARE(range.maxMs, maxMs);
        const int drawn = restartinterval::forError(error);
        QVERIFY2(drawn >= minMs && drawn <= maxMs, qPrintable(QString::number(drawn)));
    }

    void pickSpansTheRange()
    {
        QCOMPARE(restartinterval::pick({30000, 600000}, 0), 30000);
        QCOMPARE(restartinterval::pick({30000, 600000}, 32767), 600000);
        QCOMPARE(restartinterval::pick({30000, 600000}, 16383), 314991); // truncated, never rounded
    }
};

BXSYNC_TEST_MAIN(TestRestartInterval)
#include "tst_restartinterval.moc"
