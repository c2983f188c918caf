#include "testregistry.h"

#include "scriptedtask.h"

#include <QSignalSpy>
#include <QTest>

class TaskBaseTest : public QObject
{
    Q_OBJECT

private slots:
    void endingKeepsProgress_data();
    void endingKeepsProgress();
    void resetOfUnusedTaskReportsZero();
    void userCanceledOnlySetsTheFlag();
    void otherTaskCancelledIgnoredUnlessRunningSibling_data();
    void otherTaskCancelledIgnoredUnlessRunningSibling();
    void timeTickWritesZeros();
};

// A finish reports the task's full weight before finished(), in the state
// it ends in; a cancellation keeps the progress made and reports nothing.
void TaskBaseTest::endingKeepsProgress_data()
{
    QTest::addColumn<QString>("ending");
    QTest::addColumn<int>("expectedState");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<double>("progress");
    QTest::newRow("finish") << "finish" << int(TaskState::Finished)
                            << QStringList{"progress 0.5 state 2", "finished state 2"} << 0.5;
    QTest::newRow("error") << "error" << int(TaskState::ErrorCanceled)
                           << QStringList{"canceled state 3"} << 0.1;
    QTest::newRow("user") << "user" << int(TaskState::UserCanceled)
                          << QStringList{"canceled state 4"} << 0.1;
}

void TaskBaseTest::endingKeepsProgress()
{
    QFETCH(QString, ending);
    QFETCH(int, expectedState);
    QFETCH(QStringList, events);
    QFETCH(double, progress);

    ScriptedTask task(QString(), nullptr, 0.5, nullptr);
    task.execute();
    task.advance(0.2);
    QStringList seen;
    connect(&task, &TaskSpecification::updateProgress, this,
            [&](qreal value) { seen << QStringLiteral("progress %1 state %2").arg(value).arg(task.state); });
    for (auto signal : {&TaskSpecification::finished, &TaskSpecification::canceled}) {
        const QString name = signal == &TaskSpecification::finished ? "finished" : "canceled";
        connect(&task, signal, this, [&, name](TaskSpecification* which) {
            QCOMPARE(which, &task);
            seen << QStringLiteral("%1 state %2").arg(name).arg(task.state);
        });
    }
    if (ending == QLatin1String("finish"))
        task.succeed();
    else
        ending == QLatin1String("user") ? task.abort() : task.fail();

    QCOMPARE(task.state, expectedState);
    QCOMPARE(task.progress, progress);
    QCOMPARE(seen, events);
}

void TaskBaseTest::resetOfUnusedTaskReportsZero()
{
    ScriptedTask task(QString(), nullptr, 1.0, nullptr);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.reset();
    QCOMPARE(progress.count(), 1);
    QCOMPARE(progress.at(0).at(0).toDouble(), 0.0);
    QCOMPARE(task.state, int(TaskState::Idle));
}

void TaskBaseTest::userCanceledOnlySetsTheFlag()
{
    ScriptedTask task(QString(), nullptr, 1.0, nullptr);
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

    ScriptedTask task(QString(), nullptr, 1.0, nullptr);
    ScriptedTask sibling(QString(), nullptr, 1.0, nullptr);
    if (ending != QLatin1String("idle"))
        task.execute();
    if (ending == QLatin1String("finished"))
        task.succeed();
    else if (ending == QLatin1String("error"))
        task.fail();
    else if (ending == QLatin1String("user"))
        task.abort();

    task.onOtherTaskCancelled(fromItself ? &task : &sibling);
    QCOMPARE(task.siblingNotices, handled ? 1 : 0);
}

// What a task that downloads nothing reports: the base class's figures.
void TaskBaseTest::timeTickWritesZeros()
{
    ScriptedTask task(QString(), nullptr, 1.0, nullptr);
    quint64 done = 7, total = 8, speed = 9;
    bool downloading = true;
    task.TaskSpecification::timeTick(done, total, speed, downloading);
    QCOMPARE(done, 0u);
    QCOMPARE(total, 0u);
    QCOMPARE(speed, 0u);
    QVERIFY(!downloading);
}

static TestRegistration registration("TaskBaseTest", [] { return new TaskBaseTest; });

#include "tst_taskbase.moc"
