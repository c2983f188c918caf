#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "filedeletetaskspecification.h"
#include "filereplacelisttaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<QString>* deletions,
                                                                 QObject* parent,
                                                                 double progressRange)
    : ComposedTaskSpecification(1, progressRange, parent)
    , deletions(deletions)
{
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

// The list is read now, so the old copies that the installation step has
// just appended are included.
void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QDir root(Configuration::getAppRootPath());
    QStringList paths;
    for (const QString& entry : std::as_const(*deletions)) {
        if (!FileReplaceListTaskSpecification::staysInside(root.path(), entry)) {
            emit message(QStringLiteral("Refusing to delete '%1': "
                                        "the path leaves the application directory")
                             .arg(entry));
            continue;
        }
        paths.append(QFileInfo(root, entry).filePath());
    }

    const int count = int(paths.count());
    for (const QString& path : std::as_const(paths))
        addSubTask(new FileDeleteTaskSpecification(false, path, this, 1.0 / count));
    executeSubTasks();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    TaskSpecification::reset();
}
