#include "testregistry.h"

#include "checksignaturetaskspecification.h"
#include "downloadfilelisttaskspecification.h"
#include "downloadfiletaskspecification.h"
#include "downloadfixture.h"
#include "downloadtaskspecification.h"
#include "hangingresolver.h"
#include "signing.h"
#include "testfiles.h"
#include "tomcryptutil.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>
#include <QThreadPool>
#include <QTimer>

namespace {

const QString Section = QStringLiteral("client");

QByteArray contentOf(const QString& fileName, int size)
{
    QByteArray bytes = fileName.toLatin1();
    while (bytes.size() < size)
        bytes += bytes;
    return bytes.left(size);
}

QString requestPath(const QString& prefix, const QString& fileName)
{
    return prefix + QStringLiteral("/7/") + Section + QLatin1Char('/') + fileName;
}

} // namespace

class FileDownloadsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void emptyListNeedsNoDownload();
    void directoryThatCannotBeMadeEndsTheStep();
    void oneStreamKeepsListOrder();
    void sixStreamsRunSixAtOnce();
    void badFileIsFetchedFromAnotherMirror_data();
    void badFileIsFetchedFromAnotherMirror();
    void failingStepFetchesNothingMoreAsACheckFails_data();
    void failingStepFetchesNothingMoreAsACheckFails();
    void userAbort_data();
    void userAbort();
    void entryWithoutMd5IsCheckedAgainstItsSignature_data();
    void entryWithoutMd5IsCheckedAgainstItsSignature();
    void slowNameLookupsCostOnlyTheirOwnAttempts();
    void cancelIsPromptWhileNamesAreLookedUp();

private:
    // Mirrors slow1, slow2, ... whose host names are looked up without end;
    // their first error removes them.
    void addSlowMirrors(int count, int timeoutTicks);
    // Lists the file and serves it (or `served`) below every mirror prefix given.
    void addFile(const QString& fileName, const QByteArray& content, const QStringList& prefixes,
                 bool withMd5 = true);
    std::unique_ptr<DownloadFileListTaskSpecification> makeStep(int streams);
    QString local(const QString& fileName) const { return fixture->workDir.filePath(fileName); }

    std::unique_ptr<DownloadFixture> fixture;
    QList<FileDownloadSpecification> downloads;
};

void FileDownloadsTest::initTestCase()
{
    crypt_init();
}

void FileDownloadsTest::init()
{
    fixture = std::make_unique<DownloadFixture>();
    QVERIFY(fixture->start());
    downloads.clear();
}

void FileDownloadsTest::cleanup()
{
    QThreadPool::globalInstance()->waitForDone();
    fixture.reset();
}

void FileDownloadsTest::addFile(const QString& fileName, const QByteArray& content,
                                const QStringList& prefixes, bool withMd5)
{
    FileDownloadSpecification record;
    record.section = Section;
    record.fileName = fileName;
    record.md5 = withMd5 ? TestFiles::md5(content) : QString();
    record.size = quint64(content.size());
    downloads.append(record);
    // Qt sends the path cleaned of "./".
    for (const QString& prefix : prefixes)
        fixture->server.setResponse(requestPath(prefix, QDir::cleanPath(fileName)),
                                    FakeMirror::Response::ok(content));
}

std::unique_ptr<DownloadFileListTaskSpecification> FileDownloadsTest::makeStep(int streams)
{
    fixture->config.streams = streams;
    auto step = std::make_unique<DownloadFileListTaskSpecification>(
        &downloads, &fixture->manager, &fixture->mirrors, &fixture->config, nullptr);
    fixture->follow(step.get());
    return step;
}

