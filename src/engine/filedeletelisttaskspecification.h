#ifndef FILEDELETELISTTASKSPECIFICATION_H
#define FILEDELETELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"

#include <QList>
#include <QString>
#include <QStringList>

// The last step of a run: deletes the files of the delete list one after
// another, best effort, then removes whole the directories the run moved
// aside. A file that cannot be deleted is passed over, and nothing is ever
// undone.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteListTaskSpecification(QList<QString>* deletions, QList<QString>* directoryDeletions,
                                    QObject* parent, double progressRange);

    void makeSubtasksAndStart();

public slots:
    void execute() override;
    void reset() override;

private:
    QStringList pathsInside(const QList<QString>& entries);

    QList<QString>* deletions;
    QList<QString>* directoryDeletions;
};

#endif
