#include "curlnetworkreply.h"

#include "curlmultidriver.h"

#include <QPointer>

#include <cstring>

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
    , easy(curl_easy_init())
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    inMulti = easy && configure(proxy) && driver->addTransfer(this, easy.get());
    if (inMulti)
        return;
    this->driver = nullptr;
    failSoon(UnknownNetworkError, QStringLiteral("The transfer of %1 could not be set up")
                                      .arg(request.url().toString()));
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

CurlNetworkReply::~CurlNetworkReply()
{
    stopTransfer();
    if (driver)
        driver->forget(this);
}

bool CurlNetworkReply::configure(const QByteArray& proxy)
{
    CURL* handle = easy.get();
    const QByteArray address = url().toEncoded();
    const bool ok = curl_easy_setopt(handle, CURLOPT_URL, address.constData()) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_PROXY, proxy.constData()) == CURLE_OK;
    curl_easy_setopt(handle, CURLOPT_PRIVATE, this);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    // No signal may interrupt a program with threads of its own.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &CurlNetworkReply::onHeaderLine);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &CurlNetworkReply::onBodyData);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    // The answer of a proxy to CONNECT is the proxy's, not the server's.
    curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // Mirrors serve files as they are: nothing is asked for compressed, and
    // nothing is decoded (a chunked body is still put together).
    curl_easy_setopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, 64L * 1024);
    return ok;
}

void CurlNetworkReply::failSoon(NetworkError error, const QString& text)
{
    stage = Stage::Finished;
    setError(error, text);
    setFinished(true);
    QMetaObject::invokeMethod(this, [this, error] {
        QPointer<CurlNetworkReply> self(this);
        emit errorOccurred(error);
        if (self)
            emit finished();
    }, Qt::QueuedConnection);
}

size_t CurlNetworkReply::onHeaderLine(char* line, size_t size, size_t count, void* reply)
{
    return static_cast<CurlNetworkReply*>(reply)->takeHeaderLine(line, size * count);
}

size_t CurlNetworkReply::onBodyData(char* data, size_t size, size_t count, void* reply)
{
    return static_cast<CurlNetworkReply*>(reply)->takeBodyData(data, size * count);
}

// curl hands over whole lines, each at most its own limit long; whatever a
// server sends before and after the body (interim answers and trailers
// included) counts against one bound, and exceeding either ends the transfer.
size_t CurlNetworkReply::takeHeaderLine(const char* line, size_t length)
{
    headerBytes += qint64(length);
    if (qint64(length) > MaxHeaderLineBytes) {
        headerFault = lineTooLong(MaxHeaderLineBytes);
        return 0;
    }
    if (headerBytes > MaxHeaderBlockBytes) {
        headerFault = QStringLiteral("The headers from %1 are longer than %2 bytes")
                          .arg(url().host(), QString::number(MaxHeaderBlockBytes));
        return 0;
    }
    const bool blockEnds = (length == 2 && std::memcmp(line, "\r\n", 2) == 0) || (length == 1 && line[0] == '\n');
    if (blockEnds && !headersTaken)
        takeHeaderBlock();
    return length;
}

QString CurlNetworkReply::lineTooLong(qint64 limit) const
{
    return QStringLiteral("A header line from %1 is longer than %2 bytes").arg(url().host(), QString::number(limit));
}

void CurlNetworkReply::takeHeaderBlock()
{
    long status = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, &status);
    // An interim answer ("100 Continue"): the real one follows.
    if (status >= 100 && status < 200)
        return;
    headersTaken = true;
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, int(status));
    for (curl_header* header = nullptr;
         (header = curl_easy_nextheader(easy.get(), CURLH_HEADER, -1, header));)
        setRawHeader(QByteArray(header->name), QByteArray(header->value));
    curl_off_t length = -1;
    curl_easy_getinfo(easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    announcedLength = qint64(length);
    if (announcedLength >= 0)
        setHeader(QNetworkRequest::ContentLengthHeader, announcedLength);
    metaDataPending = true;
    requestDelivery();
}

