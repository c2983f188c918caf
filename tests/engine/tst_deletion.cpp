#include "testregistry.h"

#include "configuration.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "filespecifications.h"
#include "testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <functional>
#include <memory>

// Deletions act in the application directory, this test program's own
// directory: every case works in a scratch directory below it, and the old
// copies it makes in the shared directory "old" carry the scratch
// directory's token, so that the clean-up finds them.

namespace {

QString appRoot()
{
    return Configuration::getAppRootPath();
}

struct Outcome
{
    int state = -1;
    QStringList messages;
};

// Runs a task to its end; stepDone, when given, is called on every progress
// report, so a case can act between two deletions.
Outcome runTask(TaskSpecification& task, const std::function<void(qreal)>& stepDone = {})
{
    Outcome outcome;
    QObject context;
    QObject::connect(&task, &TaskSpecification::message, &context,
                     [&](const QString& line) { outcome.messages << line; });
    if (stepDone)
        QObject::connect(&task, &TaskSpecification::updateProgress, &context, stepDone);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QDeadlineTimer deadline(10000);
    while (finished.isEmpty() && canceled.isEmpty() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    outcome.state = finished.count() + canceled.count() == 1 ? task.state : -1;
    return outcome;
}

} // namespace

class DeletionTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void deletesWhatItCanInListOrder();
    void refusesEntriesOutside_data();
    void refusesEntriesOutside();
    void removesOldCopiesOfTheInstallation();
    void userAbortStopsBetweenDeletions();

private:
    QString rel(const QString& path) const { return area + QLatin1Char('/') + path; }
    QString installed(const QString& relative) const { return appRoot() + QLatin1Char('/') + relative; }

    std::unique_ptr<QTemporaryDir> scratch;
    QString area;
    QString token;
    bool oldDirExisted = false;
};

void DeletionTest::initTestCase()
{
    oldDirExisted = QFileInfo::exists(appRoot() + "/old");
}

void DeletionTest::init()
{
    scratch = std::make_unique<QTemporaryDir>(appRoot() + "/deletetest-XXXXXX");
    QVERIFY(scratch->isValid());
    area = QFileInfo(scratch->path()).fileName();
    token = area.mid(area.indexOf(QLatin1Char('-')) + 1);
}

void DeletionTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
    QDir old(appRoot() + "/old");
    const QStringList entries = old.entryList(QDir::Files | QDir::Hidden);
    for (const QString& name : entries) {
        if (name.contains(token))
            old.remove(name);
    }
    scratch.reset();
}

void DeletionTest::cleanupTestCase()
{
    if (!oldDirExisted)
        QDir(appRoot()).rmdir(QStringLiteral("old"));
}

// Missing files and directories are passed over in silence; the rest of the
// list is still worked through.
void DeletionTest::deletesWhatItCanInListOrder()
{
    QVERIFY(TestFiles::write(installed(rel("one.txt")), "one"));
    QVERIFY(QDir().mkpath(installed(rel("dir"))));
    QVERIFY(TestFiles::write(installed(rel("sub/two.txt")), "two"));
    QList<QString> deletions{rel("one.txt"), rel("missing.txt"), rel("dir"), rel("sub/two.txt")};

    QStringList progress;
    FileDeleteListTaskSpecification step(&deletions, nullptr, 0.05);
    const Outcome outcome = runTask(step, [&](qreal value) {
        progress << QString::number(value / 0.05, 'f', 2);
    });

    QCOMPARE(outcome.state, int(TaskState::Finished));
    QCOMPARE(outcome.messages, QStringList{"Starting deleting files"});
    QVERIFY(!QFileInfo::exists(installed(rel("one.txt"))));
    QVERIFY(!QFileInfo::exists(installed(rel("sub/two.txt"))));
    QVERIFY(QFileInfo(installed(rel("dir"))).isDir());
    QVERIFY(QFileInfo(installed(rel("sub"))).isDir());
    // Four deletions of a quarter each, one after another.
    QVERIFY2(progress.join(' ').endsWith("0.25 0.50 0.75 1.00 1.00"), qPrintable(progress.join(' ')));
}

