// The add-on's face to the host: module registration, the eight script functions and the worker
// whose pool thread becomes the engine thread.

#include "BxSyncApiNan.h"
#include "main.h"

#include <QDebug>

#include <mutex>
#include <nan.h>
#include <string>
#include <vector>

namespace {

class CEngineWorker;
// The worker of the engine the host last started and has not stopped; cleared as soon as that
// engine ends, also when it ends on its own.
CEngineWorker *g_currentWorker = nullptr;

class CEngineWorker : public Nan::AsyncProgressWorkerBase<char>
{
public:
    CEngineWorker(Nan::Callback *onFinished, Nan::Callback *onProgress, quint64 startId)
        : Nan::AsyncProgressWorkerBase<char>(onFinished, "nan:AsyncProgressWorkerBase")
        , m_progressCallback(onProgress)
        , m_startId(startId)
    {
    }

    ~CEngineWorker() override
    {
        forgetAsCurrent();
        delete m_progressCallback;
    }

    void Execute(const ExecutionProgress &progress) override
    {
        {
            std::lock_guard<std::mutex> locker(m_apiMutex);
            m_api = new CBxSyncApiNan(&progress, &m_sessionRequested);
        }
        QString failure;
        const int exitCode = startMain(m_api, m_startId, &failure);
        if (exitCode != 0) {
            if (failure.isEmpty())
                failure = QStringLiteral("the engine ended with exit code %1; its log says why").arg(exitCode);
            SetErrorMessage(failure.toUtf8().constData());
        }
        std::lock_guard<std::mutex> locker(m_apiMutex);
        delete m_api;
        m_api = nullptr;
    }

    void HandleProgressCallback(const char *data, size_t size) override
    {
        if (!m_progressCallback || m_progressCallback->IsEmpty())
            return;
        Nan::HandleScope scope;
        const bool hasProgress = data && size > 0;
        // A session request that came with a progress buffer still reaches the host, first: a host
        // that answers only calls without arguments would otherwise wait for the next round.
        if (m_sessionRequested.exchange(false) || !hasProgress)
            m_progressCallback->Call(0, nullptr, async_resource);
        if (hasProgress && m_progressCallback && !m_progressCallback->IsEmpty()) {
            v8::Local<v8::Value> argv[] = {Nan::New<v8::String>(data, int(size)).ToLocalChecked()};
            m_progressCallback->Call(1, argv, async_resource);
        }
    }

    void HandleOKCallback() override
    {
        forgetAsCurrent(); // the completion callback may start the next engine
        Nan::HandleScope scope;
        if (callback && !callback->IsEmpty())
            callback->Call(0, nullptr, async_resource);
    }

    // The engine ended on its own: the completion callback gets the reason as its one argument.
    void HandleErrorCallback() override
    {
        forgetAsCurrent();
        Nan::HandleScope scope;
        if (callback && !callback->IsEmpty()) {
            v8::Local<v8::Value> argv[] = {Nan::New<v8::String>(ErrorMessage()).ToLocalChecked()};
            callback->Call(1, argv, async_resource);
        }
    }

    // Runs f with the bridge while the engine thread cannot delete it; false when there is none.
    template<typename F>
    bool withApi(F &&f)
    {
        std::lock_guard<std::mutex> locker(m_apiMutex);
        if (!m_api)
            return false;
        f(m_api);
        return true;
    }

private:
    void forgetAsCurrent()
    {
        if (g_currentWorker == this)
            g_currentWorker = nullptr;
    }

