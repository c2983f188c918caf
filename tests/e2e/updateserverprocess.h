#ifndef UPDATESERVERPROCESS_H
#define UPDATESERVERPROCESS_H

#include <QProcess>
#include <QString>
#include <QStringList>

// The project's loopback update server (tools/kvupdateserver) as a process:
// answers the version, news and banner queries on their fixed ports, so the
// tests that start one hold the CTest resource lock "updateserver".
class UpdateServerProcess
{
public:
    UpdateServerProcess() = default;
    ~UpdateServerProcess();
    UpdateServerProcess(const UpdateServerProcess&) = delete;
    UpdateServerProcess& operator=(const UpdateServerProcess&) = delete;

    // Starts the server with a bounded lifetime and waits until it listens.
    bool start(const QStringList& arguments, int lifetimeSeconds = 60);
    QString errorString() const;
    // The lines it printed for answered requests ("answered versions", ...).
    QStringList answered();

private:
    QProcess process;
    QString error;
    QStringList lines;
};

#endif