void FileDownloadsTest::emptyListNeedsNoDownload()
{
    fixture->addMirror(QStringLiteral("m1"));
    auto step = makeStep(6);
    QSignalSpy finished(step.get(), &TaskSpecification::finished);
    step->execute();

    QCOMPARE(finished.count(), 1);
    QCOMPARE(step->state, int(TaskState::Finished));
    QCOMPARE(fixture->log, QStringList{"No downloads needed"});
    QCOMPARE(QDir(fixture->workDir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList());
}

void FileDownloadsTest::directoryThatCannotBeMadeEndsTheStep()
{
    addFile(QStringLiteral("a.bin"), "a", {QString()});
    addFile(QStringLiteral("x/y/b.bin"), "b", {QString()});
    fixture->addMirror(QStringLiteral("m1"));
    QVERIFY(TestFiles::write(local(QStringLiteral("x")), QByteArray()));

    auto step = makeStep(6);
    QSignalSpy canceled(step.get(), &TaskSpecification::canceled);
    step->execute();

    QCOMPARE(canceled.count(), 1);
    QCOMPARE(step->state, int(TaskState::ErrorCanceled));
    const QString workDir = QDir(fixture->workDir.path()).canonicalPath();
    QCOMPARE(fixture->log, QStringList{"Could not create dir " + workDir + "/x/y"});
    QVERIFY(step->findChildren<TaskSpecification*>().isEmpty());
}

// Files land in their subdirectories, one after another in list order; the
// byte total is the sum of the listed sizes from the first tick on.
void FileDownloadsTest::oneStreamKeepsListOrder()
{
    const QStringList names{"d.bin", "x/b.bin", "x/y/c.bin", "empty.bin", "a.bin"};
    const QList<int> sizes{20000, 7000, 9000, 0, 20000};
    QStringList expected;
    for (int i = 0; i < names.size(); ++i) {
        addFile(names[i], contentOf(names[i], sizes[i]), {QString()});
        expected << requestPath(QString(), names[i]);
    }
    fixture->addMirror(QStringLiteral("m1"));
    fixture->addMirror(QStringLiteral("m2"));
    auto step = makeStep(1);
    QSignalSpy finished(step.get(), &TaskSpecification::finished);
    step->execute();

    quint64 done = 0, total = 0, speed = 0;
    bool downloading = true;
    step->timeTick(done, total, speed, downloading);
    QCOMPARE(total, quint64(56000));
    QCOMPARE(done, quint64(0));
    QVERIFY(!downloading);
    // Every file weighs the same; within a file the download weighs 0.8.
    const QList<DownloadFileTaskSpecification*> files =
        step->findChildren<DownloadFileTaskSpecification*>(Qt::FindDirectChildrenOnly);
    QCOMPARE(files.size(), 5);
    for (const DownloadFileTaskSpecification* file : files)
        QCOMPARE(file->progressRange, 0.2);
    QVERIFY(finished.wait(20000));

    QCOMPARE(step->state, int(TaskState::Finished));
    for (int i = 0; i < names.size(); ++i)
        QCOMPARE(TestFiles::read(local(names[i])), contentOf(names[i], sizes[i]));
    step->timeTick(done, total, speed, downloading);
    QCOMPARE(total, quint64(56000));
    QCOMPARE(done, quint64(56000));
    QCOMPARE(fixture->server.requestedPaths(), expected);
    QCOMPARE(fixture->server.maxConcurrentRequests(), 1);
    // Each file is checked before the next one starts.
    QStringList order = fixture->log.filter(QStringLiteral("Downloading "));
    QCOMPARE(order.size(), 11);
    QCOMPARE(order.first(), QStringLiteral("Downloading files"));
    for (int i = 0; i < names.size(); ++i) {
        QCOMPARE(order.at(1 + 2 * i), "Downloading client/" + names[i]);
        QCOMPARE(order.at(2 + 2 * i), "Downloading client/" + names[i] + " finished");
    }
}

void FileDownloadsTest::sixStreamsRunSixAtOnce()
{
    QStringList prefixes;
    for (int i = 0; i < 6; ++i) {
        prefixes << QStringLiteral("/m%1").arg(i);
        fixture->addMirror(QStringLiteral("m%1").arg(i), 2, prefixes.last());
    }
    for (int i = 0; i < 8; ++i)
        addFile(QStringLiteral("f%1.bin").arg(i), contentOf(QString::number(i), 5000), prefixes);
    FakeMirror::Response held;
    held.hold = true;
    for (const QString& prefix : std::as_const(prefixes)) {
        for (int i = 0; i < 8; ++i) {
            held.body = contentOf(QString::number(i), 5000);
            fixture->server.setResponse(requestPath(prefix, QStringLiteral("f%1.bin").arg(i)), held);
        }
    }
    auto step = makeStep(6);
    QSignalSpy finished(step.get(), &TaskSpecification::finished);
    step->execute();
    QTRY_COMPARE(fixture->server.heldCount(), 6);
    QCOMPARE(fixture->server.activeRequests(), 6);

    while (finished.isEmpty()) {
        fixture->server.releaseAll();
        QTRY_VERIFY(!finished.isEmpty() || fixture->server.heldCount() > 0);
    }
    QCOMPARE(step->state, int(TaskState::Finished));
    QCOMPARE(fixture->server.maxConcurrentRequests(), 6);
    QCOMPARE(fixture->server.requestedPaths().size(), 8);
    for (int i = 0; i < 8; ++i)
        QCOMPARE(TestFiles::read(local(QStringLiteral("f%1.bin").arg(i))),
                 contentOf(QString::number(i), 5000));
}

void FileDownloadsTest::badFileIsFetchedFromAnotherMirror_data()
{
    QTest::addColumn<bool>("otherMirror");
    QTest::newRow("another mirror") << true;
    QTest::newRow("no other mirror") << false;
}

void FileDownloadsTest::badFileIsFetchedFromAnotherMirror()
{
    QFETCH(bool, otherMirror);

    const QByteArray content = contentOf(QStringLiteral("good"), 10000);
    addFile(QStringLiteral("sub/file.bin"), content, {QStringLiteral("/good")});
    fixture->server.setResponse(requestPath(QStringLiteral("/bad"), QStringLiteral("sub/file.bin")),
                                FakeMirror::Response::ok(FakeMirror::corrupted(content)));
    fixture->addMirror(QStringLiteral("bad"), 2, QStringLiteral("/bad"));
    if (otherMirror)
        fixture->addMirror(QStringLiteral("good"), 2, QStringLiteral("/good"));
    DownloadFixture::seedSoThatFirstChoiceIs(0, int(fixture->mirrors.mirrors.size()));

    auto step = makeStep(6);
    QSignalSpy ended(step.get(), otherMirror ? &TaskSpecification::finished : &TaskSpecification::canceled);
    step->execute();
    QVERIFY(ended.wait(20000));

    const QString retry = QStringLiteral("md5 sum for sub/file.bin failed, invalidating mirror and retrying");
    QCOMPARE(fixture->log.count(retry), 1);
    const int failedAt =
        fixture->log.indexOf("Signature check failed for " + local(QStringLiteral("sub/file.bin")));
    QVERIFY(failedAt >= 0);
    QCOMPARE(fixture->log.indexOf(retry), failedAt + 1);
    QCOMPARE(fixture->server.requestCount(
                 requestPath(QStringLiteral("/bad"), QStringLiteral("sub/file.bin"))),
             1);
    if (otherMirror) {
        QCOMPARE(step->state, int(TaskState::Finished));
        QCOMPARE(TestFiles::read(local(QStringLiteral("sub/file.bin"))), content);
        QCOMPARE(fixture->mirrors.mirrors.size(), 1);
        QCOMPARE(fixture->mirrors.mirrors.first().name, QStringLiteral("good"));
    } else {
        QCOMPARE(step->state, int(TaskState::ErrorCanceled));
        QCOMPARE(fixture->log.last(),
                 QStringLiteral("There are no (more) known working mirrors available"));
        QVERIFY(fixture->mirrors.mirrors.isEmpty());
    }
}

void FileDownloadsTest::failingStepFetchesNothingMoreAsACheckFails_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::addColumn<int>("endState");
    QTest::newRow("user abort") << true << int(TaskState::UserCanceled);
    QTest::newRow("a sibling's error") << false << int(TaskState::ErrorCanceled);
}

