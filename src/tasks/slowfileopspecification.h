#ifndef SLOWFILEOPSPECIFICATION_H
#define SLOWFILEOPSPECIFICATION_H

#include "asynctaskspecification.h"
#include "rollback.h"

class QFile;

// Worker of a copy or an unpacking; holds its own copies of the two paths.
// The new content is written whole to the destination's temporary file and
// then put in place with one rename, which replaces an existing destination:
// whenever the process stops, the destination holds its old content or the
// new one, never a part. On failure the temporary file is removed.
class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT

public:
    SlowFileOpFunc(const QString& source, const QString& destination);

    bool run() final;

protected:
    // Writes the new content to output (open, empty); false on any failure.
    virtual bool write(QFile& output) = 0;

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

    // Where the new content of destination is written before it is put in
    // place: a hidden name in the same directory, so that one rename moves
    // it: ".<name>.korvalune-new", or its shorter form when that would not
    // fit the 255 bytes of a name (see taggedName). The worker creates it
    // new; of what it finds there it replaces only a plain file of the
    // current user, and fails on anything else.
    static QString temporaryPath(const QString& destination);

public slots:
    void runDone(bool ok) override;

protected:
    RollbackDataList* journal;
    QString source;
    QString destination;
    QString failureMessage;
};

#endif
