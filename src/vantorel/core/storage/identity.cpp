// The deterministic simulation ID: the first 8 bytes of the SHA-256 of the
// identity fields' canonical JSON text, as 16 lowercase hex digits. The
// text comes from the module's `json.dumps(..., sort_keys=True)` and the
// digest from its `hashlib.sha256`, both looked up at each call.
#include "pyref.hpp"

namespace storage {
namespace {

PyDoc_STRVAR(
    compute_simulation_id_doc,
    "_compute_simulation_id(str component_name: str, str factory_name: str, "
    "dict component_settings: dict[str, Any], dict model_parameters: "
    "dict[str, Any], hyperparameters: SimulationHyperparameters, "
    "str simulation_type: str) -> str\n"
    "\n"
    "Compute a deterministic hash-based ID for a simulation.\n"
    "\n"
    "The ID depends only on the identity fields: results, timings, status,\n"
    "dates and versions never enter it.\n"
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
    "    A 16-character hexadecimal hash string.\n");

PyObject* compute_simulation_id_impl(StorageFunction* self,
                                     PyObject* const* args)
{
    PyObject* hyperparameters = args[4];
    auto identity_data = OwnedRef::steal(PyDict_New());
    if (!identity_data
        || PyDict_SetItem(identity_data.get(), g_state.str_component_name,
                          args[0])
        || PyDict_SetItem(identity_data.get(), g_state.str_factory_name,
                          args[1])
        || PyDict_SetItem(identity_data.get(),
                          g_state.str_component_settings, args[2])
        || PyDict_SetItem(identity_data.get(), g_state.str_model_parameters,
                          args[3])) {
        return nullptr;
    }
    auto dumped = OwnedRef::steal(
        PyObject_CallMethodNoArgs(hyperparameters, g_state.str_model_dump));
    if (!dumped
        || PyDict_SetItem(identity_data.get(), g_state.str_hyperparameters,
                          dumped.get())
        || PyDict_SetItem(identity_data.get(), g_state.str_simulation_type,
                          args[5])) {
        return nullptr;
    }

    OwnedRef dumps = global_attr(self, g_state.str_json, g_state.str_dumps);
    if (!dumps) {
        return nullptr;
    }
    PyObject* dumps_args[] = {identity_data.get(), Py_True};
    auto identity_str = OwnedRef::steal(PyObject_Vectorcall(
        dumps.get(), dumps_args, 1, g_state.kw_sort_keys));
    if (!identity_str) {
        return nullptr;
    }

    OwnedRef sha256 = global_attr(self, g_state.str_hashlib,
                                  g_state.str_sha256);
    if (!sha256) {
        return nullptr;
    }
    auto encoded = OwnedRef::steal(
        PyObject_CallMethodNoArgs(identity_str.get(), g_state.str_encode));
    if (!encoded) {
        return nullptr;
    }
    auto hash = OwnedRef::steal(PyObject_CallOneArg(sha256.get(),
                                                    encoded.get()));
    if (!hash) {
        return nullptr;
    }
    auto hash_bytes = OwnedRef::steal(
        PyObject_CallMethodNoArgs(hash.get(), g_state.str_digest));
    if (!hash_bytes) {
        return nullptr;
    }
    auto first8 = OwnedRef::steal(
        PyObject_GetItem(hash_bytes.get(), g_state.slice_first8));
    if (!first8) {
        return nullptr;
    }
    auto simulation_id = OwnedRef::steal(
        PyObject_CallMethodNoArgs(first8.get(), g_state.str_hex));
    if (!simulation_id) {
        return nullptr;
    }
    // Stand-ins for hashlib can return anything; the ID must be a str.
    PyObject* id = simulation_id.get();
    if (id != Py_None && !PyUnicode_CheckExact(id)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                     Py_TYPE(id)->tp_name);
        return nullptr;
    }
    return simulation_id.release();
}

const Param compute_simulation_id_params[] = {
    SS_PARAM(component_name, PositionalOrKeyword, Str, Required, "str"),
    SS_PARAM(factory_name, PositionalOrKeyword, Str, Required, "str"),
    SS_PARAM(component_settings, PositionalOrKeyword, Dict, Required,
             "dict[str, Any]"),
    SS_PARAM(model_parameters, PositionalOrKeyword, Dict, Required,
             "dict[str, Any]"),
    SS_PARAM(hyperparameters, PositionalOrKeyword, Any, Required,
             "SimulationHyperparameters"),
    SS_PARAM(simulation_type, PositionalOrKeyword, Str, Required, "str"),
};

}  // namespace

const Signature compute_simulation_id_signature = SS_SIGNATURE(
    _compute_simulation_id, compute_simulation_id_params, 6, "str",
    compute_simulation_id_doc, compute_simulation_id_impl);

}  // namespace storage
