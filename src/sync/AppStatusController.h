#pragma once

#include <QMutex>
#include <QObject>
#include <QSet>
#include <QSharedPointer>

#include <functional>

// Whether the engine can synchronise right now, in order of precedence.
enum AppStatus : int {
    AppStatusSyncInitializing = 0,
    AppStatusUserNotSignedIn = 1,
    AppStatusStoreFolderLost = 3,
    AppStatusProxyConnectionError = 4,
    AppStatusProxyAuthenticationError = 5,
    AppStatusHostNotFound = 6,
    AppStatusNotConnected = 7,
    AppStatusOk = 8,
};

struct AppStatusConditions
{
    bool userNotSignedIn = false;
    bool storeFolderLost = false;
    bool connected = true;
    bool proxyConnectionError = false;
    bool proxyAuthenticationError = false;
    bool hostNotFound = false;
    bool syncInitializing = false;
};

namespace appstatus {
// The first condition that holds decides the status.
AppStatus evaluate(const AppStatusConditions &conditions);
QString toString(AppStatus status);
} // namespace appstatus

// Connectivity from the machine's network interfaces.
class CNetworkStatusDetector
{
public:
    // True when some interface is up, is not a loopback and has an address.
    static bool isConnected();
    static void dumpNetworkInterfaces();
};

// Collects the conditions that decide whether the engine can synchronise and announces every change.
// Connectivity is re-evaluated each time the status is asked for.
class CAppStatusController : public QObject
{
    Q_OBJECT
public:
    using Ptr = QSharedPointer<CAppStatusController>;
    using ConnectivityProbe = std::function<bool()>;

    explicit CAppStatusController(QObject *parent = nullptr);
    // The probe stands in for the network interfaces (tests).
    explicit CAppStatusController(ConnectivityProbe probe, QObject *parent = nullptr);

    AppStatus getAppStatus();
    bool isConnected();

    void waitForSyncLibraryInitialization(quint64 syncLibraryClientId);
    void reportFinishedSyncLibraryInitialization(quint64 syncLibraryClientId);
    void setSyncInitializing(bool syncInitializing);
    void setUserNotSignedIn(bool userNotSignedIn);
    void setStoreFolderLost(bool storeFolderLost);
    void setProxyConnectionError(bool proxyConnectionError);
    void setProxyAuthenticationError(bool proxyAuthenticationError);
    void setHostNotFound(bool hostNotFound);

signals:
    void appStatusChangedSignal();
    void storeFolderLostSignal();

public slots:
    void setStoreFolderLostSlot(bool storeFolderLost);
    void setNetworkRequestResultSlot(bool hostNotFound, bool proxyConnectionError, bool proxyAuthenticationError);

private:
    bool syncInitializingLocked() const { return m_syncInitializing || !m_initializingLibraries.isEmpty(); }
    // Stores the value under the mutex; true when it changed.
    bool setFlag(bool &flag, bool value, const char *logPrefix);

    const ConnectivityProbe m_probe;
    bool m_syncInitializing = true;
    bool m_userNotSignedIn = false;
    bool m_storeFolderLost = false;
    bool m_proxyConnectionError = false;
    bool m_proxyAuthenticationError = false;
    bool m_hostNotFound = false;
    bool m_wasConnected = false;
    QSet<quint64> m_initializingLibraries;
    QMutex m_mutex;
};
