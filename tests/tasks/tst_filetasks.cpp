#include "testregistry.h"

#include "dirbackuptaskspecification.h"
#include "dircreatetaskspecification.h"
#include "filebackuptaskspecification.h"
#include "filecopytaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filerenametaskspecification.h"
#include "fileunziptaskspecification.h"
#include "scopedmount.h"
#include "siblingname.h"
#include "taskrun.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QByteArray randomBytes(int size)
{
    QByteArray bytes(size + 3, Qt::Uninitialized);
    QRandomGenerator(42).fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    return bytes.left(size);
}

// Puts at path what a row names: nothing (""), a plain file of ours, a
// directory, a link to linkTarget, or a file of another user.
bool plantAt(const QString& path, const QString& kind, const QString& linkTarget)
{
    if (kind.isEmpty())
        return true;
    if (kind == QLatin1String("directory"))
        return QDir().mkdir(path);
    if (kind == QLatin1String("link"))
        return TestFiles::write(linkTarget, "not ours") && QFile::link(linkTarget, path);
    return TestFiles::write(path, "left over")
        && (kind == QLatin1String("own file") || ::chown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
}

// What is at path, without following a link: kind, owner and content.
QString describe(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink())
        return "link to " + info.symLinkTarget() + ": " + TestFiles::read(path);
    if (info.isDir())
        return QStringLiteral("directory");
    if (!info.exists())
        return QStringLiteral("missing");
    return QStringLiteral("file of %1: ").arg(info.ownerId()) + TestFiles::read(path);
}

// A FAT image mounted through FUSE in the scratch directory, unmounted when
// this goes: its files take no mode change (fchmod fails with ENOSYS).
class FatMount
{
public:
    explicit FatMount(const QString& scratch)
        : mountPoint(scratch + "/fat")
    {
        const QString image = scratch + "/fat.img";
        QFile file(image);
        if (!QFileInfo::exists("/dev/fuse"))
            skipReason = QStringLiteral("no /dev/fuse on this machine");
        else if (!file.open(QIODevice::WriteOnly) || !file.resize(8 << 20) || !QDir().mkdir(mountPoint))
            skipReason = QStringLiteral("cannot make the image");
        else if (!run("mkfs.fat", {image}) || !run("fusefat", {"-o", "rw+", image, mountPoint}))
            skipReason = QStringLiteral("mkfs.fat or fusefat missing, or FUSE refused the mount");
        else
            mounted = true;
    }
    ~FatMount()
    {
        if (mounted)
            run("fusermount", {"-u", mountPoint});
    }

    const QString mountPoint;
    QString skipReason;

private:
    static bool run(const QString& program, const QStringList& arguments)
    {
        QProcess process;
        process.start(program, arguments);
        return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }

    bool mounted = false;
};

QStringList journalText(const RollbackDataList& journal, const QString& root)
{
    QStringList lines;
    for (const RollbackData& record : journal.records) {
        QString line = QString::number(record.operation) + QLatin1Char(' ') + record.path.mid(root.size());
        if (!record.secondPath.isNull())
            line += QLatin1String(" <- ") + record.secondPath.mid(root.size());
        lines << line;
    }
    return lines;
}

// Lets writes beyond a size fail (EFBIG), like a full disk, for this process.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved); }

private:
    rlimit saved;
};

} // namespace

class FileTasksTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void createDir_data();
    void createDir();
    void deleteFile_data();
    void deleteFile();
    void backup_data();
    void backup();
    void backupBetweenMounts_data();
    void backupBetweenMounts();
    void taggedNameFits_data();
    void taggedNameFits();
    void copyOrUnzip_data();
    void copyOrUnzip();
    void unzipFailedWriteLeavesNoFile_data();
    void unzipFailedWriteLeavesNoFile();
    void copyOntoFileSystemWithoutModes();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString root;
};

void FileTasksTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    root = dir->path();
}

void FileTasksTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
    dir.reset();
}

