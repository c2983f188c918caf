#include "testregistry.h"

#include "appdirectory.h"
#include "fakemirror.h"
#include "hangingresolver.h"
#include "installationlock.h"
#include "otheruserlistener.h"
#include "releasebuilder.h"
#include "singleinstancechecker.h"
#include "testfiles.h"
#include "updateprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

const QStringList invalidVersion{QStringLiteral("client"), QStringLiteral("x")};
// A client type and a version: nothing is asked of the update server.
const QStringList knownVersion{QStringLiteral("client_linux_x86"), QStringLiteral("5")};

const QStringList pakFiles{QStringLiteral("data/a.pak"), QStringLiteral("data/b.pak")};

QString field(const QJsonObject& record, const char* name)
{
    return record.value(QLatin1String(name)).toString();
}

// Where the program in app listens for a second start.
QString instanceSocket(const AppDirectory& app)
{
    return QDir::temp().filePath(
        SingleInstanceChecker::serverNameFor(QFileInfo(app.program()).canonicalFilePath(), QDir::homePath()));
}

// Where two starts at the same moment differ, or what lies at the socket
// name both would listen at.
enum class Setting { NameFree, StaleSocket, OtherTmpDir, OtherUsersFileAtName, LongTmpDir, OtherUser };

// What holds the installation when a second start comes.
enum class RunningHolder { Updater, LateListener, Unreachable };

} // namespace

Q_DECLARE_METATYPE(Setting)
Q_DECLARE_METATYPE(RunningHolder)

// The start of the real program: leftovers, the single-instance hand-over,
// the command line's exit code and the translations.
class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void leftoversAreRemoved_data();
    void leftoversAreRemoved();
    void secondStartLeavesTheInstallationAlone_data();
    void secondStartLeavesTheInstallationAlone();
    void simultaneousStartsUpdateOnce_data();
    void simultaneousStartsUpdateOnce();
    void secondStartKeepsTheCopyOfARollingBackRun();
    void textsFollowTheLocale_data();
    void textsFollowTheLocale();
    void endsPromptlyWhileTheServerIsLookedUp();

private:
    bool prepareStarts(Setting setting, const AppDirectory& app, const QString& scratch, UpdateProcess (&runs)[2],
                       OtherUserListener& listener);
    void startTogetherAndUpdateOnce(const AppDirectory& app, UpdateProcess (&runs)[2], int loserExitCode);
};

void StartupTest::leftoversAreRemoved_data()
{
    QTest::addColumn<QStringList>("otherFilesInOld");
    // update.ini; a work directory of an earlier run lies in the temporary
    // directory in every row.
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("leftoversRemain");

    const QByteArray channelOnly = "[Channel]\nchannel=0\n";
    const QByteArray workDir = QFile::encodeName(QDir::temp().filePath(QStringLiteral("korvalune_temp_7")));
    QTest::newRow("old holds only leftovers") << QStringList() << channelOnly << false;
    QTest::newRow("old holds another file") << QStringList{QStringLiteral("old/_old_data.pak")} << channelOnly
                                            << false;
    // The run may still need them to put the originals back or to resume.
    QTest::newRow("unfinished run recorded")
        << QStringList() << "[current]\nversion=5\ndir=" + workDir + "\ntype=client_linux_x86\n" << true;
    QTest::newRow("recorded run whose directory is gone")
        << QStringList() << QByteArray("[current]\nversion=5\ndir=/nonexistent\ntype=client_linux_x86\n") << true;
    QTest::newRow("malformed update.ini") << QStringList() << QByteArray("[current\nversion=5\n") << true;
}

