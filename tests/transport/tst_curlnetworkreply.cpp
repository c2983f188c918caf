#include "testregistry.h"

#include "curlnetworkaccessmanager.h"
#include "fakemirror.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <memory>

namespace {

const QString FilePath = QStringLiteral("/7/client/data.gz");
constexpr qint64 HeadBound = 64 * 1024;
// What curl hands over at once: one such piece may come on top of a full
// read buffer.
constexpr qint64 OnePiece = 128 * 1024;

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

// One header block: the status line, the fields (whole lines), filler lines
// that make it `size` bytes in all if a size is given, and the blank line.
QByteArray headBlock(const QByteArray& statusLine, const QByteArray& fields, qint64 size = 0)
{
    QByteArray block = statusLine + "\r\n" + fields;
    const qint64 left = size - block.size() - 2;
    // Each filler line is "X-Filler-NN: ", its value and its end: 15 bytes
    // and the value, and well below the bound on one line.
    const qint64 lines = left > 0 ? (left + 7999) / 8000 : 0;
    for (qint64 line = 0; line < lines; ++line) {
        const qint64 lineBytes = left / lines + (line < left % lines ? 1 : 0);
        block += "X-Filler-" + QByteArray::number(line).rightJustified(2, '0') + ": "
            + QByteArray(lineBytes - 15, 'f') + "\r\n";
    }
    return block + "\r\n";
}

// What a receiver of a reply sees: its signals in order, the status as the
// first metaDataChanged found it, and the body, read as it comes.
struct Recorder
{
    QStringList events;
    QVariant statusAtMetaData;
    QByteArray body;

    explicit Recorder(QNetworkReply* reply)
    {
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [this, reply] {
            if (!events.contains(QLatin1String("metaDataChanged")))
                statusAtMetaData = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
            events << QStringLiteral("metaDataChanged");
        });
        QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                         [this] { events << QStringLiteral("downloadProgress"); });
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [this, reply] {
            events << QStringLiteral("readyRead");
            body += reply->readAll();
        });
        QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply] {
            events << QStringLiteral("finished");
            body += reply->readAll();
        });
    }
};

bool waitForFinished(QNetworkReply* reply)
{
    QSignalSpy finished(reply, &QNetworkReply::finished);
    return reply->isFinished() || finished.wait(10000);
}

// Waits without turning this thread's event loop, so that what the network
// thread reports meanwhile stays queued here and comes as one delivery.
template <typename Condition>
bool waitWithoutEvents(Condition done)
{
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.hasExpired(10000))
            return false;
        QThread::yieldCurrentThread();
    }
    return true;
}

} // namespace

class CurlNetworkReplyTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void bodyArrivesAsSent_data();
    void bodyArrivesAsSent();
    void heldBackReaderBoundsWhatTheReplyHolds_data();
    void heldBackReaderBoundsWhatTheReplyHolds();
    void interimAnswersAreNotFinal_data();
    void interimAnswersAreNotFinal();
    void metaDataComesBeforeTheBody_data();
    void metaDataComesBeforeTheBody();
    void headBoundCountsEveryBlock_data();
    void headBoundCountsEveryBlock();

private:
    QNetworkReply* get(const QString& path) { return manager->get(QNetworkRequest(QUrl(mirror->url(path)))); }
    bool waitUntilQuiet(const qint64& received);

    std::unique_ptr<FakeMirror> mirror;
    std::unique_ptr<CurlNetworkAccessManager> manager;
};

void CurlNetworkReplyTest::init()
{
    mirror = std::make_unique<FakeMirror>();
    QVERIFY(mirror->start());
    manager = std::make_unique<CurlNetworkAccessManager>();
}

// The replies go with their manager, before the server.
void CurlNetworkReplyTest::cleanup()
{
    manager.reset();
    mirror.reset();
}

void CurlNetworkReplyTest::bodyArrivesAsSent_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<bool>("chunked");

    const QByteArray packed = TestFiles::gzip(QByteArray("a packed file\n").repeated(500));
    QTest::newRow("packed file announced as gzip") << packed << QByteArray("gzip") << false;
    QTest::newRow("packed file in chunks announced as gzip") << packed << QByteArray("gzip") << true;
    // A client that decodes fails on this one.
    QTest::newRow("plain bytes announced as deflate") << pattern(5000) << QByteArray("deflate") << false;
}

