#include "slowfileopspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <unistd.h>

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& destination)
    : source(source)
    , destination(destination)
{
}

bool SlowFileOpFunc::run()
{
    QFile output(SlowFileOpSpecification::temporaryPath(destination));
    if (!output.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    // Written through to the disk before the rename, so that after a power
    // cut the name does not hold a file whose blocks never arrived. A
    // buffered write on a full disk only fails when it is flushed.
    bool written = write(output) && output.flush() && ::fsync(output.handle()) == 0;
    output.close();
    written = written && output.error() == QFileDevice::NoError;
    if (written
        && std::rename(QFile::encodeName(output.fileName()).constData(),
                       QFile::encodeName(destination).constData())
               == 0)
        return true;
    output.remove();
    return false;
}

SlowFileOpSpecification::SlowFileOpSpecification(QString failureMessage, RollbackDataList* journal,
                                                 const QString& source, const QString& destination,
                                                 QObject* parent, double progressRange)
    : ASyncTaskSpecification(parent, progressRange)
    , journal(journal)
    , source(source)
    , destination(destination)
    , failureMessage(std::move(failureMessage))
{
}

QString SlowFileOpSpecification::temporaryPath(const QString& destination)
{
    const QFileInfo info(destination);
    return info.dir().filePath(QLatin1Char('.') + info.fileName() + QStringLiteral(".korvalune-new"));
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (!ok)
        emit message(failureMessage);
    else if (journal)
        journal->add(RollbackData(RollbackData::CreateFile, destination));
    ASyncTaskSpecification::runDone(ok);
}
