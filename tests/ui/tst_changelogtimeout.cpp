#include "testregistry.h"

#include "appdirfiles.h"
#include "changelogviewer.h"
#include "fakemirror.h"
#include "platformrecorder.h"
#include "randomgenerator.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>

// Waits for the change log viewer's real two-second time-out.
class ChangeLogTimeoutTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void abortsAttemptAfterTwoSecondsEvenWhileDataArrives();
};

void ChangeLogTimeoutTest::cleanup()
{
    if (ChangeLogViewer::instance())
        ChangeLogViewer::instance()->close();
    QTRY_VERIFY(!ChangeLogViewer::instance());
    AppDirFiles::removeIniFiles();
}

void ChangeLogTimeoutTest::abortsAttemptAfterTwoSecondsEvenWhileDataArrives()
{
    PlatformRecorder recorder;
    const QString logPath = QStringLiteral("/12/changelog_client.txt");
    FakeMirror slow;
    FakeMirror fast;
    QVERIFY(slow.start(30000));
    QVERIFY(fast.start(30000));
    // Ten seconds of one byte every 50 ms.
    FakeMirror::Response trickle = FakeMirror::Response::ok(QByteArray(200, 'x'));
    trickle.trickleBytes = 1;
    trickle.trickleIntervalMs = 50;
    slow.setResponse(logPath, trickle);
    fast.setResponse(logPath, FakeMirror::Response::ok("fast log"));
    AppDirFiles::writeMirrorsIni({{QStringLiteral("slow"), slow.baseUrl()}, {QStringLiteral("fast"), fast.baseUrl()}});

    // A seed that draws the slow mirror (the first listed) first.
    quint32 seed = 1;
    for (;; ++seed) {
        RandomGenerator::seed(seed);
        if (RandomGenerator::next() % 2 == 0)
            break;
    }
    RandomGenerator::seed(seed);
    QSignalSpy slowAsked(&slow, &FakeMirror::requestReceived);
    QSignalSpy fastAsked(&fast, &FakeMirror::requestReceived);
    QElapsedTimer clock;
    clock.start();
    ChangeLogViewer::showRemoteChangeLogDialog(nullptr, QStringLiteral("12"));

    QVERIFY(fastAsked.wait(5000));
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 1900 && elapsed < 3500, qPrintable(QString::number(elapsed)));
    QCOMPARE(slowAsked.size(), 1);
    auto* text = ChangeLogViewer::instance()->findChild<QTextEdit*>(QStringLiteral("changeLogTextEdit"));
    QTRY_COMPARE(text->toPlainText(), QStringLiteral("fast log"));
}

static TestRegistration registration("ChangeLogTimeoutTest", [] { return new ChangeLogTimeoutTest; });
#include "tst_changelogtimeout.moc"
