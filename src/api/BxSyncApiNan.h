#pragma once

#include "BxSyncApiObjects.h"

#include <nan.h>

#include <atomic>

// The engine's way back to the script: both callbacks go through the worker's progress sender,
// which keeps only the latest unread buffer and wakes the script thread through its async handle.
// A session request is also remembered in a flag of the worker's, so that a progress buffer
// arriving in the same wake-up cannot swallow it.
class CBxSyncApiNan : public CBxSyncApi
{
public:
    CBxSyncApiNan(const Nan::AsyncProgressWorkerBase<char>::ExecutionProgress *progress,
                  std::atomic<bool> *sessionRequested);

    void requestNewUserSession() override;
    void syncProgressChanged(const std::string &syncStatus) override;

private:
    const Nan::AsyncProgressWorkerBase<char>::ExecutionProgress *const m_progress;
    std::atomic<bool> *const m_sessionRequested;
};
