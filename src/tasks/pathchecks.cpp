#include "pathchecks.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool statusOf(const QString& path, struct stat& status)
{
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0;
}

} // namespace

bool pathExists(const QString& path)
{
    struct stat status;
    return statusOf(path, status);
}

bool isRealDirectory(const QString& path)
{
    struct stat status;
    return statusOf(path, status) && S_ISDIR(status.st_mode);
}

bool isOwnDirectory(const QString& path)
{
    struct stat status;
    return statusOf(path, status) && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid();
}

bool onSameMount(const QString& first, const QString& second)
{
    struct statx a;
    struct statx b;
    if (::statx(AT_FDCWD, QFile::encodeName(first).constData(), 0, STATX_MNT_ID, &a) != 0
        || ::statx(AT_FDCWD, QFile::encodeName(second).constData(), 0, STATX_MNT_ID, &b) != 0)
        return false;
    if (a.stx_dev_major != b.stx_dev_major || a.stx_dev_minor != b.stx_dev_minor)
        return false;
    // A kernel that cannot name the mount leaves the device to decide.
    return !(a.stx_mask & b.stx_mask & STATX_MNT_ID) || a.stx_mnt_id == b.stx_mnt_id;
}
