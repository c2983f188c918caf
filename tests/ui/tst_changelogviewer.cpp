#include "testregistry.h"

#include "appdirfiles.h"
#include "changelogviewer.h"
#include "fakemirror.h"
#include "platformrecorder.h"
#include "randomgenerator.h"

#include <QFontMetrics>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>

#include <memory>
#include <vector>

namespace {

const QString failedText = QStringLiteral("Failed to load changelog.");
const QString logPath = QStringLiteral("/12/changelog_client.txt");

QTextEdit* textEdit()
{
    return ChangeLogViewer::instance()->findChild<QTextEdit*>(QStringLiteral("changeLogTextEdit"));
}

QString shownText()
{
    return textEdit()->toPlainText();
}

void showDialog(const QString& version = QStringLiteral("12"))
{
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, version);
}

// The order in which the viewer draws n mirrors after RandomGenerator::seed(seed).
QList<int> drawOrder(quint32 seed, int n)
{
    QList<int> left;
    for (int i = 0; i < n; ++i)
        left << i;
    QList<int> order;
    RandomGenerator::seed(seed);
    while (!left.isEmpty())
        order << left.takeAt(RandomGenerator::next() % left.size());
    return order;
}

} // namespace

class ChangeLogViewerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void fetchesFromBaseUrlAndVersion_data();
    void fetchesFromBaseUrlAndVersion();
    void alphaMirrorIsTheOnlySource_data();
    void alphaMirrorIsTheOnlySource();
    void noSourceFailsAtOnce_data();
    void noSourceFailsAtOnce();
    void triesEveryMirrorOnceInRandomOrder_data();
    void triesEveryMirrorOnceInRandomOrder();
    void bodyShownOrSkipped_data();
    void bodyShownOrSkipped();
    void sizesToWidestLine_data();
    void sizesToWidestLine();
    void oneDialogAtATime();

private:
    FakeMirror* newMirror();

    std::unique_ptr<PlatformRecorder> recorder;
    std::vector<std::unique_ptr<FakeMirror>> mirrors;
};

void ChangeLogViewerTest::init()
{
    recorder = std::make_unique<PlatformRecorder>();
}

void ChangeLogViewerTest::cleanup()
{
    if (ChangeLogViewer::instance())
        ChangeLogViewer::instance()->close();
    QTRY_VERIFY(!ChangeLogViewer::instance());
    mirrors.clear();
    AppDirFiles::removeIniFiles();
    recorder.reset();
}

FakeMirror* ChangeLogViewerTest::newMirror()
{
    mirrors.push_back(std::make_unique<FakeMirror>());
    if (!mirrors.back()->start(30000))
        qWarning("fake mirror did not start");
    return mirrors.back().get();
}

void ChangeLogViewerTest::fetchesFromBaseUrlAndVersion_data()
{
    QTest::addColumn<QString>("basePath");
    QTest::addColumn<QString>("requested");
    QTest::newRow("host only") << QString() << logPath;
    QTest::newRow("trailing slash") << QStringLiteral("/") << logPath;
    QTest::newRow("sub-path") << QStringLiteral("/files") << QStringLiteral("/files") + logPath;
    QTest::newRow("sub-path with slash") << QStringLiteral("/files/") << QStringLiteral("/files") + logPath;
}

void ChangeLogViewerTest::fetchesFromBaseUrlAndVersion()
{
    QFETCH(QString, basePath);
    QFETCH(QString, requested);
    FakeMirror* mirror = newMirror();
    mirror->setResponse(requested, FakeMirror::Response::ok("Version 12\n- better downloads\n"));
    AppDirFiles::writeMirrorsIni({{QStringLiteral("one"), mirror->url(basePath)}});

    showDialog();
    QVERIFY(ChangeLogViewer::instance());
    QCOMPARE(ChangeLogViewer::instance()->windowTitle(), QStringLiteral("Changelog"));
    QCOMPARE(shownText(), QStringLiteral("Loading..."));
    QTRY_COMPARE(shownText(), QStringLiteral("Version 12\n- better downloads\n"));
    QCOMPARE(mirror->requestedPaths(), QStringList{requested});
}

void ChangeLogViewerTest::alphaMirrorIsTheOnlySource_data()
{
    QTest::addColumn<bool>("alphaWorks");
    QTest::newRow("alpha serves") << true;
    QTest::newRow("alpha fails") << false;
}

