#include "testregistry.h"

#include "appdirectory.h"
#include "nginxserver.h"
#include "releasebuilder.h"
#include "testfiles.h"
#include "updateprocess.h"

#include <QDir>
#include <QDirIterator>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

const QString ClientType = QStringLiteral("client_linux_x86");
const QString Packed = QStringLiteral("packed");
const QString PackedKey = QStringLiteral("lib/libbig.so.gz");
const QString BigFile = QStringLiteral("lib/libbig.so");

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

// One version of the client: installed path -> content.
using Files = QMap<QString, QByteArray>;

ReleaseBuilder release(int version, const Files& files)
{
    ReleaseBuilder builder(ClientType, version);
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (it.key() == BigFile)
            builder.addPackedFile(Packed, PackedKey, it.value(), BigFile);
        else
            builder.addFile(QStringLiteral("files"), it.key(), it.value());
    }
    return builder;
}

} // namespace

// The real update program is killed at random moments of its installation
// step; each kill is followed by a run that fails inside its installation
// step. Every installed file must be whole after each of them, its old or
// its new version, and a last good run must reach the new version exactly.
class CrashSafetyTest : public QObject
{
    Q_OBJECT

private slots:
    void killedAndFailingRunsLeaveWholeFiles();

private:
    void startRun(UpdateProcess& run);
    void verifyOldOrNew(const QString& when);
    QString recordedWorkDir() const;

    std::unique_ptr<AppDirectory> app;
    Files oldFiles;
    Files newFiles;
};

void CrashSafetyTest::startRun(UpdateProcess& run)
{
    run.setEnvironment(QStringLiteral("KV_PROBE_ON_SHOW"), QStringLiteral("click startButton"));
    run.setAnswers({QStringLiteral("Ok")});
    run.start(app->program(), {ClientType, QStringLiteral("2")});
}

// Every file of either version is byte for byte its old or its new version
// (absent where that version has none), and no temporary file is left.
void CrashSafetyTest::verifyOldOrNew(const QString& when)
{
    QStringList paths = oldFiles.keys() + newFiles.keys();
    paths.removeDuplicates();
    for (const QString& path : std::as_const(paths)) {
        const QByteArray content = TestFiles::read(app->filePath(path));
        const bool isOld = content == oldFiles.value(path, TestFiles::Missing);
        const bool isNew = content == newFiles.value(path, TestFiles::Missing);
        QVERIFY2(isOld || isNew, qPrintable(QStringLiteral("%1: %2 is neither version (%3 bytes)")
                                                .arg(when, path).arg(content.size())));
    }
}

QString CrashSafetyTest::recordedWorkDir() const
{
    QSettings settings(app->filePath(QStringLiteral("update.ini")), QSettings::IniFormat);
    return settings.value(QStringLiteral("current/dir")).toString();
}

