// The module's own system calls on local result files and directories.
// They stand in for a path's methods only where those are pathlib's own,
// and run without the GIL.
#include "local_files.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <sys/stat.h>
#include <unistd.h>

namespace storage {
namespace {

// 1 when the attribute `name` of `path`'s type is `expected`, 0 when it is
// something else, -1 with an exception set.
int type_attribute_is(PyObject* path, PyObject* name, PyObject* expected)
{
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(Py_TYPE(path)),
                                 name, &found) < 0) {
        return -1;
    }
    Py_XDECREF(found);
    return found == expected;
}

// A pathlib path whose class has each of `methods` as pathlib has it.
int uses_pathlib(PyObject* path, std::initializer_list<PathlibMethod> methods)
{
    if (!PyObject_TypeCheck(path, reinterpret_cast<PyTypeObject*>(
                                      g_process.pathlib_path))) {
        return 0;
    }
    static PyObject* ProcessState::* const kNames[] = {
#define SS_NAME(n) &ProcessState::str_##n,
        SS_PATHLIB_METHODS(SS_NAME)
#undef SS_NAME
    };
    for (PathlibMethod method : methods) {
        const auto index = static_cast<size_t>(method);
        int own = type_attribute_is(path, g_process.*kNames[index],
                                    g_process.pathlib_methods[index]);
        if (own <= 0) {
            return own;
        }
    }
    return 1;
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

void raise_for_errno(int error, PyObject* filename)
{
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
}

// Opens `name` for reading without blocking and checks that it is a regular
// file. Returns the descriptor and its size, or -1 with an exception set.
int open_regular_file(const char* name, PyObject* filename, off_t* size)
{
    for (;;) {
        int fd, error = 0;
        struct stat st;
        Py_BEGIN_ALLOW_THREADS
        fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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
                return -1;
            }
            continue;
        }
        if (error != 0) {
            raise_for_errno(error, filename);
            return -1;
        }
        if (S_ISREG(st.st_mode)) {
            *size = st.st_size;
            return fd;
        }
        close(fd);
        if (S_ISDIR(st.st_mode)) {
            raise_for_errno(EISDIR, filename);
        }
        else {
            auto exception = OwnedRef::steal(PyObject_CallFunction(
                PyExc_OSError, "isO", EINVAL, "Not a regular file",
                filename));
            if (exception) {
                PyErr_SetObject(PyExc_OSError, exception.get());
            }
        }
        return -1;
    }
}

// Longest piece of the final name kept in the temporary name, so that the
// temporary name stays within the file system's limit when the final does.
constexpr int kMaxNameInTemp = 200;

// Gives the new file at `fd` the mode, and where allowed the owner and
// group, of the file it replaces. Returns 0 or an errno.
int keep_permissions(int fd, const struct stat& replaced)
{
    if (replaced.st_uid != geteuid() || replaced.st_gid != getegid()) {
        // Only a privileged process may give a file away; any process may
        // pass it to a group it belongs to. Neither is an error.
        if (fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
            (void)fchown(fd, static_cast<uid_t>(-1), replaced.st_gid);
        }
    }
    return fchmod(fd, replaced.st_mode & 07777) == 0 ? 0 : errno;
}

// Runs without the GIL. Writes `data` to a new temporary file beside
// `target`, named ".<name>.<pid>.<n>.tmp" (never "*.json", so no lookup or
// listing sees it), and renames it over `target`. Returns 0, or the errno
// of the failure after removing the temporary file.
int write_through_temp(const char* target, size_t dir_len,
                       const char* name, char* temp, size_t temp_size,
                       const char* data, Py_ssize_t size)
{
    static std::atomic<unsigned long> counter{0};
    struct stat replaced;
    const bool replacing =
        stat(target, &replaced) == 0 && S_ISREG(replaced.st_mode);
    const int name_len = static_cast<int>(
        std::min<size_t>(std::strlen(name), kMaxNameInTemp));
    int fd = -1;
    for (int attempt = 0; fd < 0; attempt++) {
        std::snprintf(temp, temp_size, "%.*s.%.*s.%ld.%lu.tmp",
                      static_cast<int>(dir_len), target, name_len, name,
                      static_cast<long>(getpid()), counter++);
        // 0666 less the umask: the mode a plain write would create.
        fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt == 100)) {
            return errno;
        }
    }
    int error = replacing ? keep_permissions(fd, replaced) : 0;
    while (error == 0 && size > 0) {
        ssize_t written = write(fd, data, static_cast<size_t>(size));
        if (written <= 0) {
            if (written == 0) {
                error = EIO;  // no progress: never loop on it
            }
            else if (errno != EINTR) {
                error = errno;
            }
            continue;
        }
        data += written;
        size -= written;
    }
    if (close(fd) != 0 && error == 0 && errno != EINTR) {
        error = errno;
    }
    if (error == 0 && rename(temp, target) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temp);
    }
    return error;
}

