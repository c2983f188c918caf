#ifndef APPDIRECTORY_H
#define APPDIRECTORY_H

#include <QString>
#include <QTemporaryDir>

// A fresh installation directory for one test: a copy of the real update
// program, optionally its translations, and whatever the test puts beside.
class AppDirectory
{
public:
    AppDirectory();
    // Made inside parent instead of the temporary directory.
    explicit AppDirectory(const QString& parent);

    bool isValid() const;
    QString path() const;
    QString filePath(const QString& relative) const;
    QString program() const;

    bool copyTranslations();
    // Creates the parent directories as needed.
    bool writeFile(const QString& relative, const QByteArray& content);
    bool writeClientScript(const QString& reportPath);

private:
    QTemporaryDir directory;
    bool copied = false;
};

#endif
