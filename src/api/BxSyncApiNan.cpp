#include "BxSyncApiNan.h"

#include <QDebug>

CBxSyncApiNan::CBxSyncApiNan(const Nan::AsyncProgressWorkerBase<char>::ExecutionProgress *progress)
    : m_progress(progress)
{
}

void CBxSyncApiNan::requestNewUserSession()
{
    qDebug() << "CBxSyncApiNan::requestNewUserSession";
    m_progress->Signal();
}

void CBxSyncApiNan::syncProgressChanged(const std::string &syncStatus)
{
    m_progress->Send(syncStatus.data(), syncStatus.size());
}
