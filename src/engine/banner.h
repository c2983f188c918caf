#ifndef BANNER_H
#define BANNER_H

#include <QAbstractSocket>
#include <QBasicTimer>
#include <QHostAddress>
#include <QObject>

class HostLookup;
class QUdpSocket;

// Asks the update server which banner image to show and where a click on it
// leads. Best effort: every failure is silent. At most two requests go out,
// 5000 ms apart; only datagrams from the server count as replies.
class Banner : public QObject
{
    Q_OBJECT

public:
    explicit Banner(QObject* parent);
    ~Banner() override;

    void run();

signals:
    void bannerFound(QString bannerUrl, QString clickUrl);

protected:
    void timerEvent(QTimerEvent* event) override;

private slots:
    void onResolved(QHostAddress address);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    void sendRequest();

    HostLookup* lookup;
    QUdpSocket* socket;
    QBasicTimer replyTimer;
    QHostAddress serverAddress;
    int requestCount;
};

#endif
