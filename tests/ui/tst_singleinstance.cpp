#include "testregistry.h"

#include "otheruserlistener.h"
#include "singleinstancechecker.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>

namespace {

// The X.25 CRC written out bit by bit, to check the name against something
// other than Qt's own table (the first row pins it to a known name).
quint16 crc16x25(const QByteArray& bytes)
{
    quint16 crc = 0xffff;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0x8408) : quint16(crc >> 1);
    }
    return quint16(~crc);
}

QString expectedName(const QString& checksummedText)
{
    return QStringLiteral("KV3ClientUpdate") + QString::number(crc16x25(checksummedText.toUtf8()), 16);
}

QString socketPath()
{
    return QDir::temp().filePath(SingleInstanceChecker::getLocalServerName());
}

// Inode, owner and mode: the same file, untouched, or "missing".
QString identity(const QString& path)
{
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return QStringLiteral("missing");
    return QStringLiteral("inode %1 uid %2 mode %3").arg(status.st_ino).arg(status.st_uid).arg(status.st_mode, 0, 8);
}

enum class Holder { OwnLiveUpdater, OwnStaleSocket, OwnPlainFile, OtherUsersStaleSocket, OtherUsersListener };
enum class Outcome { SecondInstance, Reclaimed, WithoutGuard };

} // namespace

Q_DECLARE_METATYPE(Holder)
Q_DECLARE_METATYPE(Outcome)

class SingleInstanceTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void serverName_data();
    void serverName();
    void noInstanceAnswersFalseQuickly();
    void messageReachesRunningInstance_data();
    void messageReachesRunningInstance();
    void newestConnectionIsServed();
    void heldName_data();
    void heldName();
    void startWaitsForTheOneTakingTheName();
    void serverIsForItsUserOnly();
};

void SingleInstanceTest::cleanup()
{
    QLocalServer::removeServer(SingleInstanceChecker::getLocalServerName());
}

void SingleInstanceTest::serverName_data()
{
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("home");
    QTest::addColumn<QString>("expected");

    QTest::newRow("example") << QStringLiteral("/opt/App/update") << QStringLiteral("/home/user")
                             << QStringLiteral("KV3ClientUpdatea524");
    QTest::newRow("executable case ignored") << QStringLiteral("/OPT/APP/Update") << QStringLiteral("/home/user")
                                             << QStringLiteral("KV3ClientUpdatea524");
    QTest::newRow("home case kept") << QStringLiteral("/opt/App/update") << QStringLiteral("/home/User")
                                    << expectedName(QStringLiteral("optappupdatehomeUser"));
    QTest::newRow("colons removed") << QStringLiteral("/opt/a:b/update") << QStringLiteral("/home/c:d")
                                    << expectedName(QStringLiteral("optabupdatehomecd"));
    QTest::newRow("non-ASCII as UTF-8") << QStringLiteral("/opt/Ärger/update") << QStringLiteral("/home/Jörg")
                                        << expectedName(QStringLiteral("optärgerupdatehomeJörg"));
}

void SingleInstanceTest::serverName()
{
    QFETCH(QString, executable);
    QFETCH(QString, home);
    QFETCH(QString, expected);
    QCOMPARE(SingleInstanceChecker::serverNameFor(executable, home), expected);
}

void SingleInstanceTest::noInstanceAnswersFalseQuickly()
{
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QVERIFY(clock.elapsed() < 1000);
}

void SingleInstanceTest::messageReachesRunningInstance_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("received");
    QTest::newRow("activation") << QStringLiteral("#") << QStringLiteral("#");
    QTest::newRow("other text") << QStringLiteral("hello there") << QStringLiteral("hello there");
    QTest::newRow("Latin-1") << QStringLiteral("Grüße") << QStringLiteral("Grüße");
    QTest::newRow("cut at NUL") << (QStringLiteral("ab") + QChar(0) + QStringLiteral("cd")) << QStringLiteral("ab");
}

void SingleInstanceTest::messageReachesRunningInstance()
{
    QFETCH(QString, message);
    QFETCH(QString, received);
    SingleInstanceChecker checker(nullptr);
    QSignalSpy activated(&checker, &SingleInstanceChecker::otherInstanceActivate);

    QVERIFY(SingleInstanceChecker::checkExistingInstance(message));
    QVERIFY(activated.wait());
    QCOMPARE(activated.size(), 1);
    QCOMPARE(activated.first().first().toString(), received);
}

