#ifndef FILEBACKUPTASKSPECIFICATION_H
#define FILEBACKUPTASKSPECIFICATION_H

#include "filerenametaskspecification.h"

// Moves a file that is about to be replaced to its backup name, journalled
// as that rename, but keeps the file under its own name too (a hard link,
// never over an existing file): the name goes on holding a whole file until
// the new one takes it in one rename, and the undo puts the kept file back
// over whatever holds the name by then. On a file system without hard links
// it falls back to the plain rename. It never moves a file to another file
// system: the undo could not rename it back. (A directory in the way of a
// file is kept by DirBackupTaskSpecification.)
class FileBackupTaskSpecification : public FileRenameTaskSpecification
{
    Q_OBJECT

public:
    using FileRenameTaskSpecification::FileRenameTaskSpecification;

public slots:
    bool doOp() override;
};

#endif
