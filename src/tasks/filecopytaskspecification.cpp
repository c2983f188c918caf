#include "filecopytaskspecification.h"

#include <QFile>

bool FileCopyFunc::run()
{
    return QFile::copy(source, destination);
}

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* journal,
                                                     const QString& source,
                                                     const QString& destination, QObject* parent,
                                                     double progressRange)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'").arg(source, destination),
                              journal, source, destination, parent, progressRange)
{
}

ASyncFunc* FileCopyTaskSpecification::createFunction()
{
    return new FileCopyFunc(source, destination);
}
