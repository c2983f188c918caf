#include "composedtaskspecification.h"

#include <QCoreApplication>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, double progressRange,
                                                     QObject* parent)
    : TaskSpecification(parent, progressRange)
    , maxParallel(maxParallel)
    , subTaskCanceled(false)
    , doneReported(false)
{
    // Every start happens on a later turn of the event loop, never inside the
    // call that asked for it.
    connect(this, &ComposedTaskSpecification::startNextTask,
            this, &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    clearSubTasks();
}

void ComposedTaskSpecification::addSubTask(TaskSpecification* task)
{
    subTasks.append(task);
    pendingTasks.append(task);
    connectSignals(task);
    onUpdateProgress(0.0);
}

void ComposedTaskSpecification::connectSignals(TaskSpecification* task)
{
    connect(task, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(task, &TaskSpecification::updateProgress, this, &ComposedTaskSpecification::onUpdateProgress);
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, task,
            &ComposedTaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::executeSubTasks()
{
    // A composite that was reset by clearSubTasks() and the base reset must
    // run again, so this run's flags start clear.
    subTaskCanceled = false;
    doneReported = false;
    state = TaskState::Running;
    // A start still queued belongs to an earlier run that was reset within
    // this turn; counted in this run, it would let more than maxParallel
    // sub-tasks run at once. The only queued calls a composite receives are
    // its starts, so this run's starts are exactly those emitted below.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);

    const int starts = qMin(maxParallel, int(pendingTasks.count()));
    if (starts <= 0) {
        subtasksDone();
        return;
    }
    for (int i = 0; i < starts; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::onStartNextTask()
{
    // A start queued before a reset that is not followed by a new run must
    // not start anything.
    if (state != TaskState::Running)
        return;

    if (!pendingTasks.isEmpty() && !subTaskCanceled && !canceledByUser) {
        TaskSpecification* task = pendingTasks.takeFirst();
        runningTasks.append(task);
        task->execute();
        return;
    }
    if (runningTasks.isEmpty() && !doneReported) {
        doneReported = true;
        subtasksDone();
    }
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* task)
{
    runningTasks.removeOne(task);
    doneTasks.append(task);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* task)
{
    runningTasks.removeOne(task);
    doneTasks.append(task);
    if (!subTaskCanceled) {
        subTaskCanceled = true;
        // Running siblings may cancel synchronously inside this emit and
        // re-enter this slot; the last of them reports the end, which the
        // test below then finds done.
        emit otherTaskCancelled(task);
    }
    if (runningTasks.isEmpty() && !doneReported) {
        doneReported = true;
        subtasksDone();
    }
}

int ComposedTaskSpecification::getStateFromSubTasks() const
{
    if (subTasks.isEmpty())
        return TaskState::Finished;

    bool anyUserCanceled = false;
    bool allFinished = true;
    for (const TaskSpecification* task : subTasks) {
        if (task->state == TaskState::ErrorCanceled)
            return TaskState::ErrorCanceled;
        if (task->state == TaskState::UserCanceled)
            anyUserCanceled = true;
        if (task->state != TaskState::Finished)
            allFinished = false;
    }
    if (anyUserCanceled)
        return TaskState::UserCanceled;
    if (allFinished)
        return TaskState::Finished;
    if (canceledByUser)
        return TaskState::UserCanceled;
    if (subTaskCanceled)
        return TaskState::ErrorCanceled;
    return TaskState::Running;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (getStateFromSubTasks()) {
    case TaskState::Finished:
        finish();
        break;
    case TaskState::UserCanceled:
        userCancel();
        break;
    default:
        errorCancel();
        break;
    }
}

void ComposedTaskSpecification::onUpdateProgress(qreal)
{
    double sum = 0.0;
    for (const TaskSpecification* task : std::as_const(subTasks))
        sum += task->progress;
    setProgress(sum);
}

void ComposedTaskSpecification::timeTick(quint64& done, quint64& total, quint64& speed,
                                         bool& downloading)
{
    downloading = false;
    const QList<TaskSpecification*> tasks = subTasks;
    for (TaskSpecification* task : tasks) {
        quint64 taskDone = 0;
        quint64 taskTotal = 0;
        quint64 taskSpeed = 0;
        bool taskDownloading = false;
        task->timeTick(taskDone, taskTotal, taskSpeed, taskDownloading);
        if (taskDownloading)
            downloading = true;
        speed += taskSpeed;
        if (taskTotal != 0) {
            done += taskDone;
            total += taskTotal;
        }
    }
}

void ComposedTaskSpecification::reset()
{
    const QList<TaskSpecification*> tasks = subTasks;
    for (TaskSpecification* task : tasks)
        task->reset();
    pendingTasks = subTasks;
    runningTasks.clear();
    doneTasks.clear();
    subTaskCanceled = false;
    doneReported = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::clearSubTasks()
{
    const QList<TaskSpecification*> tasks = subTasks;
    for (TaskSpecification* task : tasks) {
        disconnect(task, nullptr, this, nullptr);
        disconnect(this, nullptr, task, nullptr);
        task->deleteLater();
    }
    subTasks.clear();
    pendingTasks.clear();
    runningTasks.clear();
    doneTasks.clear();
}

void ComposedTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != TaskState::Running)
        return;
    const QList<TaskSpecification*> tasks = subTasks;
    for (TaskSpecification* task : tasks)
        task->userCanceled();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    emit otherTaskCancelled(other);
}
