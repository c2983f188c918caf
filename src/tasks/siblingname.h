#ifndef SIBLINGNAME_H
#define SIBLINGNAME_H

#include <QString>

// Names the updater makes from a file's name by adding a tag (a prefix and
// a suffix): temporary files, old copies. A name may have at most 255 bytes
// in its encoded form (QFile::encodeName, UTF-8), and a legal file name can
// already have them all, so the tagged name cannot always be the plain
// prefix + name + suffix:
// - when that fits, it is the name, as it always was;
// - otherwise it is prefix + the name's first bytes (cut before a whole
//   character) + "~" + 32 hex digits of the SHA-256 of the encoded name +
//   suffix, at most 255 bytes.
// The same name always gives the same tagged name, so a later run finds what
// an earlier one left; different names give different ones. Prefix and
// suffix stay as they are in both forms, so whatever looks for names by them
// finds both. Prefix and suffix must together stay well under 255 bytes.
QString taggedName(const QString& prefix, const QString& name, const QString& suffix);

// The path beside path, in the same directory, named
// taggedName(prefix, the bare name of path, suffix).
QString siblingPath(const QString& path, const QString& prefix, const QString& suffix);

#endif
