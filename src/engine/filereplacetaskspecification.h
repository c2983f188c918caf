#ifndef FILEREPLACETASKSPECIFICATION_H
#define FILEREPLACETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "filespecifications.h"
#include "rollback.h"

#include <QList>
#include <QString>

class Configuration;
class InstallationRecord;
class QDir;

// Installs one file: keeps the installed version in "old" (or beside it,
// where "old" lies on another file system or is no directory), a directory
// that stands in its place included, then copies the download into
// place, or unpacks it and checks the result. The target
// always holds a whole file: the new one is written under a temporary name
// and put in place with one rename. Its sub-tasks run one after another; on
// failure it undoes its own changes, on success it hands its undo records to
// the step's journal.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // The record, shared by the files of one step, says which old copies
    // and temporary files are the updater's own.
    FileReplaceTaskSpecification(const FileReplaceSpecification& spec, QList<QString>* deletions,
                                 QList<QString>* directoryDeletions, RollbackDataList* parentJournal,
                                 Configuration* config, InstallationRecord* record, QObject* parent,
                                 double progressRange);

    void makeSubtasksAndStart();
    // Programs and shared libraries are made executable (0755); other files
    // keep their mode.
    static void makeSingleFileExecutable(const QString& path);

    // Where the old copy of targetName (relative to root) goes: beside the
    // file rather than in "old". Makes "old" when it is missing and serves.
    static bool keepsOldCopyBeside(const QDir& root, const QString& targetName);
    static QString freeOldCopyName(const InstallationRecord& record, const QDir& root,
                                   const QString& targetName, bool besideFile, int firstNumber);

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

private:
    double planBackup(const QDir& root, const QString& targetName);
    TaskSpecification* makeBackupTask(const QDir& root, const QString& targetName);
    void keepOldCopy(const QString& name);
    void settleRunningWork();

    FileReplaceSpecification spec;
    QList<QString>* deletions;
    QList<QString>* directoryDeletions;
    RollbackDataList* parentJournal;
    RollbackDataList journal;
    Configuration* config;
    bool movedOldAway;
    // What was moved aside is a directory, removed whole after success.
    bool keptDirectory;
    InstallationRecord* record;
    // Where the installed version went, relative to the application
    // directory; set together with movedOldAway.
    QString oldCopyName;
};

#endif
