#ifndef ROLLBACK_H
#define ROLLBACK_H

#include <QList>
#include <QString>

class QObject;

// One undo record of a file operation. Each record knows how to undo itself;
// the journal only replays them newest first.
class RollbackData
{
public:
    enum Operation {
        Rename = 0,
        CreateFile = 1,
        CreateDir = 2,
        // A directory moved aside for a file: by a rename, or, where the
        // file system refuses that, as a copy and the removal of the
        // original. Recorded as a rename (secondPath the old name).
        MoveDir = 3
    };

    // A rename from a to b: path = b (the new name), secondPath = a. The
    // rename may also be made as a second name b that keeps the file while
    // a new file takes the name a; the undo puts it back in both cases.
    RollbackData(Operation operation, const QString& a, const QString& b);
    RollbackData(Operation operation, const QString& a);

    bool rollback(QObject* receiver);
    static void message(QObject* receiver, const QString& text);

    QString path;
    QString secondPath;
    Operation operation;

private:
    bool undoRename() const;
    bool undoMoveDir() const;
};

// The undo journal: records in the order they were made, undone last first.
class RollbackDataList
{
public:
    RollbackDataList();

    void add(const RollbackData& record);
    void appendList(const RollbackDataList& other);
    bool rollback(QObject* receiver);
    void clear();

    QList<RollbackData> records;
};

#endif
