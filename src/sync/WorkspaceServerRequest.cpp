#include "WorkspaceServerRequest.h"

#include "AppState.h"
#include "Config.h"
#include "TcpSendDelay.h"
#include "Version.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSysInfo>
#include <QThread>
#include <QTimerEvent>

namespace {

const char kQaDomain[] = "qa.brindlex.com";

#ifdef BXSYNC_BRANCH_PRODUCTION
constexpr bool kDevelopmentBuild = false;
#else
constexpr bool kDevelopmentBuild = true;
#endif

struct ManagerRegistry
{
    ~ManagerRegistry()
    {
        if (!managers.isEmpty())
            qWarning() << "CNetworkAccessManager::~CNetworkAccessManager: leftover instances for threads:" << threadIds();
    }
    QList<quintptr> threadIds() const
    {
        QList<quintptr> ids;
        for (auto it = managers.cbegin(); it != managers.cend(); ++it)
            ids << quintptr(it.key());
        return ids;
    }
    QMutex mutex;
    QHash<Qt::HANDLE, QSharedPointer<QNetworkAccessManager>> managers;
};

ManagerRegistry &registry()
{
    static ManagerRegistry instance;
    return instance;
}

// A manager may only be destroyed on its own thread; one left behind by an ended thread is
// handed to that thread's (gone) loop and simply never runs again.
void releaseManager(QNetworkAccessManager *manager)
{
    if (manager->thread() == QThread::currentThread())
        delete manager;
    else
        manager->deleteLater();
}

QString threadIdText(Qt::HANDLE id)
{
    return QStringLiteral("0x") + QString::number(quintptr(id), 16);
}

int configuredDownloadLimit()
{
    const QSharedPointer<CConfig> config = CConfig::instance();
    return config ? config->downloadSpeedLimit() : 0;
}

bool sslResumingDisabled()
{
    const QSharedPointer<CConfig> config = CConfig::instance();
    return config && config->disableSslSessionResuming();
}

QString networkErrorName(QNetworkReply::NetworkError error)
{
    const QMetaEnum e = QMetaEnum::fromType<QNetworkReply::NetworkError>();
    const char *name = e.valueToKey(error);
    return name ? QString::fromLatin1(name) : QString::number(int(error));
}

} // namespace

// --- CWorkspaceServerRequest ---------------------------------------------------------------------

CWorkspaceServerRequest::CWorkspaceServerRequest(const QSharedPointer<CUserSession> &userSession, int msTimeout,
                                                 QObject *parent)
    : QObject(parent)
    , m_userSession(userSession)
{
    Q_ASSERT_X(m_userSession, "CWorkspaceServerRequest", "m_userSession");
    if (m_userSession)
        m_serverAddress = m_userSession->getServerAddress();
    setUpPacing(msTimeout);
}

CWorkspaceServerRequest::CWorkspaceServerRequest(const ServerAddress &serverAddress, int msTimeout, QObject *parent)
    : QObject(parent)
    , m_serverAddress(serverAddress)
{
    setUpPacing(msTimeout);
}

CWorkspaceServerRequest::~CWorkspaceServerRequest()
{
    if (m_reply) {
        m_reply->disconnect(this);
        delete m_reply;
    }
}

void CWorkspaceServerRequest::pacingFor(int downloadLimitKiBps, int *tickInterval, int *chunkSize)
{
    int interval = 100;
    int chunk = 1048576;
    const int limit = downloadLimitKiBps;
    if (limit != 0 && limit < 10240) {
        if (limit < 10)
            interval = 1000;
        else if (limit < 50)
            interval = 500;
        chunk = interval * limit * 1024 / 1000;
    }
    *tickInterval = interval;
    *chunkSize = qBound(1024, chunk, 1048576);
}

quint32 CWorkspaceServerRequest::timeoutTicksFor(int msTimeout, int tickInterval)
{
    if (msTimeout == 0)
        return 0;
    if (msTimeout < tickInterval)
        return 1;
    return quint32(msTimeout / tickInterval);
}

