#ifndef FILEDELETETASKSPECIFICATION_H
#define FILEDELETETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Deletes one file. A deletion cannot be undone, so nothing is journalled.
class FileDeleteTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteTaskSpecification(bool mustSucceed, const QString& path, QObject* parent,
                                double progressRange);

public slots:
    bool doOp() override;

private:
    bool mustSucceed;
};

#endif
