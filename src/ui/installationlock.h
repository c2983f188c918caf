#ifndef INSTALLATIONLOCK_H
#define INSTALLATIONLOCK_H

#include <QString>

// One run at a time works on an installation, whoever starts it and from
// whatever environment: an exclusive advisory lock on the application
// directory itself, held as long as this object lives. The directory is
// opened read-only, so a read-only installation can be locked too; no file
// is made for it; the kernel frees it when the process ends, and programs
// the updater starts do not inherit it.
class InstallationLock
{
public:
    enum class State {
        Held,          // this process holds it
        HeldElsewhere, // another run holds it
        Unsupported,   // it cannot be locked here (a file system without locks) or not opened
    };

    // Opens the directory; takes nothing yet.
    explicit InstallationLock(const QString& directory);
    ~InstallationLock();
    InstallationLock(const InstallationLock&) = delete;
    InstallationLock& operator=(const InstallationLock&) = delete;

    // Takes the lock without waiting, or says who has it.
    State tryLock();

private:
    int descriptor;
};

#endif
