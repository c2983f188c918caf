#include "updateprocess.h"

#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTest>

#include <grp.h>
#include <unistd.h>

UpdateProcess::UpdateProcess()
    : environment(QProcessEnvironment::systemEnvironment())
{
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Beside the plug-in directories the test itself was given, not instead.
    QStringList plugins{QStringLiteral(KV_PROBE_PLUGIN_DIR)};
    if (environment.contains(QStringLiteral("QT_PLUGIN_PATH")))
        plugins << environment.value(QStringLiteral("QT_PLUGIN_PATH"));
    environment.insert(QStringLiteral("QT_PLUGIN_PATH"), plugins.join(QLatin1Char(':')));
    environment.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"), QStringLiteral("kve2eprobe"));
    environment.insert(QStringLiteral("KV_PROBE_LOG"), workDirectory.filePath(QStringLiteral("probe.log")));
    environment.insert(QStringLiteral("KV_PROBE_COMMANDS"), workDirectory.filePath(QStringLiteral("commands")));
    environment.insert(QStringLiteral("KV_PROBE_LIFETIME"), QString::number(LifetimeMs));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.remove(QStringLiteral("LANGUAGE"));
}

UpdateProcess::~UpdateProcess()
{
    kill();
}

void UpdateProcess::kill()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(5000);
}

void UpdateProcess::setEnvironment(const QString& name, const QString& value)
{
    environment.insert(name, value);
}

void UpdateProcess::setAnswers(const QStringList& answers)
{
    environment.insert(QStringLiteral("KV_PROBE_ANSWERS"), answers.join(QLatin1Char(',')));
}

bool UpdateProcess::runAsUser(uid_t uid)
{
    // Runs in the child between fork and exec: plain system calls only.
    process.setChildProcessModifier([uid] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid_t(uid)) != 0 || ::setuid(uid) != 0)
            ::_exit(127);
    });
    return TestFiles::giveTo(workDirectory.path(), uid);
}

void UpdateProcess::start(const QString& program, const QStringList& arguments)
{
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments);
}

bool UpdateProcess::waitForExit(int timeoutMs)
{
    return process.waitForFinished(timeoutMs);
}

bool UpdateProcess::isRunning() const
{
    return process.state() != QProcess::NotRunning;
}

bool UpdateProcess::hasOpen(const QString& path) const
{
    const QString target = QFileInfo(path).canonicalFilePath();
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(process.processId()));
    const QStringList names = descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        if (QFileInfo(descriptors.filePath(name)).symLinkTarget() == target)
            return true;
    }
    return false;
}

int UpdateProcess::exitCode() const
{
    return process.exitCode();
}

QProcess::ExitStatus UpdateProcess::exitStatus() const
{
    return process.exitStatus();
}

QString UpdateProcess::standardError()
{
    errors += process.readAllStandardError();
    return QString::fromLocal8Bit(errors);
}

QList<QJsonObject> UpdateProcess::events() const
{
    QFile file(workDirectory.filePath(QStringLiteral("probe.log")));
    QList<QJsonObject> records;
    if (!file.open(QIODevice::ReadOnly))
        return records;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (!line.isEmpty())
            records << QJsonDocument::fromJson(line).object();
    }
    return records;
}

QList<QJsonObject> UpdateProcess::events(const QString& kind) const
{
    QList<QJsonObject> matching;
    const QList<QJsonObject> all = events();
    for (const QJsonObject& record : all) {
        if (record.value(QStringLiteral("event")).toString() == kind)
            matching << record;
    }
    return matching;
}

bool UpdateProcess::waitForEvent(const QString& kind, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return !events(kind).isEmpty(); }, timeoutMs);
}

void UpdateProcess::command(const QString& line)
{
    QFile file(workDirectory.filePath(QStringLiteral("commands")));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line.toUtf8() + '\n');
}

bool UpdateProcess::closeWindow()
{
    command(QStringLiteral("close"));
    return waitForExit() && exitStatus() == QProcess::NormalExit && exitCode() == 0;
}
