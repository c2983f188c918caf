// Preloaded into the update program (LD_PRELOAD): the directories named in
// KV_IMMOVABLE_DIRS (absolute paths, ':'-separated) cannot be renamed, as
// an overlay file system refuses to rename a directory of its lower layer
// (EXDEV). They are known by device and inode as the program starts, so the
// directories it makes later, its copies included, move as usual.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace {

using Identity = std::pair<dev_t, ino_t>;

// Of a directory only: the program's temporary files take the inodes that
// removed directories free.
bool identify(int directory, const char* path, Identity& identity)
{
    struct stat status;
    if (::fstatat(directory, path, &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(status.st_mode))
        return false;
    identity = {status.st_dev, status.st_ino};
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
