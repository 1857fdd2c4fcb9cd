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
}

CSystemNotificationReceiver::~CSystemNotificationReceiver()
{
    qDebug() << "CSystemNotificationReceiver::~CSystemNotificationReceiver()";
}

} // namespace utils
