#include "ServerApiErrorCode.h"

#include <QDebug>

namespace {

struct ErrorRow
{
    ServerApiErrorCode::ErrorEnum value;
    const char *name;
    const char *apiCode; // as text; empty where the server has none
};

// Order matters: API codes shared by several rows map to the earliest one.
const ErrorRow kErrorTable[] = {
    {ServerApiErrorCode::ApiException, "api.exceptions.ApiException", ""},
    {ServerApiErrorCode::InvalidCall, "api.exceptions.InvalidCall", "-32600"},
    {ServerApiErrorCode::ParseError, "api.exceptions.ParseError", "-32700"},
    {ServerApiErrorCode::InvalidRequest, "api.exceptions.InvalidRequest", "-32600"},
    {ServerApiErrorCode::MethodNotFound, "api.exceptions.MethodNotFound", "-32601"},
    {ServerApiErrorCode::InvalidParameters, "api.exceptions.InvalidParameters", "-32602"},
    {ServerApiErrorCode::ApiInternalError, "api.exceptions.InternalError", "-32603"},
    {ServerApiErrorCode::TemporaryNotAvailable, "api.exceptions.TemporaryNotAvailable", "1008"},
    {ServerApiErrorCode::AccessDenied, "api.exceptions.AccessDenied", "1004"},
    {ServerApiErrorCode::AlreadyExists, "brindlex.AlreadyExists", "1001"},
    {ServerApiErrorCode::InProgress, "brindlex.InProgress", "1006"},
    {ServerApiErrorCode::PasswordAlreadySet, "brindlex.PasswordAlreadySet", "6028"},
    {ServerApiErrorCode::UserLimitExceeded, "brindlex.UserLimitExceeded", "6020"},
    {ServerApiErrorCode::InviteLimitExceeded, "brindlex.InviteLimitExceeded", "6030"},
    {ServerApiErrorCode::NotPermitted, "brindlex.NotPermitted", "1003"},
    {ServerApiErrorCode::UserNotFound, "brindlex.UserNotFound", "6003"},
    {ServerApiErrorCode::ValueTooBig, "brindlex.ValueTooBig", "6024"},
    {ServerApiErrorCode::NotExists, "brindlex.NotExists", "6025"},
    {ServerApiErrorCode::ExternalServiceError, "brindlex.ExternalServiceError", "-32604"},
    {ServerApiErrorCode::NoSuchEntity, "brindlex.NoSuchEntity", "1002"},
    {ServerApiErrorCode::AuthFailed, "brindlex.AuthFailed", "6004"},
    {ServerApiErrorCode::OperationFailedNoInternal, "brindlex.OperationFailedNoInternal", "1000"},
    {ServerApiErrorCode::TenantNotFound, "brindlex.TenantNotFound", "7000"},
    {ServerApiErrorCode::NotAvailable, "brindlex.NotAvailable", "1007"},
    {ServerApiErrorCode::SessionExpired, "brindlex.SessionExpired", "-32001"},
    {ServerApiErrorCode::CanceledBillingAccount, "brindlex.CanceledBillingAccount", "7009"},
    {ServerApiErrorCode::LastAuthProvider, "brindlex.LastAuthProvider", "6027"},
    {ServerApiErrorCode::TooManyRequests, "brindlex.TooManyRequests", "6429"},
    {ServerApiErrorCode::QuotaExceeded, "brindlex.QuotaExceeded", "6016"},
    {ServerApiErrorCode::InvalidToken, "brindlex.InvalidToken", "-32102"},
    {ServerApiErrorCode::InvalidAccessToken, "brindlex.InvalidAccessToken", "-32105"},
    {ServerApiErrorCode::InvalidCMMToken, "brindlex.InvalidCMMToken", "-32106"},
    {ServerApiErrorCode::InvalidCaptcha, "brindlex.InvalidCaptcha", "-32107"},
    {ServerApiErrorCode::InvalidAuthorizationToken, "brindlex.InvalidAuthorizationToken", "-32108"},
    {ServerApiErrorCode::OperationFailed, "brindlex.OperationFailed", "1000"},
    {ServerApiErrorCode::CommonInternalError, "brindlex.CommonInternalError", "-32603"},
    {ServerApiErrorCode::UnsupportedApiVersion, "brindlex.UnsupportedApiVersion", "1005"},
    {ServerApiErrorCode::CheckedCallFailed, "brindlex.CheckedCallFailed", "-32002"},
    {ServerApiErrorCode::FileNotFound, "brindlex.FileNotFound", "6000"},
    {ServerApiErrorCode::FileTooBig, "brindlex.FileTooBig", "6001"},
    {ServerApiErrorCode::ItemNotFound, "brindlex.ItemNotFound", "6002"},
    {ServerApiErrorCode::VersionMismatch, "brindlex.VersionMismatch", "6005"},
    {ServerApiErrorCode::ServerNotInitialized, "brindlex.ServerNotInitialized", "6008"},
    {ServerApiErrorCode::ServerAlreadyInitialized, "brindlex.ServerAlreadyInitialized", "6009"},
    {ServerApiErrorCode::CannotMoveToItself, "brindlex.CannotMoveToItself", "6010"},
    {ServerApiErrorCode::StoreNotFound, "brindlex.StoreNotFound", "6011"},
    {ServerApiErrorCode::HierarchyChange, "brindlex.HierarchyChange", "6012"},
    {ServerApiErrorCode::MergeRequired, "brindlex.MergeRequired", "6013"},
    {ServerApiErrorCode::HttpsRequired, "brindlex.HttpsRequired", "6014"},
    {ServerApiErrorCode::AntivirusAlert, "brindlex.AntivirusAlert", "6015"},
    {ServerApiErrorCode::BackupNameRequired, "brindlex.BackupNameRequired", "6017"},
    {ServerApiErrorCode::KeyAlreadyUsed, "brindlex.KeyAlreadyUsed", "6018"},
    {ServerApiErrorCode::FilestoreLimitReached, "brindlex.FilestoreLimitReached", "6019"},
    {ServerApiErrorCode::LastUserAdmin, "brindlex.LastUserAdmin", "6021"},
    {ServerApiErrorCode::LastAdmin, "brindlex.LastAdmin", "6022"},
    {ServerApiErrorCode::StateOutOfDate, "brindlex.StateOutOfDate", "6023"},
    {ServerApiErrorCode::LastOwner, "brindlex.LastOwner", "6029"},
    {ServerApiErrorCode::LoginSsoLoginRequired, "login.api.SsoLoginRequired", "-32104"},
    {ServerApiErrorCode::LoginForcePasswordChange, "login.api.ForcePasswordChange", "9104"},
    {ServerApiErrorCode::LoginInternalOAuthException, "login.api.InternalOAuthException", "500"},
    {ServerApiErrorCode::LoginInvalidClientOAuthException, "login.api.InvalidClientOAuthException", "401"},
    {ServerApiErrorCode::LoginInvalidGrantOAuthException, "login.api.InvalidGrantOAuthException", "400"},
    {ServerApiErrorCode::LoginDisconnectedOAuthException, "login.api.DisconnectedOAuthException", "400"},
    {ServerApiErrorCode::LoginInvalidRequestOAuthException, "login.api.InvalidRequestOAuthException", "400"},
    {ServerApiErrorCode::LoginInvalidScopeOAuthException, "login.api.InvalidScopeOAuthException", "400"},
    {ServerApiErrorCode::LoginUnsupportedGrantTypeOAuthException, "login.api.UnsupportedGrantTypeOAuthException", "400"},
    {ServerApiErrorCode::FileLibraryVersionMismatch, "file.library.api.shared.VersionMismatch", "6005"},
    {ServerApiErrorCode::ErrorSuccess, "dc.ErrorSuccess", ""},
    {ServerApiErrorCode::ErrorUnknown, "dc.ErrorUnknown", ""},
    {ServerApiErrorCode::ErrorInternal, "dc.ErrorInternal", ""},
    {ServerApiErrorCode::ErrorOperationCancelled, "dc.ErrorOperationCancelled", ""},
    {ServerApiErrorCode::ErrorNoNetwork, "dc.ErrorNoNetwork", ""},
    {ServerApiErrorCode::ErrorHostNotFound, "dc.ErrorHostNotFound", ""},
    {ServerApiErrorCode::ErrorAntivirusServiceFail, "dc.ErrorAntivirusServiceFail", ""},
    {ServerApiErrorCode::ErrorInvalidSyncStatus, "dc.ErrorInvalidSyncStatus", ""},
    {ServerApiErrorCode::ErrorInvalidItemType, "dc.ErrorInvalidItemType", ""},
    {ServerApiErrorCode::ErrorInvalidItemChainReceived, "dc.ErrorInvalidItemChainReceived", ""},
    {ServerApiErrorCode::ErrorItemDoesNotBelongToAnyLibrary, "dc.ErrorItemDoesNotBelongToAnyLibrary", ""},
    {ServerApiErrorCode::ErrorLocalFileOpened, "dc.ErrorLocalFileOpened", ""},
    {ServerApiErrorCode::ErrorUnableToOpenFile, "dc.ErrorUnableToOpenFile", ""},
    {ServerApiErrorCode::ErrorUnableToCreateFile, "dc.ErrorUnableToCreateFile", ""},
    {ServerApiErrorCode::ErrorUnableToDeleteFile, "dc.ErrorUnableToDeleteFile", ""},
    {ServerApiErrorCode::ErrorUnableToRenameFile, "dc.ErrorUnableToRenameFile", ""},
    {ServerApiErrorCode::ErrorUnableToReplacePreviousFile, "dc.ErrorUnableToReplacePreviousFile", ""},
    {ServerApiErrorCode::ErrorUnableToSetFsTimeStamps, "dc.ErrorUnableToSetFsTimeStamps", ""},
    {ServerApiErrorCode::ErrorNotEnoughFreeSpaceOnDisc, "dc.ErrorNotEnoughFreeSpaceOnDisc", ""},
    {ServerApiErrorCode::ErrorParentFolderNotYetCreated, "dc.ErrorParentFolderNotYetCreated", ""},};

} // namespace

