#include "testregistry.h"

#include "fakeupdateserver.h"
#include "updatechecker.h"
#include "updateserver.h"

#include <QElapsedTimer>
#include <QTest>

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

using Entry = QPair<QString, QString>;
using VersionList = QList<Entry>;

namespace {

// What reaches the client before the server's answer, or before its news
// request goes out (a refusal that its send reports).
enum Disturbance { Quiet, Stranger, Refusal, RefusalBeforeSend };

const QByteArray VersionRequest("3\0", 2);
const QByteArray NewsRequest("*\0", 2);

// How many of the next receive time-outs this process refuses to set.
std::atomic<int> refusedReceiveTimeouts{0};

// How many of the next sends report a refusal that arrived before them.
std::atomic<int> refusedSends{0};

std::atomic<int> handledSignals{0};

// Counts SIGUSR1 while it lives, so that the signal interrupts a blocking
// call instead of ending the process.
class SignalCounter
{
public:
    SignalCounter()
    {
        struct sigaction action = {};
        action.sa_handler = [](int) { ++handledSignals; };
        ::sigaction(SIGUSR1, &action, &previous);
        handledSignals = 0;
    }
    ~SignalCounter() { ::sigaction(SIGUSR1, &previous, nullptr); }

private:
    struct sigaction previous = {};
};

} // namespace

// Stands in for the C library's setsockopt in this test program, so that a
// test can make the kernel refuse the receive time-out; everything else goes
// through to the real call.
extern "C" int setsockopt(int socket, int level, int name, const void* value, socklen_t length) noexcept
{
    using Real = int (*)(int, int, int, const void*, socklen_t);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "setsockopt"));
    if (level == SOL_SOCKET && name == SO_RCVTIMEO && refusedReceiveTimeouts > 0) {
        --refusedReceiveTimeouts;
        errno = EINVAL;
        return -1;
    }
    return real(socket, level, name, value, length);
}

extern "C" ssize_t send(int socket, const void* buffer, size_t length, int flags)
{
    using Real = ssize_t (*)(int, const void*, size_t, int);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "send"));
    if (refusedSends > 0) {
        --refusedSends;
        errno = ECONNREFUSED;
        return -1;
    }
    return real(socket, buffer, length, flags);
}

class UpdateCheckerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void exchange_data();
    void exchange();
    void refusedReceiveTimeoutEndsTheQuery();
};

void UpdateCheckerTest::init()
{
    BANNER_SERVER = QStringLiteral("127.0.0.1");
}

