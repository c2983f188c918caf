#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filerenametaskspecification.h"
#include "filereplacetaskspecification.h"
#include "updateengine.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(
    QList<FileReplaceSpecification>* replacements, QList<QString>* deletions,
    QList<QString>* directoryDeletions, Configuration* config, QObject* parent, double progressRange)
    : ComposedTaskSpecification(2, progressRange, parent)
    , replacements(replacements)
    , deletions(deletions)
    , directoryDeletions(directoryDeletions)
    , config(config)
{
}

void FileReplaceListTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    // Checked before anything is planned: the directory tasks run first and
    // would otherwise create directories for a hostile path.
    if (!pathsStayInside()) {
        errorCancel();
        return;
    }
    // A killed run's temporary files go before anything is written: they are
    // never installed, and the new ones take the same names.
    record.load(config->tempDir);
    record.removeTemporaries(Configuration::getAppRootPath());
    movedAside.clear();
    const int dirTasks = makeSubdirTasks();
    makeFileReplaceTasks(dirTasks >= 1);
    executeSubTasks();
}

bool FileReplaceListTaskSpecification::pathsStayInside()
{
    const QString root = Configuration::getAppRootPath();
    for (const FileReplaceSpecification& replacement : std::as_const(*replacements)) {
        const QString target = replacement.destFileName(QString());
        if (!staysInside(root, target)) {
            emit message(QStringLiteral("Refusing to install '%1': "
                                        "the path leaves the application directory")
                             .arg(target));
            return false;
        }
        if (!staysInside(config->tempDir, replacement.fileName)) {
            emit message(QStringLiteral("Refusing to install '%1': the path leaves the work directory")
                             .arg(replacement.fileName));
            return false;
        }
    }
    return true;
}

bool FileReplaceListTaskSpecification::staysInside(const QString& directory, const QString& path)
{
    QString base = QDir::cleanPath(QDir(directory).absolutePath());
    const QString full = QDir::cleanPath(QDir(base).absoluteFilePath(path));
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    return full.size() > base.size() && full.startsWith(base);
}

// Only each target's own parent is examined: the directory task creates the
// missing ancestors itself. Sorting puts a directory before its children.
// What stands where a directory must go is moved aside before them.
int FileReplaceListTaskSpecification::makeSubdirTasks()
{
    const QDir root(Configuration::getAppRootPath());
    QSet<QString> seen;
    QStringList missing;
    for (const FileReplaceSpecification& replacement : std::as_const(*replacements)) {
        const QFileInfo target(root, replacement.destFileName(QString()));
        const QString parentPath = target.path();
        if (seen.contains(parentPath))
            continue;
        seen.insert(parentPath);
        if (!target.dir().exists())
            missing.append(parentPath);
    }
    missing.sort();
    const QStringList inTheWay = filesInTheWay(root, missing);

    const int count = int(inTheWay.count() + missing.count());
    for (const QString& name : inTheWay)
        addSubTask(makeMoveAsideTask(root, name, 0.1 / count));
    for (const QString& path : std::as_const(missing))
        addSubTask(new DirCreateTaskSpecification(path, &journal, this, 0.1 / count));
    return count;
}

// The files (anything but a directory, links included) that stand where a
// missing directory or one of its ancestors must go, relative to root, each
// once: a release may turn a file into a directory.
QStringList FileReplaceListTaskSpecification::filesInTheWay(const QDir& root,
                                                            const QStringList& missing)
{
    QStringList found;
    for (const QString& directory : missing) {
        QString walked;
        const QString relative = QDir::cleanPath(root.relativeFilePath(directory));
        for (const QString& part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
            walked = walked.isEmpty() ? part : walked + QLatin1Char('/') + part;
            const QFileInfo info(root.filePath(walked));
            if (info.isDir())
                continue;
            if ((info.exists() || info.isSymLink()) && !found.contains(walked))
                found.append(walked);
            break;
        }
    }
    return found;
}

// Kept like a replaced file: under an old copy name of its own, written
// down in the record, put back by the undo once the directories made in its
// place are gone, deleted after success.
TaskSpecification* FileReplaceListTaskSpecification::makeMoveAsideTask(const QDir& root,
                                                                       const QString& name,
                                                                       double progressRange)
{
    const bool besideFile = FileReplaceTaskSpecification::keepsOldCopyBeside(root, name);
    const QString oldCopy = FileReplaceTaskSpecification::freeOldCopyName(record, root, name, besideFile, 1);
    record.take(oldCopy);
    record.addOldCopy(oldCopy, name);
    movedAside.append(oldCopy);
    return new FileRenameTaskSpecification(root.filePath(name), root.filePath(oldCopy), &journal, this,
                                           progressRange);
}

void FileReplaceListTaskSpecification::makeFileReplaceTasks(bool haveDirTasks)
{
    const double share = haveDirTasks ? 0.9 : 1.0;
    const int count = int(replacements->count());
    for (const FileReplaceSpecification& replacement : std::as_const(*replacements))
        addSubTask(new FileReplaceTaskSpecification(replacement, deletions, directoryDeletions,
                                                    &journal, config, &record, this, share / count));
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() != TaskState::Finished) {
        emit message(QStringLiteral("rolling back file updates"));
        journal.rollback(this);
    } else {
        for (const QString& oldCopy : std::as_const(movedAside)) {
            if (!UpdateEngine::isRemovedAtStart(oldCopy))
                deletions->append(oldCopy);
        }
        // Old copies that an aborted or killed run made and no deletion step
        // removed: this run's deletions take them along.
        const QString root = Configuration::getAppRootPath();
        deletions->append(record.leftoverOldCopies(root, false));
        directoryDeletions->append(record.leftoverOldCopies(root, true));
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::reset()
{
    // A file task still running keeps its records in its own journal; it
    // undoes them itself, after its copy or unpacking has ended, before the
    // step's older records are undone.
    const QList<TaskSpecification*> running = runningTasks;
    for (TaskSpecification* task : running)
        task->reset();
    clearSubTasks();
    journal.rollback(this);
    movedAside.clear();
    TaskSpecification::reset();
}
