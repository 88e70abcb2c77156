// Reading one result back: by its ID, or by the identity fields it was
// saved with. Loading is strict: a damaged file raises.
#include "identity.hpp"
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

const Param load_simulation_result_params[] = {
    SS_LOAD_PARAMS(SS_PARAM_ENTRY, load)};
const Param find_simulation_result_params[] = {
    SS_FIND_PARAMS(SS_PARAM_ENTRY, find)};

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
    int exists = call_truth(file_path.get(), g_process.str_exists);
    if (exists < 0) {
        return nullptr;
    }
    if (exists == 0) {
        if (!log_message(self, g_process.str_warning,
                         "Simulation file not found: ", file_path.get())) {
            return nullptr;
        }
        Py_RETURN_NONE;
    }
    return read_record(self, file_path.get()).release();
}

PyObject* find_simulation_result_impl(StorageFunction* self,
                                      PyObject* const* args)
{
    // The arguments are the identity fields, in the keywords' order.
    OwnedRef identity = identity_keywords();
    if (!identity) {
        return nullptr;
    }
    OwnedRef simulation_id = call_global(
        self, g_process.str__compute_simulation_id, args, 0, identity.get());
    if (!simulation_id) {
        return nullptr;
    }
    PyObject* id = simulation_id.get();
    return call_global(self, g_process.str_load_simulation_result, &id, 1)
        .release();
}

}  // namespace

OwnedRef read_record(StorageFunction* self, PyObject* file_path)
{
    OwnedRef loads = global_attr(self, g_process.str_orjson,
                                 g_process.str_loads);
    if (!loads) {
        return {};
    }
    OwnedRef content = read_file(file_path);
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
