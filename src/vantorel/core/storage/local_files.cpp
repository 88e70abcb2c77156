// The module's own system calls on a local store. They stand in for a
// path's methods only where those are pathlib's own, answer as pathlib
// would, and run without the GIL.
#include "local_files.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/random.h>
#include <sys/stat.h>

namespace storage {
namespace {

// 1 when the attribute `name` of `path`'s type is `expected`, 0 when it is
// something else, -1 with an exception set.
int type_attribute_is(PyObject* path, PyObject* name, PyObject* expected)
{
    PyObject* found = nullptr;
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(path));
    if (PyObject_GetOptionalAttr(type, name, &found) < 0) {
        return -1;
    }
    const bool same = found == expected;
    Py_XDECREF(found);
    return same;
}

// The file-system name of `path` as bytes (owned through `holder`), and its
// text form for error messages, as pathlib's own methods report it.
bool file_system_name(PyObject* path, OwnedRef& holder, OwnedRef& text)
{
    text = OwnedRef::steal(PyOS_FSPath(path));
    if (!text) {
        return false;
    }
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(text.get(), &raw)) {
        return false;
    }
    holder = OwnedRef::steal(raw);
    return true;
}

// As file_system_name, for a path or a str that the file system cannot
// name (a NUL, a lone surrogate): false with the ValueError cleared, which
// only pathlib can answer for; false with another exception set.
bool nameable(PyObject* path, OwnedRef& holder, OwnedRef& text)
{
    if (file_system_name(path, holder, text)) {
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
    }
    return false;
}

void raise_for_errno(int error, PyObject* filename)
{
    errno = error;
    if (filename != nullptr) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    }
    else {
        PyErr_SetFromErrno(PyExc_OSError);
    }
}

void raise_os_error(int error, const char* reason, PyObject* filename)
{
    auto exception = OwnedRef::steal(
        PyObject_CallFunction(PyExc_OSError, "isO", error, reason,
                              filename != nullptr ? filename : Py_None));
    if (exception) {
        PyErr_SetObject(PyExc_OSError, exception.get());
    }
}

// Runs `work`, which may allocate, with the GIL released: nothing may
// throw past the release. False, with MemoryError set, when it ran out of
// memory.
template <typename Work>
bool without_gil(Work work)
{
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    }
    catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) {
        PyErr_NoMemory();
    }
    return !out_of_memory;
}

// Errors for which pathlib's exists and is_dir answer False instead of
// raising.
bool means_not_there(int error)
{
    return error == ENOENT || error == ENOTDIR || error == EBADF
           || error == ELOOP;
}

FileVersion version_of(const struct stat& st)
{
    return FileVersion{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

bool is_version(const struct stat& st, const FileVersion& version)
{
    return st.st_dev == version.dev && st.st_ino == version.ino
           && st.st_size == version.size
           && st.st_mtim.tv_sec == version.modified.tv_sec
           && st.st_mtim.tv_nsec == version.modified.tv_nsec;
}

// Retries a system call that a signal interrupted (Python installs its
// handlers without SA_RESTART; some FUSE mounts then answer EINTR).
template <typename Call>
auto retrying(Call call)
{
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) {
            return result;
        }
    }
}

// Opens `name` (below `dir_fd`) for reading without blocking and checks
// that it is a regular file. Returns the descriptor, its size and version,
// or an empty descriptor with an exception set.
UniqueFd open_regular_file(int dir_fd, const char* name, PyObject* filename,
                           off_t* size, FileVersion* version,
                           bool* absent = nullptr)
{
    for (;;) {
        int fd, error = 0;
        struct stat st;
        Py_BEGIN_ALLOW_THREADS
        fd = openat(dir_fd, name,
                    O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            error = errno;
        }
        else if (fstat(fd, &st) != 0) {
            error = errno;
            close(fd);
        }
        Py_END_ALLOW_THREADS
        if (error == EINTR) {
            if (PyErr_CheckSignals() < 0) {
                return {};
            }
            continue;
        }
        if (error != 0) {
            if (absent != nullptr && means_not_there(error)) {
                *absent = true;
            }
            else {
                raise_for_errno(error, filename);
            }
            return {};
        }
        UniqueFd file(fd);
        if (S_ISREG(st.st_mode)) {
            *size = st.st_size;
            if (version != nullptr) {
                *version = version_of(st);
            }
            return file;
        }
        if (S_ISDIR(st.st_mode)) {
            raise_for_errno(EISDIR, filename);
        }
        else {
            raise_os_error(EINVAL, "Not a regular file", filename);
        }
        return {};
    }
}

