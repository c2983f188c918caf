#include "downloadfilelisttaskspecification.h"

#include "configuration.h"
#include "downloadfiletaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(
    QList<FileDownloadSpecification>* downloads, QNetworkAccessManager* networkManager,
    Mirrors* mirrors, Configuration* config, QObject* parent, double progressRange)
    : ComposedTaskSpecification(config->streams, progressRange, parent)
    , downloads(downloads)
    , networkManager(networkManager)
    , mirrors(mirrors)
    , config(config)
    , totalBytes(0)
{
}

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

// An executed-again step builds fresh file tasks from the list as it is then.
void DownloadFileListTaskSpecification::reset()
{
    clearSubTasks();
    totalBytes = 0;
    TaskSpecification::reset();
}

void DownloadFileListTaskSpecification::timeTick(quint64& done, quint64& total, quint64& speed,
                                                 bool& downloading)
{
    ComposedTaskSpecification::timeTick(done, total, speed, downloading);
    total = quint64(totalBytes);
}

bool DownloadFileListTaskSpecification::makeSubDirs()
{
    const QDir workDir(config->tempDir);
    QSet<QString> made{QStringLiteral(".")};
    for (const FileDownloadSpecification& record : std::as_const(*downloads)) {
        const QString path = QFileInfo(record.fileName).path();
        if (made.contains(path))
            continue;
        if (!workDir.mkpath(path)) {
            emit message(QStringLiteral("Could not create dir %1")
                             .arg(workDir.canonicalPath() + QLatin1Char('/') + path));
            errorCancel();
            return false;
        }
        made.insert(path);
    }
    return true;
}

namespace {

// A file and its signature file pair up by their cleaned paths within one
// section: "./lib/a.so" and "lib/a.so.sig" are one pair.
QPair<QString, QString> pathKey(const QString& section, const QString& fileName)
{
    return {section, QDir::cleanPath(fileName)};
}

} // namespace

// Whether the record is the signature file of a listed file without an MD5
// sum whose own task fetches it. In a chain x, x.sig, x.sig.sig ... every
// second name is fetched by the task of the name before it.
bool DownloadFileListTaskSpecification::isFetchedWithItsFile(const FileDownloadSpecification& record,
                                                             const RecordsByPath& byPath)
{
    const QString suffix = DownloadFileTaskSpecification::signatureName(QString());
    int depth = 0;
    QString name = QDir::cleanPath(record.fileName);
    while (name.endsWith(suffix)) {
        name.chop(suffix.size());
        const FileDownloadSpecification* base = byPath.value(pathKey(record.section, name));
        if (!base || !base->md5.isEmpty())
            break;
        ++depth;
    }
    return depth % 2 == 1;
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (downloads->isEmpty()) {
        emit message(QStringLiteral("No downloads needed"));
        finish();
        return;
    }
    if (!makeSubDirs())
        return;
    emit message(QStringLiteral("Downloading files"));

    // A file listed without an MD5 sum is checked against its signature file,
    // which its own task fetches before the check. A listed signature file of
    // such a file therefore gets no task of its own: two tasks writing one
    // path would race, and the check could read a signature half written.
    RecordsByPath byPath;
    for (const FileDownloadSpecification& record : std::as_const(*downloads)) {
        totalBytes += qint64(record.size);
        const auto key = pathKey(record.section, record.fileName);
        if (!byPath.contains(key))
            byPath.insert(key, &record);
    }
    QList<const FileDownloadSpecification*> files;
    for (const FileDownloadSpecification& record : std::as_const(*downloads)) {
        if (!isFetchedWithItsFile(record, byPath))
            files.append(&record);
    }

    const double share = 1.0 / files.size();
    for (const FileDownloadSpecification* record : std::as_const(files)) {
        const FileDownloadSpecification* signature = byPath.value(pathKey(
            record->section, DownloadFileTaskSpecification::signatureName(record->fileName)));
        const bool fetchesSignature = record->md5.isEmpty() && signature;
        addSubTask(new DownloadFileTaskSpecification(
            *record, networkManager, mirrors, config, this, share,
            fetchesSignature ? *signature : FileDownloadSpecification()));
    }

    state = TaskState::Running;
    executeSubTasks();
}
