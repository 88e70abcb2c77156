// Reading one result back: by its ID, or by the identity fields it was
// saved with. Loading is strict: a damaged file raises, naming itself. A
// lookup by identity never answers with another result's record.
#include "identity.hpp"
#include "operations.hpp"

namespace storage {
namespace {

#define SS_LOAD_PARAMS(X, p)                                                \
    X(p, simulation_id, PositionalOrKeyword, Str, Required, "str",          \
      "The unique simulation ID.")

#define SS_FIND_PARAMS(X, p)                                                \
    SS_IDENTITY_PARAMS(X, p, KeywordOnly, Any, "SimulationType")

enum LoadArg : Py_ssize_t { SS_LOAD_PARAMS(SS_ARG_INDEX, load) };
enum FindArg : Py_ssize_t { SS_FIND_PARAMS(SS_ARG_INDEX, find) };

const Param load_simulation_result_params[] = {
    SS_LOAD_PARAMS(SS_PARAM_ENTRY, load)};
const Param find_simulation_result_params[] = {
    SS_FIND_PARAMS(SS_PARAM_ENTRY, find)};

// The warning and answer for a located file that is not there.
PyObject* report_missing(StorageFunction* self, PyObject* file_path)
{
    if (!log_message(self, g_process.str_warning,
                     "Simulation file not found: ", file_path)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The record of `simulation_id` as load_simulation_result reads it, and in
// `*found` the file it was read from.
PyObject* load_record(StorageFunction* self, PyObject* simulation_id,
                      FoundFile* found)
{
    if (!find_file(self, simulation_id, found)) {
        return nullptr;
    }
    PyObject* file_path = found->path.get();
    if (file_path == Py_None) {
        return Py_NewRef(Py_None);
    }
    OwnedRef loads, content;
    if (found->access.backend == Backend::ObjectStore) {
        // On S3 one request instead of asking first whether it is there.
        loads = decoder(self);
        content = loads ? call_store(found->access, g_process.str_read_located,
                                     file_path)
                        : OwnedRef();
        if (content && content.get() == Py_None) {
            return report_missing(self, file_path);
        }
    }
    else {
        const int exists = call_truth(file_path, g_process.str_exists);
        if (exists <= 0) {
            return exists < 0 ? nullptr : report_missing(self, file_path);
        }
        loads = decoder(self);
        content = loads ? read_file(found->access, file_path) : OwnedRef();
    }
    if (!content) {
        return nullptr;
    }
    return decode_record(self, loads.get(), content.get(), file_path)
        .release();
}

PyObject* load_simulation_result_impl(StorageFunction* self,
                                      PyObject* const* args)
{
    FoundFile found;
    return load_record(self, args[load_simulation_id], &found);
}

// The content of the file at the place a save puts a result, or nothing
// with an exception set; with neither when there is no file there (as
// exists() would say), so that the lookup by ID answers instead.
OwnedRef read_place(const Access& access, PyObject* place)
{
    if (access.backend == Backend::Syscalls) {
        bool absent = false;
        return read_regular_file(place, &absent);
    }
    OwnedRef content = call_store(access, g_process.str_read, place);
    if (!content && PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
        PyErr_Clear();
    }
    return content;
}

// Whether `record` is the result of `simulation_id`: 1, 0, -1 on error.
int is_result_of(PyObject* record, PyObject* simulation_id)
{
    auto held = OwnedRef::steal(
        PyObject_GetAttr(record, g_process.str_simulation_id));
    if (!held) {
        return -1;
    }
    return PyObject_RichCompareBool(held.get(), simulation_id, Py_EQ);
}

// The warning for a result file whose record has another ID than the one
// asked for: no lookup by identity answers with it.
bool report_misfiled(StorageFunction* self, PyObject* file_path)
{
    return log_message(self, g_process.str_warning,
                       "Misfiled simulation file: ", file_path);
}

// The place a misfiled record says its file is, relative to the store:
// what names it when a rebound lookup read it.
OwnedRef claimed_place(PyObject* record)
{
    OwnedRef fields[3];
    PyObject* const names[] = {g_process.str_simulation_type,
                               g_process.str_component_name,
                               g_process.str_simulation_id};
    for (int i = 0; i < 3; i++) {
        fields[i] = OwnedRef::steal(PyObject_GetAttr(record, names[i]));
        if (!fields[i]) {
            return {};
        }
    }
    return OwnedRef::steal(PyUnicode_FromFormat(
        "%S/%S_%S.json", fields[0].get(), fields[1].get(), fields[2].get()));
}

// The answer of the lookup by ID through the module's own functions, after
// the place of the result held no file or a misfiled one (`misfiled`,
// already reported).
PyObject* find_by_id(StorageFunction* self, PyObject* simulation_id,
                     PyObject* misfiled)
{
    FoundFile found;
    auto record = OwnedRef::steal(load_record(self, simulation_id, &found));
    if (!record || record.get() == Py_None) {
        return record.release();
    }
    const int right = is_result_of(record.get(), simulation_id);
    if (right != 0) {
        return right < 0 ? nullptr : record.release();
    }
    // The same file met twice is reported once.
    const int again = misfiled == nullptr
                          ? 0
                          : PyObject_RichCompareBool(found.path.get(),
                                                     misfiled, Py_EQ);
    if (again < 0
        || (again == 0 && !report_misfiled(self, found.path.get()))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The lookup when a caller rebound load_simulation_result or
// _find_simulation_file: through them, and never another result's record.
PyObject* find_through_globals(StorageFunction* self, PyObject* simulation_id)
{
    OwnedRef record = call_global(self, g_process.str_load_simulation_result,
                                  &simulation_id, 1);
    if (!record || record.get() == Py_None) {
        return record.release();
    }
    const int right = is_result_of(record.get(), simulation_id);
    if (right != 0) {
        return right < 0 ? nullptr : record.release();
    }
    OwnedRef place = claimed_place(record.get());
    if (!place || !report_misfiled(self, place.get())) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// 1 when find_simulation_result may read the result at its place and
// answer for the lookup by ID itself: the lookup is the module's own and
// the names form a place a save writes. 0 when not, -1 on error.
int may_read_place(StorageFunction* self, PyObject* const* args,
                   PyObject* simulation_id)
{
    PyObject* simulation_type = args[find_simulation_type];
    if (!PyUnicode_CheckExact(simulation_id)
        || !PyUnicode_CheckExact(simulation_type)) {
        return 0;
    }
    int own = global_is_own(self, g_process.str_load_simulation_result,
                            load_simulation_result_signature);
    if (own == 1) {
        own = global_is_own(self, g_process.str__find_simulation_file,
                            find_simulation_file_signature);
    }
    return own;
}

PyObject* find_simulation_result_impl(StorageFunction* self,
                                      PyObject* const* args)
{
    // The arguments are the identity fields, in the keywords' order.
    OwnedRef simulation_id = call_global(
        self, g_process.str__compute_simulation_id, args, 0,
        keyword_names(KeywordCall::ComputeId));
    if (!simulation_id) {
        return nullptr;
    }
    PyObject* id = simulation_id.get();
    const int own = may_read_place(self, args, id);
    if (own <= 0) {
        return own < 0 ? nullptr : find_through_globals(self, id);
    }
    PyObject* simulation_type = args[find_simulation_type];
    PyObject* component_name = args[find_component_name];
    Access access;
    OwnedRef simulations_dir = open_store(self, &access, component_name,
                                          simulation_type);
    if (!simulations_dir) {
        return nullptr;
    }
    if (access.backend == Backend::PathMethods
        || !is_result_place(simulation_type, component_name)) {
        return find_by_id(self, id, nullptr);
    }
    // The result at <type>/<component>_<id>.json, read in one open (one
    // request on object storage); the lookup by ID only when no file is
    // there, or one that holds another result.
    auto name = OwnedRef::steal(
        PyUnicode_FromFormat("%U_%U.json", component_name, id));
    auto type_dir = OwnedRef::steal(
        name ? PyNumber_TrueDivide(simulations_dir.get(), simulation_type)
             : nullptr);
    auto place = OwnedRef::steal(
        type_dir ? PyNumber_TrueDivide(type_dir.get(), name.get()) : nullptr);
    if (!place) {
        return nullptr;
    }
    OwnedRef loads = decoder(self);
    OwnedRef content = loads ? read_place(access, place.get()) : OwnedRef();
    if (!content) {
        return PyErr_Occurred() ? nullptr : find_by_id(self, id, nullptr);
    }
    OwnedRef record = decode_record(self, loads.get(), content.get(),
                                    place.get());
    if (!record) {
        return nullptr;
    }
    const int right = is_result_of(record.get(), id);
    if (right != 0) {
        return right < 0 ? nullptr : record.release();
    }
    if (!report_misfiled(self, place.get())) {
        return nullptr;
    }
    return find_by_id(self, id, place.get());
}

}  // namespace

OwnedRef decoder(StorageFunction* self)
{
    return global_attr(self, g_process.str_orjson, g_process.str_loads);
}

OwnedRef decode_record(StorageFunction* self, PyObject* loads,
                       PyObject* content, PyObject* file_path)
{
    auto data = OwnedRef::steal(PyObject_CallOneArg(loads, content));
    OwnedRef model_validate;
    if (data) {
        model_validate = global_attr(self,
                                     g_process.str_StoredSimulationResult,
                                     g_process.str_model_validate);
    }
    OwnedRef record;
    if (model_validate) {
        record = OwnedRef::steal(
            PyObject_CallOneArg(model_validate.get(), data.get()));
    }
    if (record || file_path == nullptr
        || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return record;
    }
    // In a sweep of thousands of results, the error must say which file.
    PyObject* raised = PyErr_GetRaisedException();
    auto note = OwnedRef::steal(
        PyUnicode_FromFormat("Simulation file: %S", file_path));
    OwnedRef added;
    if (note) {
        added = OwnedRef::steal(PyObject_CallMethodOneArg(
            raised, g_process.str_add_note, note.get()));
    }
    if (added) {
        PyErr_SetRaisedException(raised);
    }
    else {
        Py_DECREF(raised);
    }
    return {};
}

const Signature load_simulation_result_signature = SS_SIGNATURE(
    load_simulation_result, load_simulation_result_params,
    "StoredSimulationResult | None", "Load a simulation result by its ID.",
    nullptr, "The stored simulation result if found, None otherwise.",
    load_simulation_result_impl);

const Signature find_simulation_result_signature = SS_SIGNATURE(
    find_simulation_result, find_simulation_result_params,
    "StoredSimulationResult | None",
    "Find a cached simulation result by its identity fields.",
    "Computes the simulation ID from the identity fields and loads the\n"
    "result stored under it; a stored record of another ID is never the\n"
    "answer.",
    "The stored simulation result if found, None otherwise.",
    find_simulation_result_impl);

}  // namespace storage
