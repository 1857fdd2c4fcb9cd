#include "AppStatusController.h"

#include <QDebug>
#include <QNetworkInterface>

namespace appstatus {

AppStatus evaluate(const AppStatusConditions &conditions)
{
    if (conditions.userNotSignedIn)
        return AppStatusUserNotSignedIn;
    if (conditions.storeFolderLost)
        return AppStatusStoreFolderLost;
    if (!conditions.connected)
        return AppStatusNotConnected;
    if (conditions.proxyConnectionError)
        return AppStatusProxyConnectionError;
    if (conditions.proxyAuthenticationError)
        return AppStatusProxyAuthenticationError;
    if (conditions.hostNotFound)
        return AppStatusHostNotFound;
    if (conditions.syncInitializing)
        return AppStatusSyncInitializing;
    return AppStatusOk;
}

QString toString(AppStatus status)
{
    switch (status) {
    case AppStatusSyncInitializing:
        return QStringLiteral("AppStatusSyncInitializing");
    case AppStatusUserNotSignedIn:
        return QStringLiteral("AppStatusUserNotSignedIn");
    case AppStatusStoreFolderLost:
        return QStringLiteral("AppStatusStoreFolderLost");
    case AppStatusProxyConnectionError:
        return QStringLiteral("AppStatusProxyConnectionError");
    case AppStatusProxyAuthenticationError:
        return QStringLiteral("AppStatusProxyAuthenticationError");
    case AppStatusHostNotFound:
        return QStringLiteral("AppStatusHostNotFound");
    case AppStatusNotConnected:
        return QStringLiteral("AppStatusNotConnected");
    case AppStatusOk:
        return QStringLiteral("AppStatusOk");
    }
    return QStringLiteral("AppStatusUnknown(%1)").arg(static_cast<int>(status));
}

} // namespace appstatus

namespace {

const char *boolText(bool value)
{
    return value ? "true" : "false";
}

} // namespace

bool CNetworkStatusDetector::isConnected()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        const QNetworkInterface::InterfaceFlags flags = iface.flags();
        if (flags.testFlag(QNetworkInterface::IsUp) && !flags.testFlag(QNetworkInterface::IsLoopBack)
            && !iface.addressEntries().isEmpty())
            return true;
    }
    return false;
}

void CNetworkStatusDetector::dumpNetworkInterfaces()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        QStringList addresses;
        for (const QNetworkAddressEntry &entry : iface.addressEntries())
            addresses.append(entry.ip().toString());
        const QNetworkInterface::InterfaceFlags flags = iface.flags();
        qDebug() << "CNetworkStatusDetector::dumpNetworkInterfaces:" << iface.name()
                 << "ifaceName:" << iface.humanReadableName() << "mac:" << iface.hardwareAddress()
                 << "IsUp:" << flags.testFlag(QNetworkInterface::IsUp)
                 << "IsLoopBack:" << flags.testFlag(QNetworkInterface::IsLoopBack) << "addrs:" << addresses;
    }
}

CAppStatusController::CAppStatusController(QObject *parent)
    : CAppStatusController(&CNetworkStatusDetector::isConnected, parent)
{
}

CAppStatusController::CAppStatusController(ConnectivityProbe probe, QObject *parent)
    : QObject(parent)
    , m_probe(std::move(probe))
{
    qDebug() << "CAppStatusController::CAppStatusController";
    m_wasConnected = m_probe();
    qDebug() << "CAppStatusController::CAppStatusController: wasConnected:" << boolText(m_wasConnected);
    CNetworkStatusDetector::dumpNetworkInterfaces();
}

AppStatus CAppStatusController::getAppStatus()
{
    AppStatusConditions conditions;
    {
        QMutexLocker locker(&m_mutex);
        conditions.userNotSignedIn = m_userNotSignedIn;
        conditions.storeFolderLost = m_storeFolderLost;
    }
    // Connectivity is asked only when nothing of higher precedence already decides.
    if (conditions.userNotSignedIn || conditions.storeFolderLost)
        return appstatus::evaluate(conditions);
    conditions.connected = isConnected();

    QMutexLocker locker(&m_mutex);
    conditions.userNotSignedIn = m_userNotSignedIn;
    conditions.storeFolderLost = m_storeFolderLost;
    conditions.proxyConnectionError = m_proxyConnectionError;
    conditions.proxyAuthenticationError = m_proxyAuthenticationError;
    conditions.hostNotFound = m_hostNotFound;
    conditions.syncInitializing = syncInitializingLocked();
    return appstatus::evaluate(conditions);
}

