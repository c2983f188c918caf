#include "testregistry.h"

#include "downloadfixture.h"
#include "downloadtaskspecification.h"
#include "testfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <cstring>

namespace {

const QString Source = QStringLiteral("client/data/file.bin");
const QString RequestPath = QStringLiteral("/7/client/data/file.bin");

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

// The two ways a download is canceled from outside: by the user, or
// because a sibling task of the run failed.
void cancel(TaskSpecification& task, bool byUser, TaskSpecification* sibling = nullptr)
{
    if (byUser)
        task.userCanceled();
    else
        task.handleOtherTaskCancelled(sibling);
}

int canceledState(bool byUser)
{
    return int(byUser ? TaskState::UserCanceled : TaskState::ErrorCanceled);
}

} // namespace

class DownloadTaskTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void downloadsExactBytes_data();
    void downloadsExactBytes();
    void statusOtherThan200DropsMirror_data();
    void statusOtherThan200DropsMirror();
    void failedMirrorGivesWayToAnother();
    void networkErrorsAreChargedUntilMirrorIsDropped();
    void bodyPastTheLimitFailsTheAttempt_data();
    void bodyPastTheLimitFailsTheAttempt();
    void writeFailureFailsTheAttempt_data();
    void writeFailureFailsTheAttempt();
    void endlessHeadersFailOnlyThatMirror_data();
    void endlessHeadersFailOnlyThatMirror();
    void mirrorIsAskedForTheNameItself_data();
    void mirrorIsAskedForTheNameItself();
    void idleAttemptTimesOutOnTheSixteenthTick();
    void attemptMustAverageOneKibPerSecond_data();
    void attemptMustAverageOneKibPerSecond();
    void unwritableDestinationIsAnErrorWithoutRetry();
    void oneMirrorServesOneDownloadAtATime();
    void cancelDuringTransferDeletesPartialFile_data();
    void cancelDuringTransferDeletesPartialFile();
    void cancelWhileWaitingNeverRequests_data();
    void cancelWhileWaitingNeverRequests();
    void resetAfterFinishReleasesNothing();

private:
    QString destination() const { return fixture->workDir.filePath(QStringLiteral("file.bin")); }

    std::unique_ptr<DownloadFixture> fixture;
};

void DownloadTaskTest::init()
{
    fixture = std::make_unique<DownloadFixture>();
    QVERIFY(fixture->start());
}

// The server and every reply go with their case.
void DownloadTaskTest::cleanup()
{
    fixture.reset();
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

    FakeMirror::Response response = FakeMirror::Response::ok(pattern(bodySize));
    response.length = FakeMirror::Length(length);
    response.chunked = chunked;
    fixture->server.setResponse(RequestPath, response);
    fixture->addMirror(QStringLiteral("m1"));

    DownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, Source, destination(),
                                   size, nullptr, 0.5);
    fixture->follow(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QVERIFY(finished.wait(10000));

    QCOMPARE(canceled.count(), 0);
    QCOMPARE(task.state, int(TaskState::Finished));
    QCOMPARE(TestFiles::read(destination()), pattern(bodySize));
    QCOMPARE(fixture->server.requestedPaths(), QStringList{RequestPath});
    QCOMPARE(task.progress, 0.5);
    QCOMPARE(task.mirrorName(), QStringLiteral("m1"));
    QCOMPARE(fixture->mirror(QStringLiteral("m1"))->inUse, 0);
    QCOMPARE(fixture->log, (QStringList{"Downloading " + Source, "Downloading " + Source + " finished"}));

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
    QTest::newRow("404") << 404;
}

