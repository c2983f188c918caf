#include "testregistry.h"

#include "checksignaturetaskspecification.h"
#include "downloadfixture.h"
#include "downloadtaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "signing.h"
#include "testfiles.h"
#include "tomcryptutil.h"

#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>

namespace {

const QString Type = QStringLiteral("client_linux_x86");
const QString IniName = Type + QStringLiteral(".ini");
const QString IniRequest = QStringLiteral("/7/") + IniName;
const QString SigRequest = IniRequest + QStringLiteral(".sig");
const QByteArray IniContent("[client]\nkorvalune.bin=0123456789abcdef0123456789abcdef::1234\n");

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
    void signatureThatNeverVerifiesEndsTheStep();
    void downloadThatFailsForGoodEndsBeforeTheCheck();
    void userAbortEndsRetries_data();
    void userAbortEndsRetries();

private:
    void serveRelease(const QByteArray& signature);
    QString localIni() const { return fixture->workDir.filePath(IniName); }

    std::unique_ptr<DownloadFixture> fixture;
};

void IniDownloadTest::initTestCase()
{
    crypt_init();
}

void IniDownloadTest::init()
{
    fixture = std::make_unique<DownloadFixture>();
    QVERIFY(fixture->start());
    fixture->addMirror(QStringLiteral("m1"));
    fixture->config.updateType.type = Type;
    fixture->config.updateType.version = 7;
}

void IniDownloadTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
    fixture.reset();
}

void IniDownloadTest::serveRelease(const QByteArray& signature)
{
    fixture->server.setResponse(IniRequest, FakeMirror::Response::ok(IniContent));
    fixture->server.setResponse(SigRequest, FakeMirror::Response::ok(signature));
}

void IniDownloadTest::startsFromWhatTheWorkDirectoryHolds_data()
{
    QTest::addColumn<bool>("iniPresent");
    QTest::addColumn<bool>("sigPresent");
    QTest::addColumn<bool>("tampered"); // the ini present is not the signed one
    QTest::addColumn<QStringList>("requests");
    QTest::addColumn<QList<double>>("shares");

    QTest::newRow("fresh") << false << false << false << QStringList{IniRequest, SigRequest}
                           << QList<double>{0.3333, 0.3333, 0.3334};
    QTest::newRow("resumed pair") << true << true << false << QStringList() << QList<double>{1.0};
    QTest::newRow("only the ini") << true << false << false << QStringList{SigRequest}
                                  << QList<double>{0.3333, 0.6667};
    QTest::newRow("only the signature") << false << true << false << QStringList{IniRequest}
                                        << QList<double>{0.3333, 0.6667};
    QTest::newRow("bad resumed pair is fetched again")
        << true << true << true << QStringList{IniRequest, SigRequest} << QList<double>{1.0};
}

void IniDownloadTest::startsFromWhatTheWorkDirectoryHolds()
{
    QFETCH(bool, iniPresent);
    QFETCH(bool, sigPresent);
    QFETCH(bool, tampered);
    QFETCH(QStringList, requests);
    QFETCH(QList<double>, shares);

    const QByteArray signature = Signing::signature(IniContent);
    serveRelease(signature);
    if (iniPresent)
        QVERIFY(TestFiles::write(localIni(), tampered ? "[client]\ntampered=1\n" : IniContent));
    if (sigPresent)
        QVERIFY(TestFiles::write(localIni() + ".sig", signature));

    IniDownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, &fixture->config,
                                      nullptr);
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
    QCOMPARE(fixture->server.requestedPaths(), requests);
    if (tampered) {
        QCOMPARE(messages.value(1).value(0).toString(), "Signature check failed for " + localIni());
        QCOMPARE(messages.value(2).value(0).toString(),
                 QStringLiteral("Could not verify the product ini file. Retrying"));
    }
    QCOMPARE(TestFiles::read(localIni()), IniContent);
    QCOMPARE(TestFiles::read(localIni() + ".sig"), signature);
}

// A thousand retries, each fetching both files again, then the end.
void IniDownloadTest::signatureThatNeverVerifiesEndsTheStep()
{
    serveRelease(FakeMirror::corrupted(Signing::signature(IniContent)));

    IniDownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, &fixture->config,
                                      nullptr);
    fixture->follow(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QVERIFY(canceled.wait(100000));

    QCOMPARE(task.state, int(TaskState::ErrorCanceled));
    const int checks = IniDownloadTaskSpecification::MaxFailedChecks + 1;
    QCOMPARE(fixture->server.requestCount(IniRequest), checks);
    QCOMPARE(fixture->server.requestCount(SigRequest), checks);
    QCOMPARE(fixture->log.count("Signature check failed for " + localIni()), checks);
    QCOMPARE(fixture->log.count("Could not verify the product ini file. Retrying"), checks - 1);
    QCOMPARE(fixture->log.last(), QStringLiteral("Could not verify the product ini file. Aborting"));
    QCOMPARE(fixture->log.at(fixture->log.size() - 2), "Signature check failed for " + localIni());
    // A bad signature is no fault of the mirror's transfer.
    QCOMPARE(fixture->mirrors.mirrors.size(), 1);
    QCOMPARE(fixture->mirrors.mirrors.first().inUse, 0);
}

void IniDownloadTest::downloadThatFailsForGoodEndsBeforeTheCheck()
{
    fixture->server.setResponse(IniRequest, FakeMirror::Response::withStatus(404));

    IniDownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, &fixture->config,
                                      nullptr);
    fixture->follow(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QVERIFY(canceled.wait(10000));

    QCOMPARE(task.state, int(TaskState::ErrorCanceled));
    QCOMPARE(fixture->server.requestedPaths(), QStringList{IniRequest});
    QCOMPARE(fixture->log.last(),
             QStringLiteral("There are no (more) known working mirrors available"));
    QVERIFY(fixture->log.filter(QStringLiteral("Signature check")).isEmpty());
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
    IniDownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, &fixture->config,
                                      nullptr);
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        fixture->log << text;
        // The failing check is still running when it says so.
        if (duringCheck && text.startsWith(QLatin1String("Signature check failed")))
            task.userCanceled();
    });
    if (!duringCheck) {
        FakeMirror::Response held = FakeMirror::Response::ok(IniContent);
        held.hold = true;
        fixture->server.failFirst(IniRequest, 2, FakeMirror::Response::ok(IniContent));
        fixture->server.setResponse(IniRequest, held);
    }
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    if (!duringCheck) {
        // The third attempt's ini is held back; abort while it transfers.
        QTRY_COMPARE(fixture->server.heldCount(), 1);
        task.userCanceled();
    }
    QVERIFY(canceled.count() == 1 || canceled.wait(10000));

    QCOMPARE(task.state, int(TaskState::UserCanceled));
    QCOMPARE(canceled.count(), 1);
    const int rounds = duringCheck ? 1 : 3;
    QCOMPARE(fixture->server.requestCount(IniRequest), rounds);
    QCOMPARE(fixture->server.requestCount(SigRequest), rounds - 1 + int(duringCheck));
    QCOMPARE(fixture->log.count("Could not verify the product ini file. Retrying"), rounds - 1);
    QVERIFY(!fixture->log.contains("Could not verify the product ini file. Aborting"));
    if (!duringCheck)
        QVERIFY(!QFile::exists(localIni()));
    // Nothing starts after the end.
    QTest::qWait(100);
    QCOMPARE(fixture->server.requestCount(IniRequest), rounds);
}

static TestRegistration registration("IniDownloadTest", [] { return new IniDownloadTest; });
#include "tst_inidownload.moc"
