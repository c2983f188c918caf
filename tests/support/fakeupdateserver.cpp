#include "fakeupdateserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>

namespace {

void closeDescriptor(int& descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

// The ones' complement sum of 16-bit words that IP, ICMP and UDP headers carry.
quint16 internetChecksum(const unsigned char* bytes, size_t length)
{
    quint32 sum = 0;
    for (size_t i = 0; i < length; i += 2)
        sum += quint32(bytes[i]) << 8 | (i + 1 < length ? bytes[i + 1] : 0);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return htons(quint16(~sum));
}

} // namespace

FakeUpdateServer::Step FakeUpdateServer::reply(const QByteArray& payload)
{
    Step step;
    step.action = Step::Reply;
    step.payload = payload;
    return step;
}

FakeUpdateServer::Step FakeUpdateServer::silence()
{
    return Step();
}

FakeUpdateServer::Step FakeUpdateServer::afterStranger(Step step, const QByteArray& payload)
{
    step.strangerPayload = payload;
    return step;
}

FakeUpdateServer::Step FakeUpdateServer::afterRefusal(Step step)
{
    step.refused = true;
    return step;
}

FakeUpdateServer::Step FakeUpdateServer::delayed(Step step, int answerAfterMs)
{
    step.answerAfterMs = answerAfterMs;
    return step;
}

FakeUpdateServer::Step FakeUpdateServer::interrupted(Step step, int interruptAfterMs,
                                                     std::function<void()> interruption)
{
    step.interruptAfterMs = interruptAfterMs;
    step.interruption = std::move(interruption);
    return step;
}

FakeUpdateServer::FakeUpdateServer(quint16 port, int lifetimeMs)
    : port(port)
    , lifetimeMs(lifetimeMs)
{
}

FakeUpdateServer::~FakeUpdateServer()
{
    stop();
}

void FakeUpdateServer::setScript(const QList<Step>& steps)
{
    script = steps;
}

bool FakeUpdateServer::start()
{
    socketDescriptor = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socketDescriptor < 0) {
        error = QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(socketDescriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = QStringLiteral("cannot bind 127.0.0.1:%1: %2")
                    .arg(QString::number(port), QString::fromLocal8Bit(std::strerror(errno)));
        closeDescriptor(socketDescriptor);
        return false;
    }
    const bool refuses =
        std::any_of(script.cbegin(), script.cend(), [](const Step& step) { return step.refused; });
    if (refuses && (rawDescriptor = ::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)) < 0) {
        error = QStringLiteral("raw socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        closeDescriptor(socketDescriptor);
        return false;
    }
    int wake[2];
    if (::pipe(wake) != 0) {
        error = QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        closeDescriptor(socketDescriptor);
        closeDescriptor(rawDescriptor);
        return false;
    }
    wakeRead = wake[0];
    wakeWrite = wake[1];
    worker = std::thread([this] { serve(); });
    return true;
}

void FakeUpdateServer::stop()
{
    if (worker.joinable()) {
        const char stopByte = 's';
        if (::write(wakeWrite, &stopByte, 1) != 1) {
            // The worker still ends when its lifetime is over.
        }
        worker.join();
    }
    closeDescriptor(socketDescriptor);
    closeDescriptor(rawDescriptor);
    closeDescriptor(wakeRead);
    closeDescriptor(wakeWrite);
}

QString FakeUpdateServer::errorString() const
{
    return error;
}

QList<QByteArray> FakeUpdateServer::received() const
{
    const std::lock_guard<std::mutex> guard(receivedLock);
    return receivedDatagrams;
}

void FakeUpdateServer::serve()
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(lifetimeMs);
    int nextStep = 0;
    // Larger than any UDP payload, so nothing a client sends is cut.
    QByteArray buffer(65536, '\0');

    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0)
            return;
        pollfd watched[2] = {{socketDescriptor, POLLIN, 0}, {wakeRead, POLLIN, 0}};
        const int ready = ::poll(watched, 2, int(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || watched[1].revents != 0 || (watched[0].revents & POLLNVAL))
            return;
        // A pending socket error (POLLERR) is taken, and so cleared, by recvfrom.
        if (!(watched[0].revents & (POLLIN | POLLERR)))
            continue;

        sockaddr_in client;
        socklen_t clientLength = sizeof client;
        const ssize_t length = ::recvfrom(socketDescriptor, buffer.data(), size_t(buffer.size()), 0,
                                          reinterpret_cast<sockaddr*>(&client), &clientLength);
        if (length < 0)
            continue;
        {
            const std::lock_guard<std::mutex> guard(receivedLock);
            receivedDatagrams.append(buffer.left(qsizetype(length)));
        }
        if (nextStep < script.size() && !answer(script.at(nextStep++), client))
            return;
    }
}

