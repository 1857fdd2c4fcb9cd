#pragma once

#include "SyncItem.h"

// A folder record: creates the folder locally when it is new on the server and on the server
// when it is new locally. Deletions and moves are the base class's.
class CSyncFolder : public CSyncItem
{
    Q_OBJECT
public:
    CSyncFolder(const QSharedPointer<CSyncDatabase> &syncDatabase,
                const QSharedPointer<CAppStatusController> &appStatusController,
                const QSharedPointer<CUserSessionController> &userSessionController,
                const std::shared_ptr<CSyncProgressManager> &syncProgressManager,
                const QSharedPointer<CFileManipulation> &fileManipulation, const SyncItem::Ptr &folder,
                QObject *parent = nullptr);
    ~CSyncFolder() override;

protected:
    void processNewOnServer() override;
    void processNewOnClient() override;
    bool createLocalFolder();

private slots:
    void processNewOnClientContinue(ErrorCode error, brindlex::FileSync::CFileSyncMkDirResponse response);
};
