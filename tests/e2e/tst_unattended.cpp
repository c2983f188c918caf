#include "testregistry.h"

#include "appdirectory.h"
#include "nginxserver.h"
#include "releasebuilder.h"
#include "testfiles.h"
#include "updateprocess.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList unattended(const QString& version)
{
    return {QStringLiteral("--nouser"), QStringLiteral("client_linux_x86"), version, QStringLiteral("#"),
            QString()};
}

} // namespace

// An unattended run (--nouser) starts by itself two seconds after the
// window is shown, and after a success starts the client and ends.
class UnattendedTest : public QObject
{
    Q_OBJECT

private slots:
    void withoutMirrorListEndsWithTwo();
    void updatesTheInstallationAndStartsTheClient();
};

void UnattendedTest::withoutMirrorListEndsWithTwo()
{
    AppDirectory app;
    QVERIFY(app.isValid());

    UpdateProcess run;
    run.setAnswers({QStringLiteral("Ok")});
    run.start(app.program(), unattended(QStringLiteral("5")));
    QVERIFY(run.waitForEvent(QStringLiteral("window")));
    QCOMPARE(run.events(QStringLiteral("window")).first().value(QLatin1String("startEnabled")).toBool(), false);
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 2);

    const QList<QJsonObject> boxes = run.events(QStringLiteral("box"));
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first().value(QLatin1String("title")).toString(), QStringLiteral("Error"));
    QCOMPARE(boxes.first().value(QLatin1String("text")).toString(),
             QStringLiteral("mirrors.ini is missing, cannot proceed."));
    QCOMPARE(boxes.first().value(QLatin1String("parent")).toString(), QStringLiteral("MainWindow"));
    // The run, and with it the box, began two seconds after the window was
    // shown: no earlier than that from the program's start (less the 5% a
    // timer that long may fire early), well before three from the show.
    const qint64 boxMs = boxes.first().value(QLatin1String("ms")).toInteger();
    const qint64 shownMs = run.events(QStringLiteral("window")).first().value(QLatin1String("shownMs")).toInteger();
    QVERIFY2(boxMs >= 1900 && boxMs - shownMs < 2700,
             qPrintable(QStringLiteral("box at %1 ms, window shown at %2 ms").arg(boxMs).arg(shownMs)));
    // A fatal error is shown, not logged.
    const QList<QJsonObject> quit = run.events(QStringLiteral("quit"));
    QCOMPARE(quit.size(), 1);
    QVERIFY(!quit.first().value(QLatin1String("log")).toString().contains(QLatin1String("mirrors.ini")));
}

void UnattendedTest::updatesTheInstallationAndStartsTheClient()
{
    if (NginxServer::executable().isEmpty())
        QSKIP("nginx is not installed");
    if (!KV_UPDATE_EMBEDS_DEVELOPMENT_KEY)
        QSKIP("the update program embeds another key than the one the fixtures are signed with");

    ReleaseBuilder installed(QStringLiteral("client_linux_x86"), 1);
    installed.addFile(QStringLiteral("client"), QStringLiteral("data/readme.txt"), "Korvalune 1.0\n");
    installed.addFile(QStringLiteral("client"), QStringLiteral("data/unchanged.txt"), "the same in both\n");
    installed.addFile(QStringLiteral("client"), QStringLiteral("lib/libkvcore.so"), "core 1.0\n");
    installed.addDeletion(QStringLiteral("obsolete.txt"));

    ReleaseBuilder release(QStringLiteral("client_linux_x86"), 2);
    release.addFile(QStringLiteral("client"), QStringLiteral("data/readme.txt"), "Korvalune 2.0\n");
    release.addFile(QStringLiteral("client"), QStringLiteral("data/unchanged.txt"), "the same in both\n");
    release.addFile(QStringLiteral("client"), QStringLiteral("data/new.txt"), "new in 2.0\n",
                    ReleaseBuilder::Check::Signature);
    const QByteArray core = QByteArray("core 2.0\n").repeated(20000);
    release.addPackedFile(QStringLiteral("packed"), QStringLiteral("lib/libkvcore.so.gz"), core,
                          QStringLiteral("lib/libkvcore.so"));
    release.addDeletion(QStringLiteral("obsolete.txt"));

    QTemporaryDir mirrorRoot;
    QVERIFY(mirrorRoot.isValid());
    QVERIFY(release.writeMirror(mirrorRoot.path()));
    NginxServer nginx;
    QVERIFY2(nginx.start(mirrorRoot.path()), qPrintable(nginx.errorString()));

    AppDirectory app;
    QVERIFY(app.isValid());
    QVERIFY(installed.install(app.path()));
    QVERIFY(app.writeFile(QStringLiteral("mirrors.ini"),
                          "[mirrors]\nsize=1\n1\\mirror=local\n\n[local]\nurl=" + nginx.baseUrl().toUtf8() + "\n"));
    QTemporaryDir reports;
    const QString started = reports.filePath(QStringLiteral("started"));
    QVERIFY(app.writeClientScript(started));

    UpdateProcess run;
    run.start(app.program(), unattended(QStringLiteral("2")));
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QVERIFY2(run.events(QStringLiteral("box")).isEmpty(), qPrintable(run.standardError()));
    QCOMPARE(run.exitCode(), 0);

    const auto content = [&](const QString& name) { return TestFiles::read(app.filePath(name)); };
    QCOMPARE(content(QStringLiteral("data/readme.txt")), QByteArray("Korvalune 2.0\n"));
    QCOMPARE(content(QStringLiteral("data/new.txt")), QByteArray("new in 2.0\n"));
    QCOMPARE(content(QStringLiteral("lib/libkvcore.so")), core);
    QVERIFY(!QFile::exists(app.filePath(QStringLiteral("obsolete.txt"))));
    // The unchanged file was not fetched again.
    QVERIFY(nginx.requestedUris(QStringLiteral("/2/client/data/unchanged.txt")).isEmpty());

    // The client's script, started with no arguments after the window closed.
    QTRY_COMPARE(TestFiles::read(started), QByteArray("0\n"));

    const QList<QJsonObject> quit = run.events(QStringLiteral("quit"));
    QCOMPARE(quit.size(), 1);
    QVERIFY(quit.first().value(QLatin1String("log")).toString().contains(QLatin1String("Update successfully finished")));
}

static TestRegistration registration("UnattendedTest", [] { return new UnattendedTest; });
#include "tst_unattended.moc"
