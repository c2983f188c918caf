#include "updatechecker.h"

#include "updateserver.h"

#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

// Each reply is awaited at most this long.
const qint64 ReceiveTimeoutMs = 5000;

// Closes the query's socket on every way out of the exchange.
class SocketHandle
{
public:
    SocketHandle() : descriptor(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {}
    ~SocketHandle()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;

    bool isValid() const { return descriptor >= 0; }
    int get() const { return descriptor; }

private:
    int descriptor;
};

struct AddressListDeleter
{
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

bool resolveServer(sockaddr_in& address)
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;

    addrinfo* found = nullptr;
    const QByteArray host = BANNER_SERVER.toLocal8Bit();
    if (::getaddrinfo(host.constData(), nullptr, &hints, &found) != 0 || found == nullptr)
        return false;
    const std::unique_ptr<addrinfo, AddressListDeleter> results(found);
    if (results->ai_family != AF_INET || results->ai_addr == nullptr
        || results->ai_addrlen < sizeof(sockaddr_in))
        return false;

    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(UpdateChecker::Port);
    address.sin_addr = reinterpret_cast<const sockaddr_in*>(results->ai_addr)->sin_addr;
    return true;
}

// Only the server may answer: once connected, the socket sends to it alone
// and the kernel drops every datagram that comes from anyone else.
bool connectToServer(const SocketHandle& socket, const sockaddr_in& address)
{
    return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool sendRequest(const SocketHandle& socket, char request)
{
    // The server expects the request character followed by its NUL byte.
    const char datagram[2] = {request, '\0'};
    // A refusal that arrived since the last receive is reported by this send
    // instead of the request going out; anyone can send one, so send again.
    ssize_t sent = ::send(socket.get(), datagram, sizeof datagram, 0);
    if (sent < 0 && errno == ECONNREFUSED)
        sent = ::send(socket.get(), datagram, sizeof datagram, 0);
    return sent > 0;
}

bool setReceiveTimeout(const SocketHandle& socket, qint64 milliseconds)
{
    timeval timeout;
    timeout.tv_sec = time_t(milliseconds / 1000);
    timeout.tv_usec = suseconds_t(milliseconds % 1000 * 1000);
    return ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0;
}

// One datagram from the server, as Latin-1 text up to the first NUL byte. A
// longer datagram is cut to the buffer less its terminator.
//
// With a receive time-out set, recv is never restarted after a signal handler
// ran, whatever the handler asked for: it fails with EINTR. The connected
// socket also fails it with ECONNREFUSED when an ICMP "port unreachable"
// arrives, which any host can send. Either way the wait goes on for what is
// left of the time-out, so neither fails the query nor makes it wait longer.
template<std::size_t BufferSize>
bool receiveText(const SocketHandle& socket, QString& text)
{
    char buffer[BufferSize];
    const QDeadlineTimer deadline(ReceiveTimeoutMs);
    bool shortened = false;
    ssize_t received = -1;
    while ((received = ::recv(socket.get(), buffer, BufferSize - 1, 0)) < 0) {
        if (errno != EINTR && errno != ECONNREFUSED)
            return false;
        // A time-out of zero would mean no time-out at all.
        const qint64 left = deadline.remainingTime();
        if (left <= 0 || !setReceiveTimeout(socket, left))
            return false;
        shortened = true;
    }
    // The next receive gets its own full time-out again.
    if (shortened && !setReceiveTimeout(socket, ReceiveTimeoutMs))
        return false;
    buffer[received] = '\0';
    text = QString::fromLatin1(buffer, qsizetype(std::strlen(buffer)));
    return true;
}

} // namespace

bool UpdateChecker::checkUpdate()
{
    return readFromServer();
}

bool UpdateChecker::readFromServer()
{
    const SocketHandle socket;
    if (!socket.isValid())
        return false;

    sockaddr_in server;
    if (!resolveServer(server) || !connectToServer(socket, server))
        return false;

    if (!sendRequest(socket, '3'))
        return false;

    // Without the time-out a silent server would block the GUI thread for
    // good, so a socket that refuses it ends the query.
    if (!setReceiveTimeout(socket, ReceiveTimeoutMs))
        return false;

    QString versionList;
    if (!receiveText<512>(socket, versionList))
        return false;
    const QStringList parts = versionList.split(QLatin1Char(','), Qt::KeepEmptyParts);
    for (const QString& part : parts) {
        const qsizetype separator = part.indexOf(QLatin1Char('#'));
        if (separator < 0)
            versions.append(qMakePair(part, QString()));
        else
            versions.append(qMakePair(part.left(separator), part.mid(separator + 1)));
    }

    if (!sendRequest(socket, '*'))
        return false;

    QString newsText;
    if (!receiveText<4096>(socket, newsText))
        return false;
    news = newsText;
    return true;
}

QPair<QString, QString> UpdateChecker::getClientVersionByChannel(UpdateChannel channel) const
{
    const int index = int(channel);
    if (index < 0 || index >= versions.size())
        return qMakePair(QString(), QString());
    return versions.at(index);
}
