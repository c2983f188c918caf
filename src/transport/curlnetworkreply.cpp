#include "curlnetworkreply.h"

#include "curlmultidriver.h"
#include "curltransfer.h"

#include <QMutexLocker>
#include <QPointer>

#include <cstring>
#include <utility>

namespace {

// The error Qt's own replies report for an HTTP status of 400 and above.
QNetworkReply::NetworkError errorForStatus(int status)
{
    switch (status) {
    case 401: return QNetworkReply::AuthenticationRequiredError;
    case 403: return QNetworkReply::ContentAccessDenied;
    case 404: return QNetworkReply::ContentNotFoundError;
    case 405: return QNetworkReply::ContentOperationNotPermittedError;
    case 407: return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409: return QNetworkReply::ContentConflictError;
    case 410: return QNetworkReply::ContentGoneError;
    case 500: return QNetworkReply::InternalServerError;
    case 501: return QNetworkReply::OperationNotImplementedError;
    case 503: return QNetworkReply::ServiceUnavailableError;
    default: return status < 500 ? QNetworkReply::UnknownContentError : QNetworkReply::UnknownServerError;
    }
}

QNetworkReply::NetworkError errorForResult(CURLcode result)
{
    switch (result) {
    case CURLE_COULDNT_RESOLVE_HOST: return QNetworkReply::HostNotFoundError;
    case CURLE_COULDNT_RESOLVE_PROXY: return QNetworkReply::ProxyNotFoundError;
    case CURLE_COULDNT_CONNECT: return QNetworkReply::ConnectionRefusedError;
    case CURLE_OPERATION_TIMEDOUT: return QNetworkReply::TimeoutError;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR: return QNetworkReply::RemoteHostClosedError;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE: return QNetworkReply::SslHandshakeFailedError;
    case CURLE_UNSUPPORTED_PROTOCOL: return QNetworkReply::ProtocolUnknownError;
    case CURLE_URL_MALFORMAT: return QNetworkReply::ProtocolInvalidOperationError;
    default: return QNetworkReply::ProtocolFailure;
    }
}

} // namespace

CurlNetworkReply::CurlNetworkReply(CurlMultiDriver* driver, const QNetworkRequest& request,
                                   const QByteArray& proxy, QObject* parent)
    : QNetworkReply(parent)
    , driver(driver)
    , transfer(std::make_shared<CurlTransfer>())
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    transfer->reply = this;
    transfer->host = request.url().host();
    driver->start(transfer, request.url().toEncoded(), proxy);
}

CurlNetworkReply::CurlNetworkReply(NetworkError error, const QString& text, const QNetworkRequest& request,
                                   QObject* parent)
    : QNetworkReply(parent)
    , driver(nullptr)
{
    setRequest(request);
    setUrl(request.url());
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    failSoon(error, text);
}

// A delivery still queued for the reply goes with it.
CurlNetworkReply::~CurlNetworkReply()
{
    if (!transfer)
        return;
    QMutexLocker lock(&transfer->mutex);
    transfer->reply = nullptr;
    const bool running = !transfer->ended && !transfer->canceled;
    lock.unlock();
    if (running)
        stopTransfer();
}

void CurlNetworkReply::failSoon(NetworkError error, const QString& text)
{
    finishedHere = true;
    setError(error, text);
    setFinished(true);
    QMetaObject::invokeMethod(this, [this, error] {
        const QPointer<CurlNetworkReply> self(this);
        emit errorOccurred(error);
        if (self)
            emit finished();
    }, Qt::QueuedConnection);
}

// Signals go out in the order Qt's own replies send them; a receiver may
// abort or delete the reply at any of them.
void CurlNetworkReply::deliver()
{
    QMutexLocker lock(&transfer->mutex);
    transfer->deliveryPending = false;
    const bool metaData = std::exchange(transfer->metaDataPending, false);
    if (metaData)
        takeHeaders();
    const qint64 received = transfer->received;
    const bool ended = transfer->ended;
    lock.unlock();

    const QPointer<CurlNetworkReply> self(this);
    if (metaData && !finishedHere)
        emit metaDataChanged();
    if (self && received > receivedReported && !finishedHere) {
        receivedReported = received;
        emit downloadProgress(received, announcedLength);
        if (self && !finishedHere)
            emit readyRead();
    }
    if (self && ended && !finishedHere) {
        setErrorFromTransfer();
        emitFinished();
    }
}

