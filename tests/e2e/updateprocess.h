#ifndef UPDATEPROCESS_H
#define UPDATEPROCESS_H

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

// One run of the real update program with the test probe loaded into it
// (offscreen, English unless the test sets another locale). What the probe
// saw is read back as events; commands go to it through a file.
class UpdateProcess
{
public:
    // Whole-process bound: a run a failed test leaves behind ends by itself.
    static constexpr int LifetimeMs = 60000;

    UpdateProcess();
    ~UpdateProcess();
    UpdateProcess(const UpdateProcess&) = delete;
    UpdateProcess& operator=(const UpdateProcess&) = delete;

    void setEnvironment(const QString& name, const QString& value);
    // Standard button names ("Ok", "Yes", ...) for the message boxes, in order.
    void setAnswers(const QStringList& answers);

    // Runs the program as the user uid, who is given the probe's files.
    // The test gives that user whatever else the program needs.
    bool runAsUser(uid_t uid);

    void start(const QString& program, const QStringList& arguments);
    bool waitForExit(int timeoutMs = 30000);
    bool isRunning() const;
    // SIGKILL: the process ends at once, wherever it is.
    void kill();
    // Whether the program has the file or directory at path open.
    bool hasOpen(const QString& path) const;
    int exitCode() const;
    QProcess::ExitStatus exitStatus() const;
    QString standardError();

    QList<QJsonObject> events() const;
    QList<QJsonObject> events(const QString& kind) const;
    bool waitForEvent(const QString& kind, int timeoutMs = 15000) const;
    void command(const QString& line);
    // Closes the window and waits: true when the program then ended by
    // itself with exit code 0.
    bool closeWindow();

private:
    QTemporaryDir workDirectory;
    QProcessEnvironment environment;
    QProcess process;
    QByteArray errors;
};

#endif