// "%1" in a target or a message is the scratch directory; a target without
// it is relative, and is tried from inside the scratch directory.
void FileTasksTest::createDir_data()
{
    QTest::addColumn<QStringList>("existingDirs");
    QTest::addColumn<QStringList>("existingFiles");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QStringList>("journal");
    QTest::addColumn<QString>("message");

    const QString tooLong(300, QLatin1Char('n'));
    QTest::newRow("parents created outermost first")
        << QStringList{"a"} << QStringList{} << "%1/a/b/c" << true
        << QStringList{"2 /a/b", "2 /a/b/c"} << QString();
    QTest::newRow("trailing slash creates the last component once")
        << QStringList{"a"} << QStringList{} << "%1/a/b/" << true << QStringList{"2 /a/b"} << QString();
    QTest::newRow("existing directory records nothing")
        << QStringList{"a/b"} << QStringList{} << "%1/a/b" << true << QStringList{} << QString();
    QTest::newRow("target is a file")
        << QStringList{"a"} << QStringList{"a/b"} << "%1/a/b" << false << QStringList{}
        << "Could not create dir '%1/a/b' because it already exists and is not a dir";
    QTest::newRow("ancestor is a file")
        << QStringList{} << QStringList{"a"} << "%1/a/b/c" << false << QStringList{}
        << "Could not create dir '%1/a' because it already exists and is not a dir";
    QTest::newRow("relative name") << QStringList{} << QStringList{} << "x" << false << QStringList{}
                                   << "Could not create dir x";
    // The message names the directory asked for, not the level that failed.
    QTest::newRow("relative name below a missing directory")
        << QStringList{} << QStringList{} << "a/b" << false << QStringList{} << "Could not create dir a/b";
    // Here it names the level that could not be made, after its parent was.
    QTest::newRow("name too long")
        << QStringList{} << QStringList{} << "%1/a/" + tooLong + "/c" << false << QStringList{"2 /a"}
        << "unable to create dir %1/a/" + tooLong;
}

void FileTasksTest::createDir()
{
    QFETCH(QStringList, existingDirs);
    QFETCH(QStringList, existingFiles);
    QFETCH(QString, target);
    QFETCH(bool, succeeds);
    QFETCH(QStringList, journal);
    QFETCH(QString, message);

    for (const QString& path : existingDirs)
        QVERIFY(QDir(root).mkpath(path));
    for (const QString& path : existingFiles)
        QVERIFY(TestFiles::write(root + QLatin1Char('/') + path, "file"));
    const QString previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(root));

    RollbackDataList records;
    DirCreateTaskSpecification task(QString(target).replace("%1", root), &records, nullptr, 1.0);
    TaskRun run(task);
    const int state = run.run();
    QVERIFY(QDir::setCurrent(previousDir));
    QCOMPARE(state, int(succeeds ? TaskState::Finished : TaskState::ErrorCanceled));
    QCOMPARE(journalText(records, root), journal);
    QCOMPARE(run.messages, message.isEmpty() ? QStringList() : QStringList{message.replace("%1", root)});
    if (succeeds)
        QVERIFY(QFileInfo(QString(target).replace("%1", root)).isDir());
    else if (!target.startsWith("%1"))
        QVERIFY(QDir(root).isEmpty());
    QVERIFY(!QFileInfo::exists(root + "/a/b/b"));
}

void FileTasksTest::deleteFile_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<bool>("mustSucceed");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<bool>("hasMessage");
    QTest::newRow("present, must succeed") << true << true << true << false;
    QTest::newRow("missing, must succeed") << false << true << false << true;
    QTest::newRow("missing, may fail") << false << false << true << false;
    QTest::newRow("present, may fail") << true << false << true << false;
}

void FileTasksTest::deleteFile()
{
    QFETCH(bool, present);
    QFETCH(bool, mustSucceed);
    QFETCH(bool, succeeds);
    QFETCH(bool, hasMessage);

    const QString path = root + "/victim";
    if (present)
        QVERIFY(TestFiles::write(path, "x"));
    FileDeleteTaskSpecification task(mustSucceed, path, nullptr, 1.0);
    TaskRun run(task);
    QCOMPARE(run.run(), int(succeeds ? TaskState::Finished : TaskState::ErrorCanceled));
    QCOMPARE(run.messages,
             hasMessage ? QStringList{QStringLiteral("Could not delete '%1'").arg(path)} : QStringList{});
    QVERIFY(!QFile::exists(path));
}

