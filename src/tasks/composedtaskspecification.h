#ifndef COMPOSEDTASKSPECIFICATION_H
#define COMPOSEDTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QList>

#include <unordered_map>

// A task made of sub-tasks. It owns them, starts them first-in first-out
// with at most maxParallel running at once, relays their messages and
// errors, sums their weighted progress and download figures, stops starting
// new ones after the first cancellation or the user's request, and once none
// runs any more ends itself with the outcome derived from theirs.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ComposedTaskSpecification(int maxParallel, double progressRange, QObject* parent);
    ~ComposedTaskSpecification() override;

    void addSubTask(TaskSpecification* task);
    int getStateFromSubTasks() const;

public slots:
    void reset() override;
    void timeTick(quint64& done, quint64& total, quint64& speed, bool& downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;
    virtual void subtasksDone();
    // Wires one sub-task. Its connections to this composite are dropped when
    // it finishes, and made again by reset().
    virtual void connectSignals(TaskSpecification* task);

signals:
    void startNextTask();

protected:
    void executeSubTasks();
    void clearSubTasks();

    QList<TaskSpecification*> subTasks;
    QList<TaskSpecification*> pendingTasks;
    QList<TaskSpecification*> runningTasks;
    QList<TaskSpecification*> doneTasks;
    int maxParallel;
    bool subTaskCanceled;
    bool doneReported;

private slots:
    void onStartNextTask();
    void onSubTaskFinished(TaskSpecification* task);
    void onSubTaskCanceled(TaskSpecification* task);

private:
    void connectToThis(TaskSpecification* task);
    void disconnectFromThis(TaskSpecification* task);
    QList<TaskSpecification*> detachSubTasks();
    void addToProgressSum(double change);
    double exactProgressSum() const;

    // The connections that pass otherTaskCancelled() on to the sub-tasks
    // that have not finished. (A QHash would keep a block of slots per
    // composite, in every file task of a run, after its entries are gone.)
    std::unordered_map<TaskSpecification*, QMetaObject::Connection> cancelNotices;

    // The sum of the sub-tasks' weighted progress, moved by each report's
    // change alone and summed afresh from the sub-tasks every
    // subTasks.count() reports (and after a report beyond the whole), so
    // that rounding cannot drift.
    double progressSum;
    qsizetype reportsSinceExactSum;
};

#endif
