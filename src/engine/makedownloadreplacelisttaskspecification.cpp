#include "makedownloadreplacelisttaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QtConcurrent/QtConcurrentMap>

#include <vector>

namespace {

const QString DeleteSection = QStringLiteral("delete");
const QString FieldSeparator = QStringLiteral("::");
const QString SignatureSuffix = QStringLiteral(".sig");

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

// True when the file passes its MD5 check (or, with no MD5, its signature
// check). What the check reports reaches no log: a file that is missing,
// cannot be read or is no regular file is simply not current.
bool isCurrent(const QString& path, const QString& expectedMd5)
{
    return CheckSigFunc(path, expectedMd5).run();
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
    fetchedSignatures.clear();
    installedFiles.clear();

    const QString iniName = config->updateType.type + QStringLiteral(".ini");
    emit message(QStringLiteral("Compiling download and replace list"));

    // A missing or unreadable file simply has no sections.
    QSettings settings(workDir + QLatin1Char('/') + iniName, QSettings::IniFormat);
    total = getFileCount(settings);
    if (total == 0) {
        emit message(QStringLiteral("No files in product ini"));
        return false;
    }

    // The product ini and its signature lie in the work directory too: no
    // download may overwrite them.
    workFiles.insert(iniName, QString());
    workFiles.insert(iniName + SignatureSuffix, QString());

    // Every line is read and checked before any file is looked at: nothing
    // of a rejected product ini is acted on, and a file's signature may be
    // listed after it.
    QList<Section> sections;
    const QStringList names = settings.childGroups();
    for (const QString& name : names) {
        Section section;
        section.name = name;
        settings.beginGroup(name);
        const bool valid = name == DeleteSection ? readDeletions(settings, section)
                                                 : readFiles(settings, section);
        settings.endGroup();
        if (!valid) {
            emit message(QStringLiteral("Warning: product ini contains invalid line in section %1")
                             .arg(name));
            return false;
        }
        sections.append(section);
    }

    for (const Section& section : std::as_const(sections)) {
        if (section.name == DeleteSection)
            listDeletions(section);
        else
            listFiles(section);
    }
    return true;
}

void MakeDownloadReplaceListFunc::reportProgress()
{
    ++visited;
    emit progress(visited / total);
}

// The values of "delete" entries are never read.
bool MakeDownloadReplaceListFunc::readDeletions(QSettings& settings, Section& section)
{
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys) {
        if (!isContainedName(key))
            return false;
        section.deletions.append(key);
    }
    return true;
}

bool MakeDownloadReplaceListFunc::readFiles(QSettings& settings, Section& section)
{
    const QStringList keys = settings.allKeys();
    for (const QString& key : keys) {
        const QStringList fields = settings.value(key).toString().split(
            FieldSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive);
        if (fields.size() != 2 && fields.size() != 5)
            return false;
        if (!isContainedName(key) || (fields.size() == 5 && !fields.at(4).isEmpty()
                                      && !isContainedName(fields.at(4))))
            return false;

        ListedFile file;
        file.download.section = section.name;
        file.download.fileName = key;
        file.download.md5 = fields.at(0);
        file.download.size = fields.at(1).toULongLong(nullptr, 10);
        file.replacement.section = section.name;
        file.replacement.fileName = key;
        if (fields.size() == 5) {
            file.replacement.md5 = fields.at(2);
            file.replacement.size = fields.at(3).toULongLong(nullptr, 10);
            file.replacement.unzipDest = fields.at(4);
        }
        if (!claimDestinations(file, section.name))
            return false;
        section.files.append(file);
    }
    pairSignatures(section.files);
    return true;
}

// Two lines that write one file would overwrite each other, in the work
// directory or in the installation. The signature file of a file listed
// without an MD5 is fetched by that file's task, so only a line of the same
// section, naming the same file, may list it too.
bool MakeDownloadReplaceListFunc::claimDestinations(const ListedFile& file, const QString& section)
{
    const QString workFile = QDir::cleanPath(file.download.fileName);
    if (workFiles.contains(workFile) || fetchedSignatures.value(workFile, section) != section)
        return false;
    if (file.download.md5.isEmpty()) {
        const QString signature = workFile + SignatureSuffix;
        if (workFiles.value(signature, section) != section)
            return false;
        fetchedSignatures.insert(signature, section);
    }
    workFiles.insert(workFile, section);

    const QString installedFile = QDir::cleanPath(file.replacement.pureDestFilePath());
    if (installedFiles.contains(installedFile))
        return false;
    installedFiles.insert(installedFile);
    return true;
}

