#ifndef FILEUNZIPTASKSPECIFICATION_H
#define FILEUNZIPTASKSPECIFICATION_H

#include "slowfileopspecification.h"

class FileUnzipFunc : public SlowFileOpFunc
{
    Q_OBJECT

public:
    using SlowFileOpFunc::SlowFileOpFunc;

protected:
    bool write(QFile& output) override;
};

// Unpacks a gzip file; an existing destination is replaced in one step.
// Data that is not gzip is passed through unchanged by zlib.
class FileUnzipTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnzipTaskSpecification(RollbackDataList* journal, const QString& source,
                               const QString& destination, QObject* parent, double progressRange);

public slots:
    ASyncFunc* createFunction() override;
};

#endif
