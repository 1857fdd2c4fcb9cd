#include "main.h"

#include "AccessRights.h"
#include "Application.h"
#include "BxSyncApiObjects.h"
#include "Log.h"
#include "MetaTypes.h"
#include "NativeEventFilter.h"
#include "utils.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QMutex>
#include <QSharedPointer>
#include <QStandardPaths>

namespace {

// Guards the core application pointer that stopMain reaches from the script thread, and the
// start/stop bookkeeping.
QMutex g_mainMutex;
QCoreApplication *g_coreApplication = nullptr;
quint64 g_startsRequested = 0;
quint64 g_stopsUpTo = 0;

// Qt allows one core application per process at a time: a start that arrives while the
// previous engine is still shutting down waits here.
QMutex g_engineSerializer;

int g_argc = 0;

} // namespace

quint64 noteEngineStartRequested()
{
    QMutexLocker locker(&g_mainMutex);
    return ++g_startsRequested;
}

int startMain(CBxSyncApi *api, quint64 startId, QString *failure)
{
    qDebug() << "Main::startMain";
    return runMain(api, startId, failure);
}

int runMain(CBxSyncApi *api, quint64 startId, QString *failure)
{
    QMutexLocker serializer(&g_engineSerializer);

    int exitCode = 0;
    QScopedPointer<QCoreApplication> coreApplication(new QCoreApplication(g_argc, nullptr));
    QCoreApplication::setApplicationName(QStringLiteral("Brindlex"));
    QCoreApplication::addLibraryPath(QStringLiteral("."));
    {
        QMutexLocker locker(&g_mainMutex);
        g_coreApplication = coreApplication.data();
    }

    const QString dataDirectory = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    utils::createPrivateDirectory(dataDirectory);

    CLog::init(dataDirectory);
    CLog::setDebug(true);
    qDebug().noquote() << QString(97, '-');

    QSharedPointer<utils::CNativeEventFilter> nativeEventFilter(new utils::CNativeEventFilter());
    coreApplication->installNativeEventFilter(nativeEventFilter.data());
    QSharedPointer<utils::CSystemNotificationReceiver> systemNotificationReceiver(
        new utils::CSystemNotificationReceiver());

    registerEngineMetaTypes();
    CAccessRightsInterrogator::install();
    QScopedPointer<CApplication> application(new CApplication(dataDirectory));
    if (application->initialize()) {
        if (api)
            api->setApplication(application.data());
        application->setBxSyncApi(api);
        nativeEventFilter->setApplicationEventListener(application.data());
        systemNotificationReceiver->setApplicationEventListener(application.data());

        bool stopAlreadyRequested;
        {
            QMutexLocker locker(&g_mainMutex);
            stopAlreadyRequested = startId > 0 && g_stopsUpTo >= startId;
        }
        qDebug() << "Main::runMain: app is not running -> starting";
        appstate::setEngineRunning(true);
        if (stopAlreadyRequested) {
            // The host stopped us before the loop existed; still leave through aboutToQuit.
            QMetaObject::invokeMethod(coreApplication.data(), [] { QCoreApplication::exit(0); },
                                      Qt::QueuedConnection);
        }
        exitCode = QCoreApplication::exec();
        appstate::setEngineRunning(false);
        qDebug() << "Main::runMain: application message loop finished, exitCode:" << exitCode;
    } else {
        qDebug() << "Main::runMain: app initialization failed -> quit";
        exitCode = 1;
        if (failure)
            *failure = application->initializationFailure();
    }

    // The host may still read through the api on its script thread; it must not reach a dying app.
    if (api)
        api->setApplication(nullptr);
    nativeEventFilter->setApplicationEventListener(nullptr);
    systemNotificationReceiver->setApplicationEventListener(nullptr);

    CLog::close();
    application.reset();
    systemNotificationReceiver.reset();
    coreApplication->removeNativeEventFilter(nativeEventFilter.data());
    nativeEventFilter.reset();
    {
        QMutexLocker locker(&g_mainMutex);
        g_coreApplication = nullptr;
    }
    coreApplication.reset();
    return exitCode;
}

bool waitForEngineToEnd(int timeoutMs)
{
    if (!g_engineSerializer.tryLock(timeoutMs))
        return false;
    g_engineSerializer.unlock();
    return true;
}

void stopMain()
{
    qDebug() << "Main::stopMain";
    QMutexLocker locker(&g_mainMutex);
    g_stopsUpTo = g_startsRequested;
    if (g_coreApplication) {
        // exit() walks the engine thread's event loops; posting keeps that walk on its own thread.
        QMetaObject::invokeMethod(g_coreApplication, [] { QCoreApplication::exit(0); },
                                  Qt::QueuedConnection);
    }
}
