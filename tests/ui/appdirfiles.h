#ifndef APPDIRFILES_H
#define APPDIRFILES_H

#include <QList>
#include <QPair>
#include <QString>

// The ini files of the application directory, which for the tests of this
// area is the test executable's own directory. Test classes that use them
// hold the CTest resource lock "ui-appdir".
namespace AppDirFiles {

QString path(const QString& name);

// mirrors.ini listing the mirrors in order as {name, base URL}; a null URL
// leaves the mirror's group out. A declared size other than -1 replaces the
// array's true size.
void writeMirrorsIni(const QList<QPair<QString, QString>>& mirrors, int declaredSize = -1);

// update.ini with the alpha mirror's base URL in group Channel.
void writeUpdateIni(const QString& alpha);

void removeIniFiles();

} // namespace AppDirFiles

#endif
