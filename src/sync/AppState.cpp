#include "AppState.h"

#include <atomic>

namespace {
std::atomic<bool> g_engineRunning{false};
std::atomic<bool> g_shuttingDown{false};
} // namespace

namespace appstate {

bool isEngineRunning()
{
    return g_engineRunning.load();
}

void setEngineRunning(bool running)
{
    g_engineRunning.store(running);
}

bool isShuttingDown()
{
    return g_shuttingDown.load();
}

void setShuttingDown(bool shuttingDown)
{
    g_shuttingDown.store(shuttingDown);
}

} // namespace appstate
