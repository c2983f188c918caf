#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace {

const int waitMilliseconds = 1000;

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    listenReclaimingStaleName();
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    server->close();
    if (connection)
        connection->close();
}

QString SingleInstanceChecker::getLocalServerName()
{
    return serverNameFor(QCoreApplication::applicationFilePath(), QDir::homePath());
}

QString SingleInstanceChecker::serverNameFor(const QString& executablePath, const QString& homePath)
{
    QString text = executablePath.toLower() + homePath;
    text.remove(QLatin1Char('/'));
    text.remove(QLatin1Char(':'));
    const quint16 checksum = qChecksum(text.toUtf8(), Qt::ChecksumIso3309);
    return QLatin1String("KV3ClientUpdate") + QString::number(checksum, 16);
}

bool SingleInstanceChecker::checkExistingInstance(const QString& message)
{
    QLocalSocket socket;
    socket.connectToServer(getLocalServerName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(waitMilliseconds))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(waitMilliseconds);
}

// A socket file left behind by an updater that crashed keeps the name in use
// although nobody listens. Only a name that refuses connections is taken
// back: a name that answers belongs to a live updater and is never removed.
void SingleInstanceChecker::listenReclaimingStaleName()
{
    const QString name = getLocalServerName();
    if (server->listen(name) || server->serverError() != QAbstractSocket::AddressInUseError)
        return;
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    if (probe.waitForConnected(waitMilliseconds))
        return;
    const QLocalSocket::LocalSocketError error = probe.error();
    if (error != QLocalSocket::ConnectionRefusedError && error != QLocalSocket::ServerNotFoundError)
        return;
    QLocalServer::removeServer(name);
    server->listen(name);
}

void SingleInstanceChecker::onNewConnection()
{
    // Only the newest peer is served; one that has not sent yet is dropped.
    delete connection;
    connection = server->nextPendingConnection();
    if (connection)
        connect(connection, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!connection)
        return;
    const QByteArray bytes = connection->readAll();
    const qsizetype end = bytes.indexOf('\0');
    const qsizetype length = end < 0 ? bytes.size() : end;
    // The socket is still delivering its own readyRead: dispose of it later.
    connection->deleteLater();
    connection = nullptr;
    emit otherInstanceActivate(QString::fromLatin1(bytes.constData(), length));
}
