#ifndef OWNFILE_H
#define OWNFILE_H

#include <QString>

// Whether path names a regular file of the current user, looked at without
// following a link: the one kind of leftover the updater may take for one of
// its own and remove or reuse.
bool isOwnPlainFile(const QString& path);

// A name the updater makes from a file's name, prefix + name + suffix, kept
// within the 255-byte limit of a name: when that is too long, the MD5 of the
// name (32 hex digits) stands for it, so the name still belongs to that file
// alone.
QString fittedName(const QString& prefix, const QString& name, const QString& suffix);

#endif
