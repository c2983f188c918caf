#ifndef DOWNLOADTASKSPECIFICATION_H
#define DOWNLOADTASKSPECIFICATION_H

#include "ftpsiteaccessdata.h"
#include "taskspecification.h"

#include <QFile>
#include <QString>

#include <optional>

class Mirrors;
class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

// Fetches one file over HTTP from a mirror chosen at random and writes it to
// a local file. Any failure of an attempt charges (or drops) the mirror,
// deletes what was written and starts again on a mirror chosen afresh, until
// an attempt succeeds or no mirror is left. A reply with status 200, or with
// no status at all, is accepted; redirections are never followed. An attempt
// times out when its mirror sends nothing, or too little, for its time-out.
class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    // size: the expected byte count, -1 when unknown. A body that runs past a
    // known size, or past UnknownSizeLimit when the size is not known, fails
    // the attempt.
    DownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                              const QString& srcPath, const QString& destPath, qint64 size,
                              QObject* parent, double progressRange);
    ~DownloadTaskSpecification() override;

    // Name of the mirror of the current attempt; after finished() the mirror
    // that delivered the file.
    QString mirrorName() const;

    static constexpr qint64 UnknownSizeLimit = 16 * 1024 * 1024;

public slots:
    void execute() override;
    void reset() override;
    void timeTick(quint64& done, quint64& total, quint64& speed, bool& downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;
    virtual void downloadFinished();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onOtherDownloadFinished(QNetworkReply* otherReply);

private:
    void startDownload();
    QUrl sourceUrl() const;
    bool readData();
    void errorRetry(const QString& text);
    void resetDownload();
    void releaseHeldMirror();
    void stopWaitingForMirror();
    void discardFile();
    qint64 sizeLimit() const;
    bool windowTooSlow();

    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    QNetworkReply* reply;
    int idleTicks;
    // Ticks of the current rate window and bytesWritten when it opened. The
    // first window takes bytes from the request on but opens at the first
    // tick (-1 before it), so it closes with the idle limit, not earlier.
    int windowTicks;
    qint64 bytesAtWindowStart;
    QString srcPath;
    QString destPath;
    // Open only during an attempt: a run holds a finished download task per
    // file until its step ends, and a closed QFile still weighs its buffers.
    std::optional<QFile> file;
    qint64 bytesAtLastTick;
    qint64 expectedSize;
    qint64 initialSize;
    qint64 bytesWritten;
    FTPSiteAccessData mirror;
    // True from a successful getRandomMirror until its one release: the name
    // outlives the hold, and a second release would overload the mirror.
    bool holdsMirror;
};

#endif
