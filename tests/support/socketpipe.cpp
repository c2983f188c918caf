#include "socketpipe.h"

#include <QAbstractSocket>

void SocketPipe::join(QAbstractSocket* first, QAbstractSocket* second, QObject* owner)
{
    new SocketPipe(first, second, owner);
}

SocketPipe::SocketPipe(QAbstractSocket* first, QAbstractSocket* second, QObject* owner)
    : QObject(owner)
    , first(first)
    , second(second)
{
    first->setParent(this);
    second->setParent(this);
    connect(first, &QAbstractSocket::readyRead, this, [first, second] { pass(first, second); });
    connect(second, &QAbstractSocket::readyRead, this, [first, second] { pass(second, first); });
    connect(first, &QAbstractSocket::disconnected, this, &SocketPipe::end);
    connect(second, &QAbstractSocket::disconnected, this, &SocketPipe::end);
    pass(first, second);
    pass(second, first);
    if (first->state() != QAbstractSocket::ConnectedState || second->state() != QAbstractSocket::ConnectedState)
        end();
}

void SocketPipe::pass(QAbstractSocket* from, QAbstractSocket* to)
{
    if (from->bytesAvailable() > 0)
        to->write(from->readAll());
}

// Whatever is still on its way goes out before the other side closes.
void SocketPipe::end()
{
    disconnect(first, nullptr, this, nullptr);
    disconnect(second, nullptr, this, nullptr);
    pass(first, second);
    pass(second, first);
    first->disconnectFromHost();
    second->disconnectFromHost();
    deleteLater();
}
