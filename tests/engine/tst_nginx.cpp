#include "testregistry.h"

#include "configuration.h"
#include "downloadfixture.h"
#include "downloadfilelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "iniwriter.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "mirrors.h"
#include "nginxserver.h"
#include "releasebuilder.h"
#include "testfiles.h"
#include "tomcryptutil.h"
#include "updateengine.h"

#include <QDir>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

namespace {

const int Version = 7;
const QString Type = QStringLiteral("client_linux_x86");
const QString Section = QStringLiteral("client");

QByteArray contentOf(const QString& name, int size)
{
    QByteArray bytes;
    bytes.reserve(size);
    quint32 state = qHash(name) | 1u;
    while (bytes.size() < size) {
        state = state * 1664525u + 1013904223u;
        bytes.append(char(state >> 24));
    }
    return bytes;
}

} // namespace

// The first three steps of a run against a real HTTP server that serves a
// signed release, beside a mirror that redirects and one that has nothing:
// the product ini download, the list builder and the file downloads.
class NginxDownloadTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void releaseComesFromTheWorkingMirror();
    void signedPairUpdatesAsAWhole();
    void namesThatLookLikeUrlSyntaxInstall();

private:
    QString updateFrom(const ReleaseBuilder& release);
};

void NginxDownloadTest::initTestCase()
{
    if (NginxServer::executable().isEmpty())
        QSKIP("nginx is not installed");
    crypt_init();
}

// Removes what a whole run made in the application directory, which is
// this test's own.
void NginxDownloadTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
    const QString appDir = Configuration::getAppRootPath();
    for (const QString dir : {"lib", "old", "data"})
        QDir(appDir + QLatin1Char('/') + dir).removeRecursively();
    for (const QString file : {"mirrors.ini", "update.ini"})
        QFile::remove(appDir + QLatin1Char('/') + file);
}

