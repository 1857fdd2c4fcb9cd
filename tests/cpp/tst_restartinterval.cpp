#include "RestartInterval.h"
#include "TestMain.h"


namespace {

ErrorCode withFlag(ServerApiErrorCode::ErrorEnum value, bool extraDelay)
{
    ErrorCode error(value);
    error.extraDelay = extraDelay;
    return error;
}

} // namespace

class TestRestartInterval : public QObject
{
    Q_OBJECT
private slots:
    void table_data()
    {
        QTest::addColumn<ErrorCode>("error");
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");
        using E = ServerApiErrorCode;
        QTest::newRow("success") << ErrorCode(E::ErrorSuccess) << 0 << 0;
        QTest::newRow("session expired") << ErrorCode(E::SessionExpired) << 5000 << 5000;
        QTest::newRow("invalid token") << ErrorCode(E::InvalidToken) << 5000 << 5000;
        QTest::newRow("invalid access token") << ErrorCode(E::InvalidAccessToken) << 5000 << 5000;
        QTest::newRow("local file opened") << ErrorCode(E::ErrorLocalFileOpened) << 10000 << 10000;
        QTest::newRow("no network") << ErrorCode(E::ErrorNoNetwork) << 30000 << 30000;
        QTest::newRow("fixed intervals ignore the flag") << withFlag(E::ErrorNoNetwork, true) << 30000 << 30000;
        QTest::newRow("invalid call") << ErrorCode(E::InvalidCall) << 600000 << 3600000;
        QTest::newRow("method not found") << ErrorCode(E::MethodNotFound) << 600000 << 3600000;
        QTest::newRow("invalid parameters") << ErrorCode(E::InvalidParameters) << 600000 << 3600000;
        QTest::newRow("invalid request is no invalid call") << ErrorCode(E::InvalidRequest) << 30000 << 600000;
        QTest::newRow("other, flag clear") << ErrorCode(E::ErrorInternal) << 30000 << 600000;
        QTest::newRow("other, flag set") << withFlag(E::ErrorInternal, true) << 900000 << 7200000;
        QTest::newRow("cancelled") << ErrorCode(E::ErrorOperationCancelled) << 30000 << 600000;
        QTest::newRow("transport failure text")
            << ErrorCode::fromTransportError("Connection closed") << 30000 << 600000;
    }

    void table()
    {
        QFETCH(ErrorCode, error);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        const restartinterval::Range range = restartinterval::rangeFor(error);
        QCOMPARE(range.minMs, minMs);
        QCOMPARE(range.maxMs, maxMs);
        const int drawn = restartinterval::forError(error);
        QVERIFY2(drawn >= minMs && drawn <= maxMs, qPrintable(QString::number(drawn)));
    }

    void pickSpansTheRange_data()
    {
        QTest::addColumn<int>("q");
        QTest::addColumn<int>("expected");
        QTest::newRow("lowest") << 0 << 30000;
        QTest::newRow("highest") << 32767 << 600000;
        QTest::newRow("middle, truncated") << 16383 << 314991;
        QTest::newRow("one step") << 1 << 30017;
    }

    void pickSpansTheRange()
    {
        QFETCH(int, q);
        QFETCH(int, expected);
        QCOMPARE(restartinterval::pick({30000, 600000}, q), expected);
    }
};

BXSYNC_TEST_MAIN(TestRestartInterval)
#include "tst_restartinterval.moc"
