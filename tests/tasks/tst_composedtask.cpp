#include "testregistry.h"

#include "scriptedtask.h"

#include <QPointer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

class ComposedTaskTest : public QObject
{
    Q_OBJECT

private slots:
    void executeReturnsBeforeAnySubTaskStarts();
    void runsFirstInFirstOutWithinMaxParallel();
    void endsInsideExecute_data();
    void endsInsideExecute();
    void outcome_data();
    void outcome();
    void userCancelBeforeExecuteStartsNothing();
    void siblingsCancellingSynchronouslyEndTheCompositeOnce();
    void addSubTaskReportsTheSum_data();
    void addSubTaskReportsTheSum();
    void canceledSubTaskProgressStaysCounted();
    void progressStaysTheSumOfSubTasks_data();
    void progressStaysTheSumOfSubTasks();
    void resetAfterFinishedSubTasksRunsThemAgain();
    void timeTickSumsChildren();
    void rebuildFromInsideSubTaskSignal();
    void resetCompositeRunsAgain();
    void startQueuedBeforeResetStartsNothing_data();
    void startQueuedBeforeResetStartsNothing();
    void relaysMessagesAndErrors();
};

void ComposedTaskTest::executeReturnsBeforeAnySubTaskStarts()
{
    QStringList log;
    ScriptedComposite composite(1, 1.0, nullptr);
    for (const char* name : {"a", "b", "c"})
        composite.addScripted(QLatin1String(name), 1.0 / 3, &log)->ending = ScriptedTask::FinishAtOnce;
    QSignalSpy finished(&composite, &TaskSpecification::finished);

    composite.execute();
    QVERIFY(log.isEmpty());
    QCOMPARE(composite.state, int(TaskState::Running));

    // Each start takes its own turn of the event loop.
    QCoreApplication::processEvents();
    QCOMPARE(log, QStringList{"start a"});
    QVERIFY(finished.wait(1000));
    QCOMPARE(log, (QStringList{"start a", "start b", "start c"}));
    QCOMPARE(finished.count(), 1);
}

void ComposedTaskTest::runsFirstInFirstOutWithinMaxParallel()
{
    QStringList log;
    ScriptedComposite composite(2, 1.0, nullptr);
    QList<ScriptedTask*> tasks;
    for (int i = 0; i < 5; ++i)
        tasks << composite.addScripted(QString::number(i), 0.2, &log);
    QSignalSpy finished(&composite, &TaskSpecification::finished);

    composite.execute();
    QTRY_COMPARE(log.count(), 2);
    QCoreApplication::processEvents();
    QCOMPARE(log, (QStringList{"start 0", "start 1"}));
    QCOMPARE(composite.runningCount(), 2);

    // Each end frees exactly one start, in list order.
    tasks[1]->succeed();
    QTRY_COMPARE(log.count(), 3);
    QCOMPARE(log.last(), QStringLiteral("start 2"));
    tasks[0]->succeed();
    QTRY_COMPARE(log.count(), 4);
    QCOMPARE(log.last(), QStringLiteral("start 3"));
    QCoreApplication::processEvents();
    QCOMPARE(composite.runningCount(), 2);

    tasks[2]->succeed();
    QTRY_COMPARE(log.count(), 5);
    tasks[3]->succeed();
    tasks[4]->succeed();
    QVERIFY(finished.wait(1000));
    QCOMPARE(composite.state, int(TaskState::Finished));
    QCOMPARE(composite.progress, 1.0);
}

// Nothing to start, or no start allowed: the composite ends within
// execute() and starts nothing later.
void ComposedTaskTest::endsInsideExecute_data()
{
    QTest::addColumn<int>("maxParallel");
    QTest::addColumn<bool>("withSubTask");
    QTest::addColumn<int>("expectedState");
    QTest::newRow("no sub-tasks") << 1 << false << int(TaskState::Finished);
    QTest::newRow("max parallel 0") << 0 << true << int(TaskState::ErrorCanceled);
}