// Errors for which pathlib's is_dir answers False instead of raising.
bool means_no_directory(int error)
{
    return error == ENOENT || error == ENOTDIR || error == EBADF
           || error == ELOOP;
}

bool ends_with(const char* name, const char* suffix, size_t suffix_len)
{
    const size_t len = std::strlen(name);
    return len >= suffix_len
           && std::memcmp(name + len - suffix_len, suffix, suffix_len) == 0;
}

// A name read from a directory, kept after the directory is closed.
using EntryName = char[sizeof(dirent::d_name)];

// False for a name too long to keep (some file systems return names longer
// than d_name declares).
bool copy_name(EntryName& to, const char* name)
{
    // A record holds only as much of d_name as the name needs.
    const size_t size = std::strlen(name) + 1;
    if (size > sizeof(EntryName)) {
        return false;
    }
    std::memcpy(to, name, size);
    return true;
}

// Looks in directory `name` (below `parent_fd`) for the first entry whose
// name ends with `suffix`: Found, NotFound (also when it has gone), or
// Unsure when it cannot be read, which only pathlib can say what means.
Scan find_in_directory(int parent_fd, const char* name, const char* suffix,
                       size_t suffix_len, EntryName& entry_name)
{
    const int fd = openat(parent_fd, name,
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return means_no_directory(errno) ? Scan::NotFound : Scan::Unsure;
    }
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return Scan::Unsure;
    }
    Scan outcome = Scan::NotFound;
    while (const struct dirent* entry = readdir(dir)) {
        if (ends_with(entry->d_name, suffix, suffix_len)) {
            outcome = copy_name(entry_name, entry->d_name) ? Scan::Found
                                                           : Scan::Unsure;
            break;
        }
    }
    closedir(dir);
    return outcome;
}

// Runs without the GIL: the scan of find_entry_locally on names alone.
Scan scan_tree(const char* root, const char* suffix, size_t suffix_len,
               EntryName& type_name, EntryName& entry_name)
{
    const int root_fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_fd < 0) {
        return Scan::Unsure;
    }
    DIR* dir = fdopendir(root_fd);
    if (dir == nullptr) {
        close(root_fd);
        return Scan::Unsure;
    }
    Scan outcome = Scan::NotFound;
    for (;;) {
        errno = 0;
        const struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            outcome = errno == 0 ? Scan::NotFound : Scan::Unsure;
            break;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        bool is_dir = entry->d_type == DT_DIR;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat st;
            if (fstatat(dirfd(dir), name, &st, 0) == 0) {
                is_dir = S_ISDIR(st.st_mode);
            }
            else if (!means_no_directory(errno)) {
                outcome = Scan::Unsure;  // pathlib's is_dir would raise
                break;
            }
        }
        if (!is_dir) {
            continue;
        }
        outcome = find_in_directory(dirfd(dir), name, suffix, suffix_len,
                                    entry_name);
        if (outcome == Scan::Found && !copy_name(type_name, name)) {
            outcome = Scan::Unsure;
        }
        if (outcome != Scan::NotFound) {
            break;
        }
    }
    closedir(dir);
    return outcome;
}

}  // namespace

int reads_locally(PyObject* path)
{
    return uses_pathlib(path, {PathlibMethod::read_bytes});
}

int writes_locally(PyObject* path)
{
    return uses_pathlib(path, {PathlibMethod::write_bytes});
}

int scans_locally(PyObject* path)
{
    return uses_pathlib(path, {PathlibMethod::exists, PathlibMethod::is_dir,
                               PathlibMethod::stat, PathlibMethod::iterdir,
                               PathlibMethod::glob});
}

