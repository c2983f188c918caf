#include "testregistry.h"

#include "appdirectory.h"
#include "nginxserver.h"
#include "privatemounts.h"
#include "releasebuilder.h"
#include "scopedmount.h"
#include "testfiles.h"
#include "updateprocess.h"

#include <QDirIterator>
#include <QMap>
#include <QRegularExpression>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>

namespace {

const QString BigFile = QStringLiteral("lib/libbig.so");
constexpr int BigSize = 24 * 1024 * 1024;

// Installed path -> content, for one version of the client.
using Files = QMap<QString, QByteArray>;

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

Files version(int number)
{
    Files files{{BigFile, randomBytes(BigSize, quint32(number))},
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
ReleaseBuilder release(int number, Files files, const QString& bigFile,
                       const QByteArray& wrongSumFor = QByteArray())
{
    ReleaseBuilder builder(QStringLiteral("client_linux_x86"), number);
    const QByteArray big = files.take(bigFile);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        builder.addFile(QStringLiteral("files"), it.key(), it.value());
    const QString packed = QStringLiteral("packed");
    const QString key = bigFile + QStringLiteral(".gz");
    if (wrongSumFor.isNull())
        builder.addPackedFile(packed, key, big, bigFile);
    else
        builder.addLine(packed, key, QStringLiteral("%1::%2::%3::%4::%5")
                                         .arg(TestFiles::md5(wrongSumFor)).arg(wrongSumFor.size())
                                         .arg(TestFiles::md5("wrong")).arg(big.size()).arg(bigFile));
    return builder;
}

ReleaseBuilder release(int number, const QByteArray& wrongSumFor = QByteArray())
{
    ReleaseBuilder builder = release(number, version(number), BigFile, wrongSumFor);
    if (number == 2)
        builder.addDeletion(QStringLiteral("data/dropped.txt"));
    return builder;
}

// Variables the program gets besides the test's own.
using Environment = QMap<QString, QString>;

void startRun(UpdateProcess& run, const AppDirectory& app, int version = 2,
              const Environment& environment = {})
{
    for (auto it = environment.cbegin(); it != environment.cend(); ++it)
        run.setEnvironment(it.key(), it.value());
    run.setEnvironment(QStringLiteral("KV_PROBE_ON_SHOW"), QStringLiteral("click startButton"));
    run.setAnswers({QStringLiteral("Ok")});
    run.start(app.program(), {QStringLiteral("client_linux_x86"), QString::number(version)});
}

QString recordedWorkDir(const AppDirectory& app)
{
    const QSettings ini(app.filePath(QStringLiteral("update.ini")), QSettings::IniFormat);
    return ini.value(QStringLiteral("current/dir")).toString();
}

// A failed run: its error box answered, its window closed. False unless it
// rolled back its installation.
bool runAndRollBack(const AppDirectory& app, const Environment& environment = {})
{
    UpdateProcess run;
    startRun(run, app, 2, environment);
    if (!run.waitForEvent(QStringLiteral("box"), 30000))
        return false;
    run.command(QStringLiteral("close"));
    return run.waitForExit()
        && run.events(QStringLiteral("quit")).value(0).value(QLatin1String("log")).toString().contains(
            QLatin1String("rolling back file updates"));
}

// A run that succeeds: its record gone, its window closed.
bool runToTheEnd(const AppDirectory& app, const Environment& environment = {})
{
    UpdateProcess run;
    startRun(run, app, 2, environment);
    if (!QTest::qWaitFor([&] { return recordedWorkDir(app).isEmpty(); }, 30000))
        return false;
    run.command(QStringLiteral("close"));
    return run.waitForExit();
}

// Every file of the installation, links to directories followed, but the
// program, its settings and its record.
Files installedFiles(const QString& root)
{
    Files files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories | QDirIterator::FollowSymlinks);
    while (it.hasNext()) {
        const QString path = QDir(root).relativeFilePath(it.next());
        if (!QStringList{"update", "update.ini", "mirrors.ini"}.contains(path))
            files.insert(path, TestFiles::read(it.filePath()));
    }
    return files;
}

// What differs between the installation and the files expected; empty when
// nothing does.
QString difference(const QString& root, const Files& expected)
{
    const Files installed = installedFiles(root);
    if (installed.keys() != expected.keys())
        return installed.keys().join(QLatin1Char(' ')) + QStringLiteral(" instead of ")
            + expected.keys().join(QLatin1Char(' '));
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (installed.value(it.key()) != it.value())
            return it.key() + QStringLiteral(" differs");
    }
    return QString();
}

} // namespace

