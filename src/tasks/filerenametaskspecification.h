#ifndef FILERENAMETASKSPECIFICATION_H
#define FILERENAMETASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Renames a file (never over an existing one) and journals the rename.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileRenameTaskSpecification(const QString& from, const QString& to, RollbackDataList* journal,
                                QObject* parent, double progressRange);

public slots:
    bool doOp() override;

protected:
    QString from;
};

#endif
