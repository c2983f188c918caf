#include "releasebuilder.h"

#include "signing.h"
#include "testfiles.h"

#include <QtDebug>

namespace {

const QString DeleteSection = QStringLiteral("delete");

// The writers stay inside their root whatever names a test feeds the updater.
bool isContainedName(const QString& name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\'))
        && !name.split(QLatin1Char('/')).contains(QLatin1String(".."));
}

// Qt's INI syntax: characters other than letters, digits and "-_./" are
// percent-encoded in keys and section names, as %XX up to U+00FF and as
// %UXXXX above.
QString escapedKey(const QString& key)
{
    QString result;
    for (const QChar c : key) {
        const ushort code = c.unicode();
        if ((code < 0x80 && c.isLetterOrNumber()) || QStringLiteral("-_./").contains(c))
            result += c;
        else if (code <= 0xFF)
            result += QStringLiteral("%%1").arg(code, 2, 16, QLatin1Char('0')).toUpper();
        else
            result += QStringLiteral("%U%1").arg(code, 4, 16, QLatin1Char('0')).toUpper();
    }
    return result;
}

// Values go in double quotes, so commas, semicolons and blanks stay text
// (unquoted, a comma would turn the value into a list).
QString escapedValue(const QString& value)
{
    QString result = QStringLiteral("\"");
    // A leading "@" marks a typed value for Qt; "@@" stands for a plain "@".
    if (value.startsWith(QLatin1Char('@')))
        result += QLatin1Char('@');
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\': result += QStringLiteral("\\\\"); break;
        case '"': result += QStringLiteral("\\\""); break;
        case '\n': result += QStringLiteral("\\n"); break;
        case '\r': result += QStringLiteral("\\r"); break;
        case '\t': result += QStringLiteral("\\t"); break;
        default: result += c;
        }
    }
    return result + QLatin1Char('"');
}

QString joinPath(const QString& dir, const QString& relative)
{
    return dir + QLatin1Char('/') + relative;
}

} // namespace

ReleaseBuilder::ReleaseBuilder(const QString& clientType, int version)
    : type(clientType)
    , versionNumber(version)
{
}

int ReleaseBuilder::version() const
{
    return versionNumber;
}

QString ReleaseBuilder::productIniName() const
{
    return type + QStringLiteral(".ini");
}

void ReleaseBuilder::addFile(const QString& section, const QString& key, const QByteArray& content,
                             Check check)
{
    Entry file;
    file.section = section;
    file.key = key;
    file.isFile = true;
    file.check = check;
    file.content = content;
    file.download = content;
    const QString md5Field = check == Check::Md5 ? TestFiles::md5(content) : QString();
    file.value = md5Field + QStringLiteral("::") + QString::number(content.size());
    if (check == Check::Signature) {
        file.downloadSignature = Signing::signature(content);
        file.installedSignature = file.downloadSignature;
    }
    entries.append(file);
}

void ReleaseBuilder::addPackedFile(const QString& section, const QString& key,
                                   const QByteArray& content, const QString& unpackDest,
                                   Check check)
{
    Entry file;
    file.section = section;
    file.key = key;
    file.isFile = true;
    file.packed = true;
    file.unpackDest = unpackDest;
    file.check = check;
    file.content = content;
    file.download = TestFiles::gzip(content);
    const bool withMd5 = check == Check::Md5;
    file.value = QStringList{withMd5 ? TestFiles::md5(file.download) : QString(),
                             QString::number(file.download.size()),
                             withMd5 ? TestFiles::md5(content) : QString(),
                             QString::number(content.size()),
                             unpackDest}
                     .join(QStringLiteral("::"));
    entries.append(file);
    if (check == Check::Signature) {
        Entry& added = entries.last();
        added.downloadSignature = Signing::signature(added.download);
        added.installedSignature =
            Signing::signature(unpackDest.isEmpty() ? added.download : added.content);
    }
}

void ReleaseBuilder::addDeletion(const QString& path, bool installed, const QString& value)
{
    Entry deletion;
    deletion.section = DeleteSection;
    deletion.key = path;
    deletion.value = value;
    deletion.installed = installed;
    entries.append(deletion);
}

void ReleaseBuilder::addLine(const QString& section, const QString& rawKey,
                             const QString& rawValue)
{
    Entry line;
    line.section = section;
    line.key = rawKey;
    line.value = rawValue;
    line.raw = true;
    entries.append(line);
}

