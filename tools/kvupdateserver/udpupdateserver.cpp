#include "udpupdateserver.h"

#include <QHostAddress>
#include <QNetworkDatagram>
#include <QUdpSocket>

namespace {

const QByteArray versionRequest("3\0", 2);
const QByteArray newsRequest("*\0", 2);
const QByteArray bannerRequest("\x01\x01", 2);

} // namespace

UdpUpdateServer::UdpUpdateServer(const Answers& answers, QObject* parent)
    : QObject(parent)
    , answers(answers)
    , versionSocket(new QUdpSocket(this))
    , bannerSocket(new QUdpSocket(this))
{
    connect(versionSocket, &QUdpSocket::readyRead, this, &UdpUpdateServer::onVersionRequest);
    connect(bannerSocket, &QUdpSocket::readyRead, this, &UdpUpdateServer::onBannerRequest);
}

bool UdpUpdateServer::listen(quint16 versionPort, quint16 bannerPort)
{
    if (!versionSocket->bind(QHostAddress::LocalHost, versionPort)) {
        error = QStringLiteral("port %1: %2").arg(QString::number(versionPort), versionSocket->errorString());
        return false;
    }
    if (answers.banner.isEmpty())
        return true;
    if (!bannerSocket->bind(QHostAddress::LocalHost, bannerPort)) {
        error = QStringLiteral("port %1: %2").arg(QString::number(bannerPort), bannerSocket->errorString());
        return false;
    }
    return true;
}

QString UdpUpdateServer::errorString() const
{
    return error;
}

// Each request gets its answer from the port it was sent to; anything else
// that arrives is dropped unanswered, as the real server does with noise.
void UdpUpdateServer::onVersionRequest()
{
    while (versionSocket->hasPendingDatagrams()) {
        const QNetworkDatagram request = versionSocket->receiveDatagram();
        if (request.data() == versionRequest) {
            versionSocket->writeDatagram(request.makeReply(answers.versions));
            emit requestAnswered(QStringLiteral("versions"));
        } else if (request.data() == newsRequest) {
            versionSocket->writeDatagram(request.makeReply(answers.news));
            emit requestAnswered(QStringLiteral("news"));
        }
    }
}

void UdpUpdateServer::onBannerRequest()
{
    while (bannerSocket->hasPendingDatagrams()) {
        const QNetworkDatagram request = bannerSocket->receiveDatagram();
        if (request.data() != bannerRequest)
            continue;
        bannerSocket->writeDatagram(request.makeReply(answers.banner));
        emit requestAnswered(QStringLiteral("banner"));
    }
}