// A file's check fails after the step has begun to fail: the file's task
// ends there instead of fetching it again.
void FileDownloadsTest::failingStepFetchesNothingMoreAsACheckFails()
{
    QFETCH(bool, byUser);
    QFETCH(int, endState);

    const QByteArray content = contentOf(QStringLiteral("good"), 10000);
    addFile(QStringLiteral("file.bin"), content, {QStringLiteral("/good")});
    fixture->server.setResponse(requestPath(QStringLiteral("/bad"), QStringLiteral("file.bin")),
                                FakeMirror::Response::ok(FakeMirror::corrupted(content)));
    // The sibling's transfer is still under way when the check fails.
    FakeMirror::Response held = FakeMirror::Response::ok("sibling");
    held.hold = true;
    addFile(QStringLiteral("sibling.bin"), held.body, {});
    for (const QString prefix : {"/bad", "/good"})
        fixture->server.setResponse(requestPath(prefix, QStringLiteral("sibling.bin")), held);
    fixture->addMirror(QStringLiteral("bad"), 2, QStringLiteral("/bad"));
    fixture->addMirror(QStringLiteral("good"), 2, QStringLiteral("/good"));
    DownloadFixture::seedSoThatFirstChoiceIs(0, 2);

    auto step = makeStep(6);
    // The failing check is still running when it says so.
    connect(step.get(), &TaskSpecification::message, this, [&](const QString& text) {
        if (!text.startsWith(QLatin1String("Signature check failed")))
            return;
        if (byUser) {
            step->userCanceled();
            return;
        }
        // The sibling ends in an error (its download aborted), and the
        // step passes the cancellation on to the others.
        const auto files =
            step->findChildren<DownloadFileTaskSpecification*>(Qt::FindDirectChildrenOnly);
        files.at(1)->handleOtherTaskCancelled(nullptr);
    });
    QSignalSpy canceled(step.get(), &TaskSpecification::canceled);
    step->execute();
    QVERIFY(canceled.wait(20000));

    QCOMPARE(step->state, endState);
    QVERIFY(fixture->log.contains(
        QStringLiteral("md5 sum for file.bin failed, invalidating mirror and retrying")));
    QCOMPARE(fixture->mirrorNames(), QStringList{"good"});
    // The step ends once no file task runs; a new download would have
    // kept it running up to its own end.
    QCOMPARE(fixture->server.requestedPaths().size(), 2);
}

