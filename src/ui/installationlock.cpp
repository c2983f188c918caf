#include "installationlock.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

InstallationLock::InstallationLock(const QString& directory)
    : descriptor(::open(QFile::encodeName(directory).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
{
}

InstallationLock::~InstallationLock()
{
    if (descriptor >= 0)
        ::close(descriptor);
}

// A directory that cannot be opened or locked at all (a file system without
// locks: ENOLCK, EOPNOTSUPP) is reported as such; start-up decides.
InstallationLock::State InstallationLock::tryLock()
{
    if (descriptor < 0)
        return State::Unsupported;
    int result;
    do
        result = ::flock(descriptor, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result == 0)
        return State::Held;
    return errno == EWOULDBLOCK ? State::HeldElsewhere : State::Unsupported;
}
