#include "testregistry.h"

#include "appdirscratch.h"
#include "configuration.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "releasebuilder.h"
#include "signing.h"
#include "testfiles.h"
#include "tomcryptutil.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

const QString Compiling = QStringLiteral("Compiling download and replace list");
const QString InvalidLine =
    QStringLiteral("Warning: product ini contains invalid line in section %1");

QString describe(const FileDownloadSpecification& spec)
{
    return QStringLiteral("%1 | %2 | %3 | %4")
        .arg(spec.section, spec.fileName, spec.md5, QString::number(spec.size));
}

QString describe(const FileReplaceSpecification& spec)
{
    return QStringLiteral("%1 | %2 | %3 | %4 | %5")
        .arg(spec.section, spec.fileName, spec.md5, QString::number(spec.size), spec.unzipDest);
}

template <typename Specification> QStringList describe(const QList<Specification>& list)
{
    QStringList result;
    for (const Specification& spec : list)
        result << describe(spec);
    return result;
}

// One pass of the list builder, run on the calling thread.
struct Pass
{
    bool ok = false;
    FileSpecifications specs;
    QStringList messages;
    QList<qreal> progress;
};

} // namespace

class FileListsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void sectionsAndKeysAreSorted();
    void decisionTable_data();
    void decisionTable();
    void signatureEntries_data();
    void signatureEntries();
    void nonRegularFilesAreNotCurrent_data();
    void nonRegularFilesAreNotCurrent();
    void unusualValidLines_data();
    void unusualValidLines();
    void escapedNamesSurvive();
    void invalidFieldCount_data();
    void invalidFieldCount();
    void noFiles_data();
    void noFiles();
    void progressCountsEveryEntry();
    void hostileNames_data();
    void hostileNames();
    void clashingDestinations_data();
    void clashingDestinations();
    void task_data();
    void task();

private:
    // A path below the application directory, as a product ini names it.
    QString app(const QString& name) const { return scratch->rel(name); }
    QString appPath(const QString& name) const { return AppDirScratch::installed(app(name)); }
    Pass runPass();

    // The installed files of each case live in a fresh directory below the
    // application directory, the test executable's own.
    std::unique_ptr<AppDirScratch> scratch;
    std::unique_ptr<QTemporaryDir> workDir;
    Configuration config;
    ReleaseBuilder release;
};

void FileListsTest::initTestCase()
{
    crypt_init();
}

void FileListsTest::init()
{
    scratch = std::make_unique<AppDirScratch>(QStringLiteral("filelists"));
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(scratch->isValid() && workDir->isValid());
    config.updateType.type = QStringLiteral("client_linux_x86");
    config.tempDir = workDir->path();
    release = ReleaseBuilder(config.updateType.type, 5);
}

void FileListsTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
    scratch.reset();
    workDir.reset();
}

Pass FileListsTest::runPass()
{
    Pass pass;
    MakeDownloadReplaceListFunc func(&config, pass.specs);
    connect(&func, &ASyncFunc::message, this, [&](const QString& line) { pass.messages << line; });
    connect(&func, &ASyncFunc::progress, this, [&](qreal value) { pass.progress << value; });
    pass.ok = func.run();
    return pass;
}

// Deletions list only the files that are there; their values are never read.
void FileListsTest::sectionsAndKeysAreSorted()
{
    // Written in this order; read by name, case-sensitively ("B" < "a").
    release.addFile("b", app("z"), "1");
    release.addFile("b", app("Z"), "2");
    release.addFile("b", app("y/x"), "3");
    release.addDeletion(app("old2"), true, "a value that is never read::1::2");
    release.addDeletion(app("lib/missing.so"));
    release.addDeletion(app("Old1"));
    release.addFile("a", app("k2"), "4");
    release.addFile("a", app("k1"), "5");
    release.addFile("B", app("q"), "6");
    QVERIFY(release.writeProductIni(workDir->path()));
    QVERIFY(TestFiles::write(appPath("Old1"), "x"));
    QVERIFY(TestFiles::write(appPath("old2"), "x"));

    const Pass pass = runPass();
    QVERIFY(pass.ok);
    QStringList expectedOrder;
    for (const auto& [section, key] : QList<QPair<QString, QString>>{
             {"B", "q"}, {"a", "k1"}, {"a", "k2"}, {"b", "Z"}, {"b", "y/x"}, {"b", "z"}})
        expectedOrder << describe(release.downloadSpec(section, app(key)));
    QCOMPARE(describe(pass.specs.downloads), expectedOrder);
    QCOMPARE(pass.specs.replacements.size(), 6);
    QCOMPARE(pass.specs.replacements.at(3).fileName, app("Z"));
    QCOMPARE(pass.specs.deletions, QStringList({app("Old1"), app("old2")}));
}

