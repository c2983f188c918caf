#include "rollback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>

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
        if (QFile::rename(path, secondPath))
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
