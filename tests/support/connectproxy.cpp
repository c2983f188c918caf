#include "connectproxy.h"

#include "socketpipe.h"

#include <QTcpSocket>

namespace {
constexpr qint64 MaxHeadBytes = 8 * 1024;
}

ConnectProxy::ConnectProxy(QObject* parent)
    : QObject(parent)
{
    lifetime.setSingleShot(true);
    connect(&lifetime, &QTimer::timeout, this, &ConnectProxy::stop);
    connect(&server, &QTcpServer::newConnection, this, &ConnectProxy::onNewConnection);
}

bool ConnectProxy::start(int lifetimeMs)
{
    if (!server.listen(QHostAddress::LocalHost))
        return false;
    lifetime.start(lifetimeMs);
    return true;
}

void ConnectProxy::stop()
{
    server.close();
    lifetime.stop();
    // Every child is a connection, or a pipe of two.
    qDeleteAll(findChildren<QObject*>(Qt::FindDirectChildrenOnly));
}

void ConnectProxy::onNewConnection()
{
    while (QTcpSocket* client = server.nextPendingConnection()) {
        client->setParent(this);
        connect(client, &QTcpSocket::readyRead, this, [this, client] { onRequestHead(client); });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
}

// The head is peeked at until it is whole, so that what follows it stays in
// the socket for the tunnel.
void ConnectProxy::onRequestHead(QTcpSocket* client)
{
    const QByteArray seen = client->peek(MaxHeadBytes);
    const qsizetype end = seen.indexOf("\r\n\r\n");
    if (end < 0 && seen.size() < MaxHeadBytes)
        return;
    disconnect(client, &QTcpSocket::readyRead, this, nullptr);
    const QByteArray head = client->read(end < 0 ? seen.size() : end + 4);
    const QByteArray line = head.left(head.indexOf("\r\n"));
    lines << line;
    const QList<QByteArray> parts = line.split(' ');
    const bool connectToLoopback = parts.size() == 3 && parts.at(0) == "CONNECT"
        && parts.at(1).startsWith("127.0.0.1:");
    bool portOk = false;
    const quint16 port = connectToLoopback ? parts.at(1).mid(10).toUShort(&portOk) : 0;
    if (!portOk) {
        client->write("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
        client->disconnectFromHost();
        return;
    }
    auto* target = new QTcpSocket(client);
    connect(target, &QTcpSocket::connected, this, [this, client, target] {
        client->write("HTTP/1.1 200 Connection established\r\nProxy-Agent: test proxy\r\n\r\n");
        SocketPipe::join(client, target, this);
    });
    connect(target, &QTcpSocket::errorOccurred, client, &QTcpSocket::disconnectFromHost);
    target->connectToHost(QHostAddress::LocalHost, port);
}