void ComposedTaskTest::endsInsideExecute()
{
    QFETCH(int, maxParallel);
    QFETCH(bool, withSubTask);
    QFETCH(int, expectedState);

    QStringList log;
    ScriptedComposite composite(maxParallel, 0.3, nullptr);
    if (withSubTask)
        composite.addScripted(QStringLiteral("a"), 1.0, &log);
    QSignalSpy progress(&composite, &TaskSpecification::updateProgress);
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    composite.execute();
    QCOMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(composite.state, expectedState);
    if (expectedState == TaskState::Finished)
        QCOMPARE(progress.last().at(0).toDouble(), 0.3);
    QCoreApplication::processEvents();
    QVERIFY(log.isEmpty());
}

// Each script is a sequence of steps on sub-tasks a, b and c (all running at
// once); "!" asks the composite to stop.
void ComposedTaskTest::outcome_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("expected");
    QTest::newRow("all finished") << "a+ b+ c+" << int(TaskState::Finished);
    QTest::newRow("error then user") << "a- b* c+" << int(TaskState::ErrorCanceled);
    QTest::newRow("user then error") << "a* b- c+" << int(TaskState::ErrorCanceled);
    QTest::newRow("user only") << "a* b+ c+" << int(TaskState::UserCanceled);
    QTest::newRow("stop asked, all finish") << "! a+ b+ c+" << int(TaskState::Finished);
    QTest::newRow("stop asked, one errors") << "! a+ b- c+" << int(TaskState::ErrorCanceled);
}

void ComposedTaskTest::outcome()
{
    QFETCH(QString, script);
    QFETCH(int, expected);

    ScriptedComposite composite(3, 1.0, nullptr);
    QMap<QChar, ScriptedTask*> tasks;
    for (QChar name : {u'a', u'b', u'c'})
        tasks[name] = composite.addScripted(QString(name), 1.0 / 3);
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    composite.execute();
    QTRY_COMPARE(composite.runningCount(), 3);

    for (const QString& step : script.split(u' ')) {
        if (step == QLatin1String("!")) {
            composite.userCanceled();
            continue;
        }
        ScriptedTask* task = tasks.value(step.at(0));
        if (task->state != TaskState::Running)
            continue; // already ended by a sibling's cancellation
        switch (step.at(1).unicode()) {
        case '+': task->succeed(); break;
        case '-': task->fail(); break;
        case '*': task->abort(); break;
        }
    }
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(composite.state, expected);
}

void ComposedTaskTest::userCancelBeforeExecuteStartsNothing()
{
    QStringList log;
    ScriptedComposite composite(2, 1.0, nullptr);
    composite.addScripted(QStringLiteral("a"), 0.5, &log);
    composite.addScripted(QStringLiteral("b"), 0.5, &log);
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);

    composite.userCanceled();
    composite.execute();
    QVERIFY(canceled.wait(1000));
    QCOMPARE(composite.state, int(TaskState::UserCanceled));
    QVERIFY(log.isEmpty());
}

void ComposedTaskTest::siblingsCancellingSynchronouslyEndTheCompositeOnce()
{
    QStringList log;
    ScriptedComposite composite(4, 1.0, nullptr);
    QList<ScriptedTask*> tasks;
    for (int i = 0; i < 4; ++i) {
        tasks << composite.addScripted(QString::number(i), 0.2, &log);
        tasks.last()->cancelWhenSiblingCancels = true;
    }
    ScriptedTask* pending = composite.addScripted(QStringLiteral("pending"), 0.2, &log);
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    QSignalSpy notices(&composite, &TaskSpecification::otherTaskCancelled);
    composite.execute();
    QTRY_COMPARE(composite.runningCount(), 4);

    tasks[1]->fail();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(notices.count(), 1);
    for (ScriptedTask* task : tasks)
        QCOMPARE(task->state, int(TaskState::ErrorCanceled));
    QCoreApplication::processEvents();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(pending->state, int(TaskState::Idle));
    QVERIFY(!log.contains(QStringLiteral("start pending")));
}

