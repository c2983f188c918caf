#include "testregistry.h"

#include "taskspecification.h"

#include <QSignalSpy>
#include <QTest>

namespace {

// A task that ends only when the test tells it to.
class ManualTask : public TaskSpecification
{
public:
    using TaskSpecification::TaskSpecification;
    void execute() override { state = TaskState::Running; }
    void succeed() { finish(); }
    void fail() { errorCancel(); }
    void abort() { userCancel(); }
    void advance(double fraction) { setProgress(fraction); }
};

} // namespace

class TaskBaseTest : public QObject
{
    Q_OBJECT

private slots:
    void finishReportsFullWeightBeforeFinished();
    void endingKeepsProgress_data();
    void endingKeepsProgress();
    void resetOfUnusedTaskReportsZero();
    void userCanceledOnlySetsTheFlag();
    void otherTaskCancelledIgnoredUnlessRunningSibling_data();
    void otherTaskCancelledIgnoredUnlessRunningSibling();
    void timeTickWritesZeros();
};

void TaskBaseTest::finishReportsFullWeightBeforeFinished()
{
    ManualTask task(nullptr, 0.25);
    QList<QString> events;
    connect(&task, &TaskSpecification::updateProgress, this, [&](qreal value) {
        events << QStringLiteral("progress %1 state %2").arg(value).arg(task.state);
    });
    connect(&task, &TaskSpecification::finished, this, [&](TaskSpecification* which) {
        QCOMPARE(which, &task);
        events << QStringLiteral("finished state %1").arg(task.state);
    });
    task.execute();
    task.succeed();
    QCOMPARE(events, (QList<QString>{QStringLiteral("progress 0.25 state 2"),
                                     QStringLiteral("finished state 2")}));
}

void TaskBaseTest::endingKeepsProgress_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::addColumn<int>("expectedState");
    QTest::newRow("error") << false << int(TaskState::ErrorCanceled);
    QTest::newRow("user") << true << int(TaskState::UserCanceled);
}

void TaskBaseTest::endingKeepsProgress()
{
    QFETCH(bool, byUser);
    QFETCH(int, expectedState);

    ManualTask task(nullptr, 0.5);
    task.execute();
    task.advance(0.2);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    byUser ? task.abort() : task.fail();

    QCOMPARE(task.state, expectedState);
    QCOMPARE(task.progress, 0.1);
    QCOMPARE(progress.count(), 0);
    QCOMPARE(canceled.count(), 1);
}

void TaskBaseTest::resetOfUnusedTaskReportsZero()
{
    ManualTask task(nullptr, 1.0);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.reset();
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toDouble(), 0.0);
    QCOMPARE(task.state, int(TaskState::Idle));
}

void TaskBaseTest::userCanceledOnlySetsTheFlag()
{
    ManualTask task(nullptr, 1.0);
    task.execute();
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.userCanceled();
    QCOMPARE(task.state, int(TaskState::Running));
    QVERIFY(task.canceledByUser);
    QCOMPARE(canceled.count(), 0);

    task.succeed();
    QVERIFY(task.canceledByUser);
    task.reset();
    QVERIFY(!task.canceledByUser);
}

namespace {

class NoticeRecorder : public ManualTask
{
public:
    using ManualTask::ManualTask;
    void handleOtherTaskCancelled(TaskSpecification* other) override { notices << other; }
    void notify(TaskSpecification* other) { onOtherTaskCancelled(other); }
    QList<TaskSpecification*> notices;
};

} // namespace

void TaskBaseTest::otherTaskCancelledIgnoredUnlessRunningSibling_data()
{
    QTest::addColumn<QString>("ending");
    QTest::addColumn<bool>("fromItself");
    QTest::addColumn<bool>("handled");
    QTest::newRow("running, sibling") << "running" << false << true;
    QTest::newRow("running, itself") << "running" << true << false;
    QTest::newRow("idle") << "idle" << false << false;
    QTest::newRow("finished") << "finished" << false << false;
    QTest::newRow("error") << "error" << false << false;
    QTest::newRow("user") << "user" << false << false;
}

void TaskBaseTest::otherTaskCancelledIgnoredUnlessRunningSibling()
{
    QFETCH(QString, ending);
    QFETCH(bool, fromItself);
    QFETCH(bool, handled);

    NoticeRecorder task(nullptr, 1.0);
    ManualTask sibling(nullptr, 1.0);
    if (ending != QLatin1String("idle"))
        task.execute();
    if (ending == QLatin1String("finished"))
        task.succeed();
    else if (ending == QLatin1String("error"))
        task.fail();
    else if (ending == QLatin1String("user"))
        task.abort();

    task.notify(fromItself ? static_cast<TaskSpecification*>(&task) : &sibling);
    QCOMPARE(task.notices.count(), handled ? 1 : 0);
}

void TaskBaseTest::timeTickWritesZeros()
{
    ManualTask task(nullptr, 1.0);
    quint64 done = 7, total = 8, speed = 9;
    bool downloading = true;
    task.timeTick(done, total, speed, downloading);
    QCOMPARE(done, 0u);
    QCOMPARE(total, 0u);
    QCOMPARE(speed, 0u);
    QVERIFY(!downloading);
}

static TestRegistration registration("TaskBaseTest", [] { return new TaskBaseTest; });

#include "tst_taskbase.moc"
