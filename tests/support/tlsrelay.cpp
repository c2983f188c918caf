#include "tlsrelay.h"

#include "socketpipe.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

TlsRelay::TlsRelay(quint16 backendPort, QObject* parent)
    : QObject(parent)
    , backendPort(backendPort)
{
    lifetime.setSingleShot(true);
    connect(&lifetime, &QTimer::timeout, this, &TlsRelay::stop);
    connect(&server, &QTcpServer::pendingConnectionAvailable, this, &TlsRelay::onEncryptedConnection);
}

bool TlsRelay::start(const QList<QByteArray>& offeredProtocols, int lifetimeMs)
{
    if (!directory.isValid() || !makeCertificate())
        return false;
    QFile keyFile(directory.filePath(QStringLiteral("key.pem")));
    if (!keyFile.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1").arg(keyFile.fileName());
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(QSslCertificate::fromPath(directory.filePath(
        QStringLiteral("trusted/ca-certificates.crt"))));
    configuration.setPrivateKey(QSslKey(&keyFile, QSsl::Ec));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setAllowedNextProtocols(offeredProtocols);
    server.setSslConfiguration(configuration);
    if (!server.listen(QHostAddress::LocalHost)) {
        error = server.errorString();
        return false;
    }
    lifetime.start(lifetimeMs);
    return true;
}

void TlsRelay::stop()
{
    server.close();
    lifetime.stop();
    const QList<SocketPipe*> pipes = findChildren<SocketPipe*>(Qt::FindDirectChildrenOnly);
    qDeleteAll(pipes);
}

QString TlsRelay::url(const QString& path) const
{
    return QStringLiteral("https://127.0.0.1:%1%2").arg(port()).arg(path);
}

QString TlsRelay::trustedDirectory() const
{
    return directory.filePath(QStringLiteral("trusted"));
}

// A key and a self-signed certificate for 127.0.0.1, valid for a day.
bool TlsRelay::makeCertificate()
{
    if (!QDir(directory.path()).mkdir(QStringLiteral("trusted"))) {
        error = QStringLiteral("cannot make a directory in %1").arg(directory.path());
        return false;
    }
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    const QStringList arguments = QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                                                 "-nodes -days 1 -subj /CN=127.0.0.1 "
                                                 "-addext subjectAltName=IP:127.0.0.1")
                                      .split(QLatin1Char(' '));
    openssl.start(QStringLiteral("openssl"),
                  arguments + QStringList{QStringLiteral("-keyout"), directory.filePath(QStringLiteral("key.pem")),
                                          QStringLiteral("-out"),
                                          directory.filePath(QStringLiteral("trusted/ca-certificates.crt"))});
    const bool made = openssl.waitForFinished(30000)
        && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
    if (!made)
        error = QStringLiteral("openssl made no certificate: %1 %2")
                    .arg(openssl.errorString(), QString::fromLocal8Bit(openssl.readAll()));
    return made;
}

void TlsRelay::onEncryptedConnection()
{
    while (server.hasPendingConnections()) {
        auto* client = qobject_cast<QSslSocket*>(server.nextPendingConnection());
        if (!client)
            continue;
        negotiated << client->sslConfiguration().nextNegotiatedProtocol();
        auto* backend = new QTcpSocket(client);
        connect(backend, &QTcpSocket::connected, this, [this, client, backend] {
            SocketPipe::join(client, backend, this);
        });
        connect(backend, &QTcpSocket::errorOccurred, client, &QTcpSocket::disconnectFromHost);
        backend->connectToHost(QHostAddress::LocalHost, backendPort);
    }
}
