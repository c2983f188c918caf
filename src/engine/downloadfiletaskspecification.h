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
// check drops the mirror that delivered the file and fetches it again,
// unless the step is already failing.
class DownloadFileTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // listedSignature: the product ini's line for the signature file, when
    // the file is listed without an MD5 and its signature is listed in the
    // same section; its size bounds the signature's download and its MD5,
    // when given, must match.
    DownloadFileTaskSpecification(const FileDownloadSpecification& spec,
                                  QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                  Configuration* config, QObject* parent, double progressRange,
                                  const FileDownloadSpecification& listedSignature = {});

    static QString signatureName(const QString& fileName);

public slots:
    void execute() override;
    void reset() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);

private:
    void makeSubtasksAndStart();
    void addCheck(const QString& path, const QString& expectedMd5, double share);

    FileDownloadSpecification spec;
    FileDownloadSpecification listedSignature;
    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* config;
    DownloadTaskSpecification* download;
    DownloadTaskSpecification* signatureDownload;
    // A sibling's cancellation reached this task: the step is failing.
    bool siblingCanceled;
};

#endif