void UpdateCheckerTest::exchange_data()
{
    QTest::addColumn<Disturbance>("disturbance");
    QTest::addColumn<QByteArray>("versionReply");
    QTest::addColumn<QByteArray>("newsReply");
    QTest::addColumn<VersionList>("expectedVersions");
    QTest::addColumn<QString>("expectedNews");

    QTest::newRow("three channels") << Quiet << QByteArray("7#1.0,8#1.1 beta,9") << QByteArray("Hello")
        << VersionList{{"7", "1.0"}, {"8", "1.1 beta"}, {"9", ""}} << QStringLiteral("Hello");
    QTest::newRow("split at the first hash only") << Quiet << QByteArray("7#a#b#c") << QByteArray()
        << VersionList{{"7", "a#b#c"}} << QString();
    QTest::newRow("leading hash gives an empty version") << Quiet << QByteArray("#name") << QByteArray("n")
        << VersionList{{"", "name"}} << QStringLiteral("n");
    QTest::newRow("empty entries are kept") << Quiet << QByteArray("7#a,,8,") << QByteArray("n")
        << VersionList{{"7", "a"}, {"", ""}, {"8", ""}, {"", ""}} << QStringLiteral("n");
    QTest::newRow("empty datagrams") << Quiet << QByteArray() << QByteArray()
        << VersionList{{"", ""}} << QString();
    QTest::newRow("text ends at a NUL byte")
        << Quiet << QByteArray("7#1.0\0,8#hidden", 15) << QByteArray("news\0hidden", 11)
        << VersionList{{"7", "1.0"}} << QStringLiteral("news");
    QTest::newRow("bytes are Latin-1") << Quiet << QByteArray("7#caf\xe9") << QByteArray("\xfc")
        << VersionList{{"7", QStringLiteral("caf\u00e9")}} << QStringLiteral("\u00fc");
    QTest::newRow("version list cut at 511 bytes")
        << Quiet << QByteArray("7#") + QByteArray(600, 'x') << QByteArray("n")
        << VersionList{{"7", QString(509, QLatin1Char('x'))}} << QStringLiteral("n");
    QTest::newRow("news cut at 4095 bytes") << Quiet << QByteArray("7") << QByteArray(5000, 'n')
        << VersionList{{"7", ""}} << QString(4095, QLatin1Char('n'));
    QTest::newRow("NUL inside the first 4095 news bytes")
        << Quiet << QByteArray("7") << QByteArray("short") + QByteArray(1, '\0') + QByteArray(5000, 'n')
        << VersionList{{"7", ""}} << QStringLiteral("short");
    QTest::newRow("a stranger answering first is not heard")
        << Stranger << QByteArray("7#1.0") << QByteArray("Hello")
        << VersionList{{"7", "1.0"}} << QStringLiteral("Hello");
    QTest::newRow("a refusal does not end the wait")
        << Refusal << QByteArray("7#1.0") << QByteArray("Hello")
        << VersionList{{"7", "1.0"}} << QStringLiteral("Hello");
    QTest::newRow("a refusal does not stop a request")
        << RefusalBeforeSend << QByteArray("7#1.0") << QByteArray("Hello")
        << VersionList{{"7", "1.0"}} << QStringLiteral("Hello");
}

void UpdateCheckerTest::exchange()
{
    QFETCH(Disturbance, disturbance);
    QFETCH(QByteArray, versionReply);
    QFETCH(QByteArray, newsReply);
    QFETCH(VersionList, expectedVersions);
    QFETCH(QString, expectedNews);

    const auto answer = [disturbance](const QByteArray& payload) {
        const FakeUpdateServer::Step step = FakeUpdateServer::reply(payload);
        if (disturbance == Stranger)
            return FakeUpdateServer::afterStranger(step, "1#0.9");
        return disturbance == Refusal ? FakeUpdateServer::afterRefusal(step) : step;
    };
    FakeUpdateServer server;
    server.setScript({answer(versionReply), answer(newsReply)});
    QVERIFY2(server.start(), qPrintable(server.errorString()));

    UpdateChecker checker;
    refusedSends = disturbance == RefusalBeforeSend ? 1 : 0;
    QVERIFY(checker.checkUpdate());
    QCOMPARE(refusedSends.load(), 0);
    QCOMPARE(checker.versions, expectedVersions);
    QCOMPARE(checker.news, expectedNews);
    QCOMPARE(server.received(), (QList<QByteArray>{VersionRequest, NewsRequest}));
}

// Without its time-out, a receive would wait for good on a silent server.
void UpdateCheckerTest::refusedReceiveTimeoutEndsTheQuery()
{
    FakeUpdateServer server;
    server.setScript({FakeUpdateServer::reply("7#1.0"), FakeUpdateServer::reply("news")});
    QVERIFY2(server.start(), qPrintable(server.errorString()));

    refusedReceiveTimeouts = 1;
    UpdateChecker checker;
    QVERIFY(!checker.checkUpdate());
    QCOMPARE(refusedReceiveTimeouts.load(), 0);
    QVERIFY(checker.versions.isEmpty());
    // Asked, but never waited for the answer.
    QTRY_COMPARE(server.received(), QList<QByteArray>{VersionRequest});
}

// Cases that wait for the five-second receive time-out.
class UpdateCheckerTimeoutTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void retryAfterSilentNewsAppendsEntries();
    void signalDuringTheWait_data();
    void signalDuringTheWait();
};

void UpdateCheckerTimeoutTest::init()
{
    BANNER_SERVER = QStringLiteral("127.0.0.1");
}

