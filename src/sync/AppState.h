#pragma once

// Process-wide engine state that low-level code consults to give up long work early.
namespace appstate {
bool isEngineRunning();
void setEngineRunning(bool running);
bool isShuttingDown();
void setShuttingDown(bool shuttingDown);
} // namespace appstate
