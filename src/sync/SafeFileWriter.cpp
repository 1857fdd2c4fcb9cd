#include "SafeFileWriter.h"

#include "utils.h"

#include <QDebug>

#include <unistd.h>

CSafeFileWriter::CSafeFileWriter(const QString &targetPath)
    : QFile(targetPath + ".new")
    , m_targetPath(targetPath)
{
}

CSafeFileWriter::~CSafeFileWriter()
{
    if (m_open)
        commit();
}

bool CSafeFileWriter::open(OpenMode)
{
    m_open = QFile::open(QIODevice::WriteOnly | QIODevice::Text | QIODevice::Truncate);
    // Before the first byte: the replacement must not be more readable than the file it replaces.
    if (m_open) {
        const QFileDevice::Permissions kept = QFile::permissions(m_targetPath);
        setPermissions(kept ? kept : utils::privateFilePermissions);
    }
    return m_open;
}

void CSafeFileWriter::write(const QString &text)
{
    QTextStream stream(this);
    stream.setCodec("UTF-8");
    stream << text;
    stream.flush();
}

bool CSafeFileWriter::commit()
{
    if (!m_open)
        return false;
    flush();
    // The rename below must never expose a file whose bytes are still only in the page cache.
    ::fsync(handle());
    const bool written = error() == QFileDevice::NoError;
    close();
    m_open = false;
    if (!written) {
        qCritical() << "CSafeFileWriter::commit: write failed, keeping the previous file:" << m_targetPath;
        QFile::remove(fileName());
        return false;
    }
    QFile::rename(m_targetPath, m_targetPath + ".old");
    if (!QFile::rename(fileName(), m_targetPath)) {
        qCritical() << "CSafeFileWriter::commit: unable to replace" << m_targetPath;
        QFile::rename(m_targetPath + ".old", m_targetPath);
        return false;
    }
    QFile::remove(m_targetPath + ".old");
    return true;
}

void CSafeFileWriter::fixUnfinishedChanges(const QString &path)
{
    if (QFile::exists(path)) {
        QFile::remove(path + ".new");
        QFile::remove(path + ".old");
    } else if (QFile::exists(path + ".old")) {
        qWarning() << "CSafeFileWriter::fixUnfinishedChanges: missing file" << path << "restored from the backup copy";
        QFile::rename(path + ".old", path);
    } else if (QFile::exists(path + ".new")) {
        QFile::remove(path + ".new");
        qCritical() << "CSafeFileWriter::fixUnfinishedChanges: backup file for" << path
                    << "doesn't exists - there is no way hot to restore damaged file";
    }
}
