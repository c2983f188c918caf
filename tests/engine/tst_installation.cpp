#include "testregistry.h"

#include "appdirscratch.h"
#include "configuration.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "filereplacetaskspecification.h"
#include "filespecifications.h"
#include "installationrecord.h"
#include "siblingname.h"
#include "slowfileopspecification.h"
#include "taskrun.h"
#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QScopeGuard>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

QString appRoot()
{
    return Configuration::getAppRootPath();
}

// Every file starts as 0644 whatever the umask: the cases check the modes the
// installation gives its files.
bool writeFile(const QString& path, const QByteArray& content)
{
    const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
        | QFile::WriteUser | QFile::ReadGroup | QFile::ReadOther;
    return TestFiles::write(path, content) && QFile::setPermissions(path, mode);
}

int modeOf(const QString& path)
{
    struct stat info;
    if (stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

QByteArray bigContent(const QByteArray& tag, int size = 16 * 1024 * 1024)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(quint32(qHash(tag)));
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    return tag + bytes;
}

// Accented letters, two bytes each in UTF-8, to give a name a length in
// bytes; the scratch token ("%1") has six.
QString filler(int bytes)
{
    return QString(bytes / 2, QChar(0x00E9)) + QString(bytes % 2, QLatin1Char('k'));
}

FileReplaceSpecification record(const QString& fileName, const QString& unzipDest = QString(),
                                const QString& md5 = QString())
{
    FileReplaceSpecification spec;
    spec.section = QStringLiteral("files");
    spec.fileName = fileName;
    spec.md5 = md5;
    spec.unzipDest = unzipDest;
    return spec;
}

} // namespace

class InstallationTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void installOneFile_data();
    void installOneFile();
    void executableRule_data();
    void executableRule();
    void failedFileUndoesTheStep_data();
    void failedFileUndoesTheStep();
    void fileFailsWhileNextOneCopies();
    void userAbortMidStep();
    void resetMidUnpackRestoresTheOriginal();
    void sameBareNamePair_data();
    void sameBareNamePair();
    void refusesPathsOutside_data();
    void refusesPathsOutside();
    void resumeAfterAKill_data();
    void resumeAfterAKill();
    void leftoversOfEarlierRuns();
    void kindChange_data();
    void kindChange();
    void earlierRunUndone_data();
    void earlierRunUndone();
    void directoryTurnedIntoFileThenChanged();
    void oldCopyNameMadeAgainBelongsToTheNewFile();

private:
    // Paths of the case's scratch directory, relative to the application
    // directory; "%1" becomes the scratch directory's token.
    QString rel(const QString& path) const { return scratch->rel(path); }
    static QString installed(const QString& relative) { return AppDirScratch::installed(relative); }
    QString download(const QString& fileName) const { return work->path() + QLatin1Char('/') + fileName; }
    static QString oldCopyName(const QString& bareName) { return "old/" + taggedName("_old_", bareName, ""); }
    static QString oldCopy(const QString& bareName) { return installed(oldCopyName(bareName)); }
    QMap<QString, QByteArray> snapshot() const;

    std::unique_ptr<AppDirScratch> scratch;
    std::unique_ptr<QTemporaryDir> work;
    QList<QString> directoryDeletions;
    Configuration config;
    QString area;
    QString token;
};

void InstallationTest::init()
{
    scratch = std::make_unique<AppDirScratch>(QStringLiteral("installtest"));
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid() && work->isValid());
    area = scratch->name();
    token = scratch->token();
    config.tempDir = work->path();
    directoryDeletions.clear();
}

void InstallationTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
    scratch.reset();
    work.reset();
}

// Every file and directory of the scratch tree and of the case's old copies,
// with the files' contents.
QMap<QString, QByteArray> InstallationTest::snapshot() const
{
    QMap<QString, QByteArray> entries;
    const QDir root(appRoot());
    const auto add = [&](const QString& path) {
        entries.insert(root.relativeFilePath(path),
                       QFileInfo(path).isDir() ? QByteArray("<dir>") : TestFiles::read(path));
    };
    QStringList tops{installed(area)};
    for (const QString& entry : scratch->newOldEntries())
        tops << installed("old/" + entry);
    for (const QString& top : std::as_const(tops)) {
        add(top);
        QDirIterator it(top, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            add(it.next());
    }
    return entries;
}

// "progress" is the step's progress after each of its sub-tasks: a
// missing directory takes 0.1, the files share the rest, and a file's own
// steps weigh 0.1 (deleting a stale old copy), 0.1 (keeping the installed
// file), 0.2 (checking an unpacked file) and the rest for the copy or the
// unpacking.
void InstallationTest::installOneFile_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("targetExists");
    QTest::addColumn<bool>("staleOldCopy");
    QTest::addColumn<bool>("unzip");
    QTest::addColumn<bool>("listed");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QList<double>>("progress");

    QTest::newRow("new file") << "docs/readme-%1.txt" << false << false << false << false << 0644
                              << QList<double>{0.1, 1.0};
    QTest::newRow("new file, unpacked") << "lib/libn-%1.so" << false << false << true << false << 0755
                                        << QList<double>{0.1, 0.82, 1.0};
    QTest::newRow("replaced library") << "plugins/libx-%1.so" << true << false << false << true << 0755
                                      << QList<double>{0.1, 1.0};
    QTest::newRow("replaced library, unpacked")
        << "plugins/liby-%1.so" << true << false << true << true << 0755 << QList<double>{0.1, 0.8, 1.0};
    QTest::newRow("stale old copy deleted first")
        << "data-%1.txt" << true << true << false << true << 0644 << QList<double>{0.1, 0.2, 1.0};
    QTest::newRow("special file keeps its old copy")
        << "libQtCore.so.4" << true << false << false << false << 0755 << QList<double>{0.1, 1.0};
    QTest::newRow("old copy without a target is left alone")
        << "notes-%1.txt" << false << true << false << false << 0644 << QList<double>{1.0};
    QTest::newRow("replaced file, 250-byte name")
        << filler(239) + "-%1.txt" << true << false << false << true << 0644 << QList<double>{0.1, 1.0};
    QTest::newRow("255-byte name, stale old copy deleted first")
        << filler(245) + "-%1.so" << true << true << false << true << 0755 << QList<double>{0.1, 0.2, 1.0};
}

