#include "rollback.h"

#include "filetree.h"
#include "pathchecks.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

RollbackData::RollbackData(Operation operation, const QString& a, const QString& b)
    : path(b)
    , secondPath(a)
    , operation(operation)
{
}

RollbackData::RollbackData(Operation operation, const QString& a)
    : path(a)
    , operation(operation)
{
}

bool RollbackData::rollback(QObject* receiver)
{
    switch (operation) {
    case Rename:
    case MoveDir:
        if (operation == Rename ? undoRename() : undoMoveDir())
            return true;
        message(receiver, QStringLiteral("warning: rollback rename %1 to %2 failed").arg(secondPath, path));
        return false;
    case CreateFile:
        if (QFile::remove(path))
            return true;
        message(receiver, QStringLiteral("warning: rollback create file %1 failed").arg(path));
        return false;
    case CreateDir:
        if (QFileInfo(path).dir().rmdir(QDir(path).dirName()))
            return true;
        message(receiver, QStringLiteral("warning: rollback create dir %1 failed").arg(path));
        return false;
    }
    qFatal("Should not reach here");
    return false;
}

// The file now called path gets its old name back in one step, so the old
// name never stands empty: a rename that replaces whatever took that name
// (the new file of an installation), or, while the old name still is the
// same file (a second name made to keep it), dropping the second name. A
// directory moved aside for a new file cannot replace that file: the file
// goes first.
bool RollbackData::undoRename() const
{
    const QByteArray kept = QFile::encodeName(path);
    const QByteArray original = QFile::encodeName(secondPath);
    struct stat keptStatus;
    struct stat originalStatus;
    if (::lstat(kept.constData(), &keptStatus) != 0)
        return false;
    const bool originalExists = ::lstat(original.constData(), &originalStatus) == 0;
    if (originalExists && keptStatus.st_dev == originalStatus.st_dev
        && keptStatus.st_ino == originalStatus.st_ino)
        return ::unlink(kept.constData()) == 0;
    if (originalExists && S_ISDIR(keptStatus.st_mode) && !S_ISDIR(originalStatus.st_mode)
        && ::unlink(original.constData()) != 0)
        return false;
    return ::rename(kept.constData(), original.constData()) == 0;
}

// The old name holds the file installed in the directory's place, or what
// is left of the original where its removal after the copy stopped part
// way: that goes, and the kept directory takes the name back. Nothing goes
// while the kept directory is not there.
bool RollbackData::undoMoveDir() const
{
    return pathExists(path) && removeTree(secondPath)
        && ::rename(QFile::encodeName(path).constData(), QFile::encodeName(secondPath).constData()) == 0;
}

// The receivers are tasks, whose message(QString) is a signal: the warning
// becomes the task's own log line and travels up the task tree.
void RollbackData::message(QObject* receiver, const QString& text)
{
    if (!receiver)
        return;
    QMetaObject::invokeMethod(receiver, "message", Qt::AutoConnection, Q_ARG(QString, text));
}

RollbackDataList::RollbackDataList() = default;

void RollbackDataList::add(const RollbackData& record)
{
    records.append(record);
}

void RollbackDataList::appendList(const RollbackDataList& other)
{
    records.append(other.records);
}

bool RollbackDataList::rollback(QObject* receiver)
{
    bool result = true;
    while (!records.isEmpty()) {
        RollbackData record = records.takeLast();
        if (!record.rollback(receiver))
            result = false;
    }
    return result;
}

void RollbackDataList::clear()
{
    records.clear();
}
