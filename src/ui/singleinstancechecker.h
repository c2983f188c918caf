#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater window per installation and user. A starting updater
// hands a short message to the one that runs (checkExistingInstance); the
// running one listens under the same local socket name, for its own user
// only, and reports each message it receives.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT

public:
    // Starts listening at once.
    explicit SingleInstanceChecker(QObject* parent);
    ~SingleInstanceChecker() override;

    // "KV3ClientUpdate" and the CRC-16 of the executable's path in lower case
    // followed by the home directory, both without "/" and ":".
    static QString getLocalServerName();
    static QString serverNameFor(const QString& executablePath, const QString& homePath);

    // True when a running instance of the same user took the message.
    static bool checkExistingInstance(const QString& message);

signals:
    void otherInstanceActivate(const QString& message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    void listenReclaimingStaleName();

    QLocalServer* server;
    QLocalSocket* connection = nullptr;
};

#endif