void InstallationTest::installOneFile()
{
    QFETCH(QString, path);
    QFETCH(bool, targetExists);
    QFETCH(bool, staleOldCopy);
    QFETCH(bool, unzip);
    QFETCH(bool, listed);
    QFETCH(int, mode);
    QFETCH(QList<double>, progress);

    const QString target = rel(path);
    const QString bareName = QFileInfo(target).fileName();
    QVERIFY2(!QFileInfo::exists(oldCopy(bareName)), "an old copy of that name already exists");
    if (targetExists)
        QVERIFY(writeFile(installed(target), "installed version\n"));
    if (staleOldCopy)
        QVERIFY(writeFile(oldCopy(bareName), "left by an earlier run\n"));

    const QByteArray content("new version\n");
    QList<FileReplaceSpecification> replacements;
    if (unzip) {
        QVERIFY(TestFiles::writeGzip(download("pkg/" + bareName + ".gz"), content));
        replacements << record("pkg/" + bareName + ".gz", target, TestFiles::md5(content));
    } else {
        QVERIFY(writeFile(download(target), content));
        replacements << record(target);
    }
    QList<QString> deletions;
    FileReplaceListTaskSpecification step(&replacements, &deletions, &directoryDeletions, &config, nullptr, 0.4);
    QList<double> seen;
    connect(&step, &TaskSpecification::updateProgress, &step, [&](qreal value) {
        const double rounded = qRound(value / 0.4 * 1000) / 1000.0;
        if (rounded > 0.0 && !seen.contains(rounded))
            seen << rounded;
    });

    TaskRun run(step);
    QCOMPARE(run.run(), int(TaskState::Finished));
    QCOMPARE(run.messages,
             QStringList({"Starting file updates", "add/replace " + replacements.first().fileName}));
    QCOMPARE(seen, progress);
    QCOMPARE(TestFiles::read(installed(target)), content);
    QCOMPARE(modeOf(installed(target)), mode);
    if (targetExists)
        QCOMPARE(TestFiles::read(oldCopy(bareName)), QByteArray("installed version\n"));
    else if (staleOldCopy)
        QCOMPARE(TestFiles::read(oldCopy(bareName)), QByteArray("left by an earlier run\n"));
    else
        QVERIFY(!QFileInfo::exists(oldCopy(bareName)));
    QCOMPARE(deletions, listed ? QList<QString>{oldCopyName(bareName)} : QList<QString>{});
}

void InstallationTest::executableRule_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("mode");

    for (const char* name : {"kv3client_linux_x86", "kv3client_linux_amd64", "kv3client_runscript.sh",
                             "update", "error_report", "package_inst", "libfoo.so", "libQtGui.so.4"})
        QTest::newRow(name) << QString::fromLatin1(name) << 0755;
    for (const char* name : {"readme.txt", "libfoo.so.1", "libfoo.so.4.8", "my.plugin.so", "Update",
                             "update.sh", "so"})
        QTest::newRow(name) << QString::fromLatin1(name) << 0644;
}

void InstallationTest::executableRule()
{
    QFETCH(QString, name);
    QFETCH(int, mode);

    const QString path = installed(rel(name));
    QVERIFY(writeFile(path, "content"));
    FileReplaceTaskSpecification::makeSingleFileExecutable(path);
    QCOMPARE(modeOf(path), mode);
}

namespace {
enum class Failure {
    UnpackedMd5Wrong,
    BrokenGzip,
    DownloadMissing,
    DirectoryUncreatable
};
}
Q_DECLARE_METATYPE(Failure)

void InstallationTest::failedFileUndoesTheStep_data()
{
    QTest::addColumn<Failure>("failure");
    QTest::newRow("unpacked file fails its check") << Failure::UnpackedMd5Wrong;
    QTest::newRow("truncated gzip") << Failure::BrokenGzip;
    QTest::newRow("download missing") << Failure::DownloadMissing;
    QTest::newRow("directory cannot be made") << Failure::DirectoryUncreatable;
}

