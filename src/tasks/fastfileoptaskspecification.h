#ifndef FASTFILEOPTASKSPECIFICATION_H
#define FASTFILEOPTASKSPECIFICATION_H

#include "rollback.h"
#include "taskspecification.h"

// A quick file operation done synchronously inside execute(): the task has
// ended, with every signal emitted, when execute() returns.
class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    FastFileOpTaskSpecification(const QString& path, RollbackDataList* journal, QObject* parent,
                                double progressRange);

public slots:
    void execute() override;
    virtual bool doOp() = 0;

protected:
    void addRollbackOp(const RollbackData& record);

    RollbackDataList* journal;
    QString path;
};

#endif
