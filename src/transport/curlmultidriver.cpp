#include "curlmultidriver.h"

#include "curlnetworkreply.h"
#include "curltransfer.h"

#include <QMutexLocker>
#include <QSocketNotifier>
#include <QTimer>

#include <cstring>

namespace {

// What a server may send around a body: a header block of many lines is no
// file, and a line is held whole until it ends.
constexpr qint64 MaxHeaderBytes = 64 * 1024;
constexpr qint64 MaxHeaderLineBytes = 8 * 1024;
// Fewer, larger reads cost less per byte; a transfer holds one such buffer.
constexpr long ReceiveBufferBytes = 128 * 1024;

// curl reads SSLKEYLOGFILE once, as it is set up, and then writes the secrets
// of every TLS session to that file, which it makes readable by others. The
// updater writes no such secrets, while the programs it starts keep the
// variable: it is hidden only while curl is set up. That happens as the
// program is loaded, before main() and so before any other thread could read
// the environment while it changes.
bool initializeCurl()
{
    static const char KeyLogVariable[] = "SSLKEYLOGFILE";
    const bool hasKeyLog = qEnvironmentVariableIsSet(KeyLogVariable);
    const QByteArray keyLog = qgetenv(KeyLogVariable);
    if (hasKeyLog)
        qunsetenv(KeyLogVariable);
    const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    if (hasKeyLog)
        qputenv(KeyLogVariable, keyLog);
    return initialized;
}

const bool curlInitialized = initializeCurl();

QString lineTooLong(const QString& host, qint64 limit)
{
    return QStringLiteral("A header line from %1 is longer than %2 bytes").arg(host, QString::number(limit));
}

} // namespace

void CurlMultiDriver::MultiCleanup::operator()(CURLM* handle) const
{
    // Cleaning up closes cached connections, which must not call back into a
    // driver that is going away.
    curl_multi_setopt(handle, CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(handle, CURLMOPT_TIMERFUNCTION, nullptr);
    curl_multi_cleanup(handle);
}

CurlMultiDriver::CurlMultiDriver()
    : timeout(new QTimer(this))
{
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    // Without its set-up curl would set itself up at the first transfer, with
    // the environment as it is: no transfer starts then.
    if (curlInitialized)
        multi.reset(curl_multi_init());
    if (!multi)
        return;
    curl_multi_setopt(multi.get(), CURLMOPT_SOCKETFUNCTION, &CurlMultiDriver::onSocketChanged);
    curl_multi_setopt(multi.get(), CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi.get(), CURLMOPT_TIMERFUNCTION, &CurlMultiDriver::onTimerChanged);
    curl_multi_setopt(multi.get(), CURLMOPT_TIMERDATA, this);
}

CurlMultiDriver::~CurlMultiDriver()
{
    const QList<std::shared_ptr<CurlTransfer>> left = transfers.values();
    for (const std::shared_ptr<CurlTransfer>& transfer : left)
        end(*transfer);
}

void CurlMultiDriver::start(const std::shared_ptr<CurlTransfer>& transfer, const QByteArray& url,
                            const QByteArray& proxy)
{
    QMetaObject::invokeMethod(this, [this, transfer, url, proxy] { begin(transfer, url, proxy); },
                              Qt::QueuedConnection);
}

void CurlMultiDriver::stop(const std::shared_ptr<CurlTransfer>& transfer)
{
    QMetaObject::invokeMethod(this, [this, transfer] {
        if (transfer->easy)
            end(*transfer);
    }, Qt::QueuedConnection);
}

// Resuming may hand over the data curl kept back at once: the mutex must be
// free by then.
void CurlMultiDriver::resume(const std::shared_ptr<CurlTransfer>& transfer)
{
    QMetaObject::invokeMethod(this, [transfer] {
        if (transfer->easy)
            curl_easy_pause(transfer->easy, CURLPAUSE_CONT);
    }, Qt::QueuedConnection);
}

void CurlMultiDriver::requestDelivery(CurlTransfer& transfer)
{
    if (transfer.deliveryPending || !transfer.reply)
        return;
    transfer.deliveryPending = true;
    QMetaObject::invokeMethod(transfer.reply, &CurlNetworkReply::deliver, Qt::QueuedConnection);
}

void CurlMultiDriver::begin(const std::shared_ptr<CurlTransfer>& transfer, const QByteArray& url,
                            const QByteArray& proxy)
{
    {
        QMutexLocker lock(&transfer->mutex);
        if (transfer->canceled)
            return;
    }
    transfer->easy = multi ? curl_easy_init() : nullptr;
    if (transfer->easy && configure(*transfer, url, proxy)
        && curl_multi_add_handle(multi.get(), transfer->easy) == CURLM_OK) {
        transfers.insert(transfer->easy, transfer);
        // curl would ask for a timer to start it; a turn of the loop saved.
        act(CURL_SOCKET_TIMEOUT, 0);
        return;
    }
    curl_easy_cleanup(transfer->easy);
    transfer->easy = nullptr;
    QMutexLocker lock(&transfer->mutex);
    transfer->ended = true;
    transfer->result = CURLE_FAILED_INIT;
    transfer->fault = QStringLiteral("The transfer from %1 could not be set up").arg(transfer->host);
    requestDelivery(*transfer);
}

bool CurlMultiDriver::configure(CurlTransfer& transfer, const QByteArray& url, const QByteArray& proxy)
{
    CURL* handle = transfer.easy;
    // Where a request goes is the caller's alone: an empty proxy is a direct
    // connection and an empty exception list none, whatever the environment
    // says (http_proxy, no_proxy and the like).
    const bool ok = curl_easy_setopt(handle, CURLOPT_URL, url.constData()) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_PROXY, proxy.constData()) == CURLE_OK
        && curl_easy_setopt(handle, CURLOPT_NOPROXY, "") == CURLE_OK
        // HTTP/1.1 only, also where a server offers HTTP/2: the bounds on
        // what comes before a body are made for HTTP/1.1's lines.
        && curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1)) == CURLE_OK
        // A transfer dropped while its host name is being looked up leaves
        // the look-up thread to end by itself, instead of holding this thread
        // (and every other transfer with it) until the look-up gives up.
        && curl_easy_setopt(handle, CURLOPT_QUICK_EXIT, 1L) == CURLE_OK;
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
    // No signal may interrupt a program with threads of its own.
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &CurlMultiDriver::onHeaderLine);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &CurlMultiDriver::onBodyData);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    // The answer of a proxy to CONNECT is the proxy's, not the server's.
    curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // Mirrors serve files as they are: nothing is asked for compressed, and
    // nothing is decoded (a chunked body is still put together).
    curl_easy_setopt(handle, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, ReceiveBufferBytes);
    return ok;
}

