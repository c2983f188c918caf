#include "filedeletetaskspecification.h"

#include <QFile>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool mustSucceed, const QString& path,
                                                         QObject* parent, double progressRange)
    : FastFileOpTaskSpecification(path, nullptr, parent, progressRange)
    , mustSucceed(mustSucceed)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const bool removed = QFile(path).remove();
    if (!mustSucceed || removed)
        return true;
    emit message(QStringLiteral("Could not delete '%1'").arg(path));
    return false;
}
