#include "testregistry.h"

#include "installationlock.h"
#include "otheruserlistener.h"
#include "singleinstancechecker.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTemporaryDir>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
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

// A socket of ours whose updater takes no connection for now: its queue is
// full, so a connection attempt neither succeeds nor is refused.
class BusySocket
{
public:
    explicit BusySocket(const QString& path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray encoded = QFile::encodeName(path);
        std::strncpy(address.sun_path, encoded.constData(), sizeof(address.sun_path) - 1);
        const auto* generic = reinterpret_cast<const sockaddr*>(&address);
        // A queue of length 0 holds one connection; the second waits.
        listening = ::bind(listener, generic, sizeof(address)) == 0 && ::listen(listener, 0) == 0
            && ::connect(queued, generic, sizeof(address)) == 0;
    }
    ~BusySocket()
    {
        ::close(listener);
        ::close(queued);
    }
    BusySocket(const BusySocket&) = delete;
    BusySocket& operator=(const BusySocket&) = delete;

    bool isListening() const { return listening; }

private:
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int queued = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool listening = false;
};

enum class Holder {
    Nobody,
    OwnLiveUpdater,
    OwnBusyUpdater,
    OwnStaleSocket,
    OwnPlainFile,
    OtherUsersStaleSocket,
    OtherUsersListener
};

enum class Competitor { None, AnotherRun, EndedRunsProgram, PlainFile };

} // namespace

Q_DECLARE_METATYPE(Holder)
Q_DECLARE_METATYPE(Competitor)
Q_DECLARE_METATYPE(InstallationLock::State)

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
    void installationLock_data();
    void installationLock();
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
    QTest::addColumn<bool>("listens");

    QTest::newRow("name free") << Holder::Nobody << true;
    // An updater of ours that runs, of another installation whose name
    // happens to be the same.
    QTest::newRow("live updater of ours") << Holder::OwnLiveUpdater << false;
    QTest::newRow("busy updater of ours") << Holder::OwnBusyUpdater << false;
    QTest::newRow("stale socket of ours") << Holder::OwnStaleSocket << true;
    QTest::newRow("plain file of ours") << Holder::OwnPlainFile << false;
    QTest::newRow("stale socket of another user") << Holder::OtherUsersStaleSocket << false;
    QTest::newRow("another user listening") << Holder::OtherUsersListener << false;
}

// What holds the name when the holder of the installation's lock takes it:
// only a socket that an updater of ours left behind is taken back; anything
// else is neither removed nor listened at, and the window runs without
// hand-overs.
void SingleInstanceTest::heldName()
{
    QFETCH(Holder, holder);
    QFETCH(bool, listens);

    OtherUserListener listener;
    std::unique_ptr<SingleInstanceChecker> running;
    std::unique_ptr<BusySocket> busy;
    if (holder == Holder::OwnLiveUpdater)
        running = std::make_unique<SingleInstanceChecker>(nullptr);
    else if (holder == Holder::OwnBusyUpdater)
        busy = std::make_unique<BusySocket>(socketPath());
    else if (holder == Holder::OwnStaleSocket)
        QVERIFY(TestFiles::writeStaleSocket(socketPath()));
    else if (holder == Holder::OwnPlainFile)
        QVERIFY(TestFiles::write(socketPath(), "not a socket"));
    else if (holder != Holder::Nobody && !listener.start(socketPath()))
        QSKIP(qPrintable(listener.errorString()));
    QVERIFY(!busy || busy->isListening());
    if (holder == Holder::OtherUsersStaleSocket)
        listener.stop();
    const QString before = identity(socketPath());

    SingleInstanceChecker::removeStaleServer();
    SingleInstanceChecker checker(nullptr);
    QCOMPARE(checker.findChild<QLocalServer*>()->isListening(), listens);
    if (!listens) {
        QCOMPARE(identity(socketPath()), before);
        return;
    }
    QSignalSpy activated(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QVERIFY(activated.wait());
    QCOMPARE(activated.first().first().toString(), QStringLiteral("#"));
}

void SingleInstanceTest::installationLock_data()
{
    QTest::addColumn<Competitor>("competitor");
    QTest::addColumn<InstallationLock::State>("state");

    QTest::newRow("free") << Competitor::None << InstallationLock::State::Held;
    QTest::newRow("another run holds it") << Competitor::AnotherRun << InstallationLock::State::HeldElsewhere;
    // The client that a run starts as it ends does not keep it.
    QTest::newRow("a program of an ended run") << Competitor::EndedRunsProgram << InstallationLock::State::Held;
    QTest::newRow("not a directory") << Competitor::PlainFile << InstallationLock::State::Unsupported;
}

void SingleInstanceTest::installationLock()
{
    QFETCH(Competitor, competitor);
    QFETCH(InstallationLock::State, state);

    QTemporaryDir installation;
    QVERIFY(installation.isValid());
    QString path = installation.path();
    if (competitor == Competitor::PlainFile) {
        path = installation.filePath(QStringLiteral("update"));
        QVERIFY(TestFiles::write(path, "program"));
    }
    auto other = std::make_unique<InstallationLock>(path);
    QProcess program;
    if (competitor == Competitor::AnotherRun || competitor == Competitor::EndedRunsProgram)
        QCOMPARE(other->tryLock(), InstallationLock::State::Held);
    if (competitor == Competitor::EndedRunsProgram) {
        program.start(QStringLiteral("sleep"), {QStringLiteral("30")});
        QVERIFY(program.waitForStarted());
        other.reset();
    }

    InstallationLock lock(path);
    QCOMPARE(lock.tryLock(), state);
    program.kill();
    program.waitForFinished();
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
