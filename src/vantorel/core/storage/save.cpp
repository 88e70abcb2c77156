// Saving a result: ID, path, the stored record with its metadata, its
// indented JSON bytes, and a write that never leaves a partial file.
#include "pyref.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

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

// Longest piece of the final name kept in the temporary name, so that the
// temporary name stays within the file system's limit when the final does.
constexpr int kMaxNameInTemp = 200;

// Runs without the GIL. Writes `data` to a new temporary file beside
// `target`, named ".<name>.<pid>.<n>.tmp" (never "*.json", so no lookup or
// listing sees it), and renames it over `target`. Returns 0, or the errno
// of the failure after removing the temporary file.
int write_through_temp(const char* target, size_t dir_len,
                       const char* name, char* temp, size_t temp_size,
                       const char* data, Py_ssize_t size)
{
    static std::atomic<unsigned long> counter{0};
    const int name_len = static_cast<int>(
        std::min<size_t>(std::strlen(name), kMaxNameInTemp));
    int fd = -1;
    for (int attempt = 0; fd < 0; attempt++) {
        std::snprintf(temp, temp_size, "%.*s.%.*s.%ld.%lu.tmp",
                      static_cast<int>(dir_len), target, name_len, name,
                      static_cast<long>(getpid()), counter++);
        // 0666 less the umask: the mode a plain write would create.
        fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt == 100)) {
            return errno;
        }
    }
    int error = 0;
    while (size > 0) {
        ssize_t written = write(fd, data, static_cast<size_t>(size));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = errno;
            break;
        }
        data += written;
        size -= written;
    }
    if (close(fd) != 0 && error == 0 && errno != EINTR) {
        error = errno;
    }
    if (error == 0 && rename(temp, target) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temp);
    }
    return error;
}

// Replaces the file at `file_path` (a local path) by `data` whole: an
// earlier file stays intact unless the new content is complete.
bool write_atomically(PyObject* file_path, PyObject* data)
{
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
        return false;
    }
    PyObject* raw_target = nullptr;
    if (!PyUnicode_FSConverter(file_path, &raw_target)) {
        PyBuffer_Release(&view);
        return false;
    }
    auto target_bytes = OwnedRef::steal(raw_target);
    const char* target = PyBytes_AS_STRING(raw_target);
    const char* slash = std::strrchr(target, '/');
    const size_t dir_len = slash ? static_cast<size_t>(slash - target) + 1
                                 : 0;
    const size_t temp_size =
        static_cast<size_t>(PyBytes_GET_SIZE(raw_target)) + 64;
    char* temp = static_cast<char*>(PyMem_Malloc(temp_size));
    if (temp == nullptr) {
        PyBuffer_Release(&view);
        PyErr_NoMemory();
        return false;
    }
    int error;
    Py_BEGIN_ALLOW_THREADS
    error = write_through_temp(target, dir_len, target + dir_len, temp,
                               temp_size, static_cast<const char*>(view.buf),
                               view.len);
    Py_END_ALLOW_THREADS
    PyMem_Free(temp);
    PyBuffer_Release(&view);
    if (error != 0) {
        errno = error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file_path);
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

    if (Py_IS_TYPE(file_path.get(),
                   reinterpret_cast<PyTypeObject*>(g_state.posix_path))) {
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

}  // namespace

const Signature save_simulation_result_signature = SS_SIGNATURE(
    save_simulation_result, save_simulation_result_params, 0,
    "StoredSimulationResult", save_simulation_result_doc,
    save_simulation_result_impl);

}  // namespace storage
