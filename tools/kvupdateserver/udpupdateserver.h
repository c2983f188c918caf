#ifndef UDPUPDATESERVER_H
#define UDPUPDATESERVER_H

#include <QByteArray>
#include <QObject>
#include <QString>

class QUdpSocket;

// The two UDP services of the update server, on the loopback interface only:
// the version list and the news text on one port, the banner on another.
// For the demo and the end-to-end tests; the real server is not ours.
class UdpUpdateServer : public QObject
{
    Q_OBJECT

public:
    static constexpr quint16 DefaultVersionPort = 17384;
    static constexpr quint16 DefaultBannerPort = 2009;

    struct Answers
    {
        // "version#name" per channel, comma-separated.
        QByteArray versions;
        QByteArray news;
        // "bannerUrl,clickUrl"; empty: the banner port is not served.
        QByteArray banner;
    };

    UdpUpdateServer(const Answers& answers, QObject* parent);

    // Binds 127.0.0.1 on both ports; false with errorString() set when one
    // of them cannot be bound.
    bool listen(quint16 versionPort, quint16 bannerPort);
    QString errorString() const;

signals:
    void requestAnswered(QString description);

private slots:
    void onVersionRequest();
    void onBannerRequest();

private:
    Answers answers;
    QUdpSocket* versionSocket;
    QUdpSocket* bannerSocket;
    QString error;
};

#endif
