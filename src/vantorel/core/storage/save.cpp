// Saving a result: ID, path, the stored record with its metadata, its
// indented JSON bytes, and a write that never leaves a partial file.
#include "identity.hpp"
#include "operations.hpp"

#include <cmath>

namespace storage {
namespace {

#define SS_SAVE_PARAMS(X, p)                                                \
    SS_IDENTITY_PARAMS(X, p, KeywordOnly, Any, "SimulationType")            \
    X(p, result, KeywordOnly, Any, Required, "SerializedSimulationResult",  \
      "Serialized simulation result.")                                      \
    X(p, wavelengths, KeywordOnly, List, Required, "list[float]",           \
      "List of wavelengths used.")                                          \
    X(p, execution_time_seconds, KeywordOnly, Float, Required, "float",     \
      "Execution time in seconds.")                                         \
    X(p, status, KeywordOnly, Any, Success, "SimulationStatus",             \
      "Status of the simulation (\"success\" or \"error\").")               \
    X(p, error_message, KeywordOnly, Str, Empty, "str",                     \
      "Error message if status is \"error\".")                              \
    X(p, pdk_version, KeywordOnly, Str, Empty, "str",                       \
      "Version of the PDK used.")

enum SaveArg : Py_ssize_t { SS_SAVE_PARAMS(SS_ARG_INDEX, save) };

const Param save_simulation_result_params[] = {
    SS_SAVE_PARAMS(SS_PARAM_ENTRY, save)};

// The metadata a save adds to its arguments.
struct Metadata {
    PyObject* simulation_id;
    PyObject* pdk_name;
    PyObject* simulation_date;
    PyObject* vantorel_version;
};

OwnedRef build_record(PyObject* record_type, PyObject* const* args,
                      const Metadata& metadata)
{
#define SS_FIELD_VALUE(name, value) value,
    PyObject* values[] = {SS_RECORD_FIELDS(SS_FIELD_VALUE)};
#undef SS_FIELD_VALUE
    return OwnedRef::steal(PyObject_Vectorcall(
        record_type, values, 0, keyword_names(KeywordCall::Record)));
}

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
        where = OwnedRef::borrow(g_process.str_empty);
        return 1;
    }
    const bool is_dict = PyDict_Check(value);
    if (!is_dict && !PyList_Check(value) && !PyTuple_Check(value)) {
        return 0;
    }
    if (Py_EnterRecursiveCall(" while checking a result for NaN")) {
        return -1;
    }
    // Nothing runs Python code until a value is found, so the containers
    // cannot change under the walk; the places are then written with %R,
    // which may: what they are written from is held first.
    int found = 0;
    if (is_dict) {
        Py_ssize_t pos = 0;
        PyObject *key, *item;  // borrowed from value
        while (found == 0 && PyDict_Next(value, &pos, &key, &item)) {
            auto held_key = OwnedRef::borrow(key);
            auto held_item = OwnedRef::borrow(item);
            found = find_non_finite(held_item.get(), where, bad);
            if (found == 1) {
                where = OwnedRef::steal(PyUnicode_FromFormat(
                    "[%R]%U", held_key.get(), where.get()));
                found = where ? 1 : -1;
            }
        }
    }
    else {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        for (Py_ssize_t i = 0; found == 0 && i < size; i++) {
            auto held_item = OwnedRef::borrow(
                PySequence_Fast_GET_ITEM(value, i));
            found = find_non_finite(held_item.get(), where, bad);
            if (found == 1) {
                where = OwnedRef::steal(
                    PyUnicode_FromFormat("[%zd]%U", i, where.get()));
                found = where ? 1 : -1;
            }
        }
    }
    Py_LeaveRecursiveCall();
    return found;
}

// Raises ValueError naming the place of NaN or an infinity in `value`,
// the argument `name`. Returns false with an exception set.
bool check_finite_value(const char* name, PyObject* value)
{
    OwnedRef where;
    double bad = 0.0;
    const int found = find_non_finite(value, where, &bad);
    if (found == 1) {
        auto number = OwnedRef::steal(PyFloat_FromDouble(bad));
        if (number) {
            PyErr_Format(PyExc_ValueError,
                         "%s%U is %R: a stored result cannot hold NaN or "
                         "infinity",
                         name, where.get(), number.get());
        }
    }
    return found == 0;
}

