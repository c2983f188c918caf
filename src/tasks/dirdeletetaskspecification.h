#ifndef DIRDELETETASKSPECIFICATION_H
#define DIRDELETETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Removes a directory the run made itself (the old copy of a directory) with
// everything in it, never following a link. Best effort, like every
// deletion at the end of a run: it always finishes, silently. Nothing is
// journalled.
class DirDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    DirDeleteTaskSpecification(const QString& path, QObject* parent, double progressRange);

public slots:
    bool doOp() override;
};

#endif
