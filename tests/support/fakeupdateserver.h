#ifndef FAKEUPDATESERVER_H
#define FAKEUPDATESERVER_H

#include <QByteArray>
#include <QList>
#include <QString>

#include <netinet/in.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

// A UDP peer on 127.0.0.1 that answers requests from a script, in its own
// thread: the code under test may block the GUI thread in recv. It records
// every datagram it receives and stops by itself when its lifetime is over.
//
//     FakeUpdateServer server;
//     server.setScript({FakeUpdateServer::reply("7#1.0"), FakeUpdateServer::silence()});
//     QVERIFY2(server.start(), qPrintable(server.errorString()));
class FakeUpdateServer
{
public:
    static constexpr quint16 DefaultPort = 17384;

    // What the server does with one request; requests take the steps in turn,
    // and a request beyond the script gets no answer.
    struct Step
    {
        enum Action { Reply, Silence };
        Action action = Silence;
        QByteArray payload;
        // Done as soon as the request arrives, before anything else.
        QByteArray strangerPayload;
        bool refused = false;
        // Times from the request's arrival: the interruption runs in the
        // server's thread, the answer comes no earlier than answerAfterMs.
        int answerAfterMs = 0;
        int interruptAfterMs = 0;
        std::function<void()> interruption;
    };
    static Step reply(const QByteArray& payload);
    static Step silence();
    // The same step, after a second socket (not the server's port) sent
    // `payload` to the client: a stranger racing the server.
    static Step afterStranger(Step step, const QByteArray& payload);
    // The same step, after an ICMP "port unreachable" about the request
    // reached the client, as any host on the way could send it. Needs a raw
    // socket: root, or the test's own network namespace.
    static Step afterRefusal(Step step);
    // The same step, answered late.
    static Step delayed(Step step, int answerAfterMs);
    // The same step, after `interruption` disturbed the waiting client, for
    // example with a signal to its thread.
    static Step interrupted(Step step, int interruptAfterMs, std::function<void()> interruption);

    explicit FakeUpdateServer(quint16 port = DefaultPort, int lifetimeMs = 20000);
    ~FakeUpdateServer();
    FakeUpdateServer(const FakeUpdateServer&) = delete;
    FakeUpdateServer& operator=(const FakeUpdateServer&) = delete;

    // Call before start().
    void setScript(const QList<Step>& steps);

    // Binds the port and starts serving; false (see errorString) when the
    // port cannot be bound.
    bool start();
    void stop();
    QString errorString() const;

    // Every datagram received so far, in order of arrival.
    QList<QByteArray> received() const;

private:
    void serve();
    bool answer(const Step& step, const sockaddr_in& client);
    void sendFromStranger(const QByteArray& payload, const sockaddr_in& client) const;
    void sendPortUnreachable(const sockaddr_in& client) const;
    bool waitUntil(std::chrono::steady_clock::time_point moment) const;

    quint16 port;
    int lifetimeMs;
    QList<Step> script;
    QString error;
    int socketDescriptor = -1;
    int rawDescriptor = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::thread worker;
    mutable std::mutex receivedLock;
    QList<QByteArray> receivedDatagrams;
};

#endif