// The connection goes back to the multi handle's cache, for the next
// transfer from the same server.
void CurlMultiDriver::end(CurlTransfer& transfer)
{
    transfers.remove(transfer.easy);
    curl_multi_remove_handle(multi.get(), transfer.easy);
    curl_easy_cleanup(transfer.easy);
    transfer.easy = nullptr;
}

size_t CurlMultiDriver::onHeaderLine(char* line, size_t size, size_t count, void* transfer)
{
    return takeHeaderLine(*static_cast<CurlTransfer*>(transfer), line, size * count);
}

// curl hands over whole lines, each at most its own bound long; whatever a
// server sends before and after the body (interim answers and trailers
// included) counts against one bound, and passing either ends the transfer.
size_t CurlMultiDriver::takeHeaderLine(CurlTransfer& transfer, const char* line, size_t length)
{
    transfer.headerBytes += qint64(length);
    const bool lineTooLongHere = qint64(length) > MaxHeaderLineBytes;
    if (lineTooLongHere || transfer.headerBytes > MaxHeaderBytes) {
        QMutexLocker lock(&transfer.mutex);
        transfer.fault = lineTooLongHere
            ? lineTooLong(transfer.host, MaxHeaderLineBytes)
            : QStringLiteral("The headers from %1 are longer than %2 bytes")
                  .arg(transfer.host, QString::number(MaxHeaderBytes));
        return 0;
    }
    const bool blockEnds = (length == 2 && std::memcmp(line, "\r\n", 2) == 0) || (length == 1 && line[0] == '\n');
    if (blockEnds)
        takeHeaderBlock(transfer);
    return length;
}

void CurlMultiDriver::takeHeaderBlock(CurlTransfer& transfer)
{
    long status = 0;
    curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
    // An interim answer ("100 Continue"): the real one follows. After the
    // real one, only trailers come.
    if ((status >= 100 && status < 200) || transfer.headersTaken)
        return;
    curl_off_t length = -1;
    curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);

    transfer.headersTaken = true;
    QMutexLocker lock(&transfer.mutex);
    transfer.metaDataPending = true;
    transfer.status = int(status);
    transfer.announcedLength = qint64(length);
    requestDelivery(transfer);
}

