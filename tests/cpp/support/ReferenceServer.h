#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QProcess>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class CUserSession;
class CUserSessionController;

namespace testsupport {

// A user-session JSON text as the host hands it over; a null host leaves the server's name out.
QString sessionJson(const QString &token, const QString &host = "sync.example.com:8443");

// The reference server in a child process, with its own data folder, and a blocking client for
// its admin API. The engine under test trusts the server's CA through BXSYNC_EXTRA_CA_CERTS.
class ReferenceServer
{
public:
    struct Reply
    {
        int status = 0;
        QJsonDocument json;
        QJsonObject object() const { return json.object(); }
        QJsonArray array() const { return json.array(); }
    };

    explicit ReferenceServer(const QStringList &extraArguments = {});
    ~ReferenceServer();

    bool isRunning() const { return m_ready; }
    QString hostname() const { return m_info.value("hostname").toString(); } // host:port
    QString caFile() const { return m_info.value("caFile").toString(); }
    QString token() const { return m_info.value("token").toString(); }
    QString dataDirectory() const { return m_dataDir.path(); }
    quint16 port() const { return quint16(m_info.value("port").toInt()); }

    // Adds the server's CA to the engine's trust (the process-wide default SSL configuration).
    void trustCa() const;
    // Running, and its CA trusted by this process: what every suite needs before its first request.
    bool runningAndTrusted() const
    {
        if (m_ready)
            trustCa();
        return m_ready;
    }

    Reply admin(const QByteArray &verb, const QString &path, const QJsonObject &body = QJsonObject()) const;
    // The request log entries the server recorded, oldest first.
    QJsonArray requestLog() const { return admin("GET", "/admin/log").array(); }
    void clearRequestLog() const { admin("DELETE", "/admin/log"); }
    void addFault(const QJsonObject &fault) const;
    // The protocol violations the server recorded and cleared, one "path method: reason" each:
    // engine suites compare it with an empty list after every test function.
    QStringList takeViolations() const;

    QString sessionJson(const QString &token) const { return testsupport::sessionJson(token, hostname()); }

    // A tenant with one team and one library in it; id 0 when the server refused.
    struct Library
    {
        QString tenantId;
        QString teamId;
        quint64 id = 0;
        // The admin API's path of the library ("LIB" in the server's README).
        QString path() const { return "/admin/tenants/" + tenantId + "/libraries/" + QString::number(id); }
    };
    Library createLibrary(const QString &tenantId) const;
    // A tenant with one team; the team's id (empty when the server refused).
    QString createTenantWithTeam(const QString &tenantId, const QString &name) const;

    // A file at a path of the library, made with the admin API's fields (content, size, seed, fill, ...):
    // the tree item as treeItem() lists it, empty when the server refused.
    QJsonObject addFile(const Library &library, const QString &path, QJsonObject fields) const;

    // A session for this server on its own, with the given token (the server's by default).
    QSharedPointer<CUserSession> session(const QString &token = QString(), const QString &hostname = QString()) const;
    // The engine side of the server's default user, signed in: a session controller holding a valid
    // session, on a status controller whose network is always up.
    QSharedPointer<CUserSessionController> signIn() const;
    QString libraryState(const Library &library) const { return admin("GET", library.path()).object().value("state").toString(); }
    // The item at a path of the library's tree (path, id, size, contentHash, state, ...); empty when none.
    QJsonObject treeItem(const Library &library, const QString &path) const;

private:
    QNetworkRequest adminRequest(const QString &path) const;

    QTemporaryDir m_dataDir;
    QProcess m_process;
    QJsonObject m_info;
    bool m_ready = false;
};

// The object with one more key: test rows say what differs from a common base.
inline QJsonObject with(QJsonObject object, const QString &key, const QJsonValue &value)
{
    object.insert(key, value);
    return object;
}

// Makes the JSON text the engine's configuration, read from a file in the directory.
void useConfig(const QString &directory, const QByteArray &json);

} // namespace testsupport
