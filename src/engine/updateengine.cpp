#include "updateengine.h"

#include "banner.h"
#include "cleanupguard.h"
#include "configuration.h"
#include "curlnetworkaccessmanager.h"
#include "filespecifications.h"
#include "installationrecord.h"
#include "maintaskspecification.h"
#include "mirrors.h"
#include "randomgenerator.h"
#include "tomcryptutil.h"
#include "updateinidata.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QThreadPool>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <utility>

namespace {
constexpr int TickMs = 1000;
constexpr qint64 MaxBannerSize = 270000;
constexpr quint16 DefaultProxyPort = 3128;
}

UpdateEngine::UpdateEngine(Configuration& config, QObject* parent)
    : QObject(parent)
    , state(EngineState::Idle)
    , config(&config)
    , mirrors(nullptr)
    , mainTask(nullptr)
    , progressTimer(new QTimer(this))
    , networkManager(new CurlNetworkAccessManager(this))
    , bannerReply(nullptr)
{
    connect(&config, &Configuration::message, this, &UpdateEngine::message);
    connect(progressTimer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    config.getProxyAndDownloadConcurrency();
    applyProxy();
}

// A list-building worker writes into the run's task objects; it must never
// outlive them.
UpdateEngine::~UpdateEngine()
{
    if (mainTask)
        QThreadPool::globalInstance()->waitForDone();
}

void UpdateEngine::applyProxy()
{
    if (config->proxy.isEmpty()) {
        networkManager->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    const QUrl url(config->proxy);
    // "host:port" without a scheme parses as a URL whose scheme is the host
    // and which names no host at all: no proxy could be reached through it.
    if (!url.isValid() || url.host().isEmpty()) {
        // Nobody is connected yet while the constructor runs: deliver the
        // report on the first turn of the event loop, so the window sees it.
        const QString text = QStringLiteral("'%1' is an invalid proxy specification").arg(config->proxy);
        QMetaObject::invokeMethod(this, [this, text] { emit fatalError(text); }, Qt::QueuedConnection);
        return;
    }
    networkManager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, url.host(),
                                           quint16(url.port(DefaultProxyPort))));
}

bool UpdateEngine::initialize()
{
    try {
        crypt_init();
    } catch (const crypt_exception& exception) {
        emit fatalError(QString::fromLocal8Bit(exception.what()));
        return false;
    }

    const QDir appDir(Configuration::getAppRootPath());
    if (!QFile::exists(appDir.absoluteFilePath(QStringLiteral("mirrors.ini")))) {
        emit fatalError(QStringLiteral("%1 is missing, cannot proceed.").arg(QStringLiteral("mirrors.ini")));
        return false;
    }

    RandomGenerator::seed(quint32(QDateTime::currentDateTime().toSecsSinceEpoch()));

    const QString earlierDir = takeOverEarlierRun();
    if (!config->initalizeStart(earlierDir) || !recordRun(earlierDir))
        return false;

    delete mirrors;
    mirrors = new Mirrors(this);
    // Connected before loading, so a list that cannot be loaded is reported.
    connect(mirrors, &Mirrors::fatalError, this, &UpdateEngine::fatalError);
    connect(mirrors, &Mirrors::message, this, &UpdateEngine::message);
    const bool loaded = config->updateType.channel == UpdateChannel::Alpha
        ? mirrors->initAlpha(appDir.absoluteFilePath(QStringLiteral("update.ini")),
                             config->updateType.version)
        : mirrors->initDefault(appDir.absoluteFilePath(QStringLiteral("mirrors.ini")),
                               config->updateType.version);
    if (!loaded)
        return false;

    state = EngineState::Initialized;
    return true;
}