void FileDownloadsTest::userAbort_data()
{
    QTest::addColumn<int>("streams");
    QTest::addColumn<int>("endState");
    QTest::newRow("one transfer") << 1 << int(TaskState::UserCanceled);
    QTest::newRow("three transfers") << 3 << int(TaskState::ErrorCanceled);
}

void FileDownloadsTest::userAbort()
{
    QFETCH(int, streams);
    QFETCH(int, endState);

    QStringList prefixes;
    for (int i = 0; i < 3; ++i) {
        prefixes << QStringLiteral("/m%1").arg(i);
        fixture->addMirror(QStringLiteral("m%1").arg(i), 2, prefixes.last());
    }
    const QStringList names{"a.bin", "b.bin", "c.bin", "d.bin"};
    FakeMirror::Response held;
    held.hold = true;
    for (const QString& name : names) {
        addFile(name, contentOf(name, 4000), {});
        held.body = contentOf(name, 4000);
        for (const QString& prefix : std::as_const(prefixes))
            fixture->server.setResponse(requestPath(prefix, name), held);
    }
    auto step = makeStep(streams);
    QSignalSpy canceled(step.get(), &TaskSpecification::canceled);
    step->execute();
    QTRY_COMPARE(fixture->server.heldCount(), streams);

    step->userCanceled();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(step->state, endState);
    const QList<DownloadFileTaskSpecification*> files =
        step->findChildren<DownloadFileTaskSpecification*>(Qt::FindDirectChildrenOnly);
    QCOMPARE(files.first()->state, int(TaskState::UserCanceled));
    QCOMPARE(fixture->log.filter(QStringLiteral("Abort downloading")).size(), streams - 1);
    for (int i = 1; i < streams; ++i)
        QCOMPARE(files.at(i)->state, int(TaskState::ErrorCanceled));
    for (const QString& name : names)
        QVERIFY2(!QFile::exists(local(name)), qPrintable(name));
    QTest::qWait(100);
    QCOMPARE(fixture->server.requestedPaths().size(), streams);
}

