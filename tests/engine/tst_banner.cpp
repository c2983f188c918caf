#include "testregistry.h"

#include "banner.h"
#include "configuration.h"
#include "fakemirror.h"
#include "fakeupdateserver.h"
#include "hangingresolver.h"
#include "updateengine.h"
#include "updateserver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

namespace {

constexpr quint16 BannerPort = 2009;

// What reaches the banner besides the server's reply.
enum Disturbance { Quiet, Strangers, RefusalBeforeRequest };

// The socket whose next write reports a refusal that arrived before it, or -1.
std::atomic<int> refusedWriteSocket{-1};

// Sent to the banner's socket before its query has even begun.
void answerAsStranger(Banner& banner)
{
    QUdpSocket stranger;
    stranger.writeDatagram("http://stranger.example/early.png,x", QHostAddress::LocalHost,
                           banner.findChild<QUdpSocket*>()->localPort());
}

// Looks for a reader of a FIFO every 2 ms until stopped. Opening the writer
// end without blocking succeeds only while a reader holds the FIFO or waits in
// open(), and it frees such a waiting reader: a test whose own thread opened
// the FIFO fails instead of hanging.
class FifoReaderProbe
{
public:
    explicit FifoReaderProbe(const QString& fifo)
        : path(QFile::encodeName(fifo))
        , prober([this] {
            for (; !stopping; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
                const int writer = ::open(path.constData(), O_WRONLY | O_NONBLOCK);
                readerSeen = readerSeen || writer >= 0;
                if (writer >= 0)
                    ::close(writer);
            }
        })
    {
    }
    ~FifoReaderProbe() { stop(); }

    // True when a reader was ever seen.
    bool stop()
    {
        stopping = true;
        if (prober.joinable())
            prober.join();
        return readerSeen;
    }

private:
    const QByteArray path;
    std::atomic<bool> stopping{false};
    bool readerSeen = false;
    std::thread prober;
};

} // namespace

Q_DECLARE_METATYPE(Disturbance)

// Stands in for the C library's write in this test program, so that a test
// can have the kernel report a refusal on the banner's socket; every other
// write goes through to the real call.
extern "C" ssize_t write(int descriptor, const void* buffer, size_t length)
{
    using Real = ssize_t (*)(int, const void*, size_t);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "write"));
    int refused = descriptor;
    if (refusedWriteSocket.compare_exchange_strong(refused, -1)) {
        errno = ECONNREFUSED;
        return -1;
    }
    return real(descriptor, buffer, length);
}

class BannerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void replyGrammar_data();
    void replyGrammar();
    void imageSizeCap_data();
    void imageSizeCap();
    void imageOnlyFromTheWeb_data();
    void imageOnlyFromTheWeb();
    void secondReplyWhileImagePendingIsIgnored();
    void engineEndsPromptlyWhileImageHostIsLookedUp();
};

void BannerTest::initTestCase()
{
    BANNER_SERVER = QStringLiteral("127.0.0.1");
}

void BannerTest::replyGrammar_data()
{
    QTest::addColumn<Disturbance>("disturbance");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("found");
    QTest::newRow("image and click url")
        << Quiet << QByteArray("http://img.example/b.png,http://click.example/x\n")
        << QStringList{"http://img.example/b.png", "http://click.example/x\n"};
    QTest::newRow("empty parts kept") << Quiet << QByteArray(",") << QStringList{"", ""};
    QTest::newRow("no comma") << Quiet << QByteArray("http://img.example/b.png") << QStringList();
    QTest::newRow("two commas") << Quiet << QByteArray("a,b,c") << QStringList();
    QTest::newRow("cut at 1024 bytes") << Quiet << QByteArray(1100, 'a') + ",b" << QStringList();
    QTest::newRow("strangers answering first are not heard")
        << Strangers << QByteArray("http://img.example/b.png,http://click.example/x")
        << QStringList{"http://img.example/b.png", "http://click.example/x"};
    QTest::newRow("a refusal does not stop the request")
        << RefusalBeforeRequest << QByteArray("http://img.example/b.png,x")
        << QStringList{"http://img.example/b.png", "x"};
}

