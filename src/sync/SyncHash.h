#pragma once

#include <QCryptographicHash>
#include <QObject>
#include <QSharedPointer>
#include <QString>

// The content hash of a local file: SHA-1 as 40 lower-case hexadecimal characters, the same
// form the server and the download path use, so all hashes compare as plain strings.
class CSyncHash
{
public:
    // Empty string on any failure (missing file, folder, read error, shutdown): callers treat
    // it as "unknown". Reads 10 MiB blocks and reopens the file for each block, so another
    // program is never locked out for longer than one read; stops within one block of shutdown.
    static QString calculateByFilePath(const QString &filePath);

    static constexpr qint64 blockSize = 10485760;
};

// One calculation's digest state; each call owns its own, so threads never share one.
class CSyncHashCalculator : public QObject
{
    Q_OBJECT
public:
    explicit CSyncHashCalculator(QObject *parent = nullptr);

    void addData(const char *data, qint64 length);
    QString hexResult() const;

private:
    const QSharedPointer<QCryptographicHash> m_hash;
};
