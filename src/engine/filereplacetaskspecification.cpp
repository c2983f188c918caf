#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "dirbackuptaskspecification.h"
#include "filebackuptaskspecification.h"
#include "filecopytaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filetree.h"
#include "fileunziptaskspecification.h"
#include "installationrecord.h"
#include "ownfile.h"
#include "pathchecks.h"
#include "updateengine.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QThreadPool>

namespace {

// Installed files with these bare names are programs.
const QStringList executableFiles = {
    QStringLiteral("kv3client_linux_x86"),   QStringLiteral("kv3client_linux_amd64"),
    QStringLiteral("kv3client_runscript.sh"), QStringLiteral("update"),
    QStringLiteral("error_report"),          QStringLiteral("package_inst")};

// Installed files with these complete suffixes are shared libraries.
const QStringList executableSuffixes = {QStringLiteral("so"), QStringLiteral("so.4")};

const QString oldDirName = QStringLiteral("old");

} // namespace

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const FileReplaceSpecification& spec,
                                                           QList<QString>* deletions,
                                                           QList<QString>* directoryDeletions,
                                                           RollbackDataList* parentJournal,
                                                           Configuration* config,
                                                           InstallationRecord* record,
                                                           QObject* parent, double progressRange)
    : ComposedTaskSpecification(1, progressRange, parent)
    , spec(spec)
    , deletions(deletions)
    , directoryDeletions(directoryDeletions)
    , parentJournal(parentJournal)
    , config(config)
    , movedOldAway(false)
    , keptDirectory(false)
    , record(record)
{
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QStringLiteral("add/replace %1").arg(spec.fileName));
    makeSubtasksAndStart();
}

// Plans from the disk as it is now: whether the target and its old copy
// exist, and whether an earlier run made that old copy, decide which
// sub-tasks are needed.
void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QDir root(Configuration::getAppRootPath());
    const QString source = QFileInfo(QDir(config->tempDir), spec.fileName).filePath();
    const QString targetName = spec.destFileName(QString());
    const QString target = root.filePath(targetName);
    const QString earlierOldCopy = record->earlierOldCopy(root.path(), targetName);

    double rest = 1.0;
    if (!earlierOldCopy.isNull()) {
        // An earlier run in this work directory kept this file's original
        // there and stopped: the copy may be all that is left of it, so it
        // is never deleted. It is this file's old copy again; a failure puts
        // it back.
        keepOldCopy(earlierOldCopy);
        keptDirectory = isRealDirectory(root.filePath(oldCopyName));
        // Killed while the original of a directory copied aside was being
        // removed: what is left of it goes, as the undo would remove it.
        if (keptDirectory && isRealDirectory(target))
            removeTree(target);
        journal.add(InstallationRecord::putBackRecord(target, root.filePath(oldCopyName)));
    } else if (QFileInfo::exists(target)) {
        rest = planBackup(root, targetName);
    }

    record->addTemporary(root.relativeFilePath(SlowFileOpSpecification::temporaryPath(target)));
    // A replaced file's journal record puts the original back over the new
    // file in one step; removing the new file first would leave the name
    // empty in between.
    RollbackDataList* createdFiles = movedOldAway ? nullptr : &journal;
    if (spec.hasUnzip()) {
        addSubTask(new FileUnzipTaskSpecification(createdFiles, source, target, this, rest - 0.2));
        addSubTask(new CheckSignatureTaskSpecification(target, spec.md5, true, this, 0.2));
    } else {
        // Copied, not moved: the download stays in the work directory until
        // the run's clean-up.
        addSubTask(new FileCopyTaskSpecification(createdFiles, source, target, this, rest));
    }
    executeSubTasks();
}

// The installed file keeps a second name on its own file system, so that
// neither the backup nor its undo ever copies it across disks: in "old"
// where a rename reaches it, else beside the file. Returns the share of the
// file's progress left for the new content.
double FileReplaceTaskSpecification::planBackup(const QDir& root, const QString& targetName)
{
    const bool besideFile = keepsOldCopyBeside(root, targetName);
    const QString usualName = FileReplaceSpecification::oldCopyPath(targetName, besideFile, 1);
    const QString usualPath = root.filePath(usualName);
    // The usual name is reused when it is free or holds a plain file an
    // earlier, finished run left: the target holds a whole file. A copy
    // another file of this step or of a killed run took belongs to that
    // file, and anything else there (a directory an earlier run moved
    // aside) stays as it is: this file takes a name of its own.
    const bool present = pathExists(usualPath);
    const bool usualNameFree = !record->isTaken(usualName)
        && (!present || (isOwnPlainFile(usualPath) && record->targetOf(usualName).isNull()));
    keepOldCopy(usualNameFree ? usualName : freeOldCopyName(*record, root, targetName, besideFile, 2));

    double base = 1.0;
    if (usualNameFree && present) {
        addSubTask(new FileDeleteTaskSpecification(true, usualPath, this, 0.1));
        base = 0.9;
    }
    record->addOldCopy(oldCopyName, targetName);
    addSubTask(makeBackupTask(root, targetName));
    return base - 0.1;
}

