#pragma once

#include "AccessRights.h"
#include "MetaTypes.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QtTest>

namespace testsupport {

// Points HOME and the XDG folders at a fresh temporary folder, so that a test can never
// read or write the real home folder or a previous run's data.
class IsolatedHome
{
public:
    IsolatedHome();
    QString path() const { return m_dir.path(); }
    QString dataDirectory() const; // where the engine keeps its data for "Brindlex"

private:
    QTemporaryDir m_dir;
};

} // namespace testsupport

#define BXSYNC_TEST_MAIN(TestClass)                                  \
    int main(int argc, char *argv[])                                 \
    {                                                                \
        testsupport::IsolatedHome home;                              \
        QCoreApplication app(argc, argv);                            \
        QCoreApplication::setApplicationName("Brindlex");            \
        registerEngineMetaTypes();                                   \
        CAccessRightsInterrogator::install();                        \
        TestClass tc;                                                \
        return QTest::qExec(&tc, argc, argv);                        \
    }