void BannerTest::replyGrammar()
{
    QFETCH(Disturbance, disturbance);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, found);

    FakeUpdateServer server(BannerPort);
    const FakeUpdateServer::Step answer = FakeUpdateServer::reply(reply);
    const QByteArray strangerReply("http://stranger.example/late.png,x");
    server.setScript(
        {disturbance == Strangers ? FakeUpdateServer::afterStranger(answer, strangerReply) : answer});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    Banner banner(nullptr);
    QSignalSpy spy(&banner, &Banner::bannerFound);
    if (disturbance == Strangers)
        answerAsStranger(banner);
    if (disturbance == RefusalBeforeRequest)
        refusedWriteSocket = int(banner.findChild<QUdpSocket*>()->socketDescriptor());
    banner.run();
    if (found.isEmpty()) {
        QTRY_COMPARE(server.received().count(), 1);
        QVERIFY(!spy.wait(300));
        return;
    }
    QVERIFY(spy.wait(5000));
    QCOMPARE(refusedWriteSocket.load(), -1);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), found.at(0));
    QCOMPARE(spy.at(0).at(1).toString(), found.at(1));
    QCOMPARE(server.received(), QList<QByteArray>{QByteArray("\x01\x01", 2)});
}

void BannerTest::imageSizeCap_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("announced");
    QTest::addColumn<bool>("delivered");
    // A head that never ends fails the download, which still ends, empty.
    QTest::addColumn<bool>("endlessHead");
    QTest::newRow("270000 announced") << 270000 << true << true << false;
    QTest::newRow("270001 announced") << 270001 << true << false << false;
    QTest::newRow("300000 unannounced") << 300000 << false << false << false;
    QTest::newRow("small unannounced") << 1000 << false << true << false;
    QTest::newRow("endless header block") << 0 << false << true << true;
}

