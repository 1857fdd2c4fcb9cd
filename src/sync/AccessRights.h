#pragma once

#include "JsonResponse.h"
#include "ServerApi.h"
#include "UserSession.h"

#include <QObject>
#include <QSharedPointer>

#include <functional>

// Turns an access-denied answer into what the user may still do with the item, by asking the
// server for the user's role on it. Nothing blocks: the caller continues from the verdict.
class CAccessRightsInterrogator
{
public:
    using Verdict = std::function<void(const ErrorCode &verdict)>;

    // Sends the role call on the calling thread, which must run an event loop, and hands the
    // verdict to done on that thread. done runs exactly once, always from the event loop and never
    // inside probe(), also when the call ends at once (no valid session, shutting down); it is
    // dropped when context is destroyed first.
    static void probe(const QSharedPointer<CUserSession> &userSession, const CustomItem &item, QObject *context,
                      Verdict done);

    // Makes probe() the answer to every access-denied reply about an item; once, at engine start.
    static void install();

    // The verdict for a role answer: Reader may read only, None may not see it at all.
    static ErrorCode verdictFor(const ErrorCode &error, brindlex::Role role);
};
