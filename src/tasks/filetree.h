#ifndef FILETREE_H
#define FILETREE_H

#include <QString>

// Whole directory trees, walked through descriptors without following a
// symbolic link anywhere: a link is copied or removed as the link it is,
// never what it points to, even if an entry is swapped for one meanwhile.

// Copies the directory source to destination, which must not exist yet:
// directories, regular files and symbolic links, with their modes, times
// and (where the process may set it) owners, each file written through to
// the disk. Anything else in the tree (a socket, a device) fails the copy.
// On failure what was made of destination is removed again.
bool copyTree(const QString& source, const QString& destination);

// Removes what is at path: a file or a link, or a directory with everything
// in it. Goes on past what it cannot remove; false if anything stayed.
// Nothing there counts as removed.
bool removeTree(const QString& path);

#endif
