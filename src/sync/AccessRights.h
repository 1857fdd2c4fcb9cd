#pragma once

#include "JsonResponse.h"
#include "ServerApi.h"
#include "UserSession.h"

#include <QSharedPointer>
#include <QThread>

// Turns an access-denied answer into what the user may still do with the item, by asking for the
// role on a thread of its own: the caller's thread is blocked meanwhile, its event loop unusable.
class CAccessRightsInterrogator : public QThread
{
    Q_OBJECT
public:
    CAccessRightsInterrogator(const QSharedPointer<CUserSession> &userSession, const CustomItem &item);
    ~CAccessRightsInterrogator() override;

    ErrorCode probe();

    // The verdict for a role answer: Reader may read only, None may not see it at all.
    static ErrorCode verdictFor(const ErrorCode &error, brindlex::Role role);

protected:
    void run() override;

private slots:
    void probeContinue(ErrorCode error, brindlex::Items::CItemsGetRoleResponse response);

private:
    const QSharedPointer<CUserSession> m_userSession;
    const CustomItem m_item;
    ErrorCode m_result;
};
