#include "singleinstancechecker.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const int waitMilliseconds = 1000;
// A stale socket removed, and the name taken meanwhile by a start that could
// not have the lock: the holder is looked at again, a bounded number of times.
const int listenAttempts = 3;
// Longer than a start holds the lock (a look at the holder per attempt), so
// a lock still held after it is kept by someone else.
const int lockWaitMilliseconds = (listenAttempts + 1) * waitMilliseconds;
const int lockPollMilliseconds = 10;

enum class Holder { Nobody, OurUpdater, OurStaleSocket, Untrusted };

// Starts of one installation take the name one at a time, so that one start
// never looks at the name while another has bound it but not yet listens,
// and two never remove the same stale socket (the second would remove the
// first one's live socket). An advisory lock on the application directory:
// no file is made for it, and it ends with the process. Where it cannot be
// had in time (a file system without locks, another user keeping it) the
// name is taken without it.
class InstallationLock
{
public:
    explicit InstallationLock(const QString& directory);
    ~InstallationLock();
    InstallationLock(const InstallationLock&) = delete;
    InstallationLock& operator=(const InstallationLock&) = delete;

private:
    int descriptor;
};

InstallationLock::InstallationLock(const QString& directory)
    : descriptor(::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
    const QDeadlineTimer deadline(lockWaitMilliseconds);
    while (descriptor >= 0 && ::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || deadline.hasExpired()) {
            ::close(descriptor);
            descriptor = -1;
        } else {
            QThread::msleep(lockPollMilliseconds);
        }
    }
}

InstallationLock::~InstallationLock()
{
    if (descriptor >= 0)
        ::close(descriptor);
}

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
Holder holderOf(const QString& name)
{
    struct stat status;
    if (::lstat(socketPath(name).constData(), &status) != 0)
        return errno == ENOENT ? Holder::Nobody : Holder::Untrusted;
    if (!S_ISSOCK(status.st_mode) || status.st_uid != ::geteuid())
        return Holder::Untrusted;
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    if (probe.waitForConnected(waitMilliseconds))
        return peerIsSameUser(probe) ? Holder::OurUpdater : Holder::Untrusted;
    switch (probe.error()) {
    case QLocalSocket::ConnectionRefusedError:
        return Holder::OurStaleSocket;
    case QLocalSocket::ServerNotFoundError:
        return Holder::Nobody;
    default:
        return Holder::OurUpdater;
    }
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    const InstallationLock lock(QCoreApplication::applicationDirPath());
    takeName();
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

bool SingleInstanceChecker::otherInstanceRuns() const
{
    return otherInstance;
}

// Listening never replaces what holds the name, so of two starts that both
// found no updater only one listens; the other looks at the holder. A socket
// file left behind by an updater of ours that crashed is taken back;
// anything else that is not ours (another user's socket, anything but a
// socket) is left alone and this updater runs without the guard.
void SingleInstanceChecker::takeName()
{
    const QString name = getLocalServerName();
    for (int attempt = 0; attempt < listenAttempts; ++attempt) {
        if (listenForOwnUserOnly(name) || server->serverError() != QAbstractSocket::AddressInUseError)
            return;
        switch (holderOf(name)) {
        case Holder::OurUpdater:
            otherInstance = true;
            return;
        case Holder::Untrusted:
            return;
        case Holder::OurStaleSocket:
            QLocalServer::removeServer(name);
            break;
        case Holder::Nobody:
            break;
        }
    }
}

// Bound at the name itself, which fails when anything lies there; Qt's
// access options would bind elsewhere and rename over it.
bool SingleInstanceChecker::listenForOwnUserOnly(const QString& name)
{
    const OwnerOnlyFiles mask;
    return server->listen(name);
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
