#include "testregistry.h"

#include "platform.h"
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

    void scriptRunsWithoutArguments_data();
    void scriptRunsWithoutArguments();
    void missingScriptIsNotReported();
};

void ClientStartTest::cleanup()
{
    QFile::remove(clientScript());
    QFile::remove(reportPath());
}

// The client's script from the application directory, and a script whose
// path has a blank, which must not be split there.
void ClientStartTest::scriptRunsWithoutArguments_data()
{
    QTest::addColumn<bool>("blankInPath");
    QTest::newRow("the client's script") << false;
    QTest::newRow("path with a blank") << true;
}

void ClientStartTest::scriptRunsWithoutArguments()
{
    QFETCH(bool, blankInPath);

    QTemporaryDir directory;
    QString script = clientScript();
    if (blankInPath) {
        // What splitting at the blank would start instead.
        QVERIFY(writeReportingScript(directory.filePath(QStringLiteral("my"))));
        script = directory.filePath(QStringLiteral("my client/kv3client_runscript.sh"));
    }
    QVERIFY(writeReportingScript(script));
    if (blankInPath)
        QVERIFY(Platform::startDetached(script));
    else
        ProcessTools::startKv3Client();
    QTRY_COMPARE(TestFiles::read(reportPath()), "0\n" + QFile::encodeName(script) + '\n');
}

void ClientStartTest::missingScriptIsNotReported()
{
    QVERIFY(!QFile::exists(clientScript()));
    QVERIFY(!Platform::startDetached(clientScript()));
    ProcessTools::startKv3Client();
}

static TestRegistration registration("ClientStartTest", [] { return new ClientStartTest; });
#include "tst_clientstart.moc"