    Nan::Callback *const m_progressCallback;
    const quint64 m_startId;
    std::mutex m_apiMutex;
    CBxSyncApiNan *m_api = nullptr;
    std::atomic<bool> m_sessionRequested{false};
};

Nan::Callback *callbackFrom(v8::Local<v8::Value> value)
{
    return value->IsFunction() ? new Nan::Callback(value.As<v8::Function>()) : new Nan::Callback();
}

// The argument as UTF-8 text, up to its first NUL. False when the script engine cannot make text
// of it (a Symbol): the call is then dropped, nothing is thrown into the script.
bool textArgument(Nan::NAN_METHOD_ARGS_TYPE info, int index, std::string *text)
{
    Nan::TryCatch tryCatch;
    Nan::Utf8String utf8(info[index]);
    if (tryCatch.HasCaught() || !*utf8) {
        tryCatch.Reset();
        return false;
    }
    *text = std::string(*utf8);
    return true;
}

NAN_METHOD(start)
{
    if (g_currentWorker) {
        qWarning() << "ModuleApi::start: the engine is already started -> ignoring";
        return;
    }
    const quint64 startId = noteEngineStartRequested();
    g_currentWorker = new CEngineWorker(callbackFrom(info[0]), callbackFrom(info[1]), startId);
    Nan::AsyncQueueWorker(g_currentWorker);
}

NAN_METHOD(stop)
{
    g_currentWorker = nullptr;
    stopMain();
}

NAN_METHOD(isRunning)
{
    info.GetReturnValue().Set(g_currentWorker != nullptr && appstate::isEngineRunning());
}

NAN_METHOD(setInstanceGuid)
{
    std::string value;
    if (g_currentWorker && textArgument(info, 0, &value))
        g_currentWorker->withApi([&](CBxSyncApiNan *api) { api->setInstanceGuid(value); });
}

NAN_METHOD(setUserSession)
{
    std::string value;
    if (g_currentWorker && textArgument(info, 0, &value))
        g_currentWorker->withApi([&](CBxSyncApiNan *api) { api->setUserSession(value); });
}

NAN_METHOD(setFileLibraries)
{
    std::string value;
    if (g_currentWorker && textArgument(info, 0, &value))
        g_currentWorker->withApi([&](CBxSyncApiNan *api) { api->setFileLibraries(value); });
}

NAN_METHOD(getSyncStatus)
{
    std::string status = "{}";
    if (g_currentWorker)
        g_currentWorker->withApi([&](CBxSyncApiNan *api) { status = api->getSyncStatus(); });
    info.GetReturnValue().Set(Nan::New<v8::String>(status).ToLocalChecked());
}

NAN_METHOD(getSyncedItemPath)
{
    std::string tenantId;
    std::string itemId;
    std::string path;
    if (g_currentWorker && textArgument(info, 0, &tenantId) && textArgument(info, 1, &itemId))
        g_currentWorker->withApi([&](CBxSyncApiNan *api) { path = api->getSyncedItemPath(tenantId, itemId); });
    info.GetReturnValue().Set(Nan::New<v8::String>(path).ToLocalChecked());
}

#ifdef BXSYNC_ADDON_TEST_HOOKS
// Test builds only: sends engine callbacks back to back from the script thread, so that they are
// all pending before the script thread can run the async handler. A string argument is a
// progress text, anything else a session request.
NAN_METHOD(sendCallbacksForTest)
{
    std::vector<std::string> texts;
    std::vector<bool> isProgress;
    for (int i = 0; i < info.Length(); ++i) {
        std::string text;
        isProgress.push_back(info[i]->IsString() && textArgument(info, i, &text));
        texts.push_back(text);
    }
    bool sent = false;
    if (g_currentWorker) {
        sent = g_currentWorker->withApi([&](CBxSyncApiNan *api) {
            for (size_t i = 0; i < texts.size(); ++i) {
                if (isProgress[i])
                    api->syncProgressChanged(texts[i]);
                else
                    api->requestNewUserSession();
            }
        });
    }
    info.GetReturnValue().Set(sent);
}
#endif

// A host that exits without stop() would hang: at exit the runtime joins its thread pool, and one
// of the pool's threads runs the engine's loop. The process's "exit" event comes just before that.
NAN_METHOD(stopBeforeExit)
{
    if (!g_currentWorker && !appstate::isEngineRunning())
        return;
    g_currentWorker = nullptr;
    stopMain();
    if (!waitForEngineToEnd(10000))
        qWarning() << "ModuleApi::stopBeforeExit: the engine did not stop in time";
}

void stopEngineOnProcessExit()
{
    Nan::HandleScope scope;
    v8::Local<v8::Value> process;
    if (!Nan::Get(Nan::GetCurrentContext()->Global(), Nan::New("process").ToLocalChecked()).ToLocal(&process)
        || !process->IsObject())
        return;
    v8::Local<v8::Value> on;
    if (!Nan::Get(process.As<v8::Object>(), Nan::New("on").ToLocalChecked()).ToLocal(&on) || !on->IsFunction())
        return;
    v8::Local<v8::Value> argv[] = {Nan::New("exit").ToLocalChecked(),
                                   Nan::GetFunction(Nan::New<v8::FunctionTemplate>(stopBeforeExit)).ToLocalChecked()};
    Nan::Call(on.As<v8::Function>(), process.As<v8::Object>(), 2, argv);
}

NAN_MODULE_INIT(initModule)
{
    stopEngineOnProcessExit();
    NAN_EXPORT(target, start);
    NAN_EXPORT(target, stop);
    NAN_EXPORT(target, isRunning);
    NAN_EXPORT(target, setInstanceGuid);
    NAN_EXPORT(target, setUserSession);
    NAN_EXPORT(target, setFileLibraries);
    NAN_EXPORT(target, getSyncStatus);
    NAN_EXPORT(target, getSyncedItemPath);
#ifdef BXSYNC_ADDON_TEST_HOOKS
    NAN_EXPORT(target, sendCallbacksForTest);
#endif
}

} // namespace

NODE_MODULE(bx_sync, initModule)