void CrashSafetyTest::killedAndFailingRunsLeaveWholeFiles()
{
    if (NginxServer::executable().isEmpty())
        QSKIP("nginx is not installed");
    if (!KV_UPDATE_EMBEDS_DEVELOPMENT_KEY)
        QSKIP("the update program embeds another key than the one the fixtures are signed with");

    constexpr int BigSize = 24 * 1024 * 1024;
    oldFiles = {{BigFile, randomBytes(BigSize, 1)},
                {QStringLiteral("kv3client_linux_x86"), "client 1\n"},
                {QStringLiteral("data/readme.txt"), "readme 1\n"},
                {QStringLiteral("data/maps/a.pak"), QByteArray(300000, 'a')},
                {QStringLiteral("data/same.txt"), "unchanged\n"},
                {QStringLiteral("data/dropped.txt"), "only in 1\n"}};
    newFiles = {{BigFile, randomBytes(BigSize, 2)},
                {QStringLiteral("kv3client_linux_x86"), "client 2\n"},
                {QStringLiteral("data/readme.txt"), "readme 2\n"},
                {QStringLiteral("data/maps/a.pak"), QByteArray(300000, 'b')},
                {QStringLiteral("data/same.txt"), "unchanged\n"},
                {QStringLiteral("data/maps/b.pak"), "new in 2\n"}};
    ReleaseBuilder good = release(2, newFiles);
    good.addDeletion(QStringLiteral("data/dropped.txt"));

    // The same release, but the unpacked large file's sum is wrong: the
    // download passes its check, the installation fails on the unpacked file
    // and rolls back.
    Files otherFiles = newFiles;
    otherFiles.remove(BigFile);
    ReleaseBuilder failing = release(2, otherFiles);
    failing.addDeletion(QStringLiteral("data/dropped.txt"));
    const QByteArray download = good.download(Packed, PackedKey);
    failing.addLine(Packed, PackedKey,
                    QStringLiteral("%1::%2::%3::%4::%5")
                        .arg(TestFiles::md5(download))
                        .arg(download.size())
                        .arg(TestFiles::md5("not the content"))
                        .arg(BigSize)
                        .arg(BigFile));

    QTemporaryDir mirrorRoot;
    QVERIFY(good.writeMirror(mirrorRoot.path()));
    NginxServer nginx;
    QVERIFY2(nginx.start(mirrorRoot.path(), QString(), 120), qPrintable(nginx.errorString()));

    app = std::make_unique<AppDirectory>();
    QVERIFY(app->isValid());
    QVERIFY(release(1, oldFiles).install(app->path()));
    QVERIFY(app->writeFile(QStringLiteral("mirrors.ini"),
                           "[mirrors]\nsize=1\n1\\mirror=local\n\n[local]\nurl=" + nginx.baseUrl().toUtf8() + "\n"));

    const quint32 seed = QRandomGenerator::global()->generate();
    qInfo("random seed %u", seed);
    QRandomGenerator random(seed);
    const QString oldCopy = app->filePath(QStringLiteral("old/_old_libbig.so"));
    int delayLimitMs = 200;
    for (int trial = 1; trial <= 4; ++trial) {
        // Each killed run has the large file to install again.
        if (TestFiles::read(app->filePath(BigFile)) != oldFiles.value(BigFile))
            QVERIFY(TestFiles::write(app->filePath(BigFile), oldFiles.value(BigFile)));
        QVERIFY(!QFileInfo::exists(oldCopy));

        UpdateProcess killed;
        startRun(killed);
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(oldCopy); }, 30000));
        const int delayMs = int(random.bounded(delayLimitMs));
        QTest::qWait(delayMs);
        killed.kill();
        const QString afterKill = QStringLiteral("trial %1, killed after %2 ms").arg(trial).arg(delayMs);
        verifyOldOrNew(afterKill);
        if (QTest::currentTestFailed())
            return;
        const QString workDir = recordedWorkDir();
        if (workDir.isEmpty()) {
            // The run ended before the kill; aim earlier.
            delayLimitMs /= 2;
            --trial;
            continue;
        }

        QVERIFY(failing.writeProductIni(workDir));
        UpdateProcess failed;
        startRun(failed);
        QVERIFY(failed.waitForEvent(QStringLiteral("box"), 30000));
        failed.command(QStringLiteral("close"));
        QVERIFY(failed.waitForExit());
        const QList<QJsonObject> quit = failed.events(QStringLiteral("quit"));
        QCOMPARE(quit.size(), 1);
        QVERIFY2(quit.first().value(QLatin1String("log")).toString().contains(QLatin1String("rolling back file updates")),
                 qPrintable(quit.first().value(QLatin1String("log")).toString()));
        verifyOldOrNew(afterKill + QStringLiteral(", then a failing run"));
        if (QTest::currentTestFailed())
            return;
        QDirIterator leftovers(app->path(), {QStringLiteral("*.korvalune-new")},
                               QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        QVERIFY2(!leftovers.hasNext(), qPrintable(leftovers.hasNext() ? leftovers.next() : QString()));
        QVERIFY(good.writeProductIni(workDir));
    }

    UpdateProcess last;
    startRun(last);
    QVERIFY(QTest::qWaitFor([&] { return recordedWorkDir().isEmpty(); }, 30000));
    last.command(QStringLiteral("close"));
    QVERIFY(last.waitForExit());
    QCOMPARE(last.exitCode(), 0);

    Files installed;
    QDirIterator it(app->path(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = QDir(app->path()).relativeFilePath(it.next());
        if (path != QLatin1String("update") && path != QLatin1String("update.ini")
            && path != QLatin1String("mirrors.ini"))
            installed.insert(path, TestFiles::read(it.filePath()));
    }
    QCOMPARE(installed.keys(), newFiles.keys());
    QVERIFY(installed == newFiles);
}

static TestRegistration registration("CrashSafetyTest", [] { return new CrashSafetyTest; });
#include "tst_crashsafety.moc"
