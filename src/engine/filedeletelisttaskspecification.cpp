#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "dirdeletetaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filereplacelisttaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<QString>* deletions,
                                                                 QList<QString>* directoryDeletions,
                                                                 QObject* parent,
                                                                 double progressRange)
    : ComposedTaskSpecification(1, progressRange, parent)
    , deletions(deletions)
    , directoryDeletions(directoryDeletions)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

// The lists are read now, so the old copies that the installation step has
// just appended are included.
void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QStringList files = pathsInside(*deletions);
    const QStringList directories = pathsInside(*directoryDeletions);
    const double share = 1.0 / double(files.count() + directories.count());
    for (const QString& path : files)
        addSubTask(new FileDeleteTaskSpecification(false, path, this, share));
    for (const QString& path : directories)
        addSubTask(new DirDeleteTaskSpecification(path, this, share));
    executeSubTasks();
}

QStringList FileDeleteListTaskSpecification::pathsInside(const QList<QString>& entries)
{
    const QDir root(Configuration::getAppRootPath());
    QStringList paths;
    for (const QString& entry : entries) {
        if (!FileReplaceListTaskSpecification::staysInside(root.path(), entry)) {
            emit message(QStringLiteral("Refusing to delete '%1': "
                                        "the path leaves the application directory")
                             .arg(entry));
            continue;
        }
        paths.append(QFileInfo(root, entry).filePath());
    }
    return paths;
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    TaskSpecification::reset();
}