// The real update program is killed at random moments of its installation
// step, and each kill is followed by a run that fails inside its
// installation step and rolls back. Every installed file must be whole after
// each of them, its old or its new version; a last good run must reach the
// new version exactly. A failed run leaves every file as it was also where
// a directory of the installation lies on another file system.
// An installation's disk ("first", 256 MiB) and a second one ("second", of
// the size given) for what is linked or mounted into it, both tmpfs.
struct TwoDisks {
    explicit TwoDisks(const QByteArray& secondOptions)
        : first(QStringLiteral("tmpfs"), scratch.filePath("first"), "tmpfs", 0, "size=256m")
        , second(QStringLiteral("tmpfs"), scratch.filePath("second"), "tmpfs", 0, secondOptions)
    {
    }

    QTemporaryDir scratch;
    const ScopedMount first;
    const ScopedMount second;
};

class CrashSafetyTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void killedAndFailingRunsLeaveWholeFiles();
    void failedRunOnTwoDisksLeavesEveryFile_data();
    void failedRunOnTwoDisksLeavesEveryFile();
    void releaseChangingKindsInstalls_data();
    void releaseChangingKindsInstalls();
    void killedRunIsFinishedByTheNext_data();
    void killedRunIsFinishedByTheNext();
    void resumedRunThatCannotRecordItselfKeepsItsDownloads();

private:
    void verifyOldOrNew(const QString& when);

    AppDirectory app;
    const Files oldFiles = version(1);
    const Files newFiles = version(2);
};

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

// Every run here is served by nginx and checks the fixtures' signatures.
void CrashSafetyTest::init()
{
    if (NginxServer::executable().isEmpty())
        QSKIP("nginx is not installed");
    if (!KV_UPDATE_EMBEDS_DEVELOPMENT_KEY)
        QSKIP("the update program embeds another key than the one the fixtures are signed with");
}

void CrashSafetyTest::killedAndFailingRunsLeaveWholeFiles()
{
    const ReleaseBuilder good = release(2);
    const ReleaseBuilder failing = release(2, good.download(QStringLiteral("packed"), BigFile + ".gz"));
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
        startRun(killed, app);
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(oldCopy); }, 30000));
        const int delayMs = int(random.bounded(delayLimitMs));
        QTest::qWait(delayMs);
        killed.kill();
        const QString when = QStringLiteral("trial %1, killed after %2 ms").arg(trial).arg(delayMs);
        verifyOldOrNew(when);
        const QString workDir = recordedWorkDir(app);
        if (QTest::currentTestFailed())
            return;
        if (workDir.isEmpty()) {
            // The run was over before the kill: aim earlier.
            delayLimitMs /= 2;
            continue;
        }

        // A resumed run reuses the product ini in its work directory.
        QVERIFY(failing.writeProductIni(workDir));
        QVERIFY(runAndRollBack(app));
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
    startRun(last, app);
    QVERIFY(QTest::qWaitFor([&] { return recordedWorkDir(app).isEmpty(); }, 30000));
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

