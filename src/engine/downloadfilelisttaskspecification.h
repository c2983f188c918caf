#ifndef DOWNLOADFILELISTTASKSPECIFICATION_H
#define DOWNLOADFILELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "filespecifications.h"

#include <QHash>
#include <QList>
#include <QPair>

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// The download step of a run: makes the sub-directories of the work
// directory, then fetches and checks every listed file, up to the
// configured number of streams at once.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    // downloads is read when the step executes, not here; streams is taken
    // from config here, once.
    DownloadFileListTaskSpecification(QList<FileDownloadSpecification>* downloads,
                                      QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                      Configuration* config, QObject* parent,
                                      double progressRange = 0.4);

public slots:
    void execute() override;
    void reset() override;
    void timeTick(quint64& done, quint64& total, quint64& speed, bool& downloading) override;

private:
    using RecordsByPath = QHash<QPair<QString, QString>, const FileDownloadSpecification*>;

    static bool isFetchedWithItsFile(const FileDownloadSpecification& record,
                                     const RecordsByPath& byPath);
    bool makeSubDirs();
    void makeSubtasksAndStart();

    QList<FileDownloadSpecification>* downloads;
    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* config;
    qint64 totalBytes;
};

#endif
