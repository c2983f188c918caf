#ifndef DIRCREATETASKSPECIFICATION_H
#define DIRCREATETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Creates a directory and its missing parents, outermost first, journalling
// each one as soon as it exists (a rollback then removes children first).
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    DirCreateTaskSpecification(const QString& path, RollbackDataList* journal, QObject* parent,
                               double progressRange);

    bool tryCreateDir(const QString& dir);

public slots:
    bool doOp() override;
};

#endif
