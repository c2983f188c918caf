#include "testregistry.h"

#include "configuration.h"
#include "fakeupdateserver.h"
#include "iniwriter.h"
#include "modalanswerer.h"
#include "testfiles.h"
#include "updateserver.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using IniValues = QList<QPair<QString, QVariant>>;

namespace {

const QByteArray VersionRequest("3\0", 2);
const QByteArray NewsRequest("*\0", 2);
const QByteArray ServerVersions("7#1.0,8#1.1 beta,9#2.0 alpha");
const QByteArray ServerNews("Server news");

QString updateIni()
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

mode_t permissionBits(const QString& path)
{
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

} // namespace

class ConfigurationTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void commandLine_data();
    void commandLine();
    void failedQueryAsksAbortOrRetry_data();
    void failedQueryAsksAbortOrRetry();
    void proxyAndStreams_data();
    void proxyAndStreams();
    void workDirectoryNumbering_data();
    void workDirectoryNumbering();
    void missingTempDirectoryIsFatal();
    void resumedWorkDirectory_data();
    void resumedWorkDirectory();
    void specialFileNames_data();
    void specialFileNames();

private:
    QString originalTmpDir;
    std::unique_ptr<QTemporaryDir> tempRoot;
};

void ConfigurationTest::initTestCase()
{
    originalTmpDir = qEnvironmentVariable("TMPDIR");
}

void ConfigurationTest::init()
{
    BANNER_SERVER = QStringLiteral("127.0.0.1");
    QVERIFY(IniWriter::remove(updateIni()));
    tempRoot = std::make_unique<QTemporaryDir>();
    QVERIFY(tempRoot->isValid());
    qputenv("TMPDIR", QFile::encodeName(tempRoot->path()));
}

void ConfigurationTest::cleanup()
{
    qputenv("TMPDIR", QFile::encodeName(originalTmpDir));
    tempRoot.reset();
}

void ConfigurationTest::cleanupTestCase()
{
    IniWriter::remove(updateIni());
}

