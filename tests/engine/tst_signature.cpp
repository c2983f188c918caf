#include "testregistry.h"

#include "signing.h"
#include "testfiles.h"
#include "tomcryptutil.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// openssl options for the signature format the updater checks.
const QStringList PSS_SHA1_SALT8 = {"-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt",
                                    "rsa_pss_saltlen:8", "-sigopt", "rsa_mgf1_md:sha1"};

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

// The DER structure at the head of a key block, without the filler that
// openssl would not accept.
QByteArray derHead(const QByteArray& block)
{
    const int first = quint8(block.at(1));
    int length = first;
    int header = 2;
    if (first & 0x80) {
        const int count = first & 0x7f;
        length = 0;
        for (int i = 0; i < count; ++i)
            length = length * 256 + quint8(block.at(2 + i));
        header += count;
    }
    return block.left(header + length);
}

QByteArray pseudoRandom(int size, quint32 seed)
{
    QByteArray data(size + 3, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(data.data()), data.size() / 4);
    return data.left(size);
}

bool verifyWith(Rsa_key* key, const QByteArray& content, QByteArray signature)
{
    return verify_msg(key, bytes(content), content.size(),
                      reinterpret_cast<unsigned char*>(signature.data()), signature.size());
}

// A rejected signature either has the right form and does not match (false)
// or is refused by the library (crypt_exception); the check treats both as a
// failed check.
bool rejects(Rsa_key* key, const QByteArray& content, const QByteArray& signature)
{
    try {
        return !verifyWith(key, content, signature);
    } catch (const crypt_exception&) {
        return true;
    }
}

QByteArray sign(Rsa_key* key, const QByteArray& content)
{
    QByteArray signature(512, '\0');
    unsigned long length = signature.size();
    sign_msg(key, bytes(content), content.size(), reinterpret_cast<unsigned char*>(signature.data()),
             &length);
    signature.truncate(length);
    return signature;
}

void loadBuiltInKey(Rsa_key* key)
{
    load_key(key, PUBLIC_KEY, KEY_BLOCK_SIZE);
}

} // namespace

class SignatureTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    // First, so that the threads are the first users of the module.
    void concurrentVerificationFromFirstUse();
    void builtInKeyIsTheWholeDevelopmentBlock();
    void opensslSignatureVerifies_data();
    void opensslSignatureVerifies();
    void roundTrip_data();
    void roundTrip();
    void tamperedSignatureRejected_data();
    void tamperedSignatureRejected();
    void garbageKeyThrows_data();
    void garbageKeyThrows();
    void streamedDigestMatches_data();
    void streamedDigestMatches();
    void failedReadGivesNoDigest();
    void kvsignSignsAndVerifies();
    void kvsignReportsErrors_data();
    void kvsignReportsErrors();

private:
    QString path(const QString& name) const { return directory.filePath(name); }
    int openssl(const QStringList& arguments, QByteArray* output = nullptr);
    QByteArray opensslSignature(const QByteArray& content, const QStringList& options,
                                const QString& keyFile);
    int kvsign(const QStringList& arguments, QByteArray* output = nullptr);
    void loadPrivateKey(Rsa_key* key);

    QTemporaryDir directory;
    QString opensslProgram;
};

void SignatureTest::initTestCase()
{
    QVERIFY(directory.isValid());
    opensslProgram = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    QVERIFY2(!opensslProgram.isEmpty(), "the interoperability tests need the openssl command");

    // The key blocks in the form openssl reads. No call into our module here:
    // the first test wants to be its first user.
    const QByteArray privateBlock = TestFiles::read(Signing::developmentPrivateKeyPath());
    const QByteArray publicBlock = TestFiles::read(Signing::developmentPublicKeyPath());
    QCOMPARE(privateBlock.size(), int(KEY_BLOCK_SIZE));
    QCOMPARE(publicBlock.size(), int(KEY_BLOCK_SIZE));
    QVERIFY(TestFiles::write(path("private.der"), derHead(privateBlock)));
    QVERIFY(TestFiles::write(path("public.der"), derHead(publicBlock)));
    QCOMPARE(openssl({"rsa", "-inform", "DER", "-in", path("private.der"), "-out",
                      path("private.pem")}),
             0);
    QCOMPARE(openssl({"rsa", "-RSAPublicKey_in", "-inform", "DER", "-in", path("public.der"),
                      "-pubout", "-out", path("public.pem")}),
             0);
    QCOMPARE(openssl({"genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-out",
                      path("foreign.pem")}),
             0);
}

