// Listing: walks <simulations dir>/<type dir>/*.json, validates each file
// into a record, keeps those that pass the filters and sorts them newest
// first. A file that fails is reported with one warning and skipped, so one
// damaged file never hides the others.
#include "operations.hpp"

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
    "<lambda>",
    "lambda",
    sort_key_params,
    param_count(sort_key_params),
    positional_count(sort_key_params),
    nullptr,
    nullptr,
    nullptr,
    nullptr,
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

// Validates `content` into a record and keeps `file` in the listing when
// the record passes the filters. Returns false with the exception set.
bool keep_if_matching(StorageFunction* self, PyObject* loads,
                      PyObject* content, PyObject* const* filters,
                      ListedFile& file, Listing* listing)
{
    file.record = decode_record(self, loads, content, nullptr);
    if (!file.record) {
        return false;
    }
    PyObject* match_args[match_count];
    match_args[match_result] = file.record.get();
    match_args[match_component_name] = filters[list_component_name];
    match_args[match_factory_name] = filters[list_factory_name];
    match_args[match_pdk_name] = filters[list_pdk_name];
    match_args[match_status] = filters[list_status];
    OwnedRef verdict = call_global(self, g_process.str__matches_filters,
                                   match_args, match_count);
    if (!verdict) {
        return false;
    }
    const int keep = PyObject_IsTrue(verdict.get());
    if (keep > 0) {
        listing->files.push_back(std::move(file));
    }
    return keep >= 0;
}

// After a file failed to be read, decoded, validated or tested: an
// Exception is logged as one warning naming the file and swallowed;
// anything else (KeyboardInterrupt, SystemExit) propagates. Returns false
// with an exception set.
bool warn_and_go_on(StorageFunction* self, PyObject* file_path)
{
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

// The listing's walk through the store's path objects, level by level:
// the type directories, then the "*.json" entries of each, every file read
// and collected as it comes. Returns false with an exception set.
bool walk_result_files(StorageFunction* self, PyObject* const* filters,
                       Listing* listing)
{
    PyObject* simulations_dir = listing->root.get();
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
        auto files = OwnedRef::steal(PyObject_CallMethodOneArg(
            type_dir, g_process.str_glob, g_process.str_json_pattern));
        auto iterator = OwnedRef::steal(files ? PyObject_GetIter(files.get())
                                              : nullptr);
        if (!iterator) {
            return false;
        }
        while (auto file_path = OwnedRef::steal(PyIter_Next(iterator.get()))) {
            ListedFile file;
            file.path = file_path;
            OwnedRef loads = decoder(self);
            auto content = OwnedRef::steal(
                loads ? PyObject_CallMethodNoArgs(file_path.get(),
                                                  g_process.str_read_bytes)
                      : nullptr);
            if ((!content
                 || !keep_if_matching(self, loads.get(), content.get(),
                                      filters, file, listing))
                && !warn_and_go_on(self, file_path.get())) {
                return false;
            }
        }
        if (PyErr_Occurred()) {
            return false;
        }
    }
    return true;
}

// The listing of a local store through its names and directory handles.
// Returns false with an exception set.
bool collect_local_files(StorageFunction* self, PyObject* const* filters,
                         Listing* listing)
{
    const auto& directories = listing->tree.directories;
    for (size_t d = 0; d < directories.size(); d++) {
        for (size_t n = 0; n < directories[d].files.size(); n++) {
            ListedFile file;
            file.directory = d;
            file.name = n;
            OwnedRef loads = decoder(self);
            OwnedRef content = loads
                                   ? read_listed_file(directories[d],
                                                      directories[d].files[n],
                                                      &file.local)
                                   : OwnedRef();
            if (content
                && keep_if_matching(self, loads.get(), content.get(), filters,
                                    file, listing)) {
                continue;
            }
            // Only now is the file's path worth making.
            PyObject* raised = PyErr_GetRaisedException();
            OwnedRef path = listed_path(*listing, file);
            if (!path) {
                PyObject* later = PyErr_GetRaisedException();
                PyException_SetContext(later, raised);  // steals raised
                PyErr_SetRaisedException(later);
                return false;
            }
            PyErr_SetRaisedException(raised);
            if (!warn_and_go_on(self, path.get())) {
                return false;
            }
        }
    }
    return true;
}