// With retries to spare, only the status itself can remove the mirror at
// once; the next attempt then finds the list empty.
void DownloadTaskTest::statusOtherThan200DropsMirror()
{
    QFETCH(int, status);

    const QString target = QStringLiteral("/elsewhere/file.bin");
    fixture->server.setResponse(target, FakeMirror::Response::ok("moved here"));
    FakeMirror::Response response =
        FakeMirror::Response::redirect(status, fixture->server.url(target), "body");
    if (status == 401)
        response.headers.append({QByteArray("WWW-Authenticate"), QByteArray("Basic realm=\"mirror\"")});
    fixture->server.setResponse(RequestPath, response);
    fixture->addMirror(QStringLiteral("m1"), 5);

    DownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, Source, destination(), -1,
                                   nullptr, 1.0);
    fixture->follow(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy error(&task, &TaskSpecification::error);
    task.execute();
    QVERIFY(canceled.wait(10000));

    QCOMPARE(task.state, int(TaskState::ErrorCanceled));
    QCOMPARE(error.count(), 0);
    QVERIFY(fixture->mirrors.mirrors.isEmpty());
    QCOMPARE(fixture->server.requestedPaths(), QStringList{RequestPath});
    QCOMPARE(fixture->log.value(1),
             QStringLiteral("%1 returned %2")
                 .arg(fixture->server.url(RequestPath), QString::number(status)));
    QCOMPARE(fixture->log.mid(2), QStringList{"There are no (more) known working mirrors available"});
    QVERIFY(!QFile::exists(destination()));
}

void DownloadTaskTest::failedMirrorGivesWayToAnother()
{
    FakeMirror& server = fixture->server;
    server.setResponse(QStringLiteral("/bad") + RequestPath, FakeMirror::Response::withStatus(404));
    server.setResponse(QStringLiteral("/good") + RequestPath, FakeMirror::Response::ok("content"));
    fixture->addMirror(QStringLiteral("bad"), 2, QStringLiteral("/bad"));
    fixture->addMirror(QStringLiteral("good"), 2, QStringLiteral("/good"));
    DownloadFixture::seedSoThatFirstChoiceIs(0, 2);

    DownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, Source, destination(), -1,
                                   nullptr, 1.0);
    fixture->follow(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait(10000));
    QCOMPARE(TestFiles::read(destination()), QByteArray("content"));
    QCOMPARE(task.mirrorName(), QStringLiteral("good"));
    QCOMPARE(fixture->mirrorNames(), QStringList{"good"});
    QCOMPARE(server.requestedPaths(),
             (QStringList{QStringLiteral("/bad") + RequestPath, QStringLiteral("/good") + RequestPath}));
    QCOMPARE(fixture->log.at(1), QStringLiteral("%1 returned 404").arg(server.url("/bad" + RequestPath)));
    QCOMPARE(fixture->mirror(QStringLiteral("good"))->inUse, 0);
    QCOMPARE(fixture->mirror(QStringLiteral("good"))->errors, 0);
}

// Each attempt gets a body cut short of its announced length.
void DownloadTaskTest::networkErrorsAreChargedUntilMirrorIsDropped()
{
    FakeMirror::Response response = FakeMirror::Response::ok(pattern(50000));
    response.truncateAfter = 20000;
    fixture->server.setResponse(RequestPath, response);
    fixture->addMirror(QStringLiteral("m1"), 2);

    DownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, Source, destination(),
                                   50000, nullptr, 1.0);
    fixture->follow(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy error(&task, &TaskSpecification::error);
    task.execute();
    QVERIFY(canceled.wait(20000));

    QCOMPARE(task.state, int(TaskState::ErrorCanceled));
    QCOMPARE(error.count(), 0);
    QVERIFY(!QFile::exists(destination()));
    // Three attempts, each told by the reply's own text.
    const QStringList& log = fixture->log;
    QCOMPARE(log.size(), 6);
    QCOMPARE(log.at(0), "Downloading " + Source);
    QCOMPARE(log.at(3), QStringLiteral("Mirror m1 failed too many times, removing"));
    QCOMPARE(log.at(5), QStringLiteral("There are no (more) known working mirrors available"));
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

    FakeMirror::Response response = FakeMirror::Response::ok(QByteArray(bodySize, 'x'));
    response.length = FakeMirror::Length(length);
    fixture->server.setResponse(RequestPath, response);
    fixture->addMirror(QStringLiteral("m1"), 1);

    DownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, Source, destination(), size,
                                   nullptr, 1.0);
    fixture->follow(&task);
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
    // The mirror is charged like for a network error: its second one removes
    // it. (The server may see a request twice: the network manager sends it
    // again when its connection closed under it.)
    QCOMPARE(fixture->log.count(tooLong), 2);
    QVERIFY(fixture->log.contains(QStringLiteral("Mirror m1 failed too many times, removing")));
    QVERIFY(!QFile::exists(destination()));
}

