#include "curlnetworkaccessmanager.h"

#include "curlmultidriver.h"
#include "curlnetworkreply.h"

#include <QNetworkProxy>
#include <QUrl>

CurlNetworkAccessManager::CurlNetworkAccessManager(QObject* parent)
    : QNetworkAccessManager(parent)
    , driver(new CurlMultiDriver)
{
    // Says what the client does: it follows no redirection.
    setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    networkThread.setObjectName(QStringLiteral("curl"));
    driver->moveToThread(&networkThread);
    networkThread.start();
}

// The driver is deleted on its own thread as that ends, before the replies,
// children of the manager, which find it gone.
CurlNetworkAccessManager::~CurlNetworkAccessManager()
{
    driver->deleteLater();
    networkThread.quit();
    networkThread.wait();
}

QNetworkReply* CurlNetworkAccessManager::createRequest(Operation operation, const QNetworkRequest& request,
                                                       QIODevice*)
{
    const QString scheme = request.url().scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        return new CurlNetworkReply(QNetworkReply::ProtocolUnknownError,
                                    QStringLiteral("Protocol \"%1\" is unknown").arg(scheme), request, this);
    }
    if (operation != GetOperation) {
        return new CurlNetworkReply(QNetworkReply::ProtocolInvalidOperationError,
                                    QStringLiteral("Only GET is supported"), request, this);
    }
    return new CurlNetworkReply(driver, request, proxyForCurl(), this);
}

// Empty: a direct connection, whatever the environment says.
QByteArray CurlNetworkAccessManager::proxyForCurl() const
{
    QNetworkProxy chosen = proxy();
    if (chosen.type() == QNetworkProxy::DefaultProxy)
        chosen = QNetworkProxy::applicationProxy();
    if (chosen.type() != QNetworkProxy::HttpProxy)
        return QByteArray();
    QUrl address;
    address.setScheme(QStringLiteral("http"));
    address.setHost(chosen.hostName());
    address.setPort(chosen.port());
    return address.toEncoded();
}
