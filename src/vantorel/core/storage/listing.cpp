// Listing: walks <simulations dir>/<type dir>/*.json, validates each file
// into a record, keeps those that pass the filters and sorts them newest
// first. A file that fails is reported with one warning and skipped, so one
// damaged file never hides the others.
#include "pyref.hpp"

namespace storage {
namespace {

PyDoc_STRVAR(
    matches_filters_doc,
    "_matches_filters(result: StoredSimulationResult, "
    "str component_name: str | None, str factory_name: str | None, "
    "str pdk_name: str | None, str status: str | None) -> bool\n"
    "\n"
    "Check if a result matches the given filters.\n");

PyDoc_STRVAR(
    list_simulation_results_doc,
    "list_simulation_results(*, str component_name: str | None = None, "
    "str factory_name: str | None = None, "
    "str simulation_type: str | None = None, "
    "str pdk_name: str | None = None, str status: str | None = None) "
    "-> list[StoredSimulationResult]\n"
    "\n"
    "List simulation results with optional filters.\n"
    "\n"
    "Results are sorted by simulation date, newest first. Files that\n"
    "cannot be read or validated are skipped with a warning.\n"
    "\n"
    "Args:\n"
    "    component_name: Filter by component name.\n"
    "    factory_name: Filter by factory name.\n"
    "    simulation_type: Filter by simulation type.\n"
    "    pdk_name: Filter by PDK name.\n"
    "    status: Filter by status.\n"
    "\n"
    "Returns:\n"
    "    List of matching simulation results, newest first.\n");

// The sort key of a listing: `lambda r: r.simulation_date`.
PyObject* sort_key_impl(StorageFunction*, PyObject* const* args)
{
    return PyObject_GetAttr(args[0], g_state.str_simulation_date);
}

// 1 when `attribute != wanted` is true, 0 when false, -1 on error.
int differs(PyObject* attribute, PyObject* wanted)
{
    if (attribute == wanted) {
        return 0;
    }
    if (PyUnicode_CheckExact(attribute)) {
        return PyUnicode_Compare(attribute, wanted) != 0;
    }
    if (attribute == Py_None) {
        return 1;
    }
    // CAUTION: may run Python code.
    auto result = OwnedRef::steal(
        PyObject_RichCompare(attribute, wanted, Py_NE));
    if (!result) {
        return -1;
    }
    return PyObject_IsTrue(result.get());
}

PyObject* matches_filters_impl(StorageFunction*, PyObject* const* args)
{
    PyObject* result = args[0];
    PyObject* const filters[][2] = {
        {g_state.str_component_name, args[1]},
        {g_state.str_factory_name, args[2]},
        {g_state.str_pdk_name, args[3]},
        {g_state.str_status, args[4]},
    };
    for (const auto& filter : filters) {
        PyObject* wanted = filter[1];
        if (wanted == Py_None) {
            continue;
        }
        auto attribute = OwnedRef::steal(PyObject_GetAttr(result,
                                                          filter[0]));
        if (!attribute) {
            return nullptr;
        }
        int mismatch = differs(attribute.get(), wanted);
        if (mismatch < 0) {
            return nullptr;
        }
        if (mismatch) {
            Py_RETURN_FALSE;
        }
    }
    Py_RETURN_TRUE;
}

// Reads, validates and filters one result file, appending the record to
// `results` when it passes (and, with `paths`, noting its file there).
// Returns false with the exception set.
bool collect_file(StorageFunction* self, PyObject* file_path,
                  PyObject* const* filters, PyObject* results,
                  PyObject* paths)
{
    OwnedRef record = read_record(self, file_path);
    if (!record) {
        return false;
    }
    // component_name, factory_name, pdk_name, status
    PyObject* match_args[] = {record.get(), filters[0], filters[1],
                              filters[3], filters[4]};
    OwnedRef verdict = call_global(self, g_state.str__matches_filters,
                                   match_args, 5);
    if (!verdict) {
        return false;
    }
    int keep = PyObject_IsTrue(verdict.get());
    if (keep < 0) {
        return false;
    }
    if (keep == 0) {
        return true;
    }
    if (paths != nullptr) {
        auto key = OwnedRef::steal(PyLong_FromVoidPtr(record.get()));
        if (!key || PyDict_SetItem(paths, key.get(), file_path) < 0) {
            return false;
        }
    }
    return PyList_Append(results, record.get()) == 0;
}

// Runs collect_file; an Exception is logged as one warning and swallowed,
// anything else (KeyboardInterrupt, SystemExit) propagates.
bool collect_file_or_warn(StorageFunction* self, PyObject* file_path,
                          PyObject* const* filters, PyObject* results,
                          PyObject* paths)
{
    if (collect_file(self, file_path, filters, results, paths)) {
        return true;
    }
    PyObject* raised = PyErr_GetRaisedException();
    if (!PyErr_GivenExceptionMatches(raised, PyExc_Exception)) {
        PyErr_SetRaisedException(raised);
        return false;
    }
    Py_DECREF(raised);
    return log_message(self, g_state.str_warning,
                       "Failed to parse simulation file: ", file_path);
}

// The type directories to walk: the one named by `simulation_type`, or
// every directory below the simulations directory, in iterdir order.
OwnedRef type_directories(PyObject* simulations_dir, PyObject* simulation_type)
{
    if (simulation_type != Py_None) {
        auto type_dir = OwnedRef::steal(
            PyNumber_TrueDivide(simulations_dir, simulation_type));
        if (!type_dir) {
            return {};
        }
        auto one = OwnedRef::steal(PyList_New(1));
        if (one) {
            PyList_SET_ITEM(one.get(), 0, type_dir.release());  // steals
        }
        return one;
    }
    auto entries = OwnedRef::steal(
        PyObject_CallMethodNoArgs(simulations_dir, g_state.str_iterdir));
    if (!entries) {
        return {};
    }
    auto iterator = OwnedRef::steal(PyObject_GetIter(entries.get()));
    auto type_dirs = OwnedRef::steal(PyList_New(0));
    if (!iterator || !type_dirs) {
        return {};
    }
    while (auto entry = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        int is_dir = call_truth(entry.get(), g_state.str_is_dir);
        if (is_dir < 0
            || (is_dir && PyList_Append(type_dirs.get(), entry.get()))) {
            return {};
        }
    }
    if (PyErr_Occurred()) {
        return {};
    }
    return type_dirs;
}

PyObject* list_simulation_results_impl(StorageFunction* self,
                                       PyObject* const* args)
{
    return list_results(self, args, nullptr).release();
}


const Param matches_filters_params[] = {
    SS_PARAM(result, PositionalOrKeyword, Any, Required,
             "StoredSimulationResult"),
    SS_PARAM(component_name, PositionalOrKeyword, StrOrNone, Required,
             "str | None"),
    SS_PARAM(factory_name, PositionalOrKeyword, StrOrNone, Required,
             "str | None"),
    SS_PARAM(pdk_name, PositionalOrKeyword, StrOrNone, Required,
             "str | None"),
    SS_PARAM(status, PositionalOrKeyword, StrOrNone, Required, "str | None"),
};

const Param list_simulation_results_params[] = {
    SS_PARAM(component_name, KeywordOnly, StrOrNone, None, "str | None"),
    SS_PARAM(factory_name, KeywordOnly, StrOrNone, None, "str | None"),
    SS_PARAM(simulation_type, KeywordOnly, StrOrNone, None, "str | None"),
    SS_PARAM(pdk_name, KeywordOnly, StrOrNone, None, "str | None"),
    SS_PARAM(status, KeywordOnly, StrOrNone, None, "str | None"),
};

const Param sort_key_params[] = {
    SS_PARAM(r, PositionalOrKeyword, Any, Required, nullptr),
};

}  // namespace

OwnedRef list_results(StorageFunction* self, PyObject* const* filters,
                      PyObject* paths)
{
    PyObject* simulation_type = filters[2];
    if (simulation_type != Py_None
        && !check_simulation_type(simulation_type, TypeUse::Filter)) {
        return {};
    }
    OwnedRef simulations_dir = call_global(self,
                                           g_state.str_get_simulations_dir);
    if (!simulations_dir) {
        return {};
    }
    int exists = call_truth(simulations_dir.get(), g_state.str_exists);
    if (exists <= 0) {
        return exists < 0 ? OwnedRef() : OwnedRef::steal(PyList_New(0));
    }
    auto results = OwnedRef::steal(PyList_New(0));
    if (!results) {
        return {};
    }
    OwnedRef type_dirs = type_directories(simulations_dir.get(),
                                          simulation_type);
    if (!type_dirs) {
        return {};
    }
    // Iterated by index: the list is ours and never changes size.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(type_dirs.get()); i++) {
        PyObject* type_dir = PyList_GET_ITEM(type_dirs.get(), i);
        int type_exists = call_truth(type_dir, g_state.str_exists);
        if (type_exists < 0) {
            return {};
        }
        if (type_exists == 0) {
            continue;
        }
        auto files = OwnedRef::steal(PyObject_CallMethodOneArg(
            type_dir, g_state.str_glob, g_state.str_json_pattern));
        if (!files) {
            return {};
        }
        auto iterator = OwnedRef::steal(PyObject_GetIter(files.get()));
        if (!iterator) {
            return {};
        }
        while (auto file_path = OwnedRef::steal(PyIter_Next(iterator.get()))) {
            if (!collect_file_or_warn(self, file_path.get(), filters,
                                      results.get(), paths)) {
                return {};
            }
        }
        if (PyErr_Occurred()) {
            return {};
        }
    }

    auto key = OwnedRef::steal(new_function(sort_key_signature,
                                            g_state.str_lambda_name,
                                            g_state.str_lambda_qualname,
                                            self->globals));
    if (!key) {
        return {};
    }
    PyObject* sort_args[] = {results.get(), key.get(), Py_True};
    auto sorted = OwnedRef::steal(PyObject_VectorcallMethod(
        g_state.str_sort, sort_args, 1, g_state.kw_sort));
    if (!sorted) {
        return {};
    }
    return results;
}

const Signature matches_filters_signature = SS_SIGNATURE(
    _matches_filters, matches_filters_params, 5, "bool", matches_filters_doc,
    matches_filters_impl);

const Signature list_simulation_results_signature = SS_SIGNATURE(
    list_simulation_results, list_simulation_results_params, 0,
    "list[StoredSimulationResult]", list_simulation_results_doc,
    list_simulation_results_impl);

const Signature sort_key_signature = Signature{
    "<lambda>", "lambda", sort_key_params, param_count(sort_key_params), 1,
    nullptr, nullptr, sort_key_impl};

}  // namespace storage
