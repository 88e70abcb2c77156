// Removing results: one by its ID, or every result a filtered listing
// returns, counting the files actually removed.
#include "operations.hpp"
#include "path_access.hpp"

#include <array>

namespace storage {
namespace {

#define SS_DELETE_PARAMS(X, p)                                              \
    X(p, simulation_id, PositionalOrKeyword, Str, Required, "str",          \
      "The unique simulation ID.")

#define SS_CLEAR_PARAMS(X, p)                                               \
    X(p, component_name, KeywordOnly, StrOrNone, None, "str | None",        \
      "Only clear results for this component.")                             \
    X(p, factory_name, KeywordOnly, StrOrNone, None, "str | None",          \
      "Only clear results for this factory.")                               \
    X(p, simulation_type, KeywordOnly, StrOrNone, None, "str | None",       \
      "Only clear results of this simulation type.")                        \
    X(p, pdk_name, KeywordOnly, StrOrNone, None, "str | None",              \
      "Only clear results for this PDK.")

enum DeleteArg : Py_ssize_t { SS_DELETE_PARAMS(SS_ARG_INDEX, delete) };
enum ClearArg : Py_ssize_t { SS_CLEAR_PARAMS(SS_ARG_INDEX, clear) };

const Param delete_simulation_result_params[] = {
    SS_DELETE_PARAMS(SS_PARAM_ENTRY, delete)};
const Param clear_simulation_results_params[] = {
    SS_CLEAR_PARAMS(SS_PARAM_ENTRY, clear)};

// The filters of the listing a clear makes: its own four, and no status.
std::array<PyObject*, list_count> listing_filters(PyObject* const* args)
{
    std::array<PyObject*, list_count> filters;
    filters[list_component_name] = args[clear_component_name];
    filters[list_factory_name] = args[clear_factory_name];
    filters[list_simulation_type] = args[clear_simulation_type];
    filters[list_pdk_name] = args[clear_pdk_name];
    filters[list_status] = Py_None;
    return filters;
}

// Removes a file that a lookup or a listing has just found, if it is still
// there: 1 when removed (and logged), 0 when gone, -1 on error. On object
// storage one request does both on S3.
int delete_file(StorageFunction* self, PyObject* file_path)
{
    int stored = on_object_store(file_path);
    int exists;
    if (stored > 0) {
        OwnedRef removed = delete_found_file(file_path);
        exists = removed ? PyObject_IsTrue(removed.get()) : -1;
    }
    else {
        exists = stored < 0 ? -1 : call_truth(file_path, g_process.str_exists);
        if (exists > 0 && !remove_file(file_path)) {
            return -1;
        }
    }
    if (exists <= 0) {
        return exists;
    }
    return log_message(self, g_process.str_debug, "Deleted simulation file: ",
                       file_path)
               ? 1
               : -1;
}

PyObject* delete_simulation_result_impl(StorageFunction* self,
                                        PyObject* const* args)
{
    OwnedRef file_path = call_global(
        self, g_process.str__find_simulation_file,
        &args[delete_simulation_id], 1);
    if (!file_path) {
        return nullptr;
    }
    if (file_path.get() == Py_None) {
        Py_RETURN_FALSE;
    }
    int removed = delete_file(self, file_path.get());
    return removed < 0 ? nullptr : PyBool_FromLong(removed);
}

// 1 when the listing and the deletion a clear goes through are the
// module's own, so that it may remove the very files its listing read; 0
// when a caller rebound one of them; -1 on error.
int clear_owns_its_calls(StorageFunction* self)
{
    int own = global_is_own(self, g_process.str_list_simulation_results,
                            list_simulation_results_signature);
    if (own == 1) {
        own = global_is_own(self, g_process.str_delete_simulation_result,
                            delete_simulation_result_signature);
    }
    if (own == 1) {
        own = global_is_own(self, g_process.str__find_simulation_file,
                            find_simulation_file_signature);
    }
    return own;
}

// The files the records of `results` were read from, in the listing's
// order, from the map that the listing filled.
OwnedRef listed_files(PyObject* results, PyObject* paths)
{
    const Py_ssize_t count = PyList_GET_SIZE(results);
    auto files = OwnedRef::steal(PyList_New(count));
    for (Py_ssize_t i = 0; files && i < count; i++) {
        auto key = OwnedRef::steal(
            PyLong_FromVoidPtr(PyList_GET_ITEM(results, i)));
        PyObject* file_path = nullptr;
        int found = key ? PyDict_GetItemRef(paths, key.get(), &file_path)
                        : -1;
        if (found == 0) {
            PyErr_SetString(PyExc_RuntimeError,
                            "a listed result has no file");
        }
        if (found <= 0) {
            return {};
        }
        PyList_SET_ITEM(files.get(), i, file_path);  // steals file_path
    }
    return files;
}

// Removes the listed files of an object store in batched requests, logging
// each removed file as its deletion would. The number removed, or -1.
Py_ssize_t remove_in_batches(StorageFunction* self, PyObject* files)
{
    OwnedRef outcome = remove_stored_files(files);
    if (!outcome) {
        return -1;
    }
    PyObject* removed = nullptr;  // borrowed from outcome
    PyObject* error = nullptr;
    if (!PyTuple_Check(outcome.get())
        || !PyArg_ParseTuple(outcome.get(), "OO", &removed, &error)
        || (error != Py_None && !PyExceptionInstance_Check(error))) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_TypeError,
                            "removing files must give (removed, error)");
        }
        return -1;
    }
    // A tuple of its own: logging runs Python code.
    auto removed_files = OwnedRef::steal(PySequence_Tuple(removed));
    if (!removed_files) {
        return -1;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(removed_files.get());
    for (Py_ssize_t i = 0; i < count; i++) {
        if (!log_message(self, g_process.str_debug,
                         "Deleted simulation file: ",
                         PyTuple_GET_ITEM(removed_files.get(), i))) {
            return -1;
        }
    }
    if (error != Py_None) {
        PyErr_SetRaisedException(Py_NewRef(error));
        return -1;
    }
    return count;
}

