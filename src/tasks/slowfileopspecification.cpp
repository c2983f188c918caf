#include "slowfileopspecification.h"

SlowFileOpFunc::SlowFileOpFunc(const QString& source, const QString& destination)
    : source(source)
    , destination(destination)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(QString failureMessage, RollbackDataList* journal,
                                                 const QString& source, const QString& destination,
                                                 QObject* parent, double progressRange)
    : ASyncTaskSpecification(parent, progressRange)
    , journal(journal)
    , source(source)
    , destination(destination)
    , failureMessage(std::move(failureMessage))
{
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (!ok)
        emit message(failureMessage);
    else if (journal)
        journal->add(RollbackData(RollbackData::CreateFile, destination));
    ASyncTaskSpecification::runDone(ok);
}