// Installed file and work copy each current, stale or missing, for a plain
// file, a packed file unpacked elsewhere and a packed file kept as is.
void FileListsTest::decisionTable_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("workCopy");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<bool>("downloaded");

    const QStringList states{"current", "stale", "missing"};
    for (const QString kind : {"plain", "unpacked", "packed kept"}) {
        for (const QString& installed : states) {
            for (const QString& workCopy : states) {
                const bool replaced = installed != QLatin1String("current");
                const bool downloaded = replaced && workCopy != QLatin1String("current");
                QTest::addRow("%s, installed %s, work copy %s", qPrintable(kind),
                              qPrintable(installed), qPrintable(workCopy))
                    << kind << installed << workCopy << replaced << downloaded;
            }
        }
    }
}

void FileListsTest::decisionTable()
{
    QFETCH(QString, kind);
    QFETCH(QString, installed);
    QFETCH(QString, workCopy);
    QFETCH(bool, replaced);
    QFETCH(bool, downloaded);

    const QByteArray content("release content of the file\n");
    const bool plain = kind == QLatin1String("plain");
    const bool unpacked = kind == QLatin1String("unpacked");
    const QString key = app(plain ? "bin/tool" : "pkg/tool.gz");
    const QString installedName = plain || unpacked ? app("bin/tool") : key;
    if (plain)
        release.addFile("bin", key, content);
    else
        release.addPackedFile("bin", key, content, unpacked ? installedName : QString());
    QVERIFY(release.writeProductIni(workDir->path()));
    if (installed == QLatin1String("current"))
        QVERIFY(release.install(Configuration::getAppRootPath()));
    else if (installed == QLatin1String("stale"))
        QVERIFY(TestFiles::write(appPath(installedName.section('/', 1)), "old release\n"));
    if (workCopy == QLatin1String("current"))
        QVERIFY(release.writeWorkCopies(workDir->path()));
    else if (workCopy == QLatin1String("stale"))
        QVERIFY(TestFiles::write(workDir->filePath(key), "half a downl"));
    if (unpacked && installed != QLatin1String("current")) {
        // The compressed file under its key in the application directory
        // matches field 1, but only the unpacked file counts.
        QVERIFY(TestFiles::write(appPath(key.section('/', 1)), release.download("bin", key)));
    }

    const Pass pass = runPass();
    QVERIFY(pass.ok);
    QCOMPARE(describe(pass.specs.replacements),
             replaced ? QStringList{describe(release.replaceSpec("bin", key))} : QStringList());
    QCOMPARE(describe(pass.specs.downloads),
             downloaded ? QStringList{describe(release.downloadSpec("bin", key))} : QStringList());
    QCOMPARE(pass.messages, QStringList{Compiling});
}