int SignatureTest::openssl(const QStringList& arguments, QByteArray* output)
{
    QProcess process;
    process.start(opensslProgram, arguments);
    if (!process.waitForFinished(60000))
        return -1;
    if (output)
        *output = process.readAllStandardOutput();
    const QByteArray errors = process.readAllStandardError();
    if (process.exitCode() != 0)
        qWarning("openssl %s: %s", qPrintable(arguments.join(' ')), errors.constData());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// Signs content with openssl; the options choose padding, salt and digest.
QByteArray SignatureTest::opensslSignature(const QByteArray& content, const QStringList& options,
                                           const QString& keyFile)
{
    const QString message = path("openssl-message");
    if (!TestFiles::write(message, content))
        return QByteArray();
    QFile::remove(message + ".sig");
    const QStringList arguments = QStringList{"dgst"} + options
        + QStringList{"-sign", path(keyFile), "-out", message + ".sig", message};
    if (openssl(arguments) != 0)
        return QByteArray();
    return TestFiles::read(message + ".sig");
}

int SignatureTest::kvsign(const QStringList& arguments, QByteArray* output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(KV_KVSIGN), arguments);
    if (!process.waitForFinished(60000))
        return -1;
    if (output)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void SignatureTest::loadPrivateKey(Rsa_key* key)
{
    load_key(key, QFile::encodeName(Signing::developmentPrivateKeyPath()).constData());
}

void SignatureTest::concurrentVerificationFromFirstUse()
{
    const QByteArray content = pseudoRandom(100000, 1);
    const QByteArray valid = opensslSignature(content, PSS_SHA1_SALT8, "private.pem");
    const QByteArray other = opensslSignature(content + "x", PSS_SHA1_SALT8, "private.pem");
    QCOMPARE(valid.size(), 128);
    QCOMPARE(other.size(), 128);

    constexpr int threadCount = 8;
    constexpr int rounds = 20;
    std::atomic<bool> go{false};
    std::atomic<int> wrongResults{0};
    std::atomic<int> exceptions{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < threadCount; ++i) {
        threads.emplace_back([&] {
            // Own copies: verify_msg takes writable buffers.
            std::vector<unsigned char> good(bytes(valid), bytes(valid) + valid.size());
            std::vector<unsigned char> bad(bytes(other), bytes(other) + other.size());
            while (!go.load())
                std::this_thread::yield();
            for (int round = 0; round < rounds; ++round) {
                try {
                    ScopedRsaKey key;
                    loadBuiltInKey(key.get());
                    if (!verify_msg(key.get(), bytes(content), content.size(), good.data(), good.size()))
                        ++wrongResults;
                    if (verify_msg(key.get(), bytes(content), content.size(), bad.data(), bad.size()))
                        ++wrongResults;
                } catch (const crypt_exception&) {
                    ++exceptions;
                }
            }
        });
    }
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(exceptions.load(), 0);
    QCOMPARE(wrongResults.load(), 0);
}

void SignatureTest::builtInKeyIsTheWholeDevelopmentBlock()
{
    const QByteArray builtIn(reinterpret_cast<const char*>(PUBLIC_KEY), KEY_BLOCK_SIZE);
    QCOMPARE(builtIn, TestFiles::read(Signing::developmentPublicKeyPath()));
}

void SignatureTest::opensslSignatureVerifies_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("keyFile");
    QTest::addColumn<bool>("valid");

    const QByteArray text = "[Files]\nclient.bin=1234,,abc\n";
    const QStringList pss = {"-sha1", "-sigopt", "rsa_padding_mode:pss", "-sigopt", "rsa_mgf1_md:sha1"};
    QTest::newRow("PSS SHA-1 salt 8") << text << PSS_SHA1_SALT8 << "private.pem" << true;
    QTest::newRow("empty content") << QByteArray() << PSS_SHA1_SALT8 << "private.pem" << true;
    QTest::newRow("salt 16") << text << pss + QStringList{"-sigopt", "rsa_pss_saltlen:16"}
                             << "private.pem" << false;
    QTest::newRow("foreign key") << text << PSS_SHA1_SALT8 << "foreign.pem" << false;
    QTest::newRow("PKCS #1 v1.5 padding") << text << QStringList{"-sha1"} << "private.pem" << false;
}

void SignatureTest::opensslSignatureVerifies()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, options);
    QFETCH(QString, keyFile);
    QFETCH(bool, valid);

    const QByteArray signature = opensslSignature(content, options, keyFile);
    QCOMPARE(signature.size(), 128);
    ScopedRsaKey key;
    loadBuiltInKey(key.get());
    if (valid)
        QVERIFY(verifyWith(key.get(), content, signature));
    else
        QVERIFY(rejects(key.get(), content, signature));
}

// Our signatures verify with our module and with openssl.
void SignatureTest::roundTrip_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << QByteArray("x");
    QTest::newRow("1 MiB") << pseudoRandom(1 << 20, 4);
}

