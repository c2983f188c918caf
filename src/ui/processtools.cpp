#include "processtools.h"

#include "configuration.h"
#include "platform.h"

#include <QDir>

void ProcessTools::startKv3Client()
{
    // The full path is the program itself: an installation directory with a
    // blank in it must not be split into a program and arguments.
    const QString program = QDir(Configuration::getAppRootPath())
                                .absoluteFilePath(Configuration::getClientBinaryName());
    Platform::startDetached(program);
}
