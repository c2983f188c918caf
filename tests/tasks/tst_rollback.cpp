#include "testregistry.h"

#include "rollback.h"
#include "taskspecification.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

class Receiver : public TaskSpecification
{
public:
    Receiver() : TaskSpecification(nullptr, 1.0) {}
    void execute() override {}
};

} // namespace

Q_DECLARE_METATYPE(RollbackData::Operation)

class RollbackTest : public QObject
{
    Q_OBJECT

private slots:
    void emptyJournalSucceedsSilently();
    void undoRename_data();
    void undoRename();
    void removesNestedDirectoriesChildFirst();
    void failingUndo_data();
    void failingUndo();
    void nullReceiverStillReportsFailure();
    void appendListKeepsOrder();
};

void RollbackTest::emptyJournalSucceedsSilently()
{
    Receiver receiver;
    QSignalSpy messages(&receiver, &TaskSpecification::message);
    RollbackDataList journal;
    QVERIFY(journal.rollback(&receiver));
    QCOMPARE(messages.count(), 0);
}

void RollbackTest::undoRename_data()
{
    QTest::addColumn<QString>("atOldName");
    QTest::addColumn<RollbackData::Operation>("operation");
    const RollbackData::Operation rename = RollbackData::Rename;
    QTest::newRow("a new file took the old name") << "new" << rename;
    QTest::newRow("the old name is a second name of the file") << "link" << rename;
    QTest::newRow("the old name stands empty") << "none" << rename;
    QTest::newRow("a file took the name of a directory") << "new, kept a directory" << rename;
    QTest::newRow("a file took the name of a moved directory")
        << "new, kept a directory" << RollbackData::MoveDir;
    QTest::newRow("what is left of a directory copied aside")
        << "remains, kept a directory" << RollbackData::MoveDir;
}

// However far an installation got, one step gives the file its old name
// back; the old name never stands empty on the way.
void RollbackTest::undoRename()
{
    QFETCH(QString, atOldName);
    QFETCH(RollbackData::Operation, operation);

    QTemporaryDir dir;
    const QString oldName = dir.filePath("lib.so");
    const QString newName = dir.filePath("_old_lib.so");
    const bool keptDirectory = atOldName.endsWith(QLatin1String("a directory"));
    const QString original = keptDirectory ? newName + "/inside" : newName;
    QVERIFY(TestFiles::write(original, "original"));
    if (atOldName.startsWith(QLatin1String("new")))
        QVERIFY(TestFiles::write(oldName, "new"));
    if (atOldName == QLatin1String("link"))
        QCOMPARE(::link(QFile::encodeName(newName).constData(), QFile::encodeName(oldName).constData()), 0);
    if (atOldName.startsWith(QLatin1String("remains")))
        QVERIFY(TestFiles::write(oldName + "/deep/partly removed", "left"));

    QVERIFY(RollbackData(operation, oldName, newName).rollback(nullptr));
    QCOMPARE(TestFiles::read(keptDirectory ? oldName + "/inside" : oldName), QByteArray("original"));
    QVERIFY(!QFileInfo::exists(newName));
    QVERIFY(!QFileInfo::exists(oldName + "/deep"));
}

void RollbackTest::removesNestedDirectoriesChildFirst()
{
    QTemporaryDir dir;
    const QString y = dir.filePath("x/y");
    const QString z = dir.filePath("x/y/z");
    QVERIFY(QDir().mkpath(z));
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateDir, y));
    journal.add(RollbackData(RollbackData::CreateDir, z));
    QVERIFY(journal.rollback(nullptr));
    QVERIFY(!QFileInfo::exists(y));
    QVERIFY(QFileInfo::exists(dir.filePath("x")));
}

void RollbackTest::failingUndo_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("warning");
    QTest::newRow("renamed file gone") << "rename" << "warning: rollback rename %1/old to %1/new failed";
    QTest::newRow("created file gone") << "file" << "warning: rollback create file %1/gone failed";
    QTest::newRow("created dir not empty") << "dir" << "warning: rollback create dir %1/full failed";
    // The name is not cleared for a directory that is not there to take it.
    QTest::newRow("moved directory gone") << "movedir" << "warning: rollback rename %1/stays to %1/gone failed";
}

// One undo in the middle fails: its warning goes out through the task's own
// message signal, the older records are still undone, the journal ends empty.
// Argument markers in the paths must not corrupt the warning.
void RollbackTest::failingUndo()
{
    QFETCH(QString, kind);
    QFETCH(QString, warning);

    QTemporaryDir dir;
    const QString root = dir.filePath("%2 %1");
    QVERIFY(TestFiles::write(root + "/older", "x"));
    QVERIFY(TestFiles::write(root + "/newer", "y"));

    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, root + "/older"));
    if (kind == QLatin1String("rename")) {
        journal.add(RollbackData(RollbackData::Rename, root + "/old", root + "/new"));
    } else if (kind == QLatin1String("file")) {
        journal.add(RollbackData(RollbackData::CreateFile, root + "/gone"));
    } else if (kind == QLatin1String("movedir")) {
        QVERIFY(TestFiles::write(root + "/stays", "x"));
        journal.add(RollbackData(RollbackData::MoveDir, root + "/stays", root + "/gone"));
    } else {
        QVERIFY(QDir().mkpath(root + "/full/child"));
        journal.add(RollbackData(RollbackData::CreateDir, root + "/full"));
    }
    journal.add(RollbackData(RollbackData::CreateFile, root + "/newer"));

    Receiver receiver;
    QSignalSpy messages(&receiver, &TaskSpecification::message);
    QVERIFY(!journal.rollback(&receiver));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), warning.arg(root));
    QVERIFY(!QFile::exists(root + "/older"));
    QVERIFY(!QFile::exists(root + "/newer"));
    QVERIFY(journal.records.isEmpty());
    QCOMPARE(QFile::exists(root + "/stays"), kind == QLatin1String("movedir"));
}

void RollbackTest::nullReceiverStillReportsFailure()
{
    RollbackDataList journal;
    journal.add(RollbackData(RollbackData::CreateFile, QStringLiteral("/nonexistent/file")));
    QVERIFY(!journal.rollback(nullptr));
}

// Undone newest first, the old content comes back.
void RollbackTest::appendListKeepsOrder()
{
    QTemporaryDir dir;
    const QString a = dir.filePath("a");
    const QString b = dir.filePath("b");
    QVERIFY(TestFiles::write(a, "original"));

    // One file's own journal, merged into the phase journal, then more work.
    RollbackDataList fileJournal;
    QVERIFY(QFile::rename(a, b));
    fileJournal.add(RollbackData(RollbackData::Rename, a, b));
    QVERIFY(TestFiles::write(a, "new"));
    fileJournal.add(RollbackData(RollbackData::CreateFile, a));

    RollbackDataList phase;
    phase.appendList(fileJournal);
    QCOMPARE(fileJournal.records.count(), 2);
    QVERIFY(QDir().mkdir(dir.filePath("later")));
    phase.add(RollbackData(RollbackData::CreateDir, dir.filePath("later")));

    QVERIFY(phase.rollback(nullptr));
    QCOMPARE(TestFiles::read(a), QByteArray("original"));
    QVERIFY(!QFileInfo::exists(dir.filePath("later")));
}

static TestRegistration registration("RollbackTest", [] { return new RollbackTest; });

#include "tst_rollback.moc"
