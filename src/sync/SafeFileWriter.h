#pragma once

#include <QFile>
#include <QString>
#include <QTextStream>

// Replaces a file so that a crash at any moment leaves either the old or the new content
// readable: the data go to "<path>.new", the old file steps aside as "<path>.old" during the swap.
class CSafeFileWriter : public QFile
{
public:
    explicit CSafeFileWriter(const QString &targetPath);
    ~CSafeFileWriter() override;

    // Always write-only text, whatever is asked: the target is only ever replaced whole.
    bool open(OpenMode mode = QIODevice::WriteOnly) override;
    void write(const QString &text);
    bool commit();

    QString targetPath() const { return m_targetPath; }

    // Run before reading the target: finishes or undoes a replacement a crash interrupted.
    static void fixUnfinishedChanges(const QString &path);

private:
    const QString m_targetPath;
    bool m_open = false;
};
