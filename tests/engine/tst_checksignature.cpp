#include "testregistry.h"

#include "checksignaturetaskspecification.h"
#include "signing.h"
#include "testfiles.h"
#include "tomcryptutil.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>

class CheckSignatureTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void check_data();
    void check();
    void cancelOnFail_data();
    void cancelOnFail();
    void resultAfterResetIsDropped();
};

void CheckSignatureTest::initTestCase()
{
    crypt_init();
}

void CheckSignatureTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
}

// %1 in an expected message is the checked file's path.
void CheckSignatureTest::check_data()
{
    const QByteArray content("release file content\n");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expectedMd5");
    // "good", "none", "short", "huge", "other"; "directory" where the file
    // would be, which reading it would fail; "no file": not even the file.
    QTest::addColumn<QString>("signature");
    QTest::addColumn<bool>("passes");
    QTest::addColumn<QStringList>("messages");

    const QStringList failed{"Signature check failed for %1"};
    const QString md5 = TestFiles::md5(content);
    QTest::newRow("md5 matches") << content << md5 << "none" << true << QStringList();
    QTest::newRow("upper-case md5 matches") << content << md5.toUpper() << "none" << true
                                            << QStringList();
    QTest::newRow("empty file, md5 of nothing") << QByteArray() << TestFiles::md5(QByteArray()) << "none"
                                                << true << QStringList();
    QTest::newRow("md5 differs") << content << TestFiles::md5("other") << "none" << false << failed;
    QTest::newRow("md5 with a blank never matches") << content << md5 + " " << "none" << false
                                                    << failed;
    QTest::newRow("md5 check never reads the signature") << content << md5 << "directory" << true
                                                         << QStringList();
    QTest::newRow("file missing, md5 given") << content << md5 << "no file" << false
                                             << (QStringList{"Could not open file %1 for reading"} + failed);
    QTest::newRow("signature matches") << content << QString() << "good" << true << QStringList();
    QTest::newRow("signature of empty content") << QByteArray() << QString() << "good" << true
                                                << QStringList();
    QTest::newRow("signature of other content") << content << QString() << "other" << false << failed;
    QTest::newRow("signature file missing")
        << content << QString() << "none" << false
        << (QStringList{"Could not open file %1.sig for reading"} + failed);
    QTest::newRow("signature of the wrong length") << content << QString() << "short" << false << failed;
    QTest::newRow("oversized signature file refused") << content << QString() << "huge" << false << failed;
}

void CheckSignatureTest::check()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expectedMd5);
    QFETCH(QString, signature);
    QFETCH(bool, passes);
    QFETCH(QStringList, messages);

    QTemporaryDir dir;
    const QString path = dir.filePath("file");
    QVERIFY(TestFiles::write(path, content));
    if (signature == QLatin1String("good"))
        QVERIFY(TestFiles::write(path + ".sig", Signing::signature(content)));
    else if (signature == QLatin1String("other"))
        QVERIFY(TestFiles::write(path + ".sig", Signing::signature("other content")));
    else if (signature == QLatin1String("short"))
        QVERIFY(TestFiles::write(path + ".sig", Signing::signature(content).left(127)));
    else if (signature == QLatin1String("huge"))
        QVERIFY(TestFiles::write(path + ".sig",
                                 Signing::signature(content) + QByteArray(64 * 1024, '\0')));
    else if (signature == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(path + ".sig"));
    else if (signature == QLatin1String("no file"))
        QVERIFY(QFile::remove(path));

    CheckSignatureTaskSpecification task(path, expectedMd5, false, nullptr, 1.0);
    QStringList lines;
    connect(&task, &TaskSpecification::message, this, [&](const QString& line) { lines << line; });
    QSignalSpy done(&task, &CheckSignatureTaskSpecification::checkDone);
    task.execute();
    QVERIFY(done.wait(5000));
    QCOMPARE(done.at(0).at(0).toBool(), passes);
    for (QString& line : messages)
        line = line.arg(path);
    QCOMPARE(lines, messages);
}

void CheckSignatureTest::cancelOnFail_data()
{
    QTest::addColumn<bool>("cancelOnFail");
    QTest::addColumn<bool>("passes");
    QTest::addColumn<int>("expectedState");
    QTest::newRow("fail, cancel") << true << false << int(TaskState::ErrorCanceled);
    QTest::newRow("fail, finish") << false << false << int(TaskState::Finished);
    QTest::newRow("pass, cancel on fail") << true << true << int(TaskState::Finished);
}

void CheckSignatureTest::cancelOnFail()
{
    QFETCH(bool, cancelOnFail);
    QFETCH(bool, passes);
    QFETCH(int, expectedState);

    QTemporaryDir dir;
    const QString path = dir.filePath("file");
    QVERIFY(TestFiles::write(path, "abc"));
    CheckSignatureTaskSpecification task(path, TestFiles::md5(passes ? "abc" : "x"), cancelOnFail,
                                         nullptr, 0.5);
    // checkDone comes from the task itself, before it ends.
    QList<int> statesAtCheckDone;
    connect(&task, &CheckSignatureTaskSpecification::checkDone, this,
            [&](bool, CheckSignatureTaskSpecification* which) {
                statesAtCheckDone << (which == &task ? task.state : -1);
            });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(task.state, expectedState);
    QCOMPARE(task.progress, expectedState == TaskState::Finished ? 0.5 : 0.0);
    QCOMPARE(statesAtCheckDone, QList<int>{int(TaskState::Running)});
}

void CheckSignatureTest::resultAfterResetIsDropped()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("file");
    QVERIFY(TestFiles::write(path, "abc"));
    CheckSignatureTaskSpecification task(path, TestFiles::md5("abc"), true, nullptr, 1.0);
    QSignalSpy done(&task, &CheckSignatureTaskSpecification::checkDone);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    task.execute();
    task.reset();
    QCoreApplication::processEvents();
    QCOMPARE(done.count(), 0);
    QCOMPARE(task.state, int(TaskState::Idle));
    QCOMPARE(progress.count(), 1);
}

static TestRegistration registration("CheckSignatureTest", [] { return new CheckSignatureTest; });

#include "tst_checksignature.moc"
