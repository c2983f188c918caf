#ifndef SOCKETPIPE_H
#define SOCKETPIPE_H

#include <QObject>

class QAbstractSocket;

// Passes the bytes of two connected sockets into each other, as they come,
// until either side closes; then closes the other too and goes, with both.
class SocketPipe : public QObject
{
public:
    // Both sockets become the pipe's, and the pipe `owner`'s. What either
    // has received already goes across at once.
    static void join(QAbstractSocket* first, QAbstractSocket* second, QObject* owner);

private:
    SocketPipe(QAbstractSocket* first, QAbstractSocket* second, QObject* owner);
    static void pass(QAbstractSocket* from, QAbstractSocket* to);
    void end();

    QAbstractSocket* first;
    QAbstractSocket* second;
};

#endif
