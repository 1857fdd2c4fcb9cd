#include "UserSessionController.h"

#include "AppStatusController.h"

#include <QDebug>

CUserSessionController::CUserSessionController(const QSharedPointer<CAppStatusController> &appStatusController,
                                               QObject *parent)
    : QObject(parent)
    , m_appStatusController(appStatusController)
    , m_userSession(new CUserSession())
    , m_refreshTimer(new QTimer(this))
{
    Q_ASSERT_X(m_appStatusController, "CUserSessionController", "_appStatusController");
    connect(m_userSession.data(), &CUserSession::invalidAccessTokenSignal, this,
            &CUserSessionController::invalidAccessTokenSlot, Qt::QueuedConnection);
    connect(m_userSession.data(), &CUserSession::setNetworkRequestStateSignal, m_appStatusController.data(),
            &CAppStatusController::setNetworkRequestResultSlot, Qt::QueuedConnection);
    connect(m_refreshTimer, &QTimer::timeout, this, &CUserSessionController::userSessionRefreshSlot);
    m_refreshTimer->setSingleShot(true);
    m_refreshTimer->setInterval(kRefreshIntervalMs);
    m_refreshTimer->start();
    m_appStatusController->setUserNotSignedIn(!m_userSession->isValid());
}

CUserSessionController::~CUserSessionController()
{
    qDebug() << "CUserSessionController::~CUserSessionController";
}

void CUserSessionController::setUserSession(const QString &userSessionJson)
{
    // Once a token was rejected, the host's identical (and perhaps still valid) text must bring it
    // back. A text that never gave a session is still ignored: parsing it again would only ask again.
    if (userSessionJson == m_lastUserSessionJson && !m_userSession->wasAccessTokenCleared()) {
        qDebug() << "CUserSessionController::setUserSession: no change from last time";
        return;
    }
    m_lastUserSessionJson = userSessionJson;
    const CUserSessionJsonObject parsed(userSessionJson);
    if (parsed.userLoginName.isEmpty() || parsed.userFullName.isEmpty() || parsed.userGuid.isEmpty()
        || parsed.serverAddress.getHostName().isEmpty() || parsed.accessToken.isEmpty()) {
        qWarning().noquote() << "CUserSessionController::setUserSession: failed to parse userSession:"
                             << parsed.toLogString() << QStringLiteral("(%1 characters)").arg(userSessionJson.size());
    } else {
        m_userSession->assign(parsed);
        qDebug().noquote() << "CUserSessionController::setUserSession: userSession:" << m_userSession->toString();
    }
    m_appStatusController->setUserNotSignedIn(!m_userSession->isValid());
}

void CUserSessionController::invalidAccessTokenSlot()
{
    qDebug() << "CUserSessionController::invalidAccessTokenSlot";
    userSessionRefreshSlot();
}

void CUserSessionController::userSessionRefreshSlot()
{
    qDebug() << "CUserSessionController::userSessionRefreshSlot";
    emit requestNewUserSessionSignal();
    m_refreshTimer->stop();
    m_refreshTimer->start(kRefreshIntervalMs);
}