// The clear's deletions when it may remove exactly the files it listed.
Py_ssize_t clear_listed_files(StorageFunction* self, PyObject* results,
                              PyObject* paths)
{
    OwnedRef files = listed_files(results, paths);
    if (!files) {
        return -1;
    }
    int stored = on_object_store(PyList_GET_ITEM(files.get(), 0));
    if (stored != 0) {
        return stored < 0 ? -1 : remove_in_batches(self, files.get());
    }
    Py_ssize_t deleted_count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files.get()); i++) {
        int counted = delete_file(self, PyList_GET_ITEM(files.get(), i));
        if (counted < 0) {
            return -1;
        }
        deleted_count += counted;
    }
    return deleted_count;
}

// The clear's deletions through delete_simulation_result, one per listed
// record, by its ID.
Py_ssize_t clear_by_id(StorageFunction* self, PyObject* results)
{
    auto iterator = OwnedRef::steal(PyObject_GetIter(results));
    if (!iterator) {
        return -1;
    }
    Py_ssize_t deleted_count = 0;
    while (auto result = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        auto simulation_id = OwnedRef::steal(
            PyObject_GetAttr(result.get(), g_process.str_simulation_id));
        if (!simulation_id) {
            return -1;
        }
        PyObject* id = simulation_id.get();
        OwnedRef removed = call_global(
            self, g_process.str_delete_simulation_result, &id, 1);
        int counted = removed ? PyObject_IsTrue(removed.get()) : -1;
        if (counted < 0) {
            return -1;
        }
        deleted_count += counted;
    }
    return PyErr_Occurred() ? -1 : deleted_count;
}

PyObject* clear_simulation_results_impl(StorageFunction* self,
                                        PyObject* const* args)
{
    PyObject* simulation_type = args[clear_simulation_type];
    if (simulation_type != Py_None
        && !check_simulation_type(simulation_type, TypeUse::Filter)) {
        return nullptr;
    }
    // Deleting each listed record by its ID would remove the first file
    // with that ID in any type directory, which may be another copy of it
    // than the one listed: when it can, the clear removes what it listed.
    int own = clear_owns_its_calls(self);
    if (own < 0) {
        return nullptr;
    }
    OwnedRef paths, results;
    if (own) {
        paths = OwnedRef::steal(PyDict_New());
        if (!paths) {
            return nullptr;
        }
        results = list_results(self, listing_filters(args).data(),
                               paths.get());
    }
    else {
        // The four filters, passed on under their own names.
#define SS_CLEAR_NAME(p, n, ...) g_process.str_##n,
        PyObject* keywords = keyword_names(
            KeywordCall::ClearListing, {SS_CLEAR_PARAMS(SS_CLEAR_NAME, )});
#undef SS_CLEAR_NAME
        if (keywords == nullptr) {
            return nullptr;
        }
        results = call_global(self, g_process.str_list_simulation_results,
                              args, 0, keywords);
    }
    if (!results) {
        return nullptr;
    }
    int any = PyObject_IsTrue(results.get());
    if (any <= 0) {
        return any < 0 ? nullptr : PyLong_FromLong(0);
    }
    const Py_ssize_t deleted_count =
        own ? clear_listed_files(self, results.get(), paths.get())
            : clear_by_id(self, results.get());
    if (deleted_count < 0) {
        return nullptr;
    }
    auto count = OwnedRef::steal(PyLong_FromSsize_t(deleted_count));
    if (!count
        || !log_message(self, g_process.str_debug, "Cleared ", count.get(),
                        " simulation result(s)")) {
        return nullptr;
    }
    return count.release();
}

}  // namespace

const Signature delete_simulation_result_signature = SS_SIGNATURE(
    delete_simulation_result, delete_simulation_result_params, "bool",
    "Delete a simulation result by its ID.", nullptr,
    "True if the result was deleted, False if it was not found.",
    delete_simulation_result_impl);

const Signature clear_simulation_results_signature = SS_SIGNATURE(
    clear_simulation_results, clear_simulation_results_params, "int",
    "Clear simulation results with optional filters.", nullptr,
    "Number of results deleted.", clear_simulation_results_impl);

}  // namespace storage