// What does not fit the read buffer waits in curl, which stops reading the
// socket until the reader has made room.
size_t CurlNetworkReply::takeBodyData(const char* data, size_t length)
{
    const qint64 limit = readBufferSize();
    if (limit > 0 && buffered() > 0 && buffered() + qint64(length) > limit) {
        paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (bodyRead > 0 && bodyRead >= body.size() / 2) {
        body.erase(body.begin(), body.begin() + qsizetype(bodyRead));
        bodyRead = 0;
    }
    body.insert(body.end(), data, data + length);
    received += qint64(length);
    dataPending = true;
    requestDelivery();
    return length;
}

void CurlNetworkReply::requestDelivery()
{
    if (deliveryPending || !driver)
        return;
    deliveryPending = true;
    driver->deliverSoon(this);
}

void CurlNetworkReply::transferEnded(CURLcode transferResult)
{
    result = transferResult;
    stopTransfer();
    stage = Stage::Ended;
    requestDelivery();
}

// Signals go out in the order Qt's own replies send them; a receiver may
// abort or delete the reply at any of them.
void CurlNetworkReply::deliver()
{
    deliveryPending = false;
    const QPointer<CurlNetworkReply> self(this);
    if (metaDataPending && stage != Stage::Finished) {
        metaDataPending = false;
        emit metaDataChanged();
    }
    if (self && dataPending && stage != Stage::Finished) {
        dataPending = false;
        emit downloadProgress(received, announcedLength);
        if (self && stage != Stage::Finished)
            emit readyRead();
    }
    if (self && stage == Stage::Ended && !metaDataPending && !dataPending) {
        setErrorFromResult();
        emitFinished();
    }
}

void CurlNetworkReply::setErrorFromResult()
{
    if (result == CURLE_OK) {
        const int status = attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status >= 400) {
            setError(errorForStatus(status), QStringLiteral("Error transferring %1 - server replied: %2")
                                                 .arg(url().toString(), QString::number(status)));
        }
        return;
    }
    // curl holds a header line until it ends, up to a bound of its own, and
    // gives up on a longer one as if memory had run out.
    if (headerFault.isEmpty() && result == CURLE_OUT_OF_MEMORY && !headersTaken)
        headerFault = lineTooLong(CURL_MAX_HTTP_HEADER);
    if (!headerFault.isEmpty())
        setError(ProtocolFailure, headerFault);
    else
        setError(errorForResult(result), QString::fromLocal8Bit(errorText[0] ? errorText : curl_easy_strerror(result)));
}

void CurlNetworkReply::emitFinished()
{
    stage = Stage::Finished;
    setFinished(true);
    const QPointer<CurlNetworkReply> self(this);
    if (error() != NoError)
        emit errorOccurred(error());
    if (self && announcedLength < 0)
        emit downloadProgress(received, received);
    if (self)
        emit readChannelFinished();
    if (self)
        emit finished();
}

void CurlNetworkReply::abort()
{
    if (stage == Stage::Finished)
        return;
    stopTransfer();
    body.clear();
    bodyRead = 0;
    QNetworkReply::close();
    setError(OperationCanceledError, QStringLiteral("Operation canceled"));
    emitFinished();
}

// As with Qt's own replies, closing a running reply ends its transfer.
void CurlNetworkReply::close()
{
    abort();
}

qint64 CurlNetworkReply::bytesAvailable() const
{
    return QNetworkReply::bytesAvailable() + buffered();
}

void CurlNetworkReply::setReadBufferSize(qint64 size)
{
    QNetworkReply::setReadBufferSize(size);
    resumeIfRoom();
}

qint64 CurlNetworkReply::readData(char* data, qint64 maxSize)
{
    const qint64 count = qMin(maxSize, buffered());
    if (count <= 0)
        return stage == Stage::Finished ? -1 : 0;
    std::memcpy(data, body.data() + bodyRead, size_t(count));
    bodyRead += size_t(count);
    if (bodyRead == body.size()) {
        body.clear();
        bodyRead = 0;
    }
    resumeIfRoom();
    return count;
}

qint64 CurlNetworkReply::writeData(const char*, qint64)
{
    return -1;
}

// Resuming may hand over the data curl kept back at once, into this buffer.
void CurlNetworkReply::resumeIfRoom()
{
    const qint64 limit = readBufferSize();
    if (!paused || stage != Stage::Transferring || (limit > 0 && buffered() > limit / 2))
        return;
    paused = false;
    curl_easy_pause(easy.get(), CURLPAUSE_CONT);
}

void CurlNetworkReply::stopTransfer()
{
    if (!inMulti)
        return;
    inMulti = false;
    driver->removeTransfer(easy.get());
}

void CurlNetworkReply::detachFromDriver()
{
    stopTransfer();
    driver = nullptr;
}
