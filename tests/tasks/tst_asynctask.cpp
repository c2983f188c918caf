#include "testregistry.h"

#include "asynctaskspecification.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QThreadPool>

#include <atomic>

namespace {

// What a scripted worker does; shared between the task and its workers.
struct WorkerScript
{
    bool result = true;
    QList<qreal> progressSteps;
    QStringList messages;
    QSemaphore* gate = nullptr;    // the worker waits here before returning
    std::atomic<Qt::HANDLE> thread{nullptr};
};

class ScriptedFunc : public ASyncFunc
{
    Q_OBJECT

public:
    explicit ScriptedFunc(WorkerScript* script) : script(script) {}

    bool run() override
    {
        script->thread = QThread::currentThreadId();
        for (const QString& line : std::as_const(script->messages))
            emit message(line);
        for (qreal step : std::as_const(script->progressSteps))
            emit progress(step);
        if (script->gate)
            script->gate->acquire();
        return script->result;
    }

private:
    WorkerScript* script;
};

class ScriptedAsyncTask : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    ScriptedAsyncTask(WorkerScript* script, double progressRange)
        : ASyncTaskSpecification(nullptr, progressRange), script(script) {}

    ASyncFunc* createFunction() override { return new ScriptedFunc(script); }

    void runDone(bool ok) override
    {
        resultThread = QThread::currentThreadId();
        stateAtResult = state;
        ASyncTaskSpecification::runDone(ok);
    }

    WorkerScript* script;
    Qt::HANDLE resultThread = nullptr;
    int stateAtResult = -1;
};

// A task already executing, whose worker waits at the gate until the case
// releases it.
struct HeldTask
{
    HeldTask()
        : task(&script, 1.0)
        , finished(&task, &TaskSpecification::finished)
    {
        script.gate = &gate;
        task.execute();
    }

    QSemaphore gate;
    WorkerScript script;
    ScriptedAsyncTask task;
    QSignalSpy finished;
};

} // namespace

class AsyncTaskTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void resultHandledLaterOnGuiThread_data();
    void resultHandledLaterOnGuiThread();
    void messagesAndWeightedProgressArriveBeforeResult();
    void resultAfterResetIsDropped();
    void userCancelDoesNotInterruptWorker();
    void resetWaitsForOtherTasksWorkers();
};

void AsyncTaskTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QCOMPARE(ASyncTaskSpecification::liveWorkerCount(), 0);
}

void AsyncTaskTest::resultHandledLaterOnGuiThread_data()
{
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("expectedState");
    QTest::newRow("success") << true << int(TaskState::Finished);
    QTest::newRow("failure") << false << int(TaskState::ErrorCanceled);
}

void AsyncTaskTest::resultHandledLaterOnGuiThread()
{
    QFETCH(bool, result);
    QFETCH(int, expectedState);

    WorkerScript script;
    script.result = result;
    ScriptedAsyncTask task(&script, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);

    task.execute();
    QCOMPARE(task.state, int(TaskState::Running));
    // Even a worker that is already done is heard only after execute().
    QThreadPool::globalInstance()->waitForDone();
    QCOMPARE(finished.count() + canceled.count(), 0);

    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(task.state, expectedState);
    QCOMPARE(task.stateAtResult, int(TaskState::Running));
    QCOMPARE(task.resultThread, QThread::currentThreadId());
    QVERIFY(script.thread != QThread::currentThreadId());
}

void AsyncTaskTest::messagesAndWeightedProgressArriveBeforeResult()
{
    WorkerScript script;
    script.messages = QStringList{"one", "two"};
    script.progressSteps = QList<qreal>{0.5};
    ScriptedAsyncTask task(&script, 0.2);
    QStringList events;
    connect(&task, &TaskSpecification::message, this, [&](const QString& line) { events << line; });
    connect(&task, &TaskSpecification::updateProgress, this,
            [&](qreal value) { events << QString::number(value); });
    connect(&task, &TaskSpecification::finished, this, [&] { events << QStringLiteral("finished"); });

    task.execute();
    QTRY_VERIFY(events.contains(QStringLiteral("finished")));
    QCOMPARE(events, (QStringList{"one", "two", "0.1", "0.2", "finished"}));
}

// reset() returns once the old worker is done, its result already queued;
// a run started in the same turn must end by its own worker's result alone.
void AsyncTaskTest::resultAfterResetIsDropped()
{
    HeldTask held;
    held.gate.release();
    held.task.reset();
    QCOMPARE(held.task.state, int(TaskState::Idle));

    held.script.gate = nullptr;
    held.script.result = false;
    QSignalSpy canceled(&held.task, &TaskSpecification::canceled);
    held.task.execute();
    QVERIFY(canceled.wait(1000));
    QCOMPARE(held.finished.count(), 0);
}

void AsyncTaskTest::userCancelDoesNotInterruptWorker()
{
    HeldTask held;
    held.task.userCanceled();
    QCOMPARE(held.task.state, int(TaskState::Running));
    held.gate.release();
    QVERIFY(held.finished.wait(1000));
    QVERIFY(held.task.canceledByUser);
}

void AsyncTaskTest::resetWaitsForOtherTasksWorkers()
{
    HeldTask slow;
    WorkerScript idleScript;
    ScriptedAsyncTask idle(&idleScript, 1.0);

    // reset() blocks the GUI thread, so the worker is released from a plain
    // thread a moment later; reset() must not return before that.
    std::atomic<bool> released{false};
    std::unique_ptr<QThread> releaser(QThread::create([&] {
        QThread::msleep(50);
        released = true;
        slow.gate.release();
    }));
    releaser->start();
    idle.reset();
    QVERIFY(released);
    QCOMPARE(QThreadPool::globalInstance()->activeThreadCount(), 0);
    releaser->wait();
}

static TestRegistration registration("AsyncTaskTest", [] { return new AsyncTaskTest; });

#include "tst_asynctask.moc"