const ReleaseBuilder::Entry& ReleaseBuilder::entry(const QString& section,
                                                   const QString& key) const
{
    for (const Entry& candidate : entries) {
        if (candidate.isFile && candidate.section == section && candidate.key == key)
            return candidate;
    }
    qFatal("ReleaseBuilder: no file entry %s in section %s", qPrintable(key), qPrintable(section));
}

QByteArray ReleaseBuilder::download(const QString& section, const QString& key) const
{
    return entry(section, key).download;
}

// A packed entry without an unpack destination is installed as downloaded.
QByteArray ReleaseBuilder::installed(const QString& section, const QString& key) const
{
    const Entry& file = entry(section, key);
    return file.unpackDest.isEmpty() ? file.download : file.content;
}

QByteArray ReleaseBuilder::downloadSignature(const QString& section, const QString& key) const
{
    return entry(section, key).downloadSignature;
}

QByteArray ReleaseBuilder::installedSignature(const QString& section, const QString& key) const
{
    return entry(section, key).installedSignature;
}

FileDownloadSpecification ReleaseBuilder::downloadSpec(const QString& section,
                                                       const QString& key) const
{
    const Entry& file = entry(section, key);
    FileDownloadSpecification spec;
    spec.section = section;
    spec.fileName = key;
    spec.md5 = file.check == Check::Md5 ? TestFiles::md5(file.download) : QString();
    spec.size = file.download.size();
    return spec;
}

FileReplaceSpecification ReleaseBuilder::replaceSpec(const QString& section,
                                                     const QString& key) const
{
    const Entry& file = entry(section, key);
    FileReplaceSpecification spec;
    spec.section = section;
    spec.fileName = key;
    if (file.packed) {
        spec.md5 = file.check == Check::Md5 ? TestFiles::md5(file.content) : QString();
        spec.size = file.content.size();
        spec.unzipDest = file.unpackDest;
    }
    return spec;
}

QByteArray ReleaseBuilder::productIni() const
{
    QStringList sections;
    for (const Entry& line : entries) {
        if (!line.section.isEmpty() && !sections.contains(line.section))
            sections.append(line.section);
    }
    QString text;
    const auto writeLines = [&](const QString& section) {
        for (const Entry& line : entries) {
            if (line.section != section)
                continue;
            text += line.raw ? line.key + QLatin1Char('=') + line.value
                             : escapedKey(line.key) + QLatin1Char('=') + escapedValue(line.value);
            text += QLatin1Char('\n');
        }
    };
    writeLines(QString());
    for (const QString& section : std::as_const(sections)) {
        text += QLatin1Char('[') + escapedKey(section) + QStringLiteral("]\n");
        writeLines(section);
    }
    return text.toUtf8();
}

bool ReleaseBuilder::writeEntryFile(const QString& root, const QString& path,
                                    const QByteArray& content, const QByteArray& signature) const
{
    if (!isContainedName(path))
        return true;
    const QString target = joinPath(root, path);
    if (!TestFiles::write(target, content))
        return false;
    return signature.isEmpty() || TestFiles::write(target + QStringLiteral(".sig"), signature);
}

bool ReleaseBuilder::writeProductIni(const QString& dir) const
{
    const QString path = joinPath(dir, productIniName());
    return TestFiles::write(path, productIni()) && Signing::signFile(path);
}

bool ReleaseBuilder::writeMirror(const QString& root) const
{
    const QString versionDir = joinPath(root, QString::number(versionNumber));
    if (!writeProductIni(versionDir))
        return false;
    for (const Entry& file : entries) {
        if (!file.isFile || !isContainedName(file.section))
            continue;
        if (!writeEntryFile(joinPath(versionDir, file.section), file.key, file.download,
                            file.downloadSignature))
            return false;
    }
    return true;
}

bool ReleaseBuilder::writeWorkCopies(const QString& dir) const
{
    for (const Entry& file : entries) {
        if (file.isFile && !writeEntryFile(dir, file.key, file.download, file.downloadSignature))
            return false;
    }
    return true;
}

bool ReleaseBuilder::install(const QString& appDir) const
{
    for (const Entry& line : entries) {
        if (line.isFile) {
            const QString path = line.unpackDest.isEmpty() ? line.key : line.unpackDest;
            if (!writeEntryFile(appDir, path, installed(line.section, line.key),
                                line.installedSignature))
                return false;
        } else if (line.section == DeleteSection && !line.raw && line.installed) {
            if (!writeEntryFile(appDir, line.key, "obsolete " + line.key.toUtf8(), QByteArray()))
                return false;
        }
    }
    return true;
}
