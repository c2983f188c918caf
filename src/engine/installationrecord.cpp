#include "installationrecord.h"

#include "configuration.h"
#include "filereplacelisttaskspecification.h"
#include "filetree.h"
#include "pathchecks.h"
#include "rollback.h"
#include "updateengine.h"

#include <QDir>
#include <QFile>
#include <QUrl>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A product-ini name never holds a backslash, so no download can land on
// the record.
const QString RecordName = QStringLiteral("installation\\record");
const QByteArray TemporaryTag = QByteArrayLiteral("tmp");
const QByteArray OldCopyTag = QByteArrayLiteral("old");

QByteArray encoded(const QString& path)
{
    return QUrl::toPercentEncoding(path);
}

// The one test of whether an old copy at path is the updater's own to put
// back or remove: a plain file, or a directory moved aside whole, of the
// current user, looked at without following a link.
bool isOwnOldCopy(const QString& path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0
        && (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) && status.st_uid == ::geteuid();
}

} // namespace

void InstallationRecord::load(const QString& workDir)
{
    file = QDir(workDir).filePath(RecordName);
    temporaries.clear();
    oldCopies.clear();
    oldCopyOfTarget.clear();
    oldCopyHistory.clear();
    taken.clear();

    const QString root = Configuration::getAppRootPath();
    QFile input(file);
    if (!input.open(QIODevice::ReadOnly))
        return;
    while (!input.atEnd()) {
        const QList<QByteArray> fields = input.readLine().trimmed().split(' ');
        QStringList paths;
        for (qsizetype i = 1; i < fields.size(); ++i)
            paths << QUrl::fromPercentEncoding(fields.at(i));
        const bool inside = std::all_of(paths.cbegin(), paths.cend(), [&](const QString& path) {
            return FileReplaceListTaskSpecification::staysInside(root, path);
        });
        if (!inside)
            continue;
        if (fields.first() == TemporaryTag && paths.size() == 1)
            temporaries.insert(paths.first());
        else if (fields.first() == OldCopyTag && paths.size() == 2)
            remember(paths.first(), paths.last());
    }
}

// A name made again for another file belongs to that file now.
void InstallationRecord::remember(const QString& oldCopy, const QString& target)
{
    const QString previousTarget = oldCopies.value(oldCopy);
    if (oldCopyOfTarget.value(previousTarget) == oldCopy)
        oldCopyOfTarget.remove(previousTarget);
    oldCopies.insert(oldCopy, target);
    oldCopyOfTarget.insert(target, oldCopy);
    oldCopyHistory.append({oldCopy, target});
}

// Written before the file is made: a kill right after the line is harmless,
// a file made without its line would never be known as ours. A line that
// cannot be written costs only the later clean-up of that file.
void InstallationRecord::append(const QByteArray& line)
{
    QFile output(file);
    if (output.open(QIODevice::WriteOnly | QIODevice::Append))
        output.write(line + '\n');
}

void InstallationRecord::addTemporary(const QString& path)
{
    if (temporaries.contains(path))
        return;
    temporaries.insert(path);
    append(TemporaryTag + ' ' + encoded(path));
}

void InstallationRecord::addOldCopy(const QString& oldCopy, const QString& target)
{
    if (oldCopies.value(oldCopy) == target && oldCopyOfTarget.value(target) == oldCopy)
        return;
    remember(oldCopy, target);
    append(OldCopyTag + ' ' + encoded(oldCopy) + ' ' + encoded(target));
}

QString InstallationRecord::targetOf(const QString& oldCopy) const
{
    return oldCopies.value(oldCopy);
}

QString InstallationRecord::earlierOldCopy(const QString& root, const QString& target) const
{
    const QString oldCopy = oldCopyOfTarget.value(target);
    if (oldCopy.isNull() || taken.contains(oldCopy) || !isOwnOldCopy(QDir(root).filePath(oldCopy)))
        return QString();
    return oldCopy;
}

bool InstallationRecord::isTaken(const QString& oldCopy) const
{
    return taken.contains(oldCopy);
}

void InstallationRecord::take(const QString& oldCopy)
{
    taken.insert(oldCopy);
}

// A temporary may be a file or the copy of a directory being moved aside.
void InstallationRecord::removeTemporaries(const QString& root) const
{
    const QDir rootDir(root);
    for (const QString& path : temporaries) {
        if (isOwnOldCopy(rootDir.filePath(path)))
            removeTree(rootDir.filePath(path));
    }
}

// A name given to one file and later to another: undone newest first, the
// later file gets the copy back, and the earlier line finds it gone. A file
// kept twice gets its oldest version back last, as a rollback of both
// steps would leave it.
// A directory at a kept file's name was made there by the run for its new
// version: under the installation's lock nothing else worked on it after
// the file was moved aside. It goes, as that run's rollback would have
// removed it, and the file takes its name back. A copy that still cannot
// go back while its name holds something else is no longer the only thing
// at that name: it goes as a leftover would.
void InstallationRecord::undo(const QString& root, QObject* receiver) const
{
    removeTemporaries(root);
    const QDir rootDir(root);
    for (auto it = oldCopyHistory.crbegin(); it != oldCopyHistory.crend(); ++it) {
        const QString oldCopy = rootDir.filePath(it->first);
        const QString target = rootDir.filePath(it->second);
        if (!isOwnOldCopy(oldCopy))
            continue;
        if (!isRealDirectory(oldCopy) && isRealDirectory(target))
            removeTree(target);
        if (!putBackRecord(target, oldCopy).rollback(receiver) && pathExists(target))
            removeTree(oldCopy);
    }
}

RollbackData InstallationRecord::putBackRecord(const QString& target, const QString& oldCopy)
{
    // A directory copy is complete once it has its name: whatever stands at
    // the target is the new file or what is left of the original.
    return RollbackData(isRealDirectory(oldCopy) ? RollbackData::MoveDir : RollbackData::Rename, target,
                        oldCopy);
}

QStringList InstallationRecord::leftoverOldCopies(const QString& root, bool directories) const
{
    const QDir rootDir(root);
    QStringList leftovers;
    for (auto it = oldCopies.cbegin(); it != oldCopies.cend(); ++it) {
        const QString oldCopy = rootDir.filePath(it.key());
        if (taken.contains(it.key()) || UpdateEngine::isRemovedAtStart(it.key())
            || !isOwnOldCopy(oldCopy) || isRealDirectory(oldCopy) != directories
            || !pathExists(rootDir.filePath(it.value())))
            continue;
        leftovers << it.key();
    }
    leftovers.sort();
    return leftovers;
}
