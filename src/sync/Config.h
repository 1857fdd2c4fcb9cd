#pragma once

#include <QMutex>
#include <QObject>
#include <QSharedPointer>
#include <QString>

// The engine's settings file, bxsync_cfg.json in the data directory. Read once at start-up and
// written back at once, so the file always holds every key. Every access takes the mutex.
class CConfig : public QObject
{
    Q_OBJECT
public:
    explicit CConfig(const QString &dataDirectory, QObject *parent = nullptr);

    void readConfiguration();
    void writeConfiguration() const;
    void logToDebugger() const;

    bool debugLogging() const;
    int maxLogSize() const;
    bool syncDisabled() const;
    QString syncFolder() const;
    bool useProxy() const;
    bool autodetectProxySettings() const;
    QString proxyAddress() const;
    QString proxyPort() const;
    bool proxyAuth() const;
    QString proxyUserName() const;
    QString proxyPassword() const;
    QString instanceGuid() const;
    int downloadSpeedLimit() const;
    int uploadSpeedLimit() const;
    bool disableSslSessionResuming() const;
    QString filePath() const;

    // False, with a warning, for a text that is not a GUID: it goes into every request's headers.
    bool setInstanceGuid(const QString &instanceGuid);

    // Turns a Windows-style sync folder (drive letter, backslashes) into the "C:/..." form; any other
    // path, an absolute POSIX one above all, comes back untouched.
    static QString fixSyncFolder(const QString &syncFolder);
    // Letters, digits, hyphens and braces, at most 64: every text form of a GUID, and nothing that
    // could end or add a header. Empty is valid (no GUID).
    static bool isValidInstanceGuid(const QString &instanceGuid);

    // The process-wide configuration of the running engine (null outside a run).
    static QSharedPointer<CConfig> instance();
    static void setInstance(const QSharedPointer<CConfig> &config);

private:
    mutable QMutex m_mutex;
    bool m_debugLogging = true;
    int m_maxLogSize = 32768;
    bool m_syncDisabled = false;
    QString m_syncFolder;
    bool m_useProxy = true;
    bool m_autodetectProxySettings = true;
    QString m_proxyAddress;
    QString m_proxyPort;
    bool m_proxyAuth = false;
    QString m_proxyUserName;
    QString m_proxyPassword;
    QString m_instanceGuid;
    int m_downloadSpeedLimit = 0;
    int m_uploadSpeedLimit = 0;
    bool m_disableSslSessionResuming = false;
    const QString m_filePath;
};