// Reads from `fd` into buffer[*filled, capacity) until it is full or the
// file ends (`*at_end`). Returns 0, an errno, or -1 with an exception set.
int fill(int fd, char* buffer, Py_ssize_t capacity, Py_ssize_t* filled,
         bool* at_end)
{
    for (;;) {
        int error = 0;
        Py_BEGIN_ALLOW_THREADS
        while (*filled < capacity) {
            const ssize_t got = read(fd, buffer + *filled,
                                     static_cast<size_t>(capacity - *filled));
            if (got < 0) {
                error = errno;
                break;
            }
            if (got == 0) {
                *at_end = true;
                break;
            }
            *filled += got;
        }
        Py_END_ALLOW_THREADS
        if (error != EINTR) {
            return error;
        }
        if (PyErr_CheckSignals() < 0) {
            return -1;
        }
    }
}

constexpr Py_ssize_t kGrowthChunk = 1 << 16;

// The whole file: `chunks` (a list of the bytes read so far), and what it
// still holds, since it grew after fstat or reports no size (as /proc
// does).
OwnedRef read_on(int fd, PyObject* chunks, PyObject* filename)
{
    bool at_end = false;
    while (!at_end) {
        auto chunk = OwnedRef::steal(
            PyBytes_FromStringAndSize(nullptr, kGrowthChunk));
        if (!chunk) {
            return {};
        }
        Py_ssize_t filled = 0;
        const int error = fill(fd, PyBytes_AS_STRING(chunk.get()),
                               kGrowthChunk, &filled, &at_end);
        if (error != 0) {
            if (error > 0) {
                raise_for_errno(error, filename);
            }
            return {};
        }
        if (filled < kGrowthChunk) {
            chunk = OwnedRef::steal(PyBytes_FromStringAndSize(
                PyBytes_AS_STRING(chunk.get()), filled));
        }
        if (!chunk || PyList_Append(chunks, chunk.get()) < 0) {
            return {};
        }
    }
    auto empty = OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, 0));
    if (!empty) {
        return {};
    }
    return OwnedRef::steal(
        PyObject_CallMethodOneArg(empty.get(), g_process.str_join, chunks));
}

// The whole content of the open regular file `fd` of `size` bytes (as
// fstat saw it), read with the GIL released.
OwnedRef read_whole(int fd, off_t size, PyObject* filename)
{
    const auto expected = static_cast<Py_ssize_t>(size);
    auto content = OwnedRef::steal(
        PyBytes_FromStringAndSize(nullptr, expected));
    if (!content) {
        return {};
    }
    Py_ssize_t filled = 0;
    bool at_end = false;
    const int error = fill(fd, PyBytes_AS_STRING(content.get()), expected,
                           &filled, &at_end);
    if (error != 0) {
        if (error > 0) {
            raise_for_errno(error, filename);
        }
        return {};
    }
    if (!at_end) {
        // Full as fstat saw it: one byte more tells whether it grew.
        char probe;
        Py_ssize_t more = 0;
        const int probed = fill(fd, &probe, 1, &more, &at_end);
        if (probed != 0) {
            if (probed > 0) {
                raise_for_errno(probed, filename);
            }
            return {};
        }
        if (more == 0) {
            return content;
        }
        auto chunks = OwnedRef::steal(PyList_New(2));
        PyObject* grown = PyBytes_FromStringAndSize(&probe, 1);
        if (!chunks || grown == nullptr) {
            Py_XDECREF(grown);
            return {};
        }
        PyList_SET_ITEM(chunks.get(), 0, content.release());  // steals
        PyList_SET_ITEM(chunks.get(), 1, grown);              // steals
        return read_on(fd, chunks.get(), filename);
    }
    if (filled < expected) {  // it shrank since
        return OwnedRef::steal(PyBytes_FromStringAndSize(
            PyBytes_AS_STRING(content.get()), filled));
    }
    return content;
}

