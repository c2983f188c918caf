#include "testregistry.h"

#include "configuration.h"
#include "downloadfixture.h"
#include "maintaskspecification.h"
#include "releasebuilder.h"
#include "testfiles.h"
#include "tomcryptutil.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

namespace {

const QString ClientType = QStringLiteral("client_linux_x86");
const QString Client = QStringLiteral("kv3client_linux_x86");
const QString Obsolete = QStringLiteral("data/obsolete.txt");

QString appPath(const QString& name)
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(name);
}

// The release the mirror serves: a changed program, a packed library and a
// file to delete, so that every step has work to do on an older installation.
ReleaseBuilder currentRelease()
{
    ReleaseBuilder release(ClientType, DownloadFixture::Version.toInt());
    release.addFile(QStringLiteral("bin"), Client, "client v7");
    release.addPackedFile(QStringLiteral("lib"), QStringLiteral("lib/libcore.so.gz"),
                          QByteArray(20000, 'c'), QStringLiteral("lib/libcore.so"));
    release.addDeletion(Obsolete);
    return release;
}

ReleaseBuilder olderRelease()
{
    ReleaseBuilder release(ClientType, 6);
    release.addFile(QStringLiteral("bin"), Client, "client v6");
    release.addFile(QStringLiteral("data"), Obsolete, "obsolete");
    return release;
}

} // namespace

class MainTaskTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void stepsEndAtTheirShares_data();
    void stepsEndAtTheirShares();
};

void MainTaskTest::initTestCase()
{
    crypt_init();
}

void MainTaskTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
}

// The five steps run one after another; when each ends, the run's progress
// is the sum of the shares of the steps done so far.
void MainTaskTest::stepsEndAtTheirShares_data()
{
    QTest::addColumn<bool>("alreadyCurrent");
    QTest::newRow("older installation") << false;
    // Only the product ini is fetched; steps 3 to 5 find empty lists and end
    // at once, still at their shares.
    QTest::newRow("already current") << true;
}

void MainTaskTest::stepsEndAtTheirShares()
{
    QFETCH(bool, alreadyCurrent);

    const ReleaseBuilder release = currentRelease();
    QTemporaryDir mirrorRoot;
    QVERIFY(release.writeMirror(mirrorRoot.path()));
    QVERIFY((alreadyCurrent ? release : olderRelease()).install(Configuration::getAppRootPath()));
    if (alreadyCurrent)
        QVERIFY(QFile::remove(appPath(Obsolete)));

    DownloadFixture fixture;
    fixture.server.serveDirectory(mirrorRoot.path());
    QVERIFY(fixture.start());
    fixture.addMirror(QStringLiteral("m1"));
    fixture.config.updateType.type = ClientType;
    fixture.config.updateType.version = release.version();
    fixture.config.streams = 2;

    MainTaskSpecification root(&fixture.manager, &fixture.mirrors, &fixture.config, nullptr, 1.0);
    fixture.follow(&root);
    QSignalSpy finished(&root, &TaskSpecification::finished);
    root.execute();
    QCOMPARE(fixture.log.value(0), QStringLiteral("Starting update process"));

    QList<double> progressAtStepEnds;
    const auto steps = root.findChildren<TaskSpecification*>(Qt::FindDirectChildrenOnly);
    QCOMPARE(steps.size(), 5);
    for (TaskSpecification* step : steps)
        connect(step, &TaskSpecification::finished, this, [&] { progressAtStepEnds << root.progress; });
    QVERIFY2(finished.wait(30000), qPrintable(fixture.log.join(QLatin1Char('\n'))));

    // Running sums of the shares 0.1, 0.05, 0.4, 0.4 and 0.05.
    const QList<double> ends{0.1, 0.15, 0.55, 0.95, 1.0};
    QCOMPARE(progressAtStepEnds.size(), ends.size());
    for (int i = 0; i < ends.size(); ++i)
        QVERIFY2(qAbs(progressAtStepEnds[i] - ends[i]) < 1e-9,
                 qPrintable(QStringLiteral("step %1 ended at %2").arg(i + 1).arg(progressAtStepEnds[i])));
    QCOMPARE(TestFiles::read(appPath(Client)), QByteArray("client v7"));
    QVERIFY(!QFile::exists(appPath(Obsolete)));
    if (alreadyCurrent) {
        QStringList fetched = fixture.server.requestedPaths();
        fetched.sort();
        QCOMPARE(fetched, (QStringList{"/7/client_linux_x86.ini", "/7/client_linux_x86.ini.sig"}));
    }
}

static TestRegistration registration("MainTaskTest", [] { return new MainTaskTest; });

#include "tst_maintask.moc"
