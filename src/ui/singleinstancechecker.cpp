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

// A socket file takes its mode from the umask: made owner-only as it is
// bound, no other user can connect at any moment.
class OwnerOnlyFiles
{
public:
    OwnerOnlyFiles()
        : previous(::umask(S_IRWXG | S_IRWXO))
    {
    }
    ~OwnerOnlyFiles() { ::umask(previous); }
    OwnerOnlyFiles(const OwnerOnlyFiles&) = delete;
    OwnerOnlyFiles& operator=(const OwnerOnlyFiles&) = delete;

private:
    const mode_t previous;
};

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

// Only a socket of ours that refuses connections is certainly stale; one
// that neither answers nor refuses may be an updater of ours that is busy.
bool isOurStaleSocket(const QString& name)
{
    struct stat status;
    if (::lstat(socketPath(name).constData(), &status) != 0 || !S_ISSOCK(status.st_mode)
        || status.st_uid != ::geteuid())
        return false;
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    return !probe.waitForConnected(waitMilliseconds) && probe.error() == QLocalSocket::ConnectionRefusedError;
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    // Bound at the name itself, which fails when anything lies there; Qt's
    // access options would bind elsewhere and rename over it. Without the
    // name the updater runs on, without hand-overs.
    const OwnerOnlyFiles mask;
    static_cast<void>(server->listen(getLocalServerName()));
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

void SingleInstanceChecker::removeStaleServer()
{
    const QString name = getLocalServerName();
    if (isOurStaleSocket(name))
        QLocalServer::removeServer(name);
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
