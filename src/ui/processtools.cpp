#include "processtools.h"

#include "platform.h"

#include <QCoreApplication>

void ProcessTools::startKv3Client()
{
    // The full path is the program itself: an installation directory with a
    // blank in it must not be split into a program and arguments.
    const QString program = QCoreApplication::applicationDirPath()
                            + QLatin1String("/kv3client_runscript.sh");
    Platform::startDetached(program);
}
