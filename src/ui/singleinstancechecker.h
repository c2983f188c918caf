#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user. A starting updater hands a
// short message to the one that runs (checkExistingInstance) or takes the
// local socket name itself and listens, for its own user only, reporting
// each message it receives. Only one start can take the name: one that finds
// it held by a live updater of its user is a second instance.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT

public:
    // Takes the name and listens at once, unless an updater of the same user
    // holds it (otherInstanceRuns) or something that is not ours does (the
    // updater then runs without the guard).
    explicit SingleInstanceChecker(QObject* parent);
    ~SingleInstanceChecker() override;

    // "KV3ClientUpdate" and the CRC-16 of the executable's path in lower case
    // followed by the home directory, both without "/" and ":".
    static QString getLocalServerName();
    static QString serverNameFor(const QString& executablePath, const QString& homePath);

    // True when a running instance of the same user took the message.
    static bool checkExistingInstance(const QString& message);

    // A live updater of the same user held the name when this one tried to
    // take it: this process is a second instance.
    bool otherInstanceRuns() const;

signals:
    void otherInstanceActivate(const QString& message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    void takeName();
    bool listenForOwnUserOnly(const QString& name);

    QLocalServer* server;
    QLocalSocket* connection = nullptr;
    bool otherInstance = false;
};

#endif
