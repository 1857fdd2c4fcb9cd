'use strict';

// Error names and API codes exactly as the engine looks them up; the code
// travels as a JSON number, the name as "fullName".
const CODES = Object.freeze({
  'api.exceptions.ApiException': 0,
  'api.exceptions.InvalidCall': -32600,
  'api.exceptions.ParseError': -32700,
  'api.exceptions.InvalidRequest': -32600,
  'api.exceptions.MethodNotFound': -32601,
  'api.exceptions.InvalidParameters': -32602,
  'api.exceptions.InternalError': -32603,
  'api.exceptions.TemporaryNotAvailable': 1008,
  'api.exceptions.AccessDenied': 1004,
  'brindlex.AlreadyExists': 1001,
  'brindlex.InProgress': 1006,
  'brindlex.PasswordAlreadySet': 6028,
  'brindlex.UserLimitExceeded': 6020,
  'brindlex.InviteLimitExceeded': 6030,
  'brindlex.NotPermitted': 1003,
  'brindlex.UserNotFound': 6003,
  'brindlex.ValueTooBig': 6024,
  'brindlex.NotExists': 6025,
  'brindlex.ExternalServiceError': -32604,
  'brindlex.NoSuchEntity': 1002,
  'brindlex.AuthFailed': 6004,
  'brindlex.OperationFailedNoInternal': 1000,
  'brindlex.TenantNotFound': 7000,
  'brindlex.NotAvailable': 1007,
  'brindlex.SessionExpired': -32001,
  'brindlex.CanceledBillingAccount': 7009,
  'brindlex.LastAuthProvider': 6027,
  'brindlex.TooManyRequests': 6429,
  'brindlex.QuotaExceeded': 6016,
  'brindlex.InvalidToken': -32102,
  'brindlex.InvalidAccessToken': -32105,
  'brindlex.InvalidCMMToken': -32106,
  'brindlex.InvalidCaptcha': -32107,
  'brindlex.InvalidAuthorizationToken': -32108,
  'brindlex.OperationFailed': 1000,
  'brindlex.CommonInternalError': -32603,
  'brindlex.UnsupportedApiVersion': 1005,
  'brindlex.CheckedCallFailed': -32002,
  'brindlex.FileNotFound': 6000,
  'brindlex.FileTooBig': 6001,
  'brindlex.ItemNotFound': 6002,
  'brindlex.VersionMismatch': 6005,
  'brindlex.ServerNotInitialized': 6008,
  'brindlex.ServerAlreadyInitialized': 6009,
  'brindlex.CannotMoveToItself': 6010,
  'brindlex.StoreNotFound': 6011,
  'brindlex.HierarchyChange': 6012,
  'brindlex.MergeRequired': 6013,
  'brindlex.HttpsRequired': 6014,
  'brindlex.AntivirusAlert': 6015,
  'brindlex.BackupNameRequired': 6017,
  'brindlex.KeyAlreadyUsed': 6018,
  'brindlex.FilestoreLimitReached': 6019,
  'brindlex.LastUserAdmin': 6021,
  'brindlex.LastAdmin': 6022,
  'brindlex.StateOutOfDate': 6023,
  'brindlex.LastOwner': 6029,
  'login.api.SsoLoginRequired': -32104,
  'login.api.ForcePasswordChange': 9104,
  'file.library.api.shared.VersionMismatch': 6005,
});

class ApiError {
  constructor(fullName, message, data) {
    this.fullName = fullName;
    this.code = Object.prototype.hasOwnProperty.call(CODES, fullName) ? CODES[fullName] : -32603;
    this.message = message || fullName;
    this.data = data;
  }

  toJSON() {
    const out = { code: this.code, fullName: this.fullName, message: this.message };
    if (this.data !== undefined) out.data = this.data;
    return out;
  }
}

const isError = (value) => value instanceof ApiError;
const fail = (fullName, message, data) => new ApiError(fullName, message, data);

// The short names keep call sites readable.
const E = Object.freeze({
  parse: (m) => fail('api.exceptions.ParseError', m),
  request: (m) => fail('api.exceptions.InvalidRequest', m),
  method: (m) => fail('api.exceptions.MethodNotFound', m),
  params: (m) => fail('api.exceptions.InvalidParameters', m),
  internal: (m) => fail('api.exceptions.InternalError', m),
  denied: (m) => fail('api.exceptions.AccessDenied', m),
  notFound: (m) => fail('brindlex.ItemNotFound', m),
  tenant: (id) => fail('brindlex.TenantNotFound', `tenant ${JSON.stringify(id)} does not exist`),
  exists: (m, data) => fail('brindlex.AlreadyExists', m, data),
  stale: (m) => fail('brindlex.StateOutOfDate', m),
  quota: (m) => fail('brindlex.QuotaExceeded', m),
  notPermitted: (m) => fail('brindlex.NotPermitted', m),
  intoItself: (m) => fail('brindlex.CannotMoveToItself', m),
  virus: (m) => fail('brindlex.AntivirusAlert', m),
});

module.exports = { CODES, ApiError, isError, fail, E };
