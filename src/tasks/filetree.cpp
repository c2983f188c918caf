#include "filetree.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t ChunkSize = 1024 * 1024;

class FileDescriptor
{
public:
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd; }
    bool isValid() const { return fd >= 0; }
    bool close()
    {
        const int result = ::close(fd);
        fd = -1;
        return result == 0;
    }

private:
    int fd;
};

int openDirectory(int parent, const char* name)
{
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The names in a directory, read whole before anything in it changes.
bool entryNames(int directory, std::vector<std::string>& names)
{
    // The stream takes over the descriptor it is given.
    const int duplicate = ::dup(directory);
    std::unique_ptr<DIR, int (*)(DIR*)> stream(duplicate < 0 ? nullptr : ::fdopendir(duplicate),
                                               &::closedir);
    if (!stream) {
        if (duplicate >= 0)
            ::close(duplicate);
        return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(stream.get())) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    return errno == 0;
}

// Failures are ignored, as a plain file copy does: only root may give a
// file away, and FAT or FUSE file systems refuse modes and times.
void keepAttributes(int fd, const struct stat& status)
{
    static_cast<void>(::fchown(fd, status.st_uid, status.st_gid));
    static_cast<void>(::fchmod(fd, status.st_mode & 07777));
    const timespec times[2] = {status.st_atim, status.st_mtim};
    static_cast<void>(::futimens(fd, times));
}

bool copyContent(int input, int output)
{
    const std::unique_ptr<char[]> chunk(new char[ChunkSize]);
    for (;;) {
        const ssize_t count = ::read(input, chunk.get(), ChunkSize);
        if (count == 0)
            return true;
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        for (ssize_t written = 0; written < count;) {
            const ssize_t done = ::write(output, chunk.get() + written, size_t(count - written));
            if (done < 0 && errno == EINTR)
                continue;
            if (done <= 0)
                return false;
            written += done;
        }
    }
}

bool copyFile(int fromDir, const char* name, int toDir, const struct stat& status)
{
    FileDescriptor input(::openat(fromDir, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    FileDescriptor output(
        ::openat(toDir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!input.isValid() || !output.isValid() || !copyContent(input.get(), output.get()))
        return false;
    keepAttributes(output.get(), status);
    return ::fsync(output.get()) == 0 && output.close();
}

bool copyLink(int fromDir, const char* name, int toDir, const struct stat& status)
{
    std::vector<char> target(size_t(status.st_size) + 1);
    const ssize_t length = ::readlinkat(fromDir, name, target.data(), target.size());
    // A longer target than the status said: the link changed meanwhile.
    if (length < 0 || size_t(length) >= target.size())
        return false;
    target[size_t(length)] = '\0';
    return ::symlinkat(target.data(), toDir, name) == 0;
}

bool copyDirectory(int fromParent, const char* fromName, int toParent, const char* toName,
                   const struct stat& status);

bool copyEntry(int fromDir, const char* name, int toDir)
{
    struct stat status;
    if (::fstatat(fromDir, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    switch (status.st_mode & S_IFMT) {
    case S_IFREG:
        return copyFile(fromDir, name, toDir, status);
    case S_IFLNK:
        return copyLink(fromDir, name, toDir, status);
    case S_IFDIR:
        // Owner-only until its content is complete.
        return ::mkdirat(toDir, name, 0700) == 0 && copyDirectory(fromDir, name, toDir, name, status);
    default:
        return false;
    }
}

bool copyDirectory(int fromParent, const char* fromName, int toParent, const char* toName,
                   const struct stat& status)
{
    FileDescriptor from(openDirectory(fromParent, fromName));
    FileDescriptor to(openDirectory(toParent, toName));
    std::vector<std::string> names;
    if (!from.isValid() || !to.isValid() || !entryNames(from.get(), names))
        return false;
    for (const std::string& name : names) {
        if (!copyEntry(from.get(), name.c_str(), to.get()))
            return false;
    }
    // Last: copying the entries changed the times.
    keepAttributes(to.get(), status);
    return ::fsync(to.get()) == 0;
}

bool removeEntry(int parent, const char* name)
{
    struct stat status;
    if (::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(status.st_mode))
        return ::unlinkat(parent, name, 0) == 0;
    FileDescriptor directory(openDirectory(parent, name));
    std::vector<std::string> names;
    if (!directory.isValid() || !entryNames(directory.get(), names))
        return false;
    bool removed = true;
    for (const std::string& entry : names)
        removed = removeEntry(directory.get(), entry.c_str()) && removed;
    return removed && ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

} // namespace

bool copyTree(const QString& source, const QString& destination)
{
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(destination);
    struct stat status;
    if (::lstat(from.constData(), &status) != 0 || !S_ISDIR(status.st_mode)
        || ::mkdir(to.constData(), 0700) != 0)
        return false;
    if (copyDirectory(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), status))
        return true;
    removeTree(destination);
    return false;
}

bool removeTree(const QString& path)
{
    return removeEntry(AT_FDCWD, QFile::encodeName(path).constData());
}
