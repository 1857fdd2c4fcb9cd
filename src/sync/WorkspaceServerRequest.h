#pragma once

#include "ServerApiErrorCode.h"
#include "UserSession.h"

#include <QHash>
#include <QIODevice>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QSharedPointer>
#include <QSslError>
#include <QTemporaryFile>

// One exchange with the server: builds URL and headers, sends through the calling thread's
// network access manager, paces reading and sending, ends stalled exchanges, classifies failures
// and hands the outcome to the concrete request exactly once. Deletes itself afterwards.
class CWorkspaceServerRequest : public QObject
{
    Q_OBJECT
public:
    CWorkspaceServerRequest(const QSharedPointer<CUserSession> &userSession, int msTimeout, QObject *parent = nullptr);
    // A sessionless request: no session check, and an HTTP 401 is final.
    CWorkspaceServerRequest(const ServerAddress &serverAddress, int msTimeout, QObject *parent = nullptr);
    ~CWorkspaceServerRequest() override;

    void send(QNetworkAccessManager::Operation op, QNetworkRequest request, const QString &path,
              QIODevice *inputDevice = nullptr);
    void prepareRequest(QNetworkRequest &request, const QString &path);
    ErrorCode getErrorCode() const;
    void processAuthRequiredError();
    void resendRequest();
    void logRequest(const QString &text) const;
    // Before send(): replaces the inactivity time-out given at construction.
    void setInactivityTimeout(int msTimeout);

    int tickInterval() const { return m_tickInterval; }
    int chunkSize() const { return m_chunkSize; }
    quint32 timeoutTicks() const { return m_timeoutTicks; }
    ServerAddress serverAddress() const { return m_serverAddress; }

    // "<name> <version> x64|x32", built once per process.
    static QString operatingSystemText();
    static QString userAgent();
    // Every raw header as "name:value;", the Authorization value shortened so no token is logged.
    static QString headersForLog(const QNetworkRequest &request);

    // Pacing for a download limit in KiB/s (0 = none): the tick interval and the bytes read per tick.
    static void pacingFor(int downloadLimitKiBps, int *tickInterval, int *chunkSize);
    static quint32 timeoutTicksFor(int msTimeout, int tickInterval);

    // No answer the engine keeps in memory may be longer; GET downloads go to files and have none.
    static constexpr qint64 kReplyCeiling = 52428800;

signals:
    void setNetworkRequestStateSignal(bool hostNotFound, bool proxyConnectionError, bool proxyAuthenticationError);

public slots:
    void cancel();
    void close();
    void dataReadProgress(qint64 done, qint64 total);
    void dataSendProgress(qint64 done, qint64 total);
    void sslErrors(const QList<QSslError> &errors);
    void reqFinished();
    void respDestroyedSlot();
    void authenticationCompleted(ErrorCode error);

protected:
    // Byte counts as the progress report takes them: unsigned, "unknown" (-1) read as nothing yet.
    static qulonglong progressCount(qint64 value) { return value < 0 ? 0 : qulonglong(value); }
    virtual void readProgress(qint64 done, qint64 total) = 0;
    virtual void sendProgress(qint64 done, qint64 total) = 0;
    virtual void recv(QNetworkReply *reply, const char *data, qint64 size) = 0;
    // False when the answer reveals an authentication failure; then it is called again later
    // with brindlex.InvalidAccessToken and must not report before that.
    virtual bool finished(const ErrorCode &error) = 0;
    // From finished(): the outcome waits for one more answer. The request stays alive, reports
    // when that answer arrives and then ends itself with releaseHeld().
    void holdForLaterReport();
    void releaseHeld();

    void timerEvent(QTimerEvent *event) override;

    QNetworkReply *reply() const { return m_reply; }
    // The reply's latest download progress, also when no tick has passed it on yet.
    qint64 lastReadDone() const { return m_readDone; }
    qint64 lastReadTotal() const { return m_readTotal; }
    QString operationName() const;
    QString className() const { return QString::fromLatin1(metaObject()->className()); }

    // 0: no limit. Past it the answer is refused, unless takesOversizedReply() says the class
    // keeps such answers elsewhere than in memory.
    void setReplyCeiling(qint64 bytes) { m_replyCeiling = bytes; }
    qint64 replyCeiling() const { return m_replyCeiling; }
    virtual bool takesOversizedReply() const { return false; }
    // Forgets what a previous attempt received, before the request is sent again.
    virtual void discardReply() { m_response.clear(); }
    // Ends the exchange with ErrorInternal; the reason is logged.
    void refuseReply(const QString &reason);