void CWorkspaceServerRequest::setUpPacing(int msTimeout)
{
    const int limit = configuredDownloadLimit();
    pacingFor(limit, &m_tickInterval, &m_chunkSize);
    m_readAsArrives = limit == 0 || limit >= 10240;
    m_readBuffer.reset(new QByteArray(m_chunkSize, Qt::Uninitialized));
    m_timeoutTicks = timeoutTicksFor(msTimeout, m_tickInterval);
}

void CWorkspaceServerRequest::setInactivityTimeout(int msTimeout)
{
    m_timeoutTicks = timeoutTicksFor(msTimeout, m_tickInterval);
}

QString CWorkspaceServerRequest::operatingSystemText()
{
    static const QString text = QStringLiteral("Linux ") + QSysInfo::kernelVersion().section('-', 0, 0) + ' '
        + (QSysInfo::currentCpuArchitecture().contains(QLatin1String("64")) ? QStringLiteral("x64")
                                                                             : QStringLiteral("x32"));
    return text;
}

QString CWorkspaceServerRequest::userAgent()
{
    return QStringLiteral("%1/%2;%3;%4")
        .arg(QStringLiteral("BxSync"), QLatin1String(kEngineVersion), QStringLiteral("Brindlex"), operatingSystemText());
}

QString CWorkspaceServerRequest::headersForLog(const QNetworkRequest &request)
{
    QString text;
    for (const QByteArray &name : request.rawHeaderList()) {
        QString value = QString::fromLatin1(request.rawHeader(name));
        if (name.compare("Authorization", Qt::CaseInsensitive) == 0 && value.startsWith(QLatin1String("Bearer ")))
            value = CUserSession::abbreviateToken(value.mid(7));
        text += QString::fromLatin1(name) + ':' + value + ';';
    }
    return text;
}

void CWorkspaceServerRequest::prepareRequest(QNetworkRequest &request, const QString &path)
{
    request.setRawHeader("Host", m_serverAddress.getHostName().toLatin1());
    if (!m_sessionless && m_userSession && m_userSession->isValid())
        request.setRawHeader("Authorization", "Bearer " + m_userSession->getAccessToken().toLatin1());
    request.setHeader(QNetworkRequest::UserAgentHeader, userAgent());
    if (const QSharedPointer<CConfig> config = CConfig::instance()) {
        const QString guid = config->instanceGuid();
        if (!guid.isEmpty())
            request.setRawHeader("X-DesktopClientGuid", guid.toUtf8());
    }
    QUrl url(m_serverAddress.getUrl());
    const QStringList parts = path.split('?', Qt::KeepEmptyParts);
    if (parts.size() > 2)
        qCritical() << "CWorkspaceServerRequest::prepareRequest: invalid path:" << path;
    url.setPath(parts.value(0));
    if (parts.size() > 1)
        url.setQuery(parts.at(1));
    request.setUrl(url);
}

QString CWorkspaceServerRequest::operationName() const
{
    switch (m_operation) {
    case QNetworkAccessManager::GetOperation:
        return QStringLiteral("GET");
    case QNetworkAccessManager::PostOperation:
        return QStringLiteral("POST");
    default:
        return QString::number(int(m_operation));
    }
}

QNetworkAccessManager *CWorkspaceServerRequest::threadManager(bool clearCache)
{
    const QSharedPointer<QNetworkAccessManager> manager =
        CNetworkAccessManager::getInstanceForThread(QThread::currentThreadId());
    if (clearCache && sslResumingDisabled())
        manager->clearAccessCache();
    return manager.data(); // the registry keeps it alive until the thread releases it
}

void CWorkspaceServerRequest::endWith(const ErrorCode &error)
{
    finished(error);
    deleteLater();
}

