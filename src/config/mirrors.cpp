#include "mirrors.h"

#include "randomgenerator.h"

#include <QSettings>

#include <algorithm>
#include <limits>

namespace {

const int DefaultRetries = 2;
const int AlphaRetries = 4;

QString versionUrl(QString baseUrl, int version)
{
    if (!baseUrl.endsWith(QLatin1Char('/')))
        baseUrl += QLatin1Char('/');
    return baseUrl + QString::number(version);
}

// Errors allowed for a mirror. Read as a wide integer so that a huge value
// cannot wrap around into a small allowance.
int readRetries(const QSettings& settings)
{
    bool isNumber = false;
    const qlonglong value = settings.value(QStringLiteral("retries"), DefaultRetries)
                                .toLongLong(&isNumber);
    if (!isNumber || value < 1 || value > std::numeric_limits<int>::max())
        return DefaultRetries;
    return int(value);
}

} // namespace

Mirrors::Mirrors(QObject* parent)
    : QObject(parent)
    , noMirrorsReported(false)
{
}

bool Mirrors::initDefault(const QString& iniPath, int version)
{
    QSettings settings(iniPath, QSettings::IniFormat);
    const QStringList names = readNames(settings);
    for (const QString& written : names) {
        const QString name = written.trimmed();
        if (name.isEmpty())
            continue;
        FTPSiteAccessData mirror;
        mirror.name = name;
        mirrors.append(mirror);
    }
    setDefaults(settings, version);
    return true;
}

QStringList Mirrors::readNames(QSettings& settings)
{
    // The size written in the file is not trusted to count anything: a huge
    // one would make a loop over every index run for hours. An index the
    // file does not hold has no name to read anyway.
    const int size = settings.beginReadArray(QStringLiteral("mirrors"));
    QList<int> indices;
    const QStringList entries = settings.childGroups();
    for (const QString& entry : entries) {
        bool isNumber = false;
        const int index = entry.toInt(&isNumber);
        // QSettings writes index n as the group "n"; "01" is no entry of its.
        if (isNumber && index >= 1 && index <= size && entry == QString::number(index))
            indices << index;
    }
    std::sort(indices.begin(), indices.end());

    QStringList names;
    for (int index : std::as_const(indices)) {
        settings.setArrayIndex(index - 1);
        names << settings.value(QStringLiteral("mirror")).toString();
    }
    settings.endArray();
    return names;
}

bool Mirrors::initAlpha(const QString& iniPath, int version)
{
    const QSettings settings(iniPath, QSettings::IniFormat);
    const QString alpha = settings.value(QStringLiteral("Channel/alpha")).toString();
    if (alpha.isEmpty()) {
        emit fatalError(QStringLiteral("Alpha parameter in channel section in update ini file not found"));
        return false;
    }
    FTPSiteAccessData mirror;
    mirror.name = QStringLiteral("Alpha Channel");
    mirror.url = versionUrl(alpha, version);
    mirror.retries = AlphaRetries;
    mirrors.append(mirror);
    return true;
}

int Mirrors::getRandomMirror(FTPSiteAccessData& out)
{
    if (mirrors.isEmpty()) {
        if (!noMirrorsReported) {
            noMirrorsReported = true;
            emit message(tr("There are no (more) known working mirrors available"));
        }
        return NoMirrorLeft;
    }

    int capacity = 0;
    int inUse = 0;
    calcUseStats(capacity, inUse);
    if (inUse >= capacity)
        return AllMirrorsBusy;

    // Every free slot is equally likely; a mirror whose inUse went negative
    // through an unmatched release counts with its extra slots.
    int slot = RandomGenerator::next() % (capacity - inUse);
    for (FTPSiteAccessData& mirror : mirrors) {
        slot -= mirror.capacity - mirror.inUse;
        if (slot < 0) {
            ++mirror.inUse;
            out = mirror;
            return MirrorTaken;
        }
    }
    return AllMirrorsBusy;
}

void Mirrors::releaseMirror(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        --mirrors[index].inUse;
}

void Mirrors::addMirrorError(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index < 0)
        return;
    FTPSiteAccessData& mirror = mirrors[index];
    ++mirror.errors;
    if (mirror.errors <= mirror.retries)
        return;

    // Remove before telling anyone: a receiver of message() may change the
    // list, which would invalidate the index.
    const QString removedName = mirror.name;
    mirrors.remove(index);
    emit message(tr("Mirror %1 failed too many times, removing").arg(removedName));
}

void Mirrors::removeMirror(const QString& name)
{
    const int index = getMirrorIndex(name);
    if (index >= 0)
        mirrors.remove(index);
}

void Mirrors::setDefaults(QSettings& settings, int version)
{
    for (FTPSiteAccessData& mirror : mirrors) {
        settings.beginGroup(mirror.name);
        mirror.url = versionUrl(settings.value(QStringLiteral("url")).toString(), version);
        mirror.retries = readRetries(settings);
        settings.endGroup();
    }
}

int Mirrors::getMirrorIndex(const QString& name) const
{
    for (int i = 0; i < mirrors.size(); ++i) {
        if (mirrors.at(i).name == name)
            return i;
    }
    return -1;
}

void Mirrors::calcUseStats(int& capacity, int& inUse) const
{
    capacity = 0;
    inUse = 0;
    for (const FTPSiteAccessData& mirror : mirrors) {
        capacity += mirror.capacity;
        inUse += mirror.inUse;
    }
}
