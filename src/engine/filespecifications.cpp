#include "filespecifications.h"

#include "configuration.h"
#include "siblingname.h"

#include <QDir>
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
    return QStringLiteral("old/") + oldCopyFileName(QFileInfo(pureDestFilePath()).fileName(), false, 1);
}

QString FileReplaceSpecification::oldCopyFileName(const QString& bareName, bool besideFile, int number)
{
    const QString tag = number == 1 ? QString() : QString::number(number);
    if (besideFile)
        return taggedName(QStringLiteral("."), bareName,
                          QStringLiteral(".korvalune-old") + (tag.isEmpty() ? tag : '-' + tag));
    const QString& prefix = Configuration::getSpecialFileRenamePrefix();
    return taggedName(tag.isEmpty() ? prefix : prefix + tag + '_', bareName, QString());
}

QString FileReplaceSpecification::oldCopyPath(const QString& targetName, bool besideFile, int number)
{
    const QFileInfo target(targetName);
    const QString name = oldCopyFileName(target.fileName(), besideFile, number);
    return QDir::cleanPath((besideFile ? target.path() : QStringLiteral("old")) + QLatin1Char('/') + name);
}

FileSpecifications::FileSpecifications() = default;

void FileSpecifications::clear()
{
    downloads = QList<FileDownloadSpecification>();
    replacements = QList<FileReplaceSpecification>();
    deletions = QList<QString>();
    directoryDeletions = QList<QString>();
}
