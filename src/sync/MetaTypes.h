#pragma once

// Makes the engine's types known to queued connections; call once at engine start, before
// any thread emits them.
void registerEngineMetaTypes();