void SignatureTest::roundTrip()
{
    QFETCH(QByteArray, content);

    crypt_init(); // a repeated call changes nothing
    ScopedRsaKey privateKey;
    loadPrivateKey(privateKey.get());
    ScopedRsaKey publicKey;
    loadBuiltInKey(publicKey.get());

    const QByteArray first = sign(privateKey.get(), content);
    const QByteArray second = sign(privateKey.get(), content);
    QCOMPARE(first.size(), 128);
    QVERIFY(first != second); // random salt
    QVERIFY(verifyWith(publicKey.get(), content, first));
    QVERIFY(verifyWith(publicKey.get(), content, second));
    const QString message = path("our-message");
    QVERIFY(TestFiles::write(message, content));
    QVERIFY(TestFiles::write(message + ".sig", first));
    QByteArray output;
    QCOMPARE(openssl(QStringList{"dgst"} + PSS_SHA1_SALT8
                         + QStringList{"-verify", path("public.pem"), "-signature", message + ".sig", message},
                     &output),
             0);
    QVERIFY2(output.contains("Verified OK"), output.constData());

    // Changed content: a signature of the right form that does not match is
    // a plain false, not a library failure.
    try {
        QCOMPARE(verifyWith(publicKey.get(), content + '\0', first), false);
        if (!content.isEmpty()) {
            QByteArray changed = content;
            changed[changed.size() / 2] = char(changed.at(changed.size() / 2) ^ 0x01);
            QCOMPARE(verifyWith(publicKey.get(), changed, first), false);
        }
    } catch (const crypt_exception& exception) {
        QFAIL(exception.what());
    }
}

// A signature of the wrong length is refused by the library with its own
// reason; a flipped bit is refused one way or the other.
void SignatureTest::tamperedSignatureRejected_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("flippedBit"); // -1: none
    QTest::newRow("127 bytes") << 127 << -1;
    QTest::newRow("129 bytes") << 129 << -1;
    QTest::newRow("empty") << 0 << -1;
    QTest::newRow("first bit") << 128 << 0;
    QTest::newRow("bit in the salt area") << 128 << 600;
    QTest::newRow("bit in the hash area") << 128 << 900;
    QTest::newRow("last bit") << 128 << 1023;
}

void SignatureTest::tamperedSignatureRejected()
{
    QFETCH(int, length);
    QFETCH(int, flippedBit);

    const QByteArray content = "content";
    QByteArray signature = Signing::signature(content);
    // 129 bytes: a leading zero keeps the number but not the length.
    signature = length > signature.size() ? QByteArray(length - signature.size(), '\0') + signature
                                          : signature.right(length);
    ScopedRsaKey key;
    loadBuiltInKey(key.get());
    if (flippedBit >= 0) {
        signature[flippedBit / 8] = char(signature.at(flippedBit / 8) ^ (0x80 >> (flippedBit % 8)));
        QVERIFY(rejects(key.get(), content, signature));
        return;
    }
    try {
        verifyWith(key.get(), content, signature);
        QFAIL("no crypt_exception");
    } catch (const crypt_exception& exception) {
        QVERIFY2(QByteArray(exception.what()).startsWith("rsa_verify_hash: "), exception.what());
        QVERIFY(qstrlen(exception.what()) > qstrlen("rsa_verify_hash: "));
    }
}

void SignatureTest::garbageKeyThrows_data()
{
    QTest::addColumn<QByteArray>("block");
    const QByteArray publicBlock = TestFiles::read(Signing::developmentPublicKeyPath());
    QTest::newRow("zeros") << QByteArray(KEY_BLOCK_SIZE, '\0');
    QTest::newRow("random bytes") << pseudoRandom(KEY_BLOCK_SIZE, 5);
    QTest::newRow("truncated key") << publicBlock.left(100);
    QTest::newRow("empty") << QByteArray();
}

void SignatureTest::garbageKeyThrows()
{
    QFETCH(QByteArray, block);

    // The key goes out of scope after the throw: what the failed import
    // allocated must be released exactly once.
    try {
        ScopedRsaKey key;
        load_key(key.get(), bytes(block), block.size());
        QFAIL("no crypt_exception");
    } catch (const crypt_exception& exception) {
        QVERIFY2(QByteArray(exception.what()).startsWith("rsa_import: "), exception.what());
    }
}

void SignatureTest::streamedDigestMatches_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("one byte") << 1;
    QTest::newRow("256 KiB") << 256 * 1024;
    QTest::newRow("256 KiB + 1") << 256 * 1024 + 1;
    QTest::newRow("1 MiB + 7") << (1 << 20) + 7;
}

