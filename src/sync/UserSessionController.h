#pragma once

#include "UserSession.h"

#include <QObject>
#include <QSharedPointer>
#include <QTimer>

class CAppStatusController;

// Owns the session and keeps it fresh: the host is asked for a new one every two minutes and at
// once whenever the token turns out to be invalid.
class CUserSessionController : public QObject
{
    Q_OBJECT
public:
    static constexpr int kRefreshIntervalMs = 120000;

    explicit CUserSessionController(const QSharedPointer<CAppStatusController> &appStatusController,
                                    QObject *parent = nullptr);
    ~CUserSessionController() override;

    QSharedPointer<CUserSession> getUserSession() const { return m_userSession; }
    void setUserSession(const QString &userSessionJson);

    QTimer *refreshTimer() const { return m_refreshTimer; }

signals:
    void requestNewUserSessionSignal();

public slots:
    void invalidAccessTokenSlot();
    void userSessionRefreshSlot();

private:
    const QSharedPointer<CAppStatusController> m_appStatusController;
    const QSharedPointer<CUserSession> m_userSession;
    QTimer *const m_refreshTimer;
    QString m_lastUserSessionJson;
};
