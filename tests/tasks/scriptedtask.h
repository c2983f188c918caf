#ifndef SCRIPTEDTASK_H
#define SCRIPTEDTASK_H

#include "composedtaskspecification.h"

#include <QStringList>

// A leaf task that the test ends by hand, or that ends by itself inside
// execute() or when a sibling is cancelled.
class ScriptedTask : public TaskSpecification
{
    Q_OBJECT

public:
    enum Ending { EndByHand, FinishAtOnce, FailAtOnce };

    ScriptedTask(const QString& name, QObject* parent, double progressRange, QStringList* log)
        : TaskSpecification(parent, progressRange)
        , name(name)
        , log(log)
    {
    }

    void execute() override
    {
        state = TaskState::Running;
        if (log)
            log->append(QStringLiteral("start ") + name);
        if (ending == FinishAtOnce)
            finish();
        else if (ending == FailAtOnce)
            errorCancel();
    }

    void handleOtherTaskCancelled(TaskSpecification*) override
    {
        ++siblingNotices;
        if (cancelWhenSiblingCancels)
            errorCancel();
    }

    void timeTick(quint64& done, quint64& total, quint64& speed, bool& downloading) override
    {
        done = tickDone;
        total = tickTotal;
        speed = tickSpeed;
        downloading = tickDownloading;
    }

    void succeed() { finish(); }
    void fail() { errorCancel(); }
    void abort() { userCancel(); }
    void advance(double fraction) { setProgress(fraction); }
    using TaskSpecification::onOtherTaskCancelled;

    QString name;
    QStringList* log;
    Ending ending = EndByHand;
    bool cancelWhenSiblingCancels = false;
    int siblingNotices = 0;
    quint64 tickDone = 0;
    quint64 tickTotal = 0;
    quint64 tickSpeed = 0;
    bool tickDownloading = false;
};

// A composite whose execute() only starts the sub-tasks it was given.
class ScriptedComposite : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    using ComposedTaskSpecification::ComposedTaskSpecification;
    using ComposedTaskSpecification::clearSubTasks;

    void execute() override { executeSubTasks(); }

    ScriptedTask* addScripted(const QString& name, double weight, QStringList* log = nullptr)
    {
        auto* task = new ScriptedTask(name, this, weight, log);
        addSubTask(task);
        return task;
    }

    int runningCount() const { return int(runningTasks.count()); }
};

#endif
