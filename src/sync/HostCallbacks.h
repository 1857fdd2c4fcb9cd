#pragma once

#include <string>

// What the engine calls back into its host; the host's bridge implements it, so the engine does
// not depend on the bridge that depends on the engine.
class IHostCallbacks
{
public:
    virtual ~IHostCallbacks() = default;
    virtual void requestNewUserSession() = 0;
    virtual void syncProgressChanged(const std::string &syncStatus) = 0;
};
