#pragma once

// The build's project version; the server sees it in the user agent, the log names it at start.
inline constexpr char kEngineVersion[] = BXSYNC_VERSION;
