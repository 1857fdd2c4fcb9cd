#pragma once

#include "ServerApiErrorCode.h"
#include "SyncDatabase.h"
#include "SyncRecords.h"

#include <QAtomicInteger>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QThread>
#include <QTimer>

// Coalesces bursts of a signal: the first input of a quiet period passes at once, any number of
// further inputs within the next period give exactly one more output when the period ends.
class CSignalReducer : public QObject
{
    Q_OBJECT
public:
    explicit CSignalReducer(int periodMs = 1000, bool twoOutputsAfterBurst = false, QObject *parent = nullptr);

    void stop() { m_timer.stop(); }

signals:
    void outputSignal();
    void internalOutputSignal();

public slots:
    void inputSlot();

private slots:
    void timerSlot();
    void internalOutputSlot();

private:
    QTimer m_timer;
    int m_pending = 0;
    const bool m_twoOutputsAfterBurst;
};

// One file in transfer as the progress report shows it.
struct SyncProgressFile
{
    using Ptr = QSharedPointer<SyncProgressFile>;
    enum Operation { Download = 0, Upload = 1 };

    QString id; // braced UUID, fresh per entry
    ItemId clientId = 0;
    QString fileName;
    QString teamId;
    QString tenantId;
    int operation = Download;
    quint64 bytesDone = 0;
    quint64 bytesTotal = 0;
    bool finished = false;
    ErrorCode error;

    static QString operationText(int operation);
    // "[clientId: %1, fileName: %2, operation: %3, finished: %4, error: %5]"
    QString toString() const;
};

// The pure parts of a progress report.
namespace syncprogress {

// 1 once finished; 0.99 while the last byte is done but the transfer is not; else the fraction.
double fileProgress(const SyncProgressFile &file);
// "Quota exceeded", "Team is read-only", or true for any other failure.
QJsonValue errorValue(const ErrorCode &error);
// An upload ended by an invalid token is retried with a new session, so it is no result to show.
bool isReportedUploadEnd(const ErrorCode &error);
// Finished never returns to false, and the byte counts of a finished entry stay as they were.
void applyUpdate(SyncProgressFile &file, quint64 bytesDone, quint64 bytesTotal, bool finished, const ErrorCode &error);

struct Totals
{
    quint64 itemsToGo = 0;
    quint64 itemsToDownload = 0;
    quint64 itemsToUpload = 0;
    quint64 moreToDownload = 0;
    quint64 moreToUpload = 0;
};
Totals totals(const SyncProgressCounts &counts, int downloadEntries, int uploadEntries);

QJsonObject fileObject(const SyncProgressFile &file);
// The compact report text; member order is alphabetical, byte counts exact up to 2^53.
QString reportJson(const SyncProgressCounts &counts, const QList<SyncProgressFile::Ptr> &files);

} // namespace syncprogress

// The files in transfer, keyed by client id; names and tenants come from the database.
class CSyncProgressFileList
{
public:
    explicit CSyncProgressFileList(const QSharedPointer<CSyncDatabase> &syncDatabase);

    void reportProgress(ItemId clientId, int operation, quint64 bytesDone, quint64 bytesTotal, bool finished,
                        const ErrorCode &error);
    QList<SyncProgressFile::Ptr> files() const { return m_files.values(); }
    int count(int operation) const;
    void removeAllFinishedFiles();
    // Drops an entry without a finished report.
    void removeFile(ItemId clientId) { m_files.remove(clientId); }

private:
    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    QHash<ItemId, SyncProgressFile::Ptr> m_files;
};

// Builds the progress report for the host from the database's counts and the files in transfer, at
// most about one report per second, on a thread of its own.
//
// The transfers connect to the four file slots, queued; the byte counts are 64-bit throughout:
//   fileDownloadProgressSlot / fileUploadProgressSlot (fileName, clientId, bytesDone, bytesTotal)
//   fileDownloadFinishedSlot (fileName, clientId)
//   fileUploadFinishedSlot (fileName, clientId, error)
// The file names are not used: the report takes them from the database.
class CSyncProgressManager : public QObject
{
    Q_OBJECT
public:
    // periodMs: the shortest time between two reports and between two reads of the counts.
    explicit CSyncProgressManager(const QSharedPointer<CSyncDatabase> &syncDatabase, int periodMs = 1000,
                                  QObject *parent = nullptr);
    ~CSyncProgressManager() override;

    // Reads the counts once at start; a report follows unless they are all 0.
    void evaluateCountsNow();
    // How often the counts were read; what the tests and benchmarks watch.
    quint64 countsQueryCount() const { return m_countsQueries.loadRelaxed(); }

signals:
    void syncProgressChangedSignal(QString syncProgressJsonString);

public slots:
    void fileDownloadProgressSlot(QString fileName, ItemId clientId, qulonglong bytesDone, qulonglong bytesTotal);
    void fileUploadProgressSlot(QString fileName, ItemId clientId, qulonglong bytesDone, qulonglong bytesTotal);
    void fileDownloadFinishedSlot(QString fileName, ItemId clientId);
    void fileUploadFinishedSlot(QString fileName, ItemId clientId, ErrorCode error);
    void syncDatabaseChangedSlot();

private slots:
    void syncProgressChangedSlot();
    void cleanupSlot();

private:
    QSharedPointer<CSyncProgressFileList> m_fileList;
    const QSharedPointer<CSyncDatabase> m_syncDatabase;
    QThread m_thread;
    CSignalReducer *m_countsReducer = nullptr;
    CSignalReducer *m_reportReducer = nullptr;
    SyncProgressCounts m_lastCounts;
    bool m_startUpReading = false;
    bool m_countsReported = false;
    QAtomicInteger<quint64> m_countsQueries = 0;
};