// Entries without an MD5 are checked against their .sig files, both the
// installed file and the work copy. A signature alone accepts any pair the
// maker ever signed; when the product ini lists the .sig with its MD5, the
// pair must be this release's, and the two are fetched and installed
// together.
void FileListsTest::signatureEntries_data()
{
    QTest::addColumn<bool>("packed");
    QTest::addColumn<bool>("signatureListed");
    // good, older (an older release's signed pair), other (a signature of
    // other content), changed (the file, beside its good signature),
    // missing (the signature); "-": no file
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("workCopy");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<bool>("downloaded");

    const auto row = [](bool packed, bool listed, const char* name, const char* installed,
                        const char* workCopy, bool replaced, bool downloaded) {
        QTest::addRow("%s, %s", listed ? "signature listed" : packed ? "packed" : "plain", name)
            << packed << listed << installed << workCopy << replaced << downloaded;
    };
    for (const bool packed : {false, true}) {
        row(packed, false, "installed and signed", "good", "-", false, false);
        row(packed, false, "installed, older signed pair", "older", "-", false, false);
        row(packed, false, "installed, signature of other content", "other", "-", true, true);
        row(packed, false, "installed, no signature", "missing", "-", true, true);
        row(packed, false, "work copy signed", "-", "good", true, false);
        row(packed, false, "work copy, signature of other content", "-", "other", true, true);
        row(packed, false, "work copy, no signature", "-", "missing", true, true);
    }
    row(false, true, "installed pair current", "good", "-", false, false);
    row(false, true, "installed older signed pair", "older", "-", true, true);
    row(false, true, "installed file changed", "changed", "-", true, true);
    row(false, true, "installed signature absent", "missing", "-", true, true);
    row(false, true, "work copies current", "-", "good", true, false);
    row(false, true, "work copies an older signed pair", "-", "older", true, true);
    row(false, true, "work copy of the signature absent", "-", "missing", true, true);
}

void FileListsTest::signatureEntries()
{
    QFETCH(bool, packed);
    QFETCH(bool, signatureListed);
    QFETCH(QString, installed);
    QFETCH(QString, workCopy);
    QFETCH(bool, replaced);
    QFETCH(bool, downloaded);

    const QString key = app(packed ? "data/maps.pak.gz" : "data/maps.pak");
    ReleaseBuilder older(config.updateType.type, 4);
    for (const auto& [builder, content] :
         {std::pair{&release, "map data"}, std::pair{&older, "old map data"}}) {
        if (packed)
            builder->addPackedFile("data", key, content, app("data/maps.pak"),
                                   ReleaseBuilder::Check::Signature);
        else
            builder->addFile("data", key, content, ReleaseBuilder::Check::Signature);
    }
    if (signatureListed)
        release.addFile("data", key + ".sig", release.downloadSignature("data", key));
    QVERIFY(release.writeProductIni(workDir->path()));
    const auto lay = [](const QString& state, const QString& path) {
        if (state == QLatin1String("missing"))
            return QFile::remove(path + ".sig");
        if (state == QLatin1String("other"))
            return TestFiles::write(path + ".sig", Signing::signature("other content"));
        if (state == QLatin1String("changed"))
            return TestFiles::write(path, "changed content");
        return true;
    };
    if (installed != QLatin1String("-")) {
        const ReleaseBuilder& source = installed == QLatin1String("older") ? older : release;
        QVERIFY(source.install(Configuration::getAppRootPath()));
        QVERIFY(lay(installed, appPath("data/maps.pak")));
    }
    if (workCopy != QLatin1String("-")) {
        const ReleaseBuilder& source = workCopy == QLatin1String("older") ? older : release;
        QVERIFY(source.writeWorkCopies(workDir->path()));
        QVERIFY(lay(workCopy, workDir->filePath(key)));
    }

    QStringList replacements;
    QStringList downloads;
    for (const QString& listed : signatureListed ? QStringList{key, key + ".sig"} : QStringList{key}) {
        replacements << describe(release.replaceSpec("data", listed));
        downloads << describe(release.downloadSpec("data", listed));
    }
    const Pass pass = runPass();
    QVERIFY(pass.ok);
    QCOMPARE(describe(pass.specs.replacements), replaced ? replacements : QStringList());
    QCOMPARE(describe(pass.specs.downloads), downloaded ? downloads : QStringList());
}

// An installed file or work copy that is no regular file is not current and
// never reused, and the pass never reads it: a FIFO would block it for good,
// a link to /dev/zero would never end.
void FileListsTest::nonRegularFilesAreNotCurrent_data()
{
    QTest::addColumn<QString>("place"); // installed, installed signature, work copy
    QTest::addColumn<QString>("kind");  // fifo, link to fifo, link to /dev/null

    for (const QString place : {"installed", "work copy"}) {
        for (const QString kind : {"fifo", "link to fifo", "link to /dev/null"})
            QTest::addRow("%s: %s", qPrintable(place), qPrintable(kind)) << place << kind;
    }
    QTest::newRow("installed signature: fifo") << "installed signature" << "fifo";
}

