#include "cleanupguard.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

bool isOwnWorkDirectory(const QString& path)
{
    static const QRegularExpression workDirectoryName(
        QRegularExpression::anchoredPattern(QStringLiteral("korvalune_temp_(0|[1-9][0-9]{0,2})")));

    // The same base the work directory is made in: nothing between the
    // temporary root and the name, so no ".." and no link on the way.
    QString base = QDir::tempPath();
    if (base.isEmpty())
        return false;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    if (!path.startsWith(base) || !workDirectoryName.match(path.mid(base.size())).hasMatch())
        return false;

    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid()
        && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}
