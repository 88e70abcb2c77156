// Removing results: one by its ID, or every result a filtered listing
// returns, counting the files actually removed.
#include "pyref.hpp"

namespace storage {
namespace {

PyDoc_STRVAR(
    delete_simulation_result_doc,
    "delete_simulation_result(str simulation_id: str) -> bool\n"
    "\n"
    "Delete a simulation result by its ID.\n"
    "\n"
    "Args:\n"
    "    simulation_id: The unique simulation ID.\n"
    "\n"
    "Returns:\n"
    "    True if the result was deleted, False if it was not found.\n");

PyDoc_STRVAR(
    clear_simulation_results_doc,
    "clear_simulation_results(*, str component_name: str | None = None, "
    "str factory_name: str | None = None, "
    "str simulation_type: str | None = None, "
    "str pdk_name: str | None = None) -> int\n"
    "\n"
    "Clear simulation results with optional filters.\n"
    "\n"
    "Args:\n"
    "    component_name: Only clear results for this component.\n"
    "    factory_name: Only clear results for this factory.\n"
    "    simulation_type: Only clear results of this simulation type.\n"
    "    pdk_name: Only clear results for this PDK.\n"
    "\n"
    "Returns:\n"
    "    Number of results deleted.\n");

PyObject* delete_simulation_result_impl(StorageFunction* self,
                                        PyObject* const* args)
{
    OwnedRef file_path = call_global(self, g_state.str__find_simulation_file,
                                     args, 1);
    if (!file_path) {
        return nullptr;
    }
    if (file_path.get() == Py_None) {
        Py_RETURN_FALSE;
    }
    int exists = call_truth(file_path.get(), g_state.str_exists);
    if (exists <= 0) {
        return exists < 0 ? nullptr : Py_NewRef(Py_False);
    }
    auto unlinked = OwnedRef::steal(
        PyObject_CallMethodNoArgs(file_path.get(), g_state.str_unlink));
    if (!unlinked) {
        return nullptr;
    }
    if (!log_message(self, g_state.str_debug, "Deleted simulation file: ",
                     file_path.get())) {
        return nullptr;
    }
    Py_RETURN_TRUE;
}

// Removes the file a listing read a record from, as a deletion of that
// record would: 1 when removed (and logged), 0 when already gone, -1 on
// error.
int delete_listed_file(StorageFunction* self, PyObject* file_path)
{
    int exists = call_truth(file_path, g_state.str_exists);
    if (exists <= 0) {
        return exists;
    }
    auto unlinked = OwnedRef::steal(
        PyObject_CallMethodNoArgs(file_path, g_state.str_unlink));
    if (!unlinked
        || !log_message(self, g_state.str_debug, "Deleted simulation file: ",
                        file_path)) {
        return -1;
    }
    return 1;
}

// 1 when the listing and the deletion a clear goes through are the
// module's own, so that it may remove the very files its listing read; 0
// when a caller rebound one of them; -1 on error.
int clear_owns_its_calls(StorageFunction* self)
{
    int own = global_is_own(self, g_state.str_list_simulation_results,
                            list_simulation_results_signature);
    if (own == 1) {
        own = global_is_own(self, g_state.str_delete_simulation_result,
                            delete_simulation_result_signature);
    }
    if (own == 1) {
        own = global_is_own(self, g_state.str__find_simulation_file,
                            find_simulation_file_signature);
    }
    return own;
}

PyObject* clear_simulation_results_impl(StorageFunction* self,
                                        PyObject* const* args)
{
    PyObject* simulation_type = args[2];
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
        // The listing's filters: the four of the clear, then status None.
        PyObject* filters[] = {args[0], args[1], args[2], args[3], Py_None};
        results = list_results(self, filters, paths.get());
    }
    else {
        // The four filters, in the order of g_state.kw_clear.
        results = call_global(self, g_state.str_list_simulation_results,
                              args, 0, g_state.kw_clear);
    }
    if (!results) {
        return nullptr;
    }
    int any = PyObject_IsTrue(results.get());
    if (any <= 0) {
        return any < 0 ? nullptr : PyLong_FromLong(0);
    }
    auto iterator = OwnedRef::steal(PyObject_GetIter(results.get()));
    if (!iterator) {
        return nullptr;
    }
    Py_ssize_t deleted_count = 0;
    while (auto result = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        int counted;
        if (own) {
            auto key = OwnedRef::steal(PyLong_FromVoidPtr(result.get()));
            PyObject* file_path = nullptr;
            int found = key ? PyDict_GetItemRef(paths.get(), key.get(),
                                                &file_path)
                            : -1;
            if (found == 0) {
                PyErr_SetString(PyExc_RuntimeError,
                                "a listed result has no file");
            }
            if (found <= 0) {
                return nullptr;
            }
            auto held = OwnedRef::steal(file_path);
            counted = delete_listed_file(self, file_path);
        }
        else {
            auto simulation_id = OwnedRef::steal(
                PyObject_GetAttr(result.get(), g_state.str_simulation_id));
            if (!simulation_id) {
                return nullptr;
            }
            PyObject* id = simulation_id.get();
            OwnedRef removed = call_global(
                self, g_state.str_delete_simulation_result, &id, 1);
            counted = removed ? PyObject_IsTrue(removed.get()) : -1;
        }
        if (counted < 0) {
            return nullptr;
        }
        deleted_count += counted;
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    auto count = OwnedRef::steal(PyLong_FromSsize_t(deleted_count));
    if (!count
        || !log_message(self, g_state.str_debug, "Cleared ", count.get(),
                        " simulation result(s)")) {
        return nullptr;
    }
    return count.release();
}

const Param delete_simulation_result_params[] = {
    SS_PARAM(simulation_id, PositionalOrKeyword, Str, Required, "str"),
};

const Param clear_simulation_results_params[] = {
    SS_PARAM(component_name, KeywordOnly, StrOrNone, None, "str | None"),
    SS_PARAM(factory_name, KeywordOnly, StrOrNone, None, "str | None"),
    SS_PARAM(simulation_type, KeywordOnly, StrOrNone, None, "str | None"),
    SS_PARAM(pdk_name, KeywordOnly, StrOrNone, None, "str | None"),
};

}  // namespace

const Signature delete_simulation_result_signature = SS_SIGNATURE(
    delete_simulation_result, delete_simulation_result_params, 1, "bool",
    delete_simulation_result_doc, delete_simulation_result_impl);

const Signature clear_simulation_results_signature = SS_SIGNATURE(
    clear_simulation_results, clear_simulation_results_params, 0, "int",
    clear_simulation_results_doc, clear_simulation_results_impl);

}  // namespace storage