void CrashSafetyTest::failedRunOnTwoDisksLeavesEveryFile_data()
{
    QTest::addColumn<bool>("linked");
    QTest::addColumn<int>("failingBigSize");
    // "textures" is a link onto a second tmpfs of 4 MiB, or a bind mount of
    // a directory of the installation's own file system (a mount of its
    // own, which no rename or hard link crosses either).
    QTest::newRow("linked onto another disk, unpacked file fails its check") << true << 0;
    QTest::newRow("linked onto another disk too small for the new file") << true << (6 << 20);
    QTest::newRow("bind mount, unpacked file fails its check") << false << 0;
}

void CrashSafetyTest::failedRunOnTwoDisksLeavesEveryFile()
{
    QFETCH(bool, linked);
    QFETCH(int, failingBigSize);
    const TwoDisks disks("size=4m");
    if (!disks.first.mounted)
        QSKIP(qPrintable("cannot mount a tmpfs here: " + disks.first.error));
    QVERIFY2(disks.second.mounted, qPrintable(disks.second.error));
    const QTemporaryDir& scratch = disks.scratch;
    AppDirectory installation(scratch.filePath("first"));
    QVERIFY(installation.isValid());
    std::unique_ptr<ScopedMount> bound;
    if (linked) {
        QVERIFY(QDir().mkpath(scratch.filePath("second/textures")));
        QVERIFY(QFile::link(scratch.filePath("second/textures"), installation.filePath("textures")));
    } else {
        // Without a mount's number a bind mount looks like its file system.
        // An emulator may claim the number and give none: "/" and "/proc"
        // then seem to be one mount.
        struct statx root;
        struct statx proc;
        if (::statx(AT_FDCWD, "/", 0, STATX_MNT_ID, &root) != 0 || !(root.stx_mask & STATX_MNT_ID)
            || ::statx(AT_FDCWD, "/proc", 0, STATX_MNT_ID, &proc) != 0 || root.stx_mnt_id == proc.stx_mnt_id)
            QSKIP("this kernel does not tell which mount a file lies on");
        QVERIFY(QDir().mkpath(scratch.filePath("first/store")));
        bound = std::make_unique<ScopedMount>(scratch.filePath("first/store"),
                                              installation.filePath("textures"), nullptr, MS_BIND);
        QVERIFY2(bound->mounted, qPrintable(bound->error));
    }

    const QString big = QStringLiteral("textures/big.pak");
    const auto files = [&](int number, int bigSize) {
        return Files{{big, randomBytes(bigSize, quint32(number))},
                     {QStringLiteral("textures/small.txt"), "small " + QByteArray::number(number)},
                     {QStringLiteral("data/readme.txt"), "readme " + QByteArray::number(number)}};
    };
    const Files before = files(1, 1 << 20);
    const Files after = files(2, 1 << 20);
    const ReleaseBuilder good = release(2, after, big);
    const ReleaseBuilder failing = failingBigSize != 0
        ? release(2, files(2, failingBigSize), big)
        : release(2, after, big, good.download(QStringLiteral("packed"), big + ".gz"));
    QTemporaryDir mirrorRoot;
    QVERIFY(good.writeMirror(mirrorRoot.path()) && failing.writeMirror(mirrorRoot.path()));
    NginxServer nginx;
    QVERIFY2(nginx.start(mirrorRoot.path(), QString(), 120), qPrintable(nginx.errorString()));
    QVERIFY(release(1, before, big).install(installation.path()));
    QVERIFY(installation.writeFile(QStringLiteral("mirrors.ini"),
                                   "[mirrors]\nsize=1\n1\\mirror=local\n\n[local]\nurl="
                                       + nginx.baseUrl().toUtf8() + "\n"));

    QVERIFY(runAndRollBack(installation));
    QString differs = difference(installation.path(), before);
    QVERIFY2(differs.isEmpty(), qPrintable("after the failed run: " + differs));

    // The next run resumes in the failed run's work directory.
    QVERIFY(good.writeMirror(mirrorRoot.path()) && good.writeProductIni(recordedWorkDir(installation)));
    QVERIFY(runToTheEnd(installation));
    differs = difference(installation.path(), after);
    QVERIFY2(differs.isEmpty(), qPrintable("after the good run: " + differs));
}

