#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int waitMilliseconds = 1000;

// Anyone can listen at a name in a shared temporary directory: only an
// updater of the same user counts as running.
bool peerIsSameUser(const QLocalSocket& socket)
{
    ucred peer{};
    socklen_t length = sizeof(peer);
    return ::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0
        && peer.uid == ::geteuid();
}

// Where Qt puts the socket of a plain server name.
QByteArray socketPath(const QString& name)
{
    return QFile::encodeName(QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name);
}

// Only a name that refuses connections is certainly stale.
bool mayBeLive(const QString& name)
{
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    if (probe.waitForConnected(waitMilliseconds))
        return true;
    const QLocalSocket::LocalSocketError error = probe.error();
    return error != QLocalSocket::ConnectionRefusedError && error != QLocalSocket::ServerNotFoundError;
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    server->setSocketOptions(QLocalServer::UserAccessOption);
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
    if (!socket.waitForConnected(waitMilliseconds) || !peerIsSameUser(socket))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(waitMilliseconds);
}

// A socket file left behind by an updater of ours that crashed keeps the
// name in use although nobody listens: it is taken back. Anything else there
// (a live updater, another user's file, anything but a socket) is left alone
// and this window runs without the guard. The name is looked at first
// because listening with an access option replaces whatever lies there.
void SingleInstanceChecker::listenReclaimingStaleName()
{
    const QString name = getLocalServerName();
    struct stat status;
    if (::lstat(socketPath(name).constData(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode) || status.st_uid != ::geteuid() || mayBeLive(name))
            return;
        QLocalServer::removeServer(name);
    }
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
