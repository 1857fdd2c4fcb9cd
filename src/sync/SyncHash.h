#pragma once

#include <QByteArray>
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

// One calculation's SHA-1 state; each call owns its own, so threads never share one. libcrypto's
// digest rather than Qt's: on a download it is most of the work besides the transfer itself.
class CSyncHashCalculator : public QObject
{
    Q_OBJECT
public:
    explicit CSyncHashCalculator(QObject *parent = nullptr);
    ~CSyncHashCalculator() override;

    void reset();
    void addData(const char *data, qint64 length);
    // The digest of everything added so far; more may be added afterwards.
    QByteArray result() const;
    QString hexResult() const;

private:
    struct evp_md_ctx_st *m_context = nullptr;
};
