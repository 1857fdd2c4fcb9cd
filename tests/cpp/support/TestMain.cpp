#include "TestMain.h"

#include <QDir>

namespace testsupport {

IsolatedHome::IsolatedHome()
    : m_dir(QDir::tempPath() + "/bxsync-test-XXXXXX")
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

QString IsolatedHome::dataDirectory() const
{
    return m_dir.path() + "/.local/share/Brindlex";
}

} // namespace testsupport
