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

// 1 when `path` lies on object storage (a universal-pathlib path of
// upath's own class), 0 when not, -1 with an exception set.
int on_object_store(PyObject* path);

// The shortcuts below stand in for walking a store's path objects level by
// level. Each sets `*ask_methods` (and returns nothing) when the path is
// not one it knows, or when only the path's own methods can answer.

// The first entry named "*<suffix>" in the directories right below the
// store `root`, in the order of the lookup by ID: a path, or None.
OwnedRef find_entry(PyObject* root, PyObject* suffix, bool* ask_methods);

// For a store on object storage: the files a listing of `root` reads (of
// `simulation_type`, or of every type for None), in its order.
OwnedRef stored_result_files(PyObject* root, PyObject* simulation_type,
                             bool* ask_methods);

// What reading each object-store file of the sequence `paths` gave (its
// bytes, or the exception it raised), in order, fetched with many requests
// in flight at once.
OwnedRef read_stored_files(PyObject* paths);

// Removes the object-store files in the list `paths` in batches: a tuple
// (the paths removed, in order; the exception that stopped one, or None).
OwnedRef remove_stored_files(PyObject* paths);

// For a file on object storage that a lookup has just found: its content,
// or None when it is no longer there (as its exists() would say), read in
// one request on S3.
OwnedRef read_found_file(PyObject* path);
// Removes such a file: True, or False when it is no longer there.
OwnedRef delete_found_file(PyObject* path);

}  // namespace storage

#endif  // VANTOREL_STORAGE_PATH_ACCESS_HPP
