#include "testregistry.h"

#include "fakeupdateserver.h"
#include "updatechecker.h"
#include "updateserver.h"

#include <QElapsedTimer>
#include <QTest>

using VersionList = QList<QPair<QString, QString>>;

namespace {

const QByteArray VersionRequest("3\0", 2);
const QByteArray NewsRequest("*\0", 2);

QPair<QString, QString> entry(const QString& version, const QString& name)
{
    return qMakePair(version, name);
}

} // namespace

class UpdateCheckerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void exchange_data();
    void exchange();
};

void UpdateCheckerTest::init()
{
    BANNER_SERVER = QStringLiteral("127.0.0.1");
}

void UpdateCheckerTest::exchange_data()
{
    QTest::addColumn<bool>("fromOtherSocket");
    QTest::addColumn<QByteArray>("versionReply");
    QTest::addColumn<QByteArray>("newsReply");
    QTest::addColumn<VersionList>("expectedVersions");
    QTest::addColumn<QString>("expectedNews");

    const QString cutName = QString(509, QLatin1Char('x'));
    const QString cutNews = QString(4095, QLatin1Char('n'));

    QTest::newRow("three channels")
        << false << QByteArray("7#1.0,8#1.1 beta,9") << QByteArray("Hello")
        << VersionList{entry("7", "1.0"), entry("8", "1.1 beta"), entry("9", "")}
        << QStringLiteral("Hello");
    QTest::newRow("split at the first hash only")
        << false << QByteArray("7#a#b#c") << QByteArray()
        << VersionList{entry("7", "a#b#c")} << QString();
    QTest::newRow("leading hash gives an empty version")
        << false << QByteArray("#name") << QByteArray("n")
        << VersionList{entry("", "name")} << QStringLiteral("n");
    QTest::newRow("empty entries are kept")
        << false << QByteArray("7#a,,8,") << QByteArray("n")
        << VersionList{entry("7", "a"), entry("", ""), entry("8", ""), entry("", "")}
        << QStringLiteral("n");
    QTest::newRow("empty datagrams")
        << false << QByteArray() << QByteArray()
        << VersionList{entry("", "")} << QString();
    QTest::newRow("text ends at a NUL byte")
        << false << QByteArray("7#1.0\0,8#hidden", 15) << QByteArray("news\0hidden", 11)
        << VersionList{entry("7", "1.0")} << QStringLiteral("news");
    QTest::newRow("bytes are Latin-1")
        << false << QByteArray("7#caf\xe9") << QByteArray("\xfc")
        << VersionList{entry("7", QStringLiteral("caf\u00e9"))} << QStringLiteral("\u00fc");
    QTest::newRow("version list cut at 511 bytes")
        << false << QByteArray("7#") + QByteArray(600, 'x') << QByteArray("n")
        << VersionList{entry("7", cutName)} << QStringLiteral("n");
    QTest::newRow("news cut at 4095 bytes")
        << false << QByteArray("7") << QByteArray(5000, 'n')
        << VersionList{entry("7", "")} << cutNews;
    QTest::newRow("NUL inside the first 4095 news bytes")
        << false << QByteArray("7") << QByteArray("short") + QByteArray(1, '\0') + QByteArray(5000, 'n')
        << VersionList{entry("7", "")} << QStringLiteral("short");
    QTest::newRow("replies from another sender are taken")
        << true << QByteArray("7#1.0") << QByteArray("Hello")
        << VersionList{entry("7", "1.0")} << QStringLiteral("Hello");
}

void UpdateCheckerTest::exchange()
{
    QFETCH(bool, fromOtherSocket);
    QFETCH(QByteArray, versionReply);
    QFETCH(QByteArray, newsReply);
    QFETCH(VersionList, expectedVersions);
    QFETCH(QString, expectedNews);

    FakeUpdateServer server;
    if (fromOtherSocket)
        server.setScript({FakeUpdateServer::replyFromOtherSocket(versionReply),
                          FakeUpdateServer::replyFromOtherSocket(newsReply)});
    else
        server.setScript({FakeUpdateServer::reply(versionReply), FakeUpdateServer::reply(newsReply)});
    QVERIFY2(server.start(), qPrintable(server.errorString()));

    UpdateChecker checker;
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.versions, expectedVersions);
    QCOMPARE(checker.news, expectedNews);
    QCOMPARE(server.received(), (QList<QByteArray>{VersionRequest, NewsRequest}));
}

// Cases that wait for the five-second receive time-out.
class UpdateCheckerTimeoutTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void silentServerTimesOut();
    void retryAfterSilentNewsAppendsEntries();
};

void UpdateCheckerTimeoutTest::init()
{
    BANNER_SERVER = QStringLiteral("127.0.0.1");
}

void UpdateCheckerTimeoutTest::silentServerTimesOut()
{
    FakeUpdateServer server;
    server.setScript({FakeUpdateServer::silence()});
    QVERIFY2(server.start(), qPrintable(server.errorString()));

    QElapsedTimer clock;
    clock.start();
    UpdateChecker checker;
    QVERIFY(!checker.checkUpdate());
    QVERIFY2(clock.elapsed() >= 4900 && clock.elapsed() < 8000,
             qPrintable(QString::number(clock.elapsed())));
    QVERIFY(checker.versions.isEmpty());
    QCOMPARE(server.received(), QList<QByteArray>{VersionRequest});
}

void UpdateCheckerTimeoutTest::retryAfterSilentNewsAppendsEntries()
{
    FakeUpdateServer server;
    server.setScript({FakeUpdateServer::reply("7#1.0,8#1.1"), FakeUpdateServer::silence(),
                      FakeUpdateServer::reply("20#x,21#y,22#z"), FakeUpdateServer::reply("news")});
    QVERIFY2(server.start(), qPrintable(server.errorString()));

    UpdateChecker checker;
    QVERIFY(!checker.checkUpdate());
    QCOMPARE(checker.versions, (VersionList{entry("7", "1.0"), entry("8", "1.1")}));
    QVERIFY(checker.news.isEmpty());

    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.news, QStringLiteral("news"));
    QCOMPARE(checker.versions.size(), 5);
    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel::Stable), entry("7", "1.0"));
    QCOMPARE(checker.getClientVersionByChannel(UpdateChannel::Alpha), entry("20", "x"));
    QCOMPARE(server.received(),
             (QList<QByteArray>{VersionRequest, NewsRequest, VersionRequest, NewsRequest}));
}

static TestRegistration registration("UpdateCheckerTest", [] { return new UpdateCheckerTest; });
static TestRegistration timeoutRegistration("UpdateCheckerTimeoutTest",
                                            [] { return new UpdateCheckerTimeoutTest; });
#include "tst_updatechecker.moc"