void FileTasksTest::backup_data()
{
    QTest::addColumn<bool>("keepsName");
    QTest::addColumn<bool>("backupExists");
    QTest::addColumn<bool>("withJournal");
    QTest::newRow("kept, journalled") << true << false << true;
    QTest::newRow("kept, no journal") << true << false << false;
    QTest::newRow("kept onto an existing file") << true << true << true;
    QTest::newRow("renamed, journalled") << false << false << true;
    QTest::newRow("renamed onto an existing file") << false << true << true;
}

// A backup keeps the original's name and gives it a second one, a rename
// moves it; the undo gives the name back and drops the second one.
void FileTasksTest::backup()
{
    QFETCH(bool, keepsName);
    QFETCH(bool, backupExists);
    QFETCH(bool, withJournal);

    // A "%1" in a path must not corrupt the text.
    const QString original = root + "/from%1";
    const QString backup = root + "/to%2";
    QVERIFY(TestFiles::write(original, "content"));
    if (backupExists)
        QVERIFY(TestFiles::write(backup, "already here"));

    RollbackDataList records;
    RollbackDataList* journal = withJournal ? &records : nullptr;
    std::unique_ptr<FileRenameTaskSpecification> task(
        keepsName ? new FileBackupTaskSpecification(original, backup, journal, nullptr, 1.0)
                  : new FileRenameTaskSpecification(original, backup, journal, nullptr, 1.0));
    TaskRun run(*task);
    const int state = run.run();
    QCOMPARE(QFileInfo::exists(original), keepsName || backupExists);
    if (backupExists) {
        QCOMPARE(TestFiles::read(original), QByteArray("content"));
        QCOMPARE(state, int(TaskState::ErrorCanceled));
        QCOMPARE(run.messages, QStringList{QStringLiteral("Could not rename '") + original
                                           + QStringLiteral("' to '") + backup + QLatin1Char('\'')});
        QCOMPARE(TestFiles::read(backup), QByteArray("already here"));
        QVERIFY(records.records.isEmpty());
        return;
    }
    QCOMPARE(state, int(TaskState::Finished));
    QCOMPARE(TestFiles::read(backup), QByteArray("content"));
    if (!withJournal) {
        QVERIFY(records.records.isEmpty());
        return;
    }
    QCOMPARE(journalText(records, root), QStringList{QStringLiteral("0 /to%2 <- /from%1")});
    QVERIFY(records.rollback(nullptr));
    QCOMPARE(TestFiles::read(original), QByteArray("content"));
    QVERIFY(!QFileInfo::exists(backup));
}

void FileTasksTest::backupBetweenMounts_data()
{
    QTest::addColumn<bool>("directory");
    QTest::addColumn<bool>("overlay");
    QTest::newRow("file onto another mount") << false << false;
    QTest::newRow("directory onto another mount") << true << false;
    QTest::newRow("directory of an overlay's lower layer") << true << true;
}

