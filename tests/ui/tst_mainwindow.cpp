#include "testregistry.h"

#include "appdirfiles.h"
#include "changelogviewer.h"
#include "configuration.h"
#include "fakemirror.h"
#include "mainwindow.h"
#include "modalanswerer.h"
#include "newsbanner.h"
#include "platformrecorder.h"
#include "singleinstancechecker.h"
#include "testfiles.h"
#include "untrustedtextdocument.h"
#include "updateengine.h"
#include "updateserver.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <functional>
#include <limits>
#include <memory>

#include <sys/inotify.h>
#include <unistd.h>

namespace {

const QString clientType = QStringLiteral("client_linux_x86");
const int targetVersion = 5;
const QString iniPath = QStringLiteral("/5/client_linux_x86.ini");
const QString bannerUrl = QStringLiteral("https://news.korvalune.example/spring?from=updater");

template <typename T> T* child(QWidget& window, const char* name)
{
    T* widget = window.findChild<T*>(QLatin1String(name));
    if (!widget)
        qFatal("the window has no %s", name);
    return widget;
}

// The application's event loop, as start-up runs it, until the code under
// test ends it (QCoreApplication::quit only ends that loop); its exit code,
// or -1 when nothing ended it within 20 seconds.
int exitCodeOf(const std::function<void()>& trigger)
{
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, qApp, [] { QCoreApplication::exit(-1); });
    watchdog.start(20000);
    QTimer::singleShot(0, qApp, trigger);
    return QCoreApplication::exec();
}