void NginxDownloadTest::releaseComesFromTheWorkingMirror()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    ReleaseBuilder release(Type, Version);
    const QStringList plain{"korvalune.bin", "empty.txt", "one.txt", "data/page.dat", "data/page2.dat",
                            "data/deep/tree/leaf.dat", "lib/other.so"};
    const QList<int> sizes{3 * 1024 * 1024 + 17, 0, 1, 4096, 4097, 70000, 12345};
    for (int i = 0; i < plain.size(); ++i)
        release.addFile(Section, plain[i], contentOf(plain[i], sizes[i]));
    // Checked against their signatures: one whose signature is listed too,
    // one whose signature is not.
    const QString signedListed = QStringLiteral("lib/libsigned.so");
    const QString signedAlone = QStringLiteral("lib/plugin.so");
    release.addFile(Section, signedListed, contentOf(signedListed, 1024 * 1024 + 3),
                    ReleaseBuilder::Check::Signature);
    release.addFile(Section, signedListed + ".sig", release.downloadSignature(Section, signedListed));
    release.addFile(Section, signedAlone, contentOf(signedAlone, 200000), ReleaseBuilder::Check::Signature);
    release.addPackedFile(Section, QStringLiteral("data/packed.dat.gz"), contentOf("packed", 500000),
                          QStringLiteral("data/packed.dat"));
    QVERIFY(release.writeMirror(root.filePath(QStringLiteral("release"))));

    // /moved/ answers every request with a 302 to /redirected/, which would
    // serve the release; /missing/ has nothing (404).
    NginxServer nginx;
    QVERIFY2(nginx.start(root.path(),
                         QStringLiteral("        location ^~ /moved/ { rewrite ^/moved/(.*)$ /redirected/$1 redirect; }\n"
                                        "        location ^~ /redirected/ { alias @ROOT@/release/; }\n"),
                         120),
             qPrintable(nginx.errorString()));

    const QString mirrorsIni = root.filePath(QStringLiteral("mirrors.ini"));
    QVERIFY(IniWriter::writeMirrors(mirrorsIni, {{"moved", nginx.url("/moved"), {}},
                                                 {"missing", nginx.url("/missing"), {}},
                                                 {"good", nginx.url("/release"), {}}}));
    // The run's network manager, work directory and configuration.
    DownloadFixture run;
    Mirrors& mirrors = run.mirrors;
    QVERIFY(mirrors.initDefault(mirrorsIni, Version));
    QCOMPARE(mirrors.mirrors.size(), 3);
    QNetworkAccessManager& manager = run.manager;
    Configuration& config = run.config;
    config.updateType.type = Type;
    config.updateType.version = Version;
    config.streams = 3;

    IniDownloadTaskSpecification iniStep(&manager, &mirrors, &config, nullptr);
    QSignalSpy iniFinished(&iniStep, &TaskSpecification::finished);
    iniStep.execute();
    QVERIFY(iniFinished.wait(30000));
    const QString localIni = config.tempDir + QLatin1Char('/') + Type + QStringLiteral(".ini");
    QCOMPARE(TestFiles::read(localIni), release.productIni());

    FileSpecifications specs;
    MakeDownloadReplaceListTaskSpecification listStep(&config, specs, nullptr, 0.05);
    QSignalSpy listFinished(&listStep, &TaskSpecification::finished);
    listStep.execute();
    QVERIFY(listFinished.wait(30000));
    QList<FileDownloadSpecification>& downloads = specs.downloads;
    QCOMPARE(downloads.size(), plain.size() + 4);

    DownloadFileListTaskSpecification fileStep(&downloads, &manager, &mirrors, &config, nullptr);
    QStringList log;
    connect(&fileStep, &TaskSpecification::message, this, [&log](const QString& text) { log << text; });
    QSignalSpy filesFinished(&fileStep, &TaskSpecification::finished);
    QSignalSpy filesCanceled(&fileStep, &TaskSpecification::canceled);
    fileStep.execute();
    QTRY_VERIFY_WITH_TIMEOUT(!filesFinished.isEmpty() || !filesCanceled.isEmpty(), 60000);
    QVERIFY2(filesCanceled.isEmpty(), qPrintable(log.join(QLatin1Char('\n'))));

    for (const FileDownloadSpecification& record : std::as_const(downloads)) {
        const QString local = config.tempDir + QLatin1Char('/') + record.fileName;
        QCOMPARE(TestFiles::read(local), release.download(Section, record.fileName));
    }
    for (const QString& name : {signedListed, signedAlone}) {
        QCOMPARE(TestFiles::read(config.tempDir + QLatin1Char('/') + name + ".sig"),
                 release.downloadSignature(Section, name));
    }
    QVERIFY(log.filter(QStringLiteral("failed")).isEmpty());

    // Both bad mirrors were tried and dropped at their first answer; the
    // redirection was never followed.
    QCOMPARE(mirrors.mirrors.size(), 1);
    QCOMPARE(mirrors.mirrors.first().name, QStringLiteral("good"));
    const QStringList accessLog = nginx.accessLog();
    QCOMPARE(accessLog.filter(QRegularExpression(QStringLiteral("^GET /moved/7/\\S+ 302$"))).size(), 1);
    QCOMPARE(accessLog.filter(QRegularExpression(QStringLiteral("^GET /missing/7/\\S+ 404$"))).size(), 1);
    QCOMPARE(nginx.requestedUris(QStringLiteral("/redirected/")), QStringList());
    QCOMPARE(accessLog.filter(QRegularExpression(QStringLiteral(" 200$"))).size(),
             2 + downloads.size() + 1);

    nginx.stop();
    QVERIFY(!nginx.isRunning());
}

// A file checked against its signature, whose signature the product ini
// lists with an MD5, changes together with that signature. The installed
// older pair still verifies, yet a whole run must install both new files.
void NginxDownloadTest::signedPairUpdatesAsAWhole()
{
    const QString appDir = Configuration::getAppRootPath();
    const QString name = QStringLiteral("lib/libsigned.so");
    const auto release = [&name](int version, const QByteArray& content) {
        ReleaseBuilder built(Type, version);
        built.addFile(Section, name, content, ReleaseBuilder::Check::Signature);
        built.addFile(Section, name + ".sig", built.downloadSignature(Section, name));
        return built;
    };
    const ReleaseBuilder current = release(Version, contentOf(QStringLiteral("new"), 6000));
    QVERIFY(release(Version - 1, contentOf(QStringLiteral("old"), 5000)).install(appDir));
    QVERIFY(IniWriter::write(appDir + QStringLiteral("/update.ini"),
                             {{QStringLiteral("update/streams"), 2}}));
    const QString failure = updateFrom(current);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    const QString installed = appDir + QLatin1Char('/') + name;
    QCOMPARE(TestFiles::read(installed), current.installed(Section, name));
    QCOMPARE(TestFiles::read(installed + ".sig"), current.installedSignature(Section, name));
}

