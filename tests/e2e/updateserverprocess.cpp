#include "updateserverprocess.h"

UpdateServerProcess::~UpdateServerProcess()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000))
        process.kill();
}

bool UpdateServerProcess::start(const QStringList& arguments, int lifetimeSeconds)
{
    process.start(QStringLiteral(KV_UPDATE_SERVER_BINARY),
                  arguments + QStringList{QStringLiteral("--lifetime"), QString::number(lifetimeSeconds),
                                          QStringLiteral("--verbose")});
    if (!process.waitForStarted(5000) || !process.waitForReadyRead(5000)
        || process.readLine().trimmed() != "ready") {
        error = QString::fromLocal8Bit(process.readAllStandardError());
        return false;
    }
    return true;
}

QString UpdateServerProcess::errorString() const
{
    return error;
}

QStringList UpdateServerProcess::answered()
{
    while (process.canReadLine())
        lines << QString::fromLatin1(process.readLine().trimmed());
    return lines;
}
