// Saving a result: ID, path, the stored record with its metadata, its
// indented JSON bytes, and a write that never leaves a partial file.
#include "local_files.hpp"

#include <cmath>

namespace storage {
namespace {

PyDoc_STRVAR(
    save_simulation_result_doc,
    "save_simulation_result(*, str component_name: str, "
    "str factory_name: str, dict component_settings: dict[str, Any], "
    "dict model_parameters: dict[str, Any], "
    "hyperparameters: SimulationHyperparameters, "
    "simulation_type: SimulationType, result: SerializedSimulationResult, "
    "list wavelengths: list[float], double execution_time_seconds: float, "
    "status: SimulationStatus = 'success', str error_message: str = '', "
    "str pdk_version: str = '') -> StoredSimulationResult\n"
    "\n"
    "Save a simulation result to file.\n"
    "\n"
    "Args:\n"
    "    component_name: Name of the component.\n"
    "    factory_name: Name of the factory.\n"
    "    component_settings: Component settings dictionary.\n"
    "    model_parameters: Model parameters dictionary.\n"
    "    hyperparameters: Simulation hyperparameters.\n"
    "    simulation_type: Type of simulation.\n"
    "    result: Serialized simulation result.\n"
    "    wavelengths: List of wavelengths used.\n"
    "    execution_time_seconds: Execution time in seconds.\n"
    "    status: Status of the simulation (\"success\" or \"error\").\n"
    "    error_message: Error message if status is \"error\".\n"
    "    pdk_version: Version of the PDK used.\n"
    "\n"
    "Returns:\n"
    "    The stored simulation result with computed ID.\n");

const Param save_simulation_result_params[] = {
    SS_PARAM(component_name, KeywordOnly, Str, Required, "str"),
    SS_PARAM(factory_name, KeywordOnly, Str, Required, "str"),
    SS_PARAM(component_settings, KeywordOnly, Dict, Required,
             "dict[str, Any]"),
    SS_PARAM(model_parameters, KeywordOnly, Dict, Required,
             "dict[str, Any]"),
    SS_PARAM(hyperparameters, KeywordOnly, Any, Required,
             "SimulationHyperparameters"),
    SS_PARAM(simulation_type, KeywordOnly, Any, Required, "SimulationType"),
    SS_PARAM(result, KeywordOnly, Any, Required,
             "SerializedSimulationResult"),
    SS_PARAM(wavelengths, KeywordOnly, List, Required, "list[float]"),
    SS_PARAM(execution_time_seconds, KeywordOnly, Float, Required, "float"),
    SS_PARAM(status, KeywordOnly, Any, Success, "SimulationStatus"),
    SS_PARAM(error_message, KeywordOnly, Str, Empty, "str"),
    SS_PARAM(pdk_version, KeywordOnly, Str, Empty, "str"),
};

// Looks for NaN or an infinity, which JSON cannot hold, in `value` and the
// dicts, lists and tuples inside it. Returns 1 with the value in `*bad` and
// its place below `value` in `where` (as "['key'][3]"), 0 when there is
// none, or -1 with an exception set.
int find_non_finite(PyObject* value, OwnedRef& where, double* bad)
{
    if (PyFloat_Check(value)) {
        *bad = PyFloat_AS_DOUBLE(value);
        if (std::isfinite(*bad)) {
            return 0;
        }
        where = OwnedRef::borrow(g_state.str_empty);
        return 1;
    }
    const bool is_dict = PyDict_Check(value);
    if (!is_dict && !PyList_Check(value) && !PyTuple_Check(value)) {
        return 0;
    }
    if (Py_EnterRecursiveCall(" while checking a result for NaN")) {
        return -1;
    }
    // Nothing below runs Python code until a value is found, so the
    // containers cannot change under the walk.
    int found = 0;
    if (is_dict) {
        Py_ssize_t pos = 0;
        PyObject *key, *item;  // borrowed from value
        while (found == 0 && PyDict_Next(value, &pos, &key, &item)) {
            found = find_non_finite(item, where, bad);
            if (found == 1) {
                auto held = OwnedRef::borrow(key);
                where = OwnedRef::steal(PyUnicode_FromFormat(
                    "[%R]%U", held.get(), where.get()));
                found = where ? 1 : -1;
            }
        }
    }
    else {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        for (Py_ssize_t i = 0; found == 0 && i < size; i++) {
            found = find_non_finite(PySequence_Fast_GET_ITEM(value, i),
                                    where, bad);
            if (found == 1) {
                where = OwnedRef::steal(PyUnicode_FromFormat(
                    "[%zd]%U", i, where.get()));
                found = where ? 1 : -1;
            }
        }
    }
    Py_LeaveRecursiveCall();
    return found;
}

// A result saved with NaN or an infinity would be written as null and
// could never be read back: such a save is refused before anything is
// written, naming the value's place.
bool check_finite(PyObject* const* args)
{
    static const size_t kChecked[] = {2, 3, 6, 7, 8};
    for (size_t index : kChecked) {
        OwnedRef where;
        double bad = 0.0;
        const int found = find_non_finite(args[index], where, &bad);
        if (found == 0) {
            continue;
        }
        if (found == 1) {
            const Param& param = save_simulation_result_params[index];
            auto value = OwnedRef::steal(PyFloat_FromDouble(bad));
            if (value) {
                PyErr_Format(PyExc_ValueError,
                             "%s%U is %R: a stored result cannot hold NaN "
                             "or infinity",
                             param.name, where.get(), value.get());
            }
        }
        return false;
    }
    return true;
}

PyObject* save_simulation_result_impl(StorageFunction* self,
                                      PyObject* const* args)
{
    PyObject* component_name = args[0];
    PyObject* simulation_type = args[5];

    // The six identity fields lead the bound arguments, in keyword order.
    OwnedRef simulation_id = call_global(
        self, g_state.str__compute_simulation_id, args, 0,
        g_state.kw_identity);
    if (!simulation_id) {
        return nullptr;
    }
    if (!check_finite(args)) {
        return nullptr;
    }
    PyObject* path_args[] = {simulation_type, component_name,
                             simulation_id.get()};
    OwnedRef file_path = call_global(
        self, g_state.str_get_simulation_file_path, path_args, 3);
    if (!file_path) {
        return nullptr;
    }

    OwnedRef record_type = lookup_global(self,
                                         g_state.str_StoredSimulationResult);
    if (!record_type) {
        return nullptr;
    }
    OwnedRef pdk_name = call_global(self, g_state.str_get_pdk_name);
    if (!pdk_name) {
        return nullptr;
    }
    OwnedRef now = global_attr(self, g_state.str_datetime, g_state.str_now);
    if (!now) {
        return nullptr;
    }
    OwnedRef utc = lookup_global(self, g_state.str_UTC);
    if (!utc) {
        return nullptr;
    }
    auto moment = OwnedRef::steal(PyObject_CallOneArg(now.get(), utc.get()));
    if (!moment) {
        return nullptr;
    }
    auto simulation_date = OwnedRef::steal(
        PyObject_CallMethodNoArgs(moment.get(), g_state.str_isoformat));
    if (!simulation_date) {
        return nullptr;
    }
    OwnedRef version = lookup_global(self, g_state.str___version__);
    if (!version) {
        return nullptr;
    }
    if (!PyUnicode_CheckExact(version.get())) {
        version = OwnedRef::steal(PyObject_Str(version.get()));
        if (!version) {
            return nullptr;
        }
    }

    // Keyword values in the order of g_state.kw_record.
    PyObject* record_args[] = {
        args[0], args[1], args[2], args[3], args[4], args[5],
        simulation_id.get(), pdk_name.get(), args[11], simulation_date.get(),
        version.get(), args[6], args[7], args[8], args[9], args[10],
    };
    auto stored = OwnedRef::steal(PyObject_Vectorcall(
        record_type.get(), record_args, 0, g_state.kw_record));
    if (!stored) {
        return nullptr;
    }

    OwnedRef dumps = global_attr(self, g_state.str_orjson, g_state.str_dumps);
    if (!dumps) {
        return nullptr;
    }
    auto dump = OwnedRef::steal(
        PyObject_CallMethodNoArgs(stored.get(), g_state.str_model_dump));
    if (!dump) {
        return nullptr;
    }
    OwnedRef indent = global_attr(self, g_state.str_orjson,
                                  g_state.str_OPT_INDENT_2);
    if (!indent) {
        return nullptr;
    }
    PyObject* dumps_args[] = {dump.get(), indent.get()};
    auto data = OwnedRef::steal(PyObject_Vectorcall(
        dumps.get(), dumps_args, 1, g_state.kw_option));
    if (!data) {
        return nullptr;
    }

    int local = writes_locally(file_path.get());
    if (local < 0) {
        return nullptr;
    }
    if (local) {
        if (!write_atomically(file_path.get(), data.get())) {
            return nullptr;
        }
    }
    else {
        auto written = OwnedRef::steal(PyObject_CallMethodOneArg(
            file_path.get(), g_state.str_write_bytes, data.get()));
        if (!written) {
            return nullptr;
        }
    }

    if (!log_message(self, g_state.str_debug, "Saved simulation result: ",
                     file_path.get())) {
        return nullptr;
    }
    return stored.release();
}


}  // namespace

const Signature save_simulation_result_signature = SS_SIGNATURE(
    save_simulation_result, save_simulation_result_params, 0,
    "StoredSimulationResult", save_simulation_result_doc,
    save_simulation_result_impl);

}  // namespace storage
