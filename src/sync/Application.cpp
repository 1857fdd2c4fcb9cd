#include "Application.h"

#include "AppState.h"
#include "AppStatusController.h"
#include "Config.h"
#include "HostCallbacks.h"
#include "Log.h"
#include "ServerApiErrorCode.h"
#include "SyncDatabase.h"
#include "SyncModeApplication.h"
#include "SyncProgress.h"
#include "SyncRecords.h"
#include "UserSessionController.h"
#include "Version.h"
#include "WorkspaceServerRequest.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHostInfo>
#include <QSqlDatabase>
#include <QSslSocket>
#include <QSysInfo>
#include <QThread>

namespace {

const char kAppName[] = "Brindlex";

#ifdef BXSYNC_BRANCH_PRODUCTION
constexpr bool kProduction = true;
#else
constexpr bool kProduction = false;
#endif
#ifdef BXSYNC_BRANCH_STAGE
constexpr bool kStage = true;
#else
constexpr bool kStage = false;
#endif
#ifdef BXSYNC_BRANCH_DEVEL
constexpr bool kDevel = true;
#else
constexpr bool kDevel = false;
#endif

QString architectureSuffix(const QString &architecture)
{
    return architecture.contains(QLatin1String("64")) ? QStringLiteral("x64") : QStringLiteral("x32");
}

} // namespace

CApplication::CApplication(const QString &dataDirectory, QObject *parent)
    : QObject(parent)
    , m_dataDirectory(dataDirectory)
{
    appstate::setShuttingDown(false);
}

CApplication::~CApplication()
{
    CConfig::setInstance(QSharedPointer<CConfig>());
    {
        QMutexLocker locker(&m_syncModeApplicationMutex);
        m_syncModeApplication.reset();
    }
    m_syncProgressManager.reset();
    m_userSessionController.reset();
    m_appStatusController.reset();
    if (m_syncDatabase)
        m_syncDatabase->closeDatabaseForCurrentThread();
    m_syncDatabase.reset();
    m_config.reset();
}

bool CApplication::initialize()
{
    qDebug() << "CApplication::initialize";

    m_config.reset(new CConfig(m_dataDirectory));
    CConfig::setInstance(m_config);
    if (!m_config->debugLogging())
        CLog::setDebug(false);
    CLog::setMaxLogSize(m_config->maxLogSize());

    printAppInfo();

    m_logRotationTimer = new QTimer(this);
    m_logRotationTimer->setSingleShot(false);
    m_logRotationTimer->setInterval(900000);
    connect(m_logRotationTimer, &QTimer::timeout, this, [] { CLog::rotateLogs(); });
    m_logRotationTimer->start();

    installExtraCaCertificates();
    removeLeftOverReplies();

    m_syncDatabase.reset(new CSyncDatabase(m_dataDirectory));
    if (!m_syncDatabase->getDatabaseConnection().isOpen()) {
        qCritical() << "CApplication::initialize: failed to initialize CSyncDatabase";
        m_initializationFailure = QStringLiteral("the sync database %1 cannot be opened (see %2)")
                                      .arg(m_syncDatabase->databaseFilePath(), m_dataDirectory + QStringLiteral("/bxsync_log.txt"));
        exitApplicationSlot(1);
        return false;
    }
    m_syncDatabase->runSanityCheck();

    m_appStatusController.reset(new CAppStatusController());
    m_userSessionController.reset(new CUserSessionController(m_appStatusController));
    connect(m_userSessionController.data(), &CUserSessionController::requestNewUserSessionSignal, this,
            &CApplication::requestNewUserSessionSlot, Qt::QueuedConnection);

    m_syncProgressManager = std::make_shared<CSyncProgressManager>(m_syncDatabase);
    connect(m_syncProgressManager.get(), &CSyncProgressManager::syncProgressChangedSignal, this,
            &CApplication::syncProgressChangedSlot, Qt::QueuedConnection);
    m_syncProgressManager->evaluateCountsNow();

    {
        QSharedPointer<CSyncModeApplication> syncModeApplication(new CSyncModeApplication(
            m_syncDatabase, m_appStatusController, m_userSessionController, m_syncProgressManager));
        QMutexLocker locker(&m_syncModeApplicationMutex);
        m_syncModeApplication = syncModeApplication;
    }

    connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &CApplication::aboutToQuitSlot);
    QTimer::singleShot(0, this, &CApplication::requestNewUserSessionSlot);
    return true;
}

void CApplication::removeLeftOverReplies()
{
    // Large answers are kept in such files while they are read; a killed engine leaves them behind.
    const QDir folder(m_dataDirectory);
    for (const QString &name : folder.entryList({QStringLiteral("bxsync_reply_*.tmp")}, QDir::Files | QDir::Hidden)) {
        if (QFile::remove(folder.filePath(name)))
            qDebug() << "CApplication::removeLeftOverReplies: removed" << name;
        else
            qWarning() << "CApplication::removeLeftOverReplies: unable to remove" << name;
    }
}

