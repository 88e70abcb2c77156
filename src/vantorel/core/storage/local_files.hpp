// The module's own system calls on a local store: which paths may be handed
// to them, reads that only ever read a regular file, a write that replaces
// a file whole and durably, the lookup by ID and the listing on names read
// with readdir, and removals relative to directory handles.
#ifndef VANTOREL_STORAGE_LOCAL_FILES_HPP
#define VANTOREL_STORAGE_LOCAL_FILES_HPP

#include "handles.hpp"
#include "state.hpp"

#include <sys/types.h>

#include <string>
#include <vector>

namespace storage {

// 1 when `path` is a pathlib.Path whose class keeps pathlib's own methods
// for everything the system calls below stand in for (a local
// universal-pathlib path is one), 0 when its methods must be asked, -1
// with an exception set.
int keeps_pathlib_methods(PyObject* path);

// What identifies the content of a local file: a save replaces the file,
// so another version is another file; as a file system may give a new
// file the inode of one removed a moment before, its size and the time of
// its writing count too.
struct FileVersion {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec modified = {};
};

// The whole content of the regular file at `path`. The file is opened
// without blocking, so a FIFO or a device never stalls the caller; anything
// but a regular file raises OSError naming the path. With `absent`, a file
// that is not there (as pathlib's exists() would say) sets it instead of
// raising.
OwnedRef read_regular_file(PyObject* path, bool* absent = nullptr);

// Replaces the file at `path` by `data` (a bytes-like object) whole and
// durably: a temporary file, private until it has the mode (and, where the
// process may set them, the owner and group) of the file it replaces, is
// flushed, renamed over it, and the directory flushed. On failure nothing
// changes and OSError names the path.
bool write_atomically(PyObject* path, PyObject* data);

// 1 when `path` names a directory (following a symbolic link, as
// pathlib's is_dir does), 0 when not, -1 with an exception set.
int directory_exists(PyObject* path);
// Flushes the directory `path` to disk, so that an entry made in it
// survives a power cut. Returns false with an exception set.
bool flush_directory(PyObject* path);

enum class Scan : unsigned char { Found, NotFound, Unsure, Error };

// Looks, as the lookup by ID does through pathlib, for the first entry
// named "*<suffix>" in the directories right below the local directory
// `root`: directories in directory order, then their entries in directory
// order; only names are read. On Found, `*type_name` and `*entry_name` are
// the names (str). Unsure when something unusual (a store that cannot be
// opened or read, an entry that cannot be stat'ed) means the caller must
// ask the path's own methods, which raise or answer as pathlib does; Error
// with an exception set.
Scan find_entry_locally(PyObject* root, PyObject* suffix, OwnedRef* type_name,
                        OwnedRef* entry_name);

// A directory of a local store that a listing reads.
struct TypeDirectory {
    UniqueFd fd;
    OwnedRef name;                   // as `root / name` names it ("" for root)
    bool through_link = false;       // reached through a symbolic link
    std::vector<std::string> files;  // its "*.json" names, in order
};

// The type directories of a local store and their "*.json" names, read as
// a listing reads them through pathlib: those right below `root` that are
// directories (or only `simulation_type`, when it is a str), in directory
// order. The root is opened once; every later call works relative to the
// handles kept here.
struct LocalTree {
    UniqueFd root;
    std::vector<TypeDirectory> directories;
};

// Fills `tree` for `root`. NotFound (an empty tree) when the store does
// not exist; Unsure when only pathlib's methods can say what the store
// holds (they raise or answer as pathlib does); Error with an exception.
Scan read_local_tree(PyObject* root, PyObject* simulation_type,
                     LocalTree* tree);

// The content of `name` in `directory`, read as read_regular_file reads,
// and the version of what was read. Raises OSError (without a file name).
OwnedRef read_listed_file(const TypeDirectory& directory,
                          const std::string& name, FileVersion* version);

enum class Removal : unsigned char { Removed, NotRemoved, Error };

// Removes `name` from `directory` only while it is the regular file of the
// version listed: it is renamed aside (never over another file, as
// ".<name>.<pid>.<n>.aside"), compared, and then removed or put back
// (never over a newer file, which supersedes it). NotRemoved when it is
// gone, was written again or is no regular file; Error with OSError set,
// naming `filename`.
Removal remove_if_unchanged(const TypeDirectory& directory,
                            const std::string& name, const FileVersion& listed,
                            PyObject* filename);

// Removes the entry `entry_name` of the directory `type_name` right below
// the local directory `root`, opened without following a symbolic link.
// NotRemoved when it is not there; Error with OSError set, naming
// `filename`.
Removal remove_entry(PyObject* root, PyObject* type_name, PyObject* entry_name,
                     PyObject* filename);

// Raises OSError naming `filename`: removals never follow a symbolic link
// out of the store.
void refuse_link(PyObject* filename);

}  // namespace storage

#endif  // VANTOREL_STORAGE_LOCAL_FILES_HPP