void SignatureTest::streamedDigestMatches()
{
    QFETCH(int, size);

    const QByteArray content = pseudoRandom(size, quint32(size));
    QBuffer device;
    device.setData(content);
    QVERIFY(device.open(QIODevice::ReadOnly));
    unsigned char digest[SHA1_DIGEST_SIZE];
    QCOMPARE(hash_device(&device, digest), qint64(size));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(digest), SHA1_DIGEST_SIZE),
             QCryptographicHash::hash(content, QCryptographicHash::Sha1));

    const QByteArray signature = Signing::signature(content);
    ScopedRsaKey key;
    loadBuiltInKey(key.get());
    QVERIFY(verify_hash(key.get(), digest, bytes(signature), signature.size()));
}

void SignatureTest::failedReadGivesNoDigest()
{
    QBuffer device; // never opened: every read fails
    unsigned char digest[SHA1_DIGEST_SIZE];
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("device not open"));
    QCOMPARE(hash_device(&device, digest), qint64(-1));
}

void SignatureTest::kvsignSignsAndVerifies()
{
    const QString privateKey = path("release_private.key");
    const QString publicKey = path("release_public.key");
    QByteArray output;
    QCOMPARE(kvsign({"genkey", privateKey, publicKey}, &output), 0);
    QCOMPARE(QFileInfo(privateKey).size(), qint64(KEY_BLOCK_SIZE));
    QCOMPARE(QFileInfo(publicKey).size(), qint64(KEY_BLOCK_SIZE));
    QCOMPARE(QFileInfo(privateKey).permissions() & (QFile::ReadGroup | QFile::ReadOther),
             QFile::Permissions());

    const QByteArray publicBlock = TestFiles::read(publicKey);
    QCOMPARE(kvsign({"genkey", privateKey, path("another_public.key")}, &output), 1);
    QVERIFY2(output.contains("already exists"), output.constData());
    QVERIFY(!QFileInfo::exists(path("another_public.key")));
    QCOMPARE(TestFiles::read(publicKey), publicBlock);

    const QString release = path("release.bin");
    const QByteArray content = pseudoRandom(500000, 6);
    QVERIFY(TestFiles::write(release, content));
    QCOMPARE(kvsign({"sign", privateKey, release}, &output), 0);
    QCOMPARE(QFileInfo(release + ".sig").size(), qint64(128));
    QCOMPARE(kvsign({"verify", publicKey, release}, &output), 0);
    QVERIFY2(output.contains("signature OK"), output.constData());

    // The tool's files are the formats the module reads.
    ScopedRsaKey key;
    load_key(key.get(), QFile::encodeName(publicKey).constData());
    QVERIFY(verifyWith(key.get(), content, TestFiles::read(release + ".sig")));
}

void SignatureTest::kvsignReportsErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("text");

    // "@" stands for the test directory.
    const QString publicKey = Signing::developmentPublicKeyPath();
    const QString privateKey = Signing::developmentPrivateKeyPath();
    QTest::newRow("no arguments") << QStringList() << 2 << "usage:";
    QTest::newRow("missing key") << QStringList{"sign", "@/none.key", "@/plain"} << 1
                                 << "no such key file";
    QTest::newRow("public key for signing") << QStringList{"sign", publicKey, "@/plain"} << 1
                                            << "holds a public key";
    QTest::newRow("missing file") << QStringList{"sign", privateKey, "@/none"} << 1
                                  << "cannot open @/none for reading";
    QTest::newRow("oversized signature") << QStringList{"verify", publicKey, "@/oversized"} << 1
                                         << "too large for a signature file";
    QTest::newRow("changed file") << QStringList{"verify", publicKey, "@/changed"} << 1
                                  << "@/changed: signature does not match";
    QTest::newRow("signature of wrong length") << QStringList{"verify", publicKey, "@/short"} << 1
                                               << "signature does not match (rsa_verify_hash: ";
}

void SignatureTest::kvsignReportsErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, text);

    const QString root = directory.path();
    QVERIFY(TestFiles::write(path("plain"), "plain"));
    QVERIFY(TestFiles::write(path("oversized"), "oversized"));
    QVERIFY(TestFiles::write(path("oversized.sig"), QByteArray(MAX_SIGNATURE_FILE_SIZE + 1, '\1')));
    QVERIFY(TestFiles::write(path("changed"), "changed"));
    QVERIFY(TestFiles::write(path("changed.sig"), Signing::signature("original")));
    QVERIFY(TestFiles::write(path("short"), "short"));
    QVERIFY(TestFiles::write(path("short.sig"), Signing::signature("short").left(127)));

    arguments.replaceInStrings(QStringLiteral("@"), root);
    QByteArray output;
    QCOMPARE(kvsign(arguments, &output), exitCode);
    QVERIFY2(QString::fromLocal8Bit(output).contains(text.replace(QStringLiteral("@"), root)),
             output.constData());
}

static TestRegistration registration("SignatureTest", [] { return new SignatureTest; });
#include "tst_signature.moc"
