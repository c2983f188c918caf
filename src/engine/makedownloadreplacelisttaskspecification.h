#ifndef MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
#define MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H

#include "asynctaskspecification.h"
#include "filespecifications.h"

#include <QSet>
#include <QString>

class Configuration;
class QSettings;

// Reads the product ini in the work directory and decides, file by file,
// what the run must download, install and delete. Runs on a worker thread
// because deciding whether an installed file is current means hashing it.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT

public:
    MakeDownloadReplaceListFunc(Configuration* config, FileSpecifications& specs);

    // True when the lists are complete; on false they are left empty.
    bool run() override;

    // Entries of every section, "delete" included; top-level keys are not
    // counted.
    static int getFileCount(QSettings& settings);

private:
    // Each returns false at the first invalid line of the current group.
    bool readDeletions(QSettings& settings);
    bool readFiles(QSettings& settings, const QString& section);
    void reportProgress();

    Configuration* config;
    FileSpecifications* specs;

    // State of one pass, set up by run().
    QString appRoot;
    QString workDir;
    double total = 0;
    int visited = 0;
    QSet<QString> workFiles;
};

// The list-building step of an update run. Hands the three lists to the
// run's FileSpecifications only when the whole product ini was read.
class MakeDownloadReplaceListTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    MakeDownloadReplaceListTaskSpecification(Configuration* config, FileSpecifications& target,
                                             QObject* parent, double progressRange);

public slots:
    ASyncFunc* createFunction() override;
    void runDone(bool ok) override;

private:
    Configuration* config;
    FileSpecifications* target;
    FileSpecifications ownSpecs;
};

#endif