QString ServerApiErrorCode::getErrorName(ErrorEnum errorEnum)
{
    for (const ErrorRow &row : kErrorTable) {
        if (row.value == errorEnum)
            return QString::fromLatin1(row.name);
    }
    qWarning() << "ServerApiErrorCode::getErrorName: unknown errorEnum:" << int(errorEnum);
    return QString::number(int(errorEnum));
}

ServerApiErrorCode::ErrorEnum ServerApiErrorCode::getErrorEnum(const QString &errorName)
{
    if (errorName.isEmpty()) {
        qWarning() << "ServerApiErrorCode::getErrorEnum: empty errorName";
        return ErrorUnknown;
    }
    for (const ErrorRow &row : kErrorTable) {
        if (errorName.compare(QLatin1String(row.name), Qt::CaseInsensitive) == 0)
            return row.value;
    }
    qWarning() << "ServerApiErrorCode::getErrorEnum: unknown errorName:" << errorName;
    return ErrorUnknown;
}

ServerApiErrorCode::ErrorEnum ServerApiErrorCode::getErrorEnum(int apiCode)
{
    const QString code = QString::number(apiCode);
    if (code.isEmpty() || code == QLatin1String("0")) {
        qWarning() << "ServerApiErrorCode::getErrorEnum: empty or zero apiCode:" << apiCode;
        return ErrorUnknown;
    }
    for (const ErrorRow &row : kErrorTable) {
        if (code == QLatin1String(row.apiCode))
            return row.value;
    }
    qWarning() << "ServerApiErrorCode::getErrorEnum: unknown apiCode:" << apiCode;
    return ErrorUnknown;
}

ErrorCode::ErrorCode()
    : ErrorCode(ServerApiErrorCode::ErrorSuccess)
{
}

ErrorCode::ErrorCode(ServerApiErrorCode::ErrorEnum value)
    : errorEnum(value)
    , errorName(ServerApiErrorCode::getErrorName(value))
{
}

ErrorCode::ErrorCode(int apiCode)
    : ErrorCode(ServerApiErrorCode::getErrorEnum(apiCode))
{
}

ErrorCode::ErrorCode(const QString &serverErrorName)
    : errorEnum(ServerApiErrorCode::getErrorEnum(serverErrorName))
    , errorName(serverErrorName)
{
}

ErrorCode ErrorCode::fromTransportError(const QString &networkErrorText)
{
    return ErrorCode(networkErrorText);
}

QDebug operator<<(QDebug debug, const ErrorCode &ec)
{
    QDebugStateSaver saver(debug);
    debug.nospace() << ec.errorName << " (" << int(ec.errorEnum) << ")";
    return debug;
}