QByteArray pngImage(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QString clientScript()
{
    return AppDirFiles::path(QStringLiteral("kv3client_runscript.sh"));
}

// Starts the mirror with one scripted answer and makes it m1, the only
// mirror of mirrors.ini.
bool startOnlyMirror(FakeMirror& mirror, const QString& path, const FakeMirror::Response& response)
{
    if (!mirror.start())
        return false;
    mirror.setResponse(path, response);
    AppDirFiles::writeMirrorsIni({{QStringLiteral("m1"), mirror.baseUrl()}});
    return true;
}

// Held back until released, then refused: the product ini of a run that
// stays busy for as long as a case needs.
FakeMirror::Response heldRefusal()
{
    FakeMirror::Response held = FakeMirror::Response::withStatus(404);
    held.hold = true;
    return held;
}

// Tells whether anyone opened a file since the watch began (inotify).
class FileOpenWatch
{
public:
    explicit FileOpenWatch(const QString& path)
        : descriptor(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
        , watching(::inotify_add_watch(descriptor, QFile::encodeName(path).constData(), IN_OPEN) >= 0)
    {
    }
    ~FileOpenWatch() { ::close(descriptor); }
    FileOpenWatch(const FileOpenWatch&) = delete;
    FileOpenWatch& operator=(const FileOpenWatch&) = delete;

    bool isValid() const { return watching; }
    // Only opens are watched: any event is one.
    bool opened() const
    {
        alignas(inotify_event) char events[4096];
        return ::read(descriptor, events, sizeof events) > 0;
    }

private:
    const int descriptor;
    const bool watching;
};

enum Visibility { Hidden, Shown };

// One window on its own configuration, as start-up builds it.
struct Fixture
{
    explicit Fixture(Visibility visibility = Hidden, int noUserMode = 0)
    {
        config.noUserMode = noUserMode;
        config.updateType.type = clientType;
        config.updateType.version = targetVersion;
        config.updateType.versionName = QStringLiteral("5.0");
        window = std::make_unique<MainWindow>(config, new SingleInstanceChecker(nullptr));
        engine = window->findChild<UpdateEngine*>();
        if (!engine)
            qFatal("the window has no engine");
        window->setUIToConfigSpecs();
        if (visibility == Shown)
            window->show();
    }

    void showAndStart()
    {
        window->show();
        QTest::mouseClick(startButton(), Qt::LeftButton);
    }

    bool showActive()
    {
        window->show();
        window->activateWindow();
        return QTest::qWaitForWindowActive(window.get());
    }

    QPushButton* startButton() { return child<QPushButton>(*window, "startButton"); }
    QTextEdit* log() { return child<QTextEdit>(*window, "outputTextEdit"); }
    QProgressBar* progressBar() { return child<QProgressBar>(*window, "totalProgressBar"); }

    Configuration config;
    std::unique_ptr<MainWindow> window;
    UpdateEngine* engine = nullptr;
};

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void progressValue_data();
    void progressValue();
    void downloadFigures_data();
    void downloadFigures();
    void versionLabel_data();
    void versionLabel();
    void outsideTextLoadsNothing_data();
    void outsideTextLoadsNothing();
    void startButtonBeforeARun_data();
    void startButtonBeforeARun();
    void successOffersTheClientStart();
    void cancelledRunOffersRestart();
    void errorIsLoggedAndShown_data();
    void errorIsLoggedAndShown();
    void closeWhileBusyAsksUntilYes();
    void runEndsAroundTheCloseQuestion_data();
    void runEndsAroundTheCloseQuestion();
    void activationMessage_data();
    void activationMessage();
    void bannerImage_data();
    void bannerImage();
    void logoOpensTheMakersSite();
    void detailsShowTheNewestLine();
    void changeLogOfTheTargetVersion();
    void runInProgressThenFailure();
    void confirmedCloseCancelsTheRunAndQuits();
};

void MainWindowTest::initTestCase()
{
    // The banner query has no server to ask in these tests: an empty host
    // name ends it at once, whatever else runs on the banner port.
    BANNER_SERVER = QString();
}

void MainWindowTest::cleanup()
{
    AppDirFiles::removeIniFiles();
    delete ChangeLogViewer::instance();
}

void MainWindowTest::progressValue_data()
{
    QTest::addColumn<qreal>("fraction");
    QTest::addColumn<int>("value");

    const qreal infinity = std::numeric_limits<qreal>::infinity();
    QTest::newRow("0") << qreal(0) << 0;
    QTest::newRow("0.5") << qreal(0.5) << 500;
    QTest::newRow("0.9995 truncates") << qreal(0.9995) << 999;
    QTest::newRow("1") << qreal(1) << 1000;
    QTest::newRow("above 1") << qreal(1.7) << 1000;
    QTest::newRow("below 0") << qreal(-0.2) << 0;
    QTest::newRow("beyond int") << qreal(1e300) << 1000;
    QTest::newRow("+infinity") << infinity << 1000;
    QTest::newRow("-infinity") << -infinity << 0;
    QTest::newRow("NaN keeps the value") << std::numeric_limits<qreal>::quiet_NaN() << 250;
}

void MainWindowTest::progressValue()
{
    QFETCH(qreal, fraction);
    QFETCH(int, value);

    Fixture fixture;
    emit fixture.engine->updateProgress(0.25);
    emit fixture.engine->updateProgress(fraction);
    QCOMPARE(fixture.progressBar()->value(), value);
}

void MainWindowTest::downloadFigures_data()
{
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<quint64>("speed");
    QTest::addColumn<QString>("sizeText");
    QTest::addColumn<QString>("speedText");

    // A kilobyte is 1000 bytes, and the division truncates.
    QTest::newRow("below a kilobyte") << quint64(999) << quint64(1999) << quint64(500)
                                      << QStringLiteral("0 KB / 1 KB") << QStringLiteral("0 KB/s");
    QTest::newRow("megabytes") << quint64(123456789) << quint64(987654321) << quint64(1500)
                               << QStringLiteral("123456 KB / 987654 KB") << QStringLiteral("1 KB/s");
    const quint64 largest = std::numeric_limits<quint64>::max();
    QTest::newRow("64-bit") << largest << largest << largest
                            << QStringLiteral("18446744073709551 KB / 18446744073709551 KB")
                            << QStringLiteral("18446744073709551 KB/s");
}

void MainWindowTest::downloadFigures()
{
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(quint64, speed);
    QFETCH(QString, sizeText);
    QFETCH(QString, speedText);

    Fixture fixture(Shown);
    auto* sizeLabel = child<QLabel>(*fixture.window, "downloadSizeLabel");
    auto* speedLabel = child<QLabel>(*fixture.window, "downloadSpeedLabel");
    QVERIFY(!sizeLabel->isVisible() && !speedLabel->isVisible());

    emit fixture.engine->downloadProgress(done, total, speed, true);
    QVERIFY(sizeLabel->isVisible() && speedLabel->isVisible());
    const QString small = QStringLiteral("<span style=\"font-size:small;\">%1</span>");
    QCOMPARE(sizeLabel->text(), small.arg(sizeText));
    QCOMPARE(speedLabel->text(), small.arg(speedText));

    // Hidden again once nothing downloads.
    emit fixture.engine->downloadProgress(done / 2, total, speed, false);
    QVERIFY(!sizeLabel->isVisible() && !speedLabel->isVisible());
}

void MainWindowTest::versionLabel_data()
{
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("versionName");
    QTest::addColumn<QString>("text");

    const QString title =
        QStringLiteral("<div style=\"font-weight:bold;font-size:14px\">Update to Korvalune 5.0</div>");
    const QString line = QStringLiteral("<div style=\"margin-top:8px\">You are currently on "
                                        "<strong>%1 channel</strong>.</div>");
    QTest::newRow("stable") << 0 << QStringLiteral("5.0") << title + line.arg(QStringLiteral("Stable"));
    QTest::newRow("beta") << 1 << QStringLiteral("5.0") << title + line.arg(QStringLiteral("Beta"));
    QTest::newRow("alpha") << 2 << QStringLiteral("5.0") << title + line.arg(QStringLiteral("Alpha"));
    QTest::newRow("unknown channel") << 3 << QStringLiteral("5.0") << title + line.arg(QString());
    QTest::newRow("no version name") << 0 << QString() << line.arg(QStringLiteral("Stable"));
    QTest::newRow("markup in the version name is text")
        << 0 << QStringLiteral("<img src=/dev/zero>5.0")
        << QString(title).replace(QStringLiteral("5.0"), QStringLiteral("&lt;img src=/dev/zero&gt;5.0"))
               + line.arg(QStringLiteral("Stable"));
}

// News, change logs, log lines and error texts come from servers or files.
// Laid out as rich text, whatever they refer to must stay unread: a news
// line <img src=/dev/zero> would otherwise read until memory runs out. The
// rows name a file of the test's own, so that any open of it shows. Nor may
// they ask for sizes that the window or Qt's layout would follow.
void MainWindowTest::outsideTextLoadsNothing_data()
{
    QTest::addColumn<QString>("entryPoint");
    QTest::addColumn<QString>("markup");

    const QString image = QStringLiteral("<img src=\"%1\">");
    const QString styleSheet = QStringLiteral("<link rel=\"stylesheet\" type=\"text/css\" href=\"%1\">");
    const QString tallImage = QStringLiteral("x<img height=4999999>");
    const QString tallTable = QStringLiteral("<table height=4999999><tr><td>x</td></tr></table>");
    for (const QString& markup : {image, styleSheet, tallImage, tallTable})
        QTest::addRow("news: %s", qPrintable(markup)) << QStringLiteral("news") << markup;
    for (const char* entryPoint : {"change log", "log", "error box", "configuration error box"})
        QTest::addRow("%s: %s", entryPoint, qPrintable(image)) << QString::fromLatin1(entryPoint) << image;
    // Laid out at full size, an image a few million pixels tall holds a text
    // edit up for minutes; a million pixels take Qt a moment, so that a
    // fault here fails rather than hangs.
    const QString lessTallImage = QStringLiteral("x<img height=1000000>");
    for (const char* entryPoint : {"change log", "log"})
        QTest::addRow("%s: %s", entryPoint, qPrintable(lessTallImage))
            << QString::fromLatin1(entryPoint) << lessTallImage;
}

void MainWindowTest::outsideTextLoadsNothing()
{
    QFETCH(QString, entryPoint);
    QFETCH(QString, markup);

    const QTemporaryDir files;
    const QString localFile = files.filePath(QStringLiteral("local.png"));
    QVERIFY(TestFiles::write(localFile, pngImage(300, 200)));
    FileOpenWatch watch(localFile);
    QVERIFY(watch.isValid());
    const QString text = QString(markup).replace(QLatin1String("%1"), localFile);

    Fixture fixture;
    fixture.config.updateType.news = text;
    fixture.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(fixture.window.get()));
    ModalAnswerer answerer({QMessageBox::Ok});
    QWidget* shown = fixture.window.get();
    QElapsedTimer clock;
    clock.start();
    if (entryPoint == QLatin1String("news")) {
        fixture.window->setNews();
    } else if (entryPoint == QLatin1String("change log")) {
        ChangeLogViewer::showRemoteChangeLogDialog(fixture.window.get(), QStringLiteral("5"));
        shown = ChangeLogViewer::instance();
        ChangeLogViewer::instance()->load(text);
    } else if (entryPoint == QLatin1String("log")) {
        QTest::mouseClick(child<QPushButton>(*fixture.window, "detailsButton"), Qt::LeftButton);
        emit fixture.engine->message(text);
    } else if (entryPoint == QLatin1String("error box")) {
        emit fixture.engine->error(text);
    } else {
        // It ends the event loop, so it needs one to end.
        QCOMPARE(exitCodeOf([&] { emit fixture.config.fatalError(text); }), 1);
    }
    QVERIFY(child<QWidget>(*fixture.window, "newsBanner")->maximumHeight() <= NewsBanner::MaxHeight);
    const QTextEdit* edit = shown->findChild<QTextEdit*>();
    QVERIFY(edit->document()->size().height() <= 2 * UntrustedTextDocument::MaxImageSide);
    // Lays out and paints what is on screen.
    shown->grab();
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));

    QVERIFY(!watch.opened());
    if (entryPoint.endsWith(QLatin1String("box"))) {
        QCOMPARE(answerer.boxes().size(), 1);
        QCOMPARE(answerer.boxes().first().text, text);
    }
}