void CWorkspaceServerRequest::send(QNetworkAccessManager::Operation op, QNetworkRequest request, const QString &path,
                                   QIODevice *inputDevice)
{
    m_operation = op;
    if (appstate::isShuttingDown()) {
        qDebug() << "CWorkspaceServerRequest::send: request cancelled -> app is shutting down";
        endWith(ServerApiErrorCode::ErrorOperationCancelled);
        return;
    }
    prepareRequest(request, path);
    m_request.reset(new QNetworkRequest(request));

    m_inputDevice = inputDevice;
    if (m_inputDevice && !m_inputDevice->isOpen() && !m_inputDevice->open(QIODevice::ReadOnly)) {
        qCritical() << "CWorkspaceServerRequest::send:" << className() << "unable to open input device";
        endWith(ServerApiErrorCode::ErrorUnableToOpenFile);
        return;
    }

    m_ticks = 0;
    m_timerId = startTimer(m_tickInterval, Qt::CoarseTimer);

    if (!m_sessionless && m_userSession && !m_userSession->isValid()) {
        qDebug() << "CWorkspaceServerRequest::send:" << className() << "invalid session -> calling login instead";
        processAuthRequiredError();
        return;
    }

    QNetworkAccessManager *manager = threadManager(true);
    qDebug().noquote() << operationName() << className() << "url:" << m_request->url().toString()
                       << "headers:" << headersForLog(*m_request);
    startReply(manager);
}

void CWorkspaceServerRequest::startReply(QNetworkAccessManager *manager)
{
    if (m_operation == QNetworkAccessManager::PostOperation) {
        // Only a body follows its headers in a write of its own.
        const QUrl &url = m_request->url();
        tcp::sendWithoutDelayTo(quint16(url.port(url.scheme() == QLatin1String("http") ? 80 : 443)));
        m_reply = manager->post(*m_request, m_inputDevice);
    } else if (m_operation == QNetworkAccessManager::GetOperation) {
        m_reply = manager->get(*m_request);
    } else {
        qCritical() << "CWorkspaceServerRequest::send: unknown operation:" << int(m_operation) << "request to:"
                    << m_request->url().toString();
        return;
    }
    connectReply();
}

void CWorkspaceServerRequest::connectReply()
{
    m_received = 0;
    m_replyRefused = false;
    m_reply->setReadBufferSize(m_chunkSize);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &CWorkspaceServerRequest::checkAnnouncedLength);
    // A download under a speed limit is read at the pace of the ticks; anything else is read as it
    // comes, and an answer kept in memory so that the ceiling holds against a server that never stops.
    if (m_operation == QNetworkAccessManager::PostOperation
        || (m_readAsArrives && m_operation == QNetworkAccessManager::GetOperation))
        connect(m_reply, &QNetworkReply::readyRead, this, &CWorkspaceServerRequest::readAvailable);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &CWorkspaceServerRequest::dataReadProgress);
    connect(m_reply, &QNetworkReply::uploadProgress, this, &CWorkspaceServerRequest::dataSendProgress);
    connect(m_reply, &QNetworkReply::sslErrors, this, &CWorkspaceServerRequest::sslErrors, Qt::DirectConnection);
    connect(m_reply, &QNetworkReply::finished, this, &CWorkspaceServerRequest::reqFinished, Qt::QueuedConnection);
    connect(m_reply, &QObject::destroyed, this, &CWorkspaceServerRequest::respDestroyedSlot);
}

void CWorkspaceServerRequest::cancel()
{
    if (m_reply)
        m_reply->abort();
}

void CWorkspaceServerRequest::close()
{
    if (m_reply)
        m_reply->close();
}

void CWorkspaceServerRequest::dataReadProgress(qint64 done, qint64 total)
{
    m_readDone = done;
    m_readTotal = total;
    m_ticks = 0;
}

void CWorkspaceServerRequest::dataSendProgress(qint64 done, qint64 total)
{
    // Qt closes every upload with a (0, 0) report; keep what was really sent.
    if (done != 0 || total != 0 || m_sendDone == 0) {
        m_sendDone = done;
        m_sendTotal = total;
    }
    m_ticks = 0;
}

void CWorkspaceServerRequest::respDestroyedSlot()
{
    m_reply = nullptr;
}

void CWorkspaceServerRequest::readOneChunk()
{
    const qint64 n = m_reply->read(m_readBuffer->data(), m_chunkSize);
    if (n <= 0)
        return;
    if (m_replyCeiling != 0 && m_received + n > m_replyCeiling && !takesOversizedReply()) {
        refuseReply(QStringLiteral("the answer passed %1 bytes").arg(m_replyCeiling));
        return;
    }
    m_received += n;
    recv(m_reply, m_readBuffer->constData(), n);
}

