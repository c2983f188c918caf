#ifndef PATHCHECKS_H
#define PATHCHECKS_H

#include <QString>

// What stands at a path, looked at without following a link at its end.

// Whether anything is there, a dangling link included.
bool pathExists(const QString& path);
// Whether a directory itself is there (not a link to one).
bool isRealDirectory(const QString& path);
// Whether a directory of the current user is there (not a link to one).
bool isOwnDirectory(const QString& path);

// Whether a rename or a hard link can join the two directories: they must
// lie on one mount, not only on one file system, for a bind mount refuses
// both as well. A directory that cannot be examined counts as elsewhere.
bool onSameMount(const QString& first, const QString& second);

#endif
