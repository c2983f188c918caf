#include "makedownloadreplacelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStringList>

namespace {

const QString DeleteSection = QStringLiteral("delete");
const QString FieldSeparator = QStringLiteral("::");

// Names in the product ini come from a server. Each one is joined to the work
// or application directory and then written, installed or deleted, so a name
// must stay inside that directory: no absolute path, no ".." component, no
// backslash (a separator elsewhere, and Qt's own INI key separator), and not
// the directory itself.
bool isContainedName(const QString& name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return false;
    if (name.split(QLatin1Char('/'), Qt::KeepEmptyParts).contains(QLatin1String("..")))
        return false;
    return QDir::cleanPath(name) != QLatin1String(".");
}

// True when the file exists and passes its MD5 check (or, with no MD5, its
// signature check). What the check reports reaches no log: a file that cannot
// be read is simply not current.
bool isCurrent(const QString& path, const QString& expectedMd5)
{
    return QFile::exists(path) && CheckSigFunc(path, expectedMd5).run();
}

} // namespace

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration* config,
                                                         FileSpecifications& specs)
    : config(config)
    , specs(&specs)
{
}

int MakeDownloadReplaceListFunc::getFileCount(QSettings& settings)
{
    int count = 0;
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups) {
        settings.beginGroup(group);
        count += settings.allKeys().size();
        settings.endGroup();
    }
    return count;
}

bool MakeDownloadReplaceListFunc::run()
{
    specs->clear();
    appRoot = Configuration::getAppRootPath();
    workDir = config->tempDir;
    visited = 0;
    workFiles.clear();

    const QString iniPath = workDir + QLatin1Char('/') + config->updateType.type
        + QStringLiteral(".ini");
    emit message(QStringLiteral("Compiling download and replace list"));

    // A missing or unreadable file simply has no sections.
    QSettings settings(iniPath, QSettings::IniFormat);
    total = getFileCount(settings);
    if (total == 0) {
        emit message(QStringLiteral("No files in product ini"));
        return false;
    }

    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        settings.beginGroup(section);
        const bool valid = section == DeleteSection ? readDeletions(settings)
                                                    : readFiles(settings, section);
        settings.endGroup();
        if (!valid) {
            emit message(QStringLiteral("Warning: product ini contains invalid line in section %1")
                             .arg(section));
            // Nothing of a rejected product ini may be acted on.
            specs->clear();
            return false;
        }
    }
    return true;
}

void MakeDownloadReplaceListFunc::reportProgress()
{
    ++visited;
    emit progress(visited / total);
}

// The values of "delete" entries are never read.
bool MakeDownloadReplaceListFunc::readDeletions(QSettings& settings)
{
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys) {
        reportProgress();
        if (!isContainedName(key))
            return false;
        if (QFile::exists(appRoot + QLatin1Char('/') + key))
            specs->deletions.append(key);
    }
    return true;
}

bool MakeDownloadReplaceListFunc::readFiles(QSettings& settings, const QString& section)
{
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys) {
        reportProgress();
        const QStringList fields = settings.value(key).toString().split(
            FieldSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
        if (fields.size() != 2 && fields.size() != 5)
            return false;
        if (!isContainedName(key) || (fields.size() == 5 && !fields.at(4).isEmpty()
                                      && !isContainedName(fields.at(4))))
            return false;
        // Every key is one file in the work directory and one installed
        // file: a second entry for it would overwrite the first.
        const QString workFile = QDir::cleanPath(key);
        if (workFiles.contains(workFile))
            return false;
        workFiles.insert(workFile);

        FileDownloadSpecification download;
        download.section = section;
        download.fileName = key;
        download.md5 = fields.at(0);
        download.size = fields.at(1).toULongLong(nullptr, 10);

        FileReplaceSpecification replacement;
        replacement.section = section;
        replacement.fileName = key;
        if (fields.size() == 5) {
            replacement.md5 = fields.at(2);
            replacement.size = fields.at(3).toULongLong(nullptr, 10);
            replacement.unzipDest = fields.at(4);
        }

        const QString installed = appRoot + QLatin1Char('/') + replacement.destFileName(QString());
        const QString installedMd5 = replacement.hasUnzip() ? replacement.md5 : download.md5;
        if (isCurrent(installed, installedMd5))
            continue;
        specs->replacements.append(replacement);
        // A download that an interrupted run left behind is kept.
        if (!isCurrent(workDir + QLatin1Char('/') + key, download.md5))
            specs->downloads.append(download);
    }
    return true;
}

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration* config, FileSpecifications& target, QObject* parent, double progressRange)
    : ASyncTaskSpecification(parent, progressRange)
    , config(config)
    , target(&target)
{
}

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunction()
{
    return new MakeDownloadReplaceListFunc(config, ownSpecs);
}

// The lists are shared implicitly, so handing them over copies no entry.
void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    if (ok) {
        target->downloads = ownSpecs.downloads;
        target->replacements = ownSpecs.replacements;
        target->deletions = ownSpecs.deletions;
    } else {
        // The later steps read these lists: after a failed pass they must
        // hold nothing, not even what an earlier pass found.
        target->clear();
    }
    ASyncTaskSpecification::runDone(ok);
}
