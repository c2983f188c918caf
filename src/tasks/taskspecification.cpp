#include "taskspecification.h"

TaskSpecification::TaskSpecification(QObject* parent, double progressRange)
    : QObject(parent)
    , canceledByUser(false)
    , progressRange(progressRange)
    , progress(0.0)
    , state(TaskState::Idle)
{
}

void TaskSpecification::setParentProgressRange(double range)
{
    progressRange = range;
}

void TaskSpecification::setProgress(double fraction)
{
    progress = fraction * progressRange;
    emit updateProgress(progress);
}

// A task ends once per run (some end inside execute(), before they were ever
// running): finish(), errorCancel() and userCancel() leave that to the code
// that calls them, and debug builds check it.
void TaskSpecification::finish()
{
    Q_ASSERT(state == TaskState::Idle || state == TaskState::Running);
    state = TaskState::Finished;
    setProgress(1.0);
    emit finished(this);
}

void TaskSpecification::errorCancel()
{
    Q_ASSERT(state == TaskState::Idle || state == TaskState::Running);
    state = TaskState::ErrorCanceled;
    emit canceled(this);
}

void TaskSpecification::userCancel()
{
    Q_ASSERT(state == TaskState::Idle || state == TaskState::Running);
    state = TaskState::UserCanceled;
    emit canceled(this);
}

void TaskSpecification::reset()
{
    canceledByUser = false;
    state = TaskState::Idle;
    setProgress(0.0);
}

void TaskSpecification::timeTick(quint64& done, quint64& total, quint64& speed, bool& downloading)
{
    done = 0;
    total = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::userCanceled()
{
    canceledByUser = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification*)
{
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other)
{
    if (other != this && state == TaskState::Running)
        handleOtherTaskCancelled(other);
}
