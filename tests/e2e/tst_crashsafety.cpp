#include "testregistry.h"

#include "appdirectory.h"
#include "nginxserver.h"
#include "releasebuilder.h"
#include "testfiles.h"
#include "updateprocess.h"

#include <QDirIterator>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString BigFile = QStringLiteral("lib/libbig.so");
const QString BigKey = QStringLiteral("lib/libbig.so.gz");
constexpr int BigSize = 24 * 1024 * 1024;

// Installed path -> content, for one version of the client.
using Files = QMap<QString, QByteArray>;

Files version(int number)
{
    QByteArray big(BigSize, Qt::Uninitialized);
    QRandomGenerator(number).fillRange(reinterpret_cast<quint32*>(big.data()), BigSize / 4);
    Files files{{BigFile, big},
                {QStringLiteral("kv3client_linux_x86"), "client " + QByteArray::number(number)},
                {QStringLiteral("data/readme.txt"), "readme " + QByteArray::number(number)},
                {QStringLiteral("data/maps/a.pak"), QByteArray(300000, char('a' + number))},
                {QStringLiteral("data/same.txt"), "unchanged"}};
    files.insert(number == 1 ? QStringLiteral("data/dropped.txt") : QStringLiteral("data/maps/b.pak"),
                 "only in " + QByteArray::number(number));
    return files;
}

// The big file is packed. With its download given, the line for it carries
// a wrong sum for the unpacked file: the download passes its check, the
// installation fails on the unpacked file.
ReleaseBuilder release(int number, const QByteArray& wrongSumFor = QByteArray())
{
    ReleaseBuilder builder(QStringLiteral("client_linux_x86"), number);
    Files files = version(number);
    const QByteArray big = files.take(BigFile);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        builder.addFile(QStringLiteral("files"), it.key(), it.value());
    const QString packed = QStringLiteral("packed");
    if (wrongSumFor.isNull())
        builder.addPackedFile(packed, BigKey, big, BigFile);
    else
        builder.addLine(packed, BigKey, QStringLiteral("%1::%2::%3::%4::%5")
                                            .arg(TestFiles::md5(wrongSumFor)).arg(wrongSumFor.size())
                                            .arg(TestFiles::md5("wrong")).arg(BigSize).arg(BigFile));
    if (number == 2)
        builder.addDeletion(QStringLiteral("data/dropped.txt"));
    return builder;
}

} // namespace

// The real update program is killed at random moments of its installation
// step, and each kill is followed by a run that fails inside its
// installation step and rolls back. Every installed file must be whole after
// each of them, its old or its new version; a last good run must reach the
// new version exactly.
class CrashSafetyTest : public QObject
{
    Q_OBJECT

private slots:
    void killedAndFailingRunsLeaveWholeFiles();

private:
    void startRun(UpdateProcess& run);
    void verifyOldOrNew(const QString& when);
    QString recordedWorkDir() const;

    AppDirectory app;
    const Files oldFiles = version(1);
    const Files newFiles = version(2);
};

void CrashSafetyTest::startRun(UpdateProcess& run)
{
    run.setEnvironment(QStringLiteral("KV_PROBE_ON_SHOW"), QStringLiteral("click startButton"));
    run.setAnswers({QStringLiteral("Ok")});
    run.start(app.program(), {QStringLiteral("client_linux_x86"), QStringLiteral("2")});
}

void CrashSafetyTest::verifyOldOrNew(const QString& when)
{
    QStringList paths = oldFiles.keys() + newFiles.keys();
    paths.removeDuplicates();
    for (const QString& path : std::as_const(paths)) {
        const QByteArray content = TestFiles::read(app.filePath(path));
        QVERIFY2(content == oldFiles.value(path, TestFiles::Missing)
                     || content == newFiles.value(path, TestFiles::Missing),
                 qPrintable(QStringLiteral("%1: %2 is neither version").arg(when, path)));
    }
}

QString CrashSafetyTest::recordedWorkDir() const
{
    const QSettings ini(app.filePath(QStringLiteral("update.ini")), QSettings::IniFormat);
    return ini.value(QStringLiteral("current/dir")).toString();
}

