// Reading one result back: by its ID, or by the identity fields it was
// saved with. Loading is strict: a damaged file raises.
#include "identity.hpp"
#include "local_files.hpp"
#include "operations.hpp"
#include "path_access.hpp"

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

PyObject* load_simulation_result_impl(StorageFunction* self,
                                      PyObject* const* args)
{
    OwnedRef file_path = call_global(
        self, g_process.str__find_simulation_file, &args[load_simulation_id],
        1);
    if (!file_path) {
        return nullptr;
    }
    if (file_path.get() == Py_None) {
        return file_path.release();
    }
    int stored = on_object_store(file_path.get());
    if (stored < 0) {
        return nullptr;
    }
    if (stored) {
        // On S3 one request instead of asking first whether it is there.
        OwnedRef content = read_found_file(file_path.get());
        if (!content) {
            return nullptr;
        }
        if (content.get() == Py_None) {
            return report_missing(self, file_path.get());
        }
        return read_record(self, file_path.get(), content.get()).release();
    }
    int exists = call_truth(file_path.get(), g_process.str_exists);
    if (exists < 0) {
        return nullptr;
    }
    if (exists == 0) {
        return report_missing(self, file_path.get());
    }
    return read_record(self, file_path.get()).release();
}

// The result at the place a save puts it, <type>/<component>_<id>.json,
// read in one open (one request on object storage) when the lookup by ID
// is the module's own and the store a path it knows. Returns nothing, with
// or without an exception, when it cannot be read there, so that the
// lookup by ID answers instead. A store that holds another copy of the
// result in a type directory that the lookup by ID meets first answers
// with the result at its place.
OwnedRef read_at_its_place(StorageFunction* self, PyObject* const* args,
                           PyObject* simulation_id)
{
    PyObject* simulation_type = args[find_simulation_type];
    PyObject* component_name = args[find_component_name];
    if (!PyUnicode_CheckExact(simulation_id)
        || !PyUnicode_CheckExact(simulation_type)
        || !PyUnicode_CheckExact(component_name)
        || !is_result_place(simulation_type, component_name)) {
        return {};
    }
    int own = global_is_own(self, g_process.str_load_simulation_result,
                            load_simulation_result_signature);
    if (own == 1) {
        own = global_is_own(self, g_process.str__find_simulation_file,
                            find_simulation_file_signature);
    }
    if (own <= 0) {
        return {};
    }
    OwnedRef simulations_dir = call_global(
        self, g_process.str_get_simulations_dir);
    if (!simulations_dir) {
        return {};
    }
    auto name = OwnedRef::steal(PyUnicode_FromFormat(
        "%U_%U.json", component_name, simulation_id));
    auto type_dir = OwnedRef::steal(
        name ? PyNumber_TrueDivide(simulations_dir.get(), simulation_type)
             : nullptr);
    auto file_path = OwnedRef::steal(
        type_dir ? PyNumber_TrueDivide(type_dir.get(), name.get())
                 : nullptr);
    if (!file_path) {
        return {};
    }
    // The read stands in for the store's walk too: a local store's path
    // must walk and read as pathlib does.
    int known = reads_locally(file_path.get());
    if (known > 0) {
        known = scans_locally(simulations_dir.get());
    }
    else if (known == 0) {
        known = on_object_store(file_path.get());
    }
    if (known <= 0) {
        return {};
    }
    return read_record(self, file_path.get());
}

PyObject* find_simulation_result_impl(StorageFunction* self,
                                      PyObject* const* args)
{
    // The arguments are the identity fields, in the keywords' order.
    PyObject* identity = identity_keywords();
    if (identity == nullptr) {
        return nullptr;
    }
    OwnedRef simulation_id = call_global(
        self, g_process.str__compute_simulation_id, args, 0, identity);
    if (!simulation_id) {
        return nullptr;
    }
    OwnedRef found = read_at_its_place(self, args, simulation_id.get());
    if (found) {
        return found.release();
    }
    // Only an Exception sends the lookup by ID after it; an interrupt ends
    // the call.
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return nullptr;
        }
        PyErr_Clear();
    }
    PyObject* id = simulation_id.get();
    return call_global(self, g_process.str_load_simulation_result, &id, 1)
        .release();
}

}  // namespace

OwnedRef read_record(StorageFunction* self, PyObject* file_path,
                     PyObject* fetched)
{
    OwnedRef loads = global_attr(self, g_process.str_orjson,
                                 g_process.str_loads);
    if (!loads) {
        return {};
    }
    OwnedRef content;
    if (fetched == nullptr) {
        content = read_file(file_path);
    }
    else if (PyExceptionInstance_Check(fetched)) {
        PyErr_SetRaisedException(Py_NewRef(fetched));
    }
    else {
        content = OwnedRef::borrow(fetched);
    }
    if (!content) {
        return {};
    }
    auto data = OwnedRef::steal(PyObject_CallOneArg(loads.get(),
                                                    content.get()));
    if (!data) {
        return {};
    }
    OwnedRef model_validate = global_attr(
        self, g_process.str_StoredSimulationResult,
        g_process.str_model_validate);
    if (!model_validate) {
        return {};
    }
    return OwnedRef::steal(PyObject_CallOneArg(model_validate.get(),
                                               data.get()));
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
    "result stored under it.",
    "The stored simulation result if found, None otherwise.",
    find_simulation_result_impl);

}  // namespace storage