// The first attempt writes to /dev/full through a link, which the failed
// attempt removes like any partial file; the next attempt succeeds.
void DownloadTaskTest::writeFailureFailsTheAttempt_data()
{
    QTest::addColumn<int>("bodySize");
    QTest::newRow("disk full during the body") << 100000;
    QTest::newRow("disk full at the final flush") << 5000;
}

// A failed write counts against the mirror like a network error, and never
// leaves a file that passes for complete.
void DownloadTaskTest::writeFailureFailsTheAttempt()
{
    QFETCH(int, bodySize);

    fixture->server.setResponse(RequestPath, FakeMirror::Response::ok(pattern(bodySize)));
    fixture->addMirror(QStringLiteral("m1"), 2);
    QVERIFY(QFile::link(QStringLiteral("/dev/full"), destination()));
    DownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, Source, destination(),
                                   bodySize, nullptr, 1.0);
    fixture->follow(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait(10000));

    QCOMPARE(fixture->log.value(1), QString::fromLocal8Bit(strerror(ENOSPC)));
    QCOMPARE(fixture->mirror(QStringLiteral("m1"))->errors, 1);
    QVERIFY(!QFileInfo(destination()).isSymLink());
    QCOMPARE(TestFiles::read(destination()), pattern(bodySize));
}

void DownloadTaskTest::endlessHeadersFailOnlyThatMirror_data()
{
    QTest::addColumn<int>("endless");
    QTest::addColumn<int>("headerLineBytes");
    QTest::addColumn<QString>("reason");
    const int none = int(FakeMirror::Endless::None);
    QTest::newRow("one header line of 9000 bytes")
        << none << 9000 << "A header line from 127.0.0.1 is longer than 8192 bytes";
    QTest::newRow("endless header block")
        << int(FakeMirror::Endless::HeaderBlock) << 0 << "The headers from 127.0.0.1 are longer than 65536 bytes";
    // curl bounds a line that never ends.
    QTest::newRow("endless header line")
        << int(FakeMirror::Endless::HeaderLine) << 0 << "A header line from 127.0.0.1 is longer than 102400 bytes";
    QTest::newRow("endless status line")
        << int(FakeMirror::Endless::StatusLine) << 0 << "A header line from 127.0.0.1 is longer than 102400 bytes";
}

// Mirror "hostile" sends an over-long header line, or floods its answer's
// head for as long as it is read. Its
// attempt must fail like any other of its failures (its first one removes
// it), within its time-out, while the event loop keeps turning; then "good"
// serves the file.
void DownloadTaskTest::endlessHeadersFailOnlyThatMirror()
{
    QFETCH(int, endless);
    QFETCH(int, headerLineBytes);
    QFETCH(QString, reason);

    FakeMirror::Response flood = FakeMirror::Response::ok(pattern(5000));
    flood.endless = FakeMirror::Endless(endless);
    if (headerLineBytes > 0)
        flood.headers.append({QByteArray("X-Long"), QByteArray(headerLineBytes - 10, 'x')});
    fixture->server.setResponse(QStringLiteral("/hostile") + RequestPath, flood);
    fixture->server.setResponse(QStringLiteral("/good") + RequestPath, FakeMirror::Response::ok(pattern(5000)));
    fixture->addMirror(QStringLiteral("hostile"), 0, QStringLiteral("/hostile"));
    fixture->addMirror(QStringLiteral("good"), 2, QStringLiteral("/good"));
    DownloadFixture::seedSoThatFirstChoiceIs(0, 2);

    DownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, Source, destination(), 5000,
                                   nullptr, 1.0);
    fixture->follow(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    // The longest the event loop went without turning.
    QElapsedTimer sinceProbe;
    qint64 longestGapMs = 0;
    QTimer probe;
    connect(&probe, &QTimer::timeout, this, [&] { longestGapMs = qMax(longestGapMs, sinceProbe.restart()); });
    sinceProbe.start();
    probe.start(5);
    task.execute();
    for (int tickNumber = 1; finished.isEmpty() && tickNumber <= 15; ++tickNumber) {
        finished.wait(200);
        tick(task);
    }

    QCOMPARE(finished.count(), 1);
    QVERIFY2(longestGapMs < 1000, qPrintable(QString::number(longestGapMs)));
    QCOMPARE(fixture->server.requestCount(QStringLiteral("/hostile") + RequestPath), 1);
    QCOMPARE(TestFiles::read(destination()), pattern(5000));
    QCOMPARE(fixture->log.mid(1, 2),
             (QStringList{QStringLiteral("Mirror hostile failed too many times, removing"), reason}));
    QCOMPARE(fixture->mirrorNames(), QStringList{"good"});
}

