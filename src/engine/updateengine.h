#ifndef UPDATEENGINE_H
#define UPDATEENGINE_H

#include <QObject>
#include <QString>
#include <QStringList>

class Configuration;
class MainTaskSpecification;
class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Where the engine is in one update run; not the TaskState numbering.
namespace EngineState {
enum Value {
    Idle = 0,
    Initialized = 1,
    Running = 2,
    Finished = 3,
    Canceled = 4
};
}

// The one object through which the window drives an update run. It prepares
// a run (crypto, mirror list, resume or clean-up of an earlier run, work
// directory, run record), starts it, polls it for download figures once a
// second, cancels it on request, and removes the work directory after a
// success or keeps it for the next run. It also fetches the banner image.
class UpdateEngine : public QObject
{
    Q_OBJECT

public:
    UpdateEngine(Configuration& config, QObject* parent);
    ~UpdateEngine() override;

    bool initialize();
    bool startUpdate();
    bool busy() const;
    void reset();
    void getBanner();

    // Removes the copies of the updater's own files that an earlier run
    // moved aside because they were in use: under their usual names in
    // "old", or beside the file where "old" lies on another file system.
    static void removeOldFiles(const QString& dir);
    // The directories, relative to the application directory ("." for
    // itself), in which start-up removes those copies.
    static QStringList oldFileDirectories();
    // Whether start-up removes the old copy at this path, relative to the
    // application directory; a run leaves such a copy for it.
    static bool isRemovedAtStart(const QString& oldCopy);

    int state;

public slots:
    void cancelUpdate();

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                          bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();
    void onBannerDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);

private:
    void applyProxy();
    void cleanup();
    void cleanupDirectory(const QString& path);
    bool removeWorkDirectory(const QString& path);
    QString takeOverEarlierRun();
    bool recordRun(const QString& resumedDir);
    void removeUnrecordedWorkDirectory();
    void removeCreatedWorkDirectory();
    static QStringList copiesRemovedAtStart(const QString& name);
    void dropMainTask();
    void dropBannerReply();

    Configuration* config;
    Mirrors* mirrors;
    MainTaskSpecification* mainTask;
    // The work directory that the current run made, not resumed; empty when
    // it resumed one or has ended.
    QString createdWorkDir;
    QTimer* progressTimer;
    QNetworkAccessManager* networkManager;
    QString bannerClickUrl;
    QNetworkReply* bannerReply;
};

#endif
