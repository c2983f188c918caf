// kvupdateserver: answers the updater's version, news and banner queries on
// 127.0.0.1, for the demo and the end-to-end tests. It stops by itself when
// its lifetime is over.

#include "udpupdateserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>

namespace {

// The updater reads at most this many bytes of each reply.
constexpr int maxVersionsBytes = 511;
constexpr int maxNewsBytes = 4095;

int usageError(const QString& text)
{
    std::fprintf(stderr, "kvupdateserver: %s\n", qPrintable(text));
    return 2;
}

bool readPort(const QString& text, quint16* port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value > 65535)
        return false;
    *port = quint16(value);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Answers the update server's version/news query (\"3\\0\", \"*\\0\") and banner "
        "query (0x01 0x01) on 127.0.0.1, then stops after its lifetime."));
    parser.addHelpOption();
    const QCommandLineOption versions(QStringLiteral("versions"),
        QStringLiteral("Version list: \"version#name\" per channel (stable, beta, alpha), comma-separated."),
        QStringLiteral("list"));
    const QCommandLineOption news(QStringLiteral("news"), QStringLiteral("News text (HTML)."),
                                  QStringLiteral("text"));
    const QCommandLineOption newsFile(QStringLiteral("news-file"),
        QStringLiteral("File whose bytes are the news text."), QStringLiteral("path"));
    const QCommandLineOption banner(QStringLiteral("banner"),
        QStringLiteral("Banner answer \"imageUrl,clickUrl\"; without it the banner port stays closed."),
        QStringLiteral("answer"));
    const QCommandLineOption versionPort(QStringLiteral("version-port"),
        QStringLiteral("Port of the version and news service."), QStringLiteral("port"),
        QString::number(UdpUpdateServer::DefaultVersionPort));
    const QCommandLineOption bannerPort(QStringLiteral("banner-port"),
        QStringLiteral("Port of the banner service."), QStringLiteral("port"),
        QString::number(UdpUpdateServer::DefaultBannerPort));
    const QCommandLineOption lifetime(QStringLiteral("lifetime"),
        QStringLiteral("Seconds after which the server stops by itself."), QStringLiteral("seconds"),
        QStringLiteral("600"));
    const QCommandLineOption verbose(QStringLiteral("verbose"),
        QStringLiteral("Print a line for every answered request."));
    parser.addOptions({versions, news, newsFile, banner, versionPort, bannerPort, lifetime, verbose});
    parser.process(app);

    if (!parser.isSet(versions))
        return usageError(QStringLiteral("--versions is required"));
    if (parser.isSet(news) && parser.isSet(newsFile))
        return usageError(QStringLiteral("give either --news or --news-file"));

    UdpUpdateServer::Answers answers;
    answers.versions = parser.value(versions).toLatin1();
    answers.news = parser.value(news).toUtf8();
    if (parser.isSet(newsFile)) {
        QFile file(parser.value(newsFile));
        if (!file.open(QIODevice::ReadOnly))
            return usageError(QStringLiteral("%1: %2").arg(file.fileName(), file.errorString()));
        answers.news = file.readAll();
    }
    answers.banner = parser.value(banner).toLatin1();
    if (answers.versions.size() > maxVersionsBytes)
        return usageError(QStringLiteral("the version list is longer than %1 bytes").arg(maxVersionsBytes));
    if (answers.news.size() > maxNewsBytes)
        return usageError(QStringLiteral("the news text is longer than %1 bytes").arg(maxNewsBytes));

    quint16 ports[2];
    if (!readPort(parser.value(versionPort), &ports[0]) || !readPort(parser.value(bannerPort), &ports[1]))
        return usageError(QStringLiteral("a port is a number from 0 to 65535"));
    bool lifetimeOk = false;
    const int seconds = parser.value(lifetime).toInt(&lifetimeOk);
    if (!lifetimeOk || seconds < 1 || seconds > 24 * 3600)
        return usageError(QStringLiteral("--lifetime takes 1 to 86400 seconds"));

    UdpUpdateServer server(answers, nullptr);
    if (!server.listen(ports[0], ports[1])) {
        std::fprintf(stderr, "kvupdateserver: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    if (parser.isSet(verbose)) {
        QObject::connect(&server, &UdpUpdateServer::requestAnswered, [](const QString& what) {
            std::printf("answered %s\n", qPrintable(what));
            std::fflush(stdout);
        });
    }
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);

    // Whoever started us waits for this line before sending requests.
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
