#include "testregistry.h"

#include "downloadtaskspecification.h"
#include "fakemirror.h"
#include "mirrors.h"
#include "randomgenerator.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString Version = QStringLiteral("7");
const QString Source = QStringLiteral("client/data/file.bin");
const QString RequestPath = QStringLiteral("/7/client/data/file.bin");

// The shared services of a run, as the engine sets them up: one network
// manager that never follows a redirection, and the run's mirror list.
struct Services
{
    Services()
        : mirrors(nullptr)
    {
        manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        manager.setProxy(QNetworkProxy::NoProxy);
        QObject::connect(&mirrors, &Mirrors::message, &mirrors,
                         [this](const QString& text) { log << text; });
    }

    void addMirror(const QString& name, const FakeMirror& server, int retries = 2,
                   const QString& prefix = QString())
    {
        FTPSiteAccessData mirror;
        mirror.name = name;
        mirror.url = server.baseUrl() + prefix + QLatin1Char('/') + Version;
        mirror.retries = retries;
        mirrors.mirrors.append(mirror);
    }

    const FTPSiteAccessData* mirror(const QString& name) const
    {
        for (const FTPSiteAccessData& entry : mirrors.mirrors) {
            if (entry.name == name)
                return &entry;
        }
        return nullptr;
    }

    QStringList mirrorNames() const
    {
        QStringList names;
        for (const FTPSiteAccessData& entry : mirrors.mirrors)
            names << entry.name;
        return names;
    }

    // Log lines of the task and of the mirror list, in the order they came.
    void follow(TaskSpecification* task)
    {
        QObject::connect(task, &TaskSpecification::message, task,
                         [this](const QString& text) { log << text; });
    }

    QNetworkAccessManager manager;
    Mirrors mirrors;
    QStringList log;
};

struct Ticks
{
    quint64 done = 0;
    quint64 total = 0;
    quint64 speed = 0;
    bool downloading = false;
};

Ticks tick(TaskSpecification& task)
{
    Ticks figures;
    task.timeTick(figures.done, figures.total, figures.speed, figures.downloading);
    return figures;
}

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

// The mirror choice draws from the process's one generator; pick a seed
// whose first draw takes the free slot `index` of `freeSlots`.
void seedSoThatFirstChoiceIs(int index, int freeSlots)
{
    for (quint32 seed = 1;; ++seed) {
        RandomGenerator::seed(seed);
        if (RandomGenerator::next() % freeSlots == index) {
            RandomGenerator::seed(seed);
            return;
        }
    }
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class DownloadTaskTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void downloadsExactBytes_data();
    void downloadsExactBytes();
    void statusOtherThan200DropsMirror_data();
    void statusOtherThan200DropsMirror();
    void failedMirrorGivesWayToAnother();
    void networkErrorsAreChargedUntilMirrorIsDropped();
    void bodyPastTheLimitFailsTheAttempt_data();
    void bodyPastTheLimitFailsTheAttempt();
    void idleAttemptTimesOutOnTheSixteenthTick();
    void trickleKeepsAttemptAlive();
    void unwritableDestinationIsAnErrorWithoutRetry();
    void oneMirrorServesOneDownloadAtATime();
    void cancelDuringTransferDeletesPartialFile_data();
    void cancelDuringTransferDeletesPartialFile();
    void cancelWhileWaitingNeverRequests_data();
    void cancelWhileWaitingNeverRequests();
    void resetAfterFinishReleasesNothing();

private:
    QTemporaryDir* workDir = nullptr;
    std::unique_ptr<QTemporaryDir> ownedWorkDir;
    QString destination() const { return workDir->filePath(QStringLiteral("file.bin")); }
};

void DownloadTaskTest::init()
{
    ownedWorkDir = std::make_unique<QTemporaryDir>();
    workDir = ownedWorkDir.get();
    QVERIFY(workDir->isValid());
}

