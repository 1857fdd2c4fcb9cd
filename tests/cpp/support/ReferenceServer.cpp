#include "ReferenceServer.h"

#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>

#include "AppStatusController.h"
#include "Config.h"
#include "UserSessionController.h"
#include "WorkspaceServerRequest.h"

namespace testsupport {

ReferenceServer::ReferenceServer(const QStringList &extraArguments)
{
    m_process.setProgram(QStringLiteral("node"));
    m_process.setArguments(QStringList{QStringLiteral(BXSYNC_SOURCE_DIR "/tools/devserver/cli.js"), "--data",
                                       m_dataDir.path(), "--port", "0", "--host", "127.0.0.1", "--quiet"}
                           + extraArguments);
    m_process.start();
    if (!m_process.waitForStarted(10000))
        qFatal("ReferenceServer: cannot start node");
    QByteArray line;
    while (!line.contains('\n')) {
        if (!m_process.waitForReadyRead(30000)) {
            qWarning("ReferenceServer: no ready line; stderr: %s", m_process.readAllStandardError().constData());
            return;
        }
        line += m_process.readAllStandardOutput();
    }
    m_info = QJsonDocument::fromJson(line.left(line.indexOf('\n'))).object();
    m_ready = !m_info.isEmpty();
}

ReferenceServer::~ReferenceServer()
{
    m_process.terminate();
    if (!m_process.waitForFinished(5000))
        m_process.kill(); // QProcess waits for it on destruction
}

void ReferenceServer::trustCa() const
{
    qputenv("BXSYNC_EXTRA_CA_CERTS", caFile().toUtf8());
    installExtraCaCertificates();
}

QNetworkRequest ReferenceServer::adminRequest(const QString &path) const
{
    QNetworkRequest request(QUrl(m_info.value("adminUrl").toString().section("/admin", 0, 0) + path));
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    ssl.setCaCertificates(ssl.caCertificates() + QSslCertificate::fromPath(caFile()));
    request.setSslConfiguration(ssl);
    request.setRawHeader("Authorization", "Bearer " + m_info.value("adminToken").toString().toUtf8());
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    return request;
}

ReferenceServer::Reply ReferenceServer::admin(const QByteArray &verb, const QString &path, const QJsonObject &body) const
{
    QNetworkAccessManager manager;
    const QByteArray payload = (verb == "GET" || verb == "DELETE") ? QByteArray()
                                                                    : QJsonDocument(body).toJson(QJsonDocument::Compact);
    QNetworkReply *reply = manager.sendCustomRequest(adminRequest(path), verb, payload);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    Reply result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.json = QJsonDocument::fromJson(reply->readAll());
    if (result.status == 0)
        qWarning("ReferenceServer::admin %s %s: %s", verb.constData(), qPrintable(path), qPrintable(reply->errorString()));
    delete reply;
    return result;
}

void ReferenceServer::addFault(const QJsonObject &fault) const
{
    const Reply reply = admin("POST", "/admin/faults", fault);
    if (reply.status != 201)
        qWarning("ReferenceServer::addFault refused: %s", reply.json.toJson().constData());
}

QStringList ReferenceServer::takeViolations() const
{
    const Reply reply = admin("GET", "/admin/violations");
    if (reply.status != 200)
        return {QStringLiteral("the server's violation list is unreadable: HTTP %1").arg(reply.status)};
    QStringList lines;
    for (const QJsonValue &value : reply.array()) {
        const QJsonObject v = value.toObject();
        lines << v.value("path").toString() + ' ' + v.value("rpcMethod").toString() + ": " + v.value("reason").toString();
    }
    if (!lines.isEmpty())
        admin("DELETE", "/admin/violations");
    return lines;
}

QString sessionJson(const QString &token, const QString &host)
{
    QJsonObject o{{"userLoginName", "ann@example.com"}, {"userFullName", "Ann Example"},
                  {"userGuid", "5f0c2a1e-0000-4000-8000-000000000001"}, {"accessToken", token}};
    if (!host.isNull())
        o["serverHostname"] = host;
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QString ReferenceServer::createTenantWithTeam(const QString &tenantId, const QString &name) const
{
    if (admin("POST", "/admin/tenants", {{"id", tenantId}, {"name", name}}).status != 201)
        qWarning("ReferenceServer::createTenantWithTeam: tenant %s refused", qPrintable(tenantId));
    return admin("POST", "/admin/tenants/" + tenantId + "/teams", {{"name", "Team"}}).object().value("id").toString();
}

QJsonObject ReferenceServer::addFile(const Library &library, const QString &path, QJsonObject fields) const
{
    fields["path"] = path;
    const Reply reply = admin("POST", library.path() + "/files", fields);
    if (reply.status != 201)
        qWarning("ReferenceServer::addFile refused: %s", reply.json.toJson().constData());
    return treeItem(library, path);
}

QSharedPointer<CUserSession> ReferenceServer::session(const QString &token, const QString &hostname) const
{
    QSharedPointer<CUserSession> session(new CUserSession());
    session->assign(CUserSessionJsonObject(
        testsupport::sessionJson(token.isEmpty() ? this->token() : token, hostname.isEmpty() ? this->hostname() : hostname)));
    return session;
}

QSharedPointer<CUserSessionController> ReferenceServer::signIn() const
{
    QSharedPointer<CAppStatusController> status(new CAppStatusController([] { return true; }));
    QSharedPointer<CUserSessionController> sessions(new CUserSessionController(status));
    sessions->setUserSession(sessionJson(token()));
    if (!sessions->getUserSession()->isValid())
        qWarning("ReferenceServer::signIn: the session is not valid");
    return sessions;
}

ReferenceServer::Library ReferenceServer::createLibrary(const QString &tenantId) const
{
    Library library{tenantId, createTenantWithTeam(tenantId, tenantId)};
    library.id = admin("POST", "/admin/tenants/" + tenantId + "/libraries", {{"name", "Lib"}, {"teamId", library.teamId}})
                     .object().value("id").toString().toULongLong();
    return library;
}

QJsonObject ReferenceServer::treeItem(const Library &library, const QString &path) const
{
    for (const QJsonValue &item : admin("GET", library.path() + "/tree").object().value("items").toArray()) {
        if (item.toObject().value("path").toString() == path)
            return item.toObject();
    }
    return QJsonObject();
}

void useConfig(const QString &directory, const QByteArray &json)
{
    QFile file(directory + "/bxsync_cfg.json");
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size())
        qWarning("useConfig: cannot write %s", qPrintable(file.fileName()));
    file.close();
    CConfig::setInstance(QSharedPointer<CConfig>(new CConfig(directory)));
}

} // namespace testsupport
