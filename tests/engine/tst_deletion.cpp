#include "testregistry.h"

#include "appdirscratch.h"
#include "configuration.h"
#include "filedeletelisttaskspecification.h"
#include "taskrun.h"
#include "testfiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

#include <memory>

class DeletionTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void deletesWhatItCanInListOrder();
    void refusesEntriesOutside_data();
    void refusesEntriesOutside();
    void userAbortStopsBetweenDeletions();

private:
    QString rel(const QString& path) const { return scratch->rel(path); }
    static QString installed(const QString& relative) { return AppDirScratch::installed(relative); }

    std::unique_ptr<AppDirScratch> scratch;
};

void DeletionTest::init()
{
    scratch = std::make_unique<AppDirScratch>(QStringLiteral("deletetest"));
    QVERIFY(scratch->isValid());
}

void DeletionTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
    scratch.reset();
}

// Missing files and directories named for deletion are passed over in
// silence; the rest of the list is still worked through. A directory the
// run moved aside goes whole, but no link in it is followed.
void DeletionTest::deletesWhatItCanInListOrder()
{
    QTemporaryDir outside;
    QVERIFY(TestFiles::write(outside.filePath("dir/kept.txt"), "not ours"));
    QVERIFY(TestFiles::write(installed(rel("one.txt")), "one"));
    QVERIFY(QDir().mkpath(installed(rel("dir"))));
    QVERIFY(TestFiles::write(installed(rel("sub/two.txt")), "two"));
    QVERIFY(TestFiles::write(installed(rel("moved/deep/three.txt")), "three"));
    QVERIFY(QFile::link(outside.filePath("dir"), installed(rel("moved/deep/link"))));
    QList<QString> deletions{rel("one.txt"), rel("missing.txt"), rel("dir"), rel("sub/two.txt")};
    QList<QString> directories{rel("moved")};

    QStringList progress;
    FileDeleteListTaskSpecification step(&deletions, &directories, nullptr, 0.05);
    connect(&step, &TaskSpecification::updateProgress, this,
            [&](qreal value) { progress << QString::number(value / 0.05, 'f', 2); });
    TaskRun run(step);
    QCOMPARE(run.run(), int(TaskState::Finished));
    QCOMPARE(run.messages, QStringList{"Starting deleting files"});
    QCOMPARE(QDir(installed(scratch->name())).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             (QStringList{"dir", "sub"}));
    QVERIFY(QDir(installed(rel("sub"))).isEmpty());
    QCOMPARE(TestFiles::read(outside.filePath("dir/kept.txt")), QByteArray("not ours"));
    // Five deletions of a fifth each, one after another.
    QVERIFY2(progress.join(' ').endsWith("0.20 0.40 0.60 0.80 1.00 1.00"), qPrintable(progress.join(' ')));
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
    entry.replace("%1", QDir(Configuration::getAppRootPath()).relativeFilePath(victim))
        .replace("%2", victim)
        .replace("%3", scratch->name());
    QVERIFY(TestFiles::write(installed(rel("ours.txt")), "ours"));
    QList<QString> deletions{entry, rel("ours.txt")};

    QList<QString> noDirectories;
    FileDeleteListTaskSpecification step(&deletions, &noDirectories, nullptr, 0.05);
    TaskRun run(step);
    QCOMPARE(run.run(), int(TaskState::Finished));
    const QString refusal =
        QStringLiteral("Refusing to delete '%1': the path leaves the application directory").arg(entry);
    QCOMPARE(run.messages, QStringList({"Starting deleting files", refusal}));
    QCOMPARE(TestFiles::read(victim), QByteArray("not ours"));
    QVERIFY(!QFileInfo::exists(installed(rel("ours.txt"))));
}

void DeletionTest::userAbortStopsBetweenDeletions()
{
    QList<QString> deletions;
    for (const char* name : {"a.txt", "b.txt", "c.txt"}) {
        QVERIFY(TestFiles::write(installed(rel(QString::fromLatin1(name))), name));
        deletions << rel(QString::fromLatin1(name));
    }
    QList<QString> noDirectories;
    FileDeleteListTaskSpecification step(&deletions, &noDirectories, nullptr, 0.05);
    connect(&step, &TaskSpecification::updateProgress, this, [&](qreal value) {
        if (value > 0.0 && !step.canceledByUser)
            step.userCanceled();
    });
    QCOMPARE(TaskRun(step).run(), int(TaskState::UserCanceled));
    QVERIFY(!QFileInfo::exists(installed(rel("a.txt"))));
    QVERIFY(QFileInfo::exists(installed(rel("b.txt"))));
    QVERIFY(QFileInfo::exists(installed(rel("c.txt"))));
}

static TestRegistration registration("DeletionTest", [] { return new DeletionTest; });
#include "tst_deletion.moc"
