#pragma once

#include "AppState.h"

#include <QString>
#include <QtGlobal>

class CBxSyncApi;

// Runs one engine on the calling thread until the host stops it; returns the exit code, and
// when that is not 0 says why in failure.
// startId is what noteEngineStartRequested answered for this start (0: not started by the host).
int startMain(CBxSyncApi *api, quint64 startId = 0, QString *failure = nullptr);
int runMain(CBxSyncApi *api, quint64 startId = 0, QString *failure = nullptr);
// Called from the host's script thread; safe at any moment, also before the engine has started.
void stopMain();

// Waits until no engine runs any more; false when one is still running after timeoutMs.
bool waitForEngineToEnd(int timeoutMs);

// Tells stopMain which start it may stop: a stop that arrives before the engine's event loop
// exists must still end that engine, but never one started after it.
quint64 noteEngineStartRequested();