// Still one read buffer at a time, so memory stays bounded by the buffer.
void CWorkspaceServerRequest::readAvailable()
{
    while (m_reply && !m_replyRefused && m_reply->error() == QNetworkReply::NoError && m_reply->bytesAvailable() > 0)
        readOneChunk();
}

void CWorkspaceServerRequest::checkAnnouncedLength()
{
    if (!m_reply || m_replyCeiling == 0 || takesOversizedReply())
        return;
    bool ok = false;
    const qint64 announced = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&ok);
    if (ok && announced > m_replyCeiling)
        refuseReply(QStringLiteral("the answer announces %1 bytes").arg(announced));
}

void CWorkspaceServerRequest::refuseReply(const QString &reason)
{
    if (m_replyRefused)
        return;
    m_replyRefused = true;
    qWarning().noquote() << "CWorkspaceServerRequest::refuseReply:" << className() << operationName()
                         << (m_request ? m_request->url().toString() : QString()) << reason
                         << QStringLiteral("(at most %1 are kept) -> aborted").arg(m_replyCeiling);
    if (m_reply)
        m_reply->abort();
}

void CWorkspaceServerRequest::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timerId)
        return QObject::timerEvent(event);
    if (m_timeoutTicks != 0) {
        const bool expired = m_ticks > m_timeoutTicks;
        ++m_ticks;
        if (expired) {
            qDebug() << "CWorkspaceServerRequest::timerEvent: request" << className() << "timeout!";
            killTimer(m_timerId);
            m_timerId = 0;
            if (m_reply)
                m_reply->abort();
            return;
        }
    }
    if (!CNetworkAccessManager::findInstanceForThread(QThread::currentThreadId())) {
        qDebug().noquote() << "CWorkspaceServerRequest::timerEvent: cannot find netAccessMgr for thread:"
                           << threadIdText(QThread::currentThreadId());
        killTimer(m_timerId);
        m_timerId = 0;
        if (m_reply)
            m_reply->abort();
        return;
    }
    if (!m_reply)
        return;
    if (m_operation == QNetworkAccessManager::PostOperation) {
        sendProgress(m_sendDone, m_sendTotal);
        return;
    }
    readProgress(m_readDone, m_readTotal);
    if (m_reply && m_reply->error() == QNetworkReply::NoError && m_reply->bytesAvailable() > 0)
        readOneChunk();
}

void CWorkspaceServerRequest::reqFinished()
{
    if (!CNetworkAccessManager::findInstanceForThread(QThread::currentThreadId())) {
        qDebug().noquote() << "CWorkspaceServerRequest::reqFinished: cannot find netAccessMgr for thread:"
                           << threadIdText(QThread::currentThreadId());
        endWith(ServerApiErrorCode::ErrorOperationCancelled);
        return;
    }
    if (!m_reply) {
        endWith(ServerApiErrorCode::ErrorOperationCancelled);
        return;
    }
    const QNetworkReply::NetworkError error = m_reply->error();
    const QString errorText = m_reply->errorString();
    if (error != QNetworkReply::NoError)
        qDebug() << "CWorkspaceServerRequest::reqFinished: networkError:" << networkErrorName(error)
                 << "errorString:" << errorText << "for request" << className();
    else
        qDebug() << "CWorkspaceServerRequest::reqFinished: no error for request" << className();

    const bool hostNotFound = error == QNetworkReply::HostNotFoundError
        || error == QNetworkReply::ConnectionRefusedError || error == QNetworkReply::TimeoutError
        || error == QNetworkReply::ProtocolUnknownError;
    const bool proxyConnectionError = error == QNetworkReply::ProxyConnectionRefusedError
        || error == QNetworkReply::ProxyConnectionClosedError || error == QNetworkReply::ProxyNotFoundError
        || error == QNetworkReply::ProxyTimeoutError || error == QNetworkReply::UnknownProxyError
        || (error == QNetworkReply::UnknownNetworkError
            && errorText.compare(QLatin1String("Proxy connection refused"), Qt::CaseInsensitive) == 0);
    const bool proxyAuthenticationError = error == QNetworkReply::ProxyAuthenticationRequiredError;
    if (m_userSession) {
        // At once on the session's thread, queued to it from any other.
        CUserSession *session = m_userSession.data();
        QMetaObject::invokeMethod(
            session,
            [session, hostNotFound, proxyConnectionError, proxyAuthenticationError] {
                session->reportNetworkRequestState(hostNotFound, proxyConnectionError, proxyAuthenticationError);
            },
            Qt::AutoConnection);
    }
    emit setNetworkRequestStateSignal(hostNotFound, proxyConnectionError, proxyAuthenticationError);

    if (error == QNetworkReply::AuthenticationRequiredError) {
        if (m_sessionless)
            endWith(ServerApiErrorCode::InvalidAccessToken);
        else
            processAuthRequiredError();
        return;
    }

    if (error == QNetworkReply::NoError || error == QNetworkReply::OperationCanceledError) {
        if (m_operation == QNetworkAccessManager::PostOperation)
            sendProgress(m_sendDone, m_sendTotal);
        else
            readProgress(m_readDone, m_readTotal);
        while (error == QNetworkReply::NoError && m_reply && !m_replyRefused && m_reply->bytesAvailable() > 0)
            readOneChunk();
    } else {
        const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QString reason = m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        qWarning() << "CWorkspaceServerRequest::reqFinished: error" << networkErrorName(error) << errorText
                   << "for request" << className() << operationName() << "url:" << m_request->url().toString()
                   << "server response:" << status << reason;
    }

    if (!finished(getErrorCode()))
        processAuthRequiredError();
    else if (!m_heldForLaterReport)
        deleteLater();
}

