// The deterministic simulation ID: the first 8 bytes of the SHA-256 of the
// identity fields' canonical JSON text, as 16 lowercase hex digits. The
// text comes from the module's `json.dumps(..., sort_keys=True)` and the
// digest from its `hashlib.sha256`, both looked up at each call.
#include "identity.hpp"
#include "operations.hpp"

namespace storage {
namespace {

#define SS_COMPUTE_ID_PARAMS(X, p)                                          \
    SS_IDENTITY_PARAMS(X, p, PositionalOrKeyword, Str, "str")

enum ComputeIdArg : Py_ssize_t { SS_COMPUTE_ID_PARAMS(SS_ARG_INDEX, compute) };

const Param compute_simulation_id_params[] = {
    SS_COMPUTE_ID_PARAMS(SS_PARAM_ENTRY, compute)};

PyObject* compute_simulation_id_impl(StorageFunction* self,
                                     PyObject* const* args)
{
    // identity_data, its entries inserted in this order.
    auto identity_data = OwnedRef::steal(PyDict_New());
    if (!identity_data
        || PyDict_SetItem(identity_data.get(), g_process.str_component_name,
                          args[compute_component_name])
        || PyDict_SetItem(identity_data.get(), g_process.str_factory_name,
                          args[compute_factory_name])
        || PyDict_SetItem(identity_data.get(),
                          g_process.str_component_settings,
                          args[compute_component_settings])
        || PyDict_SetItem(identity_data.get(), g_process.str_model_parameters,
                          args[compute_model_parameters])) {
        return nullptr;
    }
    auto dumped = OwnedRef::steal(PyObject_CallMethodNoArgs(
        args[compute_hyperparameters], g_process.str_model_dump));
    if (!dumped
        || PyDict_SetItem(identity_data.get(), g_process.str_hyperparameters,
                          dumped.get())
        || PyDict_SetItem(identity_data.get(), g_process.str_simulation_type,
                          args[compute_simulation_type])) {
        return nullptr;
    }

    OwnedRef dumps = global_attr(self, g_process.str_json,
                                 g_process.str_dumps);
    if (!dumps) {
        return nullptr;
    }
    PyObject* dumps_args[] = {identity_data.get(), Py_True};
    auto identity_str = OwnedRef::steal(PyObject_Vectorcall(
        dumps.get(), dumps_args, 1, keyword_names(KeywordCall::JsonDumps)));
    if (!identity_str) {
        return nullptr;
    }

    OwnedRef sha256 = global_attr(self, g_process.str_hashlib,
                                  g_process.str_sha256);
    if (!sha256) {
        return nullptr;
    }
    auto encoded = OwnedRef::steal(
        PyObject_CallMethodNoArgs(identity_str.get(), g_process.str_encode));
    if (!encoded) {
        return nullptr;
    }
    auto hash = OwnedRef::steal(
        PyObject_CallOneArg(sha256.get(), encoded.get()));
    if (!hash) {
        return nullptr;
    }
    auto hash_bytes = OwnedRef::steal(
        PyObject_CallMethodNoArgs(hash.get(), g_process.str_digest));
    if (!hash_bytes) {
        return nullptr;
    }
    auto first8 = OwnedRef::steal(
        PyObject_GetItem(hash_bytes.get(), g_process.slice_first8));
    if (!first8) {
        return nullptr;
    }
    auto simulation_id = OwnedRef::steal(
        PyObject_CallMethodNoArgs(first8.get(), g_process.str_hex));
    if (!simulation_id) {
        return nullptr;
    }
    // Stand-ins for hashlib can return anything; the ID must be a str (or
    // None, which the functions that take an ID refuse).
    PyObject* id = simulation_id.get();
    if (id != Py_None && !PyUnicode_CheckExact(id)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                     Py_TYPE(id)->tp_name);
        return nullptr;
    }
    return simulation_id.release();
}

}  // namespace

const Signature compute_simulation_id_signature = SS_SIGNATURE(
    _compute_simulation_id, compute_simulation_id_params, "str",
    "Compute a deterministic hash-based ID for a simulation.",
    "The ID depends only on the identity fields: results, timings, status,\n"
    "dates and versions never enter it.",
    "A 16-character hexadecimal hash string.", compute_simulation_id_impl);

}  // namespace storage