void CrashSafetyTest::releaseChangingKindsInstalls_data()
{
    QTest::addColumn<bool>("toDirectory");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("file becomes a directory") << true << "";
    QTest::newRow("directory becomes a file, its renames refused") << false << "preload";
    QTest::newRow("directory becomes a file, in an overlay") << false << "overlay";
}

// Version 2 turns the file data/x into a directory, or the directory data/d
// into a file, and lists what it replaces for deletion. A directory of an
// overlay's lower layer cannot be renamed (EXDEV); where no overlay can be
// mounted, a preloaded library refuses its renames the same way. A release
// whose new file fails its check leaves every file as it was; the good one
// installs, and leaves no old copy behind.
void CrashSafetyTest::releaseChangingKindsInstalls()
{
    QFETCH(bool, toDirectory);
    QFETCH(QString, refusal);
    const QString changed = toDirectory ? QStringLiteral("data/x/inner.txt") : QStringLiteral("data/d");
    const Files before = toDirectory
        ? Files{{"data/x", "the file x"}, {"data/readme.txt", "readme 1"}}
        : Files{{"data/d/a.txt", "a"}, {"data/d/sub/b.txt", "b"}, {"data/readme.txt", "readme 1"}};
    const Files after{{changed, "now a file of version 2"}, {"data/readme.txt", "readme 2"}};
    ReleaseBuilder good = release(2, after, changed);
    ReleaseBuilder failing = release(2, after, changed, good.download(QStringLiteral("packed"), changed + ".gz"));
    for (const QString& replaced : before.keys().filter(QRegularExpression("^data/[xd]"))) {
        good.addDeletion(replaced, false);
        failing.addDeletion(replaced, false);
    }
    QTemporaryDir mirrorRoot;
    QVERIFY(good.writeMirror(mirrorRoot.path()) && failing.writeMirror(mirrorRoot.path()));
    NginxServer nginx;
    QVERIFY2(nginx.start(mirrorRoot.path(), QString(), 120), qPrintable(nginx.errorString()));
    QTemporaryDir scratch;
    AppDirectory installation(scratch.path());
    QVERIFY(installation.isValid());
    QVERIFY(release(1, before, before.lastKey()).install(installation.path()));
    QVERIFY(installation.writeFile(QStringLiteral("mirrors.ini"),
                                   "[mirrors]\nsize=1\n1\\mirror=local\n\n[local]\nurl="
                                       + nginx.baseUrl().toUtf8() + "\n"));

    // The overlay lies over the installation itself, which is its lower layer.
    std::unique_ptr<ScopedMount> overlay;
    Environment environment;
    if (refusal == QLatin1String("overlay")) {
        QVERIFY(QDir().mkpath(scratch.filePath("upper")) && QDir().mkpath(scratch.filePath("work")));
        overlay = std::make_unique<ScopedMount>(
            "overlay", installation.path(), "overlay", 0,
            QFile::encodeName("lowerdir=" + installation.path() + ",upperdir=" + scratch.filePath("upper")
                              + ",workdir=" + scratch.filePath("work")));
        if (!overlay->mounted)
            QSKIP(qPrintable("cannot mount an overlay here: " + overlay->error));
    } else if (refusal == QLatin1String("preload")) {
        // Beside what the test was given. A sanitized program wants its
        // runtime first; this library does not mind.
        const auto beside = [](const char* name, const QString& value) {
            const QString current = qEnvironmentVariable(name);
            return current.isEmpty() ? value : current + QLatin1Char(':') + value;
        };
        environment.insert("KV_IMMOVABLE_DIRS", installation.filePath("data/d"));
        environment.insert("LD_PRELOAD", beside("LD_PRELOAD", KV_IMMOVABLE_DIRS_LIBRARY));
        environment.insert("ASAN_OPTIONS", beside("ASAN_OPTIONS", "verify_asan_link_order=0"));
    }

    QVERIFY(runAndRollBack(installation, environment));
    QString differs = difference(installation.path(), before);
    QVERIFY2(differs.isEmpty(), qPrintable("after the failed run: " + differs));
    QVERIFY(good.writeMirror(mirrorRoot.path()) && good.writeProductIni(recordedWorkDir(installation)));
    QVERIFY(runToTheEnd(installation, environment));
    differs = difference(installation.path(), after);
    QVERIFY2(differs.isEmpty(), qPrintable("after the good run: " + differs));
}

