#include "otheruserlistener.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int ReadyWaitMs = 5000;

// Runs in the forked child: async-signal-safe calls only.
[[noreturn]] void listenAsOtherUser(int listener, const int (&channel)[2], int lifetimeMs)
{
    ::close(channel[0]);
    const uid_t other = OtherUserListener::OtherUid;
    const char listening = ::setgroups(0, nullptr) == 0 && ::setgid(gid_t(other)) == 0
        && ::setuid(other) == 0 && ::listen(listener, 8) == 0;
    static_cast<void>(::write(channel[1], &listening, 1));
    pollfd parentGone{channel[1], POLLIN, 0};
    ::poll(&parentGone, 1, lifetimeMs);
    ::_exit(0);
}

} // namespace

OtherUserListener::~OtherUserListener()
{
    stop();
}

bool OtherUserListener::start(const QString& path, int lifetimeMs)
{
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (::geteuid() != 0 || size_t(encoded.size()) >= sizeof(address.sun_path)) {
        error = QStringLiteral("needs root and a socket path shorter than %1 bytes").arg(sizeof(address.sun_path));
        return false;
    }
    std::memcpy(address.sun_path, encoded.constData(), size_t(encoded.size()));

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int channel[2] = {-1, -1};
    if (listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0
        && ::chown(encoded.constData(), OtherUid, gid_t(OtherUid)) == 0
        && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) == 0) {
        child = ::fork();
        if (child == 0)
            listenAsOtherUser(listener, channel, lifetimeMs);
    }
    if (child < 0)
        error = QString::fromLocal8Bit(std::strerror(errno));
    for (const int fd : {listener, channel[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
    control = channel[0];

    char listening = 0;
    pollfd report{control, POLLIN, 0};
    if (child > 0
        && (::poll(&report, 1, ReadyWaitMs) != 1 || ::read(control, &listening, 1) != 1 || !listening))
        error = QStringLiteral("the child could not become uid %1 and listen").arg(OtherUid);
    const bool started = child > 0 && listening;
    if (!started)
        stop();
    return started;
}

void OtherUserListener::stop()
{
    if (control >= 0)
        ::close(control);
    control = -1;
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    child = -1;
}

QString OtherUserListener::errorString() const
{
    return error;
}
