#include "ServerApiErrorCode.h"
#include "TestMain.h"

class TestErrorCodes : public QObject
{
    Q_OBJECT
private slots:
    void namesByValue_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("name");
        QTest::newRow("first") << 0 << "api.exceptions.ApiException";
        QTest::newRow("item not found") << 41 << "brindlex.ItemNotFound";
        QTest::newRow("quota") << 28 << "brindlex.QuotaExceeded";
        QTest::newRow("after the gap") << 30 << "brindlex.InvalidToken";
        QTest::newRow("file library") << 67 << "file.library.api.shared.VersionMismatch";
        QTest::newRow("success") << 68 << "dc.ErrorSuccess";
        QTest::newRow("last") << 87 << "dc.ErrorParentFolderNotYetCreated";
        QTest::newRow("gap is unknown") << 29 << "29";
        QTest::newRow("unknown") << 200 << "200";
    }

    void namesByValue()
    {
        QFETCH(int, value);
        QFETCH(QString, name);
        if (name.at(0).isDigit())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(QString("ServerApiErrorCode::getErrorName: unknown errorEnum: %1").arg(value)));
        QCOMPARE(ServerApiErrorCode::getErrorName(ServerApiErrorCode::ErrorEnum(value)), name);
    }

    void valuesByName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("value");
        QTest::newRow("exact") << "brindlex.QuotaExceeded" << 28;
        QTest::newRow("capitals") << "BRINDLEX.QUOTAEXCEEDED" << 28;
        QTest::newRow("mixed") << "Api.Exceptions.AccessDenied" << 8;
        QTest::newRow("two rows, one name each") << "brindlex.VersionMismatch" << 42;
        QTest::newRow("dc") << "dc.ErrorOperationCancelled" << 71;
        QTest::newRow("unknown") << "brindlex.Nope" << 69;
        QTest::newRow("network text") << "Connection refused" << 69;
        QTest::newRow("empty") << "" << 69;
    }

    void valuesByName()
    {
        QFETCH(QString, name);
        QFETCH(int, value);
        if (name.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, "ServerApiErrorCode::getErrorEnum: empty errorName");
        else if (value == 69)
            QTest::ignoreMessage(QtWarningMsg, qPrintable(QString("ServerApiErrorCode::getErrorEnum: unknown errorName: \"%1\"").arg(name)));
        QCOMPARE(int(ServerApiErrorCode::getErrorEnum(name)), value);
    }

    void valuesByApiCode_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("value");
        QTest::newRow("-32600 shared, earliest") << -32600 << 1;
        QTest::newRow("-32603 shared, earliest") << -32603 << 6;
        QTest::newRow("1000 shared, earliest") << 1000 << 21;
        QTest::newRow("6005 shared, earliest") << 6005 << 42;
        QTest::newRow("400 shared, earliest") << 400 << 62;
        QTest::newRow("access denied") << 1004 << 8;
        QTest::newRow("session expired") << -32001 << 24;
        QTest::newRow("state out of date") << 6023 << 56;
        QTest::newRow("zero") << 0 << 69;
        QTest::newRow("unknown") << 12345 << 69;
    }

    void valuesByApiCode()
    {
        QFETCH(int, code);
        QFETCH(int, value);
        if (code == 0)
            QTest::ignoreMessage(QtWarningMsg, "ServerApiErrorCode::getErrorEnum: empty or zero apiCode: 0");
        else if (code == 12345)
            QTest::ignoreMessage(QtWarningMsg, "ServerApiErrorCode::getErrorEnum: unknown apiCode: 12345");
        QCOMPARE(int(ServerApiErrorCode::getErrorEnum(code)), value);
    }

    void errorCodeConstruction()
    {
        const ErrorCode byValue(ServerApiErrorCode::ItemNotFound);
        QCOMPARE(byValue.errorName, QString("brindlex.ItemNotFound"));
        QVERIFY(!byValue.extraDelay);

        // The name from the server is kept as received, even when it differs in case.
        const ErrorCode byName(QString("BRINDLEX.StateOutOfDate"));
        QCOMPARE(byName.errorEnum, ServerApiErrorCode::StateOutOfDate);
        QCOMPARE(byName.errorName, QString("BRINDLEX.StateOutOfDate"));

        const ErrorCode byCode(6016);
        QCOMPARE(byCode.errorEnum, ServerApiErrorCode::QuotaExceeded);
        QCOMPARE(byCode.errorName, QString("brindlex.QuotaExceeded"));

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("unknown errorName"));
        const ErrorCode transport = ErrorCode::fromTransportError("Host 127.0.0.9 not found");
        QCOMPARE(transport.errorEnum, ServerApiErrorCode::ErrorUnknown);
        QCOMPARE(transport.errorName, QString("Host 127.0.0.9 not found"));

        QVERIFY(ErrorCode().isSuccess());
        QCOMPARE(ErrorCode().errorName, QString("dc.ErrorSuccess"));
    }
};

BXSYNC_TEST_MAIN(TestErrorCodes)
#include "tst_errorcodes.moc"
