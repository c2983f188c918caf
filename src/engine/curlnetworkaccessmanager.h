#ifndef CURLNETWORKACCESSMANAGER_H
#define CURLNETWORKACCESSMANAGER_H

#include <QNetworkAccessManager>

#include <memory>

class CurlMultiDriver;

// A network access manager whose HTTP and HTTPS GETs are done by libcurl on
// the manager's own thread, so that what a server sends before its body is
// bounded and no server can hold a thread that other transfers need. Replies
// keep the QNetworkReply interface. Only GET over http and https is served;
// anything else fails at once. Redirections are never followed; the proxy
// set with setProxy() (an HTTP proxy, or none) applies to every request, and
// no proxy from the environment is used.
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

    std::unique_ptr<CurlMultiDriver> driver;
};

#endif
