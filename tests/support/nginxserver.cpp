#include "nginxserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

#include <signal.h>

namespace {

const int StartAttempts = 5;
const int StartTimeoutMs = 10000;
const int StopTimeoutMs = 5000;

QString quoted(const QString& path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

// A port the system considers free right now; nginx may still lose it to
// another process before it binds, which start() survives by trying again.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

NginxServer::NginxServer() = default;

NginxServer::~NginxServer()
{
    stop();
}

QString NginxServer::executable()
{
    const QString inPath = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (!inPath.isEmpty())
        return inPath;
    return QStandardPaths::findExecutable(QStringLiteral("nginx"),
                                          {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

bool NginxServer::start(const QString& root, const QString& serverConfig, int lifetimeSeconds)
{
    stop();
    if (executable().isEmpty()) {
        error = QStringLiteral("nginx is not installed");
        return false;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("timeout")).isEmpty()) {
        error = QStringLiteral("timeout(1) is not installed");
        return false;
    }
    for (int attempt = 0; attempt < StartAttempts; ++attempt) {
        const quint16 candidate = freePort();
        if (candidate != 0 && startOnPort(root, serverConfig, lifetimeSeconds, candidate))
            return true;
        stop();
    }
    return false;
}

bool NginxServer::writeConfig(const QString& root, const QString& serverConfig, quint16 candidate)
{
    const QDir dir(prefix->path());
    for (const char* sub : {"conf", "logs", "tmp"})
        dir.mkpath(QLatin1String(sub));
    const QString tmp = dir.filePath(QStringLiteral("tmp/"));
    QString extra = serverConfig;
    extra.replace(QStringLiteral("@ROOT@"), root);

    const QString config = QStringLiteral(
        "daemon off;\n"
        "master_process off;\n"
        "pid %1;\n"
        "error_log %2 warn;\n"
        "events { worker_connections 1024; }\n"
        "http {\n"
        "    types { }\n"
        "    default_type application/octet-stream;\n"
        "    gzip off;\n"
        "    sendfile on;\n"
        "    keepalive_requests 100000;\n"
        "    log_format requests '$request_method $request_uri $status';\n"
        "    access_log %3 requests;\n"
        "    client_body_temp_path %4;\n"
        "    proxy_temp_path %5;\n"
        "    fastcgi_temp_path %6;\n"
        "    uwsgi_temp_path %7;\n"
        "    scgi_temp_path %8;\n"
        "    server {\n"
        "        listen 127.0.0.1:%9;\n"
        "        server_name localhost;\n"
        "        root %10;\n"
        "%11\n"
        "    }\n"
        "}\n")
        .arg(quoted(dir.filePath(QStringLiteral("nginx.pid"))),
             quoted(dir.filePath(QStringLiteral("logs/error.log"))),
             quoted(dir.filePath(QStringLiteral("logs/access.log"))),
             quoted(tmp + QStringLiteral("body")), quoted(tmp + QStringLiteral("proxy")),
             quoted(tmp + QStringLiteral("fastcgi")), quoted(tmp + QStringLiteral("uwsgi")),
             quoted(tmp + QStringLiteral("scgi")), QString::number(candidate), quoted(root),
             extra);

    QFile file(dir.filePath(QStringLiteral("conf/nginx.conf")));
    if (!file.open(QIODevice::WriteOnly) || file.write(config.toUtf8()) < 0 || !file.flush()) {
        error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

bool NginxServer::startOnPort(const QString& root, const QString& serverConfig,
                              int lifetimeSeconds, quint16 candidate)
{
    prefix = std::make_unique<QTemporaryDir>();
    if (!prefix->isValid()) {
        error = QStringLiteral("cannot make a prefix directory");
        return false;
    }
    if (!writeConfig(root, serverConfig, candidate))
        return false;

    // timeout sends TERM at the end of the lifetime and KILL 5 s later; a
    // TERM sent to timeout itself is passed on to nginx.
    process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::MergedChannels);
    const QString dir = prefix->path();
    process->start(QStringLiteral("timeout"),
                   {QStringLiteral("-k"), QStringLiteral("5"), QString::number(lifetimeSeconds),
                    executable(), QStringLiteral("-p"), dir + QLatin1Char('/'), QStringLiteral("-e"),
                    dir + QStringLiteral("/logs/error.log"), QStringLiteral("-c"),
                    dir + QStringLiteral("/conf/nginx.conf")});
    if (!process->waitForStarted(StartTimeoutMs)) {
        error = QStringLiteral("cannot start nginx: %1").arg(process->errorString());
        return false;
    }

    const QDeadlineTimer deadline(StartTimeoutMs);
    while (!deadline.hasExpired()) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, candidate);
        if (socket.waitForConnected(200)) {
            listenPort = candidate;
            return true;
        }
        // Paces the polling and notices an nginx that gave up.
        if (process->waitForFinished(20)) {
            error = QStringLiteral("nginx ended: %1 %2")
                        .arg(QString::fromLocal8Bit(process->readAll()), errorLog());
            return false;
        }
    }
    error = QStringLiteral("nginx did not listen within %1 ms: %2").arg(StartTimeoutMs).arg(errorLog());
    return false;
}

void NginxServer::stop()
{
    listenPort = 0;
    if (!process)
        return;
    if (process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!process->waitForFinished(StopTimeoutMs)) {
            // timeout did not pass the signal on: end nginx by its own id.
            QFile pidFile(QDir(prefix->path()).filePath(QStringLiteral("nginx.pid")));
            bool isNumber = false;
            const int pid = pidFile.open(QIODevice::ReadOnly) ? pidFile.readAll().trimmed().toInt(&isNumber) : 0;
            if (isNumber && pid > 0)
                ::kill(pid, SIGKILL);
            process->kill();
            process->waitForFinished(StopTimeoutMs);
        }
    }
    process.reset();
}

bool NginxServer::isRunning() const
{
    return process && process->state() == QProcess::Running && listenPort != 0;
}

quint16 NginxServer::port() const
{
    return listenPort;
}

QString NginxServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(listenPort);
}

QString NginxServer::url(const QString& path) const
{
    return baseUrl() + path;
}

QString NginxServer::errorString() const
{
    return error;
}

QString NginxServer::errorLog() const
{
    if (!prefix)
        return QString();
    QFile file(QDir(prefix->path()).filePath(QStringLiteral("logs/error.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString();
}

QStringList NginxServer::accessLog() const
{
    if (!prefix)
        return QStringList();
    QFile file(QDir(prefix->path()).filePath(QStringLiteral("logs/access.log")));
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList NginxServer::requestedUris(const QString& prefixText) const
{
    QStringList uris;
    const QStringList lines = accessLog();
    for (const QString& line : lines) {
        const QString uri = line.section(QLatin1Char(' '), 1, 1);
        if (uri.startsWith(prefixText))
            uris << uri;
    }
    return uris;
}