// Whatever fails, the step leaves the tree as it found it: replaced files
// are back, new files and new directories are gone, nothing half-written
// stays anywhere.
void InstallationTest::failedFileUndoesTheStep()
{
    QFETCH(Failure, failure);

    QList<FileReplaceSpecification> replacements;
    QVERIFY(writeFile(installed(rel("keep-%1.txt")), "installed keep\n"));
    QVERIFY(writeFile(download(rel("keep-%1.txt")), "new keep\n"));
    replacements << record(rel("keep-%1.txt"));
    QVERIFY(writeFile(download(rel("fresh/deep/new-%1.txt")), "new file\n"));
    replacements << record(rel("fresh/deep/new-%1.txt"));

    const QString failing = rel("fail-%1.so");
    QVERIFY(writeFile(installed(failing), "installed fail\n"));
    QString expected;
    switch (failure) {
    case Failure::UnpackedMd5Wrong:
        QVERIFY(TestFiles::writeGzip(download("pkg/fail.gz"), "unpacked but wrong\n"));
        replacements << record("pkg/fail.gz", failing, TestFiles::md5("something else"));
        expected = QStringLiteral("Signature check failed for %1").arg(installed(failing));
        break;
    case Failure::BrokenGzip: {
        QVERIFY(TestFiles::writeGzip(download("pkg/fail.gz"),
                                     bigContent("truncated", 1024 * 1024)));
        QFile gz(download("pkg/fail.gz"));
        QVERIFY(gz.resize(gz.size() / 2));
        replacements << record("pkg/fail.gz", failing, TestFiles::md5("irrelevant"));
        expected = QStringLiteral("Could not unzip '%1' to '%2'")
                       .arg(download("pkg/fail.gz"), installed(failing));
        break;
    }
    case Failure::DownloadMissing:
        replacements << record(failing);
        expected = QStringLiteral("Could not copy '%1' to '%2'")
                       .arg(download(failing), installed(failing));
        break;
    case Failure::DirectoryUncreatable: {
        const QString tooLong = installed(rel(QString(300, QLatin1Char('n'))));
        QVERIFY(TestFiles::writeGzip(download("pkg/inner.gz"), "new inner\n"));
        replacements << record("pkg/inner.gz", QDir(appRoot()).relativeFilePath(tooLong + "/inner.txt"),
                               TestFiles::md5("new inner\n"));
        expected = QStringLiteral("unable to create dir %1").arg(tooLong);
        break;
    }
    }
    const QMap<QString, QByteArray> before = snapshot();
    QList<QString> deletions;
    FileReplaceListTaskSpecification step(&replacements, &deletions, &directoryDeletions, &config, nullptr, 0.4);

    TaskRun run(step);
    QCOMPARE(run.run(), int(TaskState::ErrorCanceled));
    QVERIFY2(run.messages.contains(expected), qPrintable(run.messages.join('\n')));
    QCOMPARE(run.messages.count("rolling back file updates"), 1);
    QCOMPARE(run.messages.last(), QStringLiteral("rolling back file updates"));
    QCOMPARE(snapshot(), before);
}

// The step's directory task ends within its own start, so the file after the
// failing one starts on the next turn: the failure, which needs 16 MiB
// written and hashed first, comes while that file is being copied, whatever
// the load of the machine. The copied file is undone with the directory.
void InstallationTest::fileFailsWhileNextOneCopies()
{
    QList<FileReplaceSpecification> replacements;
    // Not gzip: unpacking passes it through, and its check fails.
    QVERIFY(writeFile(installed(rel("second-%1.so")), "installed second\n"));
    QVERIFY(writeFile(download("pkg/second"), bigContent("second")));
    replacements << record("pkg/second", rel("second-%1.so"), TestFiles::md5("not this"));
    QVERIFY(writeFile(download(rel("made/third-%1.bin")), bigContent("third")));
    replacements << record(rel("made/third-%1.bin"));

    const QMap<QString, QByteArray> before = snapshot();
    QList<QString> deletions;
    FileReplaceListTaskSpecification step(&replacements, &deletions, &directoryDeletions, &config, nullptr, 0.4);
    TaskRun run(step);
    QCOMPARE(run.run(), int(TaskState::ErrorCanceled));
    QVERIFY(run.messages.contains("add/replace " + rel("made/third-%1.bin")));
    QVERIFY(run.messages.contains("Signature check failed for " + installed(rel("second-%1.so"))));
    QCOMPARE(run.messages.count("rolling back file updates"), 1);
    QCOMPARE(run.messages.last(), QStringLiteral("rolling back file updates"));
    QCOMPARE(snapshot(), before);
}

