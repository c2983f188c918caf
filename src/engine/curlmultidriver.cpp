#include "curlmultidriver.h"

#include "curlnetworkreply.h"

#include <QSocketNotifier>

namespace {

void initializeCurlOnce()
{
    // A function-local static runs exactly once, even with several threads.
    static const bool initialized = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Q_UNUSED(initialized);
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
{
    initializeCurlOnce();
    multi.reset(curl_multi_init());
    timeout.setSingleShot(true);
    delivery.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
    connect(&delivery, &QTimer::timeout, this, &CurlMultiDriver::deliver);
    if (!multi)
        return;
    curl_multi_setopt(multi.get(), CURLMOPT_SOCKETFUNCTION, &CurlMultiDriver::onSocketChanged);
    curl_multi_setopt(multi.get(), CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi.get(), CURLMOPT_TIMERFUNCTION, &CurlMultiDriver::onTimerChanged);
    curl_multi_setopt(multi.get(), CURLMOPT_TIMERDATA, this);
}

CurlMultiDriver::~CurlMultiDriver()
{
    const QSet<CurlNetworkReply*> left = replies;
    for (CurlNetworkReply* reply : left)
        reply->detachFromDriver();
}

bool CurlMultiDriver::addTransfer(CurlNetworkReply* reply, CURL* easy)
{
    if (!multi || curl_multi_add_handle(multi.get(), easy) != CURLM_OK)
        return false;
    replies.insert(reply);
    return true;
}

void CurlMultiDriver::removeTransfer(CURL* easy)
{
    curl_multi_remove_handle(multi.get(), easy);
}

void CurlMultiDriver::forget(CurlNetworkReply* reply)
{
    replies.remove(reply);
}

void CurlMultiDriver::deliverSoon(CurlNetworkReply* reply)
{
    pendingDelivery.emplace_back(reply);
    if (!acting)
        delivery.start(0);
}

int CurlMultiDriver::onSocketChanged(CURL*, curl_socket_t socket, int what, void* driver, void* watch)
{
    static_cast<CurlMultiDriver*>(driver)->watchSocket(socket, what, static_cast<SocketWatch*>(watch));
    return 0;
}

int CurlMultiDriver::onTimerChanged(CURLM*, long timeoutMs, void* driver)
{
    QTimer& timer = static_cast<CurlMultiDriver*>(driver)->timeout;
    if (timeoutMs < 0)
        timer.stop();
    else
        timer.start(int(qMin<long>(timeoutMs, 24L * 3600 * 1000)));
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
    acting = true;
    int running = 0;
    curl_multi_socket_action(multi.get(), socket, eventMask, &running);
    takeFinishedTransfers();
    acting = false;
    deliver();
}

void CurlMultiDriver::takeFinishedTransfers()
{
    int left = 0;
    while (CURLMsg* done = curl_multi_info_read(multi.get(), &left)) {
        if (done->msg != CURLMSG_DONE)
            continue;
        CurlNetworkReply* reply = nullptr;
        curl_easy_getinfo(done->easy_handle, CURLINFO_PRIVATE, &reply);
        // The message is gone once the handle is removed: take the result first.
        const CURLcode result = done->data.result;
        if (reply)
            reply->transferEnded(result);
    }
}

// A receiver told here may even delete the manager, and this driver with it.
void CurlMultiDriver::deliver()
{
    const QPointer<CurlMultiDriver> self(this);
    std::vector<QPointer<CurlNetworkReply>> replies;
    replies.swap(pendingDelivery);
    for (const QPointer<CurlNetworkReply>& reply : replies) {
        if (reply)
            reply->deliver();
        if (!self)
            return;
    }
}
