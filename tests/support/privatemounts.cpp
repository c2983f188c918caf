#include "privatemounts.h"

#include <QFile>

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

QByteArray namespaceOf(const char* link)
{
    char target[256];
    const ssize_t length = ::readlink(link, target, sizeof target);
    return length > 0 ? QByteArray(target, length) : QByteArray();
}

} // namespace

PrivateMounts::~PrivateMounts()
{
    for (auto target = targets.crbegin(); target != targets.crend(); ++target)
        ::umount2(QFile::encodeName(*target).constData(), MNT_DETACH);
}

QString PrivateMounts::unavailableReason()
{
    if (qEnvironmentVariable("KV_PRIVATE_MOUNTS") != QLatin1String("1"))
        return QStringLiteral("no mount namespace of the test's own (run it through CTest, as root or "
                              "with unprivileged user namespaces allowed)");
    // Where the first process can be looked at, its namespace must not be ours.
    const QByteArray first = namespaceOf("/proc/1/ns/mnt");
    if (!first.isEmpty() && first == namespaceOf("/proc/self/ns/mnt"))
        return QStringLiteral("the test shares the host's mount namespace");
    return QString();
}

bool PrivateMounts::bindOver(const QString& source, const QString& target)
{
    const QString reason = unavailableReason();
    if (!reason.isEmpty()) {
        error = reason;
        return false;
    }
    if (::mount(QFile::encodeName(source).constData(), QFile::encodeName(target).constData(), nullptr,
                MS_BIND, nullptr)
        != 0) {
        error = QStringLiteral("cannot put %1 over %2: %3")
                    .arg(source, target, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    targets << target;
    return true;
}

bool PrivateMounts::makeReadOnly(const QString& path)
{
    if (!bindOver(path, path))
        return false;
    if (::mount(nullptr, QFile::encodeName(path).constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY,
                nullptr)
        != 0) {
        error = QStringLiteral("cannot make %1 read-only: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}
