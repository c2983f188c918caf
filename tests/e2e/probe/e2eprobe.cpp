#include "e2eprobe.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QMessageBox>
#include <QMetaEnum>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTextEdit>
#include <QThread>

#include <cstdlib>

namespace {

const int pollIntervalMs = 20;
const char handledProperty[] = "kvE2eProbeHandled";
const int lifetimeExitCode = 99;

QStringList listFromEnvironment(const char* name, QChar separator)
{
    return qEnvironmentVariable(name).split(separator, Qt::SkipEmptyParts);
}

template <typename T> QString textOf(QWidget* window, const char* name)
{
    T* widget = window->findChild<T*>(QLatin1String(name));
    return widget ? widget->text() : QString();
}

// The first column of the news line that shows anything but the window's
// background, or -1.
int newsTextLeft(QWidget* newsLine)
{
    const QImage image = newsLine->grab().toImage();
    const QRgb background = newsLine->palette().color(QPalette::Window).rgb();
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            if (image.pixel(x, y) != background)
                return x;
        }
    }
    return -1;
}

} // namespace

E2eProbe::E2eProbe()
    : logPath(qEnvironmentVariable("KV_PROBE_LOG"))
    , answers(listFromEnvironment("KV_PROBE_ANSWERS", QLatin1Char(',')))
    , onShow(listFromEnvironment("KV_PROBE_ON_SHOW", QLatin1Char(';')))
    , commandPath(qEnvironmentVariable("KV_PROBE_COMMANDS"))
    , screenshotPath(qEnvironmentVariable("KV_PROBE_SCREENSHOT"))
    , holdAt(qEnvironmentVariable("KV_PROBE_HOLD_AT"))
{
    sinceStart.start();
    qApp->installEventFilter(this);
    if (qEnvironmentVariableIsSet("KV_PROBE_SCREENSHOT_AFTER"))
        screenshotAfterMs = qEnvironmentVariableIntValue("KV_PROBE_SCREENSHOT_AFTER");
    connect(&poll, &QTimer::timeout, this, &E2eProbe::onPoll);
    connect(qApp, &QCoreApplication::aboutToQuit, this, &E2eProbe::onAboutToQuit);
    poll.start(pollIntervalMs);
    if (qEnvironmentVariableIsSet("KV_PROBE_LIFETIME")) {
        lifetime.setSingleShot(true);
        connect(&lifetime, &QTimer::timeout, this, &E2eProbe::onLifetimeOver);
        lifetime.start(qEnvironmentVariableIntValue("KV_PROBE_LIFETIME"));
    }
}

void E2eProbe::onPoll()
{
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        if (box->isVisible() && !box->property(handledProperty).toBool()) {
            box->setProperty(handledProperty, true);
            answerBox(box);
            return;
        }
    }
    QWidget* current = mainWindow();
    if (current && current != window) {
        window = current;
        watchWindow(current);
    }
    runCommandFile();
    if (window)
        takeScreenshotWhenDue(window);
}

// The poll notices the window some time after it was shown; timings are
// measured from the show itself. The window is shown before the event loop
// runs, so an activation message, which only the loop delivers, is heard
// however early it comes.
bool E2eProbe::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Show && windowShownMs < 0 && watched->isWidgetType()
        && static_cast<QWidget*>(watched)->isWindow() && watched->objectName() == QLatin1String("MainWindow")) {
        windowShownMs = sinceStart.elapsed();
        watchActivations(watched);
    }
    return QObject::eventFilter(watched, event);
}

// The probe does not link the product, so it finds the single-instance
// server by its class name and connects to its signal through the meta-object.
void E2eProbe::watchActivations(QObject* shown)
{
    const QList<QObject*> children = shown->findChildren<QObject*>();
    for (QObject* child : children) {
        const QMetaObject* type = child->metaObject();
        if (qstrcmp(type->className(), "SingleInstanceChecker") != 0)
            continue;
        const int signal = type->indexOfSignal("otherInstanceActivate(QString)");
        const int slot = metaObject()->indexOfSlot("onActivate(QString)");
        if (signal >= 0 && slot >= 0)
            connect(child, type->method(signal), this, metaObject()->method(slot));
    }
}

QWidget* E2eProbe::mainWindow() const
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    for (QWidget* candidate : windows) {
        if (candidate->objectName() == QLatin1String("MainWindow") && candidate->isVisible())
            return candidate;
    }
    return nullptr;
}

void E2eProbe::watchWindow(QWidget* shown)
{
    QJsonObject record = windowTexts(shown);
    record.insert(QStringLiteral("event"), QStringLiteral("window"));
    record.insert(QStringLiteral("shownMs"), double(windowShownMs));
    if (QWidget* newsLine = shown->findChild<QWidget*>(QStringLiteral("newsBanner"))) {
        record.insert(QStringLiteral("newsWidth"), newsLine->width());
        record.insert(QStringLiteral("newsLeft"), newsTextLeft(newsLine));
    }
    write(record);

    // Direct: the hold must come while the line is being written.
    if (auto* log = shown->findChild<QTextEdit*>(QStringLiteral("outputTextEdit")); log && !holdAt.isEmpty())
        connect(log, &QTextEdit::textChanged, this, &E2eProbe::onLogChanged);
    runCommands(onShow);
}

