// Removing results: one by its ID, or every result a filtered listing
// returns, counting the files actually removed.
#include "operations.hpp"

#include <array>

namespace storage {
namespace {

#define SS_DELETE_PARAMS(X, p)                                              \
    X(p, simulation_id, PositionalOrKeyword, Str, Required, "str",          \
      "The unique simulation ID.")

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

bool log_deleted(StorageFunction* self, PyObject* file_path)
{
    return log_message(self, g_process.str_debug,
                       "Deleted simulation file: ", file_path);
}

// Removes the file at `file_path` through its own methods, if it is still
// there: 1 when removed, 0 when gone (also when another process removed it
// first), -1 on error.
int remove_by_methods(PyObject* file_path)
{
    const int exists = call_truth(file_path, g_process.str_exists);
    if (exists <= 0) {
        return exists;
    }
    if (OwnedRef::steal(
            PyObject_CallMethodNoArgs(file_path, g_process.str_unlink))) {
        return 1;
    }
    if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
        PyErr_Clear();
        return 0;
    }
    return -1;
}

// Removes the file that the lookup by ID found: 1 when removed, 0 when it
// is gone, -1 on error.
// For a local store whose lookup walked the path objects: the names of the
// found file's type directory and entry, read off its path (which the walk
// made as root / type / entry). False with an exception set.
bool names_of_found(FoundFile& found)
{
    PyObject* file_path = found.path.get();
    auto type_dir = OwnedRef::steal(
        PyObject_GetAttr(file_path, g_process.str_parent));
    auto store = OwnedRef::steal(
        type_dir ? PyObject_GetAttr(type_dir.get(), g_process.str_parent)
                 : nullptr);
    const int in_store = store ? PyObject_RichCompareBool(
                                     store.get(), found.root.get(), Py_EQ)
                               : -1;
    if (in_store == 0) {
        PyErr_Format(PyExc_ValueError,
                     "%R lies in no type directory of the store", file_path);
    }
    if (in_store <= 0) {
        return false;
    }
    found.type_name = OwnedRef::steal(
        PyObject_GetAttr(type_dir.get(), g_process.str_name));
    found.entry_name = OwnedRef::steal(
        found.type_name ? PyObject_GetAttr(file_path, g_process.str_name)
                        : nullptr);
    return static_cast<bool>(found.entry_name);
}

int remove_found(FoundFile& found)
{
    PyObject* file_path = found.path.get();
    switch (found.access.backend) {
    case Backend::Syscalls:
        // The module's own lookup found it in this store: removed relative
        // to the store's handles, never through a symbolic link, however
        // the lookup reached it. A rebound lookup's path is the caller's.
        if (!found.root) {
            break;
        }
        if (!found.type_name && !names_of_found(found)) {
            return -1;
        }
        switch (remove_entry(found.root.get(), found.type_name.get(),
                             found.entry_name.get(), file_path)) {
        case Removal::Removed:
            return 1;
        case Removal::NotRemoved:
            return 0;
        case Removal::Error:
            return -1;
        }
        break;
    case Backend::ObjectStore: {
        OwnedRef removed = call_store(found.access, g_process.str_remove,
                                      file_path);
        return removed ? PyObject_IsTrue(removed.get()) : -1;
    }
    case Backend::PathMethods:
        break;
    }
    return remove_by_methods(file_path);
}

PyObject* delete_simulation_result_impl(StorageFunction* self,
                                        PyObject* const* args)
{
    FoundFile found;
    if (!find_file(self, args[delete_simulation_id], &found)) {
        return nullptr;
    }
    if (found.path.get() == Py_None) {
        Py_RETURN_FALSE;
    }
    const int removed = remove_found(found);
    if (removed <= 0) {
        return removed < 0 ? nullptr : Py_NewRef(Py_False);
    }
    return log_deleted(self, found.path.get()) ? Py_NewRef(Py_True) : nullptr;
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

// Removes the listed files of a local store, each only while it is the
// version that was read, relative to the directory handles the listing
// opened. The number removed, or -1.
Py_ssize_t remove_local_files(StorageFunction* self, Listing& listing)
{
    // A file reached through a symbolic link is refused before any is
    // removed, not half-way.
    for (ListedFile& file : listing.files) {
        if (listing.tree.directories[file.directory].through_link) {
            OwnedRef path = listed_path(listing, file);
            if (path) {
                refuse_link(path.get());
            }
            return -1;
        }
    }
    Py_ssize_t removed_count = 0;
    for (ListedFile& file : listing.files) {
        OwnedRef path = listed_path(listing, file);
        if (!path) {
            return -1;
        }
        const TypeDirectory& directory =
            listing.tree.directories[file.directory];
        switch (remove_if_unchanged(directory, directory.files[file.name],
                                    file.local, path.get())) {
        case Removal::Removed:
            if (!log_deleted(self, path.get())) {
                return -1;
            }
            removed_count++;
            break;
        case Removal::NotRemoved:
            break;
        case Removal::Error:
            return -1;
        }
    }
    return removed_count;
}

// Removes the listed files of an object store, each only while it is the
// version that was read, in batched requests where the store has them.
// The number removed, or -1; the files removed before a failure are
// logged.
Py_ssize_t remove_stored_files(StorageFunction* self, Listing& listing)
{
    const auto count = static_cast<Py_ssize_t>(listing.files.size());
    auto listed = OwnedRef::steal(PyList_New(count));
    auto removed = OwnedRef::steal(listed ? PyList_New(0) : nullptr);
    if (!removed) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        ListedFile& file = listing.files[static_cast<size_t>(i)];
        PyObject* pair = PyTuple_Pack(2, file.path.get(), file.version.get());
        if (pair == nullptr) {
            return -1;
        }
        PyList_SET_ITEM(listed.get(), i, pair);  // steals pair
    }
    auto on_removed = OwnedRef::steal(
        PyObject_GetAttr(removed.get(), g_process.str_append));
    if (!on_removed) {
        return -1;
    }
    const bool done = static_cast<bool>(
        call_store(listing.access, g_process.str_remove_listed, listed.get(),
                   on_removed.get()));
    auto failure = OwnedRef::steal(done ? nullptr
                                        : PyErr_GetRaisedException());
    // A tuple of its own: logging runs Python code.
    auto removed_files = OwnedRef::steal(PySequence_Tuple(removed.get()));
    for (Py_ssize_t i = 0;
         removed_files && i < PyTuple_GET_SIZE(removed_files.get()); i++) {
        if (!log_deleted(self, PyTuple_GET_ITEM(removed_files.get(), i))) {
            removed_files = OwnedRef();
        }
    }
    if (failure) {
        if (PyErr_Occurred()) {  // the store's failure stays in the chain
            PyObject* later = PyErr_GetRaisedException();
            PyException_SetContext(later, failure.release());  // steals
            PyErr_SetRaisedException(later);
        }
        else {
            PyErr_SetRaisedException(failure.release());
        }
        return -1;
    }
    return removed_files ? PyTuple_GET_SIZE(removed_files.get()) : -1;
}

// The clear's removals when it removes exactly the files its listing read.
Py_ssize_t remove_listed_files(StorageFunction* self, Listing& listing)
{
    switch (listing.access.backend) {
    case Backend::Syscalls:
        return remove_local_files(self, listing);
    case Backend::ObjectStore:
        return remove_stored_files(self, listing);
    case Backend::PathMethods:
        break;
    }
    Py_ssize_t removed_count = 0;
    for (ListedFile& file : listing.files) {
        const int removed = remove_by_methods(file.path.get());
        if (removed < 0 || (removed && !log_deleted(self, file.path.get()))) {
            return -1;
        }
        removed_count += removed;
    }
    return removed_count;
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

// The count a clear returns, and its log line when it found anything.
PyObject* report_cleared(StorageFunction* self, Py_ssize_t deleted_count)
{
    auto count = OwnedRef::steal(PyLong_FromSsize_t(deleted_count));
    if (!count
        || !log_message(self, g_process.str_debug, "Cleared ", count.get(),
                        " simulation result(s)")) {
        return nullptr;
    }
    return count.release();
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
    // than the one listed, or a version saved after the listing: when it
    // can, the clear removes what it listed, as it was listed.
    const int own = clear_owns_its_calls(self);
    if (own < 0) {
        return nullptr;
    }
    if (own) {
        Listing listing;
        if (!list_results(self, listing_filters(args).data(), &listing)) {
            return nullptr;
        }
        if (listing.files.empty()) {
            return PyLong_FromLong(0);
        }
        const Py_ssize_t removed = remove_listed_files(self, listing);
        return removed < 0 ? nullptr : report_cleared(self, removed);
    }
    // The four filters, passed on under their own names.
    OwnedRef results = call_global(self, g_process.str_list_simulation_results,
                                   args, 0,
                                   keyword_names(KeywordCall::ClearListing));
    if (!results) {
        return nullptr;
    }
    const int any = PyObject_IsTrue(results.get());
    if (any <= 0) {
        return any < 0 ? nullptr : PyLong_FromLong(0);
    }
    const Py_ssize_t deleted_count = clear_by_id(self, results.get());
    return deleted_count < 0 ? nullptr : report_cleared(self, deleted_count);
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
