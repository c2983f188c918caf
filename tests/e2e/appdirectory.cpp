#include "appdirectory.h"

#include "testfiles.h"

#include <QDir>
#include <QFile>

AppDirectory::AppDirectory()
    : AppDirectory(QDir::tempPath())
{
}

AppDirectory::AppDirectory(const QString& parent)
    : directory(parent + QStringLiteral("/app-XXXXXX"))
{
    if (directory.isValid())
        copied = QFile::copy(QStringLiteral(KV_UPDATE_BINARY), program());
}

bool AppDirectory::isValid() const
{
    return directory.isValid() && copied;
}

QString AppDirectory::path() const
{
    return directory.path();
}

QString AppDirectory::filePath(const QString& relative) const
{
    return directory.filePath(relative);
}

QString AppDirectory::program() const
{
    return directory.filePath(QStringLiteral("update"));
}

bool AppDirectory::copyTranslations()
{
    const QDir source(QStringLiteral(KV_UPDATE_TRANSLATIONS));
    const QStringList files = source.entryList({QStringLiteral("*.qm")}, QDir::Files);
    if (files.isEmpty() || !QDir(path()).mkpath(QStringLiteral("translations")))
        return false;
    for (const QString& name : files) {
        if (!QFile::copy(source.filePath(name), filePath(QStringLiteral("translations/") + name)))
            return false;
    }
    return true;
}

bool AppDirectory::writeFile(const QString& relative, const QByteArray& content)
{
    return TestFiles::write(filePath(relative), content);
}

// The client's start script writes its argument count to reportPath.
bool AppDirectory::writeClientScript(const QString& reportPath)
{
    const QString script = QStringLiteral("kv3client_runscript.sh");
    const QByteArray content = "#!/bin/sh\nprintf '%s\\n' \"$#\" > '" + QFile::encodeName(reportPath)
        + ".tmp'\nmv '" + QFile::encodeName(reportPath) + ".tmp' '" + QFile::encodeName(reportPath) + "'\n";
    return writeFile(script, content)
        && QFile::setPermissions(filePath(script), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                       | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                       | QFile::ExeOther);
}
