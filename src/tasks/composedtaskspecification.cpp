#include "composedtaskspecification.h"

#include <QCoreApplication>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, double progressRange,
                                                     QObject* parent)
    : TaskSpecification(parent, progressRange)
    , maxParallel(maxParallel)
    , subTaskCanceled(false)
    , doneReported(false)
    , progressSum(0.0)
    , reportsSinceExactSum(0)
{
    // Every start happens on a later turn of the event loop, never inside the
    // call that asked for it.
    connect(this, &ComposedTaskSpecification::startNextTask,
            this, &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

// Sub-tasks that are this composite's children die with it, in ~QObject
// right after this. A deleteLater() would post an event for each, which each
// must then look for in the thread's whole event queue as it dies: teardown
// of a large tree would take time quadratic in its size.
ComposedTaskSpecification::~ComposedTaskSpecification()
{
    for (TaskSpecification* task : detachSubTasks()) {
        if (task->parent() != this)
            task->deleteLater();
    }
}

void ComposedTaskSpecification::addSubTask(TaskSpecification* task)
{
    subTasks.append(task);
    pendingTasks.append(task);
    connectSignals(task);
    // The first sub-task of a new list (after clearSubTasks()) is always
    // summed afresh, so nothing of the old list stays counted.
    addToProgressSum(task->progress);
}

void ComposedTaskSpecification::connectSignals(TaskSpecification* task)
{
    connectToThis(task);
}

void ComposedTaskSpecification::connectToThis(TaskSpecification* task)
{
    cancelNotices[task] = connect(this, &TaskSpecification::otherTaskCancelled, task,
                                  &ComposedTaskSpecification::onOtherTaskCancelled);
    connect(task, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    // A plain slot could not tell which sub-task reported (sender() walks
    // every connection to this composite), so the connection itself keeps
    // what its sub-task last counted for in the sum.
    connect(task, &TaskSpecification::updateProgress, this,
            [this, task, counted = task->progress](qreal) mutable {
                const double change = task->progress - counted;
                counted = task->progress;
                addToProgressSum(change);
            });
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
}

// Undoes connectToThis(), and nothing that a subclass connected.
void ComposedTaskSpecification::disconnectFromThis(TaskSpecification* task)
{
    const auto notice = cancelNotices.find(task);
    if (notice != cancelNotices.end()) {
        disconnect(notice->second);
        cancelNotices.erase(notice);
    }
    disconnect(task, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    disconnect(task, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    disconnect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    disconnect(task, &TaskSpecification::updateProgress, this, nullptr);
    disconnect(task, &TaskSpecification::message, this, &TaskSpecification::message);
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
        // Every start is counted against a sub-task that ends, so no more
        // than maxParallel run at once.
        Q_ASSERT(runningTasks.count() < maxParallel);
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
    // A finished sub-task signals again only once reset, and reset() takes it
    // back first; a sibling's cancellation no longer concerns it. Until then
    // its connections would only hold memory: a step of many files keeps
    // every finished file task, and their own sub-tasks, until it ends.
    disconnectFromThis(task);
    const bool wasRunning = runningTasks.removeOne(task);
    Q_ASSERT(wasRunning);
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

// A report costs the same whatever the number of sub-tasks: the sum moves by
// the change alone. Each change rounds, by at most a unit in the last place
// of the larger of change and sum, so the sum is taken afresh, in list order,
// once there have been as many reports as sub-tasks (the cost per report
// stays constant on average, the drift a few units in the last place of 1.0
// per sub-task), and whenever change or sum go beyond the whole, as they may
// with a fraction above 1, where a single rounding could be that large.
void ComposedTaskSpecification::addToProgressSum(double change)
{
    progressSum += change;
    const bool beyondTheWhole = qAbs(change) > 1.0 || qAbs(progressSum) > 1.0;
    if (++reportsSinceExactSum >= subTasks.count() || beyondTheWhole) {
        progressSum = exactProgressSum();
        reportsSinceExactSum = 0;
    }
    setProgress(progressSum);
}

// Progress of a sub-task that was cancelled stays counted.
double ComposedTaskSpecification::exactProgressSum() const
{
    double sum = 0.0;
    for (const TaskSpecification* task : subTasks)
        sum += task->progress;
    return sum;
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
    for (TaskSpecification* task : std::as_const(doneTasks)) {
        if (task->state == TaskState::Finished)
            connectToThis(task);
    }
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
    for (TaskSpecification* task : detachSubTasks())
        task->deleteLater();
}

// Disconnects the sub-tasks from this composite both ways and empties the
// lists; returns the sub-tasks that were there.
QList<TaskSpecification*> ComposedTaskSpecification::detachSubTasks()
{
    const QList<TaskSpecification*> tasks = subTasks;
    for (TaskSpecification* task : tasks)
        disconnect(task, nullptr, this, nullptr);
    // By its handle: found by receiver, each would be looked for among the
    // connections to every sub-task.
    for (const auto& [task, notice] : cancelNotices)
        disconnect(notice);
    cancelNotices.clear();
    subTasks.clear();
    pendingTasks.clear();
    runningTasks.clear();
    doneTasks.clear();
    return tasks;
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
