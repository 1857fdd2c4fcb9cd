#include "SyncHash.h"

#include "AppState.h"
#include "utils.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtDebug>

#include <memory>

#include <openssl/evp.h>

CSyncHashCalculator::CSyncHashCalculator(QObject *parent)
    : QObject(parent)
    , m_context(EVP_MD_CTX_new())
{
    reset();
}

CSyncHashCalculator::~CSyncHashCalculator()
{
    EVP_MD_CTX_free(m_context);
}

void CSyncHashCalculator::reset()
{
    if (!m_context || EVP_DigestInit_ex(m_context, EVP_sha1(), nullptr) != 1)
        qCritical() << "CSyncHashCalculator::reset: SHA-1 unavailable";
}

void CSyncHashCalculator::addData(const char *data, qint64 length)
{
    if (m_context && length > 0)
        EVP_DigestUpdate(m_context, data, size_t(length));
}

QByteArray CSyncHashCalculator::result() const
{
    // Finalising a copy keeps the running state usable.
    QByteArray digest(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int size = 0;
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    const bool ok = copy && m_context && EVP_MD_CTX_copy_ex(copy, m_context) == 1
        && EVP_DigestFinal_ex(copy, reinterpret_cast<unsigned char *>(digest.data()), &size) == 1;
    EVP_MD_CTX_free(copy);
    if (!ok) {
        qCritical() << "CSyncHashCalculator::result: SHA-1 unavailable";
        return QByteArray();
    }
    digest.resize(int(size));
    return digest;
}

QString CSyncHashCalculator::hexResult() const
{
    return QString::fromLatin1(result().toHex());
}

QString CSyncHash::calculateByFilePath(const QString &filePath)
{
    CSyncHashCalculator calculator;
    if (!utils::fileExistsNative(filePath, false, false) && !utils::fileExistsNative(filePath, true, false)) {
        qWarning() << "CSyncHash::calculateByFilePath: file does not exists:" << filePath;
        return QString();
    }

    const std::unique_ptr<char[]> buffer(new char[blockSize]);
    QElapsedTimer stopwatch;
    stopwatch.start();
    qint64 offset = 0;

    while (!appstate::isShuttingDown()) {
        QFile file(filePath);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            qWarning() << "CSyncHash::calculateByFilePath: file open error:" << filePath << file.errorString();
            return QString();
        }
        qint64 count = -1;
        if (file.seek(offset))
            count = file.read(buffer.get(), blockSize);
        file.close();

        if (count == 0) {
            const qint64 seconds = stopwatch.elapsed() / 1000;
            if (seconds > 0) {
                const qint64 megabytes = offset / 1048576;
                qDebug() << "CSyncHash::calculateByFilePath: statistic:" << megabytes << "[MB]," << seconds << "[s],"
                         << megabytes / seconds << "[MB/s], filePath:" << filePath;
            }
            return calculator.hexResult();
        }
        if (count < 0) {
            qWarning() << "CSyncHash::calculateByFilePath: file read error:" << filePath;
            return QString();
        }
        calculator.addData(buffer.get(), count);
        offset += count;
    }

    qDebug() << "CSyncHash::calculateByFilePath: file hash calculation was canceled by quit signal:" << filePath;
    return QString();
}
