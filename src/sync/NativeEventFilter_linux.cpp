#include "NativeEventFilter.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDebug>
#include <QUuid>

namespace utils {
namespace {

// A connection of its own, so that each engine run opens and closes it with its own lifetime.
class CLogindSleepSubscription : public QObject
{
    Q_OBJECT
public:
    explicit CLogindSleepSubscription(CSystemNotificationReceiver *receiver)
        : m_receiver(receiver)
        , m_name(QStringLiteral("bxsync-sleep-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
    {
    }
    ~CLogindSleepSubscription() override { QDBusConnection::disconnectFromBus(m_name); }

    bool subscribe()
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_name);
        if (!bus.isConnected()) {
            qWarning().noquote() << "utils::subscribeToSleepNotifications: no system D-Bus (" + bus.lastError().message()
                    + ") -> resume from sleep is not noticed";
            return false;
        }
        const bool connected = bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                                           QStringLiteral("org.freedesktop.login1.Manager"),
                                           QStringLiteral("PrepareForSleep"), this, SLOT(prepareForSleepSlot(bool)));
        if (!connected) {
            qWarning().noquote() << "utils::subscribeToSleepNotifications: cannot listen to logind ("
                    + bus.lastError().message() + ") -> resume from sleep is not noticed";
            return false;
        }
        qDebug() << "utils::subscribeToSleepNotifications: listening to logind's PrepareForSleep";
        return true;
    }

private slots:
    void prepareForSleepSlot(bool sleeping) { m_receiver->handlePrepareForSleep(sleeping); }

private:
    CSystemNotificationReceiver *const m_receiver;
    const QString m_name;
};

} // namespace

std::unique_ptr<QObject> subscribeToSleepNotifications(CSystemNotificationReceiver *receiver)
{
    auto subscription = std::make_unique<CLogindSleepSubscription>(receiver);
    if (!subscription->subscribe())
        return nullptr;
    return subscription;
}

} // namespace utils

#include "NativeEventFilter_linux.moc"