void InstallationTest::userAbortMidStep()
{
    QList<FileReplaceSpecification> replacements;
    for (const char* name : {"one-%1.bin", "two-%1.bin", "three-%1.bin"}) {
        const QString path = rel(QString::fromLatin1(name));
        QVERIFY(writeFile(installed(path), "installed " + path.toUtf8()));
        QVERIFY(writeFile(download(path), bigContent(path.toUtf8())));
        replacements << record(path);
    }
    const QMap<QString, QByteArray> before = snapshot();
    QList<QString> deletions;
    FileReplaceListTaskSpecification step(&replacements, &deletions, &directoryDeletions, &config, nullptr, 0.4);
    TaskRun run(step);
    step.execute();
    QVERIFY(run.waitFor([&] { return QFileInfo::exists(oldCopy("one-" + token + ".bin")); }));
    step.userCanceled();
    run.waitFor([] { return false; });

    QCOMPARE(run.state(), int(TaskState::UserCanceled));
    QCOMPARE(run.messages.count("rolling back file updates"), 1);
    QVERIFY(!run.messages.contains("add/replace " + rel("three-%1.bin")));
    QCOMPARE(snapshot(), before);
}

// A reset undoes the step even while a file is still being unpacked: what the
// unpacking writes must not stay in place of the original.
void InstallationTest::resetMidUnpackRestoresTheOriginal()
{
    QList<FileReplaceSpecification> replacements;
    const QString big = rel("big-%1.so");
    QVERIFY(writeFile(installed(big), "installed big\n"));
    // Not gzip: unpacking passes it through.
    QVERIFY(writeFile(download("pkg/big"), bigContent("big")));
    replacements << record("pkg/big", big, TestFiles::md5(bigContent("big")));
    QVERIFY(writeFile(download(rel("added/new-%1.txt")), "new\n"));
    replacements << record(rel("added/new-%1.txt"));

    const QMap<QString, QByteArray> before = snapshot();
    QList<QString> deletions;
    FileReplaceListTaskSpecification step(&replacements, &deletions, &directoryDeletions, &config, nullptr, 0.4);
    TaskRun run(step);
    step.execute();
    QVERIFY(run.waitFor([&] {
        return QFileInfo::exists(oldCopy("big-" + token + ".so")) && QFileInfo::exists(installed(big));
    }));
    step.reset();

    QCOMPARE(step.state, int(TaskState::Idle));
    QCOMPARE(snapshot(), before);
    QThreadPool::globalInstance()->waitForDone();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QVERIFY(!run.ended());
    QCOMPARE(snapshot(), before);
}

void InstallationTest::sameBareNamePair_data()
{
    QTest::addColumn<bool>("staleOldCopy");
    QTest::addColumn<bool>("laterFileFails");
    QTest::addColumn<QString>("stem");
    QTest::newRow("installed") << false << false << "x";
    QTest::newRow("installed over a stale old copy") << true << false << "x";
    QTest::newRow("rolled back") << false << true << "x";
    QTest::newRow("rolled back after deleting a stale old copy") << true << true << "x";
    QTest::newRow("250-byte names, installed") << false << false << filler(240);
}

// a/x.so and b/x.so have the same old-copy name: each original must survive
// in an old copy of its own, and come back on a rollback.
void InstallationTest::sameBareNamePair()
{
    QFETCH(bool, staleOldCopy);
    QFETCH(bool, laterFileFails);
    QFETCH(QString, stem);

    const QString bareName = stem + "-" + token + ".so";
    const QString numberedCopy = "old/" + taggedName("_old_2_", bareName, "");
    QList<FileReplaceSpecification> replacements;
    // The small file between them lets b be planned only after a has been
    // moved aside, when a's old copy looks like a leftover.
    for (const QString& dir : {QStringLiteral("a"), QStringLiteral("between"), QStringLiteral("b")}) {
        const QString path = rel(dir + "/" + stem + "-%1.so");
        if (dir != QLatin1String("between"))
            QVERIFY(writeFile(installed(path), "installed " + dir.toUtf8()));
        QVERIFY(writeFile(download(path), "new " + dir.toUtf8()));
        replacements << record(path);
    }
    if (staleOldCopy)
        QVERIFY(writeFile(oldCopy(bareName), "left by an earlier run\n"));
    if (laterFileFails) {
        QVERIFY(TestFiles::writeGzip(download("pkg/c.gz"), "unpacked but wrong\n"));
        replacements << record("pkg/c.gz", rel("c-%1.so"), TestFiles::md5("something else"));
    }

    QMap<QString, QByteArray> before = snapshot();
    QList<QString> deletions;
    FileReplaceListTaskSpecification step(&replacements, &deletions, &directoryDeletions, &config, nullptr, 0.4);
    const int state = TaskRun(step).run();
    if (laterFileFails) {
        QCOMPARE(state, int(TaskState::ErrorCanceled));
        // Deleting a stale copy is the one change a rollback cannot undo.
        before.remove(oldCopyName(bareName));
        QCOMPARE(snapshot(), before);
        return;
    }
    QCOMPARE(state, int(TaskState::Finished));
    QCOMPARE(TestFiles::read(installed(rel("a/" + bareName))), QByteArray("new a"));
    QCOMPARE(TestFiles::read(installed(rel("b/" + bareName))), QByteArray("new b"));
    QCOMPARE(TestFiles::read(oldCopy(bareName)), QByteArray("installed a"));
    QCOMPARE(TestFiles::read(installed(numberedCopy)), QByteArray("installed b"));
    QStringList listed = deletions;
    listed.sort();
    QCOMPARE(listed, QStringList({numberedCopy, oldCopyName(bareName)}));
}

