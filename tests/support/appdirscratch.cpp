#include "appdirscratch.h"

#include "configuration.h"

#include <QDir>
#include <QFileInfo>

namespace {

QDir oldDir()
{
    return QDir(AppDirScratch::installed(QStringLiteral("old")));
}

QStringList entriesOf(const QDir& dir)
{
    return dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

} // namespace

AppDirScratch::AppDirScratch(const QString& prefix)
    : dir(installed(prefix + QStringLiteral("-XXXXXX")))
    , oldExisted(oldDir().exists())
    , oldBefore(entriesOf(oldDir()))
{
}

AppDirScratch::~AppDirScratch()
{
    QDir old = oldDir();
    for (const QString& entry : newOldEntries()) {
        if (!old.remove(entry))
            QDir(old.filePath(entry)).removeRecursively();
    }
    if (!oldExisted)
        old.rmdir(old.absolutePath());
}

QString AppDirScratch::name() const
{
    return QFileInfo(dir.path()).fileName();
}

QString AppDirScratch::installed(const QString& relative)
{
    return Configuration::getAppRootPath() + QLatin1Char('/') + relative;
}

QStringList AppDirScratch::newOldEntries() const
{
    QStringList entries = entriesOf(oldDir());
    for (const QString& entry : oldBefore)
        entries.removeOne(entry);
    return entries;
}
