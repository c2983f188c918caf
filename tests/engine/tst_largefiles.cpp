#include "testregistry.h"

#include "appdirscratch.h"
#include "configuration.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

#include <memory>

namespace {

// Above 4 GiB, so that neither a 32-bit size nor a 32-bit offset can hold it.
constexpr qint64 LargeSize = (qint64(4) << 30) + (1 << 20);
// The MD5 sum of LargeSize zero bytes.
const QString LargeZerosMd5 = QStringLiteral("bb5f534251d9b95ad40b14d16f88f709");

// A sparse file of LargeSize zero bytes, with `mark` written behind the 4 GiB
// mark when it is not empty.
bool writeLargeFile(const QString& path, const QByteArray& mark = {})
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !file.resize(LargeSize))
        return false;
    return mark.isEmpty()
        || (file.seek(LargeSize - (512 << 10)) && file.write(mark) == mark.size());
}

} // namespace

// Files above 4 GiB, for the 32-bit x86 build above all: sizes and offsets
// must be 64 bits wide everywhere, in Qt's file calls and in our own.
class LargeFilesTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void statReportsLargeFile();
    void listBuilderChecksLargeFile_data();
    void listBuilderChecksLargeFile();

private:
    std::unique_ptr<AppDirScratch> scratch;
    std::unique_ptr<QTemporaryDir> workDir;
};

void LargeFilesTest::init()
{
    scratch = std::make_unique<AppDirScratch>(QStringLiteral("largefiles"));
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid() && workDir->isValid());
}

void LargeFilesTest::cleanup()
{
    scratch.reset();
    workDir.reset();
}

// The work directory check calls lstat itself. Built without 64-bit file
// offsets, a 32-bit lstat fails (EOVERFLOW) on what does not fit in 32 bits,
// and the check would distrust a good work directory.
void LargeFilesTest::statReportsLargeFile()
{
    const QString path = workDir->filePath(QStringLiteral("large"));
    QVERIFY(writeLargeFile(path));

    struct stat status;
    QCOMPARE(::lstat(QFile::encodeName(path).constData(), &status), 0);
    QCOMPARE(qint64(status.st_size), LargeSize);
}

// A product ini lists a file of 4 GiB + 1 MiB with its MD5 sum and size. The
// installed file, when there is one, differs behind the 4 GiB mark; the
// release's file may already wait in the work directory, downloaded by an
// interrupted run.
void LargeFilesTest::listBuilderChecksLargeFile_data()
{
    QTest::addColumn<bool>("installed");
    QTest::addColumn<bool>("downloaded");

    QTest::newRow("changed, download waits") << true << true;
    QTest::newRow("new, nothing downloaded") << false << false;
}

void LargeFilesTest::listBuilderChecksLargeFile()
{
    QFETCH(bool, installed);
    QFETCH(bool, downloaded);

    Configuration config;
    config.updateType.type = QStringLiteral("client_linux_x86");
    config.tempDir = workDir->path();
    const QString key = scratch->rel(QStringLiteral("data/large.pak"));
    const QString line = QStringLiteral("%1::%2").arg(LargeZerosMd5, QString::number(LargeSize));
    QVERIFY(TestFiles::write(workDir->filePath(QStringLiteral("client_linux_x86.ini")),
                             "[data]\n" + key.toUtf8() + '=' + line.toUtf8() + '\n'));
    if (installed)
        QVERIFY(writeLargeFile(AppDirScratch::installed(key), "x"));
    if (downloaded)
        QVERIFY(writeLargeFile(workDir->filePath(key)));

    FileSpecifications specs;
    MakeDownloadReplaceListFunc builder(&config, specs);
    QVERIFY(builder.run());

    QCOMPARE(specs.replacements.size(), 1);
    QCOMPARE(specs.replacements.first().fileName, key);
    QCOMPARE(specs.downloads.size(), downloaded ? 0 : 1);
    if (!downloaded) {
        QCOMPARE(specs.downloads.first().fileName, key);
        QCOMPARE(specs.downloads.first().size, quint64(LargeSize));
    }
}

static TestRegistration registration("LargeFilesTest", [] { return new LargeFilesTest; });

#include "tst_largefiles.moc"
