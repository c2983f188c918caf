#include "ownfile.h"

#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

bool isOwnPlainFile(const QString& path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISREG(status.st_mode)
        && status.st_uid == ::geteuid();
}