void MainWindowTest::versionLabel()
{
    QFETCH(int, channel);
    QFETCH(QString, versionName);
    QFETCH(QString, text);

    Fixture fixture;
    fixture.config.updateType.channel = UpdateChannel(channel);
    fixture.config.updateType.versionName = versionName;
    fixture.window->setUIToConfigSpecs();
    QCOMPARE(child<QLabel>(*fixture.window, "versionLabel")->text(), text);
}

void MainWindowTest::startButtonBeforeARun_data()
{
    QTest::addColumn<int>("noUserMode");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("user") << 0 << true;
    QTest::newRow("unattended") << 1 << false;
}

void MainWindowTest::startButtonBeforeARun()
{
    QFETCH(int, noUserMode);
    QFETCH(bool, enabled);

    Fixture fixture(Hidden, noUserMode);
    QCOMPARE(fixture.startButton()->text(), QStringLiteral("Start Update"));
    QCOMPARE(fixture.startButton()->isEnabled(), enabled);
    QVERIFY(fixture.startButton()->isDefault());
}

void MainWindowTest::successOffersTheClientStart()
{
    PlatformRecorder recorder;
    Fixture fixture;
    QVERIFY(fixture.showActive());
    // As during a run.
    fixture.startButton()->setEnabled(false);
    child<QPushButton>(*fixture.window, "detailsButton")->setFocus();

    emit fixture.engine->updateFinished();
    QCOMPARE(fixture.startButton()->text(), QStringLiteral("Start Korvalune"));
    QVERIFY(fixture.startButton()->isEnabled());
    QVERIFY(recorder.startedPrograms.isEmpty());

    // Return goes to the widget with the focus, which is the button.
    QVERIFY(fixture.startButton()->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QCOMPARE(recorder.startedPrograms, QStringList{clientScript()});
    QVERIFY(!fixture.window->isVisible());
}

void MainWindowTest::cancelledRunOffersRestart()
{
    Fixture fixture(Shown);
    fixture.startButton()->setEnabled(false);
    emit fixture.engine->updateProgress(0.6);

    ModalAnswerer answerer({QMessageBox::Ok});
    emit fixture.engine->updateCanceled();
    QCOMPARE(answerer.boxes().size(), 1);
    const ModalAnswerer::SeenBox box = answerer.boxes().first();
    QCOMPARE(box.title, QStringLiteral("Update"));
    QCOMPARE(box.text, QStringLiteral("Update cancelled. Push \"Details\" to check reasons."));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.parent.data(), fixture.window.get());

    QCOMPARE(fixture.startButton()->text(), QStringLiteral("Restart"));
    QVERIFY(fixture.startButton()->isEnabled());
    QCOMPARE(fixture.log()->toPlainText(), QStringLiteral("Update cancelled"));
    QCOMPARE(fixture.progressBar()->value(), 0);
    QVERIFY(fixture.window->isVisible());
}

