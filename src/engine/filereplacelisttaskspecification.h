#ifndef FILEREPLACELISTTASKSPECIFICATION_H
#define FILEREPLACELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "filespecifications.h"
#include "installationrecord.h"
#include "rollback.h"

#include <QList>
#include <QString>

class Configuration;
class QDir;

// The installation step of a run: moves aside the files that stand where
// directories must go, creates the missing directories, then
// installs every file of the replace list, two at a time, over one undo
// journal. If a file fails or the user aborts, everything the step changed
// is undone, newest first. What it makes besides the installed files is
// written down in the work directory, so that a later run can tidy up
// after a kill.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileReplaceListTaskSpecification(QList<FileReplaceSpecification>* replacements,
                                     QList<QString>* deletions, QList<QString>* directoryDeletions,
                                     Configuration* config, QObject* parent, double progressRange);

    void makeSubtasksAndStart();
    int makeSubdirTasks();
    void makeFileReplaceTasks(bool haveDirTasks);

    // True when path, taken relative to directory (an absolute path as it
    // is), names something strictly below directory once "." and ".." are
    // resolved.
    static bool staysInside(const QString& directory, const QString& path);

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

private:
    bool pathsStayInside();
    static QStringList filesInTheWay(const QDir& root, const QStringList& missing);
    TaskSpecification* makeMoveAsideTask(const QDir& root, const QString& name, double progressRange);

    QList<FileReplaceSpecification>* replacements;
    QList<QString>* deletions;
    QList<QString>* directoryDeletions;
    RollbackDataList journal;
    Configuration* config;
    InstallationRecord record;
    // Old copies of the files moved aside for directories, this run.
    QStringList movedAside;
};

#endif
