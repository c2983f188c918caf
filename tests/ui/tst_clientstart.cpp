#include "testregistry.h"

#include "platform.h"
#include "platformrecorder.h"
#include "processtools.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The script reports how it was started: its argument count and $0.
bool writeReportingScript(const QString& path)
{
    return TestFiles::write(path, "#!/bin/sh\n"
                                  "printf '%s\\n%s\\n' \"$#\" \"$0\" > \"$TMPDIR/started.tmp\"\n"
                                  "mv \"$TMPDIR/started.tmp\" \"$TMPDIR/started\"\n")
        && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                           | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                           | QFile::ExeOther);
}

QString reportPath()
{
    return QDir::temp().filePath(QStringLiteral("started"));
}

QString clientScript()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/kv3client_runscript.sh");
}

} // namespace

class ClientStartTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void startsScriptByFullPath();
    void scriptRunsWithoutArguments();
    void pathWithBlankIsNotSplit();
    void missingScriptIsNotReported();
};

void ClientStartTest::cleanup()
{
    QFile::remove(clientScript());
    QFile::remove(reportPath());
}

void ClientStartTest::startsScriptByFullPath()
{
    PlatformRecorder recorder;
    ProcessTools::startKv3Client();
    QCOMPARE(recorder.startedPrograms, QStringList{clientScript()});
}

void ClientStartTest::scriptRunsWithoutArguments()
{
    QVERIFY(writeReportingScript(clientScript()));
    ProcessTools::startKv3Client();
    QTRY_VERIFY(QFile::exists(reportPath()));
    QFile report(reportPath());
    QVERIFY(report.open(QIODevice::ReadOnly));
    QCOMPARE(report.readAll(), "0\n" + QFile::encodeName(clientScript()) + '\n');
}

void ClientStartTest::pathWithBlankIsNotSplit()
{
    QTemporaryDir directory;
    QVERIFY(directory.isValid());
    const QString inner = directory.filePath(QStringLiteral("my client"));
    QVERIFY(QDir().mkpath(inner));
    // What splitting at the blank would start instead.
    QVERIFY(writeReportingScript(directory.filePath(QStringLiteral("my"))));
    const QString script = inner + QStringLiteral("/kv3client_runscript.sh");
    QVERIFY(writeReportingScript(script));

    QVERIFY(Platform::startDetached(script));
    QTRY_VERIFY(QFile::exists(reportPath()));
    QFile report(reportPath());
    QVERIFY(report.open(QIODevice::ReadOnly));
    QCOMPARE(report.readAll(), "0\n" + QFile::encodeName(script) + '\n');
}

void ClientStartTest::missingScriptIsNotReported()
{
    QVERIFY(!QFile::exists(clientScript()));
    QVERIFY(!Platform::startDetached(clientScript()));
    ProcessTools::startKv3Client();
}

static TestRegistration registration("ClientStartTest", [] { return new ClientStartTest; });
#include "tst_clientstart.moc"