void FileListsTest::nonRegularFilesAreNotCurrent()
{
    QFETCH(QString, place);
    QFETCH(QString, kind);

    // Empty content: what /dev/null reads matches the listed MD5, so only
    // the kind of file can tell.
    const QString key = app("bin/tool");
    release.addFile("bin", key, QByteArray(),
                    place == QLatin1String("installed signature") ? ReleaseBuilder::Check::Signature
                                                                  : ReleaseBuilder::Check::Md5);
    QVERIFY(release.writeProductIni(workDir->path()));
    QString path = workDir->filePath(key);
    if (place != QLatin1String("work copy")) {
        QVERIFY(release.install(Configuration::getAppRootPath()));
        path = appPath(place == QLatin1String("installed") ? "bin/tool" : "bin/tool.sig");
        QVERIFY(QFile::remove(path));
    }
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QTemporaryDir elsewhere;
    QString fifo;
    if (kind == QLatin1String("link to /dev/null")) {
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), path));
    } else {
        fifo = kind == QLatin1String("fifo") ? path : elsewhere.filePath("fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        if (fifo != path)
            QVERIFY(QFile::link(fifo, path));
    }

    FileSpecifications target;
    MakeDownloadReplaceListTaskSpecification task(&config, target, nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    // Opening the FIFO's other end frees a pass that is stuck reading it.
    bool read = false;
    const auto passEnded = [&] {
        if (!fifo.isEmpty()) {
            const int fd = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                ::close(fd);
                read = true;
            }
        }
        return read || !finished.isEmpty();
    };
    QTRY_VERIFY(passEnded());
    QVERIFY2(!read, "the pass opened the FIFO");
    QCOMPARE(describe(target.replacements), QStringList{describe(release.replaceSpec("bin", key))});
    QCOMPARE(describe(target.downloads), QStringList{describe(release.downloadSpec("bin", key))});
}

// Lines that look odd but are valid, and the records they give.
void FileListsTest::unusualValidLines_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("download");
    QTest::addColumn<QString>("replacement");

    QTest::newRow("just the separator") << "::" << "s | %1 |  | 0" << "s | %1 |  | 0 | ";
    QTest::newRow("size that is no number") << "abc::12abc" << "s | %1 | abc | 0" << "s | %1 |  | 0 | ";
    QTest::newRow("five fields, empty unpack destination")
        << "abc::7::def::9::" << "s | %1 | abc | 7" << "s | %1 | def | 9 | ";
    QTest::newRow("five fields, unpacked size no number")
        << "abc::7::def::x9::%2" << "s | %1 | abc | 7" << "s | %1 | def | 0 | %2";
    QTest::newRow("dot directory in the unpack destination")
        << "abc::7::def::9::./%2" << "s | %1 | abc | 7" << "s | %1 | def | 9 | ./%2";
}

void FileListsTest::unusualValidLines()
{
    QFETCH(QString, value);
    QFETCH(QString, download);
    QFETCH(QString, replacement);

    const QString key = app("file");
    const QString dest = app("lib/file");
    release.addLine("s", key, value.replace("%2", dest));
    QVERIFY(release.writeProductIni(workDir->path()));

    const Pass pass = runPass();
    QVERIFY(pass.ok);
    QCOMPARE(describe(pass.specs.downloads), QStringList{download.replace("%1", key)});
    QCOMPARE(describe(pass.specs.replacements),
             QStringList{replacement.replace("%1", key).replace("%2", dest)});
}

// Blanks, commas, quotes and non-ASCII letters in names reach the lists
// unchanged, and files with such names are found.
void FileListsTest::escapedNamesSurvive()
{
    const QString plain = app(QStringLiteral("data/größe €, \"1\"; #2 %3.txt"));
    const QString packed = app(QStringLiteral("data/ärger=1.gz"));
    const QString unpacked = app(QStringLiteral("lib/ärger, 1 @x.so"));
    release.addFile("Section mit ß", plain, "one");
    release.addPackedFile("Section mit ß", packed, "two", unpacked);
    release.addFile("other", app("stays"), "three");
    QVERIFY(release.writeProductIni(workDir->path()));
    QVERIFY(TestFiles::write(appPath("stays"), "three"));

    const Pass pass = runPass();
    QVERIFY(pass.ok);
    // "g" sorts before "ä".
    QCOMPARE(describe(pass.specs.downloads),
             QStringList({describe(release.downloadSpec("Section mit ß", plain)),
                          describe(release.downloadSpec("Section mit ß", packed))}));
    QCOMPARE(describe(pass.specs.replacements),
             QStringList({describe(release.replaceSpec("Section mit ß", plain)),
                          describe(release.replaceSpec("Section mit ß", packed))}));
}