void StartupTest::leftoversAreRemoved()
{
    QFETCH(QStringList, otherFilesInOld);
    QFETCH(QByteArray, ini);
    QFETCH(bool, leftoversRemain);

    AppDirectory app;
    QVERIFY(app.isValid());
    QVERIFY(app.writeFile(QStringLiteral("update.ini"), ini));
    const QString workDir = QDir::temp().filePath(QStringLiteral("korvalune_temp_7"));
    QVERIFY(QDir().mkpath(workDir));
    QVERIFY(QFile::setPermissions(workDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QStringList leftovers{
        QStringLiteral("_old_update"),
        QStringLiteral("_old_libQtCore.so.4"),
        QStringLiteral("old/_old_update"),
        QStringLiteral("old/_old_libQtGui.so.4"),
        QStringLiteral("imageformats/_old_libqgif.so"),
        QStringLiteral("imageformats/_old_libqjpeg.so"),
        QStringLiteral("accessible/_old_libqtaccessiblewidgets.so"),
        // Kept beside the file where "old" lay on another file system.
        QStringLiteral(".update.korvalune-old"),
        QStringLiteral("imageformats/.libqgif.so.korvalune-old"),
    };
    // Not copies of the updater's own files, or not in one of the four
    // directories: left alone.
    const QStringList kept = QStringList{
        QStringLiteral("_old_readme.txt"),
        QStringLiteral("imageformats/libqgif.so"),
        QStringLiteral("lib/_old_libQtCore.so.4"),
        QStringLiteral(".readme.txt.korvalune-old"),
    } + otherFilesInOld;
    for (const QString& name : leftovers + kept)
        QVERIFY(app.writeFile(name, "bytes"));

    UpdateProcess run;
    run.setAnswers({QStringLiteral("Ok")});
    run.start(app.program(), invalidVersion);
    QVERIFY(run.waitForExit());

    for (const QString& name : leftovers)
        QVERIFY2(QFile::exists(app.filePath(name)) == leftoversRemain, qPrintable(name));
    for (const QString& name : kept)
        QVERIFY2(QFile::exists(app.filePath(name)), qPrintable(name));
    QCOMPARE(QFileInfo::exists(app.filePath(QStringLiteral("old"))), leftoversRemain || !otherFilesInOld.isEmpty());
}

void StartupTest::secondStartLeavesTheInstallationAlone_data()
{
    QTest::addColumn<RunningHolder>("holder");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<bool>("toldInBox");

    // It raises its window instead.
    QTest::newRow("updater of the same user") << RunningHolder::Updater << QStringList() << 0 << false;
    // It may not listen yet when the second start first tries.
    QTest::newRow("run that listens late") << RunningHolder::LateListener << QStringList() << 0 << false;
    // Another user's, or one listening elsewhere.
    QTest::newRow("unreachable run, user's start") << RunningHolder::Unreachable << QStringList() << 1 << true;
    QTest::newRow("unreachable run, unattended start")
        << RunningHolder::Unreachable
        << QStringList{QStringLiteral("--nouser"), QStringLiteral("client_linux_x86"), QStringLiteral("5"),
                       QStringLiteral("#"), QStringLiteral("news")}
        << 1 << false;
}

// A start while another run holds the installation changes nothing in it,
// builds nothing, and either hands over or says why it ends.
void StartupTest::secondStartLeavesTheInstallationAlone()
{
    QFETCH(RunningHolder, holder);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(bool, toldInBox);

    AppDirectory app;
    QVERIFY(app.isValid());
    UpdateProcess first;
    InstallationLock held(app.path());
    if (holder == RunningHolder::Updater) {
        first.start(app.program(), knownVersion);
        QVERIFY2(first.waitForEvent(QStringLiteral("window")), qPrintable(first.standardError()));
    } else {
        QCOMPARE(held.tryLock(), InstallationLock::State::Held);
    }
    QVERIFY(app.writeFile(QStringLiteral("old/_old_update"), "copy"));

    UpdateProcess second;
    second.start(app.program(), arguments);
    QLocalServer late;
    if (holder == RunningHolder::LateListener) {
        QTRY_VERIFY(second.hasOpen(app.path()));
        QVERIFY(late.listen(instanceSocket(app)));
    }
    QVERIFY(second.waitForExit());
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), exitCode);
    QVERIFY(QFile::exists(app.filePath(QStringLiteral("old/_old_update"))));
    QVERIFY(second.events(QStringLiteral("window")).isEmpty());
    const QString told = QStringLiteral("Another update of the installation in %1 is running.")
                             .arg(QFileInfo(app.program()).absolutePath());
    const QList<QJsonObject> boxes = second.events(QStringLiteral("box"));
    QCOMPARE(boxes.size(), toldInBox ? 1 : 0);
    if (toldInBox)
        QCOMPARE(field(boxes.first(), "text"), told);
    QCOMPARE(second.standardError().contains(told), exitCode == 1 && !toldInBox);
    if (holder == RunningHolder::LateListener) {
        QVERIFY(late.waitForNewConnection(5000));
        QLocalSocket* handedOver = late.nextPendingConnection();
        QVERIFY(handedOver->bytesAvailable() > 0 || handedOver->waitForReadyRead(5000));
        QCOMPARE(handedOver->readAll(), QByteArray("#"));
    } else if (holder == RunningHolder::Updater) {
        QVERIFY(first.waitForEvent(QStringLiteral("activate")));
        QCOMPARE(field(first.events(QStringLiteral("activate")).first(), "message"), QStringLiteral("#"));
        QVERIFY(first.closeWindow());
    }
}

