// Reading one result back: by its ID, or by the identity fields it was
// saved with. Loading is strict: a damaged file raises.
#include "local_files.hpp"

namespace storage {
namespace {

PyDoc_STRVAR(
    load_simulation_result_doc,
    "load_simulation_result(str simulation_id: str) "
    "-> StoredSimulationResult | None\n"
    "\n"
    "Load a simulation result by its ID.\n"
    "\n"
    "Args:\n"
    "    simulation_id: The unique simulation ID.\n"
    "\n"
    "Returns:\n"
    "    The stored simulation result if found, None otherwise.\n");

PyDoc_STRVAR(
    find_simulation_result_doc,
    "find_simulation_result(*, str component_name: str, "
    "str factory_name: str, dict component_settings: dict[str, Any], "
    "dict model_parameters: dict[str, Any], "
    "hyperparameters: SimulationHyperparameters, "
    "simulation_type: SimulationType) -> StoredSimulationResult | None\n"
    "\n"
    "Find a cached simulation result by its identity fields.\n"
    "\n"
    "Computes the simulation ID from the identity fields and loads the\n"
    "result stored under it.\n"
    "\n"
    "Args:\n"
    "    component_name: Name of the component.\n"
    "    factory_name: Name of the factory.\n"
    "    component_settings: Component settings dictionary.\n"
    "    model_parameters: Model parameters dictionary.\n"
    "    hyperparameters: Simulation hyperparameters.\n"
    "    simulation_type: Type of simulation.\n"
    "\n"
    "Returns:\n"
    "    The stored simulation result if found, None otherwise.\n");

PyObject* load_simulation_result_impl(StorageFunction* self,
                                      PyObject* const* args)
{
    OwnedRef file_path = call_global(self, g_state.str__find_simulation_file,
                                     args, 1);
    if (!file_path) {
        return nullptr;
    }
    if (file_path.get() == Py_None) {
        return file_path.release();
    }
    int exists = call_truth(file_path.get(), g_state.str_exists);
    if (exists < 0) {
        return nullptr;
    }
    if (exists == 0) {
        if (!log_message(self, g_state.str_warning,
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
    OwnedRef simulation_id = call_global(
        self, g_state.str__compute_simulation_id, args, 0,
        g_state.kw_identity);
    if (!simulation_id) {
        return nullptr;
    }
    PyObject* id = simulation_id.get();
    return call_global(self, g_state.str_load_simulation_result, &id, 1)
        .release();
}

const Param load_simulation_result_params[] = {
    SS_PARAM(simulation_id, PositionalOrKeyword, Str, Required, "str"),
};

const Param find_simulation_result_params[] = {
    SS_PARAM(component_name, KeywordOnly, Str, Required, "str"),
    SS_PARAM(factory_name, KeywordOnly, Str, Required, "str"),
    SS_PARAM(component_settings, KeywordOnly, Dict, Required,
             "dict[str, Any]"),
    SS_PARAM(model_parameters, KeywordOnly, Dict, Required,
             "dict[str, Any]"),
    SS_PARAM(hyperparameters, KeywordOnly, Any, Required,
             "SimulationHyperparameters"),
    SS_PARAM(simulation_type, KeywordOnly, Any, Required, "SimulationType"),
};

}  // namespace

OwnedRef read_record(StorageFunction* self, PyObject* file_path)
{
    OwnedRef loads = global_attr(self, g_state.str_orjson, g_state.str_loads);
    if (!loads) {
        return {};
    }
    int local = reads_locally(file_path);
    if (local < 0) {
        return {};
    }
    OwnedRef content =
        local ? read_regular_file(file_path)
              : OwnedRef::steal(PyObject_CallMethodNoArgs(
                  file_path, g_state.str_read_bytes));
    if (!content) {
        return {};
    }
    auto data = OwnedRef::steal(PyObject_CallOneArg(loads.get(),
                                                    content.get()));
    if (!data) {
        return {};
    }
    OwnedRef model_validate = global_attr(
        self, g_state.str_StoredSimulationResult, g_state.str_model_validate);
    if (!model_validate) {
        return {};
    }
    return OwnedRef::steal(PyObject_CallOneArg(model_validate.get(),
                                               data.get()));
}

const Signature load_simulation_result_signature = SS_SIGNATURE(
    load_simulation_result, load_simulation_result_params, 1,
    "StoredSimulationResult | None", load_simulation_result_doc,
    load_simulation_result_impl);

const Signature find_simulation_result_signature = SS_SIGNATURE(
    find_simulation_result, find_simulation_result_params, 0,
    "StoredSimulationResult | None", find_simulation_result_doc,
    find_simulation_result_impl);

}  // namespace storage
