// The choice of how an operation reaches a store, and the calls that
// differ by that choice alone.
#include "backend.hpp"

#include "local_files.hpp"

namespace storage {

bool choose_access(PyObject* path, Access* access)
{
    const int local = keeps_pathlib_methods(path);
    if (local != 0) {
        access->backend = Backend::Syscalls;
        return local > 0;
    }
    access->backend = Backend::PathMethods;
    // A path on object storage exists only once universal-pathlib is
    // imported, so no other path pays for the question.
    PyObject* upath = PyImport_GetModule(g_process.str_upath);
    if (upath == nullptr) {
        return !PyErr_Occurred();
    }
    Py_DECREF(upath);
    auto helper = OwnedRef::steal(
        PyImport_Import(g_process.str_object_store_module));
    if (!helper) {
        return false;
    }
    auto store = OwnedRef::steal(PyObject_CallMethodOneArg(
        helper.get(), g_process.str_store_for, path));
    if (!store) {
        return false;
    }
    if (store.get() != Py_None) {
        access->backend = Backend::ObjectStore;
        access->store = std::move(store);
    }
    return true;
}

OwnedRef call_store(const Access& access, PyObject* method, PyObject* first,
                    PyObject* second)
{
    PyObject* call_args[] = {access.store.get(), first, second};
    const size_t nargs = second != nullptr ? 3 : 2;
    return OwnedRef::steal(PyObject_VectorcallMethod(
        method, call_args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

OwnedRef read_file(const Access& access, PyObject* path)
{
    switch (access.backend) {
    case Backend::Syscalls:
        return read_regular_file(path);
    case Backend::ObjectStore:
        return call_store(access, g_process.str_read, path);
    case Backend::PathMethods:
        break;
    }
    return OwnedRef::steal(
        PyObject_CallMethodNoArgs(path, g_process.str_read_bytes));
}

bool write_file(const Access& access, PyObject* path, PyObject* data)
{
    switch (access.backend) {
    case Backend::Syscalls:
        return write_atomically(path, data);
    case Backend::ObjectStore:
        return static_cast<bool>(
            call_store(access, g_process.str_write, path, data));
    case Backend::PathMethods:
        break;
    }
    return static_cast<bool>(OwnedRef::steal(
        PyObject_CallMethodOneArg(path, g_process.str_write_bytes, data)));
}

bool make_directories(const Access& access, PyObject* directory)
{
    if (access.backend == Backend::ObjectStore) {
        return true;
    }
    PyObject* mkdir_args[] = {directory, Py_True, Py_True};
    return static_cast<bool>(OwnedRef::steal(
        PyObject_VectorcallMethod(g_process.str_mkdir, mkdir_args, 1,
                                  keyword_names(KeywordCall::Mkdir))));
}

}  // namespace storage