void CWorkspaceServerRequest::holdForLaterReport()
{
    m_heldForLaterReport = true;
    // The exchange is over: no time-out and no progress while the other answer is awaited.
    if (m_timerId != 0) {
        killTimer(m_timerId);
        m_timerId = 0;
    }
}

void CWorkspaceServerRequest::releaseHeld()
{
    m_heldForLaterReport = false;
    deleteLater();
}

ErrorCode CWorkspaceServerRequest::getErrorCode() const
{
    if (m_replyRefused)
        return ServerApiErrorCode::ErrorInternal;
    if (!m_reply)
        return ServerApiErrorCode::ErrorOperationCancelled;
    switch (m_reply->error()) {
    case QNetworkReply::NoError:
        return ServerApiErrorCode::ErrorSuccess;
    case QNetworkReply::HostNotFoundError:
        return ServerApiErrorCode::ErrorHostNotFound;
    case QNetworkReply::OperationCanceledError:
        return ServerApiErrorCode::ErrorOperationCancelled;
    case QNetworkReply::SslHandshakeFailedError:
        return ServerApiErrorCode::InvalidCall;
    case QNetworkReply::ContentNotFoundError:
        if (m_notFoundIsItemNotFound) {
            qDebug() << "CWorkspaceServerRequest::getErrorCode: HTTP 404 converted to ErrorItemNotFound";
            return ServerApiErrorCode::ItemNotFound;
        }
        qDebug() << "CWorkspaceServerRequest::getErrorCode: HTTP 404 converted to ErrorTemporaryNotAvailable";
        return ServerApiErrorCode::TemporaryNotAvailable;
    case QNetworkReply::UnknownContentError:
        return ServerApiErrorCode::ErrorInternal;
    default:
        return ErrorCode::fromTransportError(m_reply->errorString());
    }
}

void CWorkspaceServerRequest::processAuthRequiredError()
{
    ++m_authFailures;
    const QString url = m_request ? m_request->url().toString() : QString();
    if (m_authFailures <= 3) {
        qDebug() << "CWorkspaceServerRequest::processAuthRequiredError: AuthenticationRequiredError for request"
                 << className() << operationName() << url;
        if (m_userSession)
            m_userSession->clearAccessToken();
        finished(ServerApiErrorCode::InvalidAccessToken);
    } else {
        qCritical() << "CWorkspaceServerRequest::processAuthRequiredError: AuthenticationRequiredError for request"
                    << className() << operationName() << url << "request ended in login loop -> request cancelled";
        finished(ServerApiErrorCode::ErrorInternal);
    }
    deleteLater();
}

