#ifndef CONNECTPROXY_H
#define CONNECTPROXY_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

// An HTTP proxy for tests that knows CONNECT alone: on 127.0.0.1, at a free
// port, it reads a request head (at most 8 KiB), answers a CONNECT to a port
// on 127.0.0.1 with a 200 of its own and then passes the connection's
// bytes to that port and back; anything else gets a 403 and the connection
// ends. It stops by itself when its lifetime is over, and at the latest when
// it is destroyed.
class ConnectProxy : public QObject
{
public:
    explicit ConnectProxy(QObject* parent = nullptr);

    bool start(int lifetimeMs = 60000);
    void stop();
    quint16 port() const { return server.serverPort(); }

    // The request lines so far, as received.
    QList<QByteArray> requestLines() const { return lines; }

private:
    void onNewConnection();
    void onRequestHead(QTcpSocket* client);

    QTcpServer server;
    QTimer lifetime;
    QList<QByteArray> lines;
};

#endif
