#include "iniwriter.h"

#include "testfiles.h"

#include <QDateTime>
#include <QFile>
#include <QSettings>

bool IniWriter::write(const QString& path, const QList<QPair<QString, QVariant>>& values)
{
    if (QFile::exists(path) && !QFile::remove(path))
        return false;
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.clear();
        for (const auto& [key, value] : values)
            settings.setValue(key, value);
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return false;
    }
    return touch(path);
}

bool IniWriter::writeRaw(const QString& path, const QByteArray& content)
{
    return TestFiles::write(path, content) && touch(path);
}

bool IniWriter::writeMirrors(const QString& path, const QList<Mirror>& mirrors)
{
    QList<QPair<QString, QVariant>> values;
    values.append({QStringLiteral("mirrors/size"), mirrors.size()});
    for (int i = 0; i < mirrors.size(); ++i) {
        const Mirror& mirror = mirrors.at(i);
        values.append({QStringLiteral("mirrors/%1/mirror").arg(i + 1), mirror.name});
        values.append({mirror.name + QStringLiteral("/url"), mirror.url});
        if (mirror.retries.isValid())
            values.append({mirror.name + QStringLiteral("/retries"), mirror.retries});
    }
    return write(path, values);
}

bool IniWriter::remove(const QString& path)
{
    return !QFile::exists(path) || QFile::remove(path);
}

bool IniWriter::touch(const QString& path)
{
    // Seconds apart, so no file system's time resolution can merge two writes.
    static const QDateTime start = QDateTime::currentDateTimeUtc();
    static int writes = 0;
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    return file.setFileTime(start.addSecs(++writes), QFileDevice::FileModificationTime);
}