void CWorkspaceServerRequest::sslErrors(const QList<QSslError> &errors)
{
    for (const QSslError &e : errors)
        qWarning() << "CWorkspaceServerRequest::sslErrors: request" << className() << "sslError:" << e.errorString();
    const QString host = m_serverAddress.getHostName().section(':', 0, 0);
    const bool protectedDomain = host == ServerAddress::productionDomain().getHostName().section(':', 0, 0)
        || host == QLatin1String(kQaDomain);
    if (kDevelopmentBuild && !protectedDomain) {
        qWarning() << "CWorkspaceServerRequest::sslErrors: request" << className() << "-> ignoring SSL errors";
        if (m_reply)
            m_reply->ignoreSslErrors();
        return;
    }
    qCritical() << "CWorkspaceServerRequest::sslErrors: request" << className() << "-> aborting";
}

void CWorkspaceServerRequest::authenticationCompleted(ErrorCode error)
{
    if (error.isSuccess()) {
        qDebug() << "CWorkspaceServerRequest::authenticationCompleted: server session successfully obtained";
        resendRequest();
        return;
    }
    qWarning() << "CWorkspaceServerRequest::authenticationCompleted: error:" << error << className() << operationName()
               << (m_request ? m_request->url().toString() : QString());
    endWith(error);
}

void CWorkspaceServerRequest::resendRequest()
{
    if (!m_request)
        return;
    if (m_inputDevice && m_inputDevice->isOpen())
        m_inputDevice->seek(0);
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    discardReply();
    if (m_userSession && m_userSession->isValid())
        m_request->setRawHeader("Authorization", "Bearer " + m_userSession->getAccessToken().toLatin1());
    m_ticks = 0;
    QNetworkAccessManager *manager = threadManager(true);
    qDebug().noquote() << "CWorkspaceServerRequest::resendRequest: resending request" << className() << operationName()
                       << m_request->url().toString() << headersForLog(*m_request);
    if (m_operation != QNetworkAccessManager::PostOperation && m_operation != QNetworkAccessManager::GetOperation) {
        qCritical() << "CWorkspaceServerRequest::resendRequest: unknown operation:" << int(m_operation) << "request to:"
                    << m_request->url().toString();
        return;
    }
    startReply(manager);
}

void CWorkspaceServerRequest::logRequest(const QString &text) const
{
    qDebug().noquote() << "request:" << className() << text;
}

// --- CWorkspaceServerPostRequest -------------------------------------------------------------------

CWorkspaceServerPostRequest::CWorkspaceServerPostRequest(const QSharedPointer<CUserSession> &userSession,
                                                         int msTimeout, QObject *parent)
    : CWorkspaceServerRequest(userSession, msTimeout, parent)
{
    setReplyCeiling(kReplyCeiling);
}

CWorkspaceServerPostRequest::CWorkspaceServerPostRequest(const ServerAddress &serverAddress, int msTimeout,
                                                         QObject *parent)
    : CWorkspaceServerRequest(serverAddress, msTimeout, parent)
{
    setReplyCeiling(kReplyCeiling);
}

void CWorkspaceServerPostRequest::recv(QNetworkReply *reply, const char *data, qint64 size)
{
    // An announced length past the ceiling goes to disk from its first byte.
    if (!m_spool && m_spoolOversizedReply
        && (m_response.size() + size > replyCeiling()
            || reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > replyCeiling()))
        startSpool();
    if (!m_spool) {
        m_response.append(data, int(size));
        return;
    }
    if (m_spool->isOpen() && m_spool->write(data, size) != size)
        refuseReply(QStringLiteral("the temporary file %1 cannot take the answer: %2")
                        .arg(m_spool->fileName(), m_spool->errorString()));
}

void CWorkspaceServerPostRequest::discardReply()
{
    CWorkspaceServerRequest::discardReply();
    m_spool.reset();
}

