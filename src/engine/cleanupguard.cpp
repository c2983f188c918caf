#include "cleanupguard.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isDirectlyInTemporaryRoot(const QString& path)
{
    // The same base the work directory is made in: nothing between the
    // temporary root and the name, so no ".." and no link on the way.
    QString base = QDir::tempPath();
    if (base.isEmpty())
        return false;
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return path.startsWith(base) && !path.mid(base.size()).contains(QLatin1Char('/'));
}

// Another user who could rename a directory on the way could swap a link
// in for the work directory between the check and its removal, and have
// the removal follow it. In a sticky directory only the owner of an entry
// can rename it.
bool isSteadyDirectory(const QByteArray& path)
{
    struct stat status;
    return ::lstat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode)
        && (status.st_uid == ::geteuid() || status.st_uid == 0)
        && ((status.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (status.st_mode & S_ISVTX) != 0);
}

// An absolute path without ".", ".." or links, every parent steady.
bool liesOnSteadyPath(const QString& path)
{
    if (!path.startsWith(QLatin1Char('/')) || QDir::cleanPath(path) != path)
        return false;
    QByteArray parent = QFile::encodeName(path);
    for (;;) {
        parent.truncate(parent.lastIndexOf('/'));
        if (!isSteadyDirectory(parent.isEmpty() ? QByteArrayLiteral("/") : parent))
            return false;
        if (parent.isEmpty())
            return true;
    }
}

} // namespace

bool isOwnWorkDirectory(const QString& path)
{
    static const QRegularExpression workDirectoryName(
        QRegularExpression::anchoredPattern(QStringLiteral("korvalune_temp_(0|[1-9][0-9]{0,2})")));

    if (!workDirectoryName.match(path.section(QLatin1Char('/'), -1)).hasMatch()
        || !(isDirectlyInTemporaryRoot(path) || liesOnSteadyPath(path)))
        return false;

    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid()
        && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}
