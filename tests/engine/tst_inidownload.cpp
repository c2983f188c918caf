#include "testregistry.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "fakemirror.h"
#include "inidownloadtaskspecification.h"
#include "mirrors.h"
#include "signing.h"
#include "tomcryptutil.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

namespace {

const QString Type = QStringLiteral("client_linux_x86");
const QString IniName = Type + QStringLiteral(".ini");
const QString IniRequest = QStringLiteral("/7/") + IniName;
const QString SigRequest = IniRequest + QStringLiteral(".sig");
const QByteArray IniContent("[client]\nkorvalune.bin=0123456789abcdef0123456789abcdef::1234\n");

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class IniDownloadTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startsFromWhatTheWorkDirectoryHolds_data();
    void startsFromWhatTheWorkDirectoryHolds();
    void badResumedPairIsFetchedAgain();
    void signatureThatNeverVerifiesEndsTheStep();
    void downloadThatFailsForGoodEndsBeforeTheCheck();
    void userAbortEndsRetries_data();
    void userAbortEndsRetries();

private:
    void serveRelease(const QByteArray& signature);
    QString localIni() const { return workDir->filePath(IniName); }

    std::unique_ptr<QTemporaryDir> workDir;
    std::unique_ptr<FakeMirror> server;
    std::unique_ptr<QNetworkAccessManager> manager;
    std::unique_ptr<Mirrors> mirrors;
    std::unique_ptr<Configuration> config;
    QStringList log;
};

void IniDownloadTest::initTestCase()
{
    crypt_init();
}

void IniDownloadTest::init()
{
    workDir = std::make_unique<QTemporaryDir>();
    QVERIFY(workDir->isValid());
    server = std::make_unique<FakeMirror>();
    QVERIFY(server->start());
    manager = std::make_unique<QNetworkAccessManager>();
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager->setProxy(QNetworkProxy::NoProxy);
    mirrors = std::make_unique<Mirrors>(nullptr);
    FTPSiteAccessData mirror;
    mirror.name = QStringLiteral("m1");
    mirror.url = server->baseUrl() + QStringLiteral("/7");
    mirror.retries = 2;
    mirrors->mirrors.append(mirror);
    config = std::make_unique<Configuration>();
    config->updateType.type = Type;
    config->updateType.version = 7;
    config->tempDir = workDir->path();
    log.clear();
    connect(mirrors.get(), &Mirrors::message, this, [this](const QString& text) { log << text; });
}

void IniDownloadTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
}

void IniDownloadTest::serveRelease(const QByteArray& signature)
{
    server->setResponse(IniRequest, FakeMirror::Response::ok(IniContent));
    server->setResponse(SigRequest, FakeMirror::Response::ok(signature));
}

void IniDownloadTest::startsFromWhatTheWorkDirectoryHolds_data()
{
    QTest::addColumn<bool>("iniPresent");
    QTest::addColumn<bool>("sigPresent");
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QList<double>>("shares");

    QTest::newRow("fresh") << false << false << QStringList{IniRequest, SigRequest}
                           << QList<double>{0.3333, 0.3333, 0.3334};
    QTest::newRow("resumed pair") << true << true << QStringList() << QList<double>{1.0};
    QTest::newRow("only the ini") << true << false << QStringList{SigRequest}
                                  << QList<double>{0.3333, 0.6667};
    QTest::newRow("only the signature") << false << true << QStringList{IniRequest}
                                        << QList<double>{0.3333, 0.6667};
}

void IniDownloadTest::startsFromWhatTheWorkDirectoryHolds()
{
    QFETCH(bool, iniPresent);
    QFETCH(bool, sigPresent);
    QFETCH(QStringList, requests);
    QFETCH(QList<double>, shares);

    const QByteArray signature = Signing::signature(IniContent);
    serveRelease(signature);
    if (iniPresent)
        writeFile(localIni(), IniContent);
    if (sigPresent)
        writeFile(localIni() + ".sig", signature);

    IniDownloadTaskSpecification task(manager.get(), mirrors.get(), config.get(), nullptr);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QCOMPARE(messages.value(0).value(0).toString(), QStringLiteral("Download / check product ini"));

    const QList<TaskSpecification*> steps = task.findChildren<TaskSpecification*>();
    QCOMPARE(steps.size(), shares.size());
    double sum = 0.0;
    for (int i = 0; i < steps.size(); ++i) {
        const bool isCheck = i == steps.size() - 1;
        QCOMPARE(qobject_cast<CheckSignatureTaskSpecification*>(steps[i]) != nullptr, isCheck);
        QVERIFY2(qFuzzyCompare(steps[i]->progressRange, shares[i]), qPrintable(QString::number(i)));
        sum += steps[i]->progressRange;
    }
    QVERIFY(qFuzzyCompare(sum, 1.0));

    QVERIFY(finished.wait(10000));
    QCOMPARE(task.state, int(TaskState::Finished));
    QVERIFY(qFuzzyCompare(task.progress, 0.1));
    QCOMPARE(server->requestedPaths(), requests);
    QCOMPARE(readFile(localIni()), IniContent);
    QCOMPARE(readFile(localIni() + ".sig"), signature);
}

