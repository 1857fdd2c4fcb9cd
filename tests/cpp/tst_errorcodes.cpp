#include "RestartInterval.h"
#include "ServerApiErrorCode.h"
#include "TestMain.h"

class TestErrorCodes : public QObject
{
    Q_OBJECT
private slots:
    // kind: "value" looks up a name by value, "name" and "code" look up a value; "warning" is the
    // log line an unknown or empty input must leave.
    void lookups_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("warning");
        QTest::newRow("value: item not found") << "value" << "41" << "brindlex.ItemNotFound" << "";
        QTest::newRow("value: the gap is unknown") << "value" << "29" << "29"
                                                   << "ServerApiErrorCode::getErrorName: unknown errorEnum: 29";
        QTest::newRow("name: capitals") << "name" << "BRINDLEX.QUOTAEXCEEDED" << "28" << "";
        QTest::newRow("name: a shared code, its own name") << "name" << "brindlex.VersionMismatch" << "42" << "";
        QTest::newRow("name: unknown") << "name" << "Connection refused" << "69"
                                       << "ServerApiErrorCode::getErrorEnum: unknown errorName: \"Connection refused\"";
        QTest::newRow("name: empty") << "name" << "" << "69" << "ServerApiErrorCode::getErrorEnum: empty errorName";
        QTest::newRow("code: shared 6005, the earliest row") << "code" << "6005" << "42" << "";
        QTest::newRow("code: access denied") << "code" << "1004" << "8" << "";
        QTest::newRow("code: zero") << "code" << "0" << "69" << "ServerApiErrorCode::getErrorEnum: empty or zero apiCode: 0";
        QTest::newRow("code: unknown") << "code" << "12345" << "69"
                                       << "ServerApiErrorCode::getErrorEnum: unknown apiCode: 12345";
    }

    void lookups()
    {
        QFETCH(QString, kind);
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QFETCH(QString, warning);
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        if (kind == "value")
            QCOMPARE(ServerApiErrorCode::getErrorName(ServerApiErrorCode::ErrorEnum(input.toInt())), expected);
        else if (kind == "name")
            QCOMPARE(int(ServerApiErrorCode::getErrorEnum(input)), expected.toInt());
        else
            QCOMPARE(int(ServerApiErrorCode::getErrorEnum(input.toInt())), expected.toInt());
    }

    void errorCodeConstruction()
    {
        // The name from the server is kept as received, even when it differs in case.
        const ErrorCode byName(QString("BRINDLEX.StateOutOfDate"));
        QCOMPARE(byName.errorEnum, ServerApiErrorCode::StateOutOfDate);
        QCOMPARE(byName.errorName, QString("BRINDLEX.StateOutOfDate"));

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unknown errorName"));
        const ErrorCode transport = ErrorCode::fromTransportError("Host 127.0.0.9 not found");
        QCOMPARE(transport.errorEnum, ServerApiErrorCode::ErrorUnknown);
        QCOMPARE(transport.errorName, QString("Host 127.0.0.9 not found"));
    }

    // How long a failed request waits before the next try.
    void restartIntervals_data()
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

    void restartIntervals()
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
    }
};

BXSYNC_TEST_MAIN(TestErrorCodes)
#include "tst_errorcodes.moc"
