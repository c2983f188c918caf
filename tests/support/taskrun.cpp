#include "taskrun.h"

#include "taskspecification.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

TaskRun::TaskRun(TaskSpecification& task)
    : task(task)
    , finished(&task, &TaskSpecification::finished)
    , canceled(&task, &TaskSpecification::canceled)
{
    connect(&task, &TaskSpecification::message, this, [this](const QString& line) { messages << line; });
}

int TaskRun::run()
{
    task.execute();
    waitFor([] { return false; });
    return state();
}

bool TaskRun::waitFor(const std::function<bool()>& condition)
{
    const QDeadlineTimer deadline(20000);
    while (!ended() && !condition() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return condition();
}

int TaskRun::state() const
{
    return finished.count() + canceled.count() == 1 ? task.state : -1;
}