// A line of the wrong shape stops the pass; what earlier sections gave is
// not handed out either.
void FileListsTest::invalidFieldCount_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("value");

    QTest::newRow("one field") << "files" << "d41d8cd98f00b204e9800998ecf8427e";
    QTest::newRow("empty value") << "files" << "";
    QTest::newRow("three fields") << "files" << "a::1::b";
    QTest::newRow("four fields") << "files" << "a::1::b::2";
    QTest::newRow("six fields") << "files" << "a::1::b::2::c::d";
    QTest::newRow("Delete is an ordinary section") << "Delete" << "";
    QTest::newRow("DELETE is an ordinary section") << "DELETE" << "x";
}

void FileListsTest::invalidFieldCount()
{
    QFETCH(QString, section);
    QFETCH(QString, value);

    release.addFile("a-first", app("first"), "first");
    release.addDeletion(app("gone"));
    release.addLine(section, app("bad"), value);
    release.addFile("z-last", app("last"), "last");
    QVERIFY(release.writeProductIni(workDir->path()));
    QVERIFY(release.install(Configuration::getAppRootPath()));
    QVERIFY(QFile::remove(appPath("first")));

    const Pass pass = runPass();
    QVERIFY(!pass.ok);
    QCOMPARE(pass.messages, QStringList({Compiling, InvalidLine.arg(section)}));
    QVERIFY(pass.specs.downloads.isEmpty());
    QVERIFY(pass.specs.replacements.isEmpty());
    QVERIFY(pass.specs.deletions.isEmpty());
}

void FileListsTest::noFiles_data()
{
    QTest::addColumn<QByteArray>("ini"); // "-": no file at all

    QTest::newRow("missing") << QByteArray("-");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("only keys outside sections") << QByteArray("a=1::2\nb=3::4\n");
    QTest::newRow("General section") << QByteArray("[General]\na=1::2\n");
    QTest::newRow("section without keys") << QByteArray("[files]\n[delete]\n");
}

void FileListsTest::noFiles()
{
    QFETCH(QByteArray, ini);
    if (ini != "-")
        QVERIFY(TestFiles::write(workDir->filePath(release.productIniName()), ini));

    const Pass pass = runPass();
    QVERIFY(!pass.ok);
    QCOMPARE(pass.messages, QStringList({Compiling, QStringLiteral("No files in product ini")}));
    QVERIFY(pass.progress.isEmpty());
}

// Every entry of every section, "delete" included, moves the progress before
// it is processed; top-level keys do not count.
void FileListsTest::progressCountsEveryEntry()
{
    release.addLine(QString(), "outside", "1::2");
    release.addFile("a", app("one"), "1");
    release.addFile("a", app("two"), "2");
    release.addDeletion(app("three"), false);
    release.addFile("b", app("four"), "4");
    release.addDeletion(app("five"));
    release.addLine("c", app("six"), "::");
    QVERIFY(release.writeProductIni(workDir->path()));

    const Pass pass = runPass();
    QVERIFY(pass.ok);
    QCOMPARE(pass.progress.size(), 6);
    for (int index = 0; index < 6; ++index)
        QCOMPARE(pass.progress.at(index), (index + 1) / 6.0);
}

