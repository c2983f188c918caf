#include "testregistry.h"

#include "fakemirror.h"
#include "testfiles.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

struct Fetched
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QVariant status;
    QByteArray body;
    QNetworkReply* reply = nullptr; // deleted later; read headers before the next turn
};

Fetched fetch(QNetworkAccessManager& manager, const QString& url)
{
    QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(url)));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(10000))
        qWarning("no answer from %s", qPrintable(url));
    Fetched result;
    result.error = reply->error();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    result.body = reply->readAll();
    result.reply = reply;
    reply->deleteLater();
    return result;
}

// A raw client for what a network manager hides: bytes as they arrive.
QTcpSocket* rawRequest(FakeMirror& mirror, const QByteArray& target, QObject* parent)
{
    auto* socket = new QTcpSocket(parent);
    socket->connectToHost(QHostAddress::LocalHost, mirror.port());
    socket->write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return socket;
}

} // namespace

class FakeMirrorTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersScriptedStatus_data();
    void answersScriptedStatus();
    void announcesLengthAsScripted_data();
    void announcesLengthAsScripted();
    void truncatesBytesOnTheWire_data();
    void truncatesBytesOnTheWire();
    void stallsSendNothingMore_data();
    void stallsSendNothingMore();
    void servesDirectory_data();
    void servesDirectory();
    void stopsByItselfAfterLifetime();

private:
    std::unique_ptr<FakeMirror> mirror;
    std::unique_ptr<QNetworkAccessManager> manager;
};

void FakeMirrorTest::init()
{
    mirror = std::make_unique<FakeMirror>();
    QVERIFY(mirror->start(30000));
    manager = std::make_unique<QNetworkAccessManager>();
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

void FakeMirrorTest::cleanup()
{
    manager.reset();
    mirror.reset();
}

// The download tests' statuses: an answer, a redirection and an error.
void FakeMirrorTest::answersScriptedStatus_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("redirect");
    QTest::addColumn<bool>("reportedAsError");
    QTest::newRow("200") << 200 << false << false;
    QTest::newRow("301") << 301 << true << false;
    QTest::newRow("404") << 404 << false << true;
}

void FakeMirrorTest::answersScriptedStatus()
{
    QFETCH(int, status);
    QFETCH(bool, redirect);
    QFETCH(bool, reportedAsError);
    const QString location = mirror->url(QStringLiteral("/elsewhere"));
    mirror->setResponse(QStringLiteral("/file"),
                        redirect ? FakeMirror::Response::redirect(status, location, "moved")
                                 : FakeMirror::Response::withStatus(status, "payload"));

    const Fetched fetched = fetch(*manager, mirror->url(QStringLiteral("/file")));
    QCOMPARE(fetched.status.toInt(), status);
    QCOMPARE(fetched.error != QNetworkReply::NoError, reportedAsError);
    QCOMPARE(fetched.body, redirect ? QByteArray("moved") : QByteArray("payload"));
    QCOMPARE(fetched.reply->rawHeader("Location"), redirect ? location.toUtf8() : QByteArray());
}

void FakeMirrorTest::announcesLengthAsScripted_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<qint64>("declared");
    QTest::addColumn<bool>("chunked");
    QTest::addColumn<qint64>("truncateAfter");
    QTest::addColumn<QByteArray>("expectedBody");
    QTest::addColumn<QByteArray>("expectedContentLength");
    QTest::addColumn<bool>("expectError");

    const auto exact = int(FakeMirror::Length::Exact);
    const auto missing = int(FakeMirror::Length::Missing);
    const auto declared = int(FakeMirror::Length::Declared);
    QTest::newRow("exact") << exact << qint64(0) << false << qint64(-1) << QByteArray("0123456789")
                           << QByteArray("10") << false;
    QTest::newRow("missing") << missing << qint64(0) << false << qint64(-1) << QByteArray("0123456789")
                             << QByteArray() << false;
    QTest::newRow("declared smaller") << declared << qint64(4) << false << qint64(-1) << QByteArray("0123")
                                      << QByteArray("4") << false;
    QTest::newRow("declared larger") << declared << qint64(20) << false << qint64(-1)
                                     << QByteArray("0123456789") << QByteArray("20") << true;
    QTest::newRow("chunked") << exact << qint64(0) << true << qint64(-1) << QByteArray("0123456789")
                             << QByteArray() << false;
    QTest::newRow("truncated") << exact << qint64(0) << false << qint64(4) << QByteArray("0123")
                               << QByteArray("10") << true;
}

void FakeMirrorTest::announcesLengthAsScripted()
{
    QFETCH(int, length);
    QFETCH(qint64, declared);
    QFETCH(bool, chunked);
    QFETCH(qint64, truncateAfter);
    QFETCH(QByteArray, expectedBody);
    QFETCH(QByteArray, expectedContentLength);
    QFETCH(bool, expectError);

    FakeMirror::Response response = FakeMirror::Response::ok("0123456789");
    response.length = FakeMirror::Length(length);
    response.declaredLength = declared;
    response.chunked = chunked;
    response.truncateAfter = truncateAfter;
    mirror->setResponse(QStringLiteral("/file"), response);

    const Fetched fetched = fetch(*manager, mirror->url(QStringLiteral("/file")));
    QCOMPARE(fetched.body, expectedBody);
    QCOMPARE(fetched.reply->rawHeader("Content-Length"), expectedContentLength);
    QCOMPARE(fetched.error != QNetworkReply::NoError, expectError);
}

