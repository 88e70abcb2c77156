// How an operation reaches the files of a store, chosen once at its start
// from the path it starts from: by the module's own system calls for a
// local pathlib path whose class keeps pathlib's methods, through the
// helper object of vantorel.core.object_store for a universal-pathlib path
// on object storage, or by the path's own methods for anything else.
#ifndef VANTOREL_STORAGE_BACKEND_HPP
#define VANTOREL_STORAGE_BACKEND_HPP

#include "owned_ref.hpp"

namespace storage {

enum class Backend : unsigned char { Syscalls, ObjectStore, PathMethods };

struct Access {
    Backend backend = Backend::PathMethods;
    OwnedRef store;  // for ObjectStore: the helper that reaches it
};

// Chooses how to reach `path` and what lies below it. Returns false with
// an exception set.
bool choose_access(PyObject* path, Access* access);

// store.<method>(first[, second]) on the object-store helper.
OwnedRef call_store(const Access& access, PyObject* method, PyObject* first,
                    PyObject* second = nullptr);

// The whole content of the file at `path`.
OwnedRef read_file(const Access& access, PyObject* path);

// Replaces the file at `path` by `data` whole.
bool write_file(const Access& access, PyObject* path, PyObject* data);

// Makes `directory` and its parents, as mkdir(parents=True, exist_ok=True)
// does; object storage has no directories to make (and a bucket is never
// created).
bool make_directories(const Access& access, PyObject* directory);

}  // namespace storage

#endif  // VANTOREL_STORAGE_BACKEND_HPP