void StartupTest::simultaneousStartsUpdateOnce_data()
{
    QTest::addColumn<Setting>("setting");
    // 0: the loser hands over to the winner; 1: it cannot reach it and says so.
    QTest::addColumn<int>("loserExitCode");

    QTest::newRow("name free") << Setting::NameFree << 0;
    // Both may find it stale.
    QTest::newRow("stale socket of ours") << Setting::StaleSocket << 0;
    QTest::newRow("other TMPDIR") << Setting::OtherTmpDir << 1;
    // Anyone can make one in a shared temporary directory.
    QTest::newRow("another user's file at the name") << Setting::OtherUsersFileAtName << 1;
    // No socket can be bound there.
    QTest::newRow("100-byte TMPDIR") << Setting::LongTmpDir << 1;
    // One installation shared by two users.
    QTest::newRow("another user") << Setting::OtherUser << 1;
}

// Two starts at the same moment, however their environments differ: one
// updates, the other ends before it touches anything, also when both found
// no updater before either listened. Repeated, as the two meet at a
// different moment each time.
void StartupTest::simultaneousStartsUpdateOnce()
{
    QFETCH(Setting, setting);
    QFETCH(int, loserExitCode);
    if (!KV_UPDATE_EMBEDS_DEVELOPMENT_KEY)
        QSKIP("the update program embeds another key than the one the fixtures are signed with");
    if ((setting == Setting::OtherUsersFileAtName || setting == Setting::OtherUser) && ::geteuid() != 0)
        QSKIP("only root can act as another user");
    ReleaseBuilder installed(QStringLiteral("client_linux_x86"), 1);
    ReleaseBuilder release(QStringLiteral("client_linux_x86"), 2);
    for (const QString& name : pakFiles) {
        installed.addFile(QStringLiteral("client"), name, name.toUtf8() + " 1");
        release.addFile(QStringLiteral("client"), name, name.toUtf8() + " 2");
    }
    QTemporaryDir mirrorRoot;
    QVERIFY(release.writeMirror(mirrorRoot.path()));
    FakeMirror mirror;
    QVERIFY(mirror.start());
    mirror.serveDirectory(mirrorRoot.path());

    QElapsedTimer clock;
    clock.start();
    for (int trial = 1; trial <= 8 && (trial <= 2 || clock.elapsed() < 1500); ++trial) {
        AppDirectory app;
        QTemporaryDir scratch;
        QVERIFY(app.isValid() && scratch.isValid());
        QVERIFY(installed.install(app.path()));
        QVERIFY(app.writeFile(QStringLiteral("mirrors.ini"),
                              "[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=" + mirror.baseUrl().toUtf8() + "\n"));
        UpdateProcess runs[2];
        OtherUserListener listener;
        QVERIFY(prepareStarts(setting, app, scratch.path(), runs, listener));
        startTogetherAndUpdateOnce(app, runs, loserExitCode);
        if (QTest::currentTestFailed())
            return;
        // Neither removed nor taken over.
        if (setting == Setting::OtherUsersFileAtName)
            QCOMPARE(QFileInfo(instanceSocket(app)).ownerId(), OtherUserListener::OtherUid);
        QCOMPARE(mirror.requestCount(QStringLiteral("/2/client_linux_x86.ini")), trial);
    }
}