// Links a file that is installed as downloaded and listed without an MD5 to
// the signature file listed with an MD5 under the same path in its section.
void MakeDownloadReplaceListFunc::pairSignatures(QList<ListedFile>& files)
{
    QHash<QString, int> indexByPath;
    for (int index = 0; index < files.size(); ++index)
        indexByPath.insert(QDir::cleanPath(files.at(index).download.fileName), index);
    for (int index = 0; index < files.size(); ++index) {
        ListedFile& file = files[index];
        if (!file.download.md5.isEmpty() || file.replacement.hasUnzip())
            continue;
        const int signatureIndex =
            indexByPath.value(QDir::cleanPath(file.download.fileName) + SignatureSuffix, -1);
        if (signatureIndex < 0)
            continue;
        ListedFile& signature = files[signatureIndex];
        if (signature.download.md5.isEmpty() || signature.replacement.hasUnzip())
            continue;
        file.signatureIndex = signatureIndex;
        signature.signedFileIndex = index;
    }
}

void MakeDownloadReplaceListFunc::listDeletions(const Section& section)
{
    for (const QString& key : section.deletions) {
        reportProgress();
        if (QFile::exists(appRoot + QLatin1Char('/') + key))
            specs->deletions.append(key);
    }
}

// The files of a batch of entries are checked at once, each check on a
// thread of the pool reading only its own files: a release of many small
// files is hashed as fast as the disk and the processors allow, not one file
// after the other. The entries are then listed, and their progress reported,
// in order.
void MakeDownloadReplaceListFunc::listFiles(const Section& section)
{
    constexpr int BatchSize = 64;
    const QList<ListedFile>& files = section.files;
    std::vector<Decision> decisions(size_t(files.size()));
    std::vector<char> decided(size_t(files.size()), false);
    // A listed signature goes with the file it vouches for: both are current,
    // or both are fetched and installed.
    const auto decidingIndex = [&files](int index) {
        const int signedFile = files.at(index).signedFileIndex;
        return signedFile >= 0 ? signedFile : index;
    };

    for (int begin = 0; begin < files.size(); begin += BatchSize) {
        const int end = int(qMin(qsizetype(begin + BatchSize), files.size()));
        QList<int> checks;
        for (int index = begin; index < end; ++index) {
            const int deciding = decidingIndex(index);
            if (!decided[size_t(deciding)]) {
                decided[size_t(deciding)] = true;
                checks << deciding;
            }
        }
        QtConcurrent::blockingMap(checks, [this, &files, &decisions](int index) {
            decisions[size_t(index)] = decide(files, index);
        });

        for (int index = begin; index < end; ++index) {
            reportProgress();
            const Decision& decision = decisions[size_t(decidingIndex(index))];
            if (decision.current)
                continue;
            const ListedFile& file = files.at(index);
            specs->replacements.append(file.replacement);
            // A download that an interrupted run left behind is kept.
            if (!decision.downloaded)
                specs->downloads.append(file.download);
        }
    }
}

MakeDownloadReplaceListFunc::Decision
MakeDownloadReplaceListFunc::decide(const QList<ListedFile>& files, int index) const
{
    const ListedFile& file = files.at(index);
    const QString installed = appRoot + QLatin1Char('/') + file.replacement.destFileName(QString());
    const QString downloaded = workDir + QLatin1Char('/') + file.download.fileName;
    Decision decision;
    if (file.signatureIndex < 0) {
        const QString installedMd5 = file.replacement.hasUnzip() ? file.replacement.md5
                                                                 : file.download.md5;
        decision.current = isCurrent(installed, installedMd5);
        decision.downloaded = !decision.current && isCurrent(downloaded, file.download.md5);
        return decision;
    }
    // The signature alone would accept any pair the maker ever signed, an
    // older release's included; the listed MD5 ties the pair to this one.
    const QString signatureMd5 = files.at(file.signatureIndex).download.md5;
    const auto isCurrentPair = [&signatureMd5](const QString& path) {
        return isCurrent(path + SignatureSuffix, signatureMd5) && isCurrent(path, QString());
    };
    decision.current = isCurrentPair(installed);
    decision.downloaded = !decision.current && isCurrentPair(downloaded);
    return decision;
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