void FileDownloadsTest::entryWithoutMd5IsCheckedAgainstItsSignature_data()
{
    QTest::addColumn<int>("streams");
    // How the product ini lists the signature: not at all, as the file's
    // name + ".sig", or as the same path spelled differently.
    QTest::addColumn<QString>("listing");
    // What the mirrors serve: the release's pair, the file with a broken
    // signature, or an older release's pair that the maker signed too.
    QTest::addColumn<QString>("served");
    QTest::newRow("1 stream") << 1 << "none" << "good";
    QTest::newRow("6 streams") << 6 << "none" << "good";
    QTest::newRow("1 stream, signature listed") << 1 << "same" << "good";
    QTest::newRow("6 streams, signature listed") << 6 << "same" << "good";
    QTest::newRow("signature listed, spelled differently") << 6 << "spelled differently" << "good";
    QTest::newRow("bad signature") << 6 << "none" << "bad";
    QTest::newRow("older signed pair, signature listed") << 6 << "same" << "older";
}

// The signature must be there, complete, whenever the check reads it.
void FileDownloadsTest::entryWithoutMd5IsCheckedAgainstItsSignature()
{
    QFETCH(int, streams);
    QFETCH(QString, listing);
    QFETCH(QString, served);

    const QString name = QStringLiteral("lib/signed.so");
    const QString listedName = listing == QLatin1String("spelled differently") ? "./" + name : name;
    const QByteArray content = contentOf(name, 300000);
    const QByteArray signature = Signing::signature(content);
    addFile(QStringLiteral("first.bin"), contentOf("first", 1000), {QString()});
    addFile(listedName, content, {QString()}, false);
    const bool signatureListed = listing != QLatin1String("none");
    if (signatureListed)
        addFile(name + ".sig", signature, {QString()});
    addFile(QStringLiteral("other.bin"), contentOf("other", 1000), {QString()});
    QByteArray servedSignature = signature;
    if (served == QLatin1String("bad")) {
        servedSignature = FakeMirror::corrupted(signature);
    } else if (served == QLatin1String("older")) {
        const QByteArray older = contentOf("older release", content.size());
        fixture->server.setResponse(requestPath(QString(), name), FakeMirror::Response::ok(older));
        servedSignature = Signing::signature(older);
    }
    fixture->server.setResponse(requestPath(QString(), name + ".sig"),
                                FakeMirror::Response::ok(servedSignature));
    for (int i = 0; i < streams; ++i)
        fixture->addMirror(QStringLiteral("m%1").arg(i));

    auto step = makeStep(streams);
    QSignalSpy finished(step.get(), &TaskSpecification::finished);
    QSignalSpy canceled(step.get(), &TaskSpecification::canceled);
    step->execute();
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty() || !canceled.isEmpty(), 20000);

    if (served != QLatin1String("good")) {
        // Every mirror that served the pair is dropped, until none is left.
        QCOMPARE(step->state, int(TaskState::ErrorCanceled));
        QVERIFY(fixture->log.contains("md5 sum for " + listedName
                                      + " failed, invalidating mirror and retrying"));
        QVERIFY(fixture->mirrors.mirrors.isEmpty());
        return;
    }
    QCOMPARE(step->state, int(TaskState::Finished));
    QVERIFY(fixture->log.filter(QStringLiteral("failed")).isEmpty());
    QCOMPARE(TestFiles::read(local(name)), content);
    QCOMPARE(TestFiles::read(local(name + ".sig")), signature);
    // One task fetches the signature, just after its file.
    QCOMPARE(fixture->server.requestedPaths().filter(QStringLiteral(".sig")),
             QStringList{requestPath(QString(), name + ".sig")});
    QCOMPARE(fixture->server.requestedPaths().size(), 4);
    const QStringList order = fixture->log.filter(QStringLiteral("signed.so"));
    QCOMPARE(order, (QStringList{"Downloading client/" + listedName,
                                 "Downloading client/" + listedName + " finished",
                                 "Downloading client/" + listedName + ".sig",
                                 "Downloading client/" + listedName + ".sig finished"}));
    // A listed signature counts in the byte total like any listed file.
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    step->timeTick(done, total, speed, downloading);
    const quint64 listed = 2000 + quint64(content.size()) + (signatureListed ? quint64(signature.size()) : 0);
    QCOMPARE(total, listed);
    QCOMPARE(done, listed);
}