// The work directory of an unfinished earlier run, wherever its TMPDIR put
// it: resumed for the same version. A run for another version is finished
// first: its changes to the installation are undone, and its work directory
// goes with its record.
QString UpdateEngine::takeOverEarlierRun()
{
    int version = 0;
    QString dir;
    if (!UpdateIniData::get(&version, nullptr, &dir))
        return QString();
    if (version == config->updateType.version) {
        emit message(QStringLiteral("Previous update session for v. %1 found").arg(version));
        return dir;
    }
    emit message(QStringLiteral("Cleanup previous session (v. %1, %2) files...")
                     .arg(QString::number(version), dir));
    // The record of its old copies lies in its work directory: once that has
    // gone, nothing would tell them from the user's files.
    InstallationRecord record;
    record.load(dir);
    record.undo(Configuration::getAppRootPath(), this);
    if (removeWorkDirectory(dir))
        emit message(QStringLiteral("Ok"));
    else
        emit message(QStringLiteral("Failed to remove directory"));
    UpdateIniData::cleanup();
    return QString();
}

// A run that cannot record itself would download into a directory that no
// later run resumes or removes: it stops before it fetches anything, and
// takes back the directory it has just made. Nothing can be installed into
// such an installation either, and pressing Start again would not help.
bool UpdateEngine::recordRun(const QString& resumedDir)
{
    createdWorkDir = config->tempDir == resumedDir ? QString() : config->tempDir;
    if (UpdateIniData::modify(config->updateType.version, config->tempDir, config->updateType.type))
        return true;
    removeCreatedWorkDirectory();
    emit fatalError(QStringLiteral("Unable to write %1, cannot proceed: is its disk full or read-only?")
                        .arg(UpdateIniData::filename()));
    return false;
}

