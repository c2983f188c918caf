// Preloaded into the update program (LD_PRELOAD): the directories named in
// KV_IMMOVABLE_DIRS (absolute paths, ':'-separated) cannot be renamed, as
// an overlay file system refuses to rename a directory of its lower layer
// (EXDEV). They are known by device, inode and time of birth as the
// program starts, so the directories it makes later, its copies included,
// move as usual, even on an inode that a removed one freed.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

struct Identity
{
    unsigned int deviceMajor;
    unsigned int deviceMinor;
    unsigned long long inode;
    long long birth;
    unsigned int birthNanoseconds;

    bool operator==(const Identity& other) const
    {
        return deviceMajor == other.deviceMajor && deviceMinor == other.deviceMinor
            && inode == other.inode && birth == other.birth && birthNanoseconds == other.birthNanoseconds;
    }
};

// Of a directory only; a file system that keeps no time of birth gives 0.
bool identify(int directory, const char* path, Identity& identity)
{
    struct statx status;
    if (::statx(directory, path, AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_INO | STATX_BTIME, &status) != 0
        || !S_ISDIR(status.stx_mode))
        return false;
    const bool born = status.stx_mask & STATX_BTIME;
    identity = {status.stx_dev_major, status.stx_dev_minor, status.stx_ino,
                born ? status.stx_btime.tv_sec : 0, born ? status.stx_btime.tv_nsec : 0};
    return true;
}

std::vector<Identity>& immovable()
{
    static std::vector<Identity> directories;
    return directories;
}

__attribute__((constructor)) void readImmovableDirectories()
{
    const char* list = std::getenv("KV_IMMOVABLE_DIRS");
    std::istringstream paths(list ? list : "");
    for (std::string path; std::getline(paths, path, ':');) {
        Identity identity;
        if (identify(AT_FDCWD, path.c_str(), identity))
            immovable().push_back(identity);
    }
}

bool refused(int directory, const char* path)
{
    Identity identity;
    const auto& list = immovable();
    if (!identify(directory, path, identity) || std::find(list.cbegin(), list.cend(), identity) == list.cend())
        return false;
    errno = EXDEV;
    return true;
}

template <typename Function>
Function next(const char* name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int rename(const char* from, const char* to)
{
    static const auto real = next<int (*)(const char*, const char*)>("rename");
    return refused(AT_FDCWD, from) ? -1 : real(from, to);
}

extern "C" int renameat(int fromDirectory, const char* from, int toDirectory, const char* to)
{
    static const auto real = next<int (*)(int, const char*, int, const char*)>("renameat");
    return refused(fromDirectory, from) ? -1 : real(fromDirectory, from, toDirectory, to);
}

extern "C" int renameat2(int fromDirectory, const char* from, int toDirectory, const char* to,
                         unsigned int flags)
{
    static const auto real = next<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2");
    return refused(fromDirectory, from) ? -1 : real(fromDirectory, from, toDirectory, to, flags);
}
