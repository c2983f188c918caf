#ifndef TASKSPECIFICATION_H
#define TASKSPECIFICATION_H

#include <QObject>
#include <QString>

// Where a task is in its life; the values of TaskSpecification::state.
namespace TaskState {
enum Value {
    Idle = 0,
    Running = 1,
    Finished = 2,
    ErrorCanceled = 3,
    UserCanceled = 4
};
}

// Base of every step of an update run. A task is executed once, runs on the
// GUI thread and ends by emitting exactly one of finished() or canceled().
// Progress is kept already weighted by the task's share of its parent.
class TaskSpecification : public QObject
{
    Q_OBJECT

public:
    TaskSpecification(QObject* parent, double progressRange);

    void setParentProgressRange(double range);

    // Read by composites (progress sums) and by receivers of canceled().
    bool canceledByUser;
    double progressRange;
    double progress;
    int state;

public slots:
    virtual void execute() = 0;
    virtual void reset();
    virtual void timeTick(quint64& done, quint64& total, quint64& speed, bool& downloading);
    virtual void userCanceled();
    virtual void handleOtherTaskCancelled(TaskSpecification* other);

signals:
    void finished(TaskSpecification* task);
    void canceled(TaskSpecification* task);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification* task);

protected slots:
    void onOtherTaskCancelled(TaskSpecification* other);

protected:
    void setProgress(double fraction);
    void finish();
    void errorCancel();
    void userCancel();
};

#endif
