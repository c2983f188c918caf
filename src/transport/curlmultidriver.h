#ifndef CURLMULTIDRIVER_H
#define CURLMULTIDRIVER_H

#include <QHash>
#include <QObject>

#include <curl/curl.h>

#include <memory>

struct CurlTransfer;
class QSocketNotifier;
class QTimer;

// Runs libcurl's multi interface on the event loop of the network thread:
// socket notifiers and one timer tell curl when to act, and each time curl
// does one bounded step and returns, whatever a server sends, so no server
// can hold the thread. What arrives goes into each transfer's shared state,
// and its reply is told on its own thread. start, stop and resume may be
// called from any thread; the work is done on the driver's.
class CurlMultiDriver : public QObject
{
    Q_OBJECT

public:
    CurlMultiDriver();
    ~CurlMultiDriver() override;

    void start(const std::shared_ptr<CurlTransfer>& transfer, const QByteArray& url, const QByteArray& proxy);
    // Ends a transfer early; its reply hears nothing more of it.
    void stop(const std::shared_ptr<CurlTransfer>& transfer);
    // Goes on with a transfer that waited for its reader to make room.
    void resume(const std::shared_ptr<CurlTransfer>& transfer);

    // Tells the reply of a transfer (mutex held) that there is news.
    static void requestDelivery(CurlTransfer& transfer);

private:
    struct SocketWatch
    {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
    };
    struct MultiCleanup
    {
        void operator()(CURLM* handle) const;
    };

    void begin(const std::shared_ptr<CurlTransfer>& transfer, const QByteArray& url, const QByteArray& proxy);
    bool configure(CurlTransfer& transfer, const QByteArray& url, const QByteArray& proxy);
    void end(CurlTransfer& transfer);
    static size_t onHeaderLine(char* line, size_t size, size_t count, void* transfer);
    static size_t onBodyData(char* data, size_t size, size_t count, void* transfer);
    static bool exceedsBuffer(const CurlTransfer& transfer, qint64 length);
    static size_t takeHeaderLine(CurlTransfer& transfer, const char* line, size_t length);
    static void takeHeaderBlock(CurlTransfer& transfer);
    static int onSocketChanged(CURL* easy, curl_socket_t socket, int what, void* driver, void* watch);
    static int onTimerChanged(CURLM* multi, long timeoutMs, void* driver);
    void watchSocket(curl_socket_t socket, int what, SocketWatch* watch);
    void setNotifier(QSocketNotifier*& notifier, curl_socket_t socket, bool wanted, int eventMask);
    static void dropNotifier(QSocketNotifier*& notifier);
    void act(curl_socket_t socket, int eventMask);
    void takeFinishedTransfers();

    std::unique_ptr<CURLM, MultiCleanup> multi;
    QTimer* timeout;
    // Each transfer in the multi handle, by its easy handle.
    QHash<CURL*, std::shared_ptr<CurlTransfer>> transfers;
};

#endif
