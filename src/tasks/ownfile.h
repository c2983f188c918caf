#ifndef OWNFILE_H
#define OWNFILE_H

#include <QString>

// Whether path names a regular file of the current user, looked at without
// following a link: the one kind of leftover the updater may take for one of
// its own and remove or reuse.
bool isOwnPlainFile(const QString& path);

#endif