void ConfigurationTest::commandLine_data()
{
    QTest::addColumn<IniValues>("ini");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("versionReply");
    QTest::addColumn<bool>("expectedResult");
    QTest::addColumn<int>("expectedChannel");
    QTest::addColumn<QString>("expectedType");
    QTest::addColumn<int>("expectedVersion");
    QTest::addColumn<QString>("expectedVersionName");
    QTest::addColumn<QString>("expectedNews");
    QTest::addColumn<int>("expectedNoUserMode");
    QTest::addColumn<bool>("expectQuery");
    QTest::addColumn<QString>("expectedFatalError");

    const int stable = int(UpdateChannel::Stable);
    const int beta = int(UpdateChannel::Beta);
    const int alpha = int(UpdateChannel::Alpha);
    const QString defaultType = QStringLiteral("client_linux_x86");
    const QString news = QString::fromLatin1(ServerNews);
    const IniValues none;
    const IniValues betaIni{{"Channel/beta", true}};
    const IniValues alphaIni{{"Channel/alpha", "http://alpha/"}, {"Channel/beta", true}};
    const IniValues alphaRevnoIni{{"Channel/alpha", "http://alpha/"}, {"Channel/alphaRevno", 42}};

    QTest::newRow("no arguments: stable entry and news from the server")
        << none << QStringList() << ServerVersions
        << true << stable << defaultType << 7 << "1.0" << news << 0 << true << QString();
    QTest::newRow("beta channel takes entry 1")
        << betaIni << QStringList() << ServerVersions
        << true << beta << defaultType << 8 << "1.1 beta" << news << 0 << true << QString();
    QTest::newRow("alpha wins over beta, revno missing: entry 2")
        << alphaIni << QStringList() << ServerVersions
        << true << alpha << defaultType << 9 << "2.0 alpha" << news << 0 << true << QString();
    QTest::newRow("alpha revno set: no query, version argument ignored")
        << alphaRevnoIni << QStringList{"mytype", "x"} << ServerVersions
        << true << alpha << "mytype" << 42 << "" << "" << 0 << false << QString();
    QTest::newRow("alpha revno set with --nouser and a bad version")
        << alphaRevnoIni << QStringList{"--nouser", "mytype", "x"} << ServerVersions
        << true << alpha << "mytype" << 42 << "" << "" << 1 << false << QString();
    QTest::newRow("--nouser alone")
        << none << QStringList{"--nouser"} << ServerVersions
        << true << stable << defaultType << 7 << "1.0" << news << 1 << true << QString();
    QTest::newRow("--nouser and one argument ignores it")
        << none << QStringList{"--nouser", "mytype"} << ServerVersions
        << true << stable << defaultType << 7 << "1.0" << news << 1 << true << QString();
    QTest::newRow("--nouser with version 0 asks the server, whose texts win")
        << none << QStringList{"--nouser", "mytype", "0", "My name", "My news"} << ServerVersions
        << true << stable << "mytype" << 7 << "1.0" << news << 1 << true << QString();
    QTest::newRow("--nouser with # as the name")
        << none << QStringList{"--nouser", "mytype", "12", "#"} << ServerVersions
        << true << stable << "mytype" << 12 << "" << "" << 1 << false << QString();
    QTest::newRow("--nouser with name, news and an extra argument")
        << none << QStringList{"--nouser", "mytype", "12", "Twelve", "Fresh", "extra"} << ServerVersions
        << true << stable << "mytype" << 12 << "Twelve" << "Fresh" << 1 << false << QString();
    QTest::newRow("--nouser with a name and no news")
        << none << QStringList{"--nouser", "mytype", "12", "Twelve"} << ServerVersions
        << true << stable << "mytype" << 12 << "Twelve" << "" << 1 << false << QString();
    QTest::newRow("--nouser with a bad version")
        << none << QStringList{"--nouser", "mytype", "x"} << ServerVersions
        << false << stable << "mytype" << 0 << "" << "" << 0 << false << "Invalid version nr (x)";
    QTest::newRow("type and version")
        << none << QStringList{"mytype", "15"} << ServerVersions
        << true << stable << "mytype" << 15 << "" << "" << 0 << false << QString();
    QTest::newRow("type and version 0: no query")
        << none << QStringList{"mytype", "0"} << ServerVersions
        << true << stable << "mytype" << 0 << "" << "" << 0 << false << QString();
    QTest::newRow("type and a version that is no number")
        << none << QStringList{"mytype", "x"} << ServerVersions
        << false << stable << "mytype" << 0 << "" << "" << 0 << false << "Invalid version nr (x)";
    QTest::newRow("one argument is ignored")
        << none << QStringList{"mytype"} << ServerVersions
        << true << stable << defaultType << 7 << "1.0" << news << 0 << true << QString();
    QTest::newRow("four arguments without --nouser are ignored")
        << none << QStringList{"a", "12", "b", "c"} << ServerVersions
        << true << stable << defaultType << 7 << "1.0" << news << 0 << true << QString();
    QTest::newRow("--nouser is case-sensitive")
        << none << QStringList{"--NOUSER", "mytype", "12"} << ServerVersions
        << true << stable << defaultType << 7 << "1.0" << news << 0 << true << QString();
    QTest::newRow("no entry for the channel")
        << betaIni << QStringList() << QByteArray("7#1.0")
        << false << beta << defaultType << 0 << "" << news << 0 << true << QString();
    QTest::newRow("empty version for the channel")
        << none << QStringList() << QByteArray("#1.0")
        << false << stable << defaultType << 0 << "" << news << 0 << true << QString();
    QTest::newRow("server version is no number")
        << none << QStringList() << QByteArray("abc#1.0")
        << false << stable << defaultType << 0 << "" << news << 0 << true
        << "Update server returned invalid version nr (abc)";
}

