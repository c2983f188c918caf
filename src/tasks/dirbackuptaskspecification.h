#ifndef DIRBACKUPTASKSPECIFICATION_H
#define DIRBACKUPTASKSPECIFICATION_H

#include "asynctaskspecification.h"
#include "rollback.h"

class DirBackupFunc : public ASyncFunc
{
    Q_OBJECT

public:
    DirBackupFunc(const QString& source, const QString& destination);

    bool run() override;

private:
    bool copyAside();

    QString source;
    QString destination;
};

// Moves a directory that stands where a file is to be installed to its
// backup name (never over anything), journalled as a MoveDir once the
// directory is there, whatever else failed. Where the file system refuses
// to move it although both names lie on one mount (a directory of an
// overlay's lower layer), the directory is copied there whole, under a
// temporary name first, and the original is then removed: that takes as
// long as its content, so it runs on the pool. It never copies to another
// mount: the undo could not rename the copy back.
class DirBackupTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    DirBackupTaskSpecification(const QString& from, const QString& to, RollbackDataList* journal,
                               QObject* parent, double progressRange);

    // Where the copy is made before one rename gives it the backup name: a
    // hidden name beside it, ".<name>.korvalune-copy" (or its shorter form,
    // see taggedName). A directory of the current user found there is what
    // a killed run left of its copy, and is replaced.
    static QString copyPath(const QString& destination);

public slots:
    void execute() override;
    ASyncFunc* createFunction() override;
    void runDone(bool ok) override;

private:
    QString failureMessage() const;

    RollbackDataList* journal;
    QString from;
    QString to;
};

#endif
