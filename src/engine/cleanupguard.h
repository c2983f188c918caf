#ifndef CLEANUPGUARD_H
#define CLEANUPGUARD_H

#include <QString>

// The run record in update.ini names the work directory that the next run
// resumes in or removes, and anyone who can write the installation can edit
// it. Only a directory of the shape the updater makes is ever taken: a real
// directory (not a symbolic link) named "korvalune_temp_" and a number from
// 0 to 999, owned by the current user and writable by no one else. It lies
// directly in the temporary root, or, for a run started with another
// TMPDIR, at an absolute path that no one else can change under it: every
// directory on the way is a real directory of the current user or of root,
// writable by no one else unless it is sticky.
bool isOwnWorkDirectory(const QString& path);

#endif