void ConfigurationTest::commandLine()
{
    QFETCH(IniValues, ini);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, versionReply);
    QFETCH(bool, expectedResult);
    QFETCH(int, expectedChannel);
    QFETCH(QString, expectedType);
    QFETCH(int, expectedVersion);
    QFETCH(QString, expectedVersionName);
    QFETCH(QString, expectedNews);
    QFETCH(int, expectedNoUserMode);
    QFETCH(bool, expectQuery);
    QFETCH(QString, expectedFatalError);

    if (!ini.isEmpty())
        QVERIFY(IniWriter::write(updateIni(), ini));
    FakeUpdateServer server;
    server.setScript({FakeUpdateServer::reply(versionReply), FakeUpdateServer::reply(ServerNews)});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    ModalAnswerer answerer;

    Configuration config;
    QSignalSpy fatalErrors(&config, &Configuration::fatalError);
    const bool result = config.parseCommandLineOptions(QStringList{"update"} + arguments);

    QCOMPARE(result, expectedResult);
    QCOMPARE(int(config.updateType.channel), expectedChannel);
    QCOMPARE(config.updateType.type, expectedType);
    QCOMPARE(config.updateType.version, expectedVersion);
    QCOMPARE(config.updateType.versionName, expectedVersionName);
    QCOMPARE(config.updateType.news, expectedNews);
    QCOMPARE(config.noUserMode, expectedNoUserMode);
    const QList<QByteArray> expectedRequests =
        expectQuery ? QList<QByteArray>{VersionRequest, NewsRequest} : QList<QByteArray>();
    QCOMPARE(server.received(), expectedRequests);
    QCOMPARE(fatalErrors.size(), expectedFatalError.isEmpty() ? 0 : 1);
    if (!expectedFatalError.isEmpty())
        QCOMPARE(fatalErrors.at(0).at(0).toString(), expectedFatalError);
    QVERIFY(answerer.boxes().isEmpty());
}

void ConfigurationTest::failedQueryAsksAbortOrRetry_data()
{
    QTest::addColumn<QList<int>>("answers");
    QTest::addColumn<bool>("serverBackAfterFirstBox");
    QTest::addColumn<bool>("expectedResult");
    QTest::addColumn<int>("expectedBoxes");

    QTest::newRow("abort") << QList<int>{QMessageBox::Abort} << false << false << 1;
    QTest::newRow("retry fails again, then abort")
        << QList<int>{QMessageBox::Retry, QMessageBox::Abort} << false << false << 2;
    QTest::newRow("retry succeeds") << QList<int>{QMessageBox::Retry} << true << true << 1;
}

void ConfigurationTest::failedQueryAsksAbortOrRetry()
{
    QFETCH(QList<int>, answers);
    QFETCH(bool, serverBackAfterFirstBox);
    QFETCH(bool, expectedResult);
    QFETCH(int, expectedBoxes);

    FakeUpdateServer server;
    server.setScript({FakeUpdateServer::reply(ServerVersions), FakeUpdateServer::reply(ServerNews)});
    QVERIFY2(server.start(), qPrintable(server.errorString()));

    QList<QMessageBox::StandardButton> script;
    for (int answer : std::as_const(answers))
        script << QMessageBox::StandardButton(answer);
    ModalAnswerer answerer(script);
    if (serverBackAfterFirstBox) {
        answerer.setBeforeAnswer([](int boxIndex) {
            if (boxIndex == 0)
                BANNER_SERVER = QStringLiteral("127.0.0.1");
        });
    }
    // An IPv6 literal has no IPv4 address, so each attempt fails at once.
    BANNER_SERVER = QStringLiteral("::1");

    Configuration config;
    QSignalSpy fatalErrors(&config, &Configuration::fatalError);
    QCOMPARE(config.parseCommandLineOptions(QStringList{"update"}), expectedResult);

    QVERIFY(!answerer.watchdogFired());
    const QList<ModalAnswerer::SeenBox> boxes = answerer.boxes();
    QCOMPARE(boxes.size(), expectedBoxes);
    for (const ModalAnswerer::SeenBox& box : boxes) {
        QCOMPARE(box.title, QStringLiteral("Error"));
        QCOMPARE(box.text, QStringLiteral("Failed to query latest client\nversion from update server."));
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.buttons, QMessageBox::Abort | QMessageBox::Retry);
        QVERIFY(!box.hadParent);
    }
    QCOMPARE(fatalErrors.size(), 0);
    QCOMPARE(config.updateType.version, expectedResult ? 7 : 0);
    QCOMPARE(config.updateType.news, expectedResult ? QString::fromLatin1(ServerNews) : QString());
}