void DownloadTaskTest::downloadsExactBytes_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("bodySize");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("chunked");
    // total reported by timeTick once the transfer has ended; without a
    // length Qt announces the final count as the total when the reply ends
    QTest::addColumn<quint64>("total");

    const int exact = int(FakeMirror::Length::Exact);
    const int missing = int(FakeMirror::Length::Missing);
    QTest::newRow("known size") << qint64(100000) << 100000 << exact << false << quint64(100000);
    QTest::newRow("unknown size, length announced") << qint64(-1) << 100000 << exact << false << quint64(100000);
    QTest::newRow("unknown size, no length") << qint64(-1) << 100000 << missing << false << quint64(100000);
    QTest::newRow("unknown size, chunked") << qint64(-1) << 70000 << exact << true << quint64(70000);
    QTest::newRow("size 0 stays 0") << qint64(0) << 5000 << exact << false << quint64(0);
    QTest::newRow("empty file") << qint64(0) << 0 << exact << false << quint64(0);
    QTest::newRow("body shorter than the size") << qint64(9000) << 5000 << exact << false << quint64(9000);
}

void DownloadTaskTest::downloadsExactBytes()
{
    QFETCH(qint64, size);
    QFETCH(int, bodySize);
    QFETCH(int, length);
    QFETCH(bool, chunked);
    QFETCH(quint64, total);

    FakeMirror server;
    QVERIFY(server.start());
    FakeMirror::Response response = FakeMirror::Response::ok(pattern(bodySize));
    response.length = FakeMirror::Length(length);
    response.chunked = chunked;
    server.setResponse(RequestPath, response);
    Services services;
    services.addMirror(QStringLiteral("m1"), server);

    DownloadTaskSpecification task(&services.manager, &services.mirrors, Source, destination(),
                                   size, nullptr, 0.5);
    services.follow(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QVERIFY(finished.wait(10000));

    QCOMPARE(canceled.count(), 0);
    QCOMPARE(task.state, int(TaskState::Finished));
    QCOMPARE(readFile(destination()), pattern(bodySize));
    QCOMPARE(server.requestedPaths(), QStringList{RequestPath});
    QCOMPARE(task.progress, 0.5);
    QCOMPARE(task.mirrorName(), QStringLiteral("m1"));
    QCOMPARE(services.mirror(QStringLiteral("m1"))->inUse, 0);
    QCOMPARE(services.log, (QStringList{"Downloading " + Source, "Downloading " + Source + " finished"}));

    const Ticks figures = tick(task);
    QCOMPARE(figures.done, quint64(bodySize));
    QCOMPARE(figures.total, total);
    QCOMPARE(figures.speed, quint64(bodySize));
    QVERIFY(!figures.downloading);
    QCOMPARE(tick(task).speed, quint64(0));
}

void DownloadTaskTest::statusOtherThan200DropsMirror_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("206") << 206;
    QTest::newRow("301") << 301;
    QTest::newRow("302") << 302;
    QTest::newRow("401") << 401;
    QTest::newRow("403") << 403;
    QTest::newRow("404") << 404;
    QTest::newRow("500") << 500;
    QTest::newRow("503") << 503;
}

