#include "SyncProgress.h"

#include <QDebug>
#include <QJsonDocument>
#include <QUuid>

#include <algorithm>
#include <utility>

// ---------------------------------------------------------------------------------------------
// CSignalReducer

CSignalReducer::CSignalReducer(int periodMs, bool twoOutputsAfterBurst, QObject *parent)
    : QObject(parent)
    , m_timer(this)
    , m_twoOutputsAfterBurst(twoOutputsAfterBurst)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(periodMs);
    connect(&m_timer, &QTimer::timeout, this, &CSignalReducer::timerSlot);
    // Queued, so that an output never runs inside the caller of inputSlot.
    connect(this, &CSignalReducer::internalOutputSignal, this, &CSignalReducer::internalOutputSlot,
            Qt::QueuedConnection);
}

void CSignalReducer::inputSlot()
{
    m_pending = m_twoOutputsAfterBurst ? 2 : 1;
    if (m_timer.isActive())
        return;
    emit internalOutputSignal();
    --m_pending;
    m_timer.start();
}

void CSignalReducer::timerSlot()
{
    if (m_pending <= 0)
        return;
    emit internalOutputSignal();
    --m_pending;
    m_timer.start();
}

void CSignalReducer::internalOutputSlot()
{
    emit outputSignal();
}

// ---------------------------------------------------------------------------------------------
// SyncProgressFile

QString SyncProgressFile::operationText(int operation)
{
    switch (operation) {
    case Download:
        return QStringLiteral("download");
    case Upload:
        return QStringLiteral("upload");
    default:
        return QStringLiteral("OperationUnknown(%1)").arg(operation);
    }
}

QString SyncProgressFile::toString() const
{
    return QStringLiteral("[clientId: %1, fileName: %2, operation: %3, finished: %4, error: %5]")
        .arg(clientId)
        .arg(fileName, operationText(operation), finished ? QStringLiteral("true") : QStringLiteral("false"),
             error.errorName);
}

// ---------------------------------------------------------------------------------------------
// Pure rules

namespace syncprogress {

double fileProgress(const SyncProgressFile &file)
{
    if (file.finished)
        return 1.0;
    if (file.bytesDone == file.bytesTotal || file.bytesTotal == 0)
        return 0.99;
    if (file.bytesDone == 0)
        return 0.0;
    return std::clamp(double(file.bytesDone) / double(file.bytesTotal), 0.0, 1.0);
}

QJsonValue errorValue(const ErrorCode &error)
{
    if (error == ServerApiErrorCode::QuotaExceeded)
        return QStringLiteral("Quota exceeded");
    if (error == ServerApiErrorCode::AccessDenied)
        return QStringLiteral("Team is read-only");
    return true;
}

bool isReportedUploadEnd(const ErrorCode &error)
{
    return error != ServerApiErrorCode::InvalidAccessToken;
}

void applyUpdate(SyncProgressFile &file, quint64 bytesDone, quint64 bytesTotal, bool finished, const ErrorCode &error)
{
    file.finished = file.finished || finished;
    if (!file.finished) {
        file.bytesDone = bytesDone;
        file.bytesTotal = bytesTotal;
    }
    if (!error.isSuccess())
        file.error = error;
}

Totals totals(const SyncProgressCounts &counts, int downloadEntries, int uploadEntries)
{
    Totals t;
    t.itemsToDownload =
        quint64(counts.filesToDownload) + counts.filesMovedOrDeletedOnServer + counts.foldersChangedOnServer;
    t.itemsToUpload = quint64(counts.filesToUpload) + counts.filesMovedOrDeletedOnClient + counts.foldersChangedOnClient;
    // A library waiting to be added or removed is the only work left before its items are known.
    if (t.itemsToDownload == 0 && t.itemsToUpload == 0)
        t.itemsToDownload = counts.librariesToAddOrRemove;
    t.itemsToGo = t.itemsToDownload + t.itemsToUpload;
    const auto more = [](quint64 items, int entries) {
        return items > quint64(std::max(entries, 0)) ? items - quint64(entries) : quint64(0);
    };
    t.moreToDownload = more(t.itemsToDownload, downloadEntries);
    t.moreToUpload = more(t.itemsToUpload, uploadEntries);
    return t;
}

QJsonObject fileObject(const SyncProgressFile &file)
{
    QJsonObject status{{QStringLiteral("type"), SyncProgressFile::operationText(file.operation)},
                       {QStringLiteral("progress"), fileProgress(file)}};
    if (file.finished) {
        status.insert(QStringLiteral("finished"), true);
        if (!file.error.isSuccess())
            status.insert(QStringLiteral("error"), errorValue(file.error));
    }
    const QJsonObject info{{QStringLiteral("fileName"), file.fileName},
                           {QStringLiteral("tenantId"), file.tenantId},
                           {QStringLiteral("parentType"), QStringLiteral("team")},
                           {QStringLiteral("parentId"), file.teamId}};
    return QJsonObject{{QStringLiteral("id"), file.id}, {QStringLiteral("info"), info}, {QStringLiteral("status"), status}};
}

QString reportJson(const SyncProgressCounts &counts, const QList<SyncProgressFile::Ptr> &files)
{
    int downloads = 0;
    int uploads = 0;
    QJsonArray fileArray;
    for (const SyncProgressFile::Ptr &file : files) {
        if (file->operation == SyncProgressFile::Download)
            ++downloads;
        else if (file->operation == SyncProgressFile::Upload)
            ++uploads;
        fileArray.append(fileObject(*file));
    }
    const Totals t = totals(counts, downloads, uploads);
    const auto number = [](quint64 v) { return QJsonValue(qint64(v)); };
    const QJsonObject report{{QStringLiteral("itemsToGo"), number(t.itemsToGo)},
                             {QStringLiteral("itemsToDownload"), number(t.itemsToDownload)},
                             {QStringLiteral("itemsToUpload"), number(t.itemsToUpload)},
                             {QStringLiteral("bytesToDownload"), number(counts.bytesToDownload)},
                             {QStringLiteral("bytesToUpload"), number(counts.bytesToUpload)},
                             {QStringLiteral("files"), fileArray},
                             {QStringLiteral("moreToDownload"), number(t.moreToDownload)},
                             {QStringLiteral("moreToUpload"), number(t.moreToUpload)}};
    return QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Compact));
}

} // namespace syncprogress