void ConfigurationTest::proxyAndStreams_data()
{
    QTest::addColumn<bool>("fileExists");
    QTest::addColumn<IniValues>("ini");
    QTest::addColumn<int>("expectedStreams");
    QTest::addColumn<QString>("expectedProxy");

    QTest::newRow("no update.ini") << false << IniValues() << 6 << QString();
    QTest::newRow("no keys") << true << IniValues{{"Channel/beta", true}} << 6 << QString();
    QTest::newRow("streams 0") << true << IniValues{{"update/streams", "0"}} << 6 << QString();
    QTest::newRow("streams -3") << true << IniValues{{"update/streams", "-3"}} << 6 << QString();
    QTest::newRow("streams word") << true << IniValues{{"update/streams", "many"}} << 6 << QString();
    QTest::newRow("streams 40") << true << IniValues{{"update/streams", "40"}} << 40 << QString();
    QTest::newRow("proxy kept as written")
        << true << IniValues{{"update/proxy", " http://proxy:3128 "}, {"update/streams", "1"}}
        << 1 << " http://proxy:3128 ";
}

void ConfigurationTest::proxyAndStreams()
{
    QFETCH(bool, fileExists);
    QFETCH(IniValues, ini);
    QFETCH(int, expectedStreams);
    QFETCH(QString, expectedProxy);

    if (fileExists)
        QVERIFY(IniWriter::write(updateIni(), ini));

    Configuration config;
    config.getProxyAndDownloadConcurrency();
    QCOMPARE(config.streams, expectedStreams);
    QCOMPARE(config.proxy, expectedProxy);
}

void ConfigurationTest::workDirectoryNumbering_data()
{
    QTest::addColumn<QList<int>>("takenByDirectories");
    QTest::addColumn<QList<int>>("takenByFiles");
    QTest::addColumn<QList<int>>("takenBySymlinks");
    QTest::addColumn<int>("expectedNumber");

    QList<int> all;
    for (int number = 0; number <= 999; ++number)
        all << number;

    QTest::newRow("first") << QList<int>() << QList<int>() << QList<int>() << 0;
    QTest::newRow("0 and 1 taken") << QList<int>{0, 1} << QList<int>() << QList<int>() << 2;
    QTest::newRow("a file is skipped like a directory")
        << QList<int>{1} << QList<int>{0} << QList<int>() << 2;
    QTest::newRow("planted symlinks are never adopted")
        << QList<int>() << QList<int>() << QList<int>{0, 1} << 2;
    QTest::newRow("a gap is used") << QList<int>{0, 2} << QList<int>() << QList<int>() << 1;
    QTest::newRow("all 1000 taken") << all << QList<int>() << QList<int>() << -1;
}

void ConfigurationTest::workDirectoryNumbering()
{
    QFETCH(QList<int>, takenByDirectories);
    QFETCH(QList<int>, takenByFiles);
    QFETCH(QList<int>, takenBySymlinks);
    QFETCH(int, expectedNumber);

    const QString base = tempRoot->filePath(QStringLiteral("korvalune_temp_"));
    for (int number : std::as_const(takenByDirectories))
        QVERIFY(QDir().mkdir(base + QString::number(number)));
    for (int number : std::as_const(takenByFiles))
        QVERIFY(TestFiles::write(base + QString::number(number), QByteArray()));
    // One link points to a directory someone else controls, the others
    // nowhere: both would hand that someone our downloads.
    const QString elsewhere = tempRoot->filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkdir(elsewhere));
    for (int number : std::as_const(takenBySymlinks)) {
        const QString target = number == 0 ? elsewhere : tempRoot->filePath(QStringLiteral("nowhere"));
        QVERIFY(QFile::link(target, base + QString::number(number)));
    }

    Configuration config;
    QSignalSpy fatalErrors(&config, &Configuration::fatalError);
    const bool created = config.initalizeStart(QString());

    if (expectedNumber < 0) {
        QVERIFY(!created);
        QCOMPARE(fatalErrors.size(), 1);
        QCOMPARE(fatalErrors.at(0).at(0).toString(), QStringLiteral("Unable to create temp directory."));
        return;
    }
    QVERIFY(created);
    QCOMPARE(fatalErrors.size(), 0);
    QCOMPARE(config.tempDir, base + QString::number(expectedNumber));
    QVERIFY(QFileInfo(config.tempDir).isDir());
    QVERIFY(!QFileInfo(config.tempDir).isSymLink());
    QCOMPARE(permissionBits(config.tempDir), mode_t(0700));
    QVERIFY(QDir(elsewhere).isEmpty());
    QVERIFY(!QFileInfo::exists(tempRoot->filePath(QStringLiteral("nowhere"))));
}