void E2eProbe::answerBox(QMessageBox* box)
{
    const QMetaObject& boxType = QMessageBox::staticMetaObject;
    const QMetaEnum buttonNames = boxType.enumerator(boxType.indexOfEnumerator("StandardButtons"));
    const QString answer = boxCount < answers.size() ? answers.at(boxCount) : QString();
    ++boxCount;

    QJsonArray buttons;
    const QList<QAbstractButton*> boxButtons = box->buttons();
    for (QAbstractButton* button : boxButtons)
        buttons.append(button->text());
    write({{QStringLiteral("event"), QStringLiteral("box")},
           {QStringLiteral("title"), box->windowTitle()},
           {QStringLiteral("text"), box->text()},
           {QStringLiteral("parent"), box->parentWidget() ? box->parentWidget()->objectName() : QString()},
           {QStringLiteral("buttons"), buttons},
           {QStringLiteral("answer"), answer.isEmpty() ? QStringLiteral("Escape") : answer}});

    bool known = false;
    const int value = buttonNames.keyToValue(answer.toLatin1().constData(), &known);
    QAbstractButton* button = known ? box->button(QMessageBox::StandardButton(value)) : nullptr;
    if (button)
        button->click();
    else
        box->reject();
}

void E2eProbe::onActivate(const QString& message)
{
    write({{QStringLiteral("event"), QStringLiteral("activate")}, {QStringLiteral("message"), message}});
}

void E2eProbe::onAboutToQuit()
{
    QJsonObject record = window ? windowTexts(window) : QJsonObject();
    record.insert(QStringLiteral("event"), QStringLiteral("quit"));
    write(record);
}

// Modal boxes and the program's own loops cannot be relied on to end
// anything, so the process ends here and now.
void E2eProbe::onLifetimeOver()
{
    write({{QStringLiteral("event"), QStringLiteral("lifetime")}});
    std::_Exit(lifetimeExitCode);
}

// No timer fires during the hold, so the lifetime is watched here.
void E2eProbe::onLogChanged()
{
    auto* log = qobject_cast<QTextEdit*>(sender());
    if (held || !log || !log->toPlainText().contains(holdAt))
        return;
    held = true;
    write({{QStringLiteral("event"), QStringLiteral("held")}});
    for (;;) {
        QStringList commands = readCommandFile();
        if (commands.removeAll(QStringLiteral("release")) > 0) {
            runCommands(commands);
            return;
        }
        runCommands(commands);
        if (lifetime.isActive() && sinceStart.elapsed() >= lifetime.interval())
            onLifetimeOver();
        QThread::msleep(pollIntervalMs);
    }
}

void E2eProbe::runCommands(const QStringList& commands)
{
    for (const QString& command : commands) {
        const QStringList words = command.trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (words.isEmpty() || !window)
            continue;
        // Queued: what a command opens (a question box) runs its own loop,
        // and the poll that answers boxes must not be waiting under it.
        if (words.first() == QLatin1String("close")) {
            QMetaObject::invokeMethod(window, &QWidget::close, Qt::QueuedConnection);
        } else if (words.first() == QLatin1String("click") && words.size() == 2) {
            if (auto* button = window->findChild<QAbstractButton*>(words.at(1)))
                QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
        }
    }
}

void E2eProbe::runCommandFile()
{
    runCommands(readCommandFile());
}

// The complete lines appended since the last read.
QStringList E2eProbe::readCommandFile()
{
    if (commandPath.isEmpty() || !window)
        return {};
    QFile file(commandPath);
    if (!file.open(QIODevice::ReadOnly) || file.size() <= commandOffset)
        return {};
    file.seek(commandOffset);
    const QByteArray bytes = file.readAll();
    const int end = bytes.lastIndexOf('\n');
    if (end < 0)
        return {};
    commandOffset += end + 1;
    return QString::fromUtf8(bytes.left(end)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void E2eProbe::takeScreenshotWhenDue(QWidget* shown)
{
    if (screenshotPath.isEmpty() || screenshotTaken)
        return;
    auto* figures = shown->findChild<QLabel*>(QStringLiteral("downloadSizeLabel"));
    if (!figures || !figures->isVisible()) {
        downloadsShown.invalidate();
        return;
    }
    if (!downloadsShown.isValid())
        downloadsShown.start();
    if (downloadsShown.elapsed() < screenshotAfterMs)
        return;
    screenshotTaken = true;
    // What the display server shows; a platform that cannot grab gets the
    // window as Qt renders it.
    QPixmap shot = shown->screen()->grabWindow(shown->winId());
    if (shot.isNull())
        shot = shown->grab();
    const bool saved = shot.save(screenshotPath, "PNG");
    write({{QStringLiteral("event"), QStringLiteral("screenshot")}, {QStringLiteral("saved"), saved}});
}

QJsonObject E2eProbe::windowTexts(QWidget* shown) const
{
    auto* log = shown->findChild<QTextEdit*>(QStringLiteral("outputTextEdit"));
    auto* start = shown->findChild<QPushButton*>(QStringLiteral("startButton"));
    return {{QStringLiteral("title"), shown->windowTitle()},
            {QStringLiteral("version"), textOf<QLabel>(shown, "versionLabel")},
            {QStringLiteral("start"), textOf<QPushButton>(shown, "startButton")},
            {QStringLiteral("startEnabled"), start && start->isEnabled()},
            {QStringLiteral("log"), log ? log->toPlainText() : QString()}};
}

void E2eProbe::write(QJsonObject record)
{
    if (logPath.isEmpty())
        return;
    QFile file(logPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    record.insert(QStringLiteral("ms"), double(sinceStart.elapsed()));
    file.write(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
}
