// The one place that decides how a path is read, written, listed and
// removed: by system calls, through fsspec, or by its own methods.
#include "path_access.hpp"

#include "globals.hpp"
#include "local_files.hpp"

namespace storage {
namespace {

// object_store.<function>(first[, second])
OwnedRef call_object_store(PyObject* function, PyObject* first,
                           PyObject* second = nullptr)
{
    auto helper = OwnedRef::steal(
        PyImport_Import(g_process.str_object_store_module));
    if (!helper) {
        return {};
    }
    PyObject* call_args[] = {helper.get(), first, second};
    const size_t nargs = second != nullptr ? 3 : 2;
    return OwnedRef::steal(PyObject_VectorcallMethod(
        function, call_args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
        nullptr));
}

}  // namespace

// A path on object storage exists only once universal-pathlib is imported,
// so no other path pays for the question.
int on_object_store(PyObject* path)
{
    PyObject* upath = PyImport_GetModule(g_process.str_upath);
    if (upath == nullptr) {
        return PyErr_Occurred() ? -1 : 0;
    }
    Py_DECREF(upath);
    OwnedRef answer = call_object_store(g_process.str_is_object_store_path,
                                        path);
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

OwnedRef read_file(PyObject* path)
{
    int local = reads_locally(path);
    if (local != 0) {
        return local > 0 ? read_regular_file(path) : OwnedRef();
    }
    int stored = on_object_store(path);
    if (stored != 0) {
        return stored > 0 ? call_object_store(g_process.str_read, path)
                          : OwnedRef();
    }
    return OwnedRef::steal(
        PyObject_CallMethodNoArgs(path, g_process.str_read_bytes));
}

bool write_file(PyObject* path, PyObject* data)
{
    int local = writes_locally(path);
    if (local != 0) {
        return local > 0 && write_atomically(path, data);
    }
    int stored = on_object_store(path);
    if (stored != 0) {
        return stored > 0
               && call_object_store(g_process.str_write, path, data);
    }
    return static_cast<bool>(OwnedRef::steal(PyObject_CallMethodOneArg(
        path, g_process.str_write_bytes, data)));
}

OwnedRef entries_ending_with(PyObject* directory, PyObject* pattern,
                             PyObject* suffix)
{
    int stored = on_object_store(directory);
    if (stored != 0) {
        return stored > 0 ? call_object_store(g_process.str_entries,
                                              directory, suffix)
                          : OwnedRef();
    }
    return OwnedRef::steal(
        PyObject_CallMethodOneArg(directory, g_process.str_glob, pattern));
}

bool remove_file(PyObject* path)
{
    int stored = on_object_store(path);
    if (stored != 0) {
        return stored > 0 && call_object_store(g_process.str_remove, path);
    }
    return static_cast<bool>(OwnedRef::steal(
        PyObject_CallMethodNoArgs(path, g_process.str_unlink)));
}

bool make_directories(PyObject* directory)
{
    int stored = on_object_store(directory);
    if (stored != 0) {
        return stored > 0;
    }
    PyObject* keywords = keyword_names(
        KeywordCall::Mkdir, {g_process.str_parents, g_process.str_exist_ok});
    if (keywords == nullptr) {
        return false;
    }
    PyObject* mkdir_args[] = {directory, Py_True, Py_True};
    return static_cast<bool>(OwnedRef::steal(PyObject_VectorcallMethod(
        g_process.str_mkdir, mkdir_args, 1, keywords)));
}

OwnedRef find_entry(PyObject* root, PyObject* suffix, bool* ask_methods)
{
    *ask_methods = false;
    int local = scans_locally(root);
    if (local < 0) {
        return {};
    }
    if (local) {
        OwnedRef found;
        switch (find_entry_locally(root, suffix, &found)) {
        case Scan::Found:
            return found;
        case Scan::NotFound:
            return OwnedRef::borrow(Py_None);
        case Scan::Unsure:
            *ask_methods = true;
            return {};
        case Scan::Error:
            break;
        }
        return {};
    }
    int stored = on_object_store(root);
    if (stored <= 0) {
        *ask_methods = stored == 0;
        return {};
    }
    OwnedRef found = call_object_store(g_process.str_find_first_entry, root,
                                       suffix);
    if (found.get() == Py_NotImplemented) {
        *ask_methods = true;
        return {};
    }
    return found;
}

OwnedRef stored_result_files(PyObject* root, PyObject* simulation_type,
                             bool* ask_methods)
{
    *ask_methods = false;
    int stored = on_object_store(root);
    if (stored <= 0) {
        *ask_methods = stored == 0;
        return {};
    }
    OwnedRef paths = call_object_store(g_process.str_result_files, root,
                                       simulation_type);
    if (paths.get() == Py_NotImplemented) {
        *ask_methods = true;
        return {};
    }
    return paths;
}

OwnedRef read_stored_files(PyObject* paths)
{
    return call_object_store(g_process.str_read_all, paths);
}

OwnedRef remove_stored_files(PyObject* paths)
{
    return call_object_store(g_process.str_remove_all, paths);
}

OwnedRef read_found_file(PyObject* path)
{
    return call_object_store(g_process.str_read_located, path);
}

OwnedRef delete_found_file(PyObject* path)
{
    return call_object_store(g_process.str_delete_located, path);
}

}  // namespace storage
