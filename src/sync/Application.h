#pragma once

#include "NativeEventFilter.h"

#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QTimer>

#include <memory>

class CAppStatusController;
class CConfig;
class CSyncDatabase;
class CSyncModeApplication;
class CSyncProgressManager;
class CUserSessionController;
class IHostCallbacks;

// The root of one engine run: owns the long-lived components, carries the host's calls from the
// script thread onto the engine thread, and passes the engine's callbacks back to the host.
class CApplication : public QObject, public utils::IApplicationEventListener
{
    Q_OBJECT
public:
    explicit CApplication(const QString &dataDirectory, QObject *parent = nullptr);
    ~CApplication() override;

    bool initialize();
    // Why initialize() failed, in words for the host's user.
    QString initializationFailure() const { return m_initializationFailure; }
    void printAppInfo();
    void setBxSyncApi(IHostCallbacks *api);

    QString getSyncStatus() const;
    QString getSyncedItemPath(const QString &tenantId, const QString &itemId) const;
    void handleSystemWakeUp() override;

    QString dataDirectory() const { return m_dataDirectory; }

signals:
    void sigBreak();

public slots:
    void setInstanceGuidSlot(const QString &instanceGuid);
    void setUserSessionSlot(const QString &userSession);
    void setFileLibrariesSlot(const QString &fileLibraries);
    void requestNewUserSessionSlot();
    void syncProgressChangedSlot(const QString &syncProgressJsonString);
    void aboutToQuitSlot();
    void exitApplicationSlot(int ec);

private:
    void removeLeftOverReplies();

    const QString m_dataDirectory;
    IHostCallbacks *m_api = nullptr;
    QSharedPointer<CConfig> m_config;
    QSharedPointer<CSyncDatabase> m_syncDatabase;
    QSharedPointer<CAppStatusController> m_appStatusController;
    QSharedPointer<CUserSessionController> m_userSessionController;
    std::shared_ptr<CSyncProgressManager> m_syncProgressManager;
    QSharedPointer<CSyncModeApplication> m_syncModeApplication;
    // The host's thread reads paths through the sync-mode application while the engine thread may
    // be releasing it; the release waits for the read, so it still happens on the engine thread.
    mutable QMutex m_syncModeApplicationMutex;
    QTimer *m_logRotationTimer = nullptr;
    QString m_initializationFailure;
};
