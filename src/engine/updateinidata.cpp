#include "updateinidata.h"

#include "cleanupguard.h"
#include "configuration.h"
#include "ownfile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSettings>
#include <QThread>

namespace {

const QString Group = QStringLiteral("current");
// A live writer names itself in its lock right after creating it.
constexpr qint64 OwnerlessLockMs = 500;

// QSettings guards a write with "<file>.lock", created empty and then given
// its owner's process id. A run killed in between leaves an empty lock, and
// QSettings waits until it is half a minute old, with the window frozen. A
// lock of ours that stays empty for a moment names nobody and is removed.
void removeOwnerlessLock(const QString& settingsFile)
{
    const QString lock = settingsFile + QStringLiteral(".lock");
    QElapsedTimer waited;
    waited.start();
    while (isOwnPlainFile(lock) && QFileInfo(lock).size() == 0) {
        if (waited.hasExpired(OwnerlessLockMs)) {
            QFile::remove(lock);
            return;
        }
        QThread::msleep(10);
    }
}

} // namespace

QString UpdateIniData::filename()
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

bool UpdateIniData::modify(int version, const QString& dir, const QString& type)
{
    removeOwnerlessLock(filename());
    QSettings settings(filename(), QSettings::IniFormat);
    settings.beginGroup(Group);
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), dir);
    settings.setValue(QStringLiteral("type"), type);
    settings.endGroup();
    // Only AccessError says the file was not written: a FormatError (a line
    // of the client's that the settings cannot parse) does not.
    settings.sync();
    return settings.status() != QSettings::AccessError;
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
    removeOwnerlessLock(filename());
    QSettings settings(filename(), QSettings::IniFormat);
    settings.remove(Group);
}
