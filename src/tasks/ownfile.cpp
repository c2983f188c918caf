#include "ownfile.h"

#include <QCryptographicHash>
#include <QFile>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

bool isOwnPlainFile(const QString& path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISREG(status.st_mode)
        && status.st_uid == ::geteuid();
}

QString fittedName(const QString& prefix, const QString& name, const QString& suffix)
{
    const QString whole = prefix + name + suffix;
    if (QFile::encodeName(whole).size() <= NAME_MAX)
        return whole;
    const QByteArray digest = QCryptographicHash::hash(QFile::encodeName(name), QCryptographicHash::Md5);
    return prefix + QString::fromLatin1(digest.toHex()) + suffix;
}