// An engine error is logged and shown, and the program goes on; a fatal
// error is shown only, and ends the program with its exit code.
void MainWindowTest::errorIsLoggedAndShown_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<int>("exitCode"); // -1: the program goes on
    QTest::addColumn<bool>("parented");
    QTest::newRow("engine error") << "engine error" << -1 << true;
    QTest::newRow("fatal engine error") << "fatal engine error" << 2 << true;
    // The window may not be shown yet: the box stands alone.
    QTest::newRow("fatal configuration error") << "fatal configuration error" << 1 << false;
}

void MainWindowTest::errorIsLoggedAndShown()
{
    QFETCH(QString, source);
    QFETCH(int, exitCode);
    QFETCH(bool, parented);

    Fixture fixture(parented ? Shown : Hidden);
    const QString text = QStringLiteral("Unable to create file /tmp/x for saving");
    ModalAnswerer answerer({QMessageBox::Ok});
    if (source == QLatin1String("engine error"))
        emit fixture.engine->error(text);
    else if (source == QLatin1String("fatal engine error"))
        QCOMPARE(exitCodeOf([&] { emit fixture.engine->fatalError(text); }), exitCode);
    else
        QCOMPARE(exitCodeOf([&] { emit fixture.config.fatalError(text); }), exitCode);

    QCOMPARE(answerer.boxes().size(), 1);
    const ModalAnswerer::SeenBox box = answerer.boxes().first();
    QCOMPARE(box.title, QStringLiteral("Error"));
    QCOMPARE(box.text, text);
    QCOMPARE(box.hadParent, parented);
    if (parented)
        QCOMPARE(box.parent.data(), fixture.window.get());
    QCOMPARE(fixture.log()->toPlainText(), exitCode < 0 ? text : QString());
    QCOMPARE(fixture.startButton()->text(), QStringLiteral("Start Update"));
}