// Adding a sub-task reports the composite's progress again, with what the
// new sub-task has already done and without what was cleared away. The
// sub-task already there (weight 0.4) is half done.
void ComposedTaskTest::addSubTaskReportsTheSum_data()
{
    QTest::addColumn<bool>("cleared");     // clearSubTasks() before the add
    QTest::addColumn<double>("addedDone"); // fraction done of the sub-task added (0.6)
    QTest::addColumn<double>("expected");  // in a composite of weight 0.5
    QTest::newRow("both part done") << false << 1.0 << 0.5 * (0.2 + 0.6);
    QTest::newRow("after clearing") << true << 0.0 << 0.0;
    QTest::newRow("after clearing, part done") << true << 0.5 << 0.5 * 0.3;
}

void ComposedTaskTest::addSubTaskReportsTheSum()
{
    QFETCH(bool, cleared);
    QFETCH(double, addedDone);
    QFETCH(double, expected);

    ScriptedComposite composite(1, 0.5, nullptr);
    composite.addScripted(QStringLiteral("earlier"), 0.4)->advance(0.5);
    if (cleared)
        composite.clearSubTasks();
    auto* added = new ScriptedTask(QStringLiteral("added"), &composite, 0.6, nullptr);
    added->advance(addedDone);

    QSignalSpy progress(&composite, &TaskSpecification::updateProgress);
    composite.addSubTask(added);
    QCOMPARE(progress.count(), 1);
    QVERIFY2(qAbs(progress.at(0).at(0).toDouble() - expected) < 1e-9,
             qPrintable(QString::number(progress.at(0).at(0).toDouble())));
    QVERIFY(qAbs(composite.progress - expected) < 1e-9);
}

void ComposedTaskTest::canceledSubTaskProgressStaysCounted()
{
    ScriptedComposite composite(2, 1.0, nullptr);
    ScriptedTask* a = composite.addScripted(QStringLiteral("a"), 0.5);
    composite.addScripted(QStringLiteral("b"), 0.5);
    composite.execute();
    QTRY_COMPARE(composite.runningCount(), 2);
    a->advance(0.2);
    a->fail();
    QCOMPARE(composite.progress, 0.1);
}

// However many reports came before, a composite reports what adding up its
// sub-tasks afresh gives, within 1e-9, from sub-tasks added with progress
// already done on.
void ComposedTaskTest::progressStaysTheSumOfSubTasks_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("reports");
    QTest::addColumn<double>("largestFraction");
    QTest::newRow("few sub-tasks, many reports") << 3 << 20000 << 1.0;
    QTest::newRow("many sub-tasks") << 400 << 20000 << 1.0;
    QTest::newRow("fractions beyond the whole") << 50 << 2000 << 1e9;
}

void ComposedTaskTest::progressStaysTheSumOfSubTasks()
{
    QFETCH(int, count);
    QFETCH(int, reports);
    QFETCH(double, largestFraction);

    ScriptedComposite root(1, 1.0, nullptr);
    auto* inner = new ScriptedComposite(1, 0.75, &root);
    root.addSubTask(inner);
    ScriptedTask* sibling = root.addScripted(QStringLiteral("sibling"), 0.25);
    sibling->advance(0.5);
    QSignalSpy reported(&root, &TaskSpecification::updateProgress);

    QRandomGenerator random(15);
    const auto fraction = [&](int report) {
        const double value = random.generateDouble();
        return report % 10 == 9 ? value * largestFraction : value;
    };
    QList<ScriptedTask*> tasks;
    const auto sumIsFresh = [&] {
        double sum = 0.0;
        for (const ScriptedTask* task : std::as_const(tasks))
            sum += task->progress;
        const double expected = 0.75 * sum + sibling->progress;
        const double actual = reported.last().at(0).toDouble();
        if (qAbs(actual - expected) > 1e-9)
            qWarning("%.17g instead of %.17g", actual, expected);
        return qAbs(actual - expected) <= 1e-9;
    };
    for (int i = 0; i < count; ++i) {
        auto* task = new ScriptedTask(QString::number(i), inner, 1.0 / count, nullptr);
        task->advance(fraction(i));
        inner->addSubTask(task);
        tasks << task;
        QVERIFY2(sumIsFresh(), qPrintable(QStringLiteral("sub-task %1 added").arg(i)));
    }
    for (int report = 1; report <= reports; ++report) {
        tasks.at(random.bounded(count))->advance(fraction(report));
        QVERIFY2(sumIsFresh(), qPrintable(QStringLiteral("report %1").arg(report)));
    }
}

