#include "filerenametaskspecification.h"

#include <QFile>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& from, const QString& to,
                                                         RollbackDataList* journal,
                                                         QObject* parent, double progressRange)
    : FastFileOpTaskSpecification(to, journal, parent, progressRange)
    , from(from)
{
}

bool FileRenameTaskSpecification::doOp()
{
    if (!QFile::rename(from, path)) {
        emit message(QStringLiteral("Could not rename '%1' to '%2'").arg(from, path));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::Rename, from, path));
    return true;
}