void MainWindowTest::closeWhileBusyAsksUntilYes()
{
    Fixture fixture(Shown);
    ModalAnswerer answerer({QMessageBox::No, QMessageBox::No, QMessageBox::Yes});
    // Idle, it closes at once.
    QVERIFY(fixture.window->close());
    QVERIFY(answerer.boxes().isEmpty());
    fixture.window->show();
    // Prepared for a run and not yet started: busy, with nothing to cancel.
    fixture.engine->state = EngineState::Initialized;

    for (int attempt = 1; attempt <= 3; ++attempt) {
        QVERIFY(!fixture.window->close());
        QCOMPARE(answerer.boxes().size(), attempt);
        QVERIFY(fixture.window->isVisible());
    }
    const ModalAnswerer::SeenBox box = answerer.boxes().first();
    QCOMPARE(box.title, QStringLiteral("Question"));
    QCOMPARE(box.text, QStringLiteral("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
    QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(box.parent.data(), fixture.window.get());

    // Confirmed once: later attempts wait for the run's end without asking.
    QVERIFY(!fixture.window->close());
    QCOMPARE(answerer.boxes().size(), 3);
    QVERIFY(fixture.window->isVisible());
}

// The question is modal, but the run goes on behind it and may end before
// the user answers. The answer then decides alone: Yes closes, No keeps the
// window. A Yes given during the run is settled when the run ends, however
// it ends.
void MainWindowTest::runEndsAroundTheCloseQuestion_data()
{
    QTest::addColumn<bool>("failed");
    QTest::addColumn<bool>("endsWhileAsking");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("closed");

    QTest::newRow("finished while asking, Yes") << false << true << int(QMessageBox::Yes) << true;
    QTest::newRow("finished while asking, No") << false << true << int(QMessageBox::No) << false;
    QTest::newRow("failed while asking, Yes") << true << true << int(QMessageBox::Yes) << true;
    QTest::newRow("failed while asking, No") << true << true << int(QMessageBox::No) << false;
    QTest::newRow("Yes, then the run finishes") << false << false << int(QMessageBox::Yes) << true;
}

void MainWindowTest::runEndsAroundTheCloseQuestion()
{
    QFETCH(bool, failed);
    QFETCH(bool, endsWhileAsking);
    QFETCH(int, answer);
    QFETCH(bool, closed);

    Fixture fixture(Shown);
    // Prepared for a run and not yet started: busy, with nothing to cancel.
    fixture.engine->state = EngineState::Initialized;
    auto endRun = [&] {
        fixture.engine->state = failed ? EngineState::Canceled : EngineState::Finished;
        if (failed)
            emit fixture.engine->updateCanceled();
        else
            emit fixture.engine->updateFinished();
    };

    // A failed run shows its own box above the question.
    ModalAnswerer answerer({QMessageBox::StandardButton(answer), QMessageBox::Ok});
    if (endsWhileAsking)
        answerer.setBeforeAnswer([&](int boxIndex) {
            if (boxIndex == 0)
                endRun();
        });
    fixture.window->close();
    if (!endsWhileAsking)
        endRun();

    QCOMPARE(answerer.boxes().size(), failed ? 2 : 1);
    QCOMPARE(answerer.boxes().first().title, QStringLiteral("Question"));
    QVERIFY(!answerer.watchdogFired());
    QCOMPARE(fixture.window->isVisible(), !closed);
}

void MainWindowTest::activationMessage_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("raised");

    QTest::newRow("#") << QStringLiteral("#") << true;
    QTest::newRow("other text") << QStringLiteral("x") << false;
}

void MainWindowTest::activationMessage()
{
    QFETCH(QString, message);
    QFETCH(bool, raised);

    Fixture fixture;
    QVERIFY(fixture.showActive());
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));

    auto* checker = fixture.window->findChild<SingleInstanceChecker*>();
    QVERIFY(checker);
    QSignalSpy received(checker, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(message));
    QVERIFY(received.wait());
    QCOMPARE(received.first().first().toString(), message);
    // An activation arrives as a window system event: let any come first.
    QCoreApplication::processEvents();
    if (raised)
        QTRY_VERIFY(fixture.window->isActiveWindow());
    else
        QVERIFY(other.isActiveWindow());
}