// False when the server was stopped meanwhile.
bool FakeUpdateServer::answer(const Step& step, const sockaddr_in& client)
{
    const auto arrival = std::chrono::steady_clock::now();
    if (!step.strangerPayload.isNull())
        sendFromStranger(step.strangerPayload, client);
    if (step.refused)
        sendPortUnreachable(client);
    if (step.interruption) {
        if (!waitUntil(arrival + std::chrono::milliseconds(step.interruptAfterMs)))
            return false;
        step.interruption();
    }
    if (!waitUntil(arrival + std::chrono::milliseconds(step.answerAfterMs)))
        return false;

    if (step.action == Step::Reply)
        ::sendto(socketDescriptor, step.payload.constData(), size_t(step.payload.size()), 0,
                 reinterpret_cast<const sockaddr*>(&client), sizeof client);
    return true;
}

void FakeUpdateServer::sendFromStranger(const QByteArray& payload, const sockaddr_in& client) const
{
    const int stranger = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (stranger < 0)
        return;
    ::sendto(stranger, payload.constData(), size_t(payload.size()), 0,
             reinterpret_cast<const sockaddr*>(&client), sizeof client);
    ::close(stranger);
}

// The message quotes the IP and UDP headers of the client's request, by which
// the client's kernel finds the socket it concerns.
void FakeUpdateServer::sendPortUnreachable(const sockaddr_in& client) const
{
    iphdr quoted = {};
    quoted.version = 4;
    quoted.ihl = sizeof quoted / 4;
    quoted.ttl = 64;
    quoted.protocol = IPPROTO_UDP;
    quoted.tot_len = htons(sizeof(iphdr) + sizeof(udphdr));
    quoted.saddr = client.sin_addr.s_addr;
    quoted.daddr = htonl(INADDR_LOOPBACK);
    udphdr quotedUdp = {};
    quotedUdp.source = client.sin_port;
    quotedUdp.dest = htons(port);
    quotedUdp.len = htons(sizeof(udphdr));
    icmphdr icmp = {};
    icmp.type = ICMP_DEST_UNREACH;
    icmp.code = ICMP_PORT_UNREACH;

    unsigned char message[sizeof icmp + sizeof quoted + sizeof quotedUdp];
    std::memcpy(message, &icmp, sizeof icmp);
    std::memcpy(message + sizeof icmp, &quoted, sizeof quoted);
    std::memcpy(message + sizeof icmp + sizeof quoted, &quotedUdp, sizeof quotedUdp);
    const quint16 checksum = internetChecksum(message, sizeof message);
    std::memcpy(message + offsetof(icmphdr, checksum), &checksum, sizeof checksum);
    ::sendto(rawDescriptor, message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&client),
             sizeof client);
}

// Waits without missing a stop request; false when one came.
bool FakeUpdateServer::waitUntil(std::chrono::steady_clock::time_point moment) const
{
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(moment - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        pollfd wake = {wakeRead, POLLIN, 0};
        const int ready = ::poll(&wake, 1, int(left.count()));
        if (ready > 0)
            return false;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}
