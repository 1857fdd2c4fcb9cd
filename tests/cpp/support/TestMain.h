#pragma once

#include "AccessRights.h"
#include "MetaTypes.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QtTest>

namespace testsupport {

// Points HOME and the XDG folders at a fresh temporary folder, so that a test can never read or
// write the real home folder or a previous run's data.
class IsolatedHome
{
public:
    IsolatedHome()
    {
        if (!m_dir.isValid())
            qFatal("IsolatedHome: cannot create a temporary folder");
        const QByteArray root = m_dir.path().toUtf8();
        qputenv("HOME", root);
        qputenv("XDG_DATA_HOME", root + "/.local/share");
        qputenv("XDG_CONFIG_HOME", root + "/.config");
        qputenv("XDG_CACHE_HOME", root + "/.cache");
        QDir().mkpath(m_dir.path() + "/.local/share");
    }

private:
    QTemporaryDir m_dir{QDir::tempPath() + "/bxsync-test-XXXXXX"};
};

} // namespace testsupport

#define BXSYNC_TEST_MAIN(TestClass)                       \
    int main(int argc, char *argv[])                      \
    {                                                     \
        testsupport::IsolatedHome home;                   \
        QCoreApplication app(argc, argv);                 \
        QCoreApplication::setApplicationName("Brindlex"); \
        registerEngineMetaTypes();                        \
        CAccessRightsInterrogator::install();             \
        TestClass tc;                                     \
        return QTest::qExec(&tc, argc, argv);             \
    }