bool CAppStatusController::isConnected()
{
    const bool connected = m_probe();
    {
        QMutexLocker locker(&m_mutex);
        if (connected == m_wasConnected)
            return connected;
        m_wasConnected = connected;
    }
    qDebug() << "CAppStatusController::isConnected: connected:" << boolText(connected);
    emit appStatusChangedSignal();
    CNetworkStatusDetector::dumpNetworkInterfaces();
    return connected;
}

void CAppStatusController::waitForSyncLibraryInitialization(quint64 syncLibraryClientId)
{
    qDebug() << "CAppStatusController::waitForSyncLibraryInitialization: syncLibraryClientId:" << syncLibraryClientId;
    bool after = false;
    {
        QMutexLocker locker(&m_mutex);
        const bool before = syncInitializingLocked();
        m_initializingLibraries.insert(syncLibraryClientId);
        after = syncInitializingLocked();
        if (before == after)
            return;
    }
    qDebug() << "CAppStatusController::waitForSyncLibraryInitialization: syncInitializing:" << boolText(after);
    emit appStatusChangedSignal();
}

void CAppStatusController::reportFinishedSyncLibraryInitialization(quint64 syncLibraryClientId)
{
    qDebug() << "CAppStatusController::reportFinishedSyncLibraryInitialization: syncLibraryClientId:"
             << syncLibraryClientId;
    bool after = false;
    {
        QMutexLocker locker(&m_mutex);
        const bool before = syncInitializingLocked();
        m_initializingLibraries.remove(syncLibraryClientId);
        after = syncInitializingLocked();
        if (before == after)
            return;
    }
    qDebug() << "CAppStatusController::reportFinishedSyncLibraryInitialization: syncInitializing:" << boolText(after);
    emit appStatusChangedSignal();
}

void CAppStatusController::setSyncInitializing(bool syncInitializing)
{
    bool after = false;
    {
        QMutexLocker locker(&m_mutex);
        const bool before = syncInitializingLocked();
        m_syncInitializing = syncInitializing;
        after = syncInitializingLocked();
        if (before == after)
            return;
    }
    qDebug() << "CAppStatusController::setSyncInitializing: syncInitializing:" << boolText(after);
    emit appStatusChangedSignal();
}

bool CAppStatusController::setFlag(bool &flag, bool value, const char *logPrefix)
{
    {
        QMutexLocker locker(&m_mutex);
        if (flag == value)
            return false;
        flag = value;
    }
    qDebug() << logPrefix << boolText(value);
    // Emitted outside the lock, so a directly connected receiver may ask for the status.
    emit appStatusChangedSignal();
    return true;
}

void CAppStatusController::setUserNotSignedIn(bool userNotSignedIn)
{
    setFlag(m_userNotSignedIn, userNotSignedIn, "CAppStatusController::setUserNotSignedIn: userNotSignedIn:");
}

void CAppStatusController::setStoreFolderLost(bool storeFolderLost)
{
    if (setFlag(m_storeFolderLost, storeFolderLost, "CAppStatusController::setStoreFolderLost: storeFolderLost:")
        && storeFolderLost)
        emit storeFolderLostSignal();
}

void CAppStatusController::setProxyConnectionError(bool proxyConnectionError)
{
    setFlag(m_proxyConnectionError, proxyConnectionError,
            "CAppStatusController::setProxyConnectionError: proxyConnectionError:");
}

void CAppStatusController::setProxyAuthenticationError(bool proxyAuthenticationError)
{
    setFlag(m_proxyAuthenticationError, proxyAuthenticationError,
            "CAppStatusController::setProxyAuthenticationError: proxyAuthenticationError:");
}

void CAppStatusController::setHostNotFound(bool hostNotFound)
{
    setFlag(m_hostNotFound, hostNotFound, "CAppStatusController::setHostNotFound: hostNotFound:");
}

void CAppStatusController::setStoreFolderLostSlot(bool storeFolderLost)
{
    setStoreFolderLost(storeFolderLost);
}

void CAppStatusController::setNetworkRequestResultSlot(bool hostNotFound, bool proxyConnectionError,
                                                       bool proxyAuthenticationError)
{
    setHostNotFound(hostNotFound);
    setProxyConnectionError(proxyConnectionError);
    setProxyAuthenticationError(proxyAuthenticationError);
}
