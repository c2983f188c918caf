// Preloaded into every program of a test that runs under a user-mode
// emulator: the tests of the i386 build on a host whose kernel does not run
// 32-bit x86 programs itself. The emulator runs one program; when that
// program starts another (a test starting the update program, the update
// server or nginx), the kernel would refuse a 32-bit x86 one. So the start of
// a 32-bit x86 program becomes a start of the emulator with this library
// preloaded again, and any other program starts as it is, without it.
//
// The exec calls run between fork and exec, in a child that may share the
// parent's memory (QProcess forks with vfork semantics): no allocation and no
// locks, only system calls.

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <initializer_list>

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char* Emulator = KV_EMULATOR;
constexpr const char* PreloadSetting = "LD_PRELOAD=" KV_EMULATED_EXEC_LIBRARY;
constexpr const char* PreloadPrefix = "LD_PRELOAD=";
constexpr int MaxEntries = 4096;

using CloneFunction = int (*)(int (*)(void*), void*, int, void*, ...);
// The C library's clone(), found when the library is loaded, while the
// program has a single thread.
CloneFunction realClone = nullptr;

__attribute__((constructor)) void findRealClone()
{
    realClone = reinterpret_cast<CloneFunction>(dlsym(RTLD_NEXT, "clone"));
}

int realExecve(const char* path, const char* const* argv, const char* const* envp)
{
    return static_cast<int>(syscall(SYS_execve, path, argv, envp));
}

// An ELF file for 32-bit x86: class ELFCLASS32, machine EM_386.
bool isI386Program(const char* path)
{
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0)
        return false;
    unsigned char header[20];
    const ssize_t count = read(file, header, sizeof header);
    close(file);
    return count == sizeof header && std::memcmp(header, "\177ELF", 4) == 0 && header[4] == 1
        && header[18] == 3 && header[19] == 0;
}

// Copies envp without its LD_PRELOAD entries into entries; false when it
// does not fit.
bool withoutPreload(char* const envp[], const char** entries, int capacity)
{
    int count = 0;
    for (char* const* entry = envp; entry && *entry; ++entry) {
        if (std::strncmp(*entry, PreloadPrefix, std::strlen(PreloadPrefix)) == 0)
            continue;
        if (count == capacity - 1)
            return false;
        entries[count++] = *entry;
    }
    entries[count] = nullptr;
    return true;
}

} // namespace

extern "C" int execve(const char* path, char* const argv[], char* const envp[])
{
    const char* environment[MaxEntries];
    if (!withoutPreload(envp, environment, MaxEntries)) {
        errno = E2BIG;
        return -1;
    }
    if (!isI386Program(path))
        return realExecve(path, argv, environment);

    // emulator -0 <argv[0]> -E LD_PRELOAD=<this library> <path> <argv[1]>...
    const char* arguments[MaxEntries];
    int count = 0;
    for (const char* argument : {Emulator, "-0", argv[0] ? argv[0] : path, "-E", PreloadSetting,
                                 path})
        arguments[count++] = argument;
    for (char* const* argument = argv[0] ? argv + 1 : argv; *argument; ++argument) {
        if (count == MaxEntries - 1) {
            errno = E2BIG;
            return -1;
        }
        arguments[count++] = *argument;
    }
    arguments[count] = nullptr;
    return realExecve(Emulator, arguments, environment);
}

extern "C" int execv(const char* path, char* const argv[])
{
    return execve(path, argv, environ);
}

// Where the kernel offers process file descriptors, QProcess forks with
// clone(CLONE_PIDFD), which the emulator refuses (EINVAL). Fork without the
// flag and open the child's process file descriptor at once (it cannot be
// reaped before: QProcess is its only waiter). Waiting on that descriptor
// needs no signal handler, unlike QProcess's fallback without process file
// descriptors: signal handlers break the thread-local storage of other
// threads in the emulated 32-bit program.
extern "C" int clone(int (*function)(void*), void* stack, int flags, void* argument, ...)
{
    va_list list;
    va_start(list, argument);
    pid_t* parentTid = va_arg(list, pid_t*);
    void* tls = va_arg(list, void*);
    pid_t* childTid = va_arg(list, pid_t*);
    va_end(list);
    if ((flags & CLONE_PIDFD) == 0)
        return realClone(function, stack, flags, argument, parentTid, tls, childTid);

    const int pid = realClone(function, stack, flags & ~CLONE_PIDFD, argument, parentTid, tls,
                              childTid);
    if (pid <= 0)
        return pid;
    const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidFd < 0) {
        const int error = errno;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        errno = error;
        return -1;
    }
    // CLONE_PIDFD hands the descriptor over where the parent's thread id
    // would go.
    *parentTid = pidFd;
    return pid;
}