// With retries to spare, only the status itself can remove the mirror at
// once; the next attempt then finds the list empty.
void DownloadTaskTest::statusOtherThan200DropsMirror()
{
    QFETCH(int, status);

    FakeMirror server;
    QVERIFY(server.start());
    const QString target = QStringLiteral("/elsewhere/file.bin");
    server.setResponse(target, FakeMirror::Response::ok("moved here"));
    FakeMirror::Response response = FakeMirror::Response::redirect(status, server.url(target), "body");
    if (status == 401)
        response.headers.append({QByteArray("WWW-Authenticate"), QByteArray("Basic realm=\"mirror\"")});
    server.setResponse(RequestPath, response);
    Services services;
    services.addMirror(QStringLiteral("m1"), server, 5);

    DownloadTaskSpecification task(&services.manager, &services.mirrors, Source, destination(), -1,
                                   nullptr, 1.0);
    services.follow(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy error(&task, &TaskSpecification::error);
    task.execute();
    QVERIFY(canceled.wait(10000));

    QCOMPARE(task.state, int(TaskState::ErrorCanceled));
    QCOMPARE(error.count(), 0);
    QVERIFY(services.mirrors.mirrors.isEmpty());
    QCOMPARE(server.requestedPaths(), QStringList{RequestPath});
    QCOMPARE(services.log.value(1),
             QStringLiteral("%1 returned %2").arg(server.url(RequestPath), QString::number(status)));
    QCOMPARE(services.log.mid(2), QStringList{"There are no (more) known working mirrors available"});
    QVERIFY(!QFile::exists(destination()));
}

void DownloadTaskTest::failedMirrorGivesWayToAnother()
{
    FakeMirror server;
    QVERIFY(server.start());
    server.setResponse(QStringLiteral("/bad") + RequestPath, FakeMirror::Response::withStatus(404));
    server.setResponse(QStringLiteral("/good") + RequestPath, FakeMirror::Response::ok("content"));
    Services services;
    services.addMirror(QStringLiteral("bad"), server, 2, QStringLiteral("/bad"));
    services.addMirror(QStringLiteral("good"), server, 2, QStringLiteral("/good"));
    seedSoThatFirstChoiceIs(0, 2);

    DownloadTaskSpecification task(&services.manager, &services.mirrors, Source, destination(), -1,
                                   nullptr, 1.0);
    services.follow(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait(10000));
    QCOMPARE(readFile(destination()), QByteArray("content"));
    QCOMPARE(task.mirrorName(), QStringLiteral("good"));
    QCOMPARE(services.mirrorNames(), QStringList{"good"});
    QCOMPARE(server.requestedPaths(),
             (QStringList{QStringLiteral("/bad") + RequestPath, QStringLiteral("/good") + RequestPath}));
    QCOMPARE(services.log.at(1), QStringLiteral("%1 returned 404").arg(server.url("/bad" + RequestPath)));
    QCOMPARE(services.mirror(QStringLiteral("good"))->inUse, 0);
    QCOMPARE(services.mirror(QStringLiteral("good"))->errors, 0);
}

// Each attempt gets a body cut short of its announced length.
void DownloadTaskTest::networkErrorsAreChargedUntilMirrorIsDropped()
{
    FakeMirror server;
    QVERIFY(server.start());
    FakeMirror::Response response = FakeMirror::Response::ok(pattern(50000));
    response.truncateAfter = 20000;
    server.setResponse(RequestPath, response);
    Services services;
    services.addMirror(QStringLiteral("m1"), server, 2);

    DownloadTaskSpecification task(&services.manager, &services.mirrors, Source, destination(),
                                   50000, nullptr, 1.0);
    services.follow(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy error(&task, &TaskSpecification::error);
    task.execute();
    QVERIFY(canceled.wait(20000));

    QCOMPARE(task.state, int(TaskState::ErrorCanceled));
    QCOMPARE(error.count(), 0);
    QCOMPARE(server.requestCount(RequestPath), 3);
    QVERIFY(!QFile::exists(destination()));
    const QStringList& log = services.log;
    QCOMPARE(log.size(), 6);
    QCOMPARE(log.at(0), "Downloading " + Source);
    QCOMPARE(log.at(3), QStringLiteral("Mirror m1 failed too many times, removing"));
    QCOMPARE(log.at(5), QStringLiteral("There are no (more) known working mirrors available"));
    // The reply's own text for each failed attempt.
    QVERIFY(!log.at(1).isEmpty());
    QCOMPARE(log.at(2), log.at(1));
    QCOMPARE(log.at(4), log.at(1));
}

void DownloadTaskTest::bodyPastTheLimitFailsTheAttempt_data()
{
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("bodySize");
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("fails");

    const qint64 limit = DownloadTaskSpecification::UnknownSizeLimit;
    const int exact = int(FakeMirror::Length::Exact);
    const int missing = int(FakeMirror::Length::Missing);
    QTest::newRow("known size, longer body") << qint64(1000) << 1001 << exact << true;
    QTest::newRow("known size, longer unannounced body") << qint64(1000) << 70000 << missing << true;
    QTest::newRow("unknown size at the limit") << qint64(-1) << int(limit) << missing << false;
    QTest::newRow("unknown size past the limit") << qint64(-1) << int(limit) + 1 << missing << true;
    QTest::newRow("size 0 past the limit") << qint64(0) << int(limit) + 1 << exact << true;
}

void DownloadTaskTest::bodyPastTheLimitFailsTheAttempt()
{
    QFETCH(qint64, size);
    QFETCH(int, bodySize);
    QFETCH(int, length);
    QFETCH(bool, fails);

    FakeMirror server;
    QVERIFY(server.start());
    FakeMirror::Response response = FakeMirror::Response::ok(QByteArray(bodySize, 'x'));
    response.length = FakeMirror::Length(length);
    server.setResponse(RequestPath, response);
    Services services;
    services.addMirror(QStringLiteral("m1"), server, 1);

    DownloadTaskSpecification task(&services.manager, &services.mirrors, Source, destination(), size,
                                   nullptr, 1.0);
    services.follow(&task);
    QSignalSpy ended(&task, fails ? &TaskSpecification::canceled : &TaskSpecification::finished);
    task.execute();
    QVERIFY(ended.wait(20000));
    if (!fails) {
        QCOMPARE(QFileInfo(destination()).size(), qint64(bodySize));
        return;
    }
    const qint64 limit = size > 0 ? size : DownloadTaskSpecification::UnknownSizeLimit;
    const QString tooLong = QStringLiteral("file %1 on mirror m1 is larger than expected (%2 bytes)")
                                .arg(Source, QString::number(limit));
    // The mirror is charged like for a network error: its second one removes it.
    QCOMPARE(server.requestCount(RequestPath), 2);
    QCOMPARE(services.log.count(tooLong), 2);
    QVERIFY(services.log.contains(QStringLiteral("Mirror m1 failed too many times, removing")));
    QVERIFY(!QFile::exists(destination()));
}

void DownloadTaskTest::idleAttemptTimesOutOnTheSixteenthTick()
{
    FakeMirror server;
    QVERIFY(server.start());
    FakeMirror::Response stalled = FakeMirror::Response::ok(pattern(1000));
    stalled.stall = FakeMirror::Stall::AfterHeaders;
    server.failFirst(RequestPath, 1, stalled);
    server.setResponse(RequestPath, FakeMirror::Response::ok(pattern(1000)));
    Services services;
    services.addMirror(QStringLiteral("m1"), server, 2);

    DownloadTaskSpecification task(&services.manager, &services.mirrors, Source, destination(), 1000,
                                   nullptr, 1.0);
    services.follow(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QTRY_COMPARE(server.requestCount(RequestPath), 1);
    // Let the headers arrive: they are no data and reset nothing.
    QTRY_VERIFY(QFile::exists(destination()));

    for (int i = 1; i <= 15; ++i)
        QVERIFY2(tick(task).downloading, qPrintable(QString::number(i)));
    QCOMPARE(server.requestCount(RequestPath), 1);
    QVERIFY(!tick(task).downloading);
    QCOMPARE(services.log.value(1), QStringLiteral("file %1 timed out on mirror m1").arg(Source));
    QCOMPARE(services.mirror(QStringLiteral("m1"))->errors, 1);

    QVERIFY(finished.wait(10000));
    QCOMPARE(server.requestCount(RequestPath), 2);
    QCOMPARE(readFile(destination()), pattern(1000));
}

// With a limit of one tick, every tick must have been preceded by data.
void DownloadTaskTest::trickleKeepsAttemptAlive()
{
    FakeMirror server;
    QVERIFY(server.start());
    FakeMirror::Response trickle = FakeMirror::Response::ok(pattern(300));
    trickle.trickleBytes = 10;
    trickle.trickleIntervalMs = 10;
    server.setResponse(RequestPath, trickle);
    Services services;
    services.addMirror(QStringLiteral("m1"), server, 2);
    services.mirrors.mirrors[0].timeoutTicks = 1;

    DownloadTaskSpecification task(&services.manager, &services.mirrors, Source, destination(), 300,
                                   nullptr, 1.0);
    services.follow(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    double seen = 0.0;
    int ticks = 0;
    for (;;) {
        QTRY_VERIFY(!finished.isEmpty() || task.progress > seen);
        if (!finished.isEmpty())
            break;
        seen = task.progress;
        QVERIFY(tick(task).downloading);
        ++ticks;
    }
    QVERIFY(ticks >= 3);
    QCOMPARE(server.requestCount(RequestPath), 1);
    QCOMPARE(services.log.filter(QStringLiteral("timed out")), QStringList());
    QCOMPARE(readFile(destination()), pattern(300));
}

void DownloadTaskTest::unwritableDestinationIsAnErrorWithoutRetry()
{
    FakeMirror server;
    QVERIFY(server.start());
    server.setResponse(RequestPath, FakeMirror::Response::ok("content"));
    Services services;
    services.addMirror(QStringLiteral("m1"), server, 2);
    services.addMirror(QStringLiteral("m2"), server, 2);
    // A file where a directory is expected.
    QFile blocker(workDir->filePath(QStringLiteral("blocker")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString target = workDir->filePath(QStringLiteral("blocker/file.bin"));

    DownloadTaskSpecification task(&services.manager, &services.mirrors, Source, target, -1, nullptr,
                                   1.0);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy error(&task, &TaskSpecification::error);
    task.execute();

    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task.state, int(TaskState::ErrorCanceled));
    QCOMPARE(error.count(), 1);
    QCOMPARE(error.at(0).at(0).toString(), QStringLiteral("Unable to create file %1 for saving").arg(target));
    QCOMPARE(services.mirrorNames(), (QStringList{"m1", "m2"}));
    for (const FTPSiteAccessData& mirror : std::as_const(services.mirrors.mirrors)) {
        QCOMPARE(mirror.inUse, 0);
        QCOMPARE(mirror.errors, 0);
    }
    QVERIFY(services.manager.findChildren<QNetworkReply*>().isEmpty());
}

void DownloadTaskTest::oneMirrorServesOneDownloadAtATime()
{
    FakeMirror server;
    QVERIFY(server.start());
    const QString otherSource = QStringLiteral("client/other.bin");
    const QString otherPath = QStringLiteral("/7/client/other.bin");
    FakeMirror::Response first = FakeMirror::Response::ok(pattern(20000));
    first.hold = true;
    server.setResponse(RequestPath, first);
    server.setResponse(otherPath, FakeMirror::Response::ok(pattern(30000)));
    Services services;
    services.addMirror(QStringLiteral("m1"), server, 2);

    DownloadTaskSpecification a(&services.manager, &services.mirrors, Source, destination(), -1,
                                nullptr, 1.0);
    const QString otherDestination = workDir->filePath(QStringLiteral("other.bin"));
    DownloadTaskSpecification b(&services.manager, &services.mirrors, otherSource, otherDestination,
                                -1, nullptr, 1.0);
    QSignalSpy aFinished(&a, &TaskSpecification::finished);
    QSignalSpy bFinished(&b, &TaskSpecification::finished);
    a.execute();
    b.execute();
    QTRY_COMPARE(server.heldCount(), 1);

    // The waiting task holds nothing, counts no idle ticks and never times out.
    QVERIFY(!QFile::exists(otherDestination));
    for (int i = 0; i < 20; ++i)
        QVERIFY(!tick(b).downloading);
    QCOMPARE(b.state, int(TaskState::Running));
    QCOMPARE(services.mirror(QStringLiteral("m1"))->inUse, 1);

    server.releaseAll();
    QVERIFY(aFinished.wait(10000));
    QVERIFY(bFinished.count() == 1 || bFinished.wait(10000));
    QCOMPARE(server.maxConcurrentRequests(), 1);
    QCOMPARE(server.requestedPaths(), (QStringList{RequestPath, otherPath}));
    QCOMPARE(readFile(otherDestination), pattern(30000));
    QCOMPARE(services.mirror(QStringLiteral("m1"))->inUse, 0);
}

void DownloadTaskTest::cancelDuringTransferDeletesPartialFile_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::newRow("user") << true;
    QTest::newRow("sibling") << false;
}

void DownloadTaskTest::cancelDuringTransferDeletesPartialFile()
{
    QFETCH(bool, byUser);

    FakeMirror server;
    QVERIFY(server.start());
    FakeMirror::Response slow = FakeMirror::Response::ok(pattern(100000));
    slow.trickleBytes = 1000;
    slow.trickleIntervalMs = 50;
    server.setResponse(RequestPath, slow);
    Services services;
    services.addMirror(QStringLiteral("m1"), server, 2);

    DownloadTaskSpecification task(&services.manager, &services.mirrors, Source, destination(), 100000,
                                   nullptr, 1.0);
    services.follow(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QTRY_VERIFY(tick(task).done > 0);
    QVERIFY(QFile::exists(destination()));

    if (byUser)
        task.userCanceled();
    else
        task.handleOtherTaskCancelled(nullptr);

    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task.state, int(byUser ? TaskState::UserCanceled : TaskState::ErrorCanceled));
    QVERIFY(!QFile::exists(destination()));
    QCOMPARE(services.mirror(QStringLiteral("m1"))->inUse, 0);
    QCOMPARE(services.mirror(QStringLiteral("m1"))->errors, 0);
    QCOMPARE(task.progress, 0.0);
    const QStringList expected = byUser ? QStringList{"Downloading " + Source}
                                        : QStringList{"Downloading " + Source, "Abort downloading " + Source};
    QCOMPARE(services.log, expected);
    // Nothing more happens: no new attempt, no file.
    QTest::qWait(200);
    QCOMPARE(server.requestCount(RequestPath), 1);
    QVERIFY(!QFile::exists(destination()));
    QCOMPARE(canceled.count(), 1);
}

void DownloadTaskTest::cancelWhileWaitingNeverRequests_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::newRow("user") << true;
    QTest::newRow("sibling") << false;
}

void DownloadTaskTest::cancelWhileWaitingNeverRequests()
{
    QFETCH(bool, byUser);

    FakeMirror server;
    QVERIFY(server.start());
    FakeMirror::Response first = FakeMirror::Response::ok(pattern(1000));
    first.hold = true;
    server.setResponse(RequestPath, first);
    server.setResponse(QStringLiteral("/7/client/other.bin"), FakeMirror::Response::ok("other"));
    Services services;
    services.addMirror(QStringLiteral("m1"), server, 2);

    DownloadTaskSpecification holder(&services.manager, &services.mirrors, Source, destination(), -1,
                                     nullptr, 1.0);
    const QString otherDestination = workDir->filePath(QStringLiteral("other.bin"));
    DownloadTaskSpecification waiter(&services.manager, &services.mirrors,
                                     QStringLiteral("client/other.bin"), otherDestination, -1, nullptr,
                                     1.0);
    services.follow(&waiter);
    QSignalSpy holderFinished(&holder, &TaskSpecification::finished);
    QSignalSpy waiterCanceled(&waiter, &TaskSpecification::canceled);
    holder.execute();
    waiter.execute();
    QTRY_COMPARE(server.heldCount(), 1);

    if (byUser)
        waiter.userCanceled();
    else
        waiter.handleOtherTaskCancelled(&holder);
    QCOMPARE(waiterCanceled.count(), 1);
    QCOMPARE(waiter.state, int(byUser ? TaskState::UserCanceled : TaskState::ErrorCanceled));
    // A wait is no transfer: nothing to abort, so nothing to say.
    QCOMPARE(services.log, QStringList{"Downloading client/other.bin"});

    server.releaseAll();
    QVERIFY(holderFinished.wait(10000));
    // Give any stale wake-up its turns of the event loop.
    QTest::qWait(200);
    QCOMPARE(server.requestedPaths(), QStringList{RequestPath});
    QVERIFY(!QFile::exists(otherDestination));
    QCOMPARE(services.mirror(QStringLiteral("m1"))->inUse, 0);
    QCOMPARE(waiter.state, int(byUser ? TaskState::UserCanceled : TaskState::ErrorCanceled));
}

// The finished task still names its mirror, but no longer holds it.
void DownloadTaskTest::resetAfterFinishReleasesNothing()
{
    FakeMirror server;
    QVERIFY(server.start());
    server.setResponse(RequestPath, FakeMirror::Response::ok("content"));
    Services services;
    services.addMirror(QStringLiteral("m1"), server, 2);

    DownloadTaskSpecification task(&services.manager, &services.mirrors, Source, destination(), -1,
                                   nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait(10000));
    task.userCanceled();
    task.reset();
    QCOMPARE(services.mirror(QStringLiteral("m1"))->inUse, 0);
    QCOMPARE(task.state, int(TaskState::Idle));
    // A completed file is no partial one: it stays.
    QCOMPARE(readFile(destination()), QByteArray("content"));
}

static TestRegistration registration("DownloadTaskTest", [] { return new DownloadTaskTest; });
#include "tst_download.moc"