void DownloadTaskTest::mirrorIsAskedForTheNameItself_data()
{
    QTest::addColumn<QString>("name");
    // The request target as it goes out; a plain name's is what it always was.
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("plain") << "data/file.bin" << QByteArray("/7/client/data/file.bin");
    QTest::newRow("hash") << "data/notes#1.txt" << QByteArray("/7/client/data/notes%231.txt");
    QTest::newRow("question mark") << "data/what?.txt" << QByteArray("/7/client/data/what%3F.txt");
    QTest::newRow("escape-like") << "data/a%41b.txt" << QByteArray("/7/client/data/a%2541b.txt");
    QTest::newRow("space") << "data/a b.txt" << QByteArray("/7/client/data/a%20b.txt");
    QTest::newRow("non-ASCII") << QStringLiteral("data/na\u00efve.txt")
                               << QByteArray("/7/client/data/na%C3%AFve.txt");
}

void DownloadTaskTest::mirrorIsAskedForTheNameItself()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, target);

    const QString path = QStringLiteral("/7/client/") + name;
    fixture->server.setResponse(path, FakeMirror::Response::ok("content"));
    fixture->addMirror(QStringLiteral("m1"), 2);
    DownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, QStringLiteral("client/") + name,
                                   destination(), -1, nullptr, 1.0);
    fixture->follow(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait(10000));

    QCOMPARE(fixture->server.requestLines(), QList<QByteArray>{"GET " + target + " HTTP/1.1"});
    QCOMPARE(TestFiles::read(destination()), QByteArray("content"));
    QCOMPARE(fixture->log.value(0), "Downloading client/" + name);
}

void DownloadTaskTest::idleAttemptTimesOutOnTheSixteenthTick()
{
    FakeMirror::Response stalled = FakeMirror::Response::ok(pattern(1000));
    stalled.stall = FakeMirror::Stall::AfterHeaders;
    fixture->server.failFirst(RequestPath, 1, stalled);
    fixture->server.setResponse(RequestPath, FakeMirror::Response::ok(pattern(1000)));
    fixture->addMirror(QStringLiteral("m1"), 2);

    DownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, Source, destination(), 1000,
                                   nullptr, 1.0);
    fixture->follow(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QTRY_COMPARE(fixture->server.requestCount(RequestPath), 1);
    // Let the headers arrive: they are no data and reset nothing.
    QTRY_VERIFY(QFile::exists(destination()));

    for (int i = 1; i <= 15; ++i)
        QVERIFY2(tick(task).downloading, qPrintable(QString::number(i)));
    QCOMPARE(fixture->server.requestCount(RequestPath), 1);
    QVERIFY(!tick(task).downloading);
    QCOMPARE(fixture->log.value(1), QStringLiteral("file %1 timed out on mirror m1").arg(Source));
    QCOMPARE(fixture->mirror(QStringLiteral("m1"))->errors, 1);

    QVERIFY(finished.wait(10000));
    QCOMPARE(fixture->server.requestCount(RequestPath), 2);
    QCOMPARE(TestFiles::read(destination()), pattern(1000));
}

