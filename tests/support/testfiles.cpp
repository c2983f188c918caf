#include "testfiles.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtDebug>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <zlib.h>

namespace TestFiles {

bool write(const QString& path, const QByteArray& content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        qWarning("cannot create the directory of %s", qPrintable(path));
        return false;
    }
    // A new file beside the old one, renamed over it: a program that still
    // runs or reads the old file is not disturbed.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()
        || !file.commit()) {
        qWarning("cannot write %s: %s", qPrintable(path), qPrintable(file.errorString()));
        return false;
    }
    return true;
}

QByteArray read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : Missing;
}

bool writeStaleSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

bool giveTo(const QString& path, uid_t uid)
{
    QStringList paths{path};
    QDirIterator below(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                       QDirIterator::Subdirectories);
    while (below.hasNext())
        paths << below.next();
    for (const QString& each : paths) {
        if (::lchown(QFile::encodeName(each).constData(), uid, gid_t(uid)) != 0)
            return false;
    }
    return true;
}

QByteArray gzip(const QByteArray& content)
{
    struct Deflater
    {
        z_stream stream{};
        // windowBits 15 + 16: a gzip header and trailer around the deflate data.
        bool ready = deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                                  Z_DEFAULT_STRATEGY) == Z_OK;
        ~Deflater()
        {
            if (ready)
                deflateEnd(&stream);
        }
    } deflater;
    if (!deflater.ready)
        qFatal("TestFiles::gzip: deflateInit2 failed");
    z_stream& stream = deflater.stream;
    QByteArray result(int(deflateBound(&stream, uLong(content.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.constData()));
    stream.avail_in = uInt(content.size());
    stream.next_out = reinterpret_cast<Bytef*>(result.data());
    stream.avail_out = uInt(result.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END)
        qFatal("TestFiles::gzip: deflate did not finish");
    result.truncate(int(stream.total_out));
    return result;
}

bool writeGzip(const QString& path, const QByteArray& content)
{
    return write(path, gzip(content));
}

QString md5(const QByteArray& content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
}

} // namespace TestFiles