void CApplication::printAppInfo()
{
    qDebug() << "CApplication::printAppInfo: app name:" << kAppName;
    qDebug() << "CApplication::printAppInfo: app version:" << kEngineVersion;
    qDebug() << "CApplication::printAppInfo: app branchName:" << BXSYNC_BRANCH_NAME
             << "production:" << kProduction << "stage:" << kStage << "devel:" << kDevel;
    qDebug().noquote() << "CApplication::printAppInfo: system version:"
                       << QStringLiteral("Linux ") + QSysInfo::kernelVersion() + ' '
                              + architectureSuffix(QSysInfo::currentCpuArchitecture());
    qDebug() << "CApplication::printAppInfo: system hostname:" << QHostInfo::localHostName();
    qDebug() << "CApplication::printAppInfo: SSL build version:" << QSslSocket::sslLibraryBuildVersionString()
             << QSslSocket::sslLibraryBuildVersionNumber();
    qDebug() << "CApplication::printAppInfo: SSL runtime version:" << QSslSocket::sslLibraryVersionString()
             << QSslSocket::sslLibraryVersionNumber();
    qDebug().noquote() << "CApplication::printAppInfo: Qt version:"
                       << QString::fromLatin1(qVersion()) + ' ' + architectureSuffix(QSysInfo::buildCpuArchitecture());
    qDebug() << "CApplication::printAppInfo: Qt SQL drivers:" << QSqlDatabase::drivers();
    qDebug() << "CApplication::printAppInfo: cwd:" << QDir::currentPath();
    qDebug() << "CApplication::printAppInfo: applicationDirPath:" << QCoreApplication::applicationDirPath();
    qDebug() << "CApplication::printAppInfo: applicationFilePath:" << QCoreApplication::applicationFilePath();
    qDebug() << "CApplication::printAppInfo: libraryPaths:" << QCoreApplication::libraryPaths();
    if (m_config)
        m_config->logToDebugger();
}

void CApplication::setBxSyncApi(IHostCallbacks *api)
{
    qDebug() << "CApplication::setBxSyncApi";
    m_api = api;
}

QString CApplication::getSyncStatus() const
{
    return QStringLiteral("{}");
}

QString CApplication::getSyncedItemPath(const QString &tenantId, const QString &itemId) const
{
    QMutexLocker locker(&m_syncModeApplicationMutex);
    return m_syncModeApplication ? m_syncModeApplication->getSyncedItemPath(tenantId, itemId) : QString();
}

void CApplication::handleSystemWakeUp()
{
    if (m_syncModeApplication)
        m_syncModeApplication->handleSystemWakeUp();
}

void CApplication::setInstanceGuidSlot(const QString &instanceGuid)
{
    if (!m_config || m_config->instanceGuid() == instanceGuid)
        return;
    if (m_config->setInstanceGuid(instanceGuid))
        m_config->writeConfiguration();
}

void CApplication::setUserSessionSlot(const QString &userSession)
{
    if (m_userSessionController)
        m_userSessionController->setUserSession(userSession);
}

void CApplication::setFileLibrariesSlot(const QString &fileLibraries)
{
    if (m_syncModeApplication)
        m_syncModeApplication->setFileLibraries(fileLibraries);
}

void CApplication::requestNewUserSessionSlot()
{
    qDebug() << "CApplication::requestNewUserSessionSlot";
    if (!m_api) {
        qWarning() << "CApplication::requestNewUserSessionSlot: CBxSyncApi not set";
        return;
    }
    m_api->requestNewUserSession();
}

void CApplication::syncProgressChangedSlot(const QString &syncProgressJsonString)
{
    if (!m_api) {
        qWarning() << "CApplication::syncProgressChangedSlot: CBxSyncApi not set";
        return;
    }
    m_api->syncProgressChanged(syncProgressJsonString.toUtf8().toStdString());
}

void CApplication::aboutToQuitSlot()
{
    appstate::setShuttingDown(true);
    qDebug() << "CApplication::aboutToQuitSlot: shutting down flag:" << appstate::isShuttingDown();
    if (m_logRotationTimer)
        m_logRotationTimer->stop();
    {
        QMutexLocker locker(&m_syncModeApplicationMutex);
        m_syncModeApplication.reset();
    }
    if (m_syncDatabase)
        m_syncDatabase->disconnect();
}

void CApplication::exitApplicationSlot(int ec)
{
    appstate::setShuttingDown(true);
    qDebug() << "CApplication::exitApplicationSlot: exitCode:" << ec << "shutting down flag:" << appstate::isShuttingDown();
    QThread::msleep(1000);
    emit sigBreak();
    QCoreApplication::exit(ec);
}
