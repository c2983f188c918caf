#include "testregistry.h"

#include "singleinstancechecker.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTest>

#include <sys/socket.h>
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

} // namespace

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
    void staleSocketIsReclaimed();
    void liveInstanceKeepsItsName();
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

void SingleInstanceTest::staleSocketIsReclaimed()
{
    QVERIFY(leaveStaleSocket(socketPath()));
    QVERIFY(QFileInfo(socketPath()).exists());
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));

    SingleInstanceChecker checker(nullptr);
    QSignalSpy activated(&checker, &SingleInstanceChecker::otherInstanceActivate);
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

static TestRegistration registration("SingleInstanceTest", [] { return new SingleInstanceTest; });
#include "tst_singleinstance.moc"
