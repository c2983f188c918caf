#include "filebackuptaskspecification.h"

#include <QFile>

#include <unistd.h>

FileBackupTaskSpecification::FileBackupTaskSpecification(const QString& original,
                                                         const QString& backup,
                                                         RollbackDataList* journal,
                                                         QObject* parent, double progressRange)
    : FastFileOpTaskSpecification(backup, journal, parent, progressRange)
    , original(original)
{
}

bool FileBackupTaskSpecification::doOp()
{
    if (::link(QFile::encodeName(original).constData(), QFile::encodeName(path).constData()) != 0) {
        emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(original, path));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::Rename, original, path));
    return true;
}
