// What the module asks of a path, decided by what the path is: a local
// pathlib path is read and written with the module's own system calls, a
// universal-pathlib path on object storage through the fsspec calls of
// vantorel.core.object_store, and any other path object by its own
// methods, as the path's class defines them.
#ifndef VANTOREL_STORAGE_PATH_ACCESS_HPP
#define VANTOREL_STORAGE_PATH_ACCESS_HPP

#include "owned_ref.hpp"

namespace storage {

// The whole content of the result file at `path`.
OwnedRef read_file(PyObject* path);

// Replaces the result file at `path` by `data` whole.
bool write_file(PyObject* path, PyObject* data);

// The entries of `directory` whose names match `pattern` (a glob pattern
// "*<suffix>" whose suffix has no wildcard left), in the order the path
// yields them: an iterable.
OwnedRef entries_ending_with(PyObject* directory, PyObject* pattern,
                             PyObject* suffix);

// Removes the file at `path`.
bool remove_file(PyObject* path);

// Makes `directory` and its parents, as mkdir(parents=True, exist_ok=True)
// does; on object storage there are no directories to make (and a bucket
// is never created).
bool make_directories(PyObject* directory);

}  // namespace storage

#endif  // VANTOREL_STORAGE_PATH_ACCESS_HPP
