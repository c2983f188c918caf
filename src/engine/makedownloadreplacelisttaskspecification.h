#ifndef MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H
#define MAKEDOWNLOADREPLACELISTTASKSPECIFICATION_H

#include "asynctaskspecification.h"
#include "filespecifications.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

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
    // One line of an ordinary section.
    struct ListedFile
    {
        FileDownloadSpecification download;
        FileReplaceSpecification replacement;
        // Index in its section of the listed signature file, with an MD5,
        // that this file (listed without one) is checked against; and the
        // reverse link from that signature file. -1 when there is none.
        int signatureIndex = -1;
        int signedFileIndex = -1;
    };

    struct Section
    {
        QString name;
        QStringList deletions;
        QList<ListedFile> files;
    };

    // Whether the installed file is current and, when it is not, whether the
    // work directory already holds its download.
    struct Decision
    {
        bool current = false;
        bool downloaded = false;
    };

    // Each returns false at the first invalid line of the current group.
    bool readDeletions(QSettings& settings, Section& section);
    bool readFiles(QSettings& settings, Section& section);
    bool claimDestinations(const ListedFile& file, const QString& section);
    static void pairSignatures(QList<ListedFile>& files);

    void listDeletions(const Section& section);
    void listFiles(const Section& section);
    Decision decide(const QList<ListedFile>& files, int index) const;
    void reportProgress();

    Configuration* config;
    FileSpecifications* specs;

    // State of one pass, set up by run().
    QString appRoot;
    QString workDir;
    double total = 0;
    int visited = 0;
    // Cleaned paths that the lines read so far fill, each with the section of
    // its line: files in the work directory, signature files that the task of
    // a file listed without an MD5 fetches beside it, installed files.
    QHash<QString, QString> workFiles;
    QHash<QString, QString> fetchedSignatures;
    QSet<QString> installedFiles;
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
