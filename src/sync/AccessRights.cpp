#include "AccessRights.h"

#include <QDebug>

void CAccessRightsInterrogator::probe(const QSharedPointer<CUserSession> &userSession, const CustomItem &item,
                                      QObject *context, Verdict done)
{
    Q_ASSERT_X(context, "CAccessRightsInterrogator::probe", "context");
    qDebug().noquote() << "CAccessRightsInterrogator::probe: starting for item:" << item.toString();
    using brindlex::Items::CItemsGetRoleRequest;
    using brindlex::Items::CItemsGetRoleResponse;
    auto *request = new CItemsGetRoleRequest(userSession, item.tenantId, item.serverId);
    QObject::connect(
        request, &CItemsGetRoleRequest::finishedSignal, context,
        [context, item, done](ErrorCode error, CItemsGetRoleResponse response) {
            const ErrorCode verdict = verdictFor(error, response.role);
            qDebug().noquote() << "CAccessRightsInterrogator::probe: error:" << error.errorName << "for item:"
                               << item.toString() << "response:" << response.toString()
                               << "verdict:" << verdict.errorName;
            // The call may report from inside exec(): queued, the caller never sees a re-entrant verdict.
            QMetaObject::invokeMethod(context, [done, verdict] { done(verdict); }, Qt::QueuedConnection);
        },
        Qt::DirectConnection);
    request->exec();
}

void CAccessRightsInterrogator::install()
{
    setAccessDeniedProbe(&CAccessRightsInterrogator::probe);
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
