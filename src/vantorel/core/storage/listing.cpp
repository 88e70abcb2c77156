// Listing: walks <simulations dir>/<type dir>/*.json, validates each file
// into a record, keeps those that pass the filters and sorts them newest
// first. A file that fails is reported with one warning and skipped, so one
// damaged file never hides the others.
#include "operations.hpp"
#include "path_access.hpp"

namespace storage {
namespace {

#define SS_MATCH_PARAMS(X, p)                                               \
    X(p, result, PositionalOrKeyword, Any, Required,                        \
      "StoredSimulationResult", nullptr)                                    \
    X(p, component_name, PositionalOrKeyword, StrOrNone, Required,          \
      "str | None", nullptr)                                                \
    X(p, factory_name, PositionalOrKeyword, StrOrNone, Required,            \
      "str | None", nullptr)                                                \
    X(p, pdk_name, PositionalOrKeyword, StrOrNone, Required, "str | None",  \
      nullptr)                                                              \
    X(p, status, PositionalOrKeyword, StrOrNone, Required, "str | None",    \
      nullptr)

#define SS_SORT_KEY_PARAMS(X, p)                                            \
    X(p, r, PositionalOrKeyword, Any, Required, nullptr, nullptr)

enum MatchArg : Py_ssize_t {
    SS_MATCH_PARAMS(SS_ARG_INDEX, match) match_count
};
enum SortKeyArg : Py_ssize_t { SS_SORT_KEY_PARAMS(SS_ARG_INDEX, key) };

const Param matches_filters_params[] = {
    SS_MATCH_PARAMS(SS_PARAM_ENTRY, match)};
const Param list_simulation_results_params[] = {
    SS_LIST_PARAMS(SS_PARAM_ENTRY, list)};
const Param sort_key_params[] = {SS_SORT_KEY_PARAMS(SS_PARAM_ENTRY, key)};

// The sort key of a listing: `lambda r: r.simulation_date`.
PyObject* sort_key_impl(StorageFunction*, PyObject* const* args)
{
    return PyObject_GetAttr(args[key_r], g_process.str_simulation_date);
}

// The sort key is made anew for each listing, as the lambda of a Python
// function would be.
const Signature sort_key_signature = Signature{
    "<lambda>", "lambda", sort_key_params, param_count(sort_key_params),
    positional_count(sort_key_params), nullptr, nullptr, nullptr, nullptr,
    sort_key_impl};

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
    PyObject* result = args[match_result];
    const MatchArg filters[] = {match_component_name, match_factory_name,
                                match_pdk_name, match_status};
    for (MatchArg filter : filters) {
        PyObject* wanted = args[filter];
        if (wanted == Py_None) {
            continue;
        }
        // The attribute is named as the filter's parameter.
        auto attribute = OwnedRef::steal(PyObject_GetAttr(
            result, g_process.*(matches_filters_params[filter].interned)));
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
                  PyObject* fetched, PyObject* const* filters,
                  PyObject* results, PyObject* paths)
{
    OwnedRef record = read_record(self, file_path, fetched);
    if (!record) {
        return false;
    }
    PyObject* match_args[match_count];
    match_args[match_result] = record.get();
    match_args[match_component_name] = filters[list_component_name];
    match_args[match_factory_name] = filters[list_factory_name];
    match_args[match_pdk_name] = filters[list_pdk_name];
    match_args[match_status] = filters[list_status];
    OwnedRef verdict = call_global(self, g_process.str__matches_filters,
                                   match_args, match_count);
    if (!verdict) {
        return false;
    }
    int keep = PyObject_IsTrue(verdict.get());
    if (keep <= 0) {
        return keep == 0;
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
                          PyObject* fetched, PyObject* const* filters,
                          PyObject* results, PyObject* paths)
{
    if (collect_file(self, file_path, fetched, filters, results, paths)) {
        return true;
    }
    PyObject* raised = PyErr_GetRaisedException();
    if (!PyErr_GivenExceptionMatches(raised, PyExc_Exception)) {
        PyErr_SetRaisedException(raised);
        return false;
    }
    Py_DECREF(raised);
    return log_message(self, g_process.str_warning,
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
        PyObject_CallMethodNoArgs(simulations_dir, g_process.str_iterdir));
    if (!entries) {
        return {};
    }
    auto iterator = OwnedRef::steal(PyObject_GetIter(entries.get()));
    auto type_dirs = OwnedRef::steal(PyList_New(0));
    if (!iterator || !type_dirs) {
        return {};
    }
    while (auto entry = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        int is_dir = call_truth(entry.get(), g_process.str_is_dir);
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


// results.sort(key=<a new sort key>, reverse=True)
bool sort_newest_first(StorageFunction* self, PyObject* results)
{
    auto key = OwnedRef::steal(new_function(sort_key_signature,
                                            g_process.str_lambda_name,
                                            g_process.str_lambda_qualname,
                                            self->globals));
    PyObject* keywords = keyword_names(
        KeywordCall::Sort, {g_process.str_key, g_process.str_reverse});
    if (!key || keywords == nullptr) {
        return false;
    }
    PyObject* sort_args[] = {results, key.get(), Py_True};
    return static_cast<bool>(OwnedRef::steal(PyObject_VectorcallMethod(
        g_process.str_sort, sort_args, 1, keywords)));
}

// The listing's walk through the store's path objects, level by level:
// the type directories, then the "*.json" entries of each, every file read
// and collected as it comes. Returns false with an exception set.
bool walk_result_files(StorageFunction* self, PyObject* simulations_dir,
                       PyObject* const* filters, PyObject* results,
                       PyObject* paths)
{
    int exists = call_truth(simulations_dir, g_process.str_exists);
    if (exists <= 0) {
        return exists == 0;
    }
    OwnedRef type_dirs = type_directories(simulations_dir,
                                          filters[list_simulation_type]);
    if (!type_dirs) {
        return false;
    }
    // Iterated by index: the list is ours and never changes size.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(type_dirs.get()); i++) {
        PyObject* type_dir = PyList_GET_ITEM(type_dirs.get(), i);
        int type_exists = call_truth(type_dir, g_process.str_exists);
        if (type_exists < 0) {
            return false;
        }
        if (type_exists == 0) {
            continue;
        }
        OwnedRef files = entries_ending_with(
            type_dir, g_process.str_json_pattern, g_process.str_json_suffix);
        if (!files) {
            return false;
        }
        auto iterator = OwnedRef::steal(PyObject_GetIter(files.get()));
        if (!iterator) {
            return false;
        }
        while (auto file_path =
                   OwnedRef::steal(PyIter_Next(iterator.get()))) {
            if (!collect_file_or_warn(self, file_path.get(), nullptr,
                                      filters, results, paths)) {
                return false;
            }
        }
        if (PyErr_Occurred()) {
            return false;
        }
    }
    return true;
}

// Files fetched at a time: enough requests in flight, and no more bytes in
// memory than a few hundred results take.
constexpr Py_ssize_t kFetchedAtOnce = 256;

// Collects the object-store `files` of a listing, fetching them a batch at
// a time. Returns false with an exception set.
bool collect_fetched_files(StorageFunction* self, PyObject* files,
                           PyObject* const* filters, PyObject* results,
                           PyObject* paths)
{
    // A tuple of its own: collecting runs Python code.
    auto all = OwnedRef::steal(PySequence_Tuple(files));
    if (!all) {
        return false;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(all.get());
    for (Py_ssize_t start = 0; start < count; start += kFetchedAtOnce) {
        auto batch = OwnedRef::steal(PyTuple_GetSlice(
            all.get(), start, start + kFetchedAtOnce));
        OwnedRef fetched = batch ? read_stored_files(batch.get())
                                 : OwnedRef();
        auto contents = OwnedRef::steal(
            fetched ? PySequence_Tuple(fetched.get()) : nullptr);
        if (!contents) {
            return false;
        }
        const Py_ssize_t size = PyTuple_GET_SIZE(batch.get());
        if (PyTuple_GET_SIZE(contents.get()) != size) {
            PyErr_SetString(PyExc_RuntimeError,
                            "a content for each result file was expected");
            return false;
        }
        for (Py_ssize_t i = 0; i < size; i++) {
            if (!collect_file_or_warn(self, PyTuple_GET_ITEM(batch.get(), i),
                                      PyTuple_GET_ITEM(contents.get(), i),
                                      filters, results, paths)) {
                return false;
            }
        }
    }
    return true;
}

PyObject* list_simulation_results_impl(StorageFunction* self,
                                       PyObject* const* args)
{
    return list_results(self, args, nullptr).release();
}

}  // namespace

OwnedRef list_results(StorageFunction* self, PyObject* const* filters,
                      PyObject* paths)
{
    PyObject* simulation_type = filters[list_simulation_type];
    if (simulation_type != Py_None
        && !check_simulation_type(simulation_type, TypeUse::Filter)) {
        return {};
    }
    OwnedRef simulations_dir = call_global(self,
                                           g_process.str_get_simulations_dir);
    if (!simulations_dir) {
        return {};
    }
    auto results = OwnedRef::steal(PyList_New(0));
    if (!results) {
        return {};
    }
    // On object storage, one recursive listing and the files fetched with
    // many requests in flight, instead of a request per directory and file.
    bool ask_methods;
    OwnedRef files = stored_result_files(simulations_dir.get(),
                                         simulation_type, &ask_methods);
    if (files) {
        if (!collect_fetched_files(self, files.get(), filters, results.get(),
                                   paths)) {
            return {};
        }
    }
    else if (!ask_methods
             || !walk_result_files(self, simulations_dir.get(), filters,
                                   results.get(), paths)) {
        return {};
    }
    if (!sort_newest_first(self, results.get())) {
        return {};
    }
    return results;
}

const Signature matches_filters_signature = SS_SIGNATURE(
    _matches_filters, matches_filters_params, "bool",
    "Check if a result matches the given filters.", nullptr, nullptr,
    matches_filters_impl);

const Signature list_simulation_results_signature = SS_SIGNATURE(
    list_simulation_results, list_simulation_results_params,
    "list[StoredSimulationResult]",
    "List simulation results with optional filters.",
    "Results are sorted by simulation date, newest first. Files that\n"
    "cannot be read or validated are skipped with a warning.",
    "List of matching simulation results, newest first.",
    list_simulation_results_impl);

}  // namespace storage