void CWorkspaceServerPostRequest::startSpool()
{
    // The data folder rather than /tmp, which is often memory itself.
    const QSharedPointer<CConfig> config = CConfig::instance();
    const QString folder = config ? QFileInfo(config->filePath()).absolutePath() : QDir::tempPath();
    m_spool.reset(new QTemporaryFile(folder + QStringLiteral("/bxsync_reply_XXXXXX.tmp")));
    if (!m_spool->open() || m_spool->write(m_response) != m_response.size()) {
        refuseReply(QStringLiteral("no temporary file in %1 for the answer: %2").arg(folder, m_spool->errorString()));
        return;
    }
    qDebug().noquote() << "CWorkspaceServerPostRequest::startSpool:" << className() << "answer over"
                       << replyCeiling() << "bytes, kept in" << m_spool->fileName();
    m_response = QByteArray();
}

// --- CNetworkAccessManager -------------------------------------------------------------------------

QSharedPointer<QNetworkAccessManager> CNetworkAccessManager::getInstanceForThread(Qt::HANDLE threadId)
{
    ManagerRegistry &r = registry();
    QMutexLocker locker(&r.mutex);
    auto it = r.managers.find(threadId);
    if (it != r.managers.end()) {
        qDebug().noquote() << "CNetworkAccessManager::getInstanceForThread: using existing instance for thread:"
                           << threadIdText(threadId);
        return it.value();
    }
    qDebug().noquote() << "CNetworkAccessManager::getInstanceForThread: creating new CNetworkAccessManager for thread:"
                       << threadIdText(threadId);
    QSharedPointer<QNetworkAccessManager> manager(new QNetworkAccessManager(), releaseManager);
    manager->setProxyFactory(new CNetworkProxyFactory());
    // Headers are set by hand and go wherever a redirect leads: only the origin they were meant for
    // may be followed, or the bearer token and the body leave with them.
    manager->setRedirectPolicy(QNetworkRequest::SameOriginRedirectPolicy);
    r.managers.insert(threadId, manager);
    return manager;
}

QSharedPointer<QNetworkAccessManager> CNetworkAccessManager::findInstanceForThread(Qt::HANDLE threadId)
{
    ManagerRegistry &r = registry();
    QMutexLocker locker(&r.mutex);
    return r.managers.value(threadId);
}

void CNetworkAccessManager::deleteInstanceForCurrentThread()
{
    const Qt::HANDLE id = QThread::currentThreadId();
    qDebug().noquote() << "CNetworkAccessManager::deleteInstanceForThread: thread:" << threadIdText(id);
    QSharedPointer<QNetworkAccessManager> manager;
    {
        ManagerRegistry &r = registry();
        QMutexLocker locker(&r.mutex);
        manager = r.managers.take(id);
    }
    // Released here, outside the registry lock: the manager's own teardown may log.
}

void CNetworkAccessManager::clear()
{
    QHash<Qt::HANDLE, QSharedPointer<QNetworkAccessManager>> leftovers;
    {
        ManagerRegistry &r = registry();
        QMutexLocker locker(&r.mutex);
        if (!r.managers.isEmpty())
            qWarning() << "CNetworkAccessManager::clear: leftover instances for threads:" << r.threadIds();
        leftovers.swap(r.managers);
    }
}

// --- CNetworkProxyFactory --------------------------------------------------------------------------

CNetworkProxyFactory::CNetworkProxyFactory()
{
    const QSharedPointer<CConfig> config = CConfig::instance();
    if (!config)
        return;
    m_useProxy = config->useProxy();
    m_autodetectProxySettings = config->autodetectProxySettings();
    if (m_useProxy && !m_autodetectProxySettings) {
        bool ok = false;
        const quint16 port = config->proxyPort().toUShort(&ok, 10);
        m_proxy = QNetworkProxy(QNetworkProxy::HttpProxy, config->proxyAddress(), ok ? port : 0);
        if (config->proxyAuth()) {
            // Sent with the first CONNECT instead of through Qt's authenticator: after a 407 Qt
            // retries on the same connection, and when the proxy has closed it, waits for ever.
            // A refusal is now final and reported at once.
            const QByteArray credentials = (config->proxyUserName() + ':' + config->proxyPassword()).toUtf8();
            m_proxy.setRawHeader("Proxy-Authorization", "Basic " + credentials.toBase64());
        }
    }
}

