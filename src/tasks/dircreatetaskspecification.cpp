#include "dircreatetaskspecification.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& path,
                                                       RollbackDataList* journal,
                                                       QObject* parent, double progressRange)
    // "a/b/" must create a/b, not a/b/b: the last component is taken from
    // the cleaned path.
    : FastFileOpTaskSpecification(QDir::cleanPath(path), journal, parent, progressRange)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return tryCreateDir(path);
}

bool DirCreateTaskSpecification::tryCreateDir(const QString& dir)
{
    const QFileInfo info(dir);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(QStringLiteral("Could not create dir '%1' because it already exists and is not a dir")
                         .arg(dir));
        return false;
    }

    const QDir parent = info.dir();
    if (parent.path() == QLatin1String(".") || QDir(dir).isRoot()) {
        emit message(QStringLiteral("Could not create dir %1").arg(path));
        return false;
    }
    if (!parent.exists() && !tryCreateDir(parent.path()))
        return false;

    if (!parent.mkdir(QDir(dir).dirName())) {
        emit message(QStringLiteral("unable to create dir %1").arg(dir));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::CreateDir, dir));
    return true;
}