// Mirrors serve files as they are stored: nothing is asked for compressed,
// and a Content-Encoding changes nothing of what reaches the file.
void CurlNetworkReplyTest::bodyArrivesAsSent()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, encoding);
    QFETCH(bool, chunked);

    FakeMirror::Response response = FakeMirror::Response::ok(body);
    response.headers.append({QByteArray("Content-Encoding"), encoding});
    response.chunked = chunked;
    mirror->setResponse(FilePath, response);
    QNetworkReply* reply = get(FilePath);
    Recorder recorder(reply);
    QVERIFY(waitForFinished(reply));

    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(recorder.body, body);
    QCOMPARE(mirror->requestHeads().size(), 1);
    QVERIFY2(!mirror->requestHeads().constFirst().toLower().contains("accept-encoding"),
             mirror->requestHeads().constFirst().constData());
}

// Until two whole exchanges with the server on another connection pass with
// neither the server sending more nor the reply receiving more: the network
// thread had every chance to read on, so the transfer waits for its reader,
// or the whole body is in. Nothing here depends on how fast either side is.
bool CurlNetworkReplyTest::waitUntilQuiet(const qint64& received)
{
    mirror->setResponse(QStringLiteral("/probe"), FakeMirror::Response::ok("probe"));
    int quietRounds = 0;
    for (int round = 0; quietRounds < 2 && round < 1000; ++round) {
        const qint64 unsentBefore = mirror->bytesNotYetSent();
        const qint64 receivedBefore = received;
        std::unique_ptr<QNetworkReply> probe(get(QStringLiteral("/probe")));
        if (!waitForFinished(probe.get()))
            return false;
        const bool quiet = mirror->bytesNotYetSent() == unsentBefore && received == receivedBefore;
        quietRounds = quiet ? quietRounds + 1 : 0;
    }
    return quietRounds == 2;
}

void CurlNetworkReplyTest::heldBackReaderBoundsWhatTheReplyHolds_data()
{
    QTest::addColumn<qint64>("bufferSize");
    QTest::newRow("64 KiB") << qint64(64 * 1024);
    QTest::newRow("256 KiB, as downloads use") << qint64(256 * 1024);
}

// A disk slower than the network: the reader takes nothing while the server
// sends far more than the reader's buffer. What the reply holds (received,
// not yet read) stays within that buffer; then the reader takes it all.
void CurlNetworkReplyTest::heldBackReaderBoundsWhatTheReplyHolds()
{
    QFETCH(qint64, bufferSize);

    const QByteArray body = pattern(8 * 1024 * 1024);
    mirror->setResponse(FilePath, FakeMirror::Response::ok(body));
    QNetworkReply* reply = get(FilePath);
    reply->setReadBufferSize(bufferSize);
    bool holdingBack = true;
    qint64 received = 0;
    QByteArray taken;
    qint64 mostHeld = 0;
    connect(reply, &QNetworkReply::downloadProgress, this, [&](qint64 bytesReceived, qint64) {
        received = bytesReceived;
        mostHeld = qMax(mostHeld, received - taken.size());
    });
    connect(reply, &QNetworkReply::readyRead, this, [&] {
        if (!holdingBack)
            taken += reply->readAll();
    });
    QSignalSpy firstData(reply, &QNetworkReply::readyRead);
    QVERIFY(firstData.wait(10000));

    QVERIFY(waitUntilQuiet(received));

    holdingBack = false;
    taken += reply->readAll();
    QVERIFY(waitForFinished(reply));
    taken += reply->readAll();
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QVERIFY(taken == body);
    QVERIFY2(mostHeld <= bufferSize + OnePiece, qPrintable(QString::number(mostHeld)));
}

void CurlNetworkReplyTest::interimAnswersAreNotFinal_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("length");
    QTest::addColumn<qint64>("contentLength"); // -1: none reported

    const QByteArray final = "HTTP/1.1 200 OK";
    const QByteArray hints = "HTTP/1.1 103 Early Hints";
    const QByteArray link = "Link: </style.css>; rel=preload\r\n";
    QTest::newRow("103 with a length of its own")
        << headBlock(hints, link + "Content-Length: 3\r\n") + headBlock(final, "Content-Length: 5000\r\n")
        << int(FakeMirror::Length::Exact) << qint64(5000);
    QTest::newRow("100 and 103, a final answer without a length")
        << headBlock("HTTP/1.1 100 Continue", "") + headBlock(hints, link + "Content-Length: 3\r\n")
            + headBlock(final, "")
        << int(FakeMirror::Length::Missing) << qint64(-1);
}

