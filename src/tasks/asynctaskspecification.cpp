#include "asynctaskspecification.h"

#include <QCoreApplication>
#include <QThreadPool>

#include <atomic>

namespace {
std::atomic<int> liveWorkers{0};
}

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
    ++liveWorkers;
}

ASyncFunc::~ASyncFunc()
{
    --liveWorkers;
}

void ASyncFunc::execute()
{
    emit runResult(run());
}

ASyncRun::ASyncRun(ASyncFunc* func)
    : func(func)
{
    setAutoDelete(true);
}

ASyncRun::~ASyncRun()
{
    delete func;
}

void ASyncRun::run()
{
    func->execute();
}

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, double progressRange)
    : TaskSpecification(parent, progressRange)
{
}

int ASyncTaskSpecification::liveWorkerCount()
{
    return liveWorkers;
}

void ASyncTaskSpecification::execute()
{
    ASyncFunc* func = createFunction();
    connectDefaultSignals(func);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    // The result can only arrive through a queued connection, on a later
    // turn of the event loop, so setting the state after the hand-over is safe.
    state = TaskState::Running;
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc* func)
{
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult,
            Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress,
            Qt::QueuedConnection);
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}

void ASyncTaskSpecification::runDone(bool ok)
{
    if (state != TaskState::Running)
        return;
    if (ok)
        finish();
    else
        errorCancel();
}

void ASyncTaskSpecification::reset()
{
    // Waits for every job of the global pool, not only this task's: a worker
    // must never outlive the state it was started for.
    QThreadPool::globalInstance()->waitForDone();
    // What the finished workers sent is still queued for this task; drop it,
    // so that a result of the old run can never end a new one.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    TaskSpecification::reset();
}
