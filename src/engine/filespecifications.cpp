#include "filespecifications.h"

#include "configuration.h"
#include "siblingname.h"

#include <QFileInfo>

bool FileReplaceSpecification::hasUnzip() const
{
    return !unzipDest.isEmpty();
}

QString FileReplaceSpecification::pureDestFilePath() const
{
    return hasUnzip() ? unzipDest : fileName;
}

QString FileReplaceSpecification::destFileName(QString prefix) const
{
    const QString path = pureDestFilePath();
    if (prefix.isEmpty())
        return path;
    const QFileInfo info(path);
    const QString name = info.fileName();
    const QString dir = info.path();
    if (dir == QLatin1String("."))
        return prefix + name;
    return dir + QLatin1Char('/') + prefix + name;
}

// The directory part is dropped: every old copy lies directly in "old". The
// prefix must stay equal to the one start-up uses to find leftovers; a name
// too long for it gets the short form that still begins with it.
QString FileReplaceSpecification::oldDestFileName() const
{
    const QString bareName = QFileInfo(pureDestFilePath()).fileName();
    return QStringLiteral("old/") + taggedName(Configuration::getSpecialFileRenamePrefix(), bareName, QString());
}

FileSpecifications::FileSpecifications() = default;

void FileSpecifications::clear()
{
    downloads = QList<FileDownloadSpecification>();
    replacements = QList<FileReplaceSpecification>();
    deletions = QList<QString>();
}