void InstallationTest::refusesPathsOutside_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("unzipDest");
    QTest::addColumn<QString>("message");

    // %1: the victim relative to the application directory, %2: its
    // absolute path, %3: relative to the work directory, %4: the scratch
    // directory.
    const QString leavesRoot = "Refusing to install '%1': the path leaves the application directory";
    QTest::newRow("target above the application directory")
        << "%1" << QString() << leavesRoot.arg("%1");
    QTest::newRow("absolute unpack target") << "pkg/v.gz" << "%2" << leavesRoot.arg("%2");
    QTest::newRow("unpack target climbing out of a subdirectory")
        << "pkg/v.gz" << "sub/../%1" << leavesRoot.arg("sub/../%1");
    QTest::newRow("unpack target is the application directory")
        << "pkg/v.gz" << "." << leavesRoot.arg(".");
    QTest::newRow("download outside the work directory")
        << "%3" << "%4/inside.so" << "Refusing to install '%3': the path leaves the work directory";
}

// Nothing at all is done, not even for the harmless records before it.
void InstallationTest::refusesPathsOutside()
{
    QFETCH(QString, fileName);
    QFETCH(QString, unzipDest);
    QFETCH(QString, message);

    QTemporaryDir outside;
    const QString victim = outside.path() + "/victim.so";
    QVERIFY(writeFile(victim, "not ours"));
    const QString fromRoot = QDir(appRoot()).relativeFilePath(victim);
    const QString fromWork = QDir(work->path()).relativeFilePath(victim);
    const auto fill = [&](const QString& text) {
        return QString(text)
            .replace("%1", fromRoot)
            .replace("%2", victim)
            .replace("%3", fromWork)
            .replace("%4", area);
    };

    QList<FileReplaceSpecification> replacements;
    QVERIFY(writeFile(download(rel("fresh/new-%1.txt")), "new\n"));
    replacements << record(rel("fresh/new-%1.txt"));
    QVERIFY(TestFiles::writeGzip(download("pkg/v.gz"), "hostile"));
    replacements << record(fill(fileName), unzipDest.isEmpty() ? QString() : fill(unzipDest),
                           TestFiles::md5("hostile"));
    QList<QString> deletions;
    FileReplaceListTaskSpecification step(&replacements, &deletions, &directoryDeletions, &config, nullptr, 0.4);

    TaskRun run(step);
    QCOMPARE(run.run(), int(TaskState::ErrorCanceled));
    QCOMPARE(run.messages, QStringList({"Starting file updates", fill(message)}));
    QCOMPARE(TestFiles::read(victim), QByteArray("not ours"));
    QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{"victim.so"});
    QVERIFY(!QFileInfo::exists(installed(rel("fresh"))));
    QVERIFY(!QFileInfo::exists(installed(area + "/inside.so")));
    QVERIFY(deletions.isEmpty());
}

void InstallationTest::resumeAfterAKill_data()
{
    QTest::addColumn<QString>("target");
    // The old copy, relative to the application directory: %1 and %2 the
    // first and the second name in "old", %3 the file's directory, %4 the
    // name beside the file.
    QTest::addColumn<QString>("oldCopy");
    QTest::addColumn<bool>("fails");
    QTest::addColumn<QString>("stem");
    // The kept original is a directory the new version turns into a file.
    QTest::addColumn<bool>("keptDirectory");
    for (const char* name : {"original", "broken", "missing"}) {
        const QString target = QString::fromLatin1(name);
        QTest::addRow("target %s, installed", name) << target << "old/%1" << false << "k" << false;
        QTest::addRow("target %s, rolled back", name) << target << "old/%1" << true << "k" << false;
    }
    // Killed after the directory had its old copy, before or while its
    // original was removed.
    QTest::newRow("directory kept, installed") << "missing" << "old/%1" << false << "k" << true;
    QTest::newRow("directory kept, rolled back") << "missing" << "old/%1" << true << "k" << true;
    QTest::newRow("directory kept, what is left of it in its place, installed")
        << "remains" << "old/%1" << false << "k" << true;
    QTest::newRow("directory kept, what is left of it in its place, rolled back")
        << "remains" << "old/%1" << true << "k" << true;
    // The name a file with the same bare name as another one gets.
    QTest::newRow("numbered old copy, rolled back") << "broken" << "old/%2" << true << "k" << false;
    // The name beside a file that "old" cannot reach without a copy.
    QTest::newRow("copy beside the file, installed") << "original" << "%3/%4" << false << "k" << false;
    QTest::newRow("copy beside the file, rolled back") << "broken" << "%3/%4" << true << "k" << false;
    // Old copy and temporary file of a 255-byte name both have the short form.
    QTest::newRow("255-byte name, installed") << "broken" << "old/%1" << false << filler(245) << false;
    QTest::newRow("255-byte name, numbered old copy, rolled back") << "original" << "old/%2" << true << filler(245) << false;
}