// What does not fit the reader's buffer waits in curl, which stops reading
// the socket until the reader has made room. The piece is copied before the
// mutex is taken, so the reader waits for a moment only.
size_t CurlMultiDriver::onBodyData(char* data, size_t size, size_t count, void* state)
{
    CurlTransfer& transfer = *static_cast<CurlTransfer*>(state);
    const qint64 length = qint64(size * count);
    QByteArray piece;
    if (!exceedsBuffer(transfer, length))
        piece = QByteArray(data, length);
    QMutexLocker lock(&transfer.mutex);
    if (transfer.canceled)
        return 0;
    // Decided again with the mutex held: the reader resumes a paused
    // transfer only with it held, so no pause can go unseen.
    if (exceedsBuffer(transfer, length)) {
        transfer.paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (piece.isNull())
        piece = QByteArray(data, length);
    transfer.pieces.push_back(std::move(piece));
    transfer.buffered += length;
    transfer.received += length;
    requestDelivery(transfer);
    return size_t(length);
}

bool CurlMultiDriver::exceedsBuffer(const CurlTransfer& transfer, qint64 length)
{
    const qint64 buffered = transfer.buffered;
    return transfer.bufferLimit > 0 && buffered > 0 && buffered + length > transfer.bufferLimit;
}

int CurlMultiDriver::onSocketChanged(CURL*, curl_socket_t socket, int what, void* driver, void* watch)
{
    static_cast<CurlMultiDriver*>(driver)->watchSocket(socket, what, static_cast<SocketWatch*>(watch));
    return 0;
}

int CurlMultiDriver::onTimerChanged(CURLM*, long timeoutMs, void* driver)
{
    QTimer* timer = static_cast<CurlMultiDriver*>(driver)->timeout;
    if (timeoutMs < 0)
        timer->stop();
    else
        timer->start(int(qMin<long>(timeoutMs, 24L * 3600 * 1000)));
    return 0;
}

void CurlMultiDriver::watchSocket(curl_socket_t socket, int what, SocketWatch* watch)
{
    if (what == CURL_POLL_REMOVE) {
        if (watch) {
            dropNotifier(watch->read);
            dropNotifier(watch->write);
            delete watch;
        }
        return;
    }
    if (!watch) {
        watch = new SocketWatch;
        curl_multi_assign(multi.get(), socket, watch);
    }
    setNotifier(watch->read, socket, what == CURL_POLL_IN || what == CURL_POLL_INOUT, CURL_CSELECT_IN);
    setNotifier(watch->write, socket, what == CURL_POLL_OUT || what == CURL_POLL_INOUT, CURL_CSELECT_OUT);
}

void CurlMultiDriver::setNotifier(QSocketNotifier*& notifier, curl_socket_t socket, bool wanted,
                                  int eventMask)
{
    if (!wanted) {
        if (notifier)
            notifier->setEnabled(false);
        return;
    }
    if (!notifier) {
        const auto type = eventMask == CURL_CSELECT_IN ? QSocketNotifier::Read : QSocketNotifier::Write;
        notifier = new QSocketNotifier(qintptr(socket), type, this);
        connect(notifier, &QSocketNotifier::activated, this,
                [this, socket, eventMask] { act(socket, eventMask); });
    }
    notifier->setEnabled(true);
}

// A notifier may be the one whose signal is being handled: it is disabled
// at once and deleted on a later turn.
void CurlMultiDriver::dropNotifier(QSocketNotifier*& notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier->deleteLater();
    notifier = nullptr;
}

void CurlMultiDriver::act(curl_socket_t socket, int eventMask)
{
    int running = 0;
    curl_multi_socket_action(multi.get(), socket, eventMask, &running);
    takeFinishedTransfers();
}

void CurlMultiDriver::takeFinishedTransfers()
{
    int left = 0;
    while (CURLMsg* done = curl_multi_info_read(multi.get(), &left)) {
        const std::shared_ptr<CurlTransfer> transfer = transfers.value(done->easy_handle);
        if (done->msg != CURLMSG_DONE || !transfer)
            continue;
        // The message is gone once the handle is removed: take the result first.
        const CURLcode result = done->data.result;
        {
            QMutexLocker lock(&transfer->mutex);
            transfer->ended = true;
            transfer->result = result;
            transfer->errorText = QString::fromLocal8Bit(transfer->errorBuffer[0] ? transfer->errorBuffer
                                                                                 : curl_easy_strerror(result));
            // curl holds a header line until it ends, up to a bound of its
            // own, and gives up on a longer one as if memory had run out.
            if (transfer->fault.isEmpty() && result == CURLE_OUT_OF_MEMORY && !transfer->headersTaken)
                transfer->fault = lineTooLong(transfer->host, CURL_MAX_HTTP_HEADER);
            requestDelivery(*transfer);
        }
        end(*transfer);
    }
}
