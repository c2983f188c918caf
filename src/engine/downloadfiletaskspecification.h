#ifndef DOWNLOADFILETASKSPECIFICATION_H
#define DOWNLOADFILETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "filespecifications.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class Mirrors;
class QNetworkAccessManager;

// One listed file: its download into the work directory, then its check
// against the listed MD5 sum. A file listed without a sum is checked against
// its signature file instead, which this task downloads too, after the file
// and before the check, so the check never depends on another task. A failed
// check drops the mirror that delivered the file and fetches it again.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // signatureSize: the listed size of the signature file when the list
    // names it; 0 when it does not (it then counts in no byte total).
    DownloadFileTaskSpecification(const FileDownloadSpecification& spec,
                                  QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                  Configuration* config, QObject* parent, double progressRange,
                                  qint64 signatureSize = 0);

    static QString signatureName(const QString& fileName);

public slots:
    void execute() override;
    void reset() override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);

private:
    void makeSubtasksAndStart();

    FileDownloadSpecification spec;
    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* config;
    DownloadTaskSpecification* download;
    DownloadTaskSpecification* signatureDownload;
    qint64 signatureSize;
};

#endif
