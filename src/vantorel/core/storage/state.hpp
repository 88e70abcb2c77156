// The process-wide state: the module object, the types and methods looked
// up once at import, and every name the module passes to Python, interned.
#ifndef VANTOREL_STORAGE_STATE_HPP
#define VANTOREL_STORAGE_STATE_HPP

#include "owned_ref.hpp"

namespace storage {

// Every name the module passes to Python: globals it looks up, attributes
// and methods it uses, parameter and keyword names.
#define SS_NAMES(X)                                                         \
    X(__call__) X(__getitem__) X(add_note) X(append) X(component_name)      \
    X(component_settings) X(_compute_simulation_id) X(datetime) X(debug)    \
    X(delete_simulation_result) X(digest) X(dumps) X(encode)                \
    X(error_message) X(execution_time_seconds) X(exist_ok) X(exists)        \
    X(factory_name) X(find_first) X(_find_simulation_file) X(get_pdk_name)  \
    X(get_simulation_file_path) X(get_simulations_dir) X(glob) X(hashlib)   \
    X(hex) X(hyperparameters) X(is_dir) X(isoformat) X(iterdir) X(join)     \
    X(json) X(key) X(list_simulation_results) X(load_simulation_result)     \
    X(loads) X(log) X(_matches_filters) X(mkdir) X(model_dump) X(name)      \
    X(model_parameters) X(model_validate) X(now) X(OPT_INDENT_2) X(option)  \
    X(orjson) X(parent) X(parents) X(pdk_name) X(pdk_version) X(r) X(read)  \
    X(read_bytes) X(read_each) X(read_located) X(remove) X(remove_listed)   \
    X(result) X(result_files) X(reverse) X(sha256) X(simulation_date)       \
    X(simulation_id) X(simulation_type) X(sort) X(sort_keys) X(stat)        \
    X(status) X(store_for) X(StoredSimulationResult) X(unlink) X(upath)     \
    X(UTC) X(vantorel_version) X(__version__) X(warning) X(wavelengths)     \
    X(write) X(write_bytes)

// The methods of pathlib.Path whose work the module may do itself, with
// system calls, for a path whose class has not replaced them.
#define SS_PATHLIB_METHODS(X)                                               \
    X(read_bytes) X(write_bytes) X(exists) X(is_dir) X(stat) X(iterdir)     \
    X(glob) X(unlink)

enum class PathlibMethod : unsigned char {
#define SS_ENUM(n) n,
    SS_PATHLIB_METHODS(SS_ENUM)
#undef SS_ENUM
};

#define SS_COUNT(n) +1
constexpr size_t kPathlibMethodCount = 0 SS_PATHLIB_METHODS(SS_COUNT);
#undef SS_COUNT

// The calls the module makes with keyword arguments; the tuple of each
// one's keyword names is made at import from one table (keywords.cpp).
enum class KeywordCall : unsigned char {
    ComputeId,     // _compute_simulation_id(**identity)
    JsonDumps,     // json.dumps(..., sort_keys=)
    Mkdir,         // mkdir(parents=, exist_ok=)
    Record,        // StoredSimulationResult(**fields)
    OrjsonDumps,   // orjson.dumps(..., option=)
    Sort,          // list.sort(key=, reverse=)
    ClearListing,  // list_simulation_results(**four filters)
    Count
};

// The module is a process-wide singleton: it loads into one interpreter,
// initialises once, and a second import hands back the same module object.
// CPython resets a module's md_state when a create slot returns an existing
// module, so the state lives here, for the life of the process.
struct ProcessState {
    PyObject* module;         // the one initialised module object
    PyObject* function_type;  // StorageFunction's heap type
    PyObject* builtins;       // the builtins the module was imported with
    PyObject* pathlib_path;   // pathlib.Path
    PyObject* pathlib_methods[kPathlibMethodCount];  // as pathlib has them
#define SS_DECLARE(n) PyObject* str_##n;
    SS_NAMES(SS_DECLARE)
#undef SS_DECLARE
    PyObject* str_success;              // "success"
    PyObject* str_empty;                // ""
    PyObject* str_json_pattern;         // "*.json"
    PyObject* str_object_store_module;  // "vantorel.core.object_store"
    PyObject* str_version_query;        // "?versionId=", an S3 version query
    PyObject* str_module_name;          // "vantorel.core.simulation_storage"
    PyObject* str_lambda_name;          // "<lambda>"
    PyObject* str_lambda_qualname;
    PyObject* slice_first8;  // slice(None, 8, None)
    PyObject* keyword_tuples[static_cast<size_t>(KeywordCall::Count)];
};

extern ProcessState g_process;

// Interns the names and builds the constants; those made by a failed
// import are kept for the next attempt. Returns false with an exception set.
bool init_process_names();

// keywords.cpp: makes the keyword-name tuples of every KeywordCall, once.
// Returns false with an exception set.
bool init_keyword_names();

// The tuple of keyword names of `call` (borrowed, made at import).
inline PyObject* keyword_names(KeywordCall call)
{
    return g_process.keyword_tuples[static_cast<size_t>(call)];
}

// Forgets everything, once the runtime is finalized and every object gone:
// an embedding application that initialises Python again imports afresh.
void forget_process_state();

}  // namespace storage

#endif  // VANTOREL_STORAGE_STATE_HPP