// An earlier run in this work directory kept the original (in old/ or beside
// the file) and was killed. The target may be the original still (a second
// name of the same file), anything else, or gone: the old copy is never
// deleted, it is the file's old copy again, and a rollback puts it back. The
// killed run's temporary file is removed, never installed.
void InstallationTest::resumeAfterAKill()
{
    QFETCH(QString, target);
    QFETCH(QString, oldCopy);
    QFETCH(bool, fails);
    QFETCH(QString, stem);
    QFETCH(bool, keptDirectory);

    const QString name = stem + "-" + token + ".so";
    const QString path = rel(name);
    const QString keptName = QString(oldCopy)
                                 .replace("%1", FileReplaceSpecification::oldCopyFileName(name, false, 1))
                                 .replace("%2", FileReplaceSpecification::oldCopyFileName(name, false, 2))
                                 .replace("%3", area)
                                 .replace("%4", FileReplaceSpecification::oldCopyFileName(name, true, 1));
    const QString kept = installed(keptName);
    const QString original = keptDirectory ? "/inner.txt" : "";
    QVERIFY(writeFile(kept + original, "original"));
    if (target == QLatin1String("remains"))
        QVERIFY(writeFile(installed(path) + "/partial.txt", "partial"));
    else if (target == QLatin1String("original"))
        QCOMPARE(::link(QFile::encodeName(kept).constData(),
                        QFile::encodeName(installed(path)).constData()), 0);
    else if (target == QLatin1String("broken"))
        QVERIFY(writeFile(installed(path), "orig"));
    const QString temporary = SlowFileOpSpecification::temporaryPath(installed(path));
    QVERIFY(writeFile(temporary, "half written"));
    InstallationRecord earlier;
    earlier.load(work->path());
    earlier.addOldCopy(keptName, path);
    earlier.addTemporary(QDir(appRoot()).relativeFilePath(temporary));

    QList<FileReplaceSpecification> replacements;
    QVERIFY(TestFiles::writeGzip(download("pkg/k.gz"), "new"));
    replacements << record("pkg/k.gz", path, TestFiles::md5("new"));
    if (fails) {
        QVERIFY(TestFiles::writeGzip(download("pkg/bad.gz"), "unpacked but wrong"));
        replacements << record("pkg/bad.gz", rel("bad-%1.so"), TestFiles::md5("something else"));
    }
    QList<QString> deletions;
    FileReplaceListTaskSpecification step(&replacements, &deletions, &directoryDeletions, &config, nullptr, 0.4);
    const int state = TaskRun(step).run();
    QVERIFY(!QFileInfo::exists(temporary));
    if (fails) {
        QCOMPARE(state, int(TaskState::ErrorCanceled));
        QCOMPARE(TestFiles::read(installed(path) + original), QByteArray("original"));
        QVERIFY(!QFileInfo::exists(installed(path) + "/partial.txt"));
        QVERIFY(!QFileInfo::exists(kept));
        return;
    }
    QCOMPARE(state, int(TaskState::Finished));
    QCOMPARE(TestFiles::read(installed(path)), QByteArray("new"));
    QCOMPARE(TestFiles::read(kept + original), QByteArray("original"));
    QCOMPARE(keptDirectory ? directoryDeletions : deletions, QList<QString>{keptName});
}

// Old copies that an aborted run made and never deleted go with this run's
// deletions once its installation has succeeded; nothing it cannot prove is
// its own, and no copy that is all that is left of a file.
void InstallationTest::leftoversOfEarlierRuns()
{
    const auto oldName = [&](const QString& name) { return "old/_old_" + name; };
    const QString done = "done-" + token + ".txt";
    const QString gone = "gone-" + token + ".txt";
    const QString unrecorded = "unrecorded-" + token + ".txt";
    const QString special = QStringLiteral("libQtCore.so.4");
    QVERIFY2(!QFileInfo::exists(oldCopy(special)), "an old copy of that name already exists");
    for (const QString& name : {done, gone, unrecorded, special})
        QVERIFY(writeFile(oldCopy(name), "old version"));
    for (const QString& name : {done, unrecorded, special})
        QVERIFY(writeFile(installed(rel(name)), "new version"));
    // Only a plain file of ours is taken for a leftover temporary file.
    const QString linkedTemporary = installed(rel("linked.korvalune-new"));
    QVERIFY(QFile::link(installed(rel(done)), linkedTemporary));

    InstallationRecord earlier;
    earlier.load(work->path());
    for (const QString& name : {done, gone, special})
        earlier.addOldCopy(oldName(name), rel(name));
    earlier.addTemporary(rel("linked.korvalune-new"));

    QList<FileReplaceSpecification> replacements;
    QList<QString> deletions{rel("listed.txt")};
    FileReplaceListTaskSpecification step(&replacements, &deletions, &directoryDeletions, &config, nullptr, 0.4);
    QCOMPARE(TaskRun(step).run(), int(TaskState::Finished));
    QCOMPARE(deletions, (QList<QString>{rel("listed.txt"), oldName(done)}));
    QVERIFY(QFileInfo(linkedTemporary).isSymLink());
}

namespace {
enum class KindChange {
    FileToDirectory,
    DirectoryToFile
};
}
Q_DECLARE_METATYPE(KindChange)

