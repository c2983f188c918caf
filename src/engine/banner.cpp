#include "banner.h"

#include "hostlookup.h"
#include "updateserver.h"

#include <QTimerEvent>
#include <QUdpSocket>

namespace {
constexpr quint16 BannerPort = 2009;
constexpr int ReplyTimeoutMs = 5000;
constexpr qint64 MaxReplySize = 1024;
}

Banner::Banner(QObject* parent)
    : QObject(parent)
    , lookup(new HostLookup(this))
    , socket(new QUdpSocket(this))
    , requestCount(0)
{
    socket->bind(0);
    connect(socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(socket, &QUdpSocket::errorOccurred, this, &Banner::onError);
    connect(lookup, &HostLookup::found, this, &Banner::onResolved);
}

Banner::~Banner()
{
    if (replyTimer.isActive())
        replyTimer.stop();
}

void Banner::run()
{
    lookup->lookUpIPv4(BANNER_SERVER);
}

void Banner::onResolved(QHostAddress address)
{
    if (address.isNull())
        return;
    serverAddress = address;
    // Only the server may answer: once connected, the socket sends to it
    // alone and the kernel drops every datagram that comes from anyone else.
    socket->connectToHost(serverAddress, BannerPort);
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    sendRequest();
}

void Banner::sendRequest()
{
    static const QByteArray request("\x01\x01", 2);
    // A refusal that arrived since the last read fails this write instead of
    // the request going out (Qt does not say why a write failed). A refusal
    // is no answer, so a failed write is tried once more.
    if (socket->write(request) == -1 && socket->write(request) == -1) {
        replyTimer.stop();
        return;
    }
    replyTimer.start(ReplyTimeoutMs, this);
}

void Banner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == replyTimer.timerId()) {
        const int previousCount = requestCount++;
        if (previousCount < 1)
            sendRequest();
        else
            replyTimer.stop();
    }
    QObject::timerEvent(event);
}

// Every pending datagram is read, so that readyRead comes again for the next.
void Banner::onReadyRead()
{
    while (socket->hasPendingDatagrams()) {
        char buffer[MaxReplySize];
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 length = socket->readDatagram(buffer, MaxReplySize, &sender, &senderPort);
        if (length < 0)
            return;
        // What reached the socket before it was connected may come from
        // anyone: only the server's datagrams count, the rest is as if
        // nothing had arrived.
        if (senderPort != BannerPort
            || !sender.isEqual(serverAddress, QHostAddress::ConvertV4MappedToIPv4))
            continue;
        // Any datagram of the server ends the retries, even one that is then
        // ignored.
        replyTimer.stop();
        const QStringList parts =
            QString::fromLatin1(buffer, length).split(QLatin1Char(','), Qt::KeepEmptyParts);
        if (parts.size() == 2)
            emit bannerFound(parts.at(0), parts.at(1));
    }
}

void Banner::onError(QAbstractSocket::SocketError)
{
    replyTimer.stop();
}