bool StartupTest::prepareStarts(Setting setting, const AppDirectory& app, const QString& scratch,
                                UpdateProcess (&runs)[2], OtherUserListener& listener)
{
    const QString longTmpDir = scratch + QLatin1Char('/') + QString(99 - scratch.size(), QLatin1Char('t'));
    const QString otherUserDirs[] = {QStringLiteral("HOME"), QStringLiteral("TMPDIR"),
                                     QStringLiteral("XDG_RUNTIME_DIR")};
    switch (setting) {
    case Setting::NameFree:
        return true;
    case Setting::StaleSocket:
        return TestFiles::writeStaleSocket(instanceSocket(app));
    case Setting::OtherUsersFileAtName:
        return listener.start(instanceSocket(app));
    case Setting::OtherTmpDir:
        runs[1].setEnvironment(QStringLiteral("TMPDIR"), scratch);
        return true;
    case Setting::LongTmpDir:
        for (UpdateProcess& run : runs)
            run.setEnvironment(QStringLiteral("TMPDIR"), longTmpDir);
        return longTmpDir.size() == 100 && QDir().mkpath(longTmpDir);
    case Setting::OtherUser:
        for (const QString& variable : otherUserDirs) {
            runs[1].setEnvironment(variable, QDir(scratch).filePath(variable));
            if (!QDir(scratch).mkdir(variable))
                return false;
        }
        return runs[1].runAsUser(OtherUserListener::OtherUid)
            && TestFiles::giveTo(scratch, OtherUserListener::OtherUid)
            && TestFiles::giveTo(app.path(), OtherUserListener::OtherUid);
    }
    return false;
}

// Both started at once with the target version on the command line, each
// pressing start once its window shows: exactly one shows it and updates.
void StartupTest::startTogetherAndUpdateOnce(const AppDirectory& app, UpdateProcess (&runs)[2], int loserExitCode)
{
    for (UpdateProcess& run : runs) {
        run.setEnvironment(QStringLiteral("KV_PROBE_ON_SHOW"), QStringLiteral("click startButton"));
        run.setEnvironment(QStringLiteral("KV_PROBE_HOLD_AT"), QStringLiteral("Update successfully finished"));
    }
    for (UpdateProcess& run : runs)
        run.start(app.program(), {QStringLiteral("client_linux_x86"), QStringLiteral("2")});
    const auto settled = [](const UpdateProcess& run) {
        return !run.isRunning() || !run.events(QStringLiteral("window")).isEmpty();
    };
    QTRY_VERIFY_WITH_TIMEOUT(settled(runs[0]) && settled(runs[1]), 15000);

    UpdateProcess& updater = runs[0].isRunning() ? runs[0] : runs[1];
    UpdateProcess& second = runs[0].isRunning() ? runs[1] : runs[0];
    QVERIFY2(!second.isRunning(), "both show a window");
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), loserExitCode);
    QVERIFY(second.events(QStringLiteral("window")).isEmpty());
    const QList<QJsonObject> boxes = second.events(QStringLiteral("box"));
    QCOMPARE(boxes.size(), loserExitCode);
    if (!boxes.isEmpty())
        QVERIFY(field(boxes.first(), "text").startsWith(QStringLiteral("Another update of the installation")));
    // Also when the loser found the winner before it listened.
    if (loserExitCode == 0) {
        QVERIFY(updater.waitForEvent(QStringLiteral("activate")));
        QCOMPARE(field(updater.events(QStringLiteral("activate")).first(), "message"), QStringLiteral("#"));
    }

    QVERIFY2(updater.waitForEvent(QStringLiteral("held"), 30000), qPrintable(updater.standardError()));
    for (const QString& name : pakFiles)
        QCOMPARE(TestFiles::read(app.filePath(name)), name.toUtf8() + " 2");
    updater.command(QStringLiteral("release"));
    QVERIFY(updater.closeWindow());
}