// ---------------------------------------------------------------------------------------------
// CSyncProgressFileList

CSyncProgressFileList::CSyncProgressFileList(const QSharedPointer<CSyncDatabase> &syncDatabase)
    : m_syncDatabase(syncDatabase)
{
}

void CSyncProgressFileList::reportProgress(ItemId clientId, int operation, quint64 bytesDone, quint64 bytesTotal,
                                           bool finished, const ErrorCode &error)
{
    SyncProgressFile::Ptr entry = m_files.value(clientId);
    if (!entry) {
        const SyncFile::Ptr file = m_syncDatabase->getFile(clientId);
        const SyncLibrary::Ptr library = file ? m_syncDatabase->getLibraryOfItem(clientId) : SyncLibrary::Ptr();
        const QString fileName = !file ? QString() : file->ServerName.isEmpty() ? file->ClientName : file->ServerName;
        const QString teamId = library ? library->TeamId : QString();
        const QString tenantId = library ? library->TenantId : QString();
        if (fileName.isEmpty() || teamId.isEmpty() || tenantId.isEmpty()) {
            qCritical() << "CSyncProgressFileList::reportProgress: failed to fetch info for file:"
                        << "clientId:" << clientId << "fileName:" << fileName << "teamId:" << teamId
                        << "tenantId:" << tenantId;
            return;
        }
        entry.reset(new SyncProgressFile);
        entry->id = QUuid::createUuid().toString(QUuid::WithBraces);
        entry->clientId = clientId;
        entry->fileName = fileName;
        entry->teamId = teamId;
        entry->tenantId = tenantId;
        entry->operation = operation;
        m_files.insert(clientId, entry);
        syncprogress::applyUpdate(*entry, bytesDone, bytesTotal, finished, error);
        qDebug().noquote() << "CSyncProgressFileList::reportProgress: added file:" << entry->toString();
    } else {
        syncprogress::applyUpdate(*entry, bytesDone, bytesTotal, finished, error);
    }
    if (entry->finished)
        qDebug().noquote() << "CSyncProgressFileList::reportProgress: finished file:" << entry->toString();
}

int CSyncProgressFileList::count(int operation) const
{
    return int(std::count_if(m_files.cbegin(), m_files.cend(),
                             [operation](const SyncProgressFile::Ptr &f) { return f->operation == operation; }));
}

