#include "scopedmount.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/mount.h>

ScopedMount::ScopedMount(const QString& source, const QString& target, const char* type,
                         unsigned long flags, const QByteArray& options)
    : target(QFile::encodeName(target))
{
    mounted = QDir().mkpath(target)
        && ::mount(QFile::encodeName(source).constData(), this->target.constData(), type, flags,
                   options.isEmpty() ? nullptr : options.constData())
            == 0;
    if (!mounted)
        error = QString::fromLocal8Bit(std::strerror(errno));
}

ScopedMount::~ScopedMount()
{
    if (mounted)
        ::umount2(target.constData(), MNT_DETACH);
}
