#include "BxSyncApiNan.h"

#include <QDebug>

CBxSyncApiNan::CBxSyncApiNan(const Nan::AsyncProgressWorkerBase<char>::ExecutionProgress *progress,
                             std::atomic<bool> *sessionRequested)
    : m_progress(progress)
    , m_sessionRequested(sessionRequested)
{
}

void CBxSyncApiNan::requestNewUserSession()
{
    qDebug() << "CBxSyncApiNan::requestNewUserSession";
    m_sessionRequested->store(true);
    m_progress->Signal();
}

void CBxSyncApiNan::syncProgressChanged(const std::string &syncStatus)
{
    m_progress->Send(syncStatus.data(), syncStatus.size());
}
