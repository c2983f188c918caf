#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Hands a second start of the same user over to the updater that runs. A
// starting updater hands a short message to the one that runs
// (checkExistingInstance), or listens at the local socket name, for its own
// user only, and reports each message it receives. The socket is for the
// hand-over only: what keeps a second run off an installation is its lock
// (InstallationLock).
class SingleInstanceChecker : public QObject
{
    Q_OBJECT

public:
    // Listens at once where the name is free; where anything lies there, the
    // updater runs without hand-overs.
    explicit SingleInstanceChecker(QObject* parent);
    ~SingleInstanceChecker() override;

    // "KV3ClientUpdate" and the CRC-16 of the executable's path in lower case
    // followed by the home directory, both without "/" and ":".
    static QString getLocalServerName();
    static QString serverNameFor(const QString& executablePath, const QString& homePath);

    // True when a running instance of the same user took the message.
    static bool checkExistingInstance(const QString& message);

    // Removes a socket of ours at the name that refuses connections, left by
    // an updater that crashed. Only the holder of the installation's lock
    // calls it, so no other start of it can be taking the name meanwhile.
    static void removeStaleServer();

signals:
    void otherInstanceActivate(const QString& message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer* server;
    QLocalSocket* connection = nullptr;
};

#endif