// A name that leaves the work or application directory makes its line
// invalid, whether it is a key, an unpack destination or a "delete" entry.
// Look-alikes that stay inside are fine. "@" stands for this test's
// directory below the application directory.
void FileListsTest::hostileNames_data()
{
    QTest::addColumn<QString>("place"); // key, unpack, delete
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");

    for (const QString place : {"key", "unpack", "delete"}) {
        const QByteArray tag = place.toLatin1();
        QTest::addRow("%s: parent", tag.constData()) << place << "../engine" << false;
        QTest::addRow("%s: parent inside a path", tag.constData())
            << place << "@/a/../../../x" << false;
        QTest::addRow("%s: ends in parent", tag.constData()) << place << "@/.." << false;
        // Qt cannot read back the value of a key with a leading "/", so
        // only the other two places can name an absolute path.
        if (place != QLatin1String("key"))
            QTest::addRow("%s: absolute", tag.constData()) << place << QDir::tempPath() << false;
        QTest::addRow("%s: backslash", tag.constData()) << place << "@/lib\\x.so" << false;
        QTest::addRow("%s: the directory itself", tag.constData()) << place << "." << false;
        QTest::addRow("%s: dots inside names", tag.constData()) << place << "@/a..b/..x" << true;
        QTest::addRow("%s: dot directory", tag.constData()) << place << "./@/x" << true;
    }
}

void FileListsTest::hostileNames()
{
    QFETCH(QString, place);
    QFETCH(QString, name);
    QFETCH(bool, valid);

    name.replace(QLatin1Char('@'), scratch->name());
    // Files that the hostile names reach, so a name that slipped through
    // would be listed for deletion.
    for (const char* reached : {"lib\\x.so", "a..b/..x", "x"})
        QVERIFY(TestFiles::write(appPath(reached), "x"));
    release.addFile("a", app("before"), "before");
    if (place == QLatin1String("key"))
        release.addFile("files", name, "content");
    else if (place == QLatin1String("unpack"))
        release.addPackedFile("files", app("x.gz"), "content", name);
    else
        release.addDeletion(name, false);
    QVERIFY(release.writeProductIni(workDir->path()));

    const Pass pass = runPass();
    QCOMPARE(pass.ok, valid);
    const QString section = place == QLatin1String("delete") ? "delete" : "files";
    if (!valid) {
        QCOMPARE(pass.messages, QStringList({Compiling, InvalidLine.arg(section)}));
        QVERIFY(pass.specs.replacements.isEmpty());
        QVERIFY(pass.specs.deletions.isEmpty());
    } else if (place == QLatin1String("delete")) {
        QCOMPARE(pass.specs.deletions, QStringList{name});
    } else {
        QCOMPARE(pass.specs.replacements.size(), 2);
    }
}

// Two lines that write one file, in the work directory or in the
// installation, would overwrite each other. "@" stands for this test's
// directory below the application directory; "%ini" for the product ini's
// name. The first line is in section "a"; the warning names the section
// of the later line.
void FileListsTest::clashingDestinations_data()
{
    QTest::addColumn<QString>("firstKey");
    QTest::addColumn<QString>("firstValue");
    QTest::addColumn<QString>("secondSection");
    QTest::addColumn<QString>("secondKey");
    QTest::addColumn<QString>("secondValue");
    QTest::addColumn<bool>("valid");

    const QString plain = QStringLiteral("abc::1");
    const QString bySignature = QStringLiteral("::1");
    const auto unpackedTo = [](const QString& destination) {
        return QStringLiteral("abc::1::def::2::") + destination;
    };
    QTest::newRow("same key in two sections")
        << "@/lib/a.so" << plain << "b" << "@/lib/a.so" << plain << false;
    QTest::newRow("same download, spelled differently")
        << "@/lib/a.gz" << unpackedTo("@/lib/one.so")
        << "b" << "./@/lib/./a.gz" << unpackedTo("@/lib/two.so") << false;
    QTest::newRow("keys differing in case")
        << "@/lib/a.so" << plain << "b" << "@/lib/A.so" << plain << true;
    QTest::newRow("a file listed for deletion too")
        << "@/lib/a.so" << plain << "delete" << "@/lib/a.so" << QString() << true;
    QTest::newRow("same unpack destination")
        << "@/a.gz" << unpackedTo("@/lib/a.so") << "b" << "@/b.gz" << unpackedTo("./@/lib/a.so") << false;
    QTest::newRow("key installed where another line unpacks")
        << "@/lib/a.so" << plain << "b" << "@/a.gz" << unpackedTo("@/lib/a.so") << false;
    QTest::newRow("unpacked where another line's download lies")
        << "@/lib/a.so" << unpackedTo("@/lib/b.so") << "b" << "@/b.gz" << unpackedTo("@/lib/a.so") << true;
    QTest::newRow("the product ini") << "@/x" << plain << "b" << "%ini" << plain << false;
    QTest::newRow("the product ini, spelled differently")
        << "@/x" << plain << "b" << "./%ini" << plain << false;
    QTest::newRow("the product ini's signature")
        << "@/x" << plain << "b" << "%ini.sig" << plain << false;
    QTest::newRow("the signature of a signed file, same section")
        << "@/lib/a.so" << bySignature << "a" << "./@/lib/a.so.sig" << plain << true;
    QTest::newRow("the signature of a signed file, other section")
        << "@/lib/a.so" << bySignature << "b" << "./@/lib/a.so.sig" << plain << false;
    QTest::newRow("a signed file whose signature another section lists")
        << "@/lib/a.so.sig" << plain << "b" << "./@/lib/a.so" << bySignature << false;
    QTest::newRow("the signature of a file with an MD5, other section")
        << "@/lib/a.so" << plain << "b" << "@/lib/a.so.sig" << plain << true;
}

