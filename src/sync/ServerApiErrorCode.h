#pragma once

#include <QMetaType>
#include <QString>

// The one table of the engine's error values: the server's JSON-RPC and API exceptions, the
// service's own errors and the engine's internal conditions share one numbering.
class ServerApiErrorCode
{
public:
    enum ErrorEnum {
        ApiException = 0,
        InvalidCall = 1,
        ParseError = 2,
        InvalidRequest = 3,
        MethodNotFound = 4,
        InvalidParameters = 5,
        ApiInternalError = 6,
        TemporaryNotAvailable = 7,
        AccessDenied = 8,
        AlreadyExists = 9,
        InProgress = 10,
        PasswordAlreadySet = 11,
        UserLimitExceeded = 12,
        InviteLimitExceeded = 13,
        NotPermitted = 14,
        UserNotFound = 15,
        ValueTooBig = 16,
        NotExists = 17,
        ExternalServiceError = 18,
        NoSuchEntity = 19,
        AuthFailed = 20,
        OperationFailedNoInternal = 21,
        TenantNotFound = 22,
        NotAvailable = 23,
        SessionExpired = 24,
        CanceledBillingAccount = 25,
        LastAuthProvider = 26,
        TooManyRequests = 27,
        QuotaExceeded = 28,
        InvalidToken = 30,
        InvalidAccessToken = 31,
        InvalidCMMToken = 32,
        InvalidCaptcha = 33,
        InvalidAuthorizationToken = 34,
        OperationFailed = 35,
        CommonInternalError = 36,
        UnsupportedApiVersion = 37,
        CheckedCallFailed = 38,
        FileNotFound = 39,
        FileTooBig = 40,
        ItemNotFound = 41,
        VersionMismatch = 42,
        ServerNotInitialized = 43,
        ServerAlreadyInitialized = 44,
        CannotMoveToItself = 45,
        StoreNotFound = 46,
        HierarchyChange = 47,
        MergeRequired = 48,
        HttpsRequired = 49,
        AntivirusAlert = 50,
        BackupNameRequired = 51,
        KeyAlreadyUsed = 52,
        FilestoreLimitReached = 53,
        LastUserAdmin = 54,
        LastAdmin = 55,
        StateOutOfDate = 56,
        LastOwner = 57,
        LoginSsoLoginRequired = 58,
        LoginForcePasswordChange = 59,
        LoginInternalOAuthException = 60,
        LoginInvalidClientOAuthException = 61,
        LoginInvalidGrantOAuthException = 62,
        LoginDisconnectedOAuthException = 63,
        LoginInvalidRequestOAuthException = 64,
        LoginInvalidScopeOAuthException = 65,
        LoginUnsupportedGrantTypeOAuthException = 66,
        FileLibraryVersionMismatch = 67,
        ErrorSuccess = 68,
        ErrorUnknown = 69,
        ErrorInternal = 70,
        ErrorOperationCancelled = 71,
        ErrorNoNetwork = 72,
        ErrorHostNotFound = 73,
        ErrorAntivirusServiceFail = 74,
        ErrorInvalidSyncStatus = 75,
        ErrorInvalidItemType = 76,
        ErrorInvalidItemChainReceived = 77,
        ErrorItemDoesNotBelongToAnyLibrary = 78,
        ErrorLocalFileOpened = 79,
        ErrorUnableToOpenFile = 80,
        ErrorUnableToCreateFile = 81,
        ErrorUnableToDeleteFile = 82,
        ErrorUnableToRenameFile = 83,
        ErrorUnableToReplacePreviousFile = 84,
        ErrorUnableToSetFsTimeStamps = 85,
        ErrorNotEnoughFreeSpaceOnDisc = 86,
        ErrorParentFolderNotYetCreated = 87,    };

    static QString getErrorName(ErrorEnum errorEnum);
    static ErrorEnum getErrorEnum(const QString &errorName);
    static ErrorEnum getErrorEnum(int apiCode);
};

// The error value every step passes on; success is dc.ErrorSuccess.
struct ErrorCode
{
    ErrorCode();
    ErrorCode(ServerApiErrorCode::ErrorEnum value);
    explicit ErrorCode(int apiCode);
    explicit ErrorCode(const QString &serverErrorName);

    // A transport failure: the network layer's text is no table name, so the value is dc.ErrorUnknown
    // and the text is kept as the name.
    static ErrorCode fromTransportError(const QString &networkErrorText);

    bool isSuccess() const { return errorEnum == ServerApiErrorCode::ErrorSuccess; }
    bool operator==(ServerApiErrorCode::ErrorEnum value) const { return errorEnum == value; }
    bool operator!=(ServerApiErrorCode::ErrorEnum value) const { return errorEnum != value; }

    ServerApiErrorCode::ErrorEnum errorEnum = ServerApiErrorCode::ErrorSuccess;
    QString errorName;
    bool extraDelay = false;
};

Q_DECLARE_METATYPE(ErrorCode)

QDebug operator<<(QDebug debug, const ErrorCode &ec);
inline bool operator==(const ErrorCode &a, const ErrorCode &b)
{
    return a.errorEnum == b.errorEnum && a.errorName == b.errorName && a.extraDelay == b.extraDelay;
}
