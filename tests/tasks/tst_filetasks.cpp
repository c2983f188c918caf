#include "testregistry.h"

#include "dircreatetaskspecification.h"
#include "filecopytaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filerenametaskspecification.h"
#include "fileunziptaskspecification.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <csignal>
#include <sys/resource.h>

namespace {

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(42);
    for (char& byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

// Runs a task to its end and returns its state and message lines.
struct Outcome
{
    int state = -1;
    QStringList messages;
};

Outcome runTask(TaskSpecification& task)
{
    Outcome outcome;
    QObject::connect(&task, &TaskSpecification::message, &task,
                     [&](const QString& line) { outcome.messages << line; });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QDeadlineTimer deadline(5000);
    while (finished.isEmpty() && canceled.isEmpty() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    outcome.state = (finished.count() + canceled.count() == 1) ? task.state : -1;
    return outcome;
}

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
    void rename_data();
    void rename();
    void copy_data();
    void copy();
    void unzip_data();
    void unzip();
    void unzipFailedWriteLeavesNoFile_data();
    void unzipFailedWriteLeavesNoFile();
    void failedStepRollsBackTheTree();

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

void FileTasksTest::createDir_data()
{
    QTest::addColumn<QStringList>("existingDirs");
    QTest::addColumn<QStringList>("existingFiles");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QStringList>("journal");
    QTest::addColumn<QString>("message");

    QTest::newRow("parents created outermost first")
        << QStringList{"a"} << QStringList{} << "a/b/c" << true
        << QStringList{"2 /a/b", "2 /a/b/c"} << QString();
    QTest::newRow("trailing slash creates the last component once")
        << QStringList{"a"} << QStringList{} << "a/b/" << true << QStringList{"2 /a/b"} << QString();
    QTest::newRow("existing directory records nothing")
        << QStringList{"a/b"} << QStringList{} << "a/b" << true << QStringList{} << QString();
    QTest::newRow("target is a file")
        << QStringList{"a"} << QStringList{"a/b"} << "a/b" << false << QStringList{}
        << "Could not create dir '%1/a/b' because it already exists and is not a dir";
    QTest::newRow("ancestor is a file")
        << QStringList{} << QStringList{"a"} << "a/b/c" << false << QStringList{}
        << "Could not create dir '%1/a' because it already exists and is not a dir";
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

    RollbackDataList records;
    DirCreateTaskSpecification task(root + QLatin1Char('/') + target, &records, nullptr, 1.0);
    const Outcome outcome = runTask(task);
    QCOMPARE(outcome.state, int(succeeds ? TaskState::Finished : TaskState::ErrorCanceled));
    QCOMPARE(journalText(records, root), journal);
    if (message.isEmpty())
        QVERIFY(outcome.messages.isEmpty());
    else
        QCOMPARE(outcome.messages, QStringList{message.arg(root)});
    if (succeeds)
        QVERIFY(QFileInfo(root + QLatin1Char('/') + target).isDir());
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
    const Outcome outcome = runTask(task);
    QCOMPARE(outcome.state, int(succeeds ? TaskState::Finished : TaskState::ErrorCanceled));
    QCOMPARE(outcome.messages,
             hasMessage ? QStringList{QStringLiteral("Could not delete '%1'").arg(path)} : QStringList{});
    QVERIFY(!QFile::exists(path));
}

void FileTasksTest::rename_data()
{
    QTest::addColumn<bool>("targetExists");
    QTest::addColumn<bool>("withJournal");
    QTest::newRow("renamed, journalled") << false << true;
    QTest::newRow("renamed, no journal") << false << false;
    QTest::newRow("onto an existing file") << true << true;
}

void FileTasksTest::rename()
{
    QFETCH(bool, targetExists);
    QFETCH(bool, withJournal);

    // A "%1" in a path must not corrupt the text.
    const QString from = root + "/from%1";
    const QString to = root + "/to%2";
    QVERIFY(TestFiles::write(from, "content"));
    if (targetExists)
        QVERIFY(TestFiles::write(to, "already here"));

    RollbackDataList records;
    FileRenameTaskSpecification task(from, to, withJournal ? &records : nullptr, nullptr, 1.0);
    const Outcome outcome = runTask(task);
    if (targetExists) {
        QCOMPARE(outcome.state, int(TaskState::ErrorCanceled));
        QCOMPARE(outcome.messages, QStringList{QStringLiteral("Could not rename '") + from
                                               + QStringLiteral("' to '") + to + QLatin1Char('\'')});
        QCOMPARE(TestFiles::read(to), QByteArray("already here"));
        QVERIFY(records.records.isEmpty());
        return;
    }
    QCOMPARE(outcome.state, int(TaskState::Finished));
    QCOMPARE(TestFiles::read(to), QByteArray("content"));
    QCOMPARE(journalText(records, root),
             withJournal ? QStringList{QStringLiteral("0 /to%2 <- /from%1")} : QStringList{});
}

void FileTasksTest::copy_data()
{
    QTest::addColumn<bool>("sourceExists");
    QTest::addColumn<bool>("destinationExists");
    QTest::newRow("copied") << true << false;
    QTest::newRow("onto an existing file") << true << true;
    QTest::newRow("missing source") << false << false;
}

void FileTasksTest::copy()
{
    QFETCH(bool, sourceExists);
    QFETCH(bool, destinationExists);

    const QString source = root + "/source";
    const QString destination = root + "/destination";
    if (sourceExists)
        QVERIFY(TestFiles::write(source, randomBytes(100000)));
    if (destinationExists)
        QVERIFY(TestFiles::write(destination, "keep me"));

    RollbackDataList records;
    FileCopyTaskSpecification task(&records, source, destination, nullptr, 1.0);
    const Outcome outcome = runTask(task);
    if (sourceExists && !destinationExists) {
        QCOMPARE(outcome.state, int(TaskState::Finished));
        QCOMPARE(TestFiles::read(destination), randomBytes(100000));
        QCOMPARE(journalText(records, root), QStringList{"1 /destination"});
        QVERIFY(outcome.messages.isEmpty());
        return;
    }
    QCOMPARE(outcome.state, int(TaskState::ErrorCanceled));
    QCOMPARE(outcome.messages, QStringList{QStringLiteral("Could not copy '%1' to '%2'").arg(source, destination)});
    QVERIFY(records.records.isEmpty());
    if (destinationExists)
        QCOMPARE(TestFiles::read(destination), QByteArray("keep me"));
}

void FileTasksTest::unzip_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<bool>("destinationExists");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("gzip") << "gzip" << false << true << randomBytes(100000);
    QTest::newRow("gzip overwrites the destination") << "gzip" << true << true << randomBytes(100000);
    QTest::newRow("whole buffers") << "whole buffers" << false << true << randomBytes(3 * 16384);
    QTest::newRow("empty gzip") << "empty" << false << true << QByteArray();
    QTest::newRow("not gzip passes through") << "plain" << false << true << QByteArray("plain text\n");
    QTest::newRow("missing source") << "missing" << true << false << QByteArray();
    QTest::newRow("truncated gzip") << "truncated" << false << false << QByteArray();
    QTest::newRow("corrupt gzip") << "corrupt" << true << false << QByteArray();
    QTest::newRow("bad checksum") << "checksum" << false << false << QByteArray();
}

void FileTasksTest::unzip()
{
    QFETCH(QString, source);
    QFETCH(bool, destinationExists);
    QFETCH(bool, succeeds);
    QFETCH(QByteArray, expected);

    const QString input = root + "/input.gz";
    const QString output = root + "/output";
    if (source == QLatin1String("gzip") || source == QLatin1String("whole buffers")
        || source == QLatin1String("empty")) {
        QVERIFY(TestFiles::writeGzip(input, expected));
    } else if (source == QLatin1String("plain")) {
        QVERIFY(TestFiles::write(input, expected));
    } else if (source != QLatin1String("missing")) {
        QVERIFY(TestFiles::writeGzip(input, randomBytes(200000)));
        QByteArray packed = TestFiles::read(input);
        if (source == QLatin1String("truncated"))
            packed.chop(packed.size() / 2);
        else if (source == QLatin1String("corrupt"))
            packed[packed.size() / 2] = char(packed[packed.size() / 2] ^ 0x55);
        else
            packed[packed.size() - 6] = char(packed[packed.size() - 6] ^ 0x01);
        QVERIFY(TestFiles::write(input, packed));
    }
    if (destinationExists)
        QVERIFY(TestFiles::write(output, "old content"));

    RollbackDataList records;
    FileUnzipTaskSpecification task(&records, input, output, nullptr, 1.0);
    const Outcome outcome = runTask(task);
    if (succeeds) {
        QCOMPARE(outcome.state, int(TaskState::Finished));
        QCOMPARE(TestFiles::read(output), expected);
        QCOMPARE(journalText(records, root), QStringList{"1 /output"});
        return;
    }
    QCOMPARE(outcome.state, int(TaskState::ErrorCanceled));
    QCOMPARE(outcome.messages, QStringList{QStringLiteral("Could not unzip '%1' to '%2'").arg(input, output)});
    QVERIFY(!QFile::exists(output));
    QVERIFY(records.records.isEmpty());
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
    const Outcome outcome = runTask(task);
    QCOMPARE(outcome.state, int(TaskState::ErrorCanceled));
    QVERIFY(!QFile::exists(output));
}

// Create a directory, move the installed file away, put the new one in its
// place, then a later step fails: the journal restores the tree exactly.
void FileTasksTest::failedStepRollsBackTheTree()
{
    const QString app = root + "/app";
    QVERIFY(QDir().mkpath(app + "/lib"));
    QVERIFY(TestFiles::write(app + "/lib/x.so", "installed x"));
    QVERIFY(TestFiles::write(root + "/download", "new x"));

    RollbackDataList journal;
    DirCreateTaskSpecification createDir(app + "/old/deep", &journal, nullptr, 0.25);
    QCOMPARE(runTask(createDir).state, int(TaskState::Finished));
    FileRenameTaskSpecification moveAway(app + "/lib/x.so", app + "/old/deep/_old_x.so", &journal,
                                         nullptr, 0.25);
    QCOMPARE(runTask(moveAway).state, int(TaskState::Finished));
    FileCopyTaskSpecification copy(&journal, root + "/download", app + "/lib/x.so", nullptr, 0.25);
    QCOMPARE(runTask(copy).state, int(TaskState::Finished));
    FileCopyTaskSpecification failing(&journal, root + "/missing", app + "/lib/y.so", nullptr, 0.25);
    QCOMPARE(runTask(failing).state, int(TaskState::ErrorCanceled));

    QCOMPARE(journal.records.count(), 4);
    QVERIFY(journal.rollback(&copy));
    QCOMPARE(TestFiles::read(app + "/lib/x.so"), QByteArray("installed x"));
    QVERIFY(!QFileInfo::exists(app + "/old"));
    QCOMPARE(QDir(app).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{"lib"});
    QCOMPARE(QDir(app + "/lib").entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{"x.so"});
}

static TestRegistration registration("FileTasksTest", [] { return new FileTasksTest; });

#include "tst_filetasks.moc"
