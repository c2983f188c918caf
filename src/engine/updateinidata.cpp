#include "updateinidata.h"

#include "cleanupguard.h"
#include "configuration.h"

#include <QDir>
#include <QSettings>

namespace {
const QString Group = QStringLiteral("current");
}

QString UpdateIniData::filename()
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

void UpdateIniData::modify(int version, const QString& dir, const QString& type)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(Group);
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
}

bool UpdateIniData::get(int* version, QString* type, QString* dir)
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(Group);
    const QVariant versionValue = settings.value(QStringLiteral("version"));
    const QString dirValue = settings.value(QStringLiteral("dir")).toString();
    const QString typeValue = settings.value(QStringLiteral("type")).toString();
    settings.endGroup();

    // A record that names anything but a work directory of ours is no
    // record at all: nothing named by it is resumed in or removed.
    bool isNumber = false;
    const int versionNumber = versionValue.toInt(&isNumber);
    if (!isNumber || typeValue.isEmpty() || !isOwnWorkDirectory(dirValue))
        return false;

    if (version)
        *version = versionNumber;
    if (dir)
        *dir = dirValue;
    if (type)
        *type = typeValue;
    return true;
}

bool UpdateIniData::isRunRecorded()
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(Group);
    return settings.status() != QSettings::NoError || !settings.allKeys().isEmpty();
}

void UpdateIniData::cleanup()
{
    QSettings settings(filename(), QSettings::IniFormat);
    settings.remove(Group);
}