void DeletionTest::refusesEntriesOutside_data()
{
    QTest::addColumn<QString>("entry");
    // %1: the victim relative to the application directory, %2: absolute,
    // %3: the scratch directory.
    QTest::newRow("climbing out") << "%1";
    QTest::newRow("absolute") << "%2";
    QTest::newRow("climbing out of old") << "old/../%1";
    QTest::newRow("climbing out of a subdirectory") << "%3/x/../../%1";
}

void DeletionTest::refusesEntriesOutside()
{
    QFETCH(QString, entry);

    QTemporaryDir outside;
    const QString victim = outside.path() + "/victim.txt";
    QVERIFY(TestFiles::write(victim, "not ours"));
    entry.replace("%1", QDir(appRoot()).relativeFilePath(victim))
        .replace("%2", victim)
        .replace("%3", area);
    QVERIFY(TestFiles::write(installed(rel("ours.txt")), "ours"));
    QList<QString> deletions{entry, rel("ours.txt")};

    FileDeleteListTaskSpecification step(&deletions, nullptr, 0.05);
    const Outcome outcome = runTask(step);
    QCOMPARE(outcome.state, int(TaskState::Finished));
    const QString refusal =
        QStringLiteral("Refusing to delete '%1': the path leaves the application directory").arg(entry);
    QCOMPARE(outcome.messages, QStringList({"Starting deleting files", refusal}));
    QCOMPARE(TestFiles::read(victim), QByteArray("not ours"));
    QVERIFY(!QFileInfo::exists(installed(rel("ours.txt"))));
}

// The old copies that the installation step appends are deleted in the same
// run, after the entries the product ini named.
void DeletionTest::removesOldCopiesOfTheInstallation()
{
    QTemporaryDir work;
    Configuration config;
    config.tempDir = work.path();
    const QString library = rel("plugins/libx-" + token + ".so");
    QVERIFY(TestFiles::write(installed(library), "installed"));
    QVERIFY(TestFiles::write(work.path() + QLatin1Char('/') + library, "new"));
    QVERIFY(TestFiles::write(installed(rel("obsolete.txt")), "obsolete"));

    FileReplaceSpecification record;
    record.section = QStringLiteral("files");
    record.fileName = library;
    FileSpecifications specs;
    specs.replacements << record;
    specs.deletions << rel("obsolete.txt");

    FileReplaceListTaskSpecification install(&specs.replacements, &specs.deletions, &config, nullptr,
                                             0.4);
    QCOMPARE(runTask(install).state, int(TaskState::Finished));
    const QString oldCopy = "old/_old_libx-" + token + ".so";
    QCOMPARE(specs.deletions, QList<QString>({rel("obsolete.txt"), oldCopy}));
    QCOMPARE(TestFiles::read(installed(oldCopy)), QByteArray("installed"));

    FileDeleteListTaskSpecification deletion(&specs.deletions, nullptr, 0.05);
    QCOMPARE(runTask(deletion).state, int(TaskState::Finished));
    QVERIFY(!QFileInfo::exists(installed(oldCopy)));
    QVERIFY(!QFileInfo::exists(installed(rel("obsolete.txt"))));
    QCOMPARE(TestFiles::read(installed(library)), QByteArray("new"));
}

void DeletionTest::userAbortStopsBetweenDeletions()
{
    QList<QString> deletions;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        QVERIFY(TestFiles::write(installed(rel(QString::fromLatin1(name))), name));
        deletions << rel(QString::fromLatin1(name));
    }
    FileDeleteListTaskSpecification step(&deletions, nullptr, 0.05);
    const Outcome outcome = runTask(step, [&](qreal value) {
        if (value > 0.0 && !step.canceledByUser)
            step.userCanceled();
    });

    QCOMPARE(outcome.state, int(TaskState::UserCanceled));
    QVERIFY(!QFileInfo::exists(installed(rel("a.txt"))));
    QVERIFY(QFileInfo::exists(installed(rel("b.txt"))));
    QVERIFY(QFileInfo::exists(installed(rel("c.txt"))));
}

static TestRegistration registration("DeletionTest", [] { return new DeletionTest; });
#include "tst_deletion.moc"
