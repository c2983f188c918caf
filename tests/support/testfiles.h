#ifndef TESTFILES_H
#define TESTFILES_H

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// The small file chores of test set-ups and checks, done one way for every
// test area.
namespace TestFiles {

// Writes content to path, creating the missing parent directories and
// replacing an existing file whole; false (with a warning naming the file)
// when it cannot.
bool write(const QString& path, const QByteArray& content);

// What read() returns for a file that cannot be read, so a comparison with
// any real content fails and says why.
inline const QByteArray Missing = QByteArrayLiteral("<missing>");

// The content of path, or Missing.
QByteArray read(const QString& path);

// What an updater that crashed leaves behind: a socket file at path that
// nobody listens on.
bool writeStaleSocket(const QString& path);

// Hands path and everything below it to the user uid (and the group of the
// same number); false when any of it cannot be handed over.
bool giveTo(const QString& path, uid_t uid);

// content compressed into a gzip stream (header, deflate data, trailer).
QByteArray gzip(const QByteArray& content);

// write(path, gzip(content)).
bool writeGzip(const QString& path, const QByteArray& content);

// The MD5 sum of content as lower-case hex, as the product ini lists it.
QString md5(const QByteArray& content);

} // namespace TestFiles

#endif