// A release replaces the updater and then fails to install another file.
// A second start while the first rolls back must leave it the copy it puts
// back.
void StartupTest::secondStartKeepsTheCopyOfARollingBackRun()
{
    AppDirectory app;
    QVERIFY(app.isValid());
    const QByteArray original = TestFiles::read(app.program());
    // Bytes after the program's end are never read: the new updater runs.
    const QByteArray replacement = original + "release 5";
    const QByteArray packed = TestFiles::gzip("data 5");
    ReleaseBuilder release(QStringLiteral("client_linux_x86"), 5);
    release.addFile(QStringLiteral("files"), QStringLiteral("update"), replacement);
    // The download passes its check, what it unpacks to does not.
    release.addLine(QStringLiteral("packed"), QStringLiteral("data.pak.gz"),
                    QStringLiteral("%1::%2::%3::6::data.pak")
                        .arg(TestFiles::md5(packed)).arg(packed.size()).arg(TestFiles::md5("wrong")));
    QTemporaryDir mirrorRoot;
    QVERIFY(release.writeMirror(mirrorRoot.path()));
    QVERIFY(TestFiles::write(mirrorRoot.filePath(QStringLiteral("5/packed/data.pak.gz")), packed));
    FakeMirror mirror;
    QVERIFY(mirror.start());
    mirror.serveDirectory(mirrorRoot.path());
    QVERIFY(app.writeFile(QStringLiteral("mirrors.ini"),
                          "[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=" + mirror.baseUrl().toUtf8() + "\n"));

    UpdateProcess first;
    first.setEnvironment(QStringLiteral("KV_PROBE_ON_SHOW"), QStringLiteral("click startButton"));
    first.setEnvironment(QStringLiteral("KV_PROBE_HOLD_AT"), QStringLiteral("rolling back file updates"));
    first.setAnswers({QStringLiteral("Ok")});
    first.start(app.program(), {QStringLiteral("client_linux_x86"), QStringLiteral("5")});
    QVERIFY2(first.waitForEvent(QStringLiteral("held"), 30000), qPrintable(first.standardError()));
    QCOMPARE(TestFiles::read(app.program()), replacement);

    UpdateProcess second;
    second.start(app.program(), {});
    QVERIFY(second.waitForExit());
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(TestFiles::read(app.filePath(QStringLiteral("old/_old_update"))), original);

    first.command(QStringLiteral("release"));
    QVERIFY(first.waitForEvent(QStringLiteral("box")));
    first.command(QStringLiteral("close"));
    QVERIFY(first.waitForExit());
    QCOMPARE(TestFiles::read(app.program()), original);
}

void StartupTest::textsFollowTheLocale_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("errorTitle");
    QTest::addColumn<QString>("errorText");
    QTest::addColumn<QString>("windowTitle");
    QTest::addColumn<QString>("startText");
    QTest::addColumn<QString>("channelLine");
    // Qt's own texts, from its catalogue beside the program.
    QTest::addColumn<QStringList>("questionButtons");

    const QString english[] = {QStringLiteral("Error"), QStringLiteral("Invalid version nr (x)"),
                               QStringLiteral("Korvalune 3 Client Update"), QStringLiteral("Start Update"),
                               QStringLiteral("You are currently on <strong>Stable channel</strong>.")};
    const QString german[] = {QStringLiteral("Fehler"), QStringLiteral("Ungültige Versionsnummer (x)"),
                              QStringLiteral("Korvalune 3 Client-Aktualisierung"),
                              QStringLiteral("Aktualisierung starten"),
                              QStringLiteral("Sie sind derzeit im Kanal <strong>Stabil</strong>.")};
    const QStringList englishButtons{QStringLiteral("&No"), QStringLiteral("&Yes")};
    const QStringList germanButtons{QStringLiteral("&Ja"), QStringLiteral("&Nein")};
    auto row = [](const char* name, const QString& locale, const QString (&texts)[5], const QStringList& buttons) {
        QTest::newRow(name) << locale << texts[0] << texts[1] << texts[2] << texts[3] << texts[4] << buttons;
    };
    row("C", QStringLiteral("C.UTF-8"), english, englishButtons);
    row("de_DE", QStringLiteral("de_DE"), german, germanButtons);
    // update_de_AT.qm does not exist: the translator falls back to update_de.qm.
    row("de_AT.UTF-8", QStringLiteral("de_AT.UTF-8"), german, germanButtons);
    row("fr_FR, no translation", QStringLiteral("fr_FR.UTF-8"), english, englishButtons);
}

