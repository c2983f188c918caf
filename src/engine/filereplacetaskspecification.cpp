#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filebackuptaskspecification.h"
#include "filecopytaskspecification.h"
#include "filedeletetaskspecification.h"
#include "fileunziptaskspecification.h"
#include "installationrecord.h"
#include "siblingname.h"

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
                                                           RollbackDataList* parentJournal,
                                                           Configuration* config,
                                                           InstallationRecord* record,
                                                           QObject* parent, double progressRange)
    : ComposedTaskSpecification(1, progressRange, parent)
    , spec(spec)
    , deletions(deletions)
    , parentJournal(parentJournal)
    , config(config)
    , movedOldAway(false)
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
    const QString usualOldCopy = spec.oldDestFileName();
    const bool usualOldCopyExists = QFileInfo::exists(root.filePath(usualOldCopy));

    double rest = 1.0;
    if (!earlierOldCopy.isNull()) {
        // An earlier run in this work directory kept this file's original
        // there and stopped: the copy may be all that is left of it, so it
        // is never deleted. It is this file's old copy again; a failure puts
        // it back.
        keepOldCopy(earlierOldCopy);
        journal.add(RollbackData(RollbackData::Rename, target, root.filePath(oldCopyName)));
    } else if (QFileInfo::exists(target)) {
        // A copy taken by another file of this step, or kept by an earlier
        // run for another file of the same bare name, belongs to that file:
        // this one takes a name of its own.
        const bool usualNameFree = !record->isTaken(usualOldCopy)
            && (!usualOldCopyExists || record->targetOf(usualOldCopy).isNull());
        keepOldCopy(usualNameFree ? usualOldCopy : uniqueOldCopyName());
        const QString oldCopy = root.filePath(oldCopyName);

        double base = 1.0;
        if (usualNameFree && usualOldCopyExists) {
            // Left by an earlier, finished run: the target holds a whole file.
            addSubTask(new FileDeleteTaskSpecification(true, oldCopy, this, 0.1));
            base = 0.9;
        }
        // A failure here shows as the backup's failure.
        if (!root.exists(oldDirName))
            root.mkdir(oldDirName);
        record->addOldCopy(oldCopyName, targetName);
        addSubTask(new FileBackupTaskSpecification(target, oldCopy, &journal, this, 0.1));
        rest = base - 0.1;
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

void FileReplaceTaskSpecification::keepOldCopy(const QString& name)
{
    oldCopyName = name;
    movedOldAway = true;
    record->take(name);
}

// "old/_old_2_x.so", "old/_old_3_x.so", ... (the short form of each for a
// long name): the first name that no file of this step has taken and that is
// free on disk.
QString FileReplaceTaskSpecification::uniqueOldCopyName() const
{
    const QDir root(Configuration::getAppRootPath());
    const QString bareName = QFileInfo(spec.pureDestFilePath()).fileName();
    for (int number = 2;; ++number) {
        const QString prefix = Configuration::getSpecialFileRenamePrefix() + QString::number(number)
                               + QLatin1Char('_');
        const QString candidate = oldDirName + QLatin1Char('/') + taggedName(prefix, bareName, QString());
        if (!record->isTaken(candidate) && !QFileInfo::exists(root.filePath(candidate)))
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

    // The old copies of the updater's own files stay in "old" for start-up
    // to remove; a copy under a name of our own is one start-up would not
    // find, so it is always listed.
    const bool special =
        Configuration::isSpecialFileName(QFileInfo(spec.pureDestFilePath()).fileName());
    if (movedOldAway && (!special || oldCopyName != spec.oldDestFileName()))
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