// Sub-tasks that finished are let go of until the composite is reset; the
// reset must reach them, and their next run the composite.
void ComposedTaskTest::resetAfterFinishedSubTasksRunsThemAgain()
{
    QStringList log;
    ScriptedComposite composite(1, 1.0, nullptr);
    for (const char* name : {"a", "b"})
        composite.addScripted(QLatin1String(name), 0.5, &log)->ending = ScriptedTask::FinishAtOnce;
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    QSignalSpy progress(&composite, &TaskSpecification::updateProgress);
    composite.execute();
    QVERIFY(finished.wait(1000));

    composite.reset();
    QCOMPARE(progress.last().at(0).toDouble(), 0.0);
    progress.clear();
    composite.execute();
    QTRY_COMPARE(finished.count(), 2);
    QCOMPARE(log.count(), 4);
    // Each sub-task's end reached the sum, not only the composite's own.
    QVERIFY(progress.count() >= 3);
    QVERIFY(qAbs(progress.at(0).at(0).toDouble() - 0.5) < 1e-9);
}

void ComposedTaskTest::timeTickSumsChildren()
{
    ScriptedComposite composite(1, 1.0, nullptr);
    ScriptedTask* a = composite.addScripted(QStringLiteral("a"), 0.3);
    ScriptedTask* b = composite.addScripted(QStringLiteral("b"), 0.3);
    ScriptedTask* c = composite.addScripted(QStringLiteral("c"), 0.4);
    a->tickDone = 10; a->tickTotal = 100; a->tickSpeed = 5;
    b->tickDone = 7; b->tickTotal = 0; b->tickSpeed = 3; b->tickDownloading = true;
    c->tickDone = 1; c->tickTotal = 50; c->tickSpeed = 0;

    // The composite adds to what the caller passes in.
    quint64 done = 1000, total = 2000, speed = 1;
    bool downloading = true;
    composite.timeTick(done, total, speed, downloading);
    QCOMPARE(done, quint64(1000 + 10 + 1));
    QCOMPARE(total, quint64(2000 + 100 + 50));
    QCOMPARE(speed, quint64(1 + 5 + 3));
    QVERIFY(downloading);

    b->tickDownloading = false;
    composite.timeTick(done, total, speed, downloading);
    QVERIFY(!downloading);
}

// A composite that, like the engine's, throws its sub-tasks away and builds
// new ones when one of them ends, and runs them again.
void ComposedTaskTest::rebuildFromInsideSubTaskSignal()
{
    QStringList log;
    ScriptedComposite composite(1, 1.0, nullptr);
    ScriptedTask* old = composite.addScripted(QStringLiteral("old"), 1.0, &log);
    QPointer<ScriptedTask> oldGuard(old);
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    composite.execute();
    QTRY_COMPARE(old->state, int(TaskState::Running));

    ScriptedTask* fresh = nullptr;
    connect(old, &TaskSpecification::message, &composite, [&] {
        composite.clearSubTasks();
        composite.TaskSpecification::reset();
        fresh = composite.addScripted(QStringLiteral("fresh"), 1.0, &log);
        composite.execute();
    });
    emit old->message(QStringLiteral("rebuild"));
    QVERIFY(fresh);

    // The old task's later signals reach nothing.
    old->fail();
    QCOMPARE(canceled.count(), 0);
    QTRY_COMPARE(fresh->state, int(TaskState::Running));
    fresh->succeed();
    QVERIFY(finished.wait(1000));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(log, (QStringList{"start old", "start fresh"}));
    QTRY_VERIFY(oldGuard.isNull());
}

