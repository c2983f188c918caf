#include "dirbackuptaskspecification.h"

#include "filetree.h"
#include "pathchecks.h"
#include "siblingname.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>

namespace {

bool renamePath(const QString& from, const QString& to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

} // namespace

DirBackupFunc::DirBackupFunc(const QString& source, const QString& destination)
    : source(source)
    , destination(destination)
{
}

bool DirBackupFunc::run()
{
    if (renamePath(source, destination))
        return true;
    if (errno != EXDEV
        || !onSameMount(QFileInfo(source).path(), QFileInfo(destination).path()))
        return false;
    return copyAside() && removeTree(source);
}

// The backup name appears only once the copy is whole.
bool DirBackupFunc::copyAside()
{
    const QString copy = DirBackupTaskSpecification::copyPath(destination);
    if (isOwnDirectory(copy) && !removeTree(copy))
        return false;
    if (!copyTree(source, copy))
        return false;
    if (renamePath(copy, destination))
        return true;
    removeTree(copy);
    return false;
}

DirBackupTaskSpecification::DirBackupTaskSpecification(const QString& from, const QString& to,
                                                       RollbackDataList* journal, QObject* parent,
                                                       double progressRange)
    : ASyncTaskSpecification(parent, progressRange)
    , journal(journal)
    , from(from)
    , to(to)
{
}

QString DirBackupTaskSpecification::copyPath(const QString& destination)
{
    return siblingPath(destination, QStringLiteral("."), QStringLiteral(".korvalune-copy"));
}

// rename() would replace an empty directory at the backup name. Checked
// before the work starts, so that whatever stands there after it is what the
// work put there.
void DirBackupTaskSpecification::execute()
{
    if (!pathExists(to)) {
        ASyncTaskSpecification::execute();
        return;
    }
    emit message(failureMessage());
    errorCancel();
}

QString DirBackupTaskSpecification::failureMessage() const
{
    return QStringLiteral("Could not rename '%1' to '%2'").arg(from, to);
}

ASyncFunc* DirBackupTaskSpecification::createFunction()
{
    return new DirBackupFunc(from, to);
}

// The directory at the backup name is the one moved or copied there, even
// when the removal of the original failed part way: the undo must put it
// back.
void DirBackupTaskSpecification::runDone(bool ok)
{
    if (journal && pathExists(to))
        journal->add(RollbackData(RollbackData::MoveDir, from, to));
    if (!ok)
        emit message(failureMessage());
    ASyncTaskSpecification::runDone(ok);
}