void ChangeLogViewerTest::alphaMirrorIsTheOnlySource()
{
    QFETCH(bool, alphaWorks);
    FakeMirror* alpha = newMirror();
    FakeMirror* listed = newMirror();
    alpha->setResponse(logPath, alphaWorks ? FakeMirror::Response::ok("alpha log")
                                           : FakeMirror::Response::withStatus(404));
    listed->setResponse(logPath, FakeMirror::Response::ok("listed log"));
    AppDirFiles::writeUpdateIni(alpha->baseUrl());
    AppDirFiles::writeMirrorsIni({{QStringLiteral("listed"), listed->baseUrl()}});

    showDialog();
    QTRY_VERIFY(shownText() != QLatin1String("Loading..."));
    QCOMPARE(shownText(), alphaWorks ? QStringLiteral("alpha log") : failedText);
    QCOMPARE(alpha->requestCount(logPath), 1);
    QCOMPARE(listed->requestCount(logPath), 0);
}

void ChangeLogViewerTest::noSourceFailsAtOnce_data()
{
    QTest::addColumn<bool>("updateIniWithoutAlpha");
    QTest::addColumn<bool>("mirrorsWithoutUrl");
    QTest::newRow("no files") << false << false;
    QTest::newRow("update.ini without alpha") << true << false;
    QTest::newRow("mirrors without url") << false << true;
}

void ChangeLogViewerTest::noSourceFailsAtOnce()
{
    QFETCH(bool, updateIniWithoutAlpha);
    QFETCH(bool, mirrorsWithoutUrl);
    if (updateIniWithoutAlpha)
        AppDirFiles::writeUpdateIni(QString());
    if (mirrorsWithoutUrl)
        AppDirFiles::writeMirrorsIni({{QStringLiteral("one"), QString()}, {QString(), QString()}});

    showDialog();
    QCOMPARE(shownText(), failedText);
    QCOMPARE(ChangeLogViewer::instance()->size(), QSize(617, 500));
}

void ChangeLogViewerTest::triesEveryMirrorOnceInRandomOrder_data()
{
    QTest::addColumn<quint32>("seed");
    QTest::addColumn<bool>("lastServes");
    QTest::addColumn<int>("declaredSize");
    for (quint32 seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        QTest::addRow("seed %u, all fail", seed) << seed << false << -1;
        QTest::addRow("seed %u, last drawn serves", seed) << seed << true << -1;
    }
    // The four entries the file holds, not two thousand million indices.
    QTest::newRow("size far beyond the entries") << 1u << false << 2000000000;
}

void ChangeLogViewerTest::triesEveryMirrorOnceInRandomOrder()
{
    QFETCH(quint32, seed);
    QFETCH(bool, lastServes);
    QFETCH(int, declaredSize);
    const QList<int> expectedOrder = drawOrder(seed, 4);

    // A connection that closes before the body is complete, and one whose
    // head never ends.
    FakeMirror::Response cutShort = FakeMirror::Response::ok("partial");
    cutShort.length = FakeMirror::Length::Declared;
    cutShort.declaredLength = 1000;
    FakeMirror::Response endlessHead;
    endlessHead.endless = FakeMirror::Endless::HeaderBlock;
    const QList<FakeMirror::Response> failures{FakeMirror::Response::withStatus(404),
                                               FakeMirror::Response::withStatus(503), cutShort, endlessHead};
    QList<int> order;
    QList<QPair<QString, QString>> entries;
    for (int i = 0; i < failures.size(); ++i) {
        FakeMirror* mirror = newMirror();
        const bool serves = lastServes && i == expectedOrder.last();
        mirror->setResponse(logPath, serves ? FakeMirror::Response::ok("the log") : failures[i]);
        connect(mirror, &FakeMirror::requestReceived, this, [&order, i] { order << i; });
        entries.append({QStringLiteral("mirror%1").arg(i), mirror->baseUrl()});
    }
    AppDirFiles::writeMirrorsIni(entries, declaredSize);

    RandomGenerator::seed(seed);
    showDialog();
    QTRY_COMPARE(shownText(), lastServes ? QStringLiteral("the log") : failedText);
    QCOMPARE(order, expectedOrder);
}

