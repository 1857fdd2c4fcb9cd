#pragma once

#include "BxSyncApiObjects.h"

#include <nan.h>

// The engine's way back to the script: both callbacks go through the worker's progress sender,
// which keeps only the latest unread buffer and wakes the script thread through its async handle.
class CBxSyncApiNan : public CBxSyncApi
{
public:
    explicit CBxSyncApiNan(const Nan::AsyncProgressWorkerBase<char>::ExecutionProgress *progress);

    void requestNewUserSession() override;
    void syncProgressChanged(const std::string &syncStatus) override;

private:
    const Nan::AsyncProgressWorkerBase<char>::ExecutionProgress *const m_progress;
};
