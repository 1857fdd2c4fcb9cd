#pragma once

#include "HostCallbacks.h"

#include <QReadWriteLock>
#include <string>

class CApplication;

// The bridge the host's script thread calls into the engine through. The base class only logs
// the engine's callbacks; the add-on derives from it to reach the script.
class CBxSyncApi : public IHostCallbacks
{
public:
    CBxSyncApi() = default;
    ~CBxSyncApi() override;
    CBxSyncApi(const CBxSyncApi &) = delete;
    CBxSyncApi &operator=(const CBxSyncApi &) = delete;

    // Engine thread -> script.
    void requestNewUserSession() override;
    void syncProgressChanged(const std::string &syncStatus) override;

    // Script thread -> engine.
    void setInstanceGuid(const std::string &instanceGuid);
    void setUserSession(const std::string &userSession);
    void setFileLibraries(const std::string &fileLibraries);
    std::string getSyncStatus();
    std::string getSyncedItemPath(const std::string &tenantId, const std::string &itemId);

    void setApplication(CApplication *application);

private:
    // Held while a script-thread call uses the application, so the engine thread cannot
    // tear it down underneath.
    QReadWriteLock m_applicationLock;
    CApplication *m_application = nullptr;
};
