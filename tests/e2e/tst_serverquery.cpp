#include "testregistry.h"

#include "appdirectory.h"
#include "updateprocess.h"
#include "updateserverprocess.h"

#include <QJsonObject>
#include <QTest>

// A user's start without arguments: the program asks the update server for
// the latest version of its channel and for the news before it shows the
// window.
class ServerQueryTest : public QObject
{
    Q_OBJECT

private slots:
    void windowShowsTheChannelsVersion_data();
    void windowShowsTheChannelsVersion();
    void serverStopsByItself();
};

void ServerQueryTest::windowShowsTheChannelsVersion_data()
{
    QTest::addColumn<QByteArray>("channelSettings");
    QTest::addColumn<QString>("versionText");

    QTest::newRow("stable") << QByteArray()
                            << QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">Update to Korvalune 7.0"
                                              "</div><div style=\"margin-top:8px\">You are currently on "
                                              "<strong>Stable channel</strong>.</div>");
    QTest::newRow("beta") << QByteArray("[Channel]\nbeta=true\n")
                          << QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">Update to Korvalune 8.0 "
                                            "beta</div><div style=\"margin-top:8px\">You are currently on "
                                            "<strong>Beta channel</strong>.</div>");
}

void ServerQueryTest::windowShowsTheChannelsVersion()
{
    QFETCH(QByteArray, channelSettings);
    QFETCH(QString, versionText);

    UpdateServerProcess server;
    QVERIFY2(server.start({QStringLiteral("--versions"), QStringLiteral("7#7.0,8#8.0 beta,9#9.0 alpha"),
                           QStringLiteral("--news"), QStringLiteral("News of the day")}),
             qPrintable(server.errorString()));

    AppDirectory app;
    QVERIFY(app.isValid());
    if (!channelSettings.isEmpty())
        QVERIFY(app.writeFile(QStringLiteral("update.ini"), channelSettings));

    UpdateProcess run;
    run.start(app.program(), {});
    QVERIFY2(run.waitForEvent(QStringLiteral("window")), qPrintable(run.standardError()));
    const QJsonObject window = run.events(QStringLiteral("window")).first();
    QCOMPARE(window.value(QLatin1String("version")).toString(), versionText);
    // The news was set once the window was shown: it enters 10 pixels inside
    // the right edge of the line's final width (its first glyph may begin a
    // pixel later) and moves 50 pixels a second.
    const int newsWidth = window.value(QLatin1String("newsWidth")).toInt();
    const int newsLeft = window.value(QLatin1String("newsLeft")).toInt();
    QVERIFY2(newsLeft >= newsWidth - 40 && newsLeft <= newsWidth - 5,
             qPrintable(QStringLiteral("%1 of %2").arg(newsLeft).arg(newsWidth)));
    QCOMPARE(server.answered().mid(0, 2), (QStringList{QStringLiteral("answered versions"),
                                                       QStringLiteral("answered news")}));

    QVERIFY(run.closeWindow());
}

void ServerQueryTest::serverStopsByItself()
{
    QProcess server;
    server.start(QStringLiteral(KV_UPDATE_SERVER_BINARY),
                 {QStringLiteral("--versions"), QStringLiteral("1#1.0"), QStringLiteral("--lifetime"),
                  QStringLiteral("1")});
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
}

static TestRegistration registration("ServerQueryTest", [] { return new ServerQueryTest; });
#include "tst_serverquery.moc"
