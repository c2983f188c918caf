#include "hangingresolver.h"

#include <QFile>
#include <QNetworkDatagram>

HangingResolver::HangingResolver()
{
    QObject::connect(&socket, &QUdpSocket::readyRead, &socket, [this] {
        while (socket.hasPendingDatagrams()) {
            socket.receiveDatagram(512);
            ++queries;
        }
    });
}

bool HangingResolver::start()
{
    error = PrivateMounts::unavailableReason();
    if (!error.isEmpty())
        return false;
    if (!socket.bind(QHostAddress::LocalHost, 53)) {
        error = QStringLiteral("cannot listen on 127.0.0.1:53: %1").arg(socket.errorString());
        return false;
    }
    QFile settings(directory.filePath(QStringLiteral("resolv.conf")));
    const QByteArray text = "nameserver 127.0.0.1\noptions timeout:" + QByteArray::number(LookupSeconds)
        + " attempts:1\n";
    if (!directory.isValid() || !settings.open(QIODevice::WriteOnly) || settings.write(text) != text.size()) {
        error = QStringLiteral("cannot write %1").arg(settings.fileName());
        return false;
    }
    settings.close();
    if (!mounts.bindOver(settings.fileName(), QStringLiteral("/etc/resolv.conf"))) {
        error = mounts.errorString();
        return false;
    }
    return true;
}
