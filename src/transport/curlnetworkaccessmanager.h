#ifndef CURLNETWORKACCESSMANAGER_H
#define CURLNETWORKACCESSMANAGER_H

#include <QNetworkAccessManager>
#include <QThread>

class CurlMultiDriver;

// A network access manager whose HTTP and HTTPS GETs are done by libcurl on
// a network thread of its own, so that what a server sends before its body is
// bounded and no server can hold the thread that other transfers need.
// Replies keep the QNetworkReply interface and live on the manager's thread.
// Only GET over http and https, in HTTP/1.1, is served; anything else fails at
// once. Redirections are never followed; the proxy set with setProxy() (an
// HTTP proxy, or none) applies to every request, and nothing in the
// environment changes where a request goes. A transfer dropped while its
// host name is being looked up costs neither the other transfers nor the
// manager's end any time.
class CurlNetworkAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    explicit CurlNetworkAccessManager(QObject* parent = nullptr);
    ~CurlNetworkAccessManager() override;

protected:
    QNetworkReply* createRequest(Operation operation, const QNetworkRequest& request,
                                 QIODevice* outgoingData) override;

private:
    QByteArray proxyForCurl() const;

    QThread networkThread;
    CurlMultiDriver* driver;
};

#endif
