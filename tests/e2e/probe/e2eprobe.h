#ifndef E2EPROBE_H
#define E2EPROBE_H

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

class QMessageBox;
class QWidget;

// Watches the update program from inside and writes what it sees, one JSON
// object per line, to the file named by KV_PROBE_LOG; "ms" in each is the
// time since the application object was made:
//   {"event":"window", ...}    the main window was shown (title, texts, where
//                              the news line's text begins, "shownMs": when
//                              it was shown)
//   {"event":"box", ...}       a message box (title, text, parent, answer)
//   {"event":"activate", ...}  the single-instance message the window got
//   {"event":"screenshot"}     KV_PROBE_SCREENSHOT was written
//   {"event":"quit", ...}      the event loop ended (texts, log)
// Message boxes are answered with the buttons listed in KV_PROBE_ANSWERS
// (comma-separated standard button names, in order; Escape beyond the list).
// KV_PROBE_ON_SHOW lists commands run once the window is shown, and lines
// appended to the file KV_PROBE_COMMANDS are run as they arrive:
//   click <objectName>   close
// With KV_PROBE_HOLD_AT set, the GUI thread (and with it everything the
// program does there) stops once a log line holding that text is shown,
// before the program goes on from the place that wrote it; {"event":"held"}
// is written, and the command "release" lets it go on.
// KV_PROBE_LIFETIME (ms) bounds the whole process: a program that a failed
// test leaves waiting ends by itself with exit code 99.
// With KV_PROBE_SCREENSHOT set, the window is grabbed into that file once the
// download figures have been on screen for KV_PROBE_SCREENSHOT_AFTER ms.
class E2eProbe : public QObject
{
    Q_OBJECT

public:
    E2eProbe();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void onPoll();
    void onActivate(const QString& message);
    void onAboutToQuit();
    void onLifetimeOver();
    void onLogChanged();

private:
    QWidget* mainWindow() const;
    void watchWindow(QWidget* window);
    void watchActivations(QObject* shown);
    void answerBox(QMessageBox* box);
    void runCommands(const QStringList& commands);
    void runCommandFile();
    QStringList readCommandFile();
    void takeScreenshotWhenDue(QWidget* window);
    QJsonObject windowTexts(QWidget* window) const;
    void write(QJsonObject record);

    QString logPath;
    QStringList answers;
    int boxCount = 0;
    QStringList onShow;
    QString commandPath;
    qint64 commandOffset = 0;
    QString screenshotPath;
    int screenshotAfterMs = 1500;
    QElapsedTimer downloadsShown;
    bool screenshotTaken = false;
    QPointer<QWidget> window;
    QElapsedTimer sinceStart;
    qint64 windowShownMs = -1;
    QString holdAt;
    bool held = false;
    QTimer poll;
    QTimer lifetime;
};

#endif