// Each row: mirror "slow" sends its headers at once, or after tick
// `headersAfterTick`; it sends `pieceBytes` of the body after the first tick
// (or that one) and again every `everyTicks` ticks, up to `size`. The
// attempt is cut on tick `cutOnTick` (0: never), and then the file comes
// whole from mirror "good".
void DownloadTaskTest::attemptMustAverageOneKibPerSecond_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("pieceBytes");
    QTest::addColumn<int>("everyTicks");
    QTest::addColumn<int>("timeoutTicks");
    QTest::addColumn<int>("headersAfterTick");
    QTest::addColumn<int>("cutOnTick");
    QTest::newRow("a byte a tick") << 700 << 1 << 1 << 15 << 0 << 16;
    QTest::newRow("headers after 10 ticks, then a byte a tick") << 700 << 1 << 1 << 15 << 10 << 16;
    QTest::newRow("1023 bytes a tick") << 40000 << 1023 << 1 << 15 << 0 << 16;
    QTest::newRow("1 KiB a tick") << 40000 << 1024 << 1 << 15 << 0 << 0;
    QTest::newRow("5 KiB a tick") << 200000 << 5120 << 1 << 15 << 0 << 0;
    QTest::newRow("20 KiB bursts, 14 ticks apart") << 80000 << 20480 << 15 << 15 << 0 << 0;
    QTest::newRow("14 KiB bursts, 14 ticks apart") << 80000 << 14336 << 15 << 15 << 0 << 16;
    // A limit of one tick: every tick must have been preceded by data.
    QTest::newRow("2 KiB a tick, limit 1") << 8192 << 2048 << 1 << 1 << 0 << 0;
}

void DownloadTaskTest::attemptMustAverageOneKibPerSecond()
{
    QFETCH(int, size);
    QFETCH(int, pieceBytes);
    QFETCH(int, everyTicks);
    QFETCH(int, timeoutTicks);
    QFETCH(int, headersAfterTick);
    QFETCH(int, cutOnTick);

    FakeMirror::Response trickle = FakeMirror::Response::ok(pattern(size));
    trickle.trickleBytes = pieceBytes;
    trickle.hold = headersAfterTick > 0;
    fixture->server.setResponse(QStringLiteral("/slow") + RequestPath, trickle);
    fixture->server.setResponse(QStringLiteral("/good") + RequestPath, FakeMirror::Response::ok(pattern(size)));
    // Its first error removes it, so no second attempt goes to it.
    fixture->addMirror(QStringLiteral("slow"), 0, QStringLiteral("/slow"));
    fixture->addMirror(QStringLiteral("good"), 2, QStringLiteral("/good"));
    fixture->mirrors.mirrors[0].timeoutTicks = timeoutTicks;
    DownloadFixture::seedSoThatFirstChoiceIs(0, 2);

    DownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, Source, destination(), size,
                                   nullptr, 1.0);
    fixture->follow(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QTRY_COMPARE(fixture->server.requestCount(QStringLiteral("/slow") + RequestPath), 1);
    const int firstPieceTick = qMax(1, headersAfterTick);
    int cutOn = 0;
    // Once all is sent, the reply's end may still be on its way: no more ticks.
    for (int tickNumber = 1, sent = 0; sent < size; ++tickNumber) {
        if (!tick(task).downloading) {
            cutOn = tickNumber;
            break;
        }
        if (tickNumber == headersAfterTick)
            fixture->server.releaseAll();
        if (tickNumber < firstPieceTick || (tickNumber - firstPieceTick) % everyTicks != 0)
            continue;
        fixture->server.sendPieces();
        sent = qMin(size, sent + pieceBytes);
        QTRY_COMPARE(qRound64(task.progress * size), qint64(sent));
    }
    QCOMPARE(cutOn, cutOnTick);
    QVERIFY(!finished.isEmpty() || finished.wait(10000));
    QCOMPARE(TestFiles::read(destination()), pattern(size));
    QCOMPARE(fixture->mirrorNames(), cutOnTick ? QStringList{"good"} : (QStringList{"slow", "good"}));
    QCOMPARE(fixture->log.contains(QStringLiteral("file %1 timed out on mirror slow").arg(Source)),
             cutOnTick != 0);
}

void DownloadTaskTest::unwritableDestinationIsAnErrorWithoutRetry()
{
    fixture->server.setResponse(RequestPath, FakeMirror::Response::ok("content"));
    fixture->addMirror(QStringLiteral("m1"), 2);
    fixture->addMirror(QStringLiteral("m2"), 2);
    // A file where a directory is expected.
    QVERIFY(TestFiles::write(fixture->workDir.filePath(QStringLiteral("blocker")), QByteArray()));
    const QString target = fixture->workDir.filePath(QStringLiteral("blocker/file.bin"));

    DownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, Source, target, -1, nullptr,
                                   1.0);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    QSignalSpy error(&task, &TaskSpecification::error);
    task.execute();

    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task.state, int(TaskState::ErrorCanceled));
    QCOMPARE(error.count(), 1);
    QCOMPARE(error.at(0).at(0).toString(), QStringLiteral("Unable to create file %1 for saving").arg(target));
    QCOMPARE(fixture->mirrorNames(), (QStringList{"m1", "m2"}));
    for (const FTPSiteAccessData& mirror : std::as_const(fixture->mirrors.mirrors)) {
        QCOMPARE(mirror.inUse, 0);
        QCOMPARE(mirror.errors, 0);
    }
    QVERIFY(fixture->manager.findChildren<QNetworkReply*>().isEmpty());
}

