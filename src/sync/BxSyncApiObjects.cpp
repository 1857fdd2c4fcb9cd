#include "BxSyncApiObjects.h"

#include "Application.h"

#include <QDebug>

CBxSyncApi::~CBxSyncApi() = default;

void CBxSyncApi::requestNewUserSession()
{
    qDebug() << "CBxSyncApi::requestNewUserSession: signal called, but nothing will happen...";
}

void CBxSyncApi::syncProgressChanged(const std::string &syncStatus)
{
    qDebug() << "CBxSyncApi::syncProgressChanged: syncStatus:" << QString::fromStdString(syncStatus);
}

void CBxSyncApi::setInstanceGuid(const std::string &instanceGuid)
{
    qDebug() << "CBxSyncApi::setInstanceGuid";
    QReadLocker locker(&m_applicationLock);
    if (!m_application) {
        qWarning() << "CBxSyncApi::setInstanceGuid: CApplication not set";
        return;
    }
    // Runs on the engine thread; dropped if the application is gone by then.
    QMetaObject::invokeMethod(
        m_application, [application = m_application, value = QString::fromStdString(instanceGuid)] {
            application->setInstanceGuidSlot(value);
        },
        Qt::QueuedConnection);
}

void CBxSyncApi::setUserSession(const std::string &userSession)
{
    qDebug() << "CBxSyncApi::setUserSession";
    QReadLocker locker(&m_applicationLock);
    if (!m_application) {
        qWarning() << "CBxSyncApi::setUserSession: CApplication not set";
        return;
    }
    QMetaObject::invokeMethod(
        m_application, [application = m_application, value = QString::fromStdString(userSession)] {
            application->setUserSessionSlot(value);
        },
        Qt::QueuedConnection);
}

void CBxSyncApi::setFileLibraries(const std::string &fileLibraries)
{
    qDebug() << "CBxSyncApi::setFileLibraries";
    QReadLocker locker(&m_applicationLock);
    if (!m_application) {
        qWarning() << "CBxSyncApi::setFileLibraries: CApplication not set";
        return;
    }
    QMetaObject::invokeMethod(
        m_application, [application = m_application, value = QString::fromStdString(fileLibraries)] {
            application->setFileLibrariesSlot(value);
        },
        Qt::QueuedConnection);
}

std::string CBxSyncApi::getSyncStatus()
{
    QReadLocker locker(&m_applicationLock);
    if (!m_application) {
        qWarning() << "CBxSyncApi::getSyncStatus: CApplication not set";
        return std::string();
    }
    return m_application->getSyncStatus().toStdString();
}

std::string CBxSyncApi::getSyncedItemPath(const std::string &tenantId, const std::string &itemId)
{
    const QString tenant = QString::fromStdString(tenantId);
    const QString item = QString::fromStdString(itemId);
    QReadLocker locker(&m_applicationLock);
    if (!m_application) {
        qWarning() << "CBxSyncApi::getSyncedItemPath: CApplication not set";
        return std::string();
    }
    const QString path = m_application->getSyncedItemPath(tenant, item);
    qDebug() << "CBxSyncApi::getSyncedItemPath: tenantId:" << tenant << ", itemId:" << item << "->" << path;
    return path.toStdString();
}

void CBxSyncApi::setApplication(CApplication *application)
{
    qDebug() << "CBxSyncApi::setApplication";
    QWriteLocker locker(&m_applicationLock);
    m_application = application;
}
