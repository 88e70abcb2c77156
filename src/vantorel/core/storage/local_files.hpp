// The module's own system calls on local result files: what a path may be
// handed to them, a read that only ever reads a regular file, and a write
// that replaces a file whole.
#ifndef VANTOREL_STORAGE_LOCAL_FILES_HPP
#define VANTOREL_STORAGE_LOCAL_FILES_HPP

#include "state.hpp"

namespace storage {

// 1 when `path` is a pathlib.Path whose read_bytes (write_bytes) is
// pathlib's own, so that the system calls below may stand in for it (a
// local universal-pathlib path is one); 0 when its method must be called;
// -1 with an exception set.
int reads_locally(PyObject* path);
int writes_locally(PyObject* path);
// Likewise for the methods that walk a directory tree (exists, is_dir,
// stat, iterdir, glob).
int scans_locally(PyObject* path);

enum class Scan : unsigned char { Found, NotFound, Unsure, Error };

// Looks, as the lookup by ID does through pathlib, for the first entry
// named "*<suffix>" in the directories right below the local directory
// `root`: directories in directory order, then their entries in directory
// order; only names are read, and only the match becomes a path object
// (`*found`, made as root / type / name). Unsure when something unusual (a
// store that cannot be opened, an entry that cannot be stat'ed) means the
// caller must ask the path's own methods, which raise or answer as pathlib
// does; Error with an exception set.
Scan find_entry_locally(PyObject* root, PyObject* suffix, OwnedRef* found);

// The whole content of the regular file at `path`. The file is opened
// without blocking, so a FIFO or a device never stalls the caller; anything
// but a regular file raises OSError naming the path.
OwnedRef read_regular_file(PyObject* path);

// Replaces the file at `path` by `data` (a bytes-like object) whole, through
// a temporary file renamed over it; an earlier file keeps its mode and,
// where the process may set them, its owner and group. On failure nothing
// changes and OSError names the path.
bool write_atomically(PyObject* path, PyObject* data);

}  // namespace storage

#endif  // VANTOREL_STORAGE_LOCAL_FILES_HPP