void DownloadTaskTest::oneMirrorServesOneDownloadAtATime()
{
    const QString otherSource = QStringLiteral("client/other.bin");
    const QString otherPath = QStringLiteral("/7/client/other.bin");
    FakeMirror::Response first = FakeMirror::Response::ok(pattern(20000));
    first.hold = true;
    fixture->server.setResponse(RequestPath, first);
    fixture->server.setResponse(otherPath, FakeMirror::Response::ok(pattern(30000)));
    fixture->addMirror(QStringLiteral("m1"), 2);

    DownloadTaskSpecification a(&fixture->manager, &fixture->mirrors, Source, destination(), -1,
                                nullptr, 1.0);
    const QString otherDestination = fixture->workDir.filePath(QStringLiteral("other.bin"));
    DownloadTaskSpecification b(&fixture->manager, &fixture->mirrors, otherSource, otherDestination,
                                -1, nullptr, 1.0);
    QSignalSpy aFinished(&a, &TaskSpecification::finished);
    QSignalSpy bFinished(&b, &TaskSpecification::finished);
    a.execute();
    b.execute();
    QTRY_COMPARE(fixture->server.heldCount(), 1);

    // The waiting task holds nothing, counts no idle ticks and never times out.
    QVERIFY(!QFile::exists(otherDestination));
    for (int i = 0; i < 20; ++i)
        QVERIFY(!tick(b).downloading);
    QCOMPARE(b.state, int(TaskState::Running));
    QCOMPARE(fixture->mirror(QStringLiteral("m1"))->inUse, 1);

    fixture->server.releaseAll();
    QVERIFY(aFinished.wait(10000));
    QVERIFY(bFinished.count() == 1 || bFinished.wait(10000));
    QCOMPARE(fixture->server.maxConcurrentRequests(), 1);
    QCOMPARE(fixture->server.requestedPaths(), (QStringList{RequestPath, otherPath}));
    // The mirror's connection serves the second file too.
    QCOMPARE(fixture->server.connectionsAccepted(), 1);
    QCOMPARE(TestFiles::read(otherDestination), pattern(30000));
    QCOMPARE(fixture->mirror(QStringLiteral("m1"))->inUse, 0);
}

// The user or a failed sibling cancels a transfer under way, or the run's
// task tree is destroyed with it.
void DownloadTaskTest::cancelDuringTransferDeletesPartialFile_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("user") << "user";
    QTest::newRow("sibling") << "sibling";
    QTest::newRow("destroyed") << "destroyed";
}

void DownloadTaskTest::cancelDuringTransferDeletesPartialFile()
{
    QFETCH(QString, how);
    const bool byUser = how == QLatin1String("user");

    FakeMirror::Response trickle = FakeMirror::Response::ok(pattern(100000));
    trickle.trickleBytes = 1000;
    trickle.trickleIntervalMs = 50;
    fixture->server.setResponse(RequestPath, trickle);
    fixture->addMirror(QStringLiteral("m1"), 2);
    auto task = std::make_unique<DownloadTaskSpecification>(&fixture->manager, &fixture->mirrors,
                                                            Source, destination(), 100000, nullptr, 1.0);
    fixture->follow(task.get());
    QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
    task->execute();
    QTRY_VERIFY(tick(*task).done > 0);
    QVERIFY(QFile::exists(destination()));
    if (how == QLatin1String("destroyed")) {
        task.reset();
        QVERIFY(!QFile::exists(destination()));
        return;
    }

    cancel(*task, byUser);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task->state, canceledState(byUser));
    QVERIFY(!QFile::exists(destination()));
    QCOMPARE(fixture->mirror(QStringLiteral("m1"))->inUse, 0);
    QCOMPARE(fixture->mirror(QStringLiteral("m1"))->errors, 0);
    QCOMPARE(task->progress, 0.0);
    const QStringList expected = byUser ? QStringList{"Downloading " + Source}
                                        : QStringList{"Downloading " + Source, "Abort downloading " + Source};
    QCOMPARE(fixture->log, expected);
    // Nothing more happens: no new attempt, no file.
    QTest::qWait(200);
    QCOMPARE(fixture->server.requestCount(RequestPath), 1);
    QVERIFY(!QFile::exists(destination()));
    QCOMPARE(canceled.count(), 1);
}