void FileDownloadsTest::addSlowMirrors(int count, int timeoutTicks)
{
    for (int i = 1; i <= count; ++i) {
        FTPSiteAccessData mirror;
        mirror.name = QStringLiteral("slow%1").arg(i);
        mirror.url = QStringLiteral("http://slow%1.mirror.test:%2/%3")
                         .arg(QString::number(i), QString::number(fixture->server.port()),
                              DownloadFixture::Version);
        mirror.timeoutTicks = timeoutTicks;
        fixture->mirrors.mirrors.append(mirror);
    }
}

// Attempts on names whose look-up never ends time out and go, and the good
// mirror, ticked as often as they are, delivers every file without one
// time-out charged: dropping an attempt does not wait for its look-up.
void FileDownloadsTest::slowNameLookupsCostOnlyTheirOwnAttempts()
{
    HangingResolver resolver;
    if (!PrivateMounts::unavailableReason().isEmpty())
        QSKIP(qPrintable(PrivateMounts::unavailableReason()));
    QVERIFY2(resolver.start(), qPrintable(resolver.errorString()));
    fixture->addMirror(QStringLiteral("good"));
    // Ticks here come every 200 ms: the good mirror may idle for 3 s, far
    // less than a look-up takes, and the slow ones for 400 ms.
    fixture->mirrors.mirrors.last().timeoutTicks = 15;
    addSlowMirrors(3, 2);
    for (int i = 0; i < 8; ++i)
        addFile(QStringLiteral("f%1.bin").arg(i), contentOf(QString::number(i), 5000), {QString()});

    auto step = makeStep(4);
    QTimer ticks;
    connect(&ticks, &QTimer::timeout, step.get(), [&step] {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        step->timeTick(done, total, speed, downloading);
    });
    ticks.start(200);
    step->execute();
    QTRY_VERIFY_WITH_TIMEOUT(step->state != int(TaskState::Running), 15000);

    QCOMPARE(fixture->log.filter(QStringLiteral("timed out on mirror good")), QStringList());
    QCOMPARE(step->state, int(TaskState::Finished));
    QCOMPARE(fixture->mirrorNames(), QStringList{"good"});
    QCOMPARE(fixture->mirror(QStringLiteral("good"))->errors, 0);
    QCOMPARE(fixture->log.filter(QStringLiteral("timed out on mirror slow")).size(), 3);
    QVERIFY(resolver.queriesReceived() > 0);
}

// Nothing a look-up does holds the end of the transfers that wait for it.
void FileDownloadsTest::cancelIsPromptWhileNamesAreLookedUp()
{
    HangingResolver resolver;
    if (!PrivateMounts::unavailableReason().isEmpty())
        QSKIP(qPrintable(PrivateMounts::unavailableReason()));
    QVERIFY2(resolver.start(), qPrintable(resolver.errorString()));
    addSlowMirrors(3, 15);
    for (int i = 0; i < 3; ++i)
        addFile(QStringLiteral("f%1.bin").arg(i), contentOf(QString::number(i), 5000), {});
    auto step = makeStep(3);
    step->execute();
    QTRY_VERIFY(resolver.queriesReceived() >= 3);

    QElapsedTimer clock;
    clock.start();
    step->userCanceled();
    step.reset();
    fixture.reset();
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
}

static TestRegistration registration("FileDownloadsTest", [] { return new FileDownloadsTest; });
#include "tst_filedownloads.moc"