// A banner that is no image is ignored, and leaves no URL either: a click
// hands the desktop an empty one. A click URL that is no web page opens
// nothing.
void MainWindowTest::bannerImage_data()
{
    QTest::addColumn<QByteArray>("image");
    QTest::addColumn<QString>("clickUrl");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QList<QUrl>>("opened");
    const QString toolTip = QStringLiteral("Click to open \"https://news.korvalune.example\"");
    QTest::newRow("image") << pngImage(468, 60) << bannerUrl << toolTip << QList<QUrl>{QUrl(bannerUrl)};
    QTest::newRow("garbage") << QByteArray("<html>404 Not Found</html>") << bannerUrl << QString()
                             << QList<QUrl>{QUrl()};
    QTest::newRow("file: click URL") << pngImage(468, 60) << "file:///etc/passwd" << "Click to open \"file://\""
                                     << QList<QUrl>{};
}

void MainWindowTest::bannerImage()
{
    QFETCH(QByteArray, image);
    QFETCH(QString, clickUrl);
    QFETCH(QString, toolTip);
    QFETCH(QList<QUrl>, opened);

    PlatformRecorder recorder;
    Fixture fixture(Shown);
    auto* banner = child<QLabel>(*fixture.window, "banner");
    emit fixture.engine->bannerFound(image, clickUrl);
    QCOMPARE(banner->pixmap().isNull(), toolTip.isEmpty());
    QCOMPARE(banner->toolTip(), toolTip);
    QTest::mouseClick(banner, Qt::LeftButton);
    QCOMPARE(recorder.openedUrls, opened);
}

