#include "dirdeletetaskspecification.h"

#include "filetree.h"

DirDeleteTaskSpecification::DirDeleteTaskSpecification(const QString& path, QObject* parent,
                                                       double progressRange)
    : FastFileOpTaskSpecification(path, nullptr, parent, progressRange)
{
}

bool DirDeleteTaskSpecification::doOp()
{
    removeTree(path);
    return true;
}