// A backup never copies onto another mount, where no undo could rename the
// copy back: it fails and leaves the original in place. An overlay refuses
// to move a directory of its lower layer within its one mount: the
// directory is copied whole (its link as a link), and the undo puts that
// copy back in place of the file that took its name.
void FileTasksTest::backupBetweenMounts()
{
    QFETCH(bool, directory);
    QFETCH(bool, overlay);

    const ScopedMount first("tmpfs", root + "/first", "tmpfs", 0, "size=16m");
    if (!first.mounted)
        QSKIP(qPrintable("cannot mount a tmpfs here: " + first.error));
    const QString original = (overlay ? root + "/first/lower" : root + "/first") + "/x";
    QVERIFY(TestFiles::write(directory ? original + "/sub/a" : original, "a"));
    QVERIFY(!directory || QFile::link("a", original + "/sub/link"));
    QVERIFY(QDir().mkpath(root + "/first/upper") && QDir().mkpath(root + "/first/work"));
    const ScopedMount second(overlay ? "overlay" : "tmpfs", root + "/second", overlay ? "overlay" : "tmpfs", 0,
                             overlay ? QFile::encodeName("lowerdir=" + root + "/first/lower,upperdir=" + root
                                                         + "/first/upper,workdir=" + root + "/first/work")
                                     : QByteArray("size=16m"));
    if (!second.mounted)
        QSKIP(qPrintable("cannot mount here: " + second.error));
    const QString from = overlay ? root + "/second/x" : original;
    const QString to = root + "/second/_old_x";

    RollbackDataList journal;
    std::unique_ptr<TaskSpecification> task;
    if (directory)
        task = std::make_unique<DirBackupTaskSpecification>(from, to, &journal, nullptr, 1.0);
    else
        task = std::make_unique<FileBackupTaskSpecification>(from, to, &journal, nullptr, 1.0);
    TaskRun run(*task);
    const int state = run.run();
    if (!overlay) {
        QCOMPARE(state, int(TaskState::ErrorCanceled));
        QCOMPARE(run.messages, QStringList{"Could not rename '" + from + "' to '" + to + "'"});
        QCOMPARE(TestFiles::read(directory ? from + "/sub/a" : from), QByteArray("a"));
        QVERIFY(QDir(root + "/second").isEmpty());
        QVERIFY(journal.records.isEmpty());
        return;
    }
    QCOMPARE(state, int(TaskState::Finished));
    QVERIFY(!QFileInfo::exists(from));
    QCOMPARE(QFileInfo(to + "/sub/link").symLinkTarget(), to + "/sub/a");
    QCOMPARE(journalText(journal, root), QStringList{"3 /second/_old_x <- /second/x"});
    QVERIFY(TestFiles::write(from, "new file"));
    QVERIFY(journal.rollback(nullptr));
    QCOMPARE(TestFiles::read(from + "/sub/link"), QByteArray("a"));
    QVERIFY(!QFileInfo::exists(to));
}

void FileTasksTest::taggedNameFits_data()
{
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<bool>("keepsPlainName");

    const QString temporarySuffix = QStringLiteral(".korvalune-new");
    QTest::newRow("255 bytes in all: as always")
        << "." << QString(240, QLatin1Char('a')) << temporarySuffix << true;
    QTest::newRow("256 bytes in all") << "." << QString(241, QLatin1Char('a')) << temporarySuffix << false;
    QTest::newRow("3-byte characters") << "_old_" << QString(85, QChar(0x20AC)) << "" << false;
    QTest::newRow("2-byte characters") << "_old_2_" << QString(125, QChar(0x00E9)) << "" << false;
}

// Two long names that differ only near their end must not share a tagged
// name: two files of one directory are installed at the same time.
void FileTasksTest::taggedNameFits()
{
    QFETCH(QString, prefix);
    QFETCH(QString, name);
    QFETCH(QString, suffix);
    QFETCH(bool, keepsPlainName);

    const QString tagged = taggedName(prefix, name, suffix);
    QCOMPARE(tagged == prefix + name + suffix, keepsPlainName);
    QVERIFY(QFile::encodeName(tagged).size() <= 255);
    QVERIFY(tagged.startsWith(prefix) && tagged.endsWith(suffix));
    QVERIFY(!tagged.contains(QChar::ReplacementCharacter));
    const QString neighbour = name.chopped(1) + QLatin1Char('b');
    QVERIFY(taggedName(prefix, neighbour, suffix) != tagged);
}