// Longest piece of the final name kept in a temporary name, so that the
// temporary name stays within the file system's limit when the final does.
constexpr int kMaxNameInTemp = 200;
constexpr size_t kTempNameSize = kMaxNameInTemp + 64;

// A name beside `name` that no lookup or listing reads (never "*.json"):
// ".<name>.<pid>.<n>.<kind>", where <kind> is "tmp" for a save's temporary
// file and "aside" for a file a removal renamed away. <n> counts in this
// process and holds random bits, so that processes of equal pids on other
// machines sharing the store do not meet.
void name_beside(const char* name, const char* kind,
                 char (&beside)[kTempNameSize])
{
    static std::atomic<unsigned long> counter{0};
    unsigned int random = 0;
    if (getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
        random = 0;
    }
    const unsigned long long number = (static_cast<unsigned long long>(random)
                                       << 32)
                                      | (counter++ & 0xffffffffUL);
    const int name_len = static_cast<int>(
        std::min<size_t>(std::strlen(name), kMaxNameInTemp));
    std::snprintf(beside, sizeof beside, ".%.*s.%ld.%llu.%s", name_len, name,
                  static_cast<long>(getpid()), number, kind);
}

// A file system that cannot flush a directory (some network and FUSE
// mounts answer EINVAL) keeps its entries as it can: not an error.
int flush(int fd)
{
    if (retrying([&] { return fsync(fd); }) == 0 || errno == EINVAL
        || errno == ENOTSUP) {
        return 0;
    }
    return errno;
}

// Gives the new file at `fd` the permission bits, and where allowed the
// owner and group, of the file it replaces; never its set-user-ID,
// set-group-ID or sticky bits. Returns 0 or an errno.
int keep_permissions(int fd, const struct stat& replaced)
{
    if (replaced.st_uid != geteuid() || replaced.st_gid != getegid()) {
        // Only a privileged process may give a file away; any process may
        // pass it to a group it belongs to. Neither is an error.
        if (fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
            (void)fchown(fd, static_cast<uid_t>(-1), replaced.st_gid);
        }
    }
    return retrying([&] { return fchmod(fd, replaced.st_mode & 0777); }) == 0
               ? 0
               : errno;
}

int write_all(int fd, const char* data, Py_ssize_t size)
{
    while (size > 0) {
        const ssize_t written = write(fd, data, static_cast<size_t>(size));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (written == 0) {
            return EIO;  // no progress: never loop on it
        }
        data += written;
        size -= written;
    }
    return 0;
}

