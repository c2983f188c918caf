#include "downloadtaskspecification.h"

#include "mirrors.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {
constexpr qint64 ChunkSize = 4096;
constexpr qint64 ReplyBufferSize = 256 * 1024;
// Ticks come once a second: below this average over a window of the mirror's
// time-out, a mirror holds a download stream for longer than a slow but
// working link ever would.
constexpr qint64 MinimumBytesPerTick = 1024;
}

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* networkManager,
                                                     Mirrors* mirrors, const QString& srcPath,
                                                     const QString& destPath, qint64 size,
                                                     QObject* parent, double progressRange)
    : TaskSpecification(parent, progressRange)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , reply(nullptr)
    , idleTicks(0)
    , windowTicks(-1)
    , bytesAtWindowStart(0)
    , srcPath(srcPath)
    , destPath(destPath)
    , bytesAtLastTick(0)
    , expectedSize(size)
    , initialSize(size)
    , bytesWritten(0)
    , holdsMirror(false)
{
}

// The mirror list may already be gone when the task tree is destroyed, so
// the mirror is not released here; the partial file is still removed, as it
// must never pass for a complete one.
DownloadTaskSpecification::~DownloadTaskSpecification()
{
    if (reply) {
        disconnect(reply, nullptr, this, nullptr);
        reply->deleteLater();
    }
    discardFile();
}

QString DownloadTaskSpecification::mirrorName() const
{
    return mirror.name;
}

void DownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Downloading %1").arg(srcPath));
    state = TaskState::Running;
    startDownload();
}

void DownloadTaskSpecification::reset()
{
    resetDownload();
    TaskSpecification::reset();
}

void DownloadTaskSpecification::startDownload()
{
    switch (mirrors->getRandomMirror(mirror)) {
    case Mirrors::NoMirrorLeft:
        errorCancel();
        return;
    case Mirrors::AllMirrorsBusy:
        // Queued, so that the download whose reply finished has released its
        // mirror before this task asks again.
        connect(networkManager, &QNetworkAccessManager::finished,
                this, &DownloadTaskSpecification::onOtherDownloadFinished,
                Qt::ConnectionType(Qt::QueuedConnection | Qt::UniqueConnection));
        return;
    default:
        break;
    }
    holdsMirror = true;

    file.emplace(destPath);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.reset();
        emit error(QStringLiteral("Unable to create file %1 for saving").arg(destPath));
        releaseHeldMirror();
        errorCancel();
        return;
    }

    reply = networkManager->get(QNetworkRequest(sourceUrl()));
    if (!reply) {
        emit error(QStringLiteral("Download failed to initialize"));
        discardFile();
        releaseHeldMirror();
        errorCancel();
        return;
    }
    // Bounds what the reply holds when the disk is slower than the network,
    // so memory stays flat whatever the file size.
    reply->setReadBufferSize(ReplyBufferSize);
    if (!reply->isRunning()) {
        errorRetry(reply->errorString());
        return;
    }
    connect(reply, &QNetworkReply::downloadProgress, this, &DownloadTaskSpecification::onDownloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this, &DownloadTaskSpecification::onMetaDataChanged);
}

// In a URL '#' ends the path, '?' starts a query and '%' an escape: each of
// them is escaped, so that the mirror is asked for the file by its own name.
// QUrl escapes whatever else a path may not hold, so a name without these
// three gives the URL it always gave.
QUrl DownloadTaskSpecification::sourceUrl() const
{
    QString path;
    path.reserve(srcPath.size());
    for (const QChar character : srcPath) {
        switch (character.unicode()) {
        case '%': path += QLatin1String("%25"); break;
        case '#': path += QLatin1String("%23"); break;
        case '?': path += QLatin1String("%3F"); break;
        default: path += character;
        }
    }
    return QUrl(mirror.url + QLatin1Char('/') + path);
}

// Any reply of the shared manager that finishes may have freed a mirror.
// A wake-up that was already queued when the task stopped waiting (it was
// cancelled, or it started meanwhile) must not start anything.
void DownloadTaskSpecification::onOtherDownloadFinished(QNetworkReply*)
{
    stopWaitingForMirror();
    if (state == TaskState::Running && !reply)
        startDownload();
}

void DownloadTaskSpecification::stopWaitingForMirror()
{
    disconnect(networkManager, nullptr, this, nullptr);
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!reply)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isNull())
        return;
    bool isNumber = false;
    const int code = status.toInt(&isNumber);
    if (isNumber && code == 200)
        return;

    // Any other status, a redirection or a partial answer included, means
    // this mirror cannot serve the file as asked.
    const QString text = QStringLiteral("%1 returned %2")
                             .arg(mirror.url + QLatin1Char('/') + srcPath,
                                  QString::number(isNumber ? code : 0));
    mirrors->removeMirror(mirror.name);
    errorRetry(text);
}

void DownloadTaskSpecification::onReadyRead()
{
    readData();
}

