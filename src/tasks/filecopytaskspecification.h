#ifndef FILECOPYTASKSPECIFICATION_H
#define FILECOPYTASKSPECIFICATION_H

#include "slowfileopspecification.h"

class FileCopyFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    using SlowFileOpFunc::SlowFileOpFunc;

protected:
    bool write(QFile& output) override;
};

// Copies a file, with its permissions; an existing destination is replaced
// in one step.
class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileCopyTaskSpecification(RollbackDataList* journal, const QString& source,
                              const QString& destination, QObject* parent, double progressRange);

public slots:
    ASyncFunc* createFunction() override;
};

#endif