void FileListsTest::clashingDestinations()
{
    QFETCH(QString, firstKey);
    QFETCH(QString, firstValue);
    QFETCH(QString, secondSection);
    QFETCH(QString, secondKey);
    QFETCH(QString, secondValue);
    QFETCH(bool, valid);

    const auto resolve = [this](QString text) {
        return text.replace(QLatin1Char('@'), scratch->name())
            .replace(QStringLiteral("%ini"), release.productIniName());
    };
    release.addLine(QStringLiteral("a"), resolve(firstKey), resolve(firstValue));
    release.addLine(secondSection, resolve(secondKey), resolve(secondValue));
    QVERIFY(release.writeProductIni(workDir->path()));

    const Pass pass = runPass();
    QCOMPARE(pass.ok, valid);
    QCOMPARE(pass.messages.last(), valid ? Compiling : InvalidLine.arg(secondSection));
    if (!valid)
        QVERIFY(pass.specs.downloads.isEmpty());
}

// The task hands the lists on only after a complete pass; a failed pass
// leaves nothing, not even lists of an earlier pass, where the later steps
// would read them.
void FileListsTest::task_data()
{
    QTest::addColumn<bool>("valid");
    QTest::newRow("complete pass") << true;
    QTest::newRow("invalid line") << false;
}

void FileListsTest::task()
{
    QFETCH(bool, valid);

    release.addFile("bin", app("bin/new"), "new");
    release.addFile("bin", app("bin/same"), "same");
    release.addDeletion(app("bin/gone"));
    if (!valid)
        release.addLine("data", app("bad"), "1::2::3");
    QVERIFY(release.writeProductIni(workDir->path()));
    QVERIFY(release.install(Configuration::getAppRootPath()));
    QVERIFY(QFile::remove(appPath("bin/new")));

    FileSpecifications target;
    target.downloads.append(release.downloadSpec("bin", app("bin/same")));
    target.deletions.append(app("earlier"));
    MakeDownloadReplaceListTaskSpecification task(&config, target, nullptr, 0.05);
    QStringList messages;
    connect(&task, &TaskSpecification::message, this, [&](const QString& line) { messages << line; });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QCOMPARE(task.state, int(TaskState::Running));
    QTRY_COMPARE(finished.count() + canceled.count(), 1);

    const auto expected = [valid](const QString& text) { return valid ? QStringList{text} : QStringList(); };
    QCOMPARE(task.state, int(valid ? TaskState::Finished : TaskState::ErrorCanceled));
    QCOMPARE(messages, valid ? QStringList{Compiling} : QStringList({Compiling, InvalidLine.arg("data")}));
    const QString fresh = app("bin/new");
    QCOMPARE(describe(target.downloads), expected(describe(release.downloadSpec("bin", fresh))));
    QCOMPARE(describe(target.replacements), expected(describe(release.replaceSpec("bin", fresh))));
    QCOMPARE(target.deletions, expected(app("bin/gone")));
}

static TestRegistration registration("FileListsTest", [] { return new FileListsTest; });

#include "tst_filelists.moc"