void ConfigurationTest::missingTempDirectoryIsFatal()
{
    qputenv("TMPDIR", QFile::encodeName(tempRoot->filePath(QStringLiteral("missing"))));

    Configuration config;
    QSignalSpy fatalErrors(&config, &Configuration::fatalError);
    QVERIFY(!config.initalizeStart(QString()));
    QCOMPARE(fatalErrors.size(), 1);
    QCOMPARE(fatalErrors.at(0).at(0).toString(), QStringLiteral("Unable to get temp directory."));
    QVERIFY(config.tempDir.isEmpty());
}

void ConfigurationTest::resumedWorkDirectory_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("expectTaken");

    QTest::newRow("private directory") << "private" << true;
    QTest::newRow("group-writable directory") << "group-writable" << false;
    QTest::newRow("world-writable directory") << "world-writable" << false;
    QTest::newRow("symlink to a private directory") << "symlink" << false;
    QTest::newRow("plain file") << "file" << false;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("another user's directory") << "foreign" << false;
}

void ConfigurationTest::resumedWorkDirectory()
{
    QFETCH(QString, kind);
    QFETCH(bool, expectTaken);

    const QString recorded = tempRoot->filePath(QStringLiteral("recorded"));
    const QString privateDir = tempRoot->filePath(QStringLiteral("private"));
    QVERIFY(QDir().mkdir(privateDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    if (kind == QLatin1String("private")) {
        QVERIFY(QDir().mkdir(recorded, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    } else if (kind == QLatin1String("group-writable") || kind == QLatin1String("world-writable")) {
        QVERIFY(QDir().mkdir(recorded));
        const mode_t mode = kind == QLatin1String("group-writable") ? 0770 : 0777;
        QCOMPARE(::chmod(QFile::encodeName(recorded).constData(), mode), 0);
    } else if (kind == QLatin1String("symlink")) {
        QVERIFY(QFile::link(privateDir, recorded));
    } else if (kind == QLatin1String("file")) {
        QVERIFY(TestFiles::write(recorded, QByteArray()));
    } else if (kind == QLatin1String("foreign")) {
        if (::geteuid() != 0)
            QSKIP("handing a directory to another user needs root");
        QVERIFY(QDir().mkdir(recorded, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QCOMPARE(::chown(QFile::encodeName(recorded).constData(), 65534, 65534), 0);
    }

    Configuration config;
    QSignalSpy fatalErrors(&config, &Configuration::fatalError);
    QVERIFY(config.initalizeStart(recorded));
    QCOMPARE(fatalErrors.size(), 0);
    if (expectTaken) {
        QCOMPARE(config.tempDir, recorded);
        return;
    }
    QCOMPARE(config.tempDir, tempRoot->filePath(QStringLiteral("korvalune_temp_0")));
    QCOMPARE(permissionBits(config.tempDir), mode_t(0700));
    QVERIFY(QDir(privateDir).isEmpty());
}

void ConfigurationTest::specialFileNames_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("expected");

    QTest::newRow("the updater") << "update" << true;
    QTest::newRow("capital letter") << "Update" << false;
    QTest::newRow("with a directory") << "old/update" << false;
}

void ConfigurationTest::specialFileNames()
{
    QFETCH(QString, fileName);
    QFETCH(bool, expected);

    QCOMPARE(Configuration::isSpecialFileName(fileName), expected);
}

static TestRegistration registration("ConfigurationTest", [] { return new ConfigurationTest; });
#include "tst_configuration.moc"