void UpdateCheckerTimeoutTest::retryAfterSilentNewsAppendsEntries()
{
    FakeUpdateServer server;
    server.setScript({FakeUpdateServer::reply("7#1.0,8#1.1"), FakeUpdateServer::silence(),
                      FakeUpdateServer::reply("20#x,21#y,22#z"), FakeUpdateServer::reply("news")});
    QVERIFY2(server.start(), qPrintable(server.errorString()));

    UpdateChecker checker;
    QVERIFY(!checker.checkUpdate());
    QCOMPARE(checker.versions, (VersionList{{"7", "1.0"}, {"8", "1.1"}}));
    QVERIFY(checker.news.isEmpty());

    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.news, QStringLiteral("news"));
    QCOMPARE(checker.versions.size(), 5);
    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel::Stable), Entry("7", "1.0"));
    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel::Alpha), Entry("20", "x"));
    QCOMPARE(server.received(),
             (QList<QByteArray>{VersionRequest, NewsRequest, VersionRequest, NewsRequest}));
}

// A signal handled while the query waits (the user's desktop session sends
// them, so does a debugger) neither fails the query nor stretches its time-out.
void UpdateCheckerTimeoutTest::signalDuringTheWait_data()
{
    QTest::addColumn<QList<FakeUpdateServer::Step>>("script");
    QTest::addColumn<QList<QByteArray>>("expectedRequests");
    QTest::addColumn<bool>("expectedResult");
    QTest::addColumn<int>("minimumMs");
    QTest::addColumn<int>("maximumMs");

    // The signal goes to the thread that runs the test, which by then waits in the query's recv.
    const pthread_t client = ::pthread_self();
    const std::function<void()> interruption = [client] { ::pthread_kill(client, SIGUSR1); };
    QTest::newRow("a slow reply is still taken")
        << QList<FakeUpdateServer::Step>{
               FakeUpdateServer::delayed(
                   FakeUpdateServer::interrupted(FakeUpdateServer::reply("7#1.0"), 1500, interruption), 1600),
               // Later than what was left of the first wait when the signal came.
               FakeUpdateServer::delayed(FakeUpdateServer::reply("news"), 4000)}
        << QList<QByteArray>{VersionRequest, NewsRequest} << true << 5500 << 7000;
    QTest::newRow("silence still ends after five seconds")
        << QList<FakeUpdateServer::Step>{
               FakeUpdateServer::interrupted(FakeUpdateServer::silence(), 1500, interruption)}
        << QList<QByteArray>{VersionRequest} << false << 4900 << 6000;
}

void UpdateCheckerTimeoutTest::signalDuringTheWait()
{
#ifdef KV_TESTS_UNDER_EMULATOR
    QSKIP("the emulator breaks the thread whose signal handler ran");
#endif
    QFETCH(QList<FakeUpdateServer::Step>, script);
    QFETCH(QList<QByteArray>, expectedRequests);
    QFETCH(bool, expectedResult);
    QFETCH(int, minimumMs);
    QFETCH(int, maximumMs);

    FakeUpdateServer server;
    server.setScript(script);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const SignalCounter counter;

    QElapsedTimer clock;
    clock.start();
    UpdateChecker checker;
    QCOMPARE(checker.checkUpdate(), expectedResult);
    QVERIFY2(clock.elapsed() >= minimumMs && clock.elapsed() < maximumMs,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(handledSignals.load(), 1);
    QCOMPARE(server.received(), expectedRequests);
    QCOMPARE(checker.versions, (expectedResult ? VersionList{{"7", "1.0"}} : VersionList()));
    QCOMPARE(checker.news, expectedResult ? QStringLiteral("news") : QString());
}

static TestRegistration registration("UpdateCheckerTest", [] { return new UpdateCheckerTest; });
static TestRegistration timeoutRegistration("UpdateCheckerTimeoutTest",
                                            [] { return new UpdateCheckerTimeoutTest; });
#include "tst_updatechecker.moc"