void CrashSafetyTest::killedAndFailingRunsLeaveWholeFiles()
{
    if (NginxServer::executable().isEmpty())
        QSKIP("nginx is not installed");
    if (!KV_UPDATE_EMBEDS_DEVELOPMENT_KEY)
        QSKIP("the update program embeds another key than the one the fixtures are signed with");

    const ReleaseBuilder good = release(2);
    const ReleaseBuilder failing = release(2, good.download(QStringLiteral("packed"), BigKey));
    QTemporaryDir mirrorRoot;
    QVERIFY(good.writeMirror(mirrorRoot.path()));
    NginxServer nginx;
    QVERIFY2(nginx.start(mirrorRoot.path(), QString(), 120), qPrintable(nginx.errorString()));
    QVERIFY(app.isValid());
    QVERIFY(release(1).install(app.path()));
    QVERIFY(app.writeFile(QStringLiteral("mirrors.ini"),
                          "[mirrors]\nsize=1\n1\\mirror=local\n\n[local]\nurl=" + nginx.baseUrl().toUtf8() + "\n"));

    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("random seed %u", seed);
    QRandomGenerator random(seed);
    const QString oldCopy = app.filePath(QStringLiteral("old/_old_libbig.so"));
    int delayLimitMs = 200;
    for (int trial = 1; trial <= 4;) {
        // Each killed run has the large file to install again.
        if (TestFiles::read(app.filePath(BigFile)) != oldFiles.value(BigFile))
            QVERIFY(TestFiles::write(app.filePath(BigFile), oldFiles.value(BigFile)));
        UpdateProcess killed;
        startRun(killed);
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(oldCopy); }, 30000));
        const int delayMs = int(random.bounded(delayLimitMs));
        QTest::qWait(delayMs);
        killed.kill();
        const QString when = QStringLiteral("trial %1, killed after %2 ms").arg(trial).arg(delayMs);
        verifyOldOrNew(when);
        const QString workDir = recordedWorkDir();
        if (QTest::currentTestFailed())
            return;
        if (workDir.isEmpty()) {
            // The run was over before the kill: aim earlier.
            delayLimitMs /= 2;
            continue;
        }

        // A resumed run reuses the product ini in its work directory.
        QVERIFY(failing.writeProductIni(workDir));
        UpdateProcess failed;
        startRun(failed);
        QVERIFY(failed.waitForEvent(QStringLiteral("box"), 30000));
        failed.command(QStringLiteral("close"));
        QVERIFY(failed.waitForExit());
        QVERIFY(failed.events(QStringLiteral("quit")).value(0).value(QLatin1String("log")).toString().contains(
            QLatin1String("rolling back file updates")));
        verifyOldOrNew(when + QStringLiteral(", then failed"));
        if (QTest::currentTestFailed())
            return;
        // The killed run's temporary file is gone, not installed.
        QVERIFY(!QDirIterator(app.path(), {QStringLiteral(".*.korvalune-new")}, QDir::Files | QDir::Hidden,
                              QDirIterator::Subdirectories)
                     .hasNext());
        QVERIFY(good.writeProductIni(workDir));
        ++trial;
    }

    UpdateProcess last;
    startRun(last);
    QVERIFY(QTest::qWaitFor([&] { return recordedWorkDir().isEmpty(); }, 30000));
    last.command(QStringLiteral("close"));
    QVERIFY(last.waitForExit());
    Files installed;
    QDirIterator it(app.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = QDir(app.path()).relativeFilePath(it.next());
        // A run killed while the settings wrote update.ini may leave their
        // temporary file beside it: it is not the installation's. Their lock
        // must be gone.
        const bool settingsTemporary =
            path.startsWith(QLatin1String("update.ini.")) && path != QLatin1String("update.ini.lock");
        if (!QStringList{"update", "update.ini", "mirrors.ini"}.contains(path) && !settingsTemporary)
            installed.insert(path, TestFiles::read(it.filePath()));
    }
    QCOMPARE(installed.keys().join(QLatin1Char(' ')), newFiles.keys().join(QLatin1Char(' ')));
    QVERIFY(installed == newFiles);
}

static TestRegistration registration("CrashSafetyTest", [] { return new CrashSafetyTest; });
#include "tst_crashsafety.moc"
