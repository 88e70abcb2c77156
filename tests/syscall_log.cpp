// An LD_PRELOAD library for the tests: logs the file-system calls a process
// makes on paths below $SYSCALL_LOG_WATCH to the file $SYSCALL_LOG_FILE, one
// line each, as they return:
//
//   open <path> <requested mode> <mode the file was created with>  (O_CREAT)
//   fchmod <path> <mode>     fchown <path> <uid> <gid>     write <path>
//   fsync <path>             rename <from> <to>            unlink <path>
//   mkdir <path>
//
// Modes are octal. Every call goes on to the next definition of its name
// (libc's, or a sanitizer's after it), so the library can follow others in
// LD_PRELOAD. With $SYSCALL_LOG_DIR_FSYNC_ERRNO set, fsync of a watched
// directory fails with that errno instead (a file system that cannot flush
// directories).
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

template <typename F>
F next(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

using WriteFn = ssize_t (*)(int, const void*, size_t);
using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);

ssize_t real_write(int fd, const void* data, size_t size)
{
    static WriteFn fn = next<WriteFn>("write");
    return fn(fd, data, size);
}

// The path an open descriptor names ("" when unknown).
void path_of(int fd, char (&path)[4096])
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t len = readlink(link, path, sizeof path - 1);
    path[len > 0 ? len : 0] = '\0';
}

// `name` relative to the directory `dir_fd`, as a full path.
void path_at(int dir_fd, const char* name, char (&path)[8192])
{
    if (name[0] == '/' || dir_fd == AT_FDCWD) {
        std::snprintf(path, sizeof path, "%s", name);
        return;
    }
    char dir[4096];
    path_of(dir_fd, dir);
    std::snprintf(path, sizeof path, "%s/%s", dir, name);
}

bool watched(const char* path)
{
    const char* watch = std::getenv("SYSCALL_LOG_WATCH");
    return watch != nullptr && watch[0] != '\0'
           && std::strncmp(path, watch, std::strlen(watch)) == 0;
}

void log_line(const char* format, ...)
{
    const char* file = std::getenv("SYSCALL_LOG_FILE");
    if (file == nullptr) {
        return;
    }
    static OpenFn open_fn = next<OpenFn>("open");
    const int saved_errno = errno;
    char line[17000];
    va_list args;
    va_start(args, format);
    const int len = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    const int fd = open_fn(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                           0644);
    if (fd >= 0 && len > 0) {
        line[len] = '\n';
        real_write(fd, line, static_cast<size_t>(len) + 1);
    }
    if (fd >= 0) {
        close(fd);
    }
    errno = saved_errno;
}

void log_fd(const char* call, int fd)
{
    char path[4096];
    path_of(fd, path);
    if (watched(path)) {
        log_line("%s %s", call, path);
    }
}

int log_open(int fd, int flags, mode_t mode)
{
    if (fd < 0 || (flags & O_CREAT) == 0) {
        return fd;
    }
    char path[4096];
    path_of(fd, path);
    struct stat st;
    if (watched(path) && fstat(fd, &st) == 0) {
        log_line("open %s %o %o", path, mode, st.st_mode & 07777);
    }
    return fd;
}

mode_t mode_argument(int flags, va_list args)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE
               ? static_cast<mode_t>(va_arg(args, int))
               : 0;
}

}  // namespace

