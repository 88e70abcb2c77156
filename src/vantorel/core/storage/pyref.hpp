// Shared by every source file of the extension: the owned-reference type,
// the process-wide module state with its interned names, the function type
// and its signature tables, and the helpers that reach module globals.
#ifndef VANTOREL_STORAGE_PYREF_HPP
#define VANTOREL_STORAGE_PYREF_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace storage {

// Owns one strong reference (or none) and releases it on scope exit.
class OwnedRef {
public:
    OwnedRef() noexcept = default;
    // Takes over a new reference (or nullptr, meaning an error is set).
    static OwnedRef steal(PyObject* o) noexcept { return OwnedRef(o); }
    static OwnedRef borrow(PyObject* o) noexcept
    {
        return OwnedRef(Py_XNewRef(o));
    }
    OwnedRef(const OwnedRef& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    OwnedRef(OwnedRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    OwnedRef& operator=(OwnedRef o) noexcept
    {
        std::swap(p_, o.p_);
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept
    {
        PyObject* t = p_;
        p_ = nullptr;
        return t;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit OwnedRef(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// Every name the module passes to Python: globals it looks up, attributes
// and methods it uses, parameter and keyword names.
#define SS_NAMES(X)                                                         \
    X(__call__) X(component_name) X(component_settings)                     \
    X(_compute_simulation_id) X(datetime) X(debug)                          \
    X(delete_simulation_result) X(digest) X(dumps) X(encode)                \
    X(error_message) X(execution_time_seconds) X(exist_ok) X(exists)        \
    X(factory_name) X(_find_simulation_file) X(get_pdk_name)                \
    X(get_simulation_file_path) X(get_simulations_dir) X(glob) X(hashlib)   \
    X(hex) X(hyperparameters) X(is_dir) X(isoformat) X(iterdir) X(json)     \
    X(key) X(list_simulation_results) X(load_simulation_result) X(loads)    \
    X(log) X(_matches_filters) X(mkdir) X(model_dump) X(model_parameters)   \
    X(model_validate) X(now) X(open) X(OPT_INDENT_2) X(option) X(orjson)    \
    X(parents) X(pdk_name) X(pdk_version) X(r) X(read_bytes) X(result)      \
    X(reverse) X(sha256) X(simulation_date) X(simulation_id)                \
    X(simulation_type) X(sort) X(sort_keys) X(status)                       \
    X(StoredSimulationResult) X(unlink) X(UTC) X(vantorel_version)          \
    X(__version__) X(warning) X(wavelengths) X(write_bytes)

// The module is a process-wide singleton: it loads into one interpreter,
// initialises once, and a second import hands back the same module object.
// CPython resets a module's md_state when a create slot returns an existing
// module, so the state lives here instead, for the life of the process.
struct ModuleState {
    PyObject* module;         // the one initialised module object
    PyObject* function_type;  // StorageFunction's heap type
    PyObject* pathlib_path;   // pathlib.Path, and the methods of its own
    PyObject* pathlib_open;   // that local_files.cpp may stand in for
    PyObject* pathlib_read_bytes;
    PyObject* pathlib_write_bytes;
    PyObject* builtins;       // the builtins the module was imported with
#define SS_DECLARE(n) PyObject* str_##n;
    SS_NAMES(SS_DECLARE)
#undef SS_DECLARE
    PyObject* str_success;        // "success"
    PyObject* str_empty;          // ""
    PyObject* str_json_pattern;   // "*.json"
    PyObject* str_module_name;    // "vantorel.core.simulation_storage"
    PyObject* str_lambda_name;    // "<lambda>"
    PyObject* str_lambda_qualname;
    PyObject* slice_first8;       // slice(None, 8, None)
    // Keyword-name tuples of the calls the module makes.
    PyObject* kw_sort_keys;       // json.dumps(..., sort_keys=)
    PyObject* kw_mkdir;           // mkdir(parents=, exist_ok=)
    PyObject* kw_identity;        // _compute_simulation_id(**6)
    PyObject* kw_record;          // StoredSimulationResult(**16)
    PyObject* kw_option;          // orjson.dumps(..., option=)
    PyObject* kw_sort;            // list.sort(key=, reverse=)
    PyObject* kw_clear;           // list_simulation_results(**4)
};

extern ModuleState g_state;

// ---- The function type --------------------------------------------------

struct StorageFunction;

using FunctionImpl = PyObject* (*)(StorageFunction* self,
                                   PyObject* const* args);

enum class ParamKind : unsigned char { PositionalOrKeyword, KeywordOnly };

// What the binder demands of an argument, after binding.
enum class TypeCheck : unsigned char {
    Any,        // anything, None included
    Str,        // exactly str
    StrOrNone,  // exactly str, or None
    Dict,       // exactly dict
    List,       // exactly list
    Float,      // converted to a double before the type tests
};

enum class DefaultValue : unsigned char { Required, None, Success, Empty };

struct Param {
    const char* name;
    PyObject* ModuleState::*interned;
    ParamKind kind;
    TypeCheck check;
    DefaultValue default_value;
    const char* annotation;
};

constexpr Py_ssize_t kMaxParams = 12;

struct Signature {
    const char* name;        // __name__ and __qualname__
    const char* error_name;  // the name binding errors report
    const Param* params;
    Py_ssize_t nparams;
    Py_ssize_t npositional;  // leading positional-or-keyword parameters
    const char* return_annotation;  // nullptr: no return annotation
    const char* doc;                // nullptr: no docstring
    FunctionImpl impl;
};

// Plain C layout, like PyFunctionObject.
struct StorageFunction {
    PyObject_HEAD
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* kwdefaults;
    PyObject* globals;  // the module __dict__, looked up at each use
    PyObject* dict;
    PyObject* weakreflist;
    const Signature* sig;
    vectorcallfunc vectorcall;
};

#define SS_PARAM(n, kind, check, dflt, annotation)                          \
    Param{#n, &ModuleState::str_##n, ParamKind::kind, TypeCheck::check,     \
          DefaultValue::dflt, annotation}

// The binder's argument array holds kMaxParams values.
template <std::size_t N>
constexpr Py_ssize_t param_count(const Param (&)[N])
{
    static_assert(N <= kMaxParams, "raise kMaxParams");
    return static_cast<Py_ssize_t>(N);
}

#define SS_SIGNATURE(fname, params, npositional, ret, doc, impl)            \
    Signature{#fname, #fname, params, param_count(params), npositional,     \
              ret, doc, impl}

// function.cpp
PyObject* create_function_type(PyObject* module);
// Returns a new function object, or nullptr with an exception set.
PyObject* new_function(const Signature& sig, PyObject* name,
                       PyObject* qualname, PyObject* globals);

// binder.cpp: the value a parameter takes when the call omits it (borrowed),
// or nullptr when it is required.
PyObject* default_object(DefaultValue d);
// Fills `bound` with borrowed references; a value the binder makes (a
// converted float) is owned by the slot of its parameter in `converted`.
// Both arrays hold kMaxParams entries. Returns false with TypeError set on
// a bad call.
bool bind_arguments(const Signature& sig, PyObject* const* args,
                    size_t nargsf, PyObject* kwnames, PyObject** bound,
                    OwnedRef* converted);

// module.cpp: the module global `name` of `self`, then the builtin; raises
// NameError when neither exists.
OwnedRef lookup_global(StorageFunction* self, PyObject* name);
// Vectorcalls the global `name` (no arguments by default).
OwnedRef call_global(StorageFunction* self, PyObject* name,
                     PyObject* const* args = nullptr, size_t nargs = 0,
                     PyObject* kwnames = nullptr);
// The attribute `attr` of the global `name`.
OwnedRef global_attr(StorageFunction* self, PyObject* name, PyObject* attr);
// log().<level>(prefix + format(value, "") + suffix), the logger fetched
// anew for the line; returns false with an exception set on failure.
bool log_message(StorageFunction* self, PyObject* level, const char* prefix,
                 PyObject* value, const char* suffix = "");
// 1 when the global `name` of `self` is the module's own function of
// signature `sig` (not rebound by a caller), 0 otherwise, -1 on error.
int global_is_own(StorageFunction* self, PyObject* name,
                  const Signature& sig);
// Calls method `name` of `obj` with no arguments and takes its truth value:
// 1, 0, or -1 with an exception set.
int call_truth(PyObject* obj, PyObject* name);

// load.cpp: reads `file_path` and validates its JSON into a stored record.
OwnedRef read_record(StorageFunction* self, PyObject* file_path);

// listing.cpp: the records that list_simulation_results returns for its
// five `filters`; with `paths` (a dict), also maps each record's address
// to the file it was read from.
OwnedRef list_results(StorageFunction* self, PyObject* const* filters,
                      PyObject* paths);

// paths.cpp: raises ValueError unless `simulation_type` names one
// directory right below the simulations directory; a filter may also name
// the simulations directory itself ("" or ".").
enum class TypeUse : unsigned char { Save, Filter };
bool check_simulation_type(PyObject* simulation_type, TypeUse use);
// `simulation_id` as a literal glob pattern "*_<id>.json", or
// None when no file name can hold it.
OwnedRef id_glob_pattern(PyObject* simulation_id);

// The signatures, in the order the module binds them.
extern const Signature compute_simulation_id_signature;
extern const Signature get_simulation_file_path_signature;
extern const Signature find_simulation_file_signature;
extern const Signature save_simulation_result_signature;
extern const Signature load_simulation_result_signature;
extern const Signature find_simulation_result_signature;
extern const Signature matches_filters_signature;
extern const Signature list_simulation_results_signature;
extern const Signature delete_simulation_result_signature;
extern const Signature clear_simulation_results_signature;
extern const Signature sort_key_signature;

}  // namespace storage

#endif  // VANTOREL_STORAGE_PYREF_HPP
