#ifndef INIWRITER_H
#define INIWRITER_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

// Writes INI fixtures (update.ini, mirrors.ini) that a QSettings reader in
// the same process cannot serve from its cache: QSettings reuses parsed files
// while their size and modification time stay the same, so every write here
// also moves the file's modification time to a new, never repeated value.
class IniWriter
{
public:
    struct Mirror
    {
        QString name;
        QString url;
        // Written only when valid, so a test can leave the key out.
        QVariant retries;
    };

    // Replaces the file by exactly these keys ("Group/key", value), through
    // QSettings.
    static bool write(const QString& path, const QList<QPair<QString, QVariant>>& values);
    // Replaces the file by exactly these bytes, for layouts QSettings would
    // not write (blank names, hand-made arrays, odd values).
    static bool writeRaw(const QString& path, const QByteArray& content);
    // A mirrors.ini: the array "mirrors" of names and one group per mirror.
    static bool writeMirrors(const QString& path, const QList<Mirror>& mirrors);
    static bool remove(const QString& path);

private:
    static bool touch(const QString& path);
};

#endif
