#include "testregistry.h"

#include "connectproxy.h"
#include "curlnetworkaccessmanager.h"
#include "fakemirror.h"
#include "privatemounts.h"
#include "tlsrelay.h"

#include <QFile>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

enum class Route { Direct, ThroughProxy, UntrustedServer };

const QString FilePath = QStringLiteral("/7/file.bin");
const QByteArray Body("the file, over https");
const QList<QByteArray> OfferedProtocols{"h2", "http/1.1"};

} // namespace

Q_DECLARE_METATYPE(Route)

// https from a mirror whose certificate the system trusts: in this test's
// own mount namespace, the system's certificates are the one of a relay
// that takes TLS for a plain fake mirror. CTest starts the test with
// SSLKEYLOGFILE set, as a variable left over from debugging would be, and
// with KV_TEST_SSLKEYLOGFILE, the same, to compare with.
class TlsDownloadTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void httpsTransfer_data();
    void httpsTransfer();

private:
    std::unique_ptr<FakeMirror> mirror;
    std::unique_ptr<TlsRelay> trusted;
    std::unique_ptr<PrivateMounts> mounts;
};

void TlsDownloadTest::initTestCase()
{
    const QString reason = PrivateMounts::unavailableReason();
    if (!reason.isEmpty())
        QSKIP(qPrintable(reason));
    mirror = std::make_unique<FakeMirror>();
    QVERIFY(mirror->start());
    trusted = std::make_unique<TlsRelay>(mirror->port());
    QVERIFY2(trusted->start(OfferedProtocols), qPrintable(trusted->errorString()));
    // A directory, so that neither the bundle nor the directory curl looks in
    // holds any other certificate.
    mounts = std::make_unique<PrivateMounts>();
    QVERIFY2(mounts->bindOver(trusted->trustedDirectory(), QStringLiteral("/etc/ssl/certs")),
             qPrintable(mounts->errorString()));
}

// Whatever a faulty build wrote must not fail the next run.
void TlsDownloadTest::cleanupTestCase()
{
    if (qEnvironmentVariableIsSet("KV_TEST_SSLKEYLOGFILE"))
        QFile::remove(qEnvironmentVariable("KV_TEST_SSLKEYLOGFILE"));
}

void TlsDownloadTest::httpsTransfer_data()
{
    QTest::addColumn<Route>("route");
    QTest::addColumn<int>("error");
    QTest::newRow("direct, HTTP/2 offered too") << Route::Direct << int(QNetworkReply::NoError);
    // The proxy's own answer must not be taken for the mirror's.
    QTest::newRow("through the proxy") << Route::ThroughProxy << int(QNetworkReply::NoError);
    QTest::newRow("certificate nobody trusts")
        << Route::UntrustedServer << int(QNetworkReply::SslHandshakeFailedError);
}

void TlsDownloadTest::httpsTransfer()
{
    QFETCH(Route, route);
    QFETCH(int, error);

    mirror->setResponse(FilePath, FakeMirror::Response::ok(Body));
    const int requestsBefore = mirror->requestLines().size();
    TlsRelay untrusted(mirror->port());
    if (route == Route::UntrustedServer)
        QVERIFY2(untrusted.start(OfferedProtocols), qPrintable(untrusted.errorString()));
    TlsRelay& server = route == Route::UntrustedServer ? untrusted : *trusted;
    const int connectionsBefore = server.negotiatedProtocols().size();
    ConnectProxy proxy;
    QVERIFY(proxy.start());

    CurlNetworkAccessManager manager;
    manager.setProxy(route == Route::ThroughProxy
                         ? QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.port())
                         : QNetworkProxy(QNetworkProxy::NoProxy));
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(QUrl(server.url(FilePath)))));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));

    // What is bounded before a body is HTTP/1.1's: the mirror's offer of
    // HTTP/2 is turned down.
    if (error == QNetworkReply::NoError)
        QCOMPARE(server.negotiatedProtocols().mid(connectionsBefore), QList<QByteArray>{"http/1.1"});
    QCOMPARE(int(reply->error()), error);
    if (route == Route::ThroughProxy) {
        QCOMPARE(proxy.requestLines(),
                 QList<QByteArray>{"CONNECT 127.0.0.1:" + QByteArray::number(server.port()) + " HTTP/1.1"});
    }
    if (error == QNetworkReply::NoError) {
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QCOMPARE(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(), qint64(Body.size()));
        QCOMPARE(reply->readAll(), Body);
        QCOMPARE(mirror->requestLines().mid(requestsBefore), QList<QByteArray>{"GET /7/file.bin HTTP/1.1"});
    } else {
        QCOMPARE(mirror->requestLines().size(), requestsBefore);
    }

    // No TLS secret is written anywhere, and the programs the updater starts
    // still get the variable.
    const QString keyLog = qEnvironmentVariable("KV_TEST_SSLKEYLOGFILE");
    if (keyLog.isEmpty())
        QSKIP("started without SSLKEYLOGFILE (CTest sets it)");
    QVERIFY2(!QFile::exists(keyLog), "TLS secrets were written");
    QCOMPARE(qEnvironmentVariable("SSLKEYLOGFILE"), keyLog);
}

static TestRegistration registration("TlsDownloadTest", [] { return new TlsDownloadTest; });

#include "tst_tls.moc"