// Runs without the GIL. Writes `data` to a new temporary file in `dir_fd`
// and renames it over `name`; the file, then the directory, are flushed.
// A re-save's temporary file stays private (0600) until it has the mode of
// the file it replaces; a first save's gets 0666 less the umask. Returns 0,
// or the errno of the failure after removing the temporary file.
int write_through_temp(int dir_fd, const char* name, const char* data,
                       Py_ssize_t size)
{
    struct stat replaced;
    const bool replacing =
        fstatat(dir_fd, name, &replaced, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISREG(replaced.st_mode);
    char temp[kTempNameSize];
    int fd = -1;
    for (int attempt = 0; fd < 0; attempt++) {
        name_beside(name, "tmp", temp);
        fd = retrying([&] {
            return openat(dir_fd, temp,
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          replacing ? 0600 : 0666);
        });
        if (fd < 0 && (errno != EEXIST || attempt == 100)) {
            return errno;
        }
    }
    UniqueFd file(fd);
    int error = replacing ? keep_permissions(fd, replaced) : 0;
    if (error == 0) {
        error = write_all(fd, data, size);
    }
    if (error == 0 && retrying([&] { return fsync(fd); }) != 0) {
        error = errno;
    }
    if (close(file.release()) != 0 && error == 0 && errno != EINTR) {
        error = errno;
    }
    if (error == 0 && retrying([&] {
                          return renameat(dir_fd, temp, dir_fd, name);
                      }) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlinkat(dir_fd, temp, 0);
        return error;
    }
    return flush(dir_fd);
}

bool ends_with(const char* name, const char* suffix, size_t suffix_len)
{
    const size_t len = std::strlen(name);
    return len >= suffix_len
           && std::memcmp(name + len - suffix_len, suffix, suffix_len) == 0;
}

bool is_dot_or_dot_dot(const char* name)
{
    return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Reads the next entry of `dir`: true with `*entry` set, or false at the
// end (`*error` 0) or on a failure (`*error` the errno).
bool next_entry(const DirHandle& dir, const dirent** entry, int* error)
{
    errno = 0;
    *entry = readdir(dir.get());
    *error = *entry == nullptr ? errno : 0;
    return *entry != nullptr;
}

// Whether the entry `entry` of `dir` is a directory, as pathlib's is_dir
// says (following a symbolic link): 1, 0, or -1 where is_dir would raise.
int entry_is_directory(const DirHandle& dir, const dirent& entry)
{
    if (entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN) {
        return entry.d_type == DT_DIR;
    }
    struct stat st;
    if (fstatat(dir.fd(), entry.d_name, &st, 0) == 0) {
        return S_ISDIR(st.st_mode);
    }
    return means_not_there(errno) ? 0 : -1;
}

// Opens a second stream on the directory `fd`, which stays open.
DirHandle stream_of(int fd)
{
    return DirHandle(
        UniqueFd(openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
}

// Looks in directory `name` (below `parent_fd`) for the first entry whose
// name ends with `suffix`: Found (its name in `*entry_name`), NotFound (also
// when it has gone), or Unsure when it cannot be read, which only pathlib
// can say what means.
Scan find_in_directory(int parent_fd, const char* name, const char* suffix,
                       size_t suffix_len, std::string* entry_name)
{
    UniqueFd fd(openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        return means_not_there(errno) ? Scan::NotFound : Scan::Unsure;
    }
    DirHandle dir(std::move(fd));
    if (!dir) {
        return Scan::Unsure;
    }
    const dirent* entry;
    int error;
    while (next_entry(dir, &entry, &error)) {
        if (ends_with(entry->d_name, suffix, suffix_len)) {
            entry_name->assign(entry->d_name);
            return Scan::Found;
        }
    }
    return error == 0 ? Scan::NotFound : Scan::Unsure;
}

// Calls `visit(name)` for each entry of `dir` that is a directory, as
// pathlib's is_dir says, in directory order, until it answers other than
// NotFound; that answer, NotFound at the end, or Unsure when an entry
// cannot be stat'ed (pathlib's is_dir would raise) or `dir` not read to
// its end.
template <typename Visit>
Scan for_each_directory(const DirHandle& dir, Visit visit)
{
    const dirent* entry;
    int error;
    while (next_entry(dir, &entry, &error)) {
        if (is_dot_or_dot_dot(entry->d_name)) {
            continue;
        }
        const int is_dir = entry_is_directory(dir, *entry);
        if (is_dir < 0) {
            return Scan::Unsure;
        }
        if (is_dir == 0) {
            continue;
        }
        const Scan outcome = visit(entry->d_name);
        if (outcome != Scan::NotFound) {
            return outcome;
        }
    }
    return error == 0 ? Scan::NotFound : Scan::Unsure;
}

// Runs without the GIL: the scan of find_entry_locally on names alone.
Scan scan_tree(const char* root, const char* suffix, size_t suffix_len,
               std::string* type_name, std::string* entry_name)
{
    DirHandle dir(UniqueFd(open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
    if (!dir) {
        return Scan::Unsure;
    }
    return for_each_directory(dir, [&](const char* name) {
        const Scan outcome = find_in_directory(dir.fd(), name, suffix,
                                               suffix_len, entry_name);
        if (outcome == Scan::Found) {
            type_name->assign(name);
        }
        return outcome;
    });
}

// A type directory as the listing meets it: opened without following a
// symbolic link, or through one (noted). An empty descriptor when it holds
// nothing a listing reads (gone, not a directory, unreadable: pathlib's
// exists() is false or its glob finds nothing); Unsure in `*outcome` when
// pathlib's exists() would raise.
TypeDirectory open_type_directory(int root_fd, const char* name, Scan* outcome)
{
    TypeDirectory directory;
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
    directory.fd = UniqueFd(openat(root_fd, name, flags | O_NOFOLLOW));
    if (directory.fd) {
        return directory;
    }
    struct stat st;
    if ((errno == ELOOP || errno == ENOTDIR)
        && fstatat(root_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISLNK(st.st_mode)) {
        directory.fd = UniqueFd(openat(root_fd, name, flags));
        directory.through_link = true;
        if (directory.fd) {
            return directory;
        }
    }
    const int error = errno;
    // Out of descriptors or memory says nothing of the directory.
    if (error == EMFILE || error == ENFILE || error == ENOMEM
        || (fstatat(root_fd, name, &st, 0) != 0 && !means_not_there(errno))) {
        *outcome = Scan::Unsure;
    }
    return directory;
}

// The "*.json" names of `directory`, in directory order; none when it
// cannot be read to the end, as pathlib's glob finds none.
void read_json_names(TypeDirectory& directory)
{
    DirHandle dir = stream_of(directory.fd.get());
    if (!dir) {
        return;
    }
    const dirent* entry;
    int error;
    while (next_entry(dir, &entry, &error)) {
        if (ends_with(entry->d_name, ".json", 5)) {
            directory.files.emplace_back(entry->d_name);
        }
    }
    if (error != 0) {
        directory.files.clear();
    }
}

// Runs without the GIL: read_local_tree's walk. `type_filter` is the
// encoded simulation type, or nullptr for every type.
Scan walk_local_tree(const char* root, const char* type_filter,
                     LocalTree* tree, std::vector<std::string>* type_names)
{
    tree->root = UniqueFd(open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!tree->root) {
        return errno == ENOENT ? Scan::NotFound : Scan::Unsure;
    }
    const int root_fd = tree->root.get();
    if (type_filter != nullptr) {
        type_names->emplace_back(type_filter);
    }
    else {
        DirHandle dir = stream_of(root_fd);
        if (!dir) {
            return Scan::Unsure;
        }
        auto keep = [&](const char* name) {
            type_names->emplace_back(name);
            return Scan::NotFound;
        };
        if (for_each_directory(dir, keep) == Scan::Unsure) {
            return Scan::Unsure;
        }
    }
    Scan outcome = Scan::Found;
    for (const std::string& name : *type_names) {
        // "" and "." name the store itself.
        TypeDirectory directory = open_type_directory(
            root_fd, name.empty() ? "." : name.c_str(), &outcome);
        if (outcome == Scan::Unsure) {
            return outcome;
        }
        if (directory.fd) {
            read_json_names(directory);
        }
        tree->directories.push_back(std::move(directory));
    }
    return outcome;
}

// Puts the file renamed aside as `aside` back under `name`, never over a
// newer file (which then supersedes it: it is removed). Returns 0 or an
// errno (the file then stays aside).
int put_back(int dir_fd, const char* aside, const char* name)
{
    if (renameat2(dir_fd, aside, dir_fd, name, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno == EINVAL || errno == ENOSYS) {
        // No RENAME_NOREPLACE here: a hard link refuses an existing name
        // as well; where there are none either, the name is looked at
        // right before a plain rename (a window of two system calls).
        if (linkat(dir_fd, aside, dir_fd, name, 0) == 0) {
            return unlinkat(dir_fd, aside, 0) == 0 ? 0 : errno;
        }
        struct stat st;
        if (errno != EEXIST
            && fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0
            && errno == ENOENT) {
            return renameat(dir_fd, aside, dir_fd, name) == 0 ? 0 : errno;
        }
        errno = EEXIST;
    }
    if (errno == EEXIST) {
        return unlinkat(dir_fd, aside, 0) == 0 ? 0 : errno;
    }
    return errno;
}

// Renames `name` to a new name beside it, `*aside`, never over another
// file. Returns 0 or an errno (ENOENT when it is gone).
int set_aside(int dir_fd, const char* name, char (&aside)[kTempNameSize])
{
    for (int attempt = 0;; attempt++) {
        name_beside(name, "aside", aside);
        if (renameat2(dir_fd, name, dir_fd, aside, RENAME_NOREPLACE) == 0) {
            return 0;
        }
        if (errno == EINVAL || errno == ENOSYS) {
            // Without RENAME_NOREPLACE: the name's random bits keep it
            // from meeting another.
            return renameat(dir_fd, name, dir_fd, aside) == 0 ? 0 : errno;
        }
        if (errno != EEXIST || attempt == 100) {
            return errno;
        }
    }
}

// Runs without the GIL: remove_if_unchanged's system calls. Returns 0 with
// `*removed` set, or an errno.
int remove_version(int dir_fd, const char* name, const FileVersion& listed,
                   bool* removed)
{
    *removed = false;
    char aside[kTempNameSize];
    if (const int error = set_aside(dir_fd, name, aside)) {
        return error == ENOENT ? 0 : error;
    }
    // Only a regular file the store wrote: a symbolic link named like a
    // result is none, nor a file written since the listing.
    struct stat st;
    if (fstatat(dir_fd, aside, &st, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISREG(st.st_mode) && is_version(st, listed)) {
        *removed = true;
        return unlinkat(dir_fd, aside, 0) == 0 ? 0 : errno;
    }
    return put_back(dir_fd, aside, name);
}

// Opens the directory `name` below `root_fd` without following a symbolic
// link. Returns the descriptor, or an empty one with errno set (ELOOP for
// a link).
UniqueFd open_directory_below(int root_fd, const char* name)
{
    UniqueFd fd(openat(root_fd, name,
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd && errno == ENOTDIR) {
        struct stat st;
        if (fstatat(root_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISLNK(st.st_mode)) {
            errno = ELOOP;
        }
        else {
            errno = ENOTDIR;
        }
    }
    return fd;
}

}  // namespace

int keeps_pathlib_methods(PyObject* path)
{
    if (!PyObject_TypeCheck(
            path, reinterpret_cast<PyTypeObject*>(g_process.pathlib_path))) {
        return 0;
    }
    static PyObject* ProcessState::* const kNames[] = {
#define SS_NAME(n) &ProcessState::str_##n,
        SS_PATHLIB_METHODS(SS_NAME)
#undef SS_NAME
    };
    for (size_t i = 0; i < kPathlibMethodCount; i++) {
        const int own = type_attribute_is(path, g_process.*kNames[i],
                                          g_process.pathlib_methods[i]);
        if (own <= 0) {
            return own;
        }
    }
    return 1;
}

OwnedRef read_regular_file(PyObject* path, bool* absent)
{
    OwnedRef name, filename;
    if (absent != nullptr ? !nameable(path, name, filename)
                          : !file_system_name(path, name, filename)) {
        // No file can have a name the file system cannot take.
        if (absent != nullptr) {
            *absent = !PyErr_Occurred();
        }
        return {};
    }
    off_t size = 0;
    UniqueFd fd = open_regular_file(AT_FDCWD, PyBytes_AS_STRING(name.get()),
                                    filename.get(), &size, nullptr, absent);
    if (!fd) {
        return {};
    }
    return read_whole(fd.get(), size, filename.get());
}

OwnedRef read_listed_file(const TypeDirectory& directory,
                          const std::string& name, FileVersion* version)
{
    off_t size = 0;
    UniqueFd fd = open_regular_file(directory.fd.get(), name.c_str(), nullptr,
                                    &size, version);
    if (!fd) {
        return {};
    }
    return read_whole(fd.get(), size, nullptr);
}

bool write_atomically(PyObject* path, PyObject* data)
{
    OwnedRef name, filename;
    if (!file_system_name(path, name, filename)) {
        return false;
    }
    BufferView view;
    if (!view.acquire(data)) {
        return false;
    }
    const char* target = PyBytes_AS_STRING(name.get());
    const char* slash = std::strrchr(target, '/');
    const std::string directory =
        slash == nullptr
            ? std::string(".")
            : std::string(target, slash == target ? 1 : slash - target);
    const char* final_name = slash == nullptr ? target : slash + 1;
    int error;
    Py_BEGIN_ALLOW_THREADS
    UniqueFd dir_fd(
        open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    error = !dir_fd ? errno
                    : write_through_temp(dir_fd.get(), final_name, view.data(),
                                         view.size());
    Py_END_ALLOW_THREADS
    if (error != 0) {
        raise_for_errno(error, filename.get());
        return false;
    }
    return true;
}

int directory_exists(PyObject* path)
{
    OwnedRef name, filename;
    if (!nameable(path, name, filename)) {
        return PyErr_Occurred() ? -1 : 0;
    }
    bool is_dir;
    Py_BEGIN_ALLOW_THREADS
    struct stat st;
    is_dir = stat(PyBytes_AS_STRING(name.get()), &st) == 0
             && S_ISDIR(st.st_mode);
    Py_END_ALLOW_THREADS
    return is_dir;
}

bool flush_directory(PyObject* path)
{
    OwnedRef name, filename;
    if (!file_system_name(path, name, filename)) {
        return false;
    }
    int error;
    Py_BEGIN_ALLOW_THREADS
    UniqueFd fd(open(PyBytes_AS_STRING(name.get()),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    error = fd ? flush(fd.get()) : errno;
    Py_END_ALLOW_THREADS
    if (error != 0) {
        raise_for_errno(error, filename.get());
        return false;
    }
    return true;
}

Scan find_entry_locally(PyObject* root, PyObject* suffix, OwnedRef* type_name,
                        OwnedRef* entry_name)
{
    OwnedRef name, filename;
    if (!nameable(root, name, filename)) {
        return PyErr_Occurred() ? Scan::Error : Scan::Unsure;
    }
    auto encoded = OwnedRef::steal(PyUnicode_EncodeFSDefault(suffix));
    if (!encoded) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            return Scan::Error;
        }
        PyErr_Clear();
        return Scan::Unsure;
    }
    std::string type, entry;
    Scan outcome = Scan::Error;
    if (!without_gil([&] {
            outcome = scan_tree(
                PyBytes_AS_STRING(name.get()),
                PyBytes_AS_STRING(encoded.get()),
                static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())), &type,
                &entry);
        })) {
        return Scan::Error;
    }
    if (outcome != Scan::Found) {
        return outcome;
    }
    *type_name = OwnedRef::steal(PyUnicode_DecodeFSDefaultAndSize(
        type.data(), static_cast<Py_ssize_t>(type.size())));
    *entry_name = OwnedRef::steal(PyUnicode_DecodeFSDefaultAndSize(
        entry.data(), static_cast<Py_ssize_t>(entry.size())));
    return *type_name && *entry_name ? Scan::Found : Scan::Error;
}

Scan read_local_tree(PyObject* root, PyObject* simulation_type,
                     LocalTree* tree)
{
    OwnedRef name, filename, encoded_type;
    if (!nameable(root, name, filename)) {
        return PyErr_Occurred() ? Scan::Error : Scan::Unsure;
    }
    if (simulation_type != Py_None) {
        encoded_type = OwnedRef::steal(
            PyUnicode_EncodeFSDefault(simulation_type));
        if (!encoded_type) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
                return Scan::Error;
            }
            PyErr_Clear();
            return Scan::Unsure;
        }
    }
    std::vector<std::string> type_names;
    Scan outcome = Scan::Error;
    if (!without_gil([&] {
            outcome = walk_local_tree(
                PyBytes_AS_STRING(name.get()),
                encoded_type ? PyBytes_AS_STRING(encoded_type.get()) : nullptr,
                tree, &type_names);
        })) {
        return Scan::Error;
    }
    if (outcome != Scan::Found) {
        return outcome;
    }
    for (size_t i = 0; i < type_names.size(); i++) {
        OwnedRef& type_name = tree->directories[i].name;
        type_name = simulation_type != Py_None
                        ? OwnedRef::borrow(simulation_type)
                        : OwnedRef::steal(PyUnicode_DecodeFSDefaultAndSize(
                              type_names[i].data(),
                              static_cast<Py_ssize_t>(type_names[i].size())));
        if (!type_name) {
            return Scan::Error;
        }
    }
    return Scan::Found;
}

Removal remove_if_unchanged(const TypeDirectory& directory,
                            const std::string& name, const FileVersion& listed,
                            PyObject* filename)
{
    if (directory.through_link) {
        refuse_link(filename);
        return Removal::Error;
    }
    int error;
    bool removed;
    Py_BEGIN_ALLOW_THREADS
    error = remove_version(directory.fd.get(), name.c_str(), listed, &removed);
    Py_END_ALLOW_THREADS
    if (error != 0) {
        raise_for_errno(error, filename);
        return Removal::Error;
    }
    return removed ? Removal::Removed : Removal::NotRemoved;
}

Removal remove_entry(PyObject* root, PyObject* type_name, PyObject* entry_name,
                     PyObject* filename)
{
    OwnedRef root_name, root_text, type_bytes, entry_bytes;
    if (!file_system_name(root, root_name, root_text)) {
        return Removal::Error;
    }
    type_bytes = OwnedRef::steal(PyUnicode_EncodeFSDefault(type_name));
    entry_bytes = OwnedRef::steal(
        type_bytes ? PyUnicode_EncodeFSDefault(entry_name) : nullptr);
    if (!entry_bytes) {
        return Removal::Error;
    }
    int error = 0;
    Py_BEGIN_ALLOW_THREADS
    UniqueFd root_fd(open(PyBytes_AS_STRING(root_name.get()),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    UniqueFd dir_fd = root_fd ? open_directory_below(
                                    root_fd.get(),
                                    PyBytes_AS_STRING(type_bytes.get()))
                              : UniqueFd();
    // A link to nothing is no file there, as exists() says.
    struct stat st;
    const char* entry = PyBytes_AS_STRING(entry_bytes.get());
    if (!dir_fd || fstatat(dir_fd.get(), entry, &st, 0) != 0
        || unlinkat(dir_fd.get(), entry, 0) != 0) {
        error = means_not_there(errno) && dir_fd ? ENOENT : errno;
    }
    Py_END_ALLOW_THREADS
    if (error == ENOENT) {
        return Removal::NotRemoved;
    }
    if (error == ELOOP) {
        refuse_link(filename);
        return Removal::Error;
    }
    if (error != 0) {
        raise_for_errno(error, filename);
        return Removal::Error;
    }
    return Removal::Removed;
}

void refuse_link(PyObject* filename)
{
    raise_os_error(ELOOP,
                   "Not followed: a symbolic link, and removals and moves "
                   "stay inside the store",
                   filename);
}

}  // namespace storage
