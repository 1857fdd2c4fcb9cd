#pragma once

#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QString>

// The server's host name; the base of every server URL.
class ServerAddress
{
public:
    ServerAddress() = default;
    explicit ServerAddress(const QString &hostName) : m_hostName(hostName) {}

    QString getHostName() const { return m_hostName; }
    QString getUrl() const { return QStringLiteral("https") + QStringLiteral("://") + m_hostName; }
    bool operator==(const ServerAddress &other) const { return m_hostName == other.m_hostName; }

    // The service's own server, used when the host names none.
    static ServerAddress productionDomain();

private:
    QString m_hostName;
};

// The user-session JSON the host hands over, parsed. Missing or non-string keys read as empty.
struct CUserSessionJsonObject
{
    explicit CUserSessionJsonObject(const QString &json);

    // The fields for the log, token shortened; never the text itself, which may hold the token in
    // forms (escaped, twice) a search for it would miss.
    QString toLogString() const;

    QString parseError; // why the text gives no session; empty when it was JSON with a sendable token
    QString userLoginName;
    QString userFullName;
    QString userGuid;
    QString serverHostname;
    QString accessToken;
    ServerAddress serverAddress;
};

// The one session every request reads. The host owns the sign-in; the engine only holds what it
// was given and forgets the token when the server rejects it.
class CUserSession : public QObject
{
    Q_OBJECT
public:
    CUserSession();
    ~CUserSession() override;

    // False when anything is missing; then also asks (through the signal) for a new session.
    bool isValid();
    ServerAddress getServerAddress() const;
    QString getAccessToken() const;
    void clearAccessToken();
    // True from clearAccessToken() until the next assign(): the server rejected the token it had.
    bool wasAccessTokenCleared() const;
    QString toString() const;

    // Replaces the whole session at once, so no request sees half of an old and half of a new one.
    void assign(const CUserSessionJsonObject &parsed);

    // "Bearer " plus the first 10 characters: the form a token may take in the log.
    static QString abbreviateToken(const QString &token);

public slots:
    // What the last request learnt about the network; passed on to whoever watches connectivity.
    void reportNetworkRequestState(bool hostNotFound, bool proxyConnectionError, bool proxyAuthenticationError);

signals:
    void invalidAccessTokenSignal();
    void setNetworkRequestStateSignal(bool hostNotFound, bool proxyConnectionError, bool proxyAuthenticationError);

private:
    mutable QMutex m_mutex;
    QString m_userLoginName;
    QString m_userFullName;
    QString m_userGuid;
    ServerAddress m_serverAddress;
    bool m_accessTokenCleared = false;
    QString m_accessToken;
};