// A redirection is never followed: its page is no change log.
void ChangeLogViewerTest::bodyShownOrSkipped_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("shown");
    QTest::newRow("redirection") << 301 << QByteArray("<p>The document has moved <a>here</a>.</p>") << false;
    QTest::newRow("redirection page")
        << 200 << QByteArray("<html><body>The document has moved here.</body></html>") << false;
    QTest::newRow("capital initials") << 200 << QByteArray("The Document Has Moved to a new home\n") << true;
    QTest::newRow("upper case") << 200 << QByteArray("DOCUMENT HAS MOVED\n") << true;
    const QByteArray atLimit = QByteArray("- faster map loading, fewer stalls\n").repeated(32768).left(
        ChangeLogViewer::MaxChangeLogBytes);
    QTest::newRow("at the size limit") << 200 << atLimit << true;
    QTest::newRow("one byte past the size limit") << 200 << atLimit + '\n' << false;
}

void ChangeLogViewerTest::bodyShownOrSkipped()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, shown);
    FakeMirror* mirror = newMirror();
    FakeMirror* target = newMirror();
    target->setResponse(logPath, FakeMirror::Response::ok("target log"));
    mirror->setResponse(logPath, status == 200
                            ? FakeMirror::Response::ok(body)
                            : FakeMirror::Response::redirect(status, target->url(logPath), body));
    AppDirFiles::writeMirrorsIni({{QStringLiteral("one"), mirror->baseUrl()}});

    showDialog();
    QTRY_VERIFY(shownText() != QLatin1String("Loading..."));
    QCOMPARE(shownText(), shown ? QString::fromLatin1(body) : failedText);
    QCOMPARE(mirror->requestCount(logPath), 1);
    QCOMPARE(target->requestCount(logPath), 0);
}

void ChangeLogViewerTest::sizesToWidestLine_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("several lines") << QStringLiteral("Version 12\n\n- downloads resume where they stopped\n- x\n");
    QTest::newRow("only line breaks") << QStringLiteral("\n\n\n");
    QTest::newRow("empty") << QString();
    QTest::newRow("wider than the screen") << QString(400, QLatin1Char('w'));
}

void ChangeLogViewerTest::sizesToWidestLine()
{
    QFETCH(QString, text);
    FakeMirror* mirror = newMirror();
    mirror->setResponse(logPath, FakeMirror::Response::ok(text.toUtf8()));
    AppDirFiles::writeMirrorsIni({{QStringLiteral("one"), mirror->baseUrl()}});

    showDialog();
    QTRY_COMPARE(shownText(), text);

    ChangeLogViewer* dialog = ChangeLogViewer::instance();
    int widest = 0;
    const QFontMetrics metrics(textEdit()->currentFont());
    for (const QString& line : text.split(QLatin1Char('\n')))
        widest = qMax(widest, metrics.horizontalAdvance(line));
    const QRect available = dialog->screen()->availableGeometry();
    const QSize expected = text.isEmpty() ? QSize(617, 500)
                                          : QSize(qMin(widest > 0 ? widest + 50 : 617, available.width()),
                                                  qMin(500, available.height()));
    QTRY_COMPARE(dialog->size(), expected);
}

void ChangeLogViewerTest::oneDialogAtATime()
{
    FakeMirror* mirror = newMirror();
    mirror->setResponse(logPath, FakeMirror::Response::withStatus(404));
    AppDirFiles::writeMirrorsIni({{QStringLiteral("one"), mirror->baseUrl()}});

    showDialog();
    ChangeLogViewer* first = ChangeLogViewer::instance();
    QTRY_COMPARE(shownText(), failedText);
    showDialog(QStringLiteral("13"));
    QCOMPARE(ChangeLogViewer::instance(), first);
    QCOMPARE(shownText(), failedText);
    QCOMPARE(mirror->requestedPaths(), QStringList{logPath});

    first->close();
    QTRY_VERIFY(!ChangeLogViewer::instance());
    showDialog(QStringLiteral("13"));
    QVERIFY(ChangeLogViewer::instance());
    QTRY_COMPARE(shownText(), failedText);
    QCOMPARE(mirror->requestedPaths(), (QStringList{logPath, QStringLiteral("/13/changelog_client.txt")}));
}

static TestRegistration registration("ChangeLogViewerTest", [] { return new ChangeLogViewerTest; });
#include "tst_changelogviewer.moc"
