#include "SyncHash.h"

#include "main.h"
#include "utils.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtDebug>

#include <memory>

CSyncHashCalculator::CSyncHashCalculator(QObject *parent)
    : QObject(parent)
    , m_hash(QSharedPointer<QCryptographicHash>::create(QCryptographicHash::Sha1))
{
}

void CSyncHashCalculator::addData(const char *data, qint64 length)
{
    m_hash->addData(data, int(length));
}

QString CSyncHashCalculator::hexResult() const
{
    return QString::fromLatin1(m_hash->result().toHex());
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