void BannerTest::imageSizeCap()
{
    QFETCH(int, size);
    QFETCH(bool, announced);
    QFETCH(bool, delivered);
    QFETCH(bool, endlessHead);

    FakeMirror images;
    FakeMirror::Response response = FakeMirror::Response::ok(QByteArray(size, 'p'));
    if (!announced)
        response.length = FakeMirror::Length::Missing;
    if (endlessHead)
        response.endless = FakeMirror::Endless::HeaderBlock;
    images.setResponse(QStringLiteral("/banner.png"), response);
    QVERIFY(images.start());

    FakeUpdateServer server(BannerPort);
    server.setScript({FakeUpdateServer::reply(
        (images.url(QStringLiteral("/banner.png")) + QStringLiteral(",http://click.example/")).toLatin1())});
    QVERIFY2(server.start(), qPrintable(server.errorString()));

    Configuration config;
    UpdateEngine engine(config, nullptr);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    engine.getBanner();
    QTRY_COMPARE_WITH_TIMEOUT(images.requestCount(QStringLiteral("/banner.png")), 1, 5000);
    if (!delivered) {
        QVERIFY(!found.wait(1000));
        QCOMPARE(found.count(), 0);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(found.count(), 1, 5000);
    QCOMPARE(found.at(0).at(0).toByteArray().size(), size);
    QCOMPARE(found.at(0).at(1).toString(), QStringLiteral("http://click.example/"));
}

// A reply must never make the engine open anything but a web address: a
// FIFO, opened on the GUI thread, would freeze the window for good.
void BannerTest::imageOnlyFromTheWeb_data()
{
    QTest::addColumn<QString>("imageUrl");
    QTest::newRow("file naming a FIFO") << QStringLiteral("file://%1");
    QTest::newRow("bare path") << QStringLiteral("%1");
    QTest::newRow("resource") << QStringLiteral("qrc:/banner.png");
}

void BannerTest::imageOnlyFromTheWeb()
{
    QFETCH(QString, imageUrl);

    const QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fifo = dir.filePath(QStringLiteral("banner.png"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    FifoReaderProbe probe(fifo);

    FakeUpdateServer server(BannerPort);
    server.setScript({FakeUpdateServer::reply(imageUrl.arg(fifo).toLatin1() + ",http://click.example/")});
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    Configuration config;
    UpdateEngine engine(config, nullptr);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    engine.getBanner();
    QSignalSpy replied(engine.findChild<Banner*>(), &Banner::bannerFound);
    QVERIFY(replied.wait(5000));
    QVERIFY(!found.wait(300));
    QVERIFY(!probe.stop());
}

// Two reply datagrams: the second one must neither start a second image
// request nor act on the first one's reply.
void BannerTest::secondReplyWhileImagePendingIsIgnored()
{
    FakeMirror images;
    FakeMirror::Response held = FakeMirror::Response::ok("image");
    held.hold = true;
    images.setResponse(QStringLiteral("/a.png"), held);
    images.setResponse(QStringLiteral("/b.png"), FakeMirror::Response::ok("other"));
    QVERIFY(images.start());

    Configuration config;
    UpdateEngine engine(config, nullptr);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    QVERIFY(QMetaObject::invokeMethod(&engine, "onBannerFound",
                                      Q_ARG(QString, images.url(QStringLiteral("/a.png"))),
                                      Q_ARG(QString, QStringLiteral("http://first.example/"))));
    QTRY_COMPARE(images.heldCount(), 1);
    QVERIFY(QMetaObject::invokeMethod(&engine, "onBannerFound",
                                      Q_ARG(QString, images.url(QStringLiteral("/b.png"))),
                                      Q_ARG(QString, QStringLiteral("http://second.example/"))));
    images.releaseAll();
    QVERIFY(found.wait(5000));
    QVERIFY(!found.wait(300));
    QCOMPARE(found.count(), 1);
    QCOMPARE(found.at(0).at(0).toByteArray(), QByteArray("image"));
    QCOMPARE(found.at(0).at(1).toString(), QStringLiteral("http://first.example/"));
    QCOMPARE(images.requestCount(QStringLiteral("/b.png")), 0);
}

// The program ends with its engine: a banner whose host name is still being
// looked up must not keep it alive.
void BannerTest::engineEndsPromptlyWhileImageHostIsLookedUp()
{
    HangingResolver resolver;
    if (!PrivateMounts::unavailableReason().isEmpty())
        QSKIP(qPrintable(PrivateMounts::unavailableReason()));
    QVERIFY2(resolver.start(), qPrintable(resolver.errorString()));
    Configuration config;
    auto engine = std::make_unique<UpdateEngine>(config, nullptr);
    QVERIFY(QMetaObject::invokeMethod(engine.get(), "onBannerFound",
                                      Q_ARG(QString, QStringLiteral("http://banner.slow.test/b.png")),
                                      Q_ARG(QString, QStringLiteral("http://click.example/"))));
    QTRY_VERIFY(resolver.queriesReceived() > 0);

    QElapsedTimer clock;
    clock.start();
    engine.reset();
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
}

static TestRegistration registration("BannerTest", [] { return new BannerTest; });

// Without any reply the query asks twice, 5000 ms apart, and then gives up;
// neither strangers nor a refusal end the retries.
class BannerTimeoutTest : public QObject
{
    Q_OBJECT

private slots:
    void asksTwiceThenGivesUp_data()
    {
        QTest::addColumn<bool>("disturbed");
        QTest::newRow("silent server") << false;
        QTest::newRow("strangers and a refusal") << true;
    }

    void asksTwiceThenGivesUp()
    {
        QFETCH(bool, disturbed);
        BANNER_SERVER = QStringLiteral("127.0.0.1");
        FakeUpdateServer server(BannerPort);
        const FakeUpdateServer::Step silence = FakeUpdateServer::silence();
        server.setScript({disturbed ? FakeUpdateServer::afterRefusal(FakeUpdateServer::afterStranger(
                                          silence, "http://stranger.example/late.png,x"))
                                    : silence,
                          silence, silence});
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        Banner banner(nullptr);
        QSignalSpy found(&banner, &Banner::bannerFound);
        if (disturbed)
            answerAsStranger(banner);
        banner.run();
        QTRY_COMPARE_WITH_TIMEOUT(server.received().count(), 1, 2000);
        QElapsedTimer clock;
        clock.start();
        // Some room beyond the 5000 ms: the tests of the 32-bit build may run
        // under an emulator on a loaded host.
        QTRY_COMPARE_WITH_TIMEOUT(server.received().count(), 2, 10000);
        QVERIFY2(clock.elapsed() >= 4000, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(6000);
        QCOMPARE(server.received().count(), 2);
        QCOMPARE(found.count(), 0);
    }
};

static TestRegistration timeoutRegistration("BannerTimeoutTest", [] { return new BannerTimeoutTest; });

#include "tst_banner.moc"
