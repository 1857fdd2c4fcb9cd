#include "UserSession.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

ServerAddress ServerAddress::productionDomain()
{
    return ServerAddress(QStringLiteral(BXSYNC_PRODUCTION_DOMAIN));
}

CUserSessionJsonObject::CUserSessionJsonObject(const QString &json)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        parseError = QStringLiteral("not JSON: %1 at offset %2").arg(error.errorString()).arg(error.offset);
        return;
    }
    const QJsonObject root = doc.object(); // an array gives an empty object
    const auto text = [&root](const char *key) {
        const QJsonValue v = root.value(QLatin1String(key));
        return v.isString() ? v.toString() : QString();
    };
    userLoginName = text("userLoginName");
    userFullName = text("userFullName");
    userGuid = text("userGuid");
    serverHostname = text("serverHostname");
    accessToken = text("accessToken");
    // The token travels in a request header: a line break or other control character in it would
    // end the header early and let the rest pass as headers of its own.
    const auto unsendable = [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f || c.unicode() > 0xff; };
    if (std::any_of(accessToken.cbegin(), accessToken.cend(), unsendable)) {
        accessToken.clear();
        parseError = QStringLiteral("the access token holds characters a request header cannot carry");
    }
    serverAddress = serverHostname.isEmpty() ? ServerAddress::productionDomain() : ServerAddress(serverHostname);
}

QString CUserSessionJsonObject::toLogString() const
{
    return QStringLiteral("[userLoginName: %1, userFullName: %2, userGuid: %3, serverHostname: %4, accessToken: %5%6]")
        .arg(userLoginName, userFullName, userGuid, serverHostname, accessToken.left(10),
             parseError.isEmpty() ? QString() : QStringLiteral(", ") + parseError);
}

CUserSession::CUserSession() = default;

CUserSession::~CUserSession()
{
    qDebug() << "CUserSession::~CUserSession";
}

bool CUserSession::isValid()
{
    QMutexLocker locker(&m_mutex);
    const bool valid = !m_userLoginName.isEmpty() && !m_userFullName.isEmpty() && !m_userGuid.isEmpty()
        && !m_serverAddress.getHostName().isEmpty() && !m_accessToken.isEmpty();
    if (!valid)
        emit invalidAccessTokenSignal();
    return valid;
}

ServerAddress CUserSession::getServerAddress() const
{
    QMutexLocker locker(&m_mutex);
    return m_serverAddress;
}

QString CUserSession::getAccessToken() const
{
    QMutexLocker locker(&m_mutex);
    return m_accessToken;
}

void CUserSession::clearAccessToken()
{
    qDebug() << "CUserSession::clearAccessToken";
    {
        QMutexLocker locker(&m_mutex);
        m_accessToken.clear();
        m_accessTokenCleared = true;
    }
    emit invalidAccessTokenSignal();
}

bool CUserSession::wasAccessTokenCleared() const
{
    QMutexLocker locker(&m_mutex);
    return m_accessTokenCleared;
}

QString CUserSession::toString() const
{
    QMutexLocker locker(&m_mutex);
    return QStringLiteral("[userLoginName: %1, userFullName: %2, userGuid: %3, serverAddress: %4, accessToken: %5]")
        .arg(m_userLoginName, m_userFullName, m_userGuid, m_serverAddress.getUrl(), m_accessToken.left(10));
}

void CUserSession::assign(const CUserSessionJsonObject &parsed)
{
    QMutexLocker locker(&m_mutex);
    m_userLoginName = parsed.userLoginName;
    m_userFullName = parsed.userFullName;
    m_userGuid = parsed.userGuid;
    m_serverAddress = parsed.serverAddress;
    m_accessToken = parsed.accessToken;
    m_accessTokenCleared = false;
}

QString CUserSession::abbreviateToken(const QString &token)
{
    return QStringLiteral("Bearer ") + token.left(10) + QStringLiteral("...");
}

void CUserSession::reportNetworkRequestState(bool hostNotFound, bool proxyConnectionError,
                                             bool proxyAuthenticationError)
{
    emit setNetworkRequestStateSignal(hostNotFound, proxyConnectionError, proxyAuthenticationError);
}
