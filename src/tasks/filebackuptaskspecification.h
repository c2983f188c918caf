#ifndef FILEBACKUPTASKSPECIFICATION_H
#define FILEBACKUPTASKSPECIFICATION_H

#include "fastfileoptaskspecification.h"

// Keeps a file that is about to be replaced under a second name (a hard
// link, never over an existing file), and journals it as the rename of the
// file to that name. The file keeps its own name until the new file takes
// it in one rename, so the name always holds a whole file; the undo puts the
// kept file back over whatever holds the name by then.
class FileBackupTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileBackupTaskSpecification(const QString& original, const QString& backup,
                                RollbackDataList* journal, QObject* parent, double progressRange);

public slots:
    bool doOp() override;

private:
    QString original;
};

#endif