void IniDownloadTest::badResumedPairIsFetchedAgain()
{
    const QByteArray signature = Signing::signature(IniContent);
    serveRelease(signature);
    writeFile(localIni(), "[client]\ntampered=1\n");
    writeFile(localIni() + ".sig", signature);

    IniDownloadTaskSpecification task(manager.get(), mirrors.get(), config.get(), nullptr, 0.1);
    connect(&task, &TaskSpecification::message, this, [this](const QString& text) { log << text; });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait(10000));

    QCOMPARE(server->requestedPaths(), (QStringList{IniRequest, SigRequest}));
    QCOMPARE(readFile(localIni()), IniContent);
    QCOMPARE(log.mid(0, 3), (QStringList{"Download / check product ini",
                                         "Signature check failed for " + localIni(),
                                         "Could not verify the product ini file. Retrying"}));
    QCOMPARE(task.state, int(TaskState::Finished));
}

// A thousand retries, each fetching both files again, then the end.
void IniDownloadTest::signatureThatNeverVerifiesEndsTheStep()
{
    serveRelease(FakeMirror::corrupted(Signing::signature(IniContent)));

    IniDownloadTaskSpecification task(manager.get(), mirrors.get(), config.get(), nullptr);
    connect(&task, &TaskSpecification::message, this, [this](const QString& text) { log << text; });
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QVERIFY(canceled.wait(100000));

    QCOMPARE(task.state, int(TaskState::ErrorCanceled));
    const int checks = IniDownloadTaskSpecification::MaxFailedChecks + 1;
    QCOMPARE(server->requestCount(IniRequest), checks);
    QCOMPARE(server->requestCount(SigRequest), checks);
    QCOMPARE(log.count("Signature check failed for " + localIni()), checks);
    QCOMPARE(log.count("Could not verify the product ini file. Retrying"), checks - 1);
    QCOMPARE(log.last(), QStringLiteral("Could not verify the product ini file. Aborting"));
    QCOMPARE(log.at(log.size() - 2), "Signature check failed for " + localIni());
    // A bad signature is no fault of the mirror's transfer.
    QCOMPARE(mirrors->mirrors.size(), 1);
    QCOMPARE(mirrors->mirrors.first().inUse, 0);
}

void IniDownloadTest::downloadThatFailsForGoodEndsBeforeTheCheck()
{
    server->setResponse(IniRequest, FakeMirror::Response::withStatus(404));

    IniDownloadTaskSpecification task(manager.get(), mirrors.get(), config.get(), nullptr);
    connect(&task, &TaskSpecification::message, this, [this](const QString& text) { log << text; });
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QVERIFY(canceled.wait(10000));

    QCOMPARE(task.state, int(TaskState::ErrorCanceled));
    QCOMPARE(server->requestedPaths(), QStringList{IniRequest});
    QCOMPARE(log.last(), QStringLiteral("There are no (more) known working mirrors available"));
    QVERIFY(log.filter(QStringLiteral("Signature check")).isEmpty());
    QVERIFY(!QFile::exists(localIni()));
}

void IniDownloadTest::userAbortEndsRetries_data()
{
    QTest::addColumn<bool>("duringCheck");
    QTest::newRow("as a check fails") << true;
    QTest::newRow("while a retry downloads") << false;
}

void IniDownloadTest::userAbortEndsRetries()
{
    QFETCH(bool, duringCheck);

    serveRelease(FakeMirror::corrupted(Signing::signature(IniContent)));
    IniDownloadTaskSpecification task(manager.get(), mirrors.get(), config.get(), nullptr);
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        log << text;
        // The failing check is still running when it says so.
        if (duringCheck && text.startsWith(QLatin1String("Signature check failed")))
            task.userCanceled();
    });
    if (!duringCheck) {
        FakeMirror::Response held = FakeMirror::Response::ok(IniContent);
        held.hold = true;
        server->failFirst(IniRequest, 2, FakeMirror::Response::ok(IniContent));
        server->setResponse(IniRequest, held);
    }
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    if (!duringCheck) {
        // The third attempt's ini is held back; abort while it transfers.
        QTRY_COMPARE(server->heldCount(), 1);
        task.userCanceled();
    }
    QVERIFY(canceled.count() == 1 || canceled.wait(10000));

    QCOMPARE(task.state, int(TaskState::UserCanceled));
    QCOMPARE(canceled.count(), 1);
    const int rounds = duringCheck ? 1 : 3;
    QCOMPARE(server->requestCount(IniRequest), rounds);
    QCOMPARE(server->requestCount(SigRequest), rounds - 1 + int(duringCheck));
    QCOMPARE(log.count("Could not verify the product ini file. Retrying"), rounds - 1);
    QVERIFY(!log.contains("Could not verify the product ini file. Aborting"));
    if (!duringCheck)
        QVERIFY(!QFile::exists(localIni()));
    // Nothing starts after the end.
    QTest::qWait(100);
    QCOMPARE(server->requestCount(IniRequest), rounds);
}

static TestRegistration registration("IniDownloadTest", [] { return new IniDownloadTest; });
#include "tst_inidownload.moc"