// Both write the whole file under a temporary name first. A failure leaves
// the destination as it was (the old content, or nothing) and every other
// file too. A plain file of ours at the temporary name is a killed run's
// leftover and is replaced; anything else there (a directory, a link, another
// user's file) is never written to, removed, nor installed.
void FileTasksTest::copyOrUnzip_data()
{
    QTest::addColumn<bool>("unzip");
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("destinationExists");
    QTest::addColumn<QString>("temporary");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<QString>("name");

    const QByteArray large = randomBytes(3 * 1024 * 1024 + 7);
    const QString plain = QStringLiteral("output");
    QTest::newRow("copied") << false << "plain" << false << "" << true << large << plain;
    QTest::newRow("copy replaces the destination")
        << false << "plain" << true << "" << true << large << plain;
    QTest::newRow("copy, missing source")
        << false << "missing" << true << "" << false << QByteArray() << plain;
    QTest::newRow("copy, own leftover temporary")
        << false << "plain" << true << "own file" << true << large << plain;
    QTest::newRow("copy, temporary is a directory")
        << false << "plain" << true << "directory" << false << large << plain;
    QTest::newRow("copy, temporary is a link")
        << false << "plain" << false << "link" << false << large << plain;
    QTest::newRow("gzip") << true << "gzip" << false << "" << true << randomBytes(100000) << plain;
    QTest::newRow("gzip replaces the destination")
        << true << "gzip" << true << "" << true << randomBytes(100000) << plain;
    QTest::newRow("whole buffers")
        << true << "gzip" << false << "" << true << randomBytes(3 * 16384) << plain;
    QTest::newRow("empty gzip") << true << "gzip" << false << "" << true << QByteArray() << plain;
    QTest::newRow("not gzip passes through")
        << true << "plain" << false << "" << true << QByteArray("plain\n") << plain;
    QTest::newRow("unzip, missing source")
        << true << "missing" << true << "" << false << QByteArray() << plain;
    QTest::newRow("unzip, own leftover temporary")
        << true << "gzip" << false << "own file" << true << large << plain;
    QTest::newRow("unzip, temporary of another user")
        << true << "gzip" << true << "foreign file" << false << large << plain;
    QTest::newRow("truncated gzip") << true << "truncated" << false << "" << false << QByteArray() << plain;
    QTest::newRow("corrupt gzip") << true << "corrupt" << true << "" << false << QByteArray() << plain;
    QTest::newRow("bad checksum") << true << "checksum" << false << "" << false << QByteArray() << plain;
    // A name may have 255 bytes, counted in its UTF-8 form: the temporary
    // name must fit all the same.
    const QString accented(125, QChar(0x00E9));
    const QString euros(85, QChar(0x20AC));
    QTest::newRow("copy replaces a 250-byte name")
        << false << "plain" << true << "" << true << large << accented;
    QTest::newRow("unzip, 255-byte name, own leftover temporary")
        << true << "gzip" << true << "own file" << true << large << euros;
    QTest::newRow("copy, 255-byte name, temporary is a link")
        << false << "plain" << false << "link" << false << large << euros;
}

