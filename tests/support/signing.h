#ifndef SIGNING_H
#define SIGNING_H

#include <QByteArray>
#include <QString>

// Signs test fixtures with the development private key, the pair of the key
// that test executables embed (kvkey_development).
namespace Signing {

QString developmentPrivateKeyPath();
QString developmentPublicKeyPath();

// The signature file content for the given content.
QByteArray signature(const QByteArray& content);

// Writes path + ".sig" for the file at path; false (with a warning that says
// why) when the file cannot be read or the signature cannot be written.
bool signFile(const QString& path);

} // namespace Signing

#endif
