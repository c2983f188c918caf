#include "maintaskspecification.h"

#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* networkManager,
                                             Mirrors* mirrors, Configuration* config,
                                             QObject* parent, double progressRange)
    : ComposedTaskSpecification(1, progressRange, parent)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , config(config)
{
}

void MainTaskSpecification::execute()
{
    emit message(QStringLiteral("Starting update process"));
    makeSubtasksAndStart();
}

// Rebuilds the steps on the next execute() rather than re-queueing the old
// ones: their lists were filled for the previous run.
void MainTaskSpecification::reset()
{
    clearSubTasks();
    fileSpecs.clear();
    TaskSpecification::reset();
}

void MainTaskSpecification::makeSubtasksAndStart()
{
    addSubTask(new IniDownloadTaskSpecification(networkManager, mirrors, config, this, 0.1));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(config, fileSpecs, this, 0.05));
    addSubTask(new DownloadFileListTaskSpecification(&fileSpecs.downloads, networkManager, mirrors,
                                                     config, this, 0.4));
    addSubTask(new FileReplaceListTaskSpecification(&fileSpecs.replacements, &fileSpecs.deletions,
                                                    &fileSpecs.directoryDeletions, config, this, 0.4));
    addSubTask(new FileDeleteListTaskSpecification(&fileSpecs.deletions, &fileSpecs.directoryDeletions,
                                                   this, 0.05));
    state = TaskState::Running;
    executeSubTasks();
}