void CrashSafetyTest::killedRunIsFinishedByTheNext_data()
{
    QTest::addColumn<int>("nextVersion");
    QTest::addColumn<bool>("otherTmpDir");
    QTest::newRow("another version") << 3 << false;
    QTest::newRow("same version from another TMPDIR") << 2 << true;
    QTest::newRow("another version from another TMPDIR") << 3 << true;
}

// A run killed in its installation step leaves old copies in "old" and
// beside the files that lie on a second disk, and its work directory. The
// next run, for another version or from another TMPDIR, ends with every
// file of its version and none of those left anywhere.
void CrashSafetyTest::killedRunIsFinishedByTheNext()
{
    QFETCH(int, nextVersion);
    QFETCH(bool, otherTmpDir);
    const TwoDisks disks("size=16m");
    if (!disks.first.mounted)
        QSKIP(qPrintable("cannot mount a tmpfs here: " + disks.first.error));
    QVERIFY2(disks.second.mounted, qPrintable(disks.second.error));
    const QTemporaryDir& scratch = disks.scratch;
    AppDirectory installation(scratch.filePath("first"));
    QVERIFY(installation.isValid());
    QVERIFY(QDir().mkpath(scratch.filePath("second/textures")));
    QVERIFY(QFile::link(scratch.filePath("second/textures"), installation.filePath("textures")));

    // The packed big file is installed last: the run is killed as it starts.
    // Version 3 changes only that file: the others the killed run installed
    // are current for it, and no later replacement takes their old copies.
    const auto files = [](int number) {
        const QByteArray tag = number == 1 ? "old" : "new";
        return Files{{BigFile, randomBytes(BigSize, quint32(number))},
                     {QStringLiteral("textures/a.pak"), QByteArray(300000, tag.at(0))},
                     {QStringLiteral("textures/b.txt"), "b " + tag},
                     {QStringLiteral("data/readme.txt"), "readme " + tag},
                     {QStringLiteral("data/same.txt"), "unchanged"}};
    };
    QTemporaryDir mirrorRoot;
    QVERIFY(release(2, files(2), BigFile).writeMirror(mirrorRoot.path())
            && release(3, files(3), BigFile).writeMirror(mirrorRoot.path()));
    NginxServer nginx;
    QVERIFY2(nginx.start(mirrorRoot.path(), QString(), 120), qPrintable(nginx.errorString()));
    QVERIFY(release(1, files(1), BigFile).install(installation.path()));
    QVERIFY(installation.writeFile(QStringLiteral("mirrors.ini"),
                                   "[mirrors]\nsize=1\n1\\mirror=local\n\n[local]\nurl="
                                       + nginx.baseUrl().toUtf8() + "\n"));

    UpdateProcess killed;
    killed.setEnvironment(QStringLiteral("KV_PROBE_HOLD_AT"), "add/replace " + BigFile + ".gz");
    startRun(killed, installation);
    QVERIFY(killed.waitForEvent(QStringLiteral("held"), 30000));
    killed.kill();
    const QString killedWorkDir = recordedWorkDir(installation);
    // The file planned just before the big one may not have been kept yet.
    QVERIFY(!QDir(installation.filePath(QStringLiteral("old"))).entryList({QStringLiteral("_old_*")}).isEmpty());
    QVERIFY(!QDir(installation.filePath(QStringLiteral("textures")))
                 .entryList({QStringLiteral(".*.korvalune-old")}, QDir::Files | QDir::Hidden)
                 .isEmpty());
    QVERIFY(QFileInfo(killedWorkDir).isDir());

    QTemporaryDir otherTmp;
    UpdateProcess next;
    if (otherTmpDir)
        next.setEnvironment(QStringLiteral("TMPDIR"), otherTmp.path());
    // The record is gone for a moment while a run for another version
    // replaces it: the run's own last line says when it is over.
    next.setEnvironment(QStringLiteral("KV_PROBE_HOLD_AT"), QStringLiteral("Update successfully finished"));
    startRun(next, installation, nextVersion);
    QVERIFY(next.waitForEvent(QStringLiteral("held"), 30000));
    next.command(QStringLiteral("release"));
    QVERIFY(next.closeWindow());
    QCOMPARE(recordedWorkDir(installation), QString());
    const QString differs = difference(installation.path(), files(nextVersion));
    QVERIFY2(differs.isEmpty(), qPrintable(differs));
    QVERIFY(!QFileInfo::exists(killedWorkDir));
    for (const QString& tmp : {QDir::tempPath(), otherTmp.path()})
        QCOMPARE(QDir(tmp).entryList({QStringLiteral("korvalune_temp_*")}, QDir::AllEntries), QStringList());
}

