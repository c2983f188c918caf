#include "allocatortuning.h"
#include "configuration.h"
#include "installationlock.h"
#include "mainwindow.h"
#include "singleinstancechecker.h"
#include "updateengine.h"
#include "updateinidata.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocale>
#include <QMessageBox>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <memory>

namespace {

const int autoStartDelayMs = 2000;
const int handOverMilliseconds = 2000;
const int handOverPauseMilliseconds = 50;

// Workers of a run may still be on the global pool when the event loop ends,
// writing into the engine's tasks. Declared after the window, so it waits for
// them before the window and its engine are destroyed, on every way out.
class ThreadPoolDrain
{
public:
    ThreadPoolDrain() = default;
    ~ThreadPoolDrain() { QThreadPool::globalInstance()->waitForDone(); }
    ThreadPoolDrain(const ThreadPoolDrain&) = delete;
    ThreadPoolDrain& operator=(const ThreadPoolDrain&) = delete;
};

// A translation that is missing leaves the texts as they are: the translator
// is installed whether or not a file was found.
void installTranslation(QTranslator& translator, const QString& fileName)
{
    static_cast<void>(translator.load(fileName));
    QCoreApplication::installTranslator(&translator);
}

// Copies of the updater's own files that an earlier run moved aside while
// they were in use. A run that has not succeeded needs them to put the
// originals back or to resume, so they stay while one is recorded.
void removeCopiesOfFinishedRuns(const QString& root)
{
    if (UpdateIniData::isRunRecorded())
        return;
    const QStringList dirs = UpdateEngine::oldFileDirectories();
    for (const QString& dir : dirs)
        UpdateEngine::removeOldFiles(QDir(root).filePath(dir));
    QDir().rmdir(root + QStringLiteral("/old"));
}

enum class Turn { Ours, HandedOver, AnotherRunHasIt };

// Whether this start may work on the installation. A run that holds it may
// not listen yet, or may be ending: the hand-over and the lock are tried in
// turn for a short while.
Turn awaitTurn(InstallationLock& installation)
{
    const QString activation = QStringLiteral("#");
    const QDeadlineTimer deadline(handOverMilliseconds);
    InstallationLock::State state;
    while ((state = installation.tryLock()) == InstallationLock::State::HeldElsewhere) {
        if (SingleInstanceChecker::checkExistingInstance(activation))
            return Turn::HandedOver;
        if (deadline.hasExpired())
            return Turn::AnotherRunHasIt;
        QThread::msleep(handOverPauseMilliseconds);
    }
    // Only the holder takes a stale socket back: no other start of this
    // installation can be taking the name meanwhile.
    if (state == InstallationLock::State::Held)
        SingleInstanceChecker::removeStaleServer();
    // Without locks on its file system, refusing every run would leave the
    // installation without updates for good: runs go on as before the lock,
    // with the hand-over to an updater of the same user as the only guard.
    else if (SingleInstanceChecker::checkExistingInstance(activation))
        return Turn::HandedOver;
    return Turn::Ours;
}

// The command line is not read yet: an unattended start (the client's) says
// so on stderr, a user's in a box.
void tellAnotherRunHasIt(const QString& root)
{
    const QString text = QObject::tr("Another update of the installation in %1 is running.").arg(root);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() > 1 && arguments.at(1) == QLatin1String("--nouser")) {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
        return;
    }
    QMessageBox box(QMessageBox::Critical, QObject::tr("Error"), text, QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

int main(int argc, char** argv)
{
    tuneAllocatorForDownloads();
    QApplication app(argc, argv);
    const QString root = Configuration::getAppRootPath();

    const QString localeName = QLocale::system().name();
    QTranslator programTranslator;
    QTranslator qtTranslator;
    installTranslation(programTranslator, root + QStringLiteral("/translations/update_") + localeName);
    installTranslation(qtTranslator, root + QStringLiteral("/translations/qt_") + localeName);

    // Taken before anything in the installation is removed, read or made,
    // and held until the process ends.
    InstallationLock installation(root);
    switch (awaitTurn(installation)) {
    case Turn::HandedOver:
        return 0;
    case Turn::AnotherRunHasIt:
        tellAnotherRunHasIt(root);
        return 1;
    case Turn::Ours:
        break;
    }
    auto instanceChecker = std::make_unique<SingleInstanceChecker>(nullptr);
    // Not before: the updater that runs may be rolling back with them.
    removeCopiesOfFinishedRuns(root);

    Configuration config;
    MainWindow window(config, instanceChecker.release());
    const ThreadPoolDrain drain;

    if (!config.parseCommandLineOptions())
        return 1;

    if (config.noUserMode == 1)
        QTimer::singleShot(autoStartDelayMs, &window, &MainWindow::onAutoStartUpdate);

    window.setUIToConfigSpecs();
    window.show();
    window.setNews();
    return app.exec();
}
