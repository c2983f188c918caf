#include "testregistry.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "mirrors.h"
#include "nginxserver.h"
#include "signing.h"
#include "tomcryptutil.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

namespace {

const int Version = 7;
const QString Type = QStringLiteral("client_linux_x86");
const QString Section = QStringLiteral("client");

struct ReleaseFile
{
    QString name;
    int size;
    bool withMd5;
    bool signatureListed;
};

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

bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.flush();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

// The product ini download and the file downloads against a real HTTP server
// serving a signed release, beside a mirror that redirects and one that has
// nothing.
class NginxDownloadTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void releaseComesFromTheWorkingMirror();

private:
    bool buildRelease(const QString& versionDir);
    QList<FileDownloadSpecification> readProductIni(const QString& path);

    QList<ReleaseFile> files;
};

void NginxDownloadTest::initTestCase()
{
    if (NginxServer::executable().isEmpty())
        QSKIP("nginx is not installed");
    crypt_init();
    files = {
        {QStringLiteral("korvalune.bin"), 3 * 1024 * 1024 + 17, true, false},
        {QStringLiteral("empty.txt"), 0, true, false},
        {QStringLiteral("one.txt"), 1, true, false},
        {QStringLiteral("data/page.dat"), 4096, true, false},
        {QStringLiteral("data/page2.dat"), 4097, true, false},
        {QStringLiteral("data/deep/tree/leaf.dat"), 70000, true, false},
        {QStringLiteral("lib/libsigned.so"), 1024 * 1024 + 3, false, true},
        {QStringLiteral("lib/plugin.so"), 200000, false, false},
        {QStringLiteral("lib/other.so"), 12345, true, false},
    };
}

void NginxDownloadTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
}

// The release of one version as a mirror holds it: the listed files below
// their section, the product ini beside it, each with its signature where
// it has one.
bool NginxDownloadTest::buildRelease(const QString& versionDir)
{
    const QString iniPath = versionDir + QLatin1Char('/') + Type + QStringLiteral(".ini");
    QSettings ini(iniPath, QSettings::IniFormat);
    ini.beginGroup(Section);
    for (const ReleaseFile& file : std::as_const(files)) {
        const QByteArray content = contentOf(file.name, file.size);
        const QString path = versionDir + QLatin1Char('/') + Section + QLatin1Char('/') + file.name;
        if (!writeFile(path, content))
            return false;
        const QString md5 = file.withMd5
            ? QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex())
            : QString();
        ini.setValue(file.name, QStringLiteral("%1::%2").arg(md5, QString::number(content.size())));
        if (file.withMd5)
            continue;
        if (!Signing::signFile(path))
            return false;
        if (file.signatureListed) {
            const QByteArray signature = readFile(path + QStringLiteral(".sig"));
            ini.setValue(file.name + QStringLiteral(".sig"),
                         QStringLiteral("%1::%2").arg(
                             QString::fromLatin1(QCryptographicHash::hash(signature, QCryptographicHash::Md5).toHex()),
                             QString::number(signature.size())));
        }
    }
    ini.endGroup();
    ini.sync();
    return ini.status() == QSettings::NoError && Signing::signFile(iniPath);
}

// Just what the download step needs of the product ini's one section.
QList<FileDownloadSpecification> NginxDownloadTest::readProductIni(const QString& path)
{
    QList<FileDownloadSpecification> downloads;
    QSettings ini(path, QSettings::IniFormat);
    ini.beginGroup(Section);
    const QStringList keys = ini.allKeys();
    for (const QString& key : keys) {
        const QStringList fields = ini.value(key).toString().split(QStringLiteral("::"), Qt::KeepEmptyParts);
        FileDownloadSpecification record;
        record.section = Section;
        record.fileName = key;
        record.md5 = fields.value(0);
        record.size = fields.value(1).toULongLong();
        downloads.append(record);
    }
    return downloads;
}

