#pragma once

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QObject>
#include <QtGlobal>

#include <memory>

namespace utils {

class IApplicationEventListener
{
public:
    virtual ~IApplicationEventListener() = default;
    virtual void handleSystemWakeUp() = 0;
};

// The shape of a window message as the resume broadcast carries it. Linux never delivers one
// through Qt, so a resume reaches the listener only when a platform notifier (or a test) passes
// such a message to the filter.
struct NativeWindowMessage
{
    void *hwnd = nullptr;
    quint32 message = 0;
    quintptr wParam = 0;
    qintptr lParam = 0;
};

constexpr quint32 kWmPowerBroadcast = 0x218;
constexpr quintptr kPbtApmResumeAutomatic = 0x12;

class CNativeEventFilter : public QAbstractNativeEventFilter
{
public:
    CNativeEventFilter();
    ~CNativeEventFilter() override;

    bool nativeEventFilter(const QByteArray &eventType, void *message, long *result) override;
    void setApplicationEventListener(IApplicationEventListener *listener) { m_listener = listener; }

private:
    IApplicationEventListener *m_listener = nullptr;
};

// Passes on system notifications that arrive outside the event filter. On Linux that is logind's
// PrepareForSleep on the system D-Bus, listened to from construction on the creating thread.
class CSystemNotificationReceiver
{
public:
    CSystemNotificationReceiver();
    ~CSystemNotificationReceiver();

    void setApplicationEventListener(IApplicationEventListener *listener) { m_listener = listener; }
    // sleeping false: the machine has just resumed.
    void handlePrepareForSleep(bool sleeping);

private:
    IApplicationEventListener *m_listener = nullptr;
    // The platform's subscription; null where there is none.
    std::unique_ptr<QObject> m_subscription;
};

// The platform part: subscribes the receiver to sleep notifications, or logs why it cannot.
std::unique_ptr<QObject> subscribeToSleepNotifications(CSystemNotificationReceiver *receiver);

} // namespace utils