// The earlier run's record names a work directory with its downloads; the
// run that resumes it cannot write update.ini (read-only in the test's own
// mount namespace). It stops before it fetches anything, and the downloads
// stay for a later run that can record itself.
void CrashSafetyTest::resumedRunThatCannotRecordItselfKeepsItsDownloads()
{
    if (!PrivateMounts::unavailableReason().isEmpty())
        QSKIP(qPrintable(PrivateMounts::unavailableReason()));
    const QString workDir = QDir::tempPath() + QStringLiteral("/korvalune_temp_5");
    QVERIFY(QDir().mkdir(workDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const auto removeWorkDir = qScopeGuard([&] { QDir(workDir).removeRecursively(); });
    ReleaseBuilder downloaded(QStringLiteral("client_linux_x86"), 2);
    downloaded.addFile(QStringLiteral("files"), QStringLiteral("data/readme.txt"), "readme 2");
    QVERIFY(downloaded.writeProductIni(workDir) && downloaded.writeWorkCopies(workDir));
    QVERIFY(app.isValid());
    QVERIFY(app.writeFile(QStringLiteral("mirrors.ini"),
                          "[mirrors]\nsize=1\n1\\mirror=local\n\n[local]\nurl=http://127.0.0.1:9/\n"));
    const QString updateIni = app.filePath(QStringLiteral("update.ini"));
    {
        QSettings record(updateIni, QSettings::IniFormat);
        record.setValue(QStringLiteral("current/version"), 2);
        record.setValue(QStringLiteral("current/dir"), workDir);
        record.setValue(QStringLiteral("current/type"), QStringLiteral("client_linux_x86"));
    }
    PrivateMounts mounts;
    QVERIFY2(mounts.makeReadOnly(updateIni), qPrintable(mounts.errorString()));
    UpdateProcess run;
    startRun(run, app);
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitCode(), 2);
    QVERIFY(run.events(QStringLiteral("box")).value(0).value(QLatin1String("text")).toString().startsWith(
        QLatin1String("Unable to write")));
    QCOMPARE(TestFiles::read(workDir + QStringLiteral("/data/readme.txt")), QByteArray("readme 2"));
}

static TestRegistration registration("CrashSafetyTest", [] { return new CrashSafetyTest; });
#include "tst_crashsafety.moc"
