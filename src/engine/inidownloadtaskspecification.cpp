#include "inidownloadtaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"

#include <QFile>

namespace {
// Each download's share of the step; the check gets the rest, so the shares
// always add up to the whole.
constexpr double DownloadShare = 0.3333;
}

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* networkManager,
                                                           Mirrors* mirrors, Configuration* config,
                                                           QObject* parent, double progressRange)
    : ComposedTaskSpecification(1, progressRange, parent)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , config(config)
    , failedChecks(0)
{
}

void IniDownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Download / check product ini"));
    makeSubtasksAndStart();
}

// The composite's own reset would queue this attempt's sub-tasks again; a
// new attempt builds fresh ones instead.
void IniDownloadTaskSpecification::reset()
{
    clearSubTasks();
    failedChecks = 0;
    TaskSpecification::reset();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString iniName = config->updateType.type + QStringLiteral(".ini");
    const QString iniPath = config->tempDir + QLatin1Char('/') + iniName;
    const QString sigSuffix = QStringLiteral(".sig");

    double checkShare = 1.0;
    if (failedChecks > 0 || !QFile::exists(iniPath)) {
        addSubTask(new DownloadTaskSpecification(networkManager, mirrors, iniName, iniPath, -1,
                                                 this, DownloadShare));
        checkShare -= DownloadShare;
    }
    if (failedChecks > 0 || !QFile::exists(iniPath + sigSuffix)) {
        addSubTask(new DownloadTaskSpecification(networkManager, mirrors, iniName + sigSuffix,
                                                 iniPath + sigSuffix, -1, this, DownloadShare));
        checkShare -= DownloadShare;
    }
    auto* check = new CheckSignatureTaskSpecification(iniPath, QString(), false, this, checkShare);
    connect(check, &CheckSignatureTaskSpecification::checkDone,
            this, &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = TaskState::Running;
    executeSubTasks();
}

// Runs inside the check's emission, while the check is still Running; after
// a reset the check's own end reaches nobody.
void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
    ++failedChecks;
    // A retry would clear the user's cancel request and fetch both files
    // again; the request ends the step instead.
    if (canceledByUser) {
        userCancel();
        return;
    }
    if (failedChecks > MaxFailedChecks) {
        emit message(QStringLiteral("Could not verify the product ini file. Aborting"));
        errorCancel();
        return;
    }
    emit message(QStringLiteral("Could not verify the product ini file. Retrying"));
    const int failed = failedChecks;
    reset();
    failedChecks = failed;
    makeSubtasksAndStart();
}