QList<QNetworkProxy> CNetworkProxyFactory::queryProxy(const QNetworkProxyQuery &query)
{
    const QString url = query.url().toString();
    if (!m_useProxy) {
        qDebug() << "CNetworkProxyFactory::queryProxy: url:" << url << "-> proxy disabled";
        return {QNetworkProxy(QNetworkProxy::NoProxy)};
    }
    if (!m_autodetectProxySettings) {
        qDebug().noquote() << "CNetworkProxyFactory::queryProxy: url:" << url << "custom proxy:"
                           << m_proxy.hostName() + ':' + QString::number(m_proxy.port());
        return {m_proxy};
    }
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(query);
    QStringList used;
    for (const QNetworkProxy &p : proxies) {
        if (p.type() != QNetworkProxy::NoProxy)
            used << p.hostName() + ':' + QString::number(p.port());
    }
    if (used.isEmpty())
        qDebug() << "CNetworkProxyFactory::queryProxy: url:" << url << "-> no proxy";
    else
        qDebug() << "CNetworkProxyFactory::queryProxy: url:" << url << "proxies:" << used;
    return proxies;
}

// --- CLimitedIODevice ------------------------------------------------------------------------------

CLimitedIODevice::CLimitedIODevice(QIODevice *source, QObject *parent)
    : QIODevice(parent)
    , m_source(source)
{
    const QSharedPointer<CConfig> config = CConfig::instance();
    m_chunkSize = chunkSizeFor(config ? config->uploadSpeedLimit() : 0);
}

int CLimitedIODevice::chunkSizeFor(int uploadLimitKiBps)
{
    if (uploadLimitKiBps == 0)
        return -1;
    return qBound(100, int(qint64(100) * uploadLimitKiBps * 1024 / 1000), 1048576);
}

bool CLimitedIODevice::open(OpenMode mode)
{
    if (!m_source->isOpen() && !m_source->open(mode))
        return false;
    return QIODevice::open(mode | QIODevice::Unbuffered);
}

void CLimitedIODevice::close()
{
    m_source->close();
    QIODevice::close();
}

qint64 CLimitedIODevice::size() const
{
    return m_source->size();
}

bool CLimitedIODevice::seek(qint64 pos)
{
    return m_source->seek(pos) && QIODevice::seek(pos);
}

qint64 CLimitedIODevice::readData(char *data, qint64 maxSize)
{
    if (m_chunkSize < 0)
        return m_source->read(data, maxSize);
    const qint64 n = qMin<qint64>(maxSize, m_chunkSize);
    const qint64 expected = qMin<qint64>(m_interval, m_interval * n / m_chunkSize);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now < m_lastRead + expected) {
        const qint64 wait = m_lastRead + expected - now;
        QThread::msleep(quint64(wait));
        m_lastRead = now + wait;
    } else {
        m_lastRead = now;
    }
    return m_source->read(data, n);
}

qint64 CLimitedIODevice::writeData(const char *, qint64)
{
    qWarning() << "CLimitedIODevice::writeData() - write not implemented";
    return -1;
}

// --- trust anchors ---------------------------------------------------------------------------------

void installExtraCaCertificates()
{
    const QString path = qEnvironmentVariable("BXSYNC_EXTRA_CA_CERTS");
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "installExtraCaCertificates: unable to read BXSYNC_EXTRA_CA_CERTS:" << path << file.errorString();
        return;
    }
    const QList<QSslCertificate> extra = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
    if (extra.isEmpty()) {
        qWarning() << "installExtraCaCertificates: no PEM certificate in BXSYNC_EXTRA_CA_CERTS:" << path;
        return;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    QList<QSslCertificate> certificates = configuration.caCertificates();
    int added = 0;
    for (const QSslCertificate &certificate : extra) {
        if (!certificates.contains(certificate)) {
            certificates << certificate;
            ++added;
        }
    }
    configuration.setCaCertificates(certificates);
    QSslConfiguration::setDefaultConfiguration(configuration);
    qDebug() << "installExtraCaCertificates: trusted" << added << "extra CA certificate(s) from" << path;
}
