#include "AccessRights.h"

#include "ServerApi.h"

#include <QDebug>
#include <QEventLoop>

CAccessRightsInterrogator::CAccessRightsInterrogator(const QSharedPointer<CUserSession> &userSession,
                                                     const CustomItem &item)
    : m_userSession(userSession)
    , m_item(item)
    , m_result(ServerApiErrorCode::ErrorUnknown)
{
    Q_ASSERT_X(m_userSession, "CAccessRightsInterrogator", "userSession");
}

CAccessRightsInterrogator::~CAccessRightsInterrogator()
{
    wait();
}

ErrorCode CAccessRightsInterrogator::probe()
{
    qDebug().noquote() << "CAccessRightsInterrogator::probe: starting for item:" << m_item.toString();
    start(QThread::InheritPriority);
    qDebug().noquote() << "CAccessRightsInterrogator::probe: waiting for item:" << m_item.toString();
    wait();
    return m_result;
}

void CAccessRightsInterrogator::run()
{
    qDebug().noquote() << "CAccessRightsInterrogator::run: started" << "for item:" << m_item.toString();
    registerServerApiMetaTypes();
    QEventLoop loop;
    auto *request = new brindlex::Items::CItemsGetRoleRequest(m_userSession, m_item.tenantId, m_item.serverId);
    // The interrogator object lives on the caller's (blocked) thread: collect the answer here.
    connect(request, &brindlex::Items::CItemsGetRoleRequest::finishedSignal, request,
            [this, &loop](ErrorCode error, brindlex::Items::CItemsGetRoleResponse response) {
                probeContinue(error, response);
                loop.quit();
            },
            Qt::DirectConnection);
    request->exec();
    loop.exec();
    qDebug().noquote() << "CAccessRightsInterrogator::run: finished" << "for item:" << m_item.toString();
    CNetworkAccessManager::deleteInstanceForCurrentThread();
}

ErrorCode CAccessRightsInterrogator::verdictFor(const ErrorCode &error, brindlex::Role role)
{
    if (error.isSuccess()) {
        if (role == brindlex::RoleReader)
            return ServerApiErrorCode::AccessDenied;
        if (role == brindlex::RoleNone)
            return ServerApiErrorCode::ItemNotFound;
        return ServerApiErrorCode::ErrorSuccess;
    }
    if (error.errorEnum == ServerApiErrorCode::AccessDenied || error.errorEnum == ServerApiErrorCode::ItemNotFound)
        return ServerApiErrorCode::ItemNotFound;
    return error;
}

void CAccessRightsInterrogator::probeContinue(ErrorCode error, brindlex::Items::CItemsGetRoleResponse response)
{
    qDebug().noquote() << "CAccessRightsInterrogator::probeContinue: error:" << error.errorName << "for item:"
                       << m_item.toString() << "response:" << response.toString();
    m_result = verdictFor(error, response.role);
}