bool UpdateEngine::startUpdate()
{
    mainTask = new MainTaskSpecification(networkManager, mirrors, config, this, 1.0);
    connect(mainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(mainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(mainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(mainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(mainTask, &TaskSpecification::message, this, &UpdateEngine::message);
    state = EngineState::Running;
    progressTimer->start(TickMs);
    mainTask->execute();
    return true;
}

bool UpdateEngine::busy() const
{
    return state == EngineState::Initialized || state == EngineState::Running;
}

void UpdateEngine::reset()
{
    // A running tree is still working (and may have workers on the pool);
    // it is dropped when it ends, never from under itself.
    if (state == EngineState::Running)
        return;
    state = EngineState::Idle;
    dropMainTask();
}

void UpdateEngine::dropMainTask()
{
    if (!mainTask)
        return;
    disconnect(mainTask, nullptr, this, nullptr);
    mainTask->deleteLater();
    mainTask = nullptr;
}

void UpdateEngine::cancelUpdate()
{
    if (state == EngineState::Running)
        mainTask->userCanceled();
}

void UpdateEngine::onTimer()
{
    if (state != EngineState::Running)
        return;
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
    mainTask->timeTick(done, total, speed, downloading);
    // A download that timed out inside timeTick can have ended the run.
    if (state == EngineState::Running)
        emit downloadProgress(done, total, speed, downloading);
}

void UpdateEngine::onTaskFinished()
{
    progressTimer->stop();
    cleanup();
    state = EngineState::Finished;
    emit message(QStringLiteral("Update successfully finished"));
    dropMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    progressTimer->stop();
    removeUnrecordedWorkDirectory();
    state = EngineState::Canceled;
    if (mainTask->state == TaskState::UserCanceled)
        emit message(QStringLiteral("User aborted update"));
    dropMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::cleanup()
{
    emit message(QStringLiteral("Remove temporary files..."));
    int version = 0;
    QString dir;
    if (UpdateIniData::get(&version, nullptr, &dir)) {
        removeWorkDirectory(dir);
        UpdateIniData::cleanup();
    }
    removeUnrecordedWorkDirectory();
    emit message(QStringLiteral("Temporary files removed."));
}

// The work directory that this run made is taken back when no record names
// it: no later run would resume in it or remove it.
void UpdateEngine::removeUnrecordedWorkDirectory()
{
    QString recorded;
    if (UpdateIniData::get(nullptr, nullptr, &recorded) && recorded == createdWorkDir)
        createdWorkDir.clear();
    removeCreatedWorkDirectory();
}

// Only ever the directory this run made, and only while it still is a work
// directory of ours.
void UpdateEngine::removeCreatedWorkDirectory()
{
    const QString made = std::exchange(createdWorkDir, QString());
    if (!made.isEmpty() && isOwnWorkDirectory(made))
        removeWorkDirectory(made);
}

// Empties the directory and removes it through its parent. Only ever given a
// work directory of ours: the record's (UpdateIniData::get) or the run's own.
bool UpdateEngine::removeWorkDirectory(const QString& path)
{
    cleanupDirectory(path);
    QDir dir(path);
    return dir.cdUp() && dir.rmdir(dir.relativeFilePath(path));
}

// Files first, then each subdirectory depth-first. Symbolic links are never
// listed: neither removed nor followed.
void UpdateEngine::cleanupDirectory(const QString& path)
{
    QDir dir(path);
    dir.setFilter(QDir::Files | QDir::NoSymLinks | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    const QStringList files = dir.entryList();
    for (const QString& name : files)
        QFile::remove(dir.absoluteFilePath(name));
    dir.setFilter(QDir::Dirs | QDir::NoSymLinks | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    const QStringList subDirs = dir.entryList();
    for (const QString& name : subDirs) {
        cleanupDirectory(dir.absoluteFilePath(name));
        dir.rmdir(name);
    }
}

void UpdateEngine::removeOldFiles(const QString& dir)
{
    const QDir directory(dir);
    const QStringList names = Configuration::getSpecialFileNames();
    for (const QString& name : names) {
        for (const QString& copy : copiesRemovedAtStart(name))
            QFile::remove(directory.absoluteFilePath(copy));
    }
}

QStringList UpdateEngine::oldFileDirectories()
{
    return {QStringLiteral("."), QStringLiteral("old"), QStringLiteral("imageformats"),
            QStringLiteral("accessible")};
}

bool UpdateEngine::isRemovedAtStart(const QString& oldCopy)
{
    const QFileInfo info(oldCopy);
    if (!oldFileDirectories().contains(info.path()))
        return false;
    const QStringList names = Configuration::getSpecialFileNames();
    return std::any_of(names.cbegin(), names.cend(), [&](const QString& name) {
        return copiesRemovedAtStart(name).contains(info.fileName());
    });
}

// The names under which an old copy of one of the updater's own files waits
// for the next start: in "old", or beside the file.
QStringList UpdateEngine::copiesRemovedAtStart(const QString& name)
{
    return {FileReplaceSpecification::oldCopyFileName(name, false, 1),
            FileReplaceSpecification::oldCopyFileName(name, true, 1)};
}

void UpdateEngine::getBanner()
{
    if (bannerReply)
        return;
    auto* banner = new Banner(this);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    banner->run();
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    // One image request at a time: a second reply datagram while one is
    // pending is ignored.
    if (bannerReply)
        return;
    // The image comes from the web only: a reply must never make the manager
    // open a local file, a device or a FIFO, or serve bytes of its own choice.
    const QUrl url(bannerUrl);
    if (!url.isValid()
        || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")))
        return;
    bannerClickUrl = clickUrl;
    bannerReply = networkManager->get(QNetworkRequest(url));
    connect(bannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(bannerReply, &QNetworkReply::metaDataChanged, this, &UpdateEngine::onBannermetaDataChanged);
    connect(bannerReply, &QNetworkReply::downloadProgress, this, &UpdateEngine::onBannerDownloadProgress);
}

void UpdateEngine::onBannermetaDataChanged()
{
    const QVariant length = bannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > MaxBannerSize)
        dropBannerReply();
}

// A reply without Content-Length is bounded too: a server must not be able
// to fill memory with a banner.
void UpdateEngine::onBannerDownloadProgress(qint64 bytesReceived, qint64)
{
    if (bytesReceived > MaxBannerSize)
        dropBannerReply();
}

void UpdateEngine::onBannerDownloadFinished()
{
    const QByteArray image = bannerReply->readAll();
    bannerReply->deleteLater();
    bannerReply = nullptr;
    emit bannerFound(image, bannerClickUrl);
}

void UpdateEngine::dropBannerReply()
{
    QNetworkReply* reply = bannerReply;
    bannerReply = nullptr;
    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();
}
