#include "fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path,
                                                         RollbackDataList* journal,
                                                         QObject* parent, double progressRange)
    : TaskSpecification(parent, progressRange)
    , journal(journal)
    , path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    state = TaskState::Running;
    if (doOp())
        finish();
    else
        errorCancel();
}

void FastFileOpTaskSpecification::addRollbackOp(const RollbackData& record)
{
    if (journal)
        journal->add(record);
}
