#ifndef SLOWFILEOPSPECIFICATION_H
#define SLOWFILEOPSPECIFICATION_H

#include "asynctaskspecification.h"
#include "rollback.h"

// Worker of a copy or an unpacking; holds its own copies of the two paths.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT

public:
    SlowFileOpFunc(const QString& source, const QString& destination);

protected:
    QString source;
    QString destination;
};

// A file operation that takes long and runs on the thread pool. On success
// the destination is journalled as a created file.
class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    SlowFileOpSpecification(QString failureMessage, RollbackDataList* journal, const QString& source,
                            const QString& destination, QObject* parent, double progressRange);

public slots:
    void runDone(bool ok) override;

protected:
    RollbackDataList* journal;
    QString source;
    QString destination;
    QString failureMessage;
};

#endif
