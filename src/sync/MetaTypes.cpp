#include "MetaTypes.h"

#include "ClientWatcherUtils.h"
#include "GetFileRequest.h"
#include "ServerApi.h"
#include "SyncProgress.h"
#include "SyncRecords.h"
#include "UploadFileRequest.h"

void registerEngineMetaTypes()
{
    qRegisterMetaType<ItemId>("ItemId");
    qRegisterMetaType<SyncItem::Ptr>("SyncItem::Ptr");
    qRegisterMetaType<SyncItem::ConstPtr>("SyncItem::ConstPtr");
    qRegisterMetaType<SyncFile::Ptr>("SyncFile::Ptr");
    qRegisterMetaType<SyncFile::ConstPtr>("SyncFile::ConstPtr");
    qRegisterMetaType<SyncFolder::Ptr>("SyncFolder::Ptr");
    qRegisterMetaType<SyncFolder::ConstPtr>("SyncFolder::ConstPtr");
    qRegisterMetaType<SyncLibrary::Ptr>("SyncLibrary::Ptr");
    qRegisterMetaType<SyncLibrary::ConstPtr>("SyncLibrary::ConstPtr");
    qRegisterMetaType<ErrorCode>("ErrorCode");
    qRegisterMetaType<brindlex::Items::CItemsGetRoleResponse>("brindlex::Items::CItemsGetRoleResponse");
    qRegisterMetaType<brindlex::FileSync::CFileSyncGetHierarchyResponse>("brindlex::FileSync::CFileSyncGetHierarchyResponse");
    qRegisterMetaType<brindlex::FileSync::CFileSyncMkDirResponse>("brindlex::FileSync::CFileSyncMkDirResponse");
    qRegisterMetaType<brindlex::FileSync::CFileSyncRmDirResponse>("brindlex::FileSync::CFileSyncRmDirResponse");
    qRegisterMetaType<brindlex::FileSync::CFileSyncRemoveFileResponse>("brindlex::FileSync::CFileSyncRemoveFileResponse");
    qRegisterMetaType<brindlex::FileSync::CFileSyncRenameResponse>("brindlex::FileSync::CFileSyncRenameResponse");
    qRegisterMetaType<brindlex::FileSync::CFileSyncMoveResponse>("brindlex::FileSync::CFileSyncMoveResponse");
    qRegisterMetaType<brindlex::FileSync::CFileSyncGetFileResponse>("brindlex::FileSync::CFileSyncGetFileResponse");
    qRegisterMetaType<brindlex::FileSync::CFileSyncGetWatcherAuthenticationTokenResponse>(
        "brindlex::FileSync::CFileSyncGetWatcherAuthenticationTokenResponse");
    qRegisterMetaType<brindlex::FileSync::CFileSyncCanCreateFileResponse>("brindlex::FileSync::CFileSyncCanCreateFileResponse");
    qRegisterMetaType<brindlex::FileSync::CFileSyncCanUpdateFileResponse>("brindlex::FileSync::CFileSyncCanUpdateFileResponse");
    qRegisterMetaType<watcher::api::Watcher::CWatcherWatchResponse>("watcher::api::Watcher::CWatcherWatchResponse");
    qRegisterMetaType<CGetFileResponse>("CGetFileResponse");
    qRegisterMetaType<CUploadFileResponse>("CUploadFileResponse");
    qRegisterMetaType<ClientWatcherEvent>("ClientWatcherEvent");
    qRegisterMetaType<SyncProgressFile::Ptr>("SyncProgress");
}
