#include "allocatortuning.h"
#include "configuration.h"
#include "mainwindow.h"
#include "singleinstancechecker.h"
#include "updateengine.h"
#include "updateinidata.h"

#include <QApplication>
#include <QDir>
#include <QLocale>
#include <QThreadPool>
#include <QTimer>
#include <QTranslator>

#include <memory>

namespace {

const int autoStartDelayMs = 2000;

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

// This process's single-instance guard, listening; null when an updater of
// the same user runs, which has then been handed the activation message.
// Two starts at one moment can both find none at the first look, but only
// one can take the name: the other is a second instance all the same, and
// ends whether or not its message arrives.
std::unique_ptr<SingleInstanceChecker> guardUnlessAnotherRuns()
{
    const QString activation = QStringLiteral("#");
    if (SingleInstanceChecker::checkExistingInstance(activation))
        return nullptr;
    auto instanceChecker = std::make_unique<SingleInstanceChecker>(nullptr);
    if (!instanceChecker->otherInstanceRuns())
        return instanceChecker;
    static_cast<void>(SingleInstanceChecker::checkExistingInstance(activation));
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    tuneAllocatorForDownloads();
    QApplication app(argc, argv);
    const QString root = Configuration::getAppRootPath();

    // Before anything is built or removed: where an updater of ours runs,
    // it is all its own.
    std::unique_ptr<SingleInstanceChecker> instanceChecker = guardUnlessAnotherRuns();
    if (!instanceChecker)
        return 0;
    // Not before: the updater that runs may be rolling back with them.
    removeCopiesOfFinishedRuns(root);

    const QString localeName = QLocale::system().name();
    QTranslator programTranslator;
    QTranslator qtTranslator;
    installTranslation(programTranslator, root + QStringLiteral("/translations/update_") + localeName);
    installTranslation(qtTranslator, root + QStringLiteral("/translations/qt_") + localeName);

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
