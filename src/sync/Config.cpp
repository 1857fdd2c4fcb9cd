#include "Config.h"

#include "SafeFileWriter.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QReadWriteLock>
#include <QStandardPaths>

#include <limits>

namespace {

QReadWriteLock g_configLock;
QSharedPointer<CConfig> g_config;

bool readBool(const QJsonObject &section, const char *key, bool current)
{
    const QJsonValue v = section.value(QLatin1String(key));
    return v.isBool() ? v.toBool() : current;
}

// Sizes and limits: a negative or fractional-overflow value is refused, not turned into a strange limit.
int readInt(const QJsonObject &section, const char *key, int current)
{
    const QJsonValue v = section.value(QLatin1String(key));
    if (!v.isDouble())
        return current;
    const double d = v.toDouble();
    if (d < 0 || d > std::numeric_limits<int>::max()) {
        qWarning() << "CConfig::readConfiguration: value out of range, keeping" << current << "for:" << key << d;
        return current;
    }
    return int(d);
}

QString readString(const QJsonObject &section, const char *key, const QString &current)
{
    const QJsonValue v = section.value(QLatin1String(key));
    return v.isString() ? v.toString() : current;
}

bool isDriveLetter(QChar c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace

CConfig::CConfig(const QString &dataDirectory, QObject *parent)
    : QObject(parent)
    , m_syncFolder(QStandardPaths::writableLocation(QStandardPaths::HomeLocation))
    , m_filePath(dataDirectory + "/bxsync_cfg.json")
{
    CSafeFileWriter::fixUnfinishedChanges(m_filePath);
    readConfiguration();
    writeConfiguration();
}

QString CConfig::fixSyncFolder(const QString &syncFolder)
{
    // A backslash is an ordinary character in a Linux name: "/home/ann/a\b" stays as it is.
    const bool windowsStyle = (syncFolder.contains('\\') && !syncFolder.startsWith('/'))
        || (syncFolder.size() >= 2 && isDriveLetter(syncFolder.at(0)) && syncFolder.at(1) == ':');
    if (!windowsStyle)
        return syncFolder;
    QString fixed = syncFolder;
    fixed.replace('\\', '/');
    if (fixed.size() > 1 && fixed.at(1) != ':') {
        fixed.insert(1, ':');
        qDebug() << "CConfig::readConfiguration: fixed missing \":\" in syncFolder:" << fixed;
    }
    if (fixed.size() > 2 && fixed.at(2) != '/') {
        fixed.insert(2, '/');
        qDebug() << "CConfig::readConfiguration: fixed missing \"/\" in syncFolder:" << fixed;
    }
    return fixed;
}

void CConfig::readConfiguration()
{
    qDebug() << "CConfig::readConfiguration";
    QFile file(m_filePath);
    if (!file.exists()) {
        qDebug() << "CConfig::readConfiguration: no config file found";
        return;
    }
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qCritical() << "CConfig::readConfiguration: unable to open file:" << m_filePath;
        return;
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        qCritical() << "CConfig::readConfiguration: JSON parse error:" << error.errorString();
        return;
    }
    if (!doc.isObject()) {
        qCritical() << "CConfig::readConfiguration: JSON parse error:" << "the top level is not an object";
        return;
    }
    const QJsonObject root = doc.object();
    const QJsonObject debug = root.value("debug").toObject();
    const QJsonObject sync = root.value("sync").toObject();
    const QJsonObject proxy = root.value("proxy").toObject();
    const QJsonObject network = root.value("network").toObject();

    QMutexLocker locker(&m_mutex);
    m_debugLogging = readBool(debug, "debugLogging", m_debugLogging);
    m_maxLogSize = readInt(debug, "maxLogSize", m_maxLogSize);
    m_syncDisabled = readBool(sync, "syncDisabled", m_syncDisabled);
    m_syncFolder = fixSyncFolder(readString(sync, "syncFolder", m_syncFolder));
    m_useProxy = readBool(proxy, "useProxy", m_useProxy);
    m_autodetectProxySettings = readBool(proxy, "autodetectProxySettings", m_autodetectProxySettings);
    m_proxyAddress = readString(proxy, "proxyAddress", m_proxyAddress);
    m_proxyPort = readString(proxy, "proxyPort", m_proxyPort);
    m_proxyAuth = readBool(proxy, "proxyAuth", m_proxyAuth);
    m_proxyUserName = readString(proxy, "proxyUserName", m_proxyUserName);
    m_proxyPassword = readString(proxy, "proxyPassword", m_proxyPassword);
    const QString instanceGuid = readString(network, "instanceGuid", m_instanceGuid);
    if (isValidInstanceGuid(instanceGuid))
        m_instanceGuid = instanceGuid;
    else
        qWarning() << "CConfig::readConfiguration: instanceGuid is not a GUID, dropped:" << instanceGuid.left(80);
    m_downloadSpeedLimit = readInt(network, "downloadSpeedLimit", m_downloadSpeedLimit);
    m_uploadSpeedLimit = readInt(network, "uploadSpeedLimit", m_uploadSpeedLimit);
    m_disableSslSessionResuming = readBool(network, "disableSslSessionResuming", m_disableSslSessionResuming);
}

void CConfig::writeConfiguration() const
{
    CSafeFileWriter writer(m_filePath);
    if (!writer.open(QIODevice::WriteOnly)) {
        qCritical() << "CConfig::writeConfiguration: unable to open file:" << m_filePath;
        return;
    }
    QJsonObject root;
    {
        QMutexLocker locker(&m_mutex);
        const auto unsignedNumber = [](int v) { return QJsonValue(double(quint32(v))); };
        root.insert("debug", QJsonObject{
            {"debugLogging", m_debugLogging},
            {"maxLogSize", unsignedNumber(m_maxLogSize)},
        });
        root.insert("sync", QJsonObject{
            {"syncDisabled", m_syncDisabled},
            {"syncFolder", m_syncFolder},
        });
        root.insert("proxy", QJsonObject{
            {"useProxy", m_useProxy},
            {"autodetectProxySettings", m_autodetectProxySettings},
            {"proxyAddress", m_proxyAddress},
            {"proxyPort", m_proxyPort},
            {"proxyAuth", m_proxyAuth},
            {"proxyUserName", m_proxyUserName},
            {"proxyPassword", m_proxyPassword},
        });
        QJsonObject network{
            {"instanceGuid", m_instanceGuid},
            {"downloadSpeedLimit", unsignedNumber(m_downloadSpeedLimit)},
            {"uploadSpeedLimit", unsignedNumber(m_uploadSpeedLimit)},
        };
        if (m_disableSslSessionResuming)
            network.insert("disableSslSessionResuming", true);
        root.insert("network", network);
    }
    writer.write(QString::fromUtf8(QJsonDocument(root).toJson(QJsonDocument::Indented)));
    if (!writer.commit())
        qCritical() << "CConfig::writeConfiguration: unable to write file:" << m_filePath;
}

void CConfig::logToDebugger() const
{
    QMutexLocker locker(&m_mutex);
    qDebug() << "CConfig::logToDebugger:"
             << "debugLogging:" << m_debugLogging
             << "maxLogSize:" << m_maxLogSize
             << "syncDisabled:" << m_syncDisabled
             << "syncFolder:" << m_syncFolder
             << "useProxy:" << m_useProxy
             << "autodetectProxySettings:" << m_autodetectProxySettings
             << "proxyAddress:" << m_proxyAddress
             << "proxyPort:" << m_proxyPort
             << "proxyAuth:" << m_proxyAuth
             << "proxyUserName:" << m_proxyUserName
             << "proxyPassword:" << (m_proxyPassword.isEmpty() ? QString() : QStringLiteral("****"))
             << "instanceGuid:" << m_instanceGuid
             << "downloadSpeedLimit:" << m_downloadSpeedLimit
             << "uploadSpeedLimit:" << m_uploadSpeedLimit
             << "disableSslSessionResuming:" << m_disableSslSessionResuming;
}

#define BXSYNC_LOCKED_GETTER(Type, name, member) \
    Type CConfig::name() const                  \
    {                                           \
        QMutexLocker locker(&m_mutex);          \
        return member;                          \
    }

BXSYNC_LOCKED_GETTER(bool, debugLogging, m_debugLogging)
BXSYNC_LOCKED_GETTER(int, maxLogSize, m_maxLogSize)
BXSYNC_LOCKED_GETTER(bool, syncDisabled, m_syncDisabled)
BXSYNC_LOCKED_GETTER(QString, syncFolder, m_syncFolder)
BXSYNC_LOCKED_GETTER(bool, useProxy, m_useProxy)
BXSYNC_LOCKED_GETTER(bool, autodetectProxySettings, m_autodetectProxySettings)
BXSYNC_LOCKED_GETTER(QString, proxyAddress, m_proxyAddress)
BXSYNC_LOCKED_GETTER(QString, proxyPort, m_proxyPort)
BXSYNC_LOCKED_GETTER(bool, proxyAuth, m_proxyAuth)
BXSYNC_LOCKED_GETTER(QString, proxyUserName, m_proxyUserName)
BXSYNC_LOCKED_GETTER(QString, proxyPassword, m_proxyPassword)
BXSYNC_LOCKED_GETTER(QString, instanceGuid, m_instanceGuid)
BXSYNC_LOCKED_GETTER(int, downloadSpeedLimit, m_downloadSpeedLimit)
BXSYNC_LOCKED_GETTER(int, uploadSpeedLimit, m_uploadSpeedLimit)
BXSYNC_LOCKED_GETTER(bool, disableSslSessionResuming, m_disableSslSessionResuming)
BXSYNC_LOCKED_GETTER(QString, filePath, m_filePath)

#undef BXSYNC_LOCKED_GETTER

bool CConfig::isValidInstanceGuid(const QString &instanceGuid)
{
    if (instanceGuid.size() > 64)
        return false;
    for (const QChar c : instanceGuid) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
            || c == '{' || c == '}';
        if (!allowed)
            return false;
    }
    return true;
}

bool CConfig::setInstanceGuid(const QString &instanceGuid)
{
    if (!isValidInstanceGuid(instanceGuid)) {
        qWarning() << "CConfig::setInstanceGuid: not a GUID, refused:" << instanceGuid.left(80);
        return false;
    }
    QMutexLocker locker(&m_mutex);
    m_instanceGuid = instanceGuid;
    return true;
}

QSharedPointer<CConfig> CConfig::instance()
{
    QReadLocker locker(&g_configLock);
    return g_config;
}

void CConfig::setInstance(const QSharedPointer<CConfig> &config)
{
    QWriteLocker locker(&g_configLock);
    g_config = config;
}
