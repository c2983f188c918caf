#ifndef CHECKSIGNATURETASKSPECIFICATION_H
#define CHECKSIGNATURETASKSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QCryptographicHash>

class QFile;

// Checks one file against its expected MD5 sum or, where no sum is given,
// against its signature file (path + ".sig") and the built-in public key.
// Files are streamed in fixed-size chunks, so memory stays flat whatever
// their size.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT

public:
    CheckSigFunc(const QString& path, const QString& expectedMd5);

    bool run() override;
    bool checkMD5();
    bool checkRSA();

private:
    bool openFile(const QString& fileName, QFile& file, qint64& size);
    bool hashFile(const QString& fileName, QCryptographicHash::Algorithm algorithm,
                  QByteArray& digest);
    bool readSignature(const QString& fileName, QByteArray& signature);

    QString path;
    QString expectedMd5;
};

// Runs one check inside a task tree and tells the creator the outcome
// through checkDone(), before the task's own state changes.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    CheckSignatureTaskSpecification(QString path, QString expectedMd5, bool cancelOnFail,
                                    QObject* parent, double progressRange);

public slots:
    ASyncFunc* createFunction() override;
    void runDone(bool ok) override;

signals:
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);

private:
    QString path;
    QString expectedMd5;
    bool cancelOnFail;
};

#endif
