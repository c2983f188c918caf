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
                                                             const FileDownloadSpecification& listedSignature)
    : ComposedTaskSpecification(1, progressRange, parent)
    , spec(spec)
    , listedSignature(listedSignature)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , config(config)
    , download(nullptr)
    , signatureDownload(nullptr)
    , siblingCanceled(false)
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
    siblingCanceled = false;
    TaskSpecification::reset();
}

// A running check is not stopped by it; its result must not start a new
// download, though.
void DownloadFileTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    siblingCanceled = true;
    ComposedTaskSpecification::handleOtherTaskCancelled(other);
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    const QString srcPath = spec.section + QLatin1Char('/') + spec.fileName;
    const QString destPath = config->tempDir + QLatin1Char('/') + spec.fileName;
    const bool needsSignature = spec.md5.isEmpty();
    // Only the signature the product ini names will do: another one, even
    // one the maker signed, may belong to an older release.
    const bool signatureHasMd5 = needsSignature && !listedSignature.md5.isEmpty();
    const double downloadShare = 1.0 - CheckShare - (needsSignature ? SignatureShare : 0.0)
        - (signatureHasMd5 ? SignatureShare : 0.0);

    download = new DownloadTaskSpecification(networkManager, mirrors, srcPath, destPath,
                                             qint64(spec.size), this, downloadShare);
    addSubTask(download);
    if (needsSignature) {
        signatureDownload = new DownloadTaskSpecification(networkManager, mirrors,
                                                          signatureName(srcPath),
                                                          signatureName(destPath),
                                                          qint64(listedSignature.size), this,
                                                          SignatureShare);
        addSubTask(signatureDownload);
    }
    if (signatureHasMd5)
        addCheck(signatureName(destPath), listedSignature.md5, SignatureShare);
    addCheck(destPath, spec.md5, CheckShare);

    state = TaskState::Running;
    executeSubTasks();
}

void DownloadFileTaskSpecification::addCheck(const QString& path, const QString& expectedMd5,
                                             double share)
{
    auto* check = new CheckSignatureTaskSpecification(path, expectedMd5, false, this, share);
    connect(check, &CheckSignatureTaskSpecification::checkDone,
            this, &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);
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
    // A new attempt would clear the user's cancel request, or go on fetching
    // for a step that has already failed.
    if (canceledByUser) {
        userCancel();
        return;
    }
    if (siblingCanceled) {
        errorCancel();
        return;
    }
    reset();
    makeSubtasksAndStart();
}
