#ifndef FILEREPLACETASKSPECIFICATION_H
#define FILEREPLACETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "filespecifications.h"
#include "rollback.h"

#include <QList>
#include <QSet>
#include <QString>

class Configuration;

// Installs one file: moves the installed version aside into "old", then
// copies the download into place, or unpacks it and checks the result. Its
// sub-tasks run one after another; on failure it undoes its own changes, on
// success it hands its undo records to the step's journal.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // claimedOldCopies, shared by the files of one step, keeps two files with
    // the same bare name from using (or deleting) the same old copy.
    FileReplaceTaskSpecification(const FileReplaceSpecification& spec, QList<QString>* deletions,
                                 RollbackDataList* parentJournal, Configuration* config,
                                 QObject* parent, double progressRange,
                                 QSet<QString>* claimedOldCopies = nullptr);

    void makeSubtasksAndStart();
    // Programs and shared libraries are made executable (0755); other files
    // keep their mode.
    static void makeSingleFileExecutable(const QString& path);

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

private:
    QString uniqueOldCopyName() const;
    void settleRunningWork();

    FileReplaceSpecification spec;
    QList<QString>* deletions;
    RollbackDataList* parentJournal;
    RollbackDataList journal;
    Configuration* config;
    bool movedOldAway;
    QSet<QString>* claimedOldCopies;
    // Where the installed version went, relative to the application
    // directory; set together with movedOldAway.
    QString oldCopyName;
};

#endif