// Drains everything the reply holds through one fixed buffer, so the body
// never collects in memory. False when the attempt failed and a retry has
// already started the next one.
bool DownloadTaskSpecification::readData()
{
    char buffer[ChunkSize];
    const qint64 limit = sizeLimit();
    while (reply) {
        idleTicks = 0;
        const qint64 available = reply->bytesAvailable();
        if (available == 0)
            return true;
        const qint64 got = reply->read(buffer, qMin(available, ChunkSize));
        if (got < 0) {
            errorRetry(reply->errorString());
            return false;
        }
        if (got == 0)
            return true;
        if (bytesWritten + got > limit) {
            errorRetry(QStringLiteral("file %1 on mirror %2 is larger than expected (%3 bytes)")
                           .arg(srcPath, mirror.name, QString::number(limit)));
            return false;
        }
        const qint64 written = file->write(buffer, got);
        if (written < 0) {
            errorRetry(file->errorString());
            return false;
        }
        if (written != got) {
            errorRetry(QStringLiteral("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                           .arg(destPath, QString::number(got), QString::number(written)));
            return false;
        }
        bytesWritten += got;
        if (expectedSize > 0)
            setProgress(qMin(1.0, double(bytesWritten) / double(expectedSize)));
    }
    return true;
}

// A known size is the signed product ini's word, so nothing beyond it is
// wanted; without one, a mirror still must not fill the disk.
qint64 DownloadTaskSpecification::sizeLimit() const
{
    return initialSize > 0 ? initialSize : UnknownSizeLimit;
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    if (bytesTotal > 0 && expectedSize == -1)
        expectedSize = bytesTotal;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!reply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        if (reply->error() == QNetworkReply::AuthenticationRequiredError) {
            mirrors->removeMirror(mirror.name);
            reply->close();
        }
        errorRetry(reply->errorString());
        return;
    }
    if (!readData())
        return;
    // A write error may only show when the last buffered bytes reach the disk.
    if (!file->flush()) {
        errorRetry(file->errorString());
        return;
    }
    disconnect(reply, nullptr, this, nullptr);
    reply->close();
    reply->deleteLater();
    reply = nullptr;
    file.reset();
    downloadFinished();
}

void DownloadTaskSpecification::downloadFinished()
{
    emit message(QStringLiteral("Downloading %1 finished").arg(srcPath));
    releaseHeldMirror();
    finish();
}

void DownloadTaskSpecification::errorRetry(const QString& text)
{
    mirrors->addMirrorError(mirror.name);
    resetDownload();
    emit message(text);
    startDownload();
}

void DownloadTaskSpecification::releaseHeldMirror()
{
    if (!holdsMirror)
        return;
    holdsMirror = false;
    mirrors->releaseMirror(mirror.name);
}

// What an unfinished attempt wrote must never pass for a complete file.
void DownloadTaskSpecification::discardFile()
{
    if (!file)
        return;
    file->close();
    file->remove();
    file.reset();
}

void DownloadTaskSpecification::resetDownload()
{
    releaseHeldMirror();
    mirror.name = QString();
    stopWaitingForMirror();
    if (reply) {
        disconnect(reply, nullptr, this, nullptr);
        reply->deleteLater();
        reply = nullptr;
    }
    idleTicks = 0;
    windowTicks = -1;
    bytesAtWindowStart = 0;
    discardFile();
    bytesAtLastTick = 0;
    expectedSize = initialSize;
    bytesWritten = 0;
    setProgress(0.0);
}

void DownloadTaskSpecification::timeTick(quint64& done, quint64& total, quint64& speed,
                                         bool& downloading)
{
    done = quint64(bytesWritten);
    total = expectedSize >= 0 ? quint64(expectedSize) : 0;
    speed = quint64(bytesWritten - bytesAtLastTick);
    bytesAtLastTick = bytesWritten;

    if (state != TaskState::Running || !reply)
        return;
    ++idleTicks;
    if (idleTicks > mirror.timeoutTicks || windowTooSlow()) {
        errorRetry(QStringLiteral("file %1 timed out on mirror %2").arg(srcPath, mirror.name));
        return;
    }
    downloading = true;
}

// A byte now and then keeps the idle count at zero, so a trickling mirror
// would hold the stream for hours: each window of the mirror's time-out must
// also bring MinimumBytesPerTick a tick on average, bursts or not. A window
// is judged whole and then opened afresh, which keeps the cost per tick and
// the memory constant whatever the time-out. Slow headers count as time
// without data.
bool DownloadTaskSpecification::windowTooSlow()
{
    if (++windowTicks < mirror.timeoutTicks)
        return false;
    const qint64 received = bytesWritten - bytesAtWindowStart;
    windowTicks = 0;
    bytesAtWindowStart = bytesWritten;
    return received < MinimumBytesPerTick * qint64(mirror.timeoutTicks);
}

void DownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != TaskState::Running)
        return;
    resetDownload();
    userCancel();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification*)
{
    if (reply) {
        emit message(QStringLiteral("Abort downloading %1").arg(srcPath));
        resetDownload();
    } else {
        stopWaitingForMirror();
    }
    errorCancel();
}
