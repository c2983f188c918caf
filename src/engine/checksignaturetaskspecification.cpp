#include "checksignaturetaskspecification.h"

#include "tomcryptutil.h"

#include <QFile>
#include <QFileInfo>


namespace {
// On the pool thread's stack: a check allocates nothing per file.
constexpr qint64 ChunkSize = 64 * 1024;
}

CheckSigFunc::CheckSigFunc(const QString& path, const QString& expectedMd5)
    : path(path)
    , expectedMd5(expectedMd5)
{
}

bool CheckSigFunc::run()
{
    return expectedMd5.isEmpty() ? checkRSA() : checkMD5();
}

// Only a regular file can pass: reading a FIFO or a device (say a link to
// /dev/zero) may never end, and would block a pool thread for good. The size
// comes from the same look at the file, and the file is read unbuffered: the
// reads go straight into the caller's buffer.
bool CheckSigFunc::openFile(const QString& fileName, QFile& file, qint64& size)
{
    const QFileInfo info(fileName);
    file.setFileName(fileName);
    if (info.isFile() && file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        size = info.size();
        return true;
    }
    emit message(QStringLiteral("Could not open file %1 for reading").arg(fileName));
    return false;
}

// Hashes the whole file; a file that yields fewer or more bytes than its
// size (a read error, or a file changing under us) fails the check.
bool CheckSigFunc::hashFile(const QString& fileName, QCryptographicHash::Algorithm algorithm,
                            QByteArray& digest)
{
    QFile file;
    qint64 size = 0;
    if (!openFile(fileName, file, size))
        return false;
    char chunk[ChunkSize];
    QCryptographicHash hash(algorithm);
    qint64 total = 0;
    for (;;) {
        const qint64 count = file.read(chunk, ChunkSize);
        if (count <= 0) {
            total = count < 0 ? -1 : total;
            break;
        }
        hash.addData(QByteArrayView(chunk, count));
        total += count;
    }
    if (total != size) {
        emit message(QStringLiteral("could not read file %1 correctly").arg(fileName));
        return false;
    }
    digest = hash.result();
    return true;
}

// A signature holds just the modulus length; a larger file is refused
// without reading it, so a hostile mirror cannot make us load it.
bool CheckSigFunc::readSignature(const QString& fileName, QByteArray& signature)
{
    QFile file;
    qint64 size = 0;
    if (!openFile(fileName, file, size))
        return false;
    if (size > MAX_SIGNATURE_FILE_SIZE)
        return false;
    signature = file.read(size);
    if (signature.size() != size) {
        emit message(QStringLiteral("could not read file %1 correctly").arg(fileName));
        return false;
    }
    return true;
}

bool CheckSigFunc::checkMD5()
{
    QByteArray digest;
    if (!hashFile(path, QCryptographicHash::Md5, digest))
        return false;
    // No trimming: an expected value with blanks around it never matches.
    return expectedMd5.compare(QString::fromLatin1(digest.toHex()), Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::checkRSA()
{
    QByteArray digest;
    if (!hashFile(path, QCryptographicHash::Sha1, digest))
        return false;
    QByteArray signature;
    if (!readSignature(path + QStringLiteral(".sig"), signature))
        return false;
    try {
        ScopedRsaKey key;
        load_key(key.get(), PUBLIC_KEY, KEY_BLOCK_SIZE);
        return verify_hash(key.get(), reinterpret_cast<const unsigned char*>(digest.constData()),
                           reinterpret_cast<const unsigned char*>(signature.constData()),
                           static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception&) {
        return false;
    }
}

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(QString path, QString expectedMd5,
                                                                 bool cancelOnFail,
                                                                 QObject* parent,
                                                                 double progressRange)
    : ASyncTaskSpecification(parent, progressRange)
    , path(std::move(path))
    , expectedMd5(std::move(expectedMd5))
    , cancelOnFail(cancelOnFail)
{
}

ASyncFunc* CheckSignatureTaskSpecification::createFunction()
{
    return new CheckSigFunc(path, expectedMd5);
}

// checkDone goes out while the task is still Running: a receiver may clear
// and rebuild its composite, after which the task's own end reaches no one.
void CheckSignatureTaskSpecification::runDone(bool ok)
{
    if (state != TaskState::Running)
        return;
    if (ok) {
        emit checkDone(true, this);
        finish();
        return;
    }
    emit message(QStringLiteral("Signature check failed for %1").arg(path));
    emit checkDone(false, this);
    if (cancelOnFail)
        errorCancel();
    else
        finish();
}
