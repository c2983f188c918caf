#ifndef TASKRUN_H
#define TASKRUN_H

#include <QSignalSpy>
#include <QStringList>

#include <functional>

class TaskSpecification;

// Follows one task on the calling thread's event loop: what it says, and
// how it ends.
class TaskRun : public QObject
{
public:
    explicit TaskRun(TaskSpecification& task);

    // Executes the task and waits for its end; its state then.
    int run();
    // Processes events until the task ends or the condition holds; whether
    // it holds.
    bool waitFor(const std::function<bool()>& condition);
    bool ended() const { return !finished.isEmpty() || !canceled.isEmpty(); }
    // The task's state once it ended exactly once, -1 otherwise.
    int state() const;

    QStringList messages;

private:
    TaskSpecification& task;
    QSignalSpy finished;
    QSignalSpy canceled;
};

#endif
