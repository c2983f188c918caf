#ifndef NGINXSERVER_H
#define NGINXSERVER_H

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// Debian's nginx serving one directory over HTTP/1.1 on 127.0.0.1, at a free
// port, with a prefix and configuration of its own (no gzip, no daemon, one
// process). It runs under timeout(1), so it ends by itself after its lifetime
// even when the process that started it dies; stop() and the destructor end
// it at once.
class NginxServer
{
public:
    NginxServer();
    ~NginxServer();

    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // The nginx program, or an empty string when nginx is not installed.
    static QString executable();

    // Serves `root`. `serverConfig` goes inside the server block (locations,
    // rewrites, return codes); "@ROOT@" in it stands for `root`. False, with
    // errorString() saying why, when nginx did not come up.
    bool start(const QString& root, const QString& serverConfig = QString(),
               int lifetimeSeconds = 300);
    void stop();
    bool isRunning() const;

    quint16 port() const;
    // "http://127.0.0.1:<port>", and that followed by `path` ("/" first).
    QString baseUrl() const;
    QString url(const QString& path) const;
    QString errorString() const;

    // One line per request answered so far: "<method> <request URI> <status>".
    QStringList accessLog() const;
    // Request URIs of the access log that start with `prefix`.
    QStringList requestedUris(const QString& prefix = QString()) const;

private:
    bool startOnPort(const QString& root, const QString& serverConfig, int lifetimeSeconds,
                     quint16 candidate);
    bool writeConfig(const QString& root, const QString& serverConfig, quint16 candidate);
    QString errorLog() const;

    std::unique_ptr<QTemporaryDir> prefix;
    std::unique_ptr<QProcess> process;
    quint16 listenPort = 0;
    QString error;
};

#endif