void NginxDownloadTest::releaseComesFromTheWorkingMirror()
{
    QTemporaryDir root;
    QTemporaryDir workDir;
    QVERIFY(root.isValid() && workDir.isValid());
    QVERIFY(buildRelease(root.filePath(QStringLiteral("release/%1").arg(Version))));

    // /moved/ answers every request with a 302 to /redirected/, which would
    // serve the release; /missing/ has nothing (404).
    NginxServer nginx;
    QVERIFY2(nginx.start(root.path(),
                         QStringLiteral("        location ^~ /moved/ { rewrite ^/moved/(.*)$ /redirected/$1 redirect; }\n"
                                        "        location ^~ /redirected/ { alias @ROOT@/release/; }\n"),
                         120),
             qPrintable(nginx.errorString()));

    const QString mirrorsIni = workDir.filePath(QStringLiteral("mirrors.ini"));
    {
        QSettings settings(mirrorsIni, QSettings::IniFormat);
        const QStringList names{"moved", "missing", "good"};
        const QStringList paths{"/moved", "/missing", "/release"};
        settings.beginWriteArray(QStringLiteral("mirrors"));
        for (int i = 0; i < names.size(); ++i) {
            settings.setArrayIndex(i);
            settings.setValue(QStringLiteral("mirror"), names[i]);
        }
        settings.endArray();
        for (int i = 0; i < names.size(); ++i)
            settings.setValue(names[i] + QStringLiteral("/url"), nginx.url(paths[i]));
        settings.sync();
    }
    Mirrors mirrors(nullptr);
    QVERIFY(mirrors.initDefault(mirrorsIni, Version));
    QCOMPARE(mirrors.mirrors.size(), 3);

    QNetworkAccessManager manager;
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager.setProxy(QNetworkProxy::NoProxy);
    Configuration config;
    config.updateType.type = Type;
    config.updateType.version = Version;
    config.tempDir = workDir.filePath(QStringLiteral("run"));
    config.streams = 3;
    QVERIFY(QDir().mkpath(config.tempDir));

    IniDownloadTaskSpecification iniStep(&manager, &mirrors, &config, nullptr);
    QSignalSpy iniFinished(&iniStep, &TaskSpecification::finished);
    iniStep.execute();
    QVERIFY(iniFinished.wait(30000));
    const QString localIni = config.tempDir + QLatin1Char('/') + Type + QStringLiteral(".ini");
    QCOMPARE(readFile(localIni), readFile(root.filePath(QStringLiteral("release/7/") + Type + ".ini")));

    QList<FileDownloadSpecification> downloads = readProductIni(localIni);
    QCOMPARE(downloads.size(), files.size() + 1);
    DownloadFileListTaskSpecification fileStep(&downloads, &manager, &mirrors, &config, nullptr);
    QStringList log;
    connect(&fileStep, &TaskSpecification::message, this, [&log](const QString& text) { log << text; });
    QSignalSpy filesFinished(&fileStep, &TaskSpecification::finished);
    QSignalSpy filesCanceled(&fileStep, &TaskSpecification::canceled);
    fileStep.execute();
    QTRY_VERIFY_WITH_TIMEOUT(!filesFinished.isEmpty() || !filesCanceled.isEmpty(), 60000);
    QVERIFY2(filesCanceled.isEmpty(), qPrintable(log.join(QLatin1Char('\n'))));

    for (const ReleaseFile& file : std::as_const(files)) {
        const QString served = root.filePath(QStringLiteral("release/7/client/") + file.name);
        QCOMPARE(readFile(config.tempDir + QLatin1Char('/') + file.name), readFile(served));
        if (!file.withMd5)
            QCOMPARE(readFile(config.tempDir + QLatin1Char('/') + file.name + ".sig"), readFile(served + ".sig"));
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
             2 + files.size() + 2);

    nginx.stop();
    QVERIFY(!nginx.isRunning());
}

static TestRegistration registration("NginxDownloadTest", [] { return new NginxDownloadTest; });
#include "tst_nginx.moc"