    const QSharedPointer<CUserSession> m_userSession;
    QByteArray m_response;
    bool m_sessionless = false;
    bool m_notFoundIsItemNotFound = false;

private:
    void setUpPacing(int msTimeout);
    void startReply(QNetworkAccessManager *manager);
    void connectReply();
    void readOneChunk();
    void readAvailable();
    void checkAnnouncedLength();
    void endWith(const ErrorCode &error);
    QNetworkAccessManager *threadManager(bool clearCache);

    ServerAddress m_serverAddress;
    QNetworkAccessManager::Operation m_operation = QNetworkAccessManager::UnknownOperation;
    QNetworkReply *m_reply = nullptr;
    qint64 m_readDone = 0;
    qint64 m_readTotal = 0;
    qint64 m_sendDone = 0;
    qint64 m_sendTotal = 0;
    int m_timerId = 0;
    quint32 m_ticks = 0;
    quint32 m_timeoutTicks = 0;
    int m_tickInterval = 100;
    int m_chunkSize = 1048576;
    // Without a download limit the reply is read as data arrives instead of one chunk per tick.
    bool m_readAsArrives = false;
    QSharedPointer<QByteArray> m_readBuffer;
    quint32 m_authFailures = 0;
    qint64 m_replyCeiling = 0;
    qint64 m_received = 0;
    bool m_replyRefused = false;
    QSharedPointer<QNetworkRequest> m_request;
    QIODevice *m_inputDevice = nullptr;
    bool m_heldForLaterReport = false;
};

// GET exchanges (downloads): nothing to report while sending.
class CWorkspaceServerGetRequest : public CWorkspaceServerRequest
{
    Q_OBJECT
public:
    using CWorkspaceServerRequest::CWorkspaceServerRequest;

protected:
    void sendProgress(qint64, qint64) override {}
};

// POST exchanges (JSON-RPC calls, uploads): the answer is collected whole, up to the ceiling.
class CWorkspaceServerPostRequest : public CWorkspaceServerRequest
{
    Q_OBJECT
public:
    CWorkspaceServerPostRequest(const QSharedPointer<CUserSession> &userSession, int msTimeout,
                                QObject *parent = nullptr);
    CWorkspaceServerPostRequest(const ServerAddress &serverAddress, int msTimeout, QObject *parent = nullptr);

protected:
    void readProgress(qint64, qint64) override {}
    void sendProgress(qint64, qint64) override {}
    void recv(QNetworkReply *, const char *data, qint64 size) override;
    bool takesOversizedReply() const override { return m_spoolOversizedReply; }
    void discardReply() override;

    // An answer past the ceiling goes to a temporary file in the data folder instead of memory;
    // m_response is then empty and m_spool holds the whole answer.
    void setSpoolOversizedReply(bool on) { m_spoolOversizedReply = on; }
    void startSpool();
    QSharedPointer<QTemporaryFile> m_spool;

private:
    bool m_spoolOversizedReply = false;
};

// One network access manager per thread: Qt's managers must not be shared across threads.
class CNetworkAccessManager
{
public:
    static QSharedPointer<QNetworkAccessManager> getInstanceForThread(Qt::HANDLE threadId);
    // Null when this thread has none (it was never created or already released).
    static QSharedPointer<QNetworkAccessManager> findInstanceForThread(Qt::HANDLE threadId);
    static void deleteInstanceForCurrentThread();
    static void clear();
};

// Proxy choice from the configuration, fixed when the thread's manager is created.
class CNetworkProxyFactory : public QNetworkProxyFactory
{
public:
    CNetworkProxyFactory();
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query = QNetworkProxyQuery()) override;

private:
    bool m_useProxy = true;
    bool m_autodetectProxySettings = true;
    QNetworkProxy m_proxy;
};

// A request body that can be read no faster than the upload limit allows: reads block the
// thread that does them, nothing else.
class CLimitedIODevice : public QIODevice
{
    Q_OBJECT
public:
    explicit CLimitedIODevice(QIODevice *source, QObject *parent = nullptr);

    bool open(OpenMode mode) override;
    void close() override;
    qint64 size() const override;
    bool seek(qint64 pos) override;
    bool isSequential() const override { return m_source->isSequential(); }

    int chunkSize() const { return m_chunkSize; }
    static int chunkSizeFor(int uploadLimitKiBps);

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    const QSharedPointer<QIODevice> m_source;
    const int m_interval = 100;
    int m_chunkSize = -1;
    qint64 m_lastRead = 0;
};

// Adds the host's extra trust anchors (BXSYNC_EXTRA_CA_CERTS, a PEM file) to the default SSL
// configuration. Verification itself is never switched off.
void installExtraCaCertificates();