void ComposedTaskTest::resetCompositeRunsAgain()
{
    QStringList log;
    ScriptedComposite composite(1, 1.0, nullptr);
    ScriptedTask* first = composite.addScripted(QStringLiteral("first"), 1.0, &log);
    first->ending = ScriptedTask::FailAtOnce;
    QSignalSpy canceled(&composite, &TaskSpecification::canceled);
    composite.execute();
    QVERIFY(canceled.wait(1000));

    composite.clearSubTasks();
    composite.TaskSpecification::reset();
    composite.addScripted(QStringLiteral("second"), 1.0, &log)->ending = ScriptedTask::FinishAtOnce;
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    composite.execute();
    QVERIFY(finished.wait(1000));
    QCOMPARE(log, (QStringList{"start first", "start second"}));
}

// A composite reset while a start of its run is still queued. The start
// belongs to the old run: it starts nothing, also when the composite is
// executed again in the same turn, where it would otherwise be one start
// more than maxParallel allows.
void ComposedTaskTest::startQueuedBeforeResetStartsNothing_data()
{
    QTest::addColumn<bool>("rebuild"); // clearSubTasks() and the base reset, as the engine's steps do
    QTest::addColumn<bool>("executeAgain");
    QTest::newRow("requeued, executed again") << false << true;
    QTest::newRow("rebuilt, executed again") << true << true;
    QTest::newRow("requeued, left idle") << false << false;
    QTest::newRow("rebuilt, left idle") << true << false;
}

void ComposedTaskTest::startQueuedBeforeResetStartsNothing()
{
    QFETCH(bool, rebuild);
    QFETCH(bool, executeAgain);

    QStringList log;
    ScriptedComposite composite(2, 1.0, nullptr);
    QList<ScriptedTask*> tasks;
    for (int i = 0; i < 4; ++i)
        tasks << composite.addScripted(QString::number(i), 0.25, &log);
    composite.execute();
    QTRY_COMPARE(composite.runningCount(), 2);
    tasks[0]->succeed(); // queues the start of task 2

    log.clear();
    if (rebuild) {
        composite.clearSubTasks();
        composite.TaskSpecification::reset();
        tasks.clear();
        for (const char* name : {"a", "b", "c", "d"})
            tasks << composite.addScripted(QLatin1String(name), 0.25, &log);
    } else {
        composite.reset();
    }
    if (executeAgain)
        composite.execute();

    const QStringList firstTwo{"start " + tasks[0]->name, "start " + tasks[1]->name};
    const QStringList expected = executeAgain ? firstTwo : QStringList();
    QTRY_COMPARE(log, expected);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(log, expected);
    QCOMPARE(composite.runningCount(), expected.count());
    if (!executeAgain) {
        QCOMPARE(composite.state, int(TaskState::Idle));
        return;
    }

    // The new run goes on through all four, in order, and ends once.
    QSignalSpy finished(&composite, &TaskSpecification::finished);
    for (ScriptedTask* task : std::as_const(tasks)) {
        QTRY_COMPARE(task->state, int(TaskState::Running));
        task->succeed();
    }
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(log.count(), 4);
    QVERIFY(qAbs(composite.progress - 1.0) < 1e-9);
}

void ComposedTaskTest::relaysMessagesAndErrors()
{
    ScriptedComposite composite(1, 1.0, nullptr);
    ScriptedTask* task = composite.addScripted(QStringLiteral("a"), 1.0);
    QSignalSpy messages(&composite, &TaskSpecification::message);
    QSignalSpy errors(&composite, &TaskSpecification::error);
    emit task->message(QStringLiteral("line"));
    emit task->error(QStringLiteral("box"));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("line"));
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("box"));
}

static TestRegistration registration("ComposedTaskTest", [] { return new ComposedTaskTest; });

#include "tst_composedtask.moc"