// The listing of an object store: the result files from its listing,
// read with many requests in flight. A file that cannot be read (a server
// error, a refused permission) ends the listing with its OSError: it is no
// damage, and a listing without it would not be the store's.
bool collect_stored_files(StorageFunction* self, PyObject* const* filters,
                          Listing* listing)
{
    OwnedRef files = call_store(listing->access, g_process.str_result_files,
                                listing->root.get(),
                                filters[list_simulation_type]);
    OwnedRef fetched = files ? call_store(listing->access,
                                          g_process.str_read_each, files.get())
                             : OwnedRef();
    auto iterator = OwnedRef::steal(fetched ? PyObject_GetIter(fetched.get())
                                            : nullptr);
    if (!iterator) {
        return false;
    }
    while (auto item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        PyObject *path, *content, *version;  // borrowed from item
        if (!PyArg_ParseTuple(item.get(),
                              "OOO;a stored file, its content "
                              "and its version were expected",
                              &path, &content, &version)) {
            return false;
        }
        ListedFile file;
        file.path = OwnedRef::borrow(path);
        file.version = OwnedRef::borrow(version);
        OwnedRef loads = decoder(self);
        if ((!loads
             || !keep_if_matching(self, loads.get(), content, filters, file,
                                  listing))
            && !warn_and_go_on(self, path)) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

// Puts the kept files in the order of results.sort(key=<a new sort key>,
// reverse=True): the key computed once per record, in listing order, and
// the records ordered by Python's own sort of those keys.
bool sort_newest_first(StorageFunction* self, Listing* listing)
{
    auto key = OwnedRef::steal(
        new_function(sort_key_signature, g_process.str_lambda_name,
                     g_process.str_lambda_qualname, self->globals));
    const auto count = static_cast<Py_ssize_t>(listing->files.size());
    auto keys = OwnedRef::steal(key ? PyList_New(count) : nullptr);
    auto order = OwnedRef::steal(keys ? PyList_New(count) : nullptr);
    if (!order) {
        return false;
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject* record = listing->files[static_cast<size_t>(i)].record.get();
        PyObject* sort_key = PyObject_CallOneArg(key.get(), record);
        PyObject* index = sort_key ? PyLong_FromSsize_t(i) : nullptr;
        if (index == nullptr) {
            Py_XDECREF(sort_key);
            return false;
        }
        PyList_SET_ITEM(keys.get(), i, sort_key);  // steals
        PyList_SET_ITEM(order.get(), i, index);    // steals
    }
    auto key_of = OwnedRef::steal(
        PyObject_GetAttr(keys.get(), g_process.str___getitem__));
    if (!key_of) {
        return false;
    }
    PyObject* sort_args[] = {order.get(), key_of.get(), Py_True};
    if (!OwnedRef::steal(
            PyObject_VectorcallMethod(g_process.str_sort, sort_args, 1,
                                      keyword_names(KeywordCall::Sort)))) {
        return false;
    }
    std::vector<ListedFile> sorted;
    sorted.reserve(listing->files.size());
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject* index = PyList_GET_ITEM(order.get(), i);  // borrowed
        const Py_ssize_t at = PyLong_AsSsize_t(index);
        sorted.push_back(std::move(listing->files[static_cast<size_t>(at)]));
    }
    listing->files.swap(sorted);
    return true;
}

PyObject* list_simulation_results_impl(StorageFunction* self,
                                       PyObject* const* args)
{
    Listing listing;
    if (!list_results(self, args, &listing)) {
        return nullptr;
    }
    auto results = OwnedRef::steal(
        PyList_New(static_cast<Py_ssize_t>(listing.files.size())));
    if (!results) {
        return nullptr;
    }
    for (size_t i = 0; i < listing.files.size(); i++) {
        PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i),
                        listing.files[i].record.release());  // steals
    }
    return results.release();
}

}  // namespace

bool list_results(StorageFunction* self, PyObject* const* filters,
                  Listing* listing)
{
    PyObject* simulation_type = filters[list_simulation_type];
    if (simulation_type != Py_None
        && !check_simulation_type(simulation_type, TypeUse::Filter)) {
        return false;
    }
    // A component filter names no object, but a name that no save can
    // store is refused here as in a save, not answered by an empty list.
    listing->root = open_store(self, &listing->access,
                               filters[list_component_name], simulation_type);
    if (!listing->root) {
        return false;
    }
    bool listed = false;
    switch (listing->access.backend) {
    case Backend::Syscalls:
        switch (read_local_tree(listing->root.get(), simulation_type,
                                &listing->tree)) {
        case Scan::Found:
            listed = collect_local_files(self, filters, listing);
            break;
        case Scan::NotFound:
            listed = true;
            break;
        case Scan::Unsure:
            // What only pathlib's methods can answer (they raise or
            // answer as pathlib does); removals then go through them too.
            listing->access.backend = Backend::PathMethods;
            listing->tree = LocalTree();
            listed = walk_result_files(self, filters, listing);
            break;
        case Scan::Error:
            break;
        }
        break;
    case Backend::ObjectStore:
        listed = collect_stored_files(self, filters, listing);
        break;
    case Backend::PathMethods:
        listed = walk_result_files(self, filters, listing);
        break;
    }
    return listed && sort_newest_first(self, listing);
}

OwnedRef listed_path(const Listing& listing, ListedFile& file)
{
    if (file.path) {
        return file.path;
    }
    const TypeDirectory& directory = listing.tree.directories[file.directory];
    const std::string& name = directory.files[file.name];
    auto entry = OwnedRef::steal(PyUnicode_DecodeFSDefaultAndSize(
        name.data(), static_cast<Py_ssize_t>(name.size())));
    auto type_dir = OwnedRef::steal(
        entry ? PyNumber_TrueDivide(listing.root.get(), directory.name.get())
              : nullptr);
    file.path = OwnedRef::steal(
        type_dir ? PyNumber_TrueDivide(type_dir.get(), entry.get()) : nullptr);
    return file.path;
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