// An interim answer is followed by the real one: only the final answer's
// status and headers are reported, once, and its body arrives whole.
void CurlNetworkReplyTest::interimAnswersAreNotFinal()
{
    QFETCH(QByteArray, head);
    QFETCH(int, length);
    QFETCH(qint64, contentLength);

    FakeMirror::Response response = FakeMirror::Response::ok(pattern(5000));
    response.rawHead = head;
    response.length = FakeMirror::Length(length);
    mirror->setResponse(FilePath, response);
    QNetworkReply* reply = get(FilePath);
    Recorder recorder(reply);
    QVERIFY(waitForFinished(reply));

    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(recorder.statusAtMetaData, QVariant(200));
    QCOMPARE(recorder.events.count(QLatin1String("metaDataChanged")), 1);
    const QVariant reportedLength = reply->header(QNetworkRequest::ContentLengthHeader);
    QCOMPARE(reportedLength.isValid() ? reportedLength.toLongLong() : -1, contentLength);
    QCOMPARE(recorder.body, pattern(5000));
}

void CurlNetworkReplyTest::metaDataComesBeforeTheBody_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("chunked");
    QTest::newRow("length announced") << int(FakeMirror::Length::Exact) << false;
    QTest::newRow("chunked") << int(FakeMirror::Length::Exact) << true;
    QTest::newRow("closed after the body") << int(FakeMirror::Length::Missing) << false;
}

// The whole answer reaches the network thread before this thread hears of
// any of it, so one delivery brings the head and the body: the receiver
// still hears of the head first, and once.
void CurlNetworkReplyTest::metaDataComesBeforeTheBody()
{
    QFETCH(int, length);
    QFETCH(bool, chunked);

    FakeMirror::Response response = FakeMirror::Response::ok(pattern(5000));
    response.length = FakeMirror::Length(length);
    response.chunked = chunked;
    response.hold = true;
    mirror->setResponse(FilePath, response);
    QNetworkReply* reply = get(FilePath);
    Recorder recorder(reply);
    QTRY_COMPARE(mirror->heldCount(), 1);
    mirror->releaseAll();
    mirror->flush();
    QVERIFY(waitWithoutEvents([reply] { return reply->bytesAvailable() == 5000; }));
    QVERIFY(recorder.events.isEmpty());
    QVERIFY(waitForFinished(reply));

    QCOMPARE(recorder.events.value(0), QStringLiteral("metaDataChanged"));
    QCOMPARE(recorder.events.count(QLatin1String("metaDataChanged")), 1);
    QCOMPARE(recorder.events.constLast(), QStringLiteral("finished"));
    QCOMPARE(recorder.body, pattern(5000));
}

void CurlNetworkReplyTest::headBoundCountsEveryBlock_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<bool>("fails");

    const QByteArray final = "HTTP/1.1 200 OK";
    const QByteArray length = "Content-Length: 5000\r\n";
    const QByteArray hints = headBlock("HTTP/1.1 103 Early Hints", "Link: </style.css>; rel=preload\r\n", 20000);
    QTest::newRow("one block at the bound") << headBlock(final, length, HeadBound) << false;
    QTest::newRow("one block past the bound") << headBlock(final, length, HeadBound + 1) << true;
    QTest::newRow("interim and final block at the bound")
        << hints + headBlock(final, length, HeadBound - hints.size()) << false;
    QTest::newRow("interim and final block past the bound")
        << hints + headBlock(final, length, HeadBound + 1 - hints.size()) << true;
}

// What a server sends before the body, interim answers included, is bounded
// as a whole: up to the bound it passes, one byte more fails the transfer.
void CurlNetworkReplyTest::headBoundCountsEveryBlock()
{
    QFETCH(QByteArray, head);
    QFETCH(bool, fails);

    FakeMirror::Response response = FakeMirror::Response::ok(pattern(5000));
    response.rawHead = head;
    mirror->setResponse(FilePath, response);
    QNetworkReply* reply = get(FilePath);
    Recorder recorder(reply);
    QVERIFY(waitForFinished(reply));

    if (fails) {
        QCOMPARE(reply->error(), QNetworkReply::ProtocolFailure);
        QCOMPARE(reply->errorString(), QStringLiteral("The headers from 127.0.0.1 are longer than 65536 bytes"));
        return;
    }
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(recorder.statusAtMetaData, QVariant(200));
    QCOMPARE(recorder.body, pattern(5000));
}

static TestRegistration registration("CurlNetworkReplyTest", [] { return new CurlNetworkReplyTest; });
#include "tst_curlnetworkreply.moc"
