// kvsign: makes key pairs, signs release files and checks signatures in the
// format the updater verifies (FILE.sig next to FILE).

#include "tomcryptutil.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum ExitCode { Success = 0, Failure = 1, UsageError = 2 };

const char USAGE[] =
    "usage: kvsign genkey PRIVATE PUBLIC\n"
    "       kvsign sign PRIVATE FILE\n"
    "       kvsign verify PUBLIC FILE\n"
    "\n"
    "  genkey  creates a 1024-bit RSA key pair as two 2048-byte key files\n"
    "  sign    writes FILE.sig, the signature of FILE made with the private key\n"
    "  verify  checks FILE.sig against FILE with the public (or private) key\n";

// Largest signature this tool writes: the modulus length of a 4096-bit key.
constexpr unsigned long MAX_SIGNATURE_SIZE = 512;

int fail(const QString& text)
{
    std::fprintf(stderr, "kvsign: %s\n", qPrintable(text));
    return Failure;
}

QString fileName(const char* path)
{
    return QString::fromLocal8Bit(path);
}

// The private key must not be readable by others from the moment it exists.
class UmaskGuard
{
public:
    explicit UmaskGuard(mode_t mask)
        : previous(umask(mask))
    {
    }
    ~UmaskGuard() { umask(previous); }
    UmaskGuard(const UmaskGuard&) = delete;
    UmaskGuard& operator=(const UmaskGuard&) = delete;

private:
    mode_t previous;
};

// A block that read_file grows with realloc; released on every path.
struct MallocBlock
{
    MallocBlock() = default;
    ~MallocBlock() { std::free(data); }
    MallocBlock(const MallocBlock&) = delete;
    MallocBlock& operator=(const MallocBlock&) = delete;

    unsigned char* data = nullptr;
};

// Checks the form of a key file before the import, whose own error for a
// missing or wrong file would say little.
QString loadKeyFile(Rsa_key* key, const char* path)
{
    const QFileInfo info(fileName(path));
    if (!info.isFile())
        return QStringLiteral("%1: no such key file").arg(info.filePath());
    if (info.size() != qint64(KEY_BLOCK_SIZE))
        return QStringLiteral("%1: not a key file (%2 bytes, a key file has %3)")
            .arg(info.filePath())
            .arg(info.size())
            .arg(KEY_BLOCK_SIZE);
    load_key(key, path);
    return QString();
}

QString hashFile(const char* path, unsigned char* digest)
{
    QFile file(fileName(path));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot open %1 for reading: %2").arg(file.fileName(), file.errorString());
    if (hash_device(&file, digest) < 0)
        return QStringLiteral("cannot read %1: %2").arg(file.fileName(), file.errorString());
    return QString();
}

int generateKeys(const char* privatePath, const char* publicPath)
{
    if (std::strcmp(privatePath, publicPath) == 0)
        return fail(QStringLiteral("the private and the public key need two different files"));
    for (const char* path : {privatePath, publicPath}) {
        if (QFileInfo::exists(fileName(path)))
            return fail(QStringLiteral("%1 already exists; not overwriting it").arg(fileName(path)));
    }
    ScopedRsaKey key;
    create_key(key.get());
    {
        const UmaskGuard ownerOnly(077);
        save_key(key.get(), PK_PRIVATE, privatePath);
    }
    save_key(key.get(), PK_PUBLIC, publicPath);
    std::printf("kvsign: wrote private key %s and public key %s\n", privatePath, publicPath);
    return Success;
}

int sign(const char* keyPath, const char* path)
{
    ScopedRsaKey key;
    QString error = loadKeyFile(key.get(), keyPath);
    if (!error.isEmpty())
        return fail(error);
    if (key.get()->type != PK_PRIVATE)
        return fail(QStringLiteral("%1 holds a public key; signing needs the private key")
                        .arg(fileName(keyPath)));
    unsigned char digest[SHA1_DIGEST_SIZE];
    error = hashFile(path, digest);
    if (!error.isEmpty())
        return fail(error);

    unsigned char signature[MAX_SIGNATURE_SIZE];
    unsigned long signatureLength = sizeof signature;
    sign_hash(key.get(), digest, signature, &signatureLength);
    const QByteArray signaturePath = QByteArray(path) + ".sig";
    write_file(signaturePath.constData(), signature, signatureLength);
    std::printf("kvsign: wrote %s\n", signaturePath.constData());
    return Success;
}

int verify(const char* keyPath, const char* path)
{
    ScopedRsaKey key;
    QString error = loadKeyFile(key.get(), keyPath);
    if (!error.isEmpty())
        return fail(error);

    const QByteArray signaturePath = QByteArray(path) + ".sig";
    const QFileInfo signatureInfo(fileName(signaturePath.constData()));
    if (!signatureInfo.isFile())
        return fail(QStringLiteral("%1: no such signature file").arg(signatureInfo.filePath()));
    if (signatureInfo.size() > MAX_SIGNATURE_FILE_SIZE)
        return fail(QStringLiteral("%1: too large for a signature file").arg(signatureInfo.filePath()));
    MallocBlock signature;
    unsigned long signatureLength = 0;
    read_file(signaturePath.constData(), &signature.data, &signatureLength);

    unsigned char digest[SHA1_DIGEST_SIZE];
    error = hashFile(path, digest);
    if (!error.isEmpty())
        return fail(error);

    bool valid = false;
    QString reason;
    try {
        valid = verify_hash(key.get(), digest, signature.data, signatureLength);
    } catch (const crypt_exception& exception) {
        reason = QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(exception.what()));
    }
    if (!valid)
        return fail(QStringLiteral("%1: signature does not match%2").arg(fileName(path), reason));
    std::printf("%s: signature OK\n", path);
    return Success;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fputs(USAGE, stderr);
        return UsageError;
    }
    const QByteArray command(argv[1]);
    try {
        if (command == "genkey")
            return generateKeys(argv[2], argv[3]);
        if (command == "sign")
            return sign(argv[2], argv[3]);
        if (command == "verify")
            return verify(argv[2], argv[3]);
    } catch (const crypt_exception& exception) {
        return fail(QString::fromLocal8Bit(exception.what()));
    }
    std::fprintf(stderr, "kvsign: unknown command %s\n\n%s", argv[1], USAGE);
    return UsageError;
}
