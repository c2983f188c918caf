#include "hostlookup.h"

#include <QMutex>
#include <QMutexLocker>

#include <memory>
#include <system_error>
#include <thread>

#include <netdb.h>
#include <sys/socket.h>

// The look-up thread reaches the object only through the link, which the
// object cuts as it goes: the thread may outlive it.
struct HostLookup::Link {
    QMutex mutex;
    HostLookup* receiver = nullptr;
};

namespace {

struct AddressListDeleter {
    void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

QHostAddress firstIPv4Address(const QByteArray& host)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.constData(), nullptr, &hints, &found) != 0 || !found)
        return QHostAddress();
    const std::unique_ptr<addrinfo, AddressListDeleter> results(found);
    return results->ai_addr ? QHostAddress(results->ai_addr) : QHostAddress();
}

} // namespace

HostLookup::HostLookup(QObject* parent)
    : QObject(parent)
    , link(std::make_shared<Link>())
{
    link->receiver = this;
}

HostLookup::~HostLookup()
{
    const QMutexLocker locker(&link->mutex);
    link->receiver = nullptr;
}

void HostLookup::lookUpIPv4(const QString& host)
{
    const auto report = [](const std::shared_ptr<Link>& link, const QHostAddress& address) {
        const QMutexLocker locker(&link->mutex);
        if (HostLookup* receiver = link->receiver)
            QMetaObject::invokeMethod(receiver, [receiver, address] { emit receiver->found(address); },
                                      Qt::QueuedConnection);
    };
    try {
        std::thread([link = link, name = host.toLocal8Bit(), report] {
            report(link, firstIPv4Address(name));
        }).detach();
    } catch (const std::system_error&) {
        report(link, QHostAddress());
    }
}
