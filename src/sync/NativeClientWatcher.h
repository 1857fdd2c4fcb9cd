#pragma once

#include "ClientWatcherUtils.h"

#include <QAtomicInt>
#include <QThread>

namespace utils {

struct NativeWatchContext;

// Watches one folder tree on a thread of its own and hands every change to the listener, on
// that thread. Stops within one poll round when asked; never follows a symbolic link below the
// root.
class CNativeClientWatcher : public QThread
{
    Q_OBJECT
public:
    CNativeClientWatcher(IClientWatcherEventListener *listener, const QString &watchedRootPath,
                         QObject *parent = nullptr);
    ~CNativeClientWatcher() override;

    QString watchedRootPath() const { return m_watchedRootPath; }
    // Stops and joins the thread.
    void stopThread();

protected:
    void run() override;

private:
    IClientWatcherEventListener *const m_listener;
    const QString m_watchedRootPath;
    NativeWatchContext *m_context = nullptr;
    int m_wakeFd = -1;
};

} // namespace utils