// A result saved with NaN or an infinity would be written as null and
// could never be read back: such a save is refused before anything is
// written, naming the value's place. The hyperparameters are checked as
// they will be stored (their dump): a record does not validate assignments
// made after it was built.
bool check_finite(PyObject* const* args)
{
    static const SaveArg kChecked[] = {
        save_component_settings, save_model_parameters, save_result,
        save_wavelengths, save_execution_time_seconds};
    for (SaveArg arg : kChecked) {
        if (!check_finite_value(save_simulation_result_params[arg].name,
                                args[arg])) {
            return false;
        }
    }
    PyObject* hyperparameters = args[save_hyperparameters];
    PyObject* dump_method = nullptr;
    const int has_dump = PyObject_GetOptionalAttr(
        hyperparameters, g_process.str_model_dump, &dump_method);
    if (has_dump < 0) {
        return false;
    }
    if (dump_method == nullptr) {
        return check_finite_value("hyperparameters", hyperparameters);
    }
    auto method = OwnedRef::steal(dump_method);
    auto dumped = OwnedRef::steal(PyObject_CallNoArgs(method.get()));
    return dumped && check_finite_value("hyperparameters", dumped.get());
}

// datetime.now(UTC).isoformat(), from the module's globals.
OwnedRef now_in_utc(StorageFunction* self)
{
    OwnedRef now = global_attr(self, g_process.str_datetime,
                               g_process.str_now);
    if (!now) {
        return {};
    }
    OwnedRef utc = lookup_global(self, g_process.str_UTC);
    if (!utc) {
        return {};
    }
    auto moment = OwnedRef::steal(PyObject_CallOneArg(now.get(), utc.get()));
    if (!moment) {
        return {};
    }
    return OwnedRef::steal(
        PyObject_CallMethodNoArgs(moment.get(), g_process.str_isoformat));
}

// The package version as text: str(__version__) unless already a str.
OwnedRef version_text(StorageFunction* self)
{
    OwnedRef version = lookup_global(self, g_process.str___version__);
    if (!version || PyUnicode_CheckExact(version.get())) {
        return version;
    }
    return OwnedRef::steal(PyObject_Str(version.get()));
}

// orjson.dumps(record.model_dump(), option=orjson.OPT_INDENT_2)
OwnedRef encode_record(StorageFunction* self, PyObject* record)
{
    OwnedRef dumps = global_attr(self, g_process.str_orjson,
                                 g_process.str_dumps);
    if (!dumps) {
        return {};
    }
    auto dump = OwnedRef::steal(
        PyObject_CallMethodNoArgs(record, g_process.str_model_dump));
    if (!dump) {
        return {};
    }
    OwnedRef indent = global_attr(self, g_process.str_orjson,
                                  g_process.str_OPT_INDENT_2);
    if (!indent) {
        return {};
    }
    PyObject* dumps_args[] = {dump.get(), indent.get()};
    return OwnedRef::steal(PyObject_Vectorcall(
        dumps.get(), dumps_args, 1, keyword_names(KeywordCall::OrjsonDumps)));
}

PyObject* save_simulation_result_impl(StorageFunction* self,
                                      PyObject* const* args)
{
    // The identity fields lead the arguments, in the keywords' order.
    OwnedRef simulation_id = call_global(
        self, g_process.str__compute_simulation_id, args, 0,
        keyword_names(KeywordCall::ComputeId));
    if (!simulation_id || !check_finite(args)) {
        return nullptr;
    }
    PyObject* path_args[] = {args[save_simulation_type],
                             args[save_component_name], simulation_id.get()};
    OwnedRef file_path = call_global(
        self, g_process.str_get_simulation_file_path, path_args, 3);
    Access access;
    if (!file_path || !choose_access(file_path.get(), &access)) {
        return nullptr;
    }

    OwnedRef record_type = lookup_global(self,
                                         g_process.str_StoredSimulationResult);
    if (!record_type) {
        return nullptr;
    }
    OwnedRef pdk_name = call_global(self, g_process.str_get_pdk_name);
    if (!pdk_name) {
        return nullptr;
    }
    OwnedRef simulation_date = now_in_utc(self);
    if (!simulation_date) {
        return nullptr;
    }
    OwnedRef version = version_text(self);
    if (!version) {
        return nullptr;
    }
    const Metadata metadata = {simulation_id.get(), pdk_name.get(),
                               simulation_date.get(), version.get()};
    OwnedRef stored = build_record(record_type.get(), args, metadata);
    if (!stored) {
        return nullptr;
    }

    OwnedRef data = encode_record(self, stored.get());
    if (!data || !write_file(access, file_path.get(), data.get())
        || !log_message(self, g_process.str_debug,
                        "Saved simulation result: ", file_path.get())) {
        return nullptr;
    }
    return stored.release();
}

}  // namespace

const Signature save_simulation_result_signature = SS_SIGNATURE(
    save_simulation_result, save_simulation_result_params,
    "StoredSimulationResult", "Save a simulation result to file.", nullptr,
    "The stored simulation result with computed ID.",
    save_simulation_result_impl);

}  // namespace storage
