#ifndef CURLMULTIDRIVER_H
#define CURLMULTIDRIVER_H

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <curl/curl.h>

#include <QSet>

#include <memory>
#include <vector>

class CurlNetworkReply;
class QSocketNotifier;

// Runs libcurl's multi interface on the Qt event loop of its thread: socket
// notifiers and one timer tell curl when to act, and each time curl does one
// bounded step and returns, whatever a server sends. Replies are told what
// happened only after curl has returned, never from inside one of its
// callbacks, so whatever their receivers do (abort, read, delete later) is
// safe. A driver that goes away first lets go of the transfers it drives.
class CurlMultiDriver : public QObject
{
    Q_OBJECT

public:
    CurlMultiDriver();
    ~CurlMultiDriver() override;

    // A reply whose transfer was added is the driver's until it forgets it.
    bool addTransfer(CurlNetworkReply* reply, CURL* easy);
    void removeTransfer(CURL* easy);
    void forget(CurlNetworkReply* reply);
    // The reply delivers what it holds once curl has returned control.
    void deliverSoon(CurlNetworkReply* reply);

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

    static int onSocketChanged(CURL* easy, curl_socket_t socket, int what, void* driver, void* watch);
    static int onTimerChanged(CURLM* multi, long timeoutMs, void* driver);
    void watchSocket(curl_socket_t socket, int what, SocketWatch* watch);
    void setNotifier(QSocketNotifier*& notifier, curl_socket_t socket, bool wanted, int eventMask);
    static void dropNotifier(QSocketNotifier*& notifier);
    void act(curl_socket_t socket, int eventMask);
    void takeFinishedTransfers();
    void deliver();

    std::unique_ptr<CURLM, MultiCleanup> multi;
    QSet<CurlNetworkReply*> replies;
    QTimer timeout;
    QTimer delivery;
    std::vector<QPointer<CurlNetworkReply>> pendingDelivery;
    bool acting = false;
};

#endif
