#pragma once

#include "SyncRecords.h"

#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <memory>

class CAppStatusController;
class CFileManipulation;
class CSyncProgressManager;
class CSyncThreadManager;
class CServerWatcher;
class CSyncDatabase;
class CUserSessionController;

// The host's file-library list, parsed. Valid only when every element was accepted.
class CFileLibrariesJsonArray
{
public:
    explicit CFileLibrariesJsonArray(const QString &json);

    bool isValid() const { return m_valid; }
    const QList<SyncLibrary::Ptr> &libraries() const { return m_libraries; }

private:
    QList<SyncLibrary::Ptr> m_libraries;
    bool m_valid = false;
};

// Owns and wires the working engine on top of the components the application hands over, turns
// the host's library list into subscriptions, renames and unsubscriptions, and answers the
// host's question for the local path of a synchronised item.
class CSyncModeApplication : public QObject
{
    Q_OBJECT
public:
    CSyncModeApplication(const QSharedPointer<CSyncDatabase> &syncDatabase,
                         const QSharedPointer<CAppStatusController> &appStatusController,
                         const QSharedPointer<CUserSessionController> &userSessionController,
                         const std::shared_ptr<CSyncProgressManager> &syncProgressManager = {},
                         QObject *parent = nullptr);
    ~CSyncModeApplication() override;

    void initialize();
    void startSync();
    void setFileLibraries(const QString &fileLibraries);
    void handleSystemWakeUp();
    // Runs on the host's script thread; touches nothing but the database.
    QString getSyncedItemPath(const QString &tenantId, const QString &itemId);

signals:
    void sigBreak();

public slots:
    void sanityCheckFinishedSlot();

private:
    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    const QSharedPointer<CAppStatusController> m_appStatusController;
    const QSharedPointer<CUserSessionController> m_userSessionController;
    const std::shared_ptr<CSyncProgressManager> m_syncProgressManager; // may be null
    QSharedPointer<CFileManipulation> m_fileManipulation;
    QSharedPointer<CSyncThreadManager> m_syncThreadManager;
    QSharedPointer<CServerWatcher> m_serverWatcher;
    bool m_watchersStarted = false;
    QString m_lastFileLibraries;
};