void CSyncProgressFileList::removeAllFinishedFiles()
{
    for (auto it = m_files.begin(); it != m_files.end();) {
        if ((*it)->finished) {
            qDebug().noquote() << "CSyncProgressFileList::removeAllFinishedFiles: removed file:" << (*it)->toString();
            it = m_files.erase(it);
        } else {
            ++it;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// CSyncProgressManager

CSyncProgressManager::CSyncProgressManager(const QSharedPointer<CSyncDatabase> &syncDatabase, int periodMs,
                                           QObject *parent)
    : QObject(parent)
    , m_fileList(new CSyncProgressFileList(syncDatabase))
    , m_syncDatabase(syncDatabase)
{
    qDebug() << "CSyncProgressManager::CSyncProgressManager";
    Q_ASSERT_X(!parent, "CSyncProgressManager", "moves to its own thread, so it cannot have a parent");

    m_countsReducer = new CSignalReducer(periodMs, false, this);
    connect(m_syncDatabase.data(), &CSyncDatabase::syncDatabaseChangedSignal, m_countsReducer,
            &CSignalReducer::inputSlot, Qt::QueuedConnection);
    connect(m_countsReducer, &CSignalReducer::outputSignal, this, &CSyncProgressManager::syncDatabaseChangedSlot,
            Qt::QueuedConnection);
    m_reportReducer = new CSignalReducer(periodMs, false, this);
    connect(m_reportReducer, &CSignalReducer::outputSignal, this, &CSyncProgressManager::syncProgressChangedSlot,
            Qt::QueuedConnection);
    // finished is emitted on the manager's own thread, which still owns its database connection there.
    connect(&m_thread, &QThread::finished, this, &CSyncProgressManager::cleanupSlot, Qt::DirectConnection);
    m_thread.setObjectName(QStringLiteral("SyncProgress"));
    moveToThread(&m_thread);
    m_thread.start(QThread::InheritPriority);
}

CSyncProgressManager::~CSyncProgressManager()
{
    qDebug() << "CSyncProgressManager::~CSyncProgressManager";
    m_thread.quit();
    qDebug() << "CSyncProgressManager::~CSyncProgressManager: waiting for sync progress thread to quit...";
    m_thread.wait();
    qDebug() << "CSyncProgressManager::~CSyncProgressManager: finished";
}

void CSyncProgressManager::evaluateCountsNow()
{
    QMetaObject::invokeMethod(this, [this] {
        m_startUpReading = true;
        m_countsReducer->inputSlot();
    }, Qt::QueuedConnection);
}

void CSyncProgressManager::fileDownloadProgressSlot(QString, ItemId clientId, qulonglong bytesDone, qulonglong bytesTotal)
{
    m_fileList->reportProgress(clientId, SyncProgressFile::Download, bytesDone, bytesTotal, false, ErrorCode());
    m_reportReducer->inputSlot();
}

void CSyncProgressManager::fileUploadProgressSlot(QString, ItemId clientId, qulonglong bytesDone, qulonglong bytesTotal)
{
    m_fileList->reportProgress(clientId, SyncProgressFile::Upload, bytesDone, bytesTotal, false, ErrorCode());
    m_reportReducer->inputSlot();
}

void CSyncProgressManager::fileDownloadFinishedSlot(QString, ItemId clientId)
{
    m_fileList->reportProgress(clientId, SyncProgressFile::Download, 0, 0, true, ErrorCode());
    m_reportReducer->inputSlot();
}

void CSyncProgressManager::fileUploadFinishedSlot(QString, ItemId clientId, ErrorCode error)
{
    if (!syncprogress::isReportedUploadEnd(error)) {
        // The retry with a fresh session reports again; until then the entry would only look stuck.
        qDebug() << "CSyncProgressManager::fileUploadFinishedSlot: not reported, to be retried: clientId:" << clientId
                 << "error:" << error;
        m_fileList->removeFile(clientId);
        return;
    }
    m_fileList->reportProgress(clientId, SyncProgressFile::Upload, 0, 0, true, error);
    m_reportReducer->inputSlot();
}

void CSyncProgressManager::syncDatabaseChangedSlot()
{
    m_countsQueries.fetchAndAddRelaxed(1);
    const SyncProgressCounts counts = m_syncDatabase->getSyncProgressCounts();
    const bool startUp = std::exchange(m_startUpReading, false);
    // After the first change the host hears once that all is done, even if nothing was to do. The
    // start-up reading stays quiet then: its report would arrive in place of the host's first
    // session request, which the add-on delivers together with a pending report.
    if (counts == m_lastCounts && (m_countsReported || startUp))
        return;
    m_countsReported = true;
    m_lastCounts = counts;
    m_reportReducer->inputSlot();
}

void CSyncProgressManager::syncProgressChangedSlot()
{
    const QString report = syncprogress::reportJson(m_lastCounts, m_fileList->files());
    m_fileList->removeAllFinishedFiles();
    emit syncProgressChangedSignal(report);
}

void CSyncProgressManager::cleanupSlot()
{
    qDebug() << "CSyncProgressManager::cleanupSlot";
    m_countsReducer->stop();
    m_reportReducer->stop();
    m_syncDatabase->closeDatabaseForCurrentThread();
}