// Names with characters that mean something in a URL, a blank and a
// non-ASCII letter come from the mirror as themselves.
void NginxDownloadTest::namesThatLookLikeUrlSyntaxInstall()
{
    const QString appDir = Configuration::getAppRootPath();
    const QStringList names{QStringLiteral("data/notes#1.txt"), QStringLiteral("data/what?.txt"),
                            QStringLiteral("data/a%41b.txt"), QStringLiteral("data/a b.txt"),
                            QStringLiteral("data/na\u00efve.txt")};
    ReleaseBuilder release(Type, Version);
    for (const QString& name : names)
        release.addFile(Section, name, contentOf(name, 3000));
    const QString failure = updateFrom(release);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    for (const QString& name : names)
        QCOMPARE(TestFiles::read(appDir + QLatin1Char('/') + name), contentOf(name, 3000));
}

// Serves the release from nginx as the one mirror and runs a whole update of
// the application directory to it: empty when it succeeded, else why not.
QString NginxDownloadTest::updateFrom(const ReleaseBuilder& release)
{
    QTemporaryDir root;
    NginxServer nginx;
    if (!release.writeMirror(root.filePath(QStringLiteral("good"))) || !nginx.start(root.path()))
        return QStringLiteral("no mirror: ") + nginx.errorString();
    if (!IniWriter::writeMirrors(Configuration::getAppRootPath() + QStringLiteral("/mirrors.ini"),
                                 {{QStringLiteral("good"), nginx.url(QStringLiteral("/good")), QVariant()}}))
        return QStringLiteral("mirrors.ini not written");

    Configuration config;
    config.updateType.channel = UpdateChannel::Stable;
    config.updateType.type = Type;
    config.updateType.version = Version;
    UpdateEngine engine(config, nullptr);
    QStringList log;
    connect(&engine, &UpdateEngine::message, this, [&log](const QString& line) { log << line; });
    QSignalSpy finished(&engine, &UpdateEngine::updateFinished);
    QEventLoop run;
    connect(&engine, &UpdateEngine::updateFinished, &run, &QEventLoop::quit);
    connect(&engine, &UpdateEngine::updateCanceled, &run, &QEventLoop::quit);
    QTimer::singleShot(30000, &run, &QEventLoop::quit);
    if (!engine.initialize())
        return QStringLiteral("not initialized");
    engine.startUpdate();
    run.exec();
    return finished.isEmpty() ? log.join(QLatin1Char('\n')) : QString();
}

// A server whose test dies must not outlive its lifetime.
class NginxLifetimeTest : public QObject
{
    Q_OBJECT

private slots:
    void serverEndsByItselfAfterItsLifetime();
};

void NginxLifetimeTest::serverEndsByItselfAfterItsLifetime()
{
    if (NginxServer::executable().isEmpty())
        QSKIP("nginx is not installed");
    QTemporaryDir root;
    NginxServer nginx;
    QVERIFY2(nginx.start(root.path(), QString(), 1), qPrintable(nginx.errorString()));
    const quint16 port = nginx.port();
    QVERIFY(nginx.isRunning());

    QTRY_VERIFY_WITH_TIMEOUT(!nginx.isRunning(), 10000);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(!socket.waitForConnected(1000));
}

static TestRegistration registration("NginxDownloadTest", [] { return new NginxDownloadTest; });
static TestRegistration lifetimeRegistration("NginxLifetimeTest", [] { return new NginxLifetimeTest; });
#include "tst_nginx.moc"
