#include "NativeEventFilter.h"

#include <QDebug>

namespace utils {

CNativeEventFilter::CNativeEventFilter()
{
    qDebug() << "CNativeEventFilter::CNativeEventFilter()";
}

CNativeEventFilter::~CNativeEventFilter()
{
    qDebug() << "CNativeEventFilter::~CNativeEventFilter()";
}

bool CNativeEventFilter::nativeEventFilter(const QByteArray &eventType, void *message, long *result)
{
    if (!m_listener) {
        qDebug() << "CNativeEventFilter::nativeEventFilter: applicationEventListener is not set -> ignoring";
        return false;
    }
    if (eventType != "windows_generic_MSG" || !message)
        return false;
    const auto *msg = static_cast<const NativeWindowMessage *>(message);
    if (msg->message != kWmPowerBroadcast || msg->wParam != kPbtApmResumeAutomatic)
        return false;
    qDebug() << "CNativeEventFilter::nativeEventFilter: notificationType: WM_POWERBROADCAST PBT_APMRESUMEAUTOMATIC";
    m_listener->handleSystemWakeUp();
    if (result)
        *result = 1;
    return true;
}

CSystemNotificationReceiver::CSystemNotificationReceiver()
{
    qDebug() << "CSystemNotificationReceiver::CSystemNotificationReceiver()";
    m_subscription = subscribeToSleepNotifications(this);
}

CSystemNotificationReceiver::~CSystemNotificationReceiver()
{
    m_subscription.reset();
    qDebug() << "CSystemNotificationReceiver::~CSystemNotificationReceiver()";
}

void CSystemNotificationReceiver::handlePrepareForSleep(bool sleeping)
{
    qDebug() << "CSystemNotificationReceiver::handlePrepareForSleep: sleeping:" << sleeping;
    if (sleeping)
        return;
    if (!m_listener) {
        qDebug() << "CSystemNotificationReceiver::handlePrepareForSleep: applicationEventListener is not set -> ignoring";
        return;
    }
    m_listener->handleSystemWakeUp();
}

} // namespace utils