Scan find_entry_locally(PyObject* root, PyObject* suffix, OwnedRef* found)
{
    // A name the file system cannot take (a NUL, a lone surrogate) is for
    // pathlib to answer.
    OwnedRef name, filename, encoded;
    if (file_system_name(root, name, filename)) {
        encoded = OwnedRef::steal(PyUnicode_EncodeFSDefault(suffix));
    }
    if (!encoded) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) {
            return Scan::Error;
        }
        PyErr_Clear();
        return Scan::Unsure;
    }
    EntryName type_name, entry_name;
    Scan outcome;
    Py_BEGIN_ALLOW_THREADS
    outcome = scan_tree(PyBytes_AS_STRING(name.get()),
                        PyBytes_AS_STRING(encoded.get()),
                        static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())),
                        type_name, entry_name);
    Py_END_ALLOW_THREADS
    if (outcome != Scan::Found) {
        return outcome;
    }
    auto type_text = OwnedRef::steal(PyUnicode_DecodeFSDefault(type_name));
    auto entry_text = OwnedRef::steal(PyUnicode_DecodeFSDefault(entry_name));
    if (!type_text || !entry_text) {
        return Scan::Error;
    }
    auto type_dir = OwnedRef::steal(
        PyNumber_TrueDivide(root, type_text.get()));
    if (!type_dir) {
        return Scan::Error;
    }
    *found = OwnedRef::steal(
        PyNumber_TrueDivide(type_dir.get(), entry_text.get()));
    return *found ? Scan::Found : Scan::Error;
}

OwnedRef read_regular_file(PyObject* path)
{
    OwnedRef name, filename;
    if (!file_system_name(path, name, filename)) {
        return {};
    }
    off_t size = 0;
    const int fd = open_regular_file(PyBytes_AS_STRING(name.get()),
                                     filename.get(), &size);
    if (fd < 0) {
        return {};
    }
    // One byte beyond the size seen: a file that grew since is read on.
    Py_ssize_t capacity = static_cast<Py_ssize_t>(size) + 1;
    PyObject* content = PyBytes_FromStringAndSize(nullptr, capacity);
    Py_ssize_t filled = 0;
    int error = 0;
    while (content != nullptr) {
        char* buffer = PyBytes_AS_STRING(content);
        ssize_t got;
        int failure;
        Py_BEGIN_ALLOW_THREADS
        got = read(fd, buffer + filled,
                   static_cast<size_t>(capacity - filled));
        failure = errno;
        Py_END_ALLOW_THREADS
        if (got < 0) {
            if (failure != EINTR) {
                error = failure;
            }
            else if (PyErr_CheckSignals() == 0) {
                continue;
            }
            Py_CLEAR(content);
            break;
        }
        if (got == 0) {
            break;
        }
        filled += got;
        if (filled == capacity) {
            capacity *= 2;
            if (_PyBytes_Resize(&content, capacity) < 0) {
                break;  // content is NULL and MemoryError set
            }
        }
    }
    close(fd);
    if (content == nullptr) {
        if (error != 0) {
            raise_for_errno(error, filename.get());
        }
        return {};
    }
    if (_PyBytes_Resize(&content, filled) < 0) {
        return {};
    }
    return OwnedRef::steal(content);
}

bool write_atomically(PyObject* path, PyObject* data)
{
    OwnedRef name, filename;
    if (!file_system_name(path, name, filename)) {
        return false;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
        return false;
    }
    const char* target = PyBytes_AS_STRING(name.get());
    const char* slash = std::strrchr(target, '/');
    const size_t dir_len = slash ? static_cast<size_t>(slash - target) + 1
                                 : 0;
    const size_t temp_size =
        static_cast<size_t>(PyBytes_GET_SIZE(name.get())) + 64;
    char* temp = static_cast<char*>(PyMem_Malloc(temp_size));
    if (temp == nullptr) {
        PyBuffer_Release(&view);
        PyErr_NoMemory();
        return false;
    }
    int error;
    Py_BEGIN_ALLOW_THREADS
    error = write_through_temp(target, dir_len, target + dir_len, temp,
                               temp_size, static_cast<const char*>(view.buf),
                               view.len);
    Py_END_ALLOW_THREADS
    PyMem_Free(temp);
    PyBuffer_Release(&view);
    if (error != 0) {
        raise_for_errno(error, filename.get());
        return false;
    }
    return true;
}

}  // namespace storage