// Mutex held.
void CurlNetworkReply::takeHeaders()
{
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, transfer->status);
    announcedLength = transfer->announcedLength;
    if (announcedLength >= 0)
        setHeader(QNetworkRequest::ContentLengthHeader, announcedLength);
}

void CurlNetworkReply::setErrorFromTransfer()
{
    QMutexLocker lock(&transfer->mutex);
    if (!transfer->fault.isEmpty()) {
        setError(ProtocolFailure, transfer->fault);
    } else if (transfer->result != CURLE_OK) {
        setError(errorForResult(transfer->result), transfer->errorText);
    } else if (transfer->status >= 400) {
        setError(errorForStatus(transfer->status), QStringLiteral("Error transferring %1 - server replied: %2")
                                                       .arg(url().toString(), QString::number(transfer->status)));
    }
}

void CurlNetworkReply::emitFinished()
{
    finishedHere = true;
    setFinished(true);
    const QPointer<CurlNetworkReply> self(this);
    if (error() != NoError)
        emit errorOccurred(error());
    if (self && announcedLength < 0)
        emit downloadProgress(receivedReported, receivedReported);
    if (self)
        emit readChannelFinished();
    if (self)
        emit finished();
}

void CurlNetworkReply::abort()
{
    if (finishedHere)
        return;
    stopTransfer();
    QNetworkReply::close();
    setError(OperationCanceledError, QStringLiteral("Operation canceled"));
    emitFinished();
}

// As with Qt's own replies, closing a running reply ends its transfer.
void CurlNetworkReply::close()
{
    abort();
}

// Whatever the network thread still delivers is dropped.
void CurlNetworkReply::stopTransfer()
{
    {
        QMutexLocker lock(&transfer->mutex);
        transfer->canceled = true;
        transfer->pieces.clear();
        transfer->buffered = 0;
    }
    current.clear();
    currentRead = 0;
    if (driver)
        driver->stop(transfer);
}

qint64 CurlNetworkReply::bytesAvailable() const
{
    if (!transfer)
        return QNetworkReply::bytesAvailable();
    return QNetworkReply::bytesAvailable() + (current.size() - currentRead) + transfer->buffered;
}

void CurlNetworkReply::setReadBufferSize(qint64 size)
{
    QNetworkReply::setReadBufferSize(size);
    if (!transfer)
        return;
    QMutexLocker lock(&transfer->mutex);
    transfer->bufferLimit = size;
    resumeIfRoom(lock);
}

// Reads from the piece taken last, and on from the next ones; the mutex is
// taken once a piece.
qint64 CurlNetworkReply::readData(char* data, qint64 maxSize)
{
    qint64 copied = 0;
    while (copied < maxSize && (currentRead < current.size() || takeNextPiece())) {
        const qint64 count = qMin(maxSize - copied, qint64(current.size() - currentRead));
        std::memcpy(data + copied, current.constData() + currentRead, size_t(count));
        currentRead += count;
        copied += count;
    }
    if (copied == 0 && finishedHere)
        return -1;
    return copied;
}

bool CurlNetworkReply::takeNextPiece()
{
    if (!transfer)
        return false;
    QMutexLocker lock(&transfer->mutex);
    if (transfer->pieces.empty())
        return false;
    current = std::move(transfer->pieces.front());
    transfer->pieces.pop_front();
    currentRead = 0;
    transfer->buffered -= current.size();
    resumeIfRoom(lock);
    return true;
}

qint64 CurlNetworkReply::writeData(const char*, qint64)
{
    return -1;
}

// A transfer that waits for room goes on once half the buffer is free.
void CurlNetworkReply::resumeIfRoom(QMutexLocker<QMutex>& lock)
{
    const qint64 limit = transfer->bufferLimit;
    if (!transfer->paused || transfer->ended || (limit > 0 && transfer->buffered > limit / 2))
        return;
    transfer->paused = false;
    lock.unlock();
    if (driver)
        driver->resume(transfer);
}