void MainWindowTest::logoOpensTheMakersSite()
{
    PlatformRecorder recorder;
    Fixture fixture(Shown);
    auto* logo = child<QLabel>(*fixture.window, "korvaluneLabel");
    QCOMPARE(logo->pixmap().size(), QSize(48, 48));

    QTest::mouseClick(logo, Qt::LeftButton);
    QCOMPARE(recorder.openedUrls.size(), 1);
    QCOMPARE(recorder.openedUrls.first().host(), QStringLiteral("www.korvalune.example"));
}

void MainWindowTest::detailsShowTheNewestLine()
{
    Fixture fixture(Shown);
    QVERIFY(QTest::qWaitForWindowExposed(fixture.window.get()));
    const int heightWithoutLog = fixture.window->height();
    for (int line = 1; line <= 40; ++line)
        emit fixture.engine->message(QStringLiteral("line %1").arg(line));
    QVERIFY(!fixture.log()->isVisible());

    auto* details = child<QPushButton>(*fixture.window, "detailsButton");
    QTest::mouseClick(details, Qt::LeftButton);
    QVERIFY(fixture.log()->isVisible());
    QScrollBar* scrollBar = fixture.log()->verticalScrollBar();
    QTRY_VERIFY(scrollBar->maximum() > 0);
    QTRY_COMPARE(scrollBar->value(), scrollBar->maximum());
    QTRY_VERIFY(fixture.window->height() > heightWithoutLog);

    QTest::mouseClick(details, Qt::LeftButton);
    QVERIFY(!fixture.log()->isVisible());
    QTRY_COMPARE(fixture.window->height(), heightWithoutLog);
}

void MainWindowTest::changeLogOfTheTargetVersion()
{
    FakeMirror mirror;
    QVERIFY(startOnlyMirror(mirror, QStringLiteral("/5/changelog_client.txt"),
                            FakeMirror::Response::ok("5.0: faster maps\n")));

    Fixture fixture(Shown);
    QTest::mouseClick(child<QPushButton>(*fixture.window, "changelogButton"), Qt::LeftButton);
    QVERIFY(ChangeLogViewer::instance());
    QTRY_COMPARE(mirror.requestedPaths(), QStringList{QStringLiteral("/5/changelog_client.txt")});
}