void FakeMirrorTest::truncatesBytesOnTheWire_data()
{
    QTest::addColumn<bool>("chunked");
    QTest::addColumn<QByteArray>("expectedWire");
    QTest::newRow("plain") << false << QByteArray("0123");
    // "a\r\n" frames the chunk: seven bytes on the wire carry four of the body.
    QTest::newRow("chunked") << true << QByteArray("a\r\n0123");
}

// Raw: Qt's network manager does not always report a chunked body that is
// cut short as an error.
void FakeMirrorTest::truncatesBytesOnTheWire()
{
    QFETCH(bool, chunked);
    QFETCH(QByteArray, expectedWire);
    FakeMirror::Response response = FakeMirror::Response::ok("0123456789");
    response.chunked = chunked;
    response.truncateAfter = expectedWire.size();
    mirror->setResponse(QStringLiteral("/file"), response);

    QTcpSocket* client = rawRequest(*mirror, "/file", this);
    QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    const QByteArray answer = client->readAll();
    const qsizetype bodyStart = answer.indexOf("\r\n\r\n") + 4;
    QVERIFY(bodyStart >= 4);
    QCOMPARE(answer.mid(bodyStart), expectedWire);
    QCOMPARE(answer.contains("Transfer-Encoding: chunked\r\n"), chunked);
    client->deleteLater();
}

void FakeMirrorTest::stallsSendNothingMore_data()
{
    QTest::addColumn<int>("stall");
    QTest::addColumn<bool>("headersSent");
    QTest::newRow("before headers") << int(FakeMirror::Stall::BeforeHeaders) << false;
    QTest::newRow("after headers") << int(FakeMirror::Stall::AfterHeaders) << true;
}

void FakeMirrorTest::stallsSendNothingMore()
{
    QFETCH(int, stall);
    QFETCH(bool, headersSent);
    FakeMirror::Response response = FakeMirror::Response::ok("body bytes");
    response.stall = FakeMirror::Stall(stall);
    mirror->setResponse(QStringLiteral("/file"), response);

    QSignalSpy received(mirror.get(), &FakeMirror::requestReceived);
    QTcpSocket* client = rawRequest(*mirror, "/file", this);
    QVERIFY(received.wait());
    if (headersSent)
        QTRY_VERIFY(client->peek(4096).endsWith("\r\n\r\n"));
    QCOMPARE(mirror->activeRequests(), 1);

    // Whatever was to be sent has been flushed; stopping shows nothing else.
    mirror->stop();
    QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    const QByteArray bytes = client->readAll();
    QCOMPARE(bytes.startsWith("HTTP/1.1 200 OK\r\n"), headersSent);
    QVERIFY(!bytes.contains("body bytes"));
    QCOMPARE(mirror->activeRequests(), 0);
}

void FakeMirrorTest::servesDirectory_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("file") << QByteArray("/top.txt") << 200 << QByteArray("top");
    QTest::newRow("nested") << QByteArray("/sub/deep%20name.txt") << 200 << QByteArray("deep");
    QTest::newRow("missing") << QByteArray("/none.txt") << 404 << QByteArray("not found\n");
    QTest::newRow("directory") << QByteArray("/sub") << 404 << QByteArray("not found\n");
    QTest::newRow("leaves the directory") << QByteArray("/sub/../../secret.txt") << 404
                                          << QByteArray("not found\n");
    QTest::newRow("scripted path wins") << QByteArray("/scripted.txt") << 200 << QByteArray("script");
}

void FakeMirrorTest::servesDirectory()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    QTemporaryDir outside;
    QVERIFY(outside.isValid());
    const QString root = outside.filePath(QStringLiteral("root"));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/sub")));
    const QList<QPair<QString, QByteArray>> files{
        {root + QStringLiteral("/top.txt"), "top"},
        {root + QStringLiteral("/scripted.txt"), "file"},
        {root + QStringLiteral("/sub/deep name.txt"), "deep"},
        {outside.filePath(QStringLiteral("secret.txt")), "secret"}};
    for (const auto& file : files)
        QVERIFY(TestFiles::write(file.first, file.second));
    mirror->serveDirectory(root);
    mirror->setResponse(QStringLiteral("/scripted.txt"), FakeMirror::Response::ok("script"));

    // A raw request: a network manager would resolve the ".." itself.
    QTcpSocket* client = rawRequest(*mirror, target, this);
    QTRY_VERIFY(client->peek(4096).endsWith("\r\n\r\n" + body));
    const QByteArray answer = client->readAll();
    QVERIFY2(answer.startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '), answer.constData());
    client->deleteLater();
}

void FakeMirrorTest::stopsByItselfAfterLifetime()
{
    FakeMirror shortLived;
    QSignalSpy stopped(&shortLived, &FakeMirror::stopped);
    QVERIFY(shortLived.start(300));
    FakeMirror::Response response;
    response.stall = FakeMirror::Stall::BeforeHeaders;
    shortLived.setResponse(QStringLiteral("/file"), response);
    QTcpSocket* client = rawRequest(shortLived, "/file", this);

    QVERIFY(stopped.wait(5000));
    QVERIFY(!shortLived.isListening());
    QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    client->deleteLater();
}

static TestRegistration registration("FakeMirrorTest", [] { return new FakeMirrorTest; });
#include "tst_fakemirror.moc"
