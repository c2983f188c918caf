#include "filebackuptaskspecification.h"

#include <QFile>

#include <cerrno>
#include <unistd.h>

bool FileBackupTaskSpecification::doOp()
{
    if (::link(QFile::encodeName(from).constData(), QFile::encodeName(path).constData()) == 0) {
        addRollbackOp(RollbackData(RollbackData::Rename, from, path));
        return true;
    }
    // The file system cannot give the file a second name: the name is then
    // empty for a moment, as a plain move leaves it, rather than no update.
    // Across file systems a move would be a copy that no undo can rename
    // back: that fails instead.
    if (errno == EPERM || errno == EOPNOTSUPP || errno == EMLINK)
        return FileRenameTaskSpecification::doOp();
    emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(from, path));
    return false;
}
