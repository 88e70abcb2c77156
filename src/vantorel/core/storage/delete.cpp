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

PyObject* clear_simulation_results_impl(StorageFunction* self,
                                        PyObject* const* args)
{
    // The four filters, in the order of g_state.kw_clear.
    OwnedRef results = call_global(
        self, g_state.str_list_simulation_results, args, 0, g_state.kw_clear);
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
        auto simulation_id = OwnedRef::steal(
            PyObject_GetAttr(result.get(), g_state.str_simulation_id));
        if (!simulation_id) {
            return nullptr;
        }
        PyObject* id = simulation_id.get();
        OwnedRef removed = call_global(
            self, g_state.str_delete_simulation_result, &id, 1);
        if (!removed) {
            return nullptr;
        }
        int counted = PyObject_IsTrue(removed.get());
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
