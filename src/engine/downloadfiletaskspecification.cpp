#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "mirrors.h"

namespace {
constexpr double CheckShare = 0.2;
constexpr double SignatureShare = 0.05;
}

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const FileDownloadSpecification& spec,
                                                             QNetworkAccessManager* networkManager,
                                                             Mirrors* mirrors, Configuration* config,
                                                             QObject* parent, double progressRange,
                                                             qint64 signatureSize)
    : ComposedTaskSpecification(1, progressRange, parent)
    , spec(spec)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , config(config)
    , download(nullptr)
    , signatureDownload(nullptr)
    , signatureSize(signatureSize)
{
}

QString DownloadFileTaskSpecification::signatureName(const QString& fileName)
{
    return fileName + QStringLiteral(".sig");
}

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

// Fresh sub-tasks for the next attempt; the composite's reset would queue
// the old ones again.
void DownloadFileTaskSpecification::reset()
{
    clearSubTasks();
    download = nullptr;
    signatureDownload = nullptr;
    TaskSpecification::reset();
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    const QString srcPath = spec.section + QLatin1Char('/') + spec.fileName;
    const QString destPath = config->tempDir + QLatin1Char('/') + spec.fileName;
    const bool needsSignature = spec.md5.isEmpty();

    download = new DownloadTaskSpecification(networkManager, mirrors, srcPath, destPath,
                                             qint64(spec.size), this,
                                             1.0 - CheckShare - (needsSignature ? SignatureShare : 0.0));
    addSubTask(download);
    if (needsSignature) {
        signatureDownload = new DownloadTaskSpecification(networkManager, mirrors,
                                                          signatureName(srcPath),
                                                          signatureName(destPath), signatureSize,
                                                          this, SignatureShare);
        addSubTask(signatureDownload);
    }
    auto* check = new CheckSignatureTaskSpecification(destPath, spec.md5, false, this, CheckShare);
    connect(check, &CheckSignatureTaskSpecification::checkDone,
            this, &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = TaskState::Running;
    executeSubTasks();
}

// Runs inside the check's emission, while the check is still Running; after
// the reset its own end reaches nobody.
void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
    emit message(QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying")
                     .arg(spec.fileName));
    // File and signature may come from different mirrors; either may be at
    // fault, so neither is asked again.
    const QString fileMirror = download->mirrorName();
    mirrors->removeMirror(fileMirror);
    if (signatureDownload && signatureDownload->mirrorName() != fileMirror)
        mirrors->removeMirror(signatureDownload->mirrorName());
    // A new attempt would clear the user's cancel request and download again.
    if (canceledByUser) {
        userCancel();
        return;
    }
    reset();
    makeSubtasksAndStart();
}