// A real run against a mirror that holds back the product ini, then refuses it.
void MainWindowTest::runInProgressThenFailure()
{
    FakeMirror mirror;
    QVERIFY(startOnlyMirror(mirror, iniPath, heldRefusal()));

    Fixture fixture;
    fixture.showAndStart();
    QTRY_COMPARE(mirror.heldCount(), 1);
    QVERIFY(fixture.engine->busy());
    QVERIFY(!fixture.startButton()->isEnabled());

    // A start while the run is busy starts nothing. A second request would
    // reach the mirror only later: it is counted once the run has ended.
    QVERIFY(QMetaObject::invokeMethod(fixture.window.get(), "onAutoStartUpdate"));

    ModalAnswerer answerer({QMessageBox::Ok});
    QSignalSpy canceled(fixture.engine, &UpdateEngine::updateCanceled);
    mirror.releaseAll();
    QVERIFY(canceled.wait(20000));
    QCOMPARE(mirror.requestCount(iniPath), 1);
    // The window's side of the end is cancelledRunOffersRestart's.
    QCOMPARE(answerer.boxes().size(), 1);
    QVERIFY(fixture.log()->toPlainText().endsWith(QLatin1String("Update cancelled")));
    QVERIFY(fixture.startButton()->isEnabled());
    QVERIFY(!fixture.engine->busy());
}

void MainWindowTest::confirmedCloseCancelsTheRunAndQuits()
{
    FakeMirror mirror;
    QVERIFY(startOnlyMirror(mirror, iniPath, heldRefusal()));

    Fixture fixture;
    fixture.showAndStart();
    QTRY_COMPARE(mirror.heldCount(), 1);

    ModalAnswerer answerer({QMessageBox::Yes});
    QSignalSpy canceled(fixture.engine, &UpdateEngine::updateCanceled);
    // The end of the abandoned run quits the program with 0, without the box
    // of a cancelled run.
    QCOMPARE(exitCodeOf([&] { fixture.window->close(); }), 0);
    QCOMPARE(canceled.size(), 1);
    QCOMPARE(answerer.boxes().size(), 1);
    QCOMPARE(answerer.boxes().first().title, QStringLiteral("Question"));
    QVERIFY(!fixture.engine->busy());
}

// The unattended client start waits a real second; these cases wait for it.
class MainWindowTimingTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void unattendedSuccessStartsTheClient();
    void openChangeLogKeepsTheClientWaiting();
};

void MainWindowTimingTest::initTestCase()
{
    BANNER_SERVER = QString();
}

void MainWindowTimingTest::cleanup()
{
    delete ChangeLogViewer::instance();
}

void MainWindowTimingTest::unattendedSuccessStartsTheClient()
{
    PlatformRecorder recorder;
    Fixture fixture(Shown, 1);
    QElapsedTimer sinceFinish;

    emit fixture.engine->updateFinished();
    sinceFinish.start();
    QVERIFY(recorder.startedPrograms.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(recorder.startedPrograms, QStringList{clientScript()}, 5000);
    QVERIFY2(sinceFinish.elapsed() >= 950, qPrintable(QString::number(sinceFinish.elapsed())));
    QVERIFY(!fixture.window->isVisible());
    // Nobody was meant to press it.
    QCOMPARE(fixture.startButton()->text(), QStringLiteral("Start Update"));
    QVERIFY(!fixture.startButton()->isEnabled());
}

void MainWindowTimingTest::openChangeLogKeepsTheClientWaiting()
{
    PlatformRecorder recorder;
    Fixture fixture(Shown, 1);
    QTest::mouseClick(child<QPushButton>(*fixture.window, "changelogButton"), Qt::LeftButton);
    QVERIFY(ChangeLogViewer::instance());

    emit fixture.engine->updateFinished();
    QCOMPARE(fixture.startButton()->text(), QStringLiteral("Start Korvalune"));
    QVERIFY(fixture.startButton()->isEnabled());
    // Well past the second after which an unattended run starts the client.
    QTest::qWait(1500);
    QVERIFY(recorder.startedPrograms.isEmpty());
    QVERIFY(fixture.window->isVisible());
}

static TestRegistration registration("MainWindowTest", [] { return new MainWindowTest; });
static TestRegistration timingRegistration("MainWindowTimingTest", [] { return new MainWindowTimingTest; });
#include "tst_mainwindow.moc"
