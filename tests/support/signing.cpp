#include "signing.h"

#include "tomcryptutil.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSaveFile>
#include <QtDebug>

namespace Signing {

QString developmentPrivateKeyPath()
{
    return QStringLiteral(KV_DEVELOPMENT_PRIVATE_KEY);
}

QString developmentPublicKeyPath()
{
    return QStringLiteral(KV_DEVELOPMENT_PUBLIC_KEY);
}

namespace {

QByteArray signDigest(const unsigned char* digest)
{
    ScopedRsaKey key;
    load_key(key.get(), QFile::encodeName(developmentPrivateKeyPath()).constData());
    QByteArray result(512, '\0');
    unsigned long length = result.size();
    sign_hash(key.get(), digest, reinterpret_cast<unsigned char*>(result.data()), &length);
    result.truncate(length);
    return result;
}

} // namespace

QByteArray signature(const QByteArray& content)
{
    const QByteArray digest = QCryptographicHash::hash(content, QCryptographicHash::Sha1);
    return signDigest(reinterpret_cast<const unsigned char*>(digest.constData()));
}

bool signFile(const QString& path)
{
    QFile file(path);
    unsigned char digest[SHA1_DIGEST_SIZE];
    if (!file.open(QIODevice::ReadOnly) || hash_device(&file, digest) < 0) {
        qWarning("cannot sign %s: %s", qPrintable(path), qPrintable(file.errorString()));
        return false;
    }
    QSaveFile signatureFile(path + QStringLiteral(".sig"));
    if (!signatureFile.open(QIODevice::WriteOnly) || signatureFile.write(signDigest(digest)) < 0
        || !signatureFile.commit()) {
        qWarning("cannot write %s: %s", qPrintable(signatureFile.fileName()),
                 qPrintable(signatureFile.errorString()));
        return false;
    }
    return true;
}

} // namespace Signing
