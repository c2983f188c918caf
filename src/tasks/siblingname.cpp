#include "siblingname.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// NAME_MAX of the file systems an installation lives on.
constexpr qsizetype MaxNameBytes = 255;
constexpr qsizetype DigestDigits = 32;

bool isContinuationByte(char byte)
{
    return (uchar(byte) & 0xC0) == 0x80;
}

} // namespace

QString taggedName(const QString& prefix, const QString& name, const QString& suffix)
{
    const QString plain = prefix + name + suffix;
    if (QFile::encodeName(plain).size() <= MaxNameBytes)
        return plain;

    const QByteArray encodedName = QFile::encodeName(name);
    const QByteArray digest =
        QCryptographicHash::hash(encodedName, QCryptographicHash::Sha256).toHex().left(DigestDigits);
    qsizetype kept = MaxNameBytes - QFile::encodeName(prefix + suffix).size() - 1 - DigestDigits;
    Q_ASSERT(kept >= 0 && kept < encodedName.size());
    // A cut before a continuation byte would split a character.
    while (kept > 0 && isContinuationByte(encodedName.at(kept)))
        --kept;
    return prefix + QFile::decodeName(encodedName.left(kept)) + QLatin1Char('~')
        + QString::fromLatin1(digest) + suffix;
}

QString siblingPath(const QString& path, const QString& prefix, const QString& suffix)
{
    const QFileInfo info(path);
    return info.dir().filePath(taggedName(prefix, info.fileName(), suffix));
}