void DownloadTaskTest::cancelWhileWaitingNeverRequests_data()
{
    QTest::addColumn<bool>("byUser");
    // Canceled while the wake-up of a freed mirror is already queued for it.
    QTest::addColumn<bool>("wakeUpQueued");
    for (const bool byUser : {true, false}) {
        const char* cause = byUser ? "user" : "sibling";
        QTest::addRow("%s, while waiting", cause) << byUser << false;
        QTest::addRow("%s, as a mirror frees up", cause) << byUser << true;
    }
}

void DownloadTaskTest::cancelWhileWaitingNeverRequests()
{
    QFETCH(bool, byUser);
    QFETCH(bool, wakeUpQueued);

    FakeMirror::Response first = FakeMirror::Response::ok(pattern(1000));
    first.hold = true;
    fixture->server.setResponse(RequestPath, first);
    fixture->server.setResponse(QStringLiteral("/7/client/other.bin"),
                                FakeMirror::Response::ok("other"));
    fixture->addMirror(QStringLiteral("m1"), 2);

    DownloadTaskSpecification holder(&fixture->manager, &fixture->mirrors, Source, destination(), -1,
                                     nullptr, 1.0);
    const QString otherDestination = fixture->workDir.filePath(QStringLiteral("other.bin"));
    DownloadTaskSpecification waiter(&fixture->manager, &fixture->mirrors,
                                     QStringLiteral("client/other.bin"), otherDestination, -1, nullptr,
                                     1.0);
    fixture->follow(&waiter);
    QSignalSpy holderFinished(&holder, &TaskSpecification::finished);
    QSignalSpy waiterCanceled(&waiter, &TaskSpecification::canceled);
    holder.execute();
    waiter.execute();
    QTRY_COMPARE(fixture->server.heldCount(), 1);

    if (wakeUpQueued) {
        // Connected after the waiter's own connection, so the cancellation
        // comes after its wake-up has been queued.
        connect(&fixture->manager, &QNetworkAccessManager::finished, &waiter,
                [&] { cancel(waiter, byUser, &holder); }, Qt::SingleShotConnection);
    } else {
        cancel(waiter, byUser, &holder);
    }
    fixture->server.releaseAll();
    QVERIFY(holderFinished.wait(10000));
    // Delivers a wake-up that is still queued.
    QCoreApplication::processEvents();

    QCOMPARE(waiterCanceled.count(), 1);
    QCOMPARE(waiter.state, canceledState(byUser));
    // A wait is no transfer: nothing to abort, so nothing to say.
    QCOMPARE(fixture->log, QStringList{"Downloading client/other.bin"});
    QVERIFY(!QFile::exists(otherDestination));
    QCOMPARE(fixture->mirror(QStringLiteral("m1"))->inUse, 0);
    QCOMPARE(fixture->server.requestedPaths(), QStringList{RequestPath});
}

// The finished task still names its mirror, but no longer holds it.
void DownloadTaskTest::resetAfterFinishReleasesNothing()
{
    fixture->server.setResponse(RequestPath, FakeMirror::Response::ok("content"));
    fixture->addMirror(QStringLiteral("m1"), 2);

    DownloadTaskSpecification task(&fixture->manager, &fixture->mirrors, Source, destination(), -1,
                                   nullptr, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait(10000));
    task.userCanceled();
    task.reset();
    QCOMPARE(fixture->mirror(QStringLiteral("m1"))->inUse, 0);
    QCOMPARE(task.state, int(TaskState::Idle));
    // A completed file is no partial one: it stays.
    QCOMPARE(TestFiles::read(destination()), QByteArray("content"));
}

static TestRegistration registration("DownloadTaskTest", [] { return new DownloadTaskTest; });
#include "tst_download.moc"