void InstallationTest::kindChange_data()
{
    QTest::addColumn<KindChange>("change");
    QTest::addColumn<bool>("oldIsAFile");
    QTest::addColumn<bool>("laterFileFails");
    for (const bool oldIsAFile : {false, true}) {
        for (const bool fails : {false, true}) {
            const char* where = oldIsAFile ? ", \"old\" a file" : "";
            const char* outcome = fails ? "rolled back" : "installed";
            QTest::addRow("file to directory%s, %s", where, outcome)
                << KindChange::FileToDirectory << oldIsAFile << fails;
            QTest::addRow("directory to file%s, %s", where, outcome)
                << KindChange::DirectoryToFile << oldIsAFile << fails;
        }
    }
}

// A release turns the file x into a directory (x/y/inner.txt) or the
// directory d into a file. What stands in the way is kept as an old copy (in
// "old", or beside it where "old" is a file of the user's), comes back when
// the step fails, and is gone, whole, after the run's deletions; a link in
// the directory is not followed.
void InstallationTest::kindChange()
{
    QFETCH(KindChange, change);
    QFETCH(bool, oldIsAFile);
    QFETCH(bool, laterFileFails);

    const QString old = installed("old");
    QVERIFY2(!QFileInfo::exists(old), "old already exists");
    const auto removeOld = qScopeGuard([&] { QFile::remove(old); });
    QVERIFY(!oldIsAFile || writeFile(old, "the user's"));
    QTemporaryDir outside;
    QVERIFY(writeFile(outside.filePath("kept"), "not ours"));
    const bool toDirectory = change == KindChange::FileToDirectory;
    const QString target = rel(toDirectory ? "x/y/inner.txt" : "d");
    if (toDirectory) {
        QVERIFY(writeFile(installed(rel("x")), "the file x"));
    } else {
        QVERIFY(writeFile(installed(rel("d/a.txt")), "a"));
        QVERIFY(writeFile(installed(rel("d/sub/b.txt")), "b"));
        QVERIFY(QFile::link(outside.filePath("kept"), installed(rel("d/sub/link"))));
    }
    QVERIFY(writeFile(download(target), "new"));
    QList<FileReplaceSpecification> replacements{record(target)};
    if (laterFileFails) {
        QVERIFY(TestFiles::writeGzip(download("pkg/bad.gz"), "unpacked but wrong"));
        replacements << record("pkg/bad.gz", rel("bad.so"), TestFiles::md5("something else"));
    }

    const QMap<QString, QByteArray> before = snapshot();
    QList<QString> deletions;
    FileReplaceListTaskSpecification step(&replacements, &deletions, &directoryDeletions, &config, nullptr, 0.4);
    const int state = TaskRun(step).run();
    FileDeleteListTaskSpecification deleting(&deletions, &directoryDeletions, nullptr, 0.05);
    QCOMPARE(TaskRun(deleting).run(), int(TaskState::Finished));
    QCOMPARE(TestFiles::read(outside.filePath("kept")), QByteArray("not ours"));
    QCOMPARE(TestFiles::read(old), oldIsAFile ? QByteArray("the user's") : TestFiles::Missing);
    if (laterFileFails) {
        QCOMPARE(state, int(TaskState::ErrorCanceled));
        QCOMPARE(snapshot(), before);
        return;
    }
    QCOMPARE(state, int(TaskState::Finished));
    QCOMPARE(TestFiles::read(installed(target)), QByteArray("new"));
    const QStringList left = toDirectory ? QStringList{area, rel("x"), rel("x/y"), target}
                                         : QStringList{area, target};
    QCOMPARE(snapshot().keys(), left);
}

void InstallationTest::earlierRunUndone_data()
{
    QTest::addColumn<QString>("copyKind");
    QTest::addColumn<QString>("targetKind");
    QTest::addColumn<bool>("nameReused");
    // Where the original ends: back at its file's name, or left where it
    // was (not ours).
    QTest::addColumn<QString>("outcome");
    QTest::newRow("kept as a second name") << "file" << "same file" << false << "put back";
    QTest::newRow("replaced") << "file" << "new file" << false << "put back";
    QTest::newRow("replaced, the name another file's before") << "file" << "new file" << true << "put back";
    QTest::newRow("file gone") << "file" << "missing" << false << "put back";
    QTest::newRow("the file turned into a directory") << "file" << "directory" << false << "put back";
    QTest::newRow("directory kept, a file in its place") << "directory" << "new file" << false << "put back";
    QTest::newRow("directory kept, what is left of it in its place")
        << "directory" << "directory" << false << "put back";
    QTest::newRow("a link is not ours") << "link" << "new file" << false << "left";
}