void FileTasksTest::copyOrUnzip()
{
    QFETCH(bool, unzip);
    QFETCH(QString, source);
    QFETCH(bool, destinationExists);
    QFETCH(QString, temporary);
    QFETCH(bool, succeeds);
    QFETCH(QByteArray, expected);
    QFETCH(QString, name);

    const QString input = root + "/input";
    const QString output = root + QLatin1Char('/') + name;
    const QString temporaryPath = SlowFileOpSpecification::temporaryPath(output);
    if (source == QLatin1String("gzip")) {
        QVERIFY(TestFiles::writeGzip(input, expected));
    } else if (source == QLatin1String("plain")) {
        QVERIFY(TestFiles::write(input, expected));
    } else if (source != QLatin1String("missing")) {
        QByteArray packed = TestFiles::gzip(randomBytes(200000));
        if (source == QLatin1String("truncated"))
            packed.chop(packed.size() / 2);
        else if (source == QLatin1String("corrupt"))
            packed[packed.size() / 2] = char(packed[packed.size() / 2] ^ 0x55);
        else
            packed[packed.size() - 6] = char(packed[packed.size() - 6] ^ 0x01);
        QVERIFY(TestFiles::write(input, packed));
    }
    if (QFile::exists(input))
        QVERIFY(QFile::setPermissions(input, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    if (destinationExists)
        QVERIFY(TestFiles::write(output, "old content"));
    QVERIFY(plantAt(temporaryPath, temporary, root + "/elsewhere"));
    const QString plantedBefore = describe(temporaryPath);
    const QStringList entriesBefore = QDir(root).entryList(QDir::Files | QDir::Hidden);

    RollbackDataList records;
    std::unique_ptr<SlowFileOpSpecification> task;
    if (unzip)
        task = std::make_unique<FileUnzipTaskSpecification>(&records, input, output, nullptr, 1.0);
    else
        task = std::make_unique<FileCopyTaskSpecification>(&records, input, output, nullptr, 1.0);
    qsizetype recordsAtFinish = -1; // the record comes before the end
    connect(task.get(), &TaskSpecification::finished, this, [&] { recordsAtFinish = records.records.size(); });
    TaskRun run(*task);
    const int state = run.run();
    if (succeeds) {
        QCOMPARE(state, int(TaskState::Finished));
        QCOMPARE(TestFiles::read(output), expected);
        if (!unzip)
            QCOMPARE(QFile::permissions(output), QFile::permissions(input));
        QCOMPARE(journalText(records, root), QStringList{"1 /" + name});
        QCOMPARE(recordsAtFinish, 1);
        QVERIFY(run.messages.isEmpty());
        QCOMPARE(QDir(root).entryList(QDir::Files | QDir::Hidden), (QStringList{"input", name}));
        QCOMPARE(describe(temporaryPath), QString("missing"));
        return;
    }
    QCOMPARE(state, int(TaskState::ErrorCanceled));
    QCOMPARE(run.messages, QStringList{QStringLiteral("Could not %1 '%2' to '%3'")
                                           .arg(unzip ? "unzip" : "copy", input, output)});
    QVERIFY(records.records.isEmpty());
    QCOMPARE(TestFiles::read(output), destinationExists ? QByteArray("old content") : TestFiles::Missing);
    QCOMPARE(QDir(root).entryList(QDir::Files | QDir::Hidden), entriesBefore);
    QCOMPARE(describe(temporaryPath), plantedBefore);
}

void FileTasksTest::unzipFailedWriteLeavesNoFile_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("limit");
    QTest::newRow("a full buffer fails") << (1 << 20) << 256 * 1024;
    // The short last piece sits in the file's buffer and only fails when
    // it is flushed at the end.
    QTest::newRow("the buffered tail fails") << 4 * 16384 + 100 << 4 * 16384 + 50;
}

void FileTasksTest::unzipFailedWriteLeavesNoFile()
{
    QFETCH(int, size);
    QFETCH(int, limit);

    const QString input = root + "/input.gz";
    const QString output = root + "/output";
    QVERIFY(TestFiles::writeGzip(input, randomBytes(size)));

    const FileSizeLimit sizeLimit{rlim_t(limit)};
    FileUnzipTaskSpecification task(nullptr, input, output, nullptr, 1.0);
    QCOMPARE(TaskRun(task).run(), int(TaskState::ErrorCanceled));
    QVERIFY(!QFile::exists(output));
    QVERIFY(!QFile::exists(SlowFileOpSpecification::temporaryPath(output)));
}

// FAT, exFAT and FUSE file systems refuse a mode change; the copy is
// installed all the same.
void FileTasksTest::copyOntoFileSystemWithoutModes()
{
    const FatMount fat(root);
    if (!fat.skipReason.isEmpty())
        QSKIP(qPrintable(fat.skipReason));
    const QString input = root + "/input";
    QVERIFY(TestFiles::write(input, "content"));
    FileCopyTaskSpecification task(nullptr, input, fat.mountPoint + "/output", nullptr, 1.0);
    QCOMPARE(TaskRun(task).run(), int(TaskState::Finished));
    QCOMPARE(TestFiles::read(fat.mountPoint + "/output"), QByteArray("content"));
}

static TestRegistration registration("FileTasksTest", [] { return new FileTasksTest; });

#include "tst_filetasks.moc"