void SingleInstanceTest::newestConnectionIsServed()
{
    SingleInstanceChecker checker(nullptr);
    QSignalSpy activated(&checker, &SingleInstanceChecker::otherInstanceActivate);
    const QString name = SingleInstanceChecker::getLocalServerName();
    QLocalSocket first;
    QLocalSocket second;
    first.connectToServer(name);
    QVERIFY(first.waitForConnected(1000));
    second.connectToServer(name);
    QVERIFY(second.waitForConnected(1000));

    second.write("second");
    QVERIFY(second.waitForBytesWritten(1000));
    QVERIFY(activated.wait());
    // The first peer was dropped when the second arrived: it can no longer
    // hand over anything.
    QTRY_COMPARE(first.state(), QLocalSocket::UnconnectedState);
    QCOMPARE(activated.size(), 1);
    QCOMPARE(activated.first().first().toString(), QStringLiteral("second"));
}

void SingleInstanceTest::heldName_data()
{
    QTest::addColumn<Holder>("holder");
    QTest::addColumn<Outcome>("outcome");

    // It began at the same moment and took the name after this one found
    // no updater.
    QTest::newRow("live updater of ours") << Holder::OwnLiveUpdater << Outcome::SecondInstance;
    QTest::newRow("stale socket of ours") << Holder::OwnStaleSocket << Outcome::Reclaimed;
    QTest::newRow("plain file of ours") << Holder::OwnPlainFile << Outcome::WithoutGuard;
    QTest::newRow("stale socket of another user") << Holder::OtherUsersStaleSocket << Outcome::WithoutGuard;
    QTest::newRow("another user listening") << Holder::OtherUsersListener << Outcome::WithoutGuard;
}

// What holds the name when an updater takes it: a live updater of ours makes
// it a second instance; a socket that an updater of ours left behind is taken
// back; anything else is neither removed nor listened at, and the window
// runs without the guard.
void SingleInstanceTest::heldName()
{
    QFETCH(Holder, holder);
    QFETCH(Outcome, outcome);

    OtherUserListener listener;
    std::unique_ptr<SingleInstanceChecker> running;
    if (holder == Holder::OwnLiveUpdater)
        running = std::make_unique<SingleInstanceChecker>(nullptr);
    else if (holder == Holder::OwnStaleSocket)
        QVERIFY(TestFiles::writeStaleSocket(socketPath()));
    else if (holder == Holder::OwnPlainFile)
        QVERIFY(TestFiles::write(socketPath(), "not a socket"));
    else if (!listener.start(socketPath()))
        QSKIP(qPrintable(listener.errorString()));
    if (holder == Holder::OtherUsersStaleSocket)
        listener.stop();
    const QString before = identity(socketPath());
    if (!running)
        QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));

    SingleInstanceChecker checker(nullptr);
    QCOMPARE(checker.otherInstanceRuns(), outcome == Outcome::SecondInstance);
    QCOMPARE(checker.findChild<QLocalServer*>()->isListening(), outcome == Outcome::Reclaimed);
    if (outcome != Outcome::Reclaimed)
        QCOMPARE(identity(socketPath()), before);
    if (outcome == Outcome::WithoutGuard)
        return;
    // Messages reach the one updater that listens.
    SingleInstanceChecker* listening = running ? running.get() : &checker;
    QSignalSpy activated(listening, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QVERIFY(activated.wait());
    QCOMPARE(activated.first().first().toString(), QStringLiteral("#"));
}

// Starts of one installation take the name one at a time. While one holds
// the installation's lock (here: takes a stale socket back), another does
// not touch the name, and afterwards finds it held.
void SingleInstanceTest::startWaitsForTheOneTakingTheName()
{
    const QString name = SingleInstanceChecker::getLocalServerName();
    QVERIFY(TestFiles::writeStaleSocket(socketPath()));
    const int installation =
        ::open(QFile::encodeName(QCoreApplication::applicationDirPath()).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(installation >= 0);
    QCOMPARE(::flock(installation, LOCK_EX), 0);

    std::atomic<bool> secondInstance{false};
    std::unique_ptr<QThread> other(QThread::create([&secondInstance] {
        const SingleInstanceChecker checker(nullptr);
        secondInstance = checker.otherInstanceRuns();
    }));
    other->start();
    const bool finishedUnderTheLock = other->wait(1000);
    QLocalServer taker;
    const bool taken = !finishedUnderTheLock && QLocalServer::removeServer(name) && taker.listen(name);
    ::close(installation);
    QVERIFY(other->wait(10000));
    QVERIFY(!finishedUnderTheLock);
    QVERIFY(taken);
    QVERIFY(secondInstance);
}

void SingleInstanceTest::serverIsForItsUserOnly()
{
    SingleInstanceChecker checker(nullptr);
    struct stat status;
    QCOMPARE(::lstat(QFile::encodeName(socketPath()).constData(), &status), 0);
    QVERIFY(S_ISSOCK(status.st_mode));
    QCOMPARE(status.st_mode & 077, 0u);
}

static TestRegistration registration("SingleInstanceTest", [] { return new SingleInstanceTest; });
#include "tst_singleinstance.moc"