#define SYSCALL_LOG_OPEN(name)                                              \
    extern "C" int name(const char* path, int flags, ...)                  \
    {                                                                       \
        static OpenFn fn = next<OpenFn>(#name);                             \
        va_list args;                                                       \
        va_start(args, flags);                                              \
        const mode_t mode = mode_argument(flags, args);                     \
        va_end(args);                                                       \
        return log_open(fn(path, flags, mode), flags, mode);                \
    }

#define SYSCALL_LOG_OPENAT(name)                                            \
    extern "C" int name(int dir_fd, const char* path, int flags, ...)      \
    {                                                                       \
        static OpenatFn fn = next<OpenatFn>(#name);                         \
        va_list args;                                                       \
        va_start(args, flags);                                              \
        const mode_t mode = mode_argument(flags, args);                     \
        va_end(args);                                                       \
        return log_open(fn(dir_fd, path, flags, mode), flags, mode);        \
    }

SYSCALL_LOG_OPEN(open)
SYSCALL_LOG_OPEN(open64)
SYSCALL_LOG_OPENAT(openat)
SYSCALL_LOG_OPENAT(openat64)

extern "C" int fchmod(int fd, mode_t mode)
{
    static auto fn = next<int (*)(int, mode_t)>("fchmod");
    const int result = fn(fd, mode);
    char path[4096];
    path_of(fd, path);
    if (watched(path)) {
        log_line("fchmod %s %o", path, mode);
    }
    return result;
}

extern "C" int fchown(int fd, uid_t uid, gid_t gid)
{
    static auto fn = next<int (*)(int, uid_t, gid_t)>("fchown");
    const int result = fn(fd, uid, gid);
    char path[4096];
    path_of(fd, path);
    if (watched(path)) {
        log_line("fchown %s %d %d", path, static_cast<int>(uid),
                 static_cast<int>(gid));
    }
    return result;
}

extern "C" ssize_t write(int fd, const void* data, size_t size)
{
    const ssize_t result = real_write(fd, data, size);
    log_fd("write", fd);
    return result;
}

extern "C" int fsync(int fd)
{
    static auto fn = next<int (*)(int)>("fsync");
    char path[4096];
    path_of(fd, path);
    struct stat st;
    const char* fail = std::getenv("SYSCALL_LOG_DIR_FSYNC_ERRNO");
    if (fail != nullptr && watched(path) && fstat(fd, &st) == 0
        && S_ISDIR(st.st_mode)) {
        log_line("fsync %s failed", path);
        errno = std::atoi(fail);
        return -1;
    }
    const int result = fn(fd);
    if (watched(path)) {
        log_line("fsync %s", path);
    }
    return result;
}

namespace {

// Logs a rename that succeeded.
void log_rename(int result, int from_dir, const char* from, int to_dir,
                const char* to)
{
    if (result != 0) {
        return;
    }
    const int saved_errno = errno;
    char from_path[8192], to_path[8192];
    path_at(from_dir, from, from_path);
    path_at(to_dir, to, to_path);
    if (watched(from_path) || watched(to_path)) {
        log_line("rename %s %s", from_path, to_path);
    }
    errno = saved_errno;
}

}  // namespace

extern "C" int rename(const char* from, const char* to)
{
    static auto fn = next<int (*)(const char*, const char*)>("rename");
    const int result = fn(from, to);
    log_rename(result, AT_FDCWD, from, AT_FDCWD, to);
    return result;
}

extern "C" int renameat(int from_dir, const char* from, int to_dir,
                        const char* to)
{
    static auto fn = next<int (*)(int, const char*, int, const char*)>(
        "renameat");
    const int result = fn(from_dir, from, to_dir, to);
    log_rename(result, from_dir, from, to_dir, to);
    return result;
}

extern "C" int renameat2(int from_dir, const char* from, int to_dir,
                         const char* to, unsigned int flags)
{
    static auto fn =
        next<int (*)(int, const char*, int, const char*, unsigned int)>(
            "renameat2");
    const int result = fn(from_dir, from, to_dir, to, flags);
    log_rename(result, from_dir, from, to_dir, to);
    return result;
}

extern "C" int unlinkat(int dir_fd, const char* name, int flags)
{
    static auto fn = next<int (*)(int, const char*, int)>("unlinkat");
    char path[8192];
    path_at(dir_fd, name, path);
    if (watched(path)) {
        log_line("unlink %s", path);
    }
    return fn(dir_fd, name, flags);
}

extern "C" int mkdir(const char* path, mode_t mode)
{
    static auto fn = next<int (*)(const char*, mode_t)>("mkdir");
    const int result = fn(path, mode);
    char full[8192];
    path_at(AT_FDCWD, path, full);
    if (result == 0 && watched(full)) {
        log_line("mkdir %s", full);
    }
    return result;
}

extern "C" int mkdirat(int dir_fd, const char* path, mode_t mode)
{
    static auto fn = next<int (*)(int, const char*, mode_t)>("mkdirat");
    const int result = fn(dir_fd, path, mode);
    char full[8192];
    path_at(dir_fd, path, full);
    if (result == 0 && watched(full)) {
        log_line("mkdir %s", full);
    }
    return result;
}
