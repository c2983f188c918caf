#include "slowfileopspecification.h"

#include "ownfile.h"
#include "siblingname.h"

#include <QFile>

#include <cstdio>
#include <unistd.h>

namespace {

// The temporary name is ours alone, so a file there is the leftover of a run
// that was killed and whose record of it went with its work directory (a
// reboot empties the temporary directory): a plain file of our own is
// replaced. Anything else at that name is left alone and fails the task.
bool openTemporary(QFile& output)
{
    if (output.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return true;
    // Removing a name that changed meanwhile removes only that name; the
    // exclusive open below never follows whatever takes it next.
    return isOwnPlainFile(output.fileName()) && QFile::remove(output.fileName())
        && output.open(QIODevice::WriteOnly | QIODevice::NewOnly);
}

} // namespace

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& destination)
    : source(source)
    , destination(destination)
{
}

bool SlowFileOpFunc::run()
{
    QFile output(SlowFileOpSpecification::temporaryPath(destination));
    if (!openTemporary(output))
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
    return siblingPath(destination, QStringLiteral("."), QStringLiteral(".korvalune-new"));
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (!ok)
        emit message(failureMessage);
    else if (journal)
        journal->add(RollbackData(RollbackData::CreateFile, destination));
    ASyncTaskSpecification::runDone(ok);
}