// A directory where the file goes (the new version turns it into a file)
// cannot keep its name beside the new file: it is moved aside whole.
TaskSpecification* FileReplaceTaskSpecification::makeBackupTask(const QDir& root, const QString& targetName)
{
    const QString target = root.filePath(targetName);
    const QString oldCopy = root.filePath(oldCopyName);
    keptDirectory = isRealDirectory(target);
    if (!keptDirectory)
        return new FileBackupTaskSpecification(target, oldCopy, &journal, this, 0.1);
    record->addTemporary(root.relativeFilePath(DirBackupTaskSpecification::copyPath(oldCopy)));
    return new DirBackupTaskSpecification(target, oldCopy, &journal, this, 0.1);
}

// "old" serves when a rename reaches it from the target's directory: it is
// a directory (made now if it is missing) on the same mount. Otherwise,
// and where "old" is something else (a file of the user's), the old copy
// goes beside its file.
bool FileReplaceTaskSpecification::keepsOldCopyBeside(const QDir& root, const QString& targetName)
{
    const QString targetDir = QFileInfo(root.filePath(targetName)).path();
    const QString oldDir = root.filePath(oldDirName);
    if (pathExists(oldDir))
        return !QFileInfo(oldDir).isDir() || !onSameMount(oldDir, targetDir);
    return !onSameMount(root.path(), targetDir) || !root.mkdir(oldDirName);
}

void FileReplaceTaskSpecification::keepOldCopy(const QString& name)
{
    oldCopyName = name;
    movedOldAway = true;
    record->take(name);
}

// The first old copy name, from the numbered one given on, that no file of
// this step has taken and that is free on disk.
QString FileReplaceTaskSpecification::freeOldCopyName(const InstallationRecord& record,
                                                      const QDir& root, const QString& targetName,
                                                      bool besideFile, int firstNumber)
{
    for (int number = firstNumber;; ++number) {
        const QString candidate = FileReplaceSpecification::oldCopyPath(targetName, besideFile, number);
        if (!record.isTaken(candidate) && !pathExists(root.filePath(candidate)))
            return candidate;
    }
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() != TaskState::Finished) {
        journal.rollback(this);
        ComposedTaskSpecification::subtasksDone();
        return;
    }

    // The records now belong to the step, which undoes them if another file
    // fails; keeping them here too would let a reset undo them twice.
    parentJournal->appendList(journal);
    journal.clear();

    // The old copies of the updater's own files stay for start-up to
    // remove; a copy under a name start-up would not find is listed. A
    // directory is no file of the updater's, and start-up removes files only.
    if (movedOldAway && keptDirectory)
        directoryDeletions->append(oldCopyName);
    else if (movedOldAway && !UpdateEngine::isRemovedAtStart(oldCopyName))
        deletions->append(oldCopyName);

    makeSingleFileExecutable(Configuration::getAppRootPath() + QLatin1Char('/')
                             + spec.destFileName(QString()));
    ComposedTaskSpecification::subtasksDone();
}

// Executable for everyone, writable only by the owner: a program that any
// local user could rewrite would run their code for whoever starts it.
void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString& path)
{
    const QFileInfo info(path);
    if (!executableFiles.contains(info.fileName())
        && !executableSuffixes.contains(info.completeSuffix()))
        return;
    QFile(path).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                               | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser
                               | QFile::ReadGroup | QFile::ExeGroup
                               | QFile::ReadOther | QFile::ExeOther);
}

void FileReplaceTaskSpecification::reset()
{
    settleRunningWork();
    clearSubTasks();
    journal.rollback(this);
    movedOldAway = false;
    keptDirectory = false;
    oldCopyName.clear();
    TaskSpecification::reset();
}

// A copy or unpacking still running would write the target after the
// rollback has given the old file its name back. Wait for it, then let its
// result journal what it wrote, with nobody listening to its end any more.
void FileReplaceTaskSpecification::settleRunningWork()
{
    if (runningTasks.isEmpty())
        return;
    QThreadPool::globalInstance()->waitForDone();
    const QList<TaskSpecification*> running = runningTasks;
    for (TaskSpecification* task : running) {
        disconnect(task, nullptr, this, nullptr);
        QCoreApplication::sendPostedEvents(task, QEvent::MetaCall);
    }
}