void StartupTest::textsFollowTheLocale()
{
    QFETCH(QString, locale);
    QFETCH(QString, errorTitle);
    QFETCH(QString, errorText);
    QFETCH(QString, windowTitle);
    QFETCH(QString, startText);
    QFETCH(QString, channelLine);
    QFETCH(QStringList, questionButtons);

    AppDirectory app;
    QVERIFY(app.isValid());
    QVERIFY(app.copyTranslations());
    // A mirror that never answers keeps the run busy, so closing asks.
    FakeMirror mirror;
    QVERIFY(mirror.start());
    FakeMirror::Response silent;
    silent.stall = FakeMirror::Stall::BeforeHeaders;
    mirror.setResponse(QStringLiteral("/5/client_linux_x86.ini"), silent);
    QVERIFY(app.writeFile(QStringLiteral("mirrors.ini"),
                          "[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=" + mirror.baseUrl().toUtf8() + "\n"));

    UpdateProcess failing;
    failing.setEnvironment(QStringLiteral("LC_ALL"), locale);
    failing.setAnswers({QStringLiteral("Ok")});
    failing.start(app.program(), invalidVersion);
    QVERIFY(failing.waitForExit());
    QCOMPARE(failing.exitStatus(), QProcess::NormalExit);
    QCOMPARE(failing.exitCode(), 1);
    const QList<QJsonObject> boxes = failing.events(QStringLiteral("box"));
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(field(boxes.first(), "title"), errorTitle);
    QCOMPARE(field(boxes.first(), "text"), errorText);
    // Before any window: the box stands alone.
    QCOMPARE(field(boxes.first(), "parent"), QString());
    QVERIFY(failing.events(QStringLiteral("window")).isEmpty());

    UpdateProcess showing;
    showing.setEnvironment(QStringLiteral("LC_ALL"), locale);
    showing.setAnswers({QStringLiteral("Yes")});
    showing.start(app.program(), knownVersion);
    QVERIFY(showing.waitForEvent(QStringLiteral("window")));
    const QJsonObject window = showing.events(QStringLiteral("window")).first();
    QCOMPARE(field(window, "title"), windowTitle);
    QCOMPARE(field(window, "start"), startText);
    QVERIFY2(field(window, "version").contains(channelLine), qPrintable(field(window, "version")));

    showing.command(QStringLiteral("click startButton"));
    QTRY_COMPARE(mirror.requestCount(QStringLiteral("/5/client_linux_x86.ini")), 1);
    QVERIFY(showing.closeWindow());
    const QList<QJsonObject> questions = showing.events(QStringLiteral("box"));
    QCOMPARE(questions.size(), 1);
    QStringList buttons;
    for (const QJsonValue& button : questions.first().value(QLatin1String("buttons")).toArray())
        buttons << button.toString();
    buttons.sort();
    QCOMPARE(buttons, questionButtons);
}

// The update server's name may never resolve (its name server does not
// answer): the banner's look-up of it must not keep the program alive once
// its window has closed, or a later start hands over to it and does nothing.
void StartupTest::endsPromptlyWhileTheServerIsLookedUp()
{
    HangingResolver resolver;
    if (!resolver.start())
        QSKIP(qPrintable(resolver.errorString()));
    // Not even "localhost" is found without asking the name server.
    QTemporaryDir hostsDirectory;
    const QString hosts = hostsDirectory.filePath(QStringLiteral("hosts"));
    QVERIFY(TestFiles::write(hosts, "127.0.0.1 loopback.test\n"));
    PrivateMounts mounts;
    QVERIFY2(mounts.bindOver(hosts, QStringLiteral("/etc/hosts")), qPrintable(mounts.errorString()));

    AppDirectory app;
    QVERIFY(app.isValid());
    UpdateProcess run;
    run.start(app.program(), knownVersion);
    QVERIFY2(run.waitForEvent(QStringLiteral("window")), qPrintable(run.standardError()));
    QTRY_VERIFY(resolver.queriesReceived() > 0);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(run.closeWindow());
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
}

static TestRegistration registration("StartupTest", [] { return new StartupTest; });
#include "tst_startup.moc"
