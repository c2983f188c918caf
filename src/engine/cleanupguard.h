#ifndef CLEANUPGUARD_H
#define CLEANUPGUARD_H

#include <QString>

// The work directory to empty comes from update.ini, which anyone who can
// write the installation can edit. Recursive clean-up is refused for a
// relative path, the root, the home directory, the application directory and
// its ancestors, the temporary root itself, a symbolic link, and a directory
// that does not belong to the current user.
bool isSafeToCleanUp(const QString& path);

#endif
