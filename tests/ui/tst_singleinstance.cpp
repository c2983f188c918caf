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

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

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

// What an updater that crashed leaves behind: a socket file nobody listens on.
bool leaveStaleSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    std::strncpy(address.sun_path, encoded.constData(), sizeof(address.sun_path) - 1);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return bound;
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

enum class Holder { OwnStaleSocket, OwnPlainFile, OtherUsersStaleSocket, OtherUsersListener };

} // namespace

Q_DECLARE_METATYPE(Holder)

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
    void liveInstanceKeepsItsName();
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
    QTest::addColumn<bool>("reclaimed");

    QTest::newRow("stale socket of ours") << Holder::OwnStaleSocket << true;
    QTest::newRow("plain file of ours") << Holder::OwnPlainFile << false;
    QTest::newRow("stale socket of another user") << Holder::OtherUsersStaleSocket << false;
    QTest::newRow("another user listening") << Holder::OtherUsersListener << false;
}

// Whatever holds the name, it is no updater of ours that runs. Only a socket
// that an updater of ours left behind is taken back; anything else is
// neither removed nor listened at, and the window runs without the guard.
void SingleInstanceTest::heldName()
{
    QFETCH(Holder, holder);
    QFETCH(bool, reclaimed);

    OtherUserListener listener;
    if (holder == Holder::OwnStaleSocket)
        QVERIFY(leaveStaleSocket(socketPath()));
    else if (holder == Holder::OwnPlainFile)
        QVERIFY(TestFiles::write(socketPath(), "not a socket"));
    else if (!listener.start(socketPath()))
        QSKIP(qPrintable(listener.errorString()));
    if (holder == Holder::OtherUsersStaleSocket)
        listener.stop();
    const QString before = identity(socketPath());
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));

    SingleInstanceChecker checker(nullptr);
    QSignalSpy activated(&checker, &SingleInstanceChecker::otherInstanceActivate);
    if (!reclaimed) {
        QVERIFY(!checker.findChild<QLocalServer*>()->isListening());
        QCOMPARE(identity(socketPath()), before);
        return;
    }
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QVERIFY(activated.wait());
    QCOMPARE(activated.first().first().toString(), QStringLiteral("#"));
}

void SingleInstanceTest::liveInstanceKeepsItsName()
{
    SingleInstanceChecker running(nullptr);
    QSignalSpy runningActivated(&running, &SingleInstanceChecker::otherInstanceActivate);
    SingleInstanceChecker latecomer(nullptr);
    QSignalSpy latecomerActivated(&latecomer, &SingleInstanceChecker::otherInstanceActivate);

    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QVERIFY(runningActivated.wait());
    QCOMPARE(runningActivated.size(), 1);
    QCOMPARE(runningActivated.first().first().toString(), QStringLiteral("#"));
    QCOMPARE(latecomerActivated.size(), 0);
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
