#include "JsonResponse.h"

#include "Log.h"

#include <QDebug>
#include <QJsonDocument>

QString CustomItem::toString() const
{
    return QStringLiteral("[clientId: %1, serverId: %2, tenantId: %3]").arg(clientId).arg(serverId).arg(tenantId);
}

namespace brindlex {

Role roleFromString(const QString &text)
{
    if (text == QLatin1String("None"))
        return RoleNone;
    if (text == QLatin1String("Reader"))
        return RoleReader;
    if (text == QLatin1String("Editor"))
        return RoleEditor;
    if (text == QLatin1String("Admin"))
        return RoleAdmin;
    qCritical() << "brindlex::roleFromString: unknown enum string:" << text;
    return RoleUnknown;
}

QString roleToString(Role role)
{
    switch (role) {
    case RoleNone:
        return QStringLiteral("None");
    case RoleReader:
        return QStringLiteral("Reader");
    case RoleEditor:
        return QStringLiteral("Editor");
    case RoleAdmin:
        return QStringLiteral("Admin");
    default:
        return QStringLiteral("Unknown");
    }
}

QString conflictPolicyToString(int policy)
{
    switch (policy) {
    case RenameOnConflict:
        return QStringLiteral("RENAME_ON_CONFLICT");
    case ErrorOnConflict:
        return QStringLiteral("ERROR_ON_CONFLICT");
    case FilenameNotSignificant:
        return QStringLiteral("FILENAME_NOT_SIGNIFICANT");
    default:
        qCritical() << "brindlex::conflictPolicyToString: unknown enum value:" << policy;
        return QStringLiteral("ConflictPolicyUnknown");
    }
}

} // namespace brindlex

CJsonResponse::CJsonResponse()
    : error(ServerApiErrorCode::ErrorUnknown)
{
}

CJsonResponse::CJsonResponse(const QByteArray &bytes)
    : error(ServerApiErrorCode::ErrorUnknown)
    , data(bytes)
{
    if (bytes.size() > kMaxDocumentSize) {
        hasError = true;
        error = ErrorCode(ServerApiErrorCode::ErrorInternal);
        qDebug() << "CJsonResponse::CJsonResponse: unable to parse response:" << bytes.size() << "bytes"
                 << "error:" << "document too large" << "at:" << 0;
        return;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        hasError = true;
        error = ErrorCode(ServerApiErrorCode::ErrorInternal);
        qDebug() << "CJsonResponse::CJsonResponse: unable to parse response:"
                 << CLog::capped(bytes) << "error:" << parseError.errorString()
                 << "at:" << parseError.offset;
        return;
    }
    qDebug().noquote() << "CJsonResponse::CJsonResponse:" << CLog::capped(bytes);
    const QJsonObject root = doc.object();
    errorObject = root.value(QLatin1String("error")).toObject();
    resultObject = root.value(QLatin1String("result")).toObject();
    if (!errorObject.isEmpty()) {
        hasError = true;
        if (errorObject.contains(QLatin1String("fullName")))
            error = ErrorCode(errorObject.value(QLatin1String("fullName")).toString());
        else if (errorObject.contains(QLatin1String("code")))
            error = ErrorCode(int(readInt64(errorObject.value(QLatin1String("code")))));
        else
            error = ErrorCode(ServerApiErrorCode::ErrorUnknown);
    } else {
        hasError = false;
        error = ErrorCode(ServerApiErrorCode::ErrorSuccess);
    }
}

CJsonResponse::~CJsonResponse() = default;

qint64 CJsonResponse::readInt64(const QJsonValue &value)
{
    if (value.isDouble())
        return qint64(value.toDouble());
    if (value.isString()) {
        bool ok = false;
        const qint64 n = value.toString().toLongLong(&ok, 10);
        return ok ? n : 0;
    }
    return 0;
}

QString CJsonResponse::readString(const QJsonValue &value)
{
    return value.isString() ? value.toString() : QString();
}

QString CJsonResponse::toString() const
{
    return QString::fromUtf8(data);
}
