#include "appdirfiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>

namespace AppDirFiles {

QString path(const QString& name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
}

void writeMirrorsIni(const QList<QPair<QString, QString>>& mirrors, int declaredSize)
{
    QSettings settings(path(QStringLiteral("mirrors.ini")), QSettings::IniFormat);
    settings.beginWriteArray(QStringLiteral("mirrors"), int(mirrors.size()));
    for (int i = 0; i < mirrors.size(); ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("mirror"), mirrors[i].first);
    }
    settings.endArray();
    if (declaredSize != -1)
        settings.setValue(QStringLiteral("mirrors/size"), declaredSize);
    for (const auto& mirror : mirrors) {
        if (!mirror.second.isNull())
            settings.setValue(mirror.first + QStringLiteral("/url"), mirror.second);
    }
    settings.sync();
}

void writeUpdateIni(const QString& alpha)
{
    QSettings settings(path(QStringLiteral("update.ini")), QSettings::IniFormat);
    settings.setValue(QStringLiteral("Channel/alpha"), alpha);
    settings.sync();
}

void removeIniFiles()
{
    QFile::remove(path(QStringLiteral("mirrors.ini")));
    QFile::remove(path(QStringLiteral("update.ini")));
}

} // namespace AppDirFiles