// A run for another version gives up a killed run's record: the killed
// run's old copies of its own go back to their files first, newest first, and
// its temporary files go. A directory that run made where the file stood
// goes with what it holds.
void InstallationTest::earlierRunUndone()
{
    QFETCH(QString, copyKind);
    QFETCH(QString, targetKind);
    QFETCH(bool, nameReused);
    QFETCH(QString, outcome);

    const QString path = rel("x-%1.so");
    const QString target = installed(path);
    const QString keptName = rel(FileReplaceSpecification::oldCopyFileName("x-" + token + ".so", true, 1));
    const QString kept = installed(keptName);
    const QString original = copyKind == QLatin1String("directory") ? kept + "/inner.txt" : kept;
    QVERIFY(writeFile(copyKind == QLatin1String("link") ? installed(rel("elsewhere")) : original, "original"));
    if (copyKind == QLatin1String("link"))
        QVERIFY(QFile::link(installed(rel("elsewhere")), kept));
    if (targetKind == QLatin1String("same file"))
        QCOMPARE(::link(QFile::encodeName(kept).constData(), QFile::encodeName(target).constData()), 0);
    else if (targetKind == QLatin1String("new file"))
        QVERIFY(writeFile(target, "new"));
    else if (targetKind == QLatin1String("directory"))
        QVERIFY(writeFile(target + "/made.txt", "new"));
    const QString temporary = SlowFileOpSpecification::temporaryPath(target);
    QVERIFY(writeFile(temporary, "half written"));
    QVERIFY(writeFile(installed(rel("other")), "other new"));

    InstallationRecord earlier;
    earlier.load(work->path());
    if (nameReused)
        earlier.addOldCopy(keptName, rel("other"));
    earlier.addOldCopy(keptName, path);
    earlier.addTemporary(QDir(appRoot()).relativeFilePath(temporary));
    InstallationRecord record;
    record.load(work->path());
    QList<QString> noDeletions;
    FileDeleteListTaskSpecification receiver(&noDeletions, &noDeletions, nullptr, 1.0);
    QSignalSpy warnings(&receiver, &TaskSpecification::message);
    record.undo(appRoot(), &receiver);

    QVERIFY(!QFileInfo::exists(temporary));
    QCOMPARE(TestFiles::read(installed(rel("other"))), QByteArray("other new"));
    const bool putBack = outcome == QLatin1String("put back");
    QCOMPARE(QFileInfo::exists(kept) || QFileInfo(kept).isSymLink(), outcome == QLatin1String("left"));
    QCOMPARE(warnings.count(), 0);
    if (outcome == QLatin1String("left"))
        QCOMPARE(TestFiles::read(original), QByteArray("original"));
    if (putBack)
        QCOMPARE(TestFiles::read(QString(original).replace(kept, target)), QByteArray("original"));
    if (targetKind == QLatin1String("directory") && putBack)
        QVERIFY(!QFileInfo::exists(target + "/made.txt"));
}

// One run turns the directory x into a file and is stopped before its
// deletions; the next one, in a work directory of its own, changes that
// file. The directory the first run moved to "old" is nothing the second
// run made: it stays as it is, with what the user kept in it, and must not
// stand in the way of the file's next old copy.
void InstallationTest::directoryTurnedIntoFileThenChanged()
{
    const QString x = rel("data/x-%1");
    QVERIFY(writeFile(installed(x + "/mine.txt"), "the user's"));
    QList<QString> deletions;
    for (const QByteArray& content : {QByteArray("first file"), QByteArray("second file")}) {
        work = std::make_unique<QTemporaryDir>();
        config.tempDir = work->path();
        QVERIFY(writeFile(download(x), content));
        QList<FileReplaceSpecification> replacements{record(x)};
        deletions.clear();
        directoryDeletions.clear();
        FileReplaceListTaskSpecification step(&replacements, &deletions, &directoryDeletions, &config, nullptr, 0.4);
        QCOMPARE(TaskRun(step).run(), int(TaskState::Finished));
        QCOMPARE(TestFiles::read(installed(x)), content);
    }
    FileDeleteListTaskSpecification deleting(&deletions, &directoryDeletions, nullptr, 0.05);
    QCOMPARE(TaskRun(deleting).run(), int(TaskState::Finished));
    const QString bareName = QFileInfo(x).fileName();
    QCOMPARE(TestFiles::read(oldCopy(bareName) + "/mine.txt"), QByteArray("the user's"));
    QCOMPARE(scratch->newOldEntries(), QStringList{"_old_" + bareName});
}

// A rolled-back file gave its old copy's name back, and another file of the
// same bare name got it: the first file must not take that copy for its own
// original, neither in this run nor in the next.
void InstallationTest::oldCopyNameMadeAgainBelongsToTheNewFile()
{
    const QString name = "old/_old_x-" + token + ".so";
    QVERIFY(writeFile(appRoot() + QLatin1Char('/') + name, "b's original"));
    InstallationRecord record;
    record.load(work->path());
    record.addOldCopy(name, rel("a/x-%1.so"));
    record.addOldCopy(name, rel("b/x-%1.so"));
    for (int run = 1; run <= 2; ++run) {
        QVERIFY(record.earlierOldCopy(appRoot(), rel("a/x-%1.so")).isNull());
        QCOMPARE(record.earlierOldCopy(appRoot(), rel("b/x-%1.so")), name);
        record.load(work->path());
    }
}

static TestRegistration registration("InstallationTest", [] { return new InstallationTest; });
#include "tst_installation.moc"
