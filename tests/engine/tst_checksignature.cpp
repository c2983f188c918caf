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
    void md5CheckNeverReadsTheSignature();
    void cancelOnFail_data();
    void cancelOnFail();
    void checkDoneComesWhileStillRunning();
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
    QTest::addColumn<QString>("signature"); // "good", "none", "short", "huge", "other"
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

void CheckSignatureTest::md5CheckNeverReadsTheSignature()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("file");
    QVERIFY(TestFiles::write(path, "abc"));
    // A directory where the signature file would be: reading it would fail.
    QVERIFY(QDir().mkdir(path + ".sig"));
    CheckSigFunc check(path, TestFiles::md5("abc"));
    QSignalSpy messages(&check, &ASyncFunc::message);
    QVERIFY(check.run());
    QCOMPARE(messages.count(), 0);

    CheckSigFunc missing(dir.filePath("missing"), TestFiles::md5("abc"));
    QSignalSpy missingMessages(&missing, &ASyncFunc::message);
    QVERIFY(!missing.run());
    QCOMPARE(missingMessages.count(), 1);
    QCOMPARE(missingMessages.at(0).at(0).toString(),
             QStringLiteral("Could not open file %1 for reading").arg(dir.filePath("missing")));
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
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QTRY_COMPARE(finished.count() + canceled.count(), 1);
    QCOMPARE(task.state, expectedState);
    QCOMPARE(task.progress, expectedState == TaskState::Finished ? 0.5 : 0.0);
}

void CheckSignatureTest::checkDoneComesWhileStillRunning()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("file");
    QVERIFY(TestFiles::write(path, "abc"));
    CheckSignatureTaskSpecification task(path, TestFiles::md5("abc"), true, nullptr, 1.0);
    int stateAtCheckDone = -1;
    CheckSignatureTaskSpecification* sender = nullptr;
    connect(&task, &CheckSignatureTaskSpecification::checkDone, this,
            [&](bool, CheckSignatureTaskSpecification* which) {
                stateAtCheckDone = task.state;
                sender = which;
            });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait(5000));
    QCOMPARE(stateAtCheckDone, int(TaskState::Running));
    QCOMPARE(sender, &task);
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
