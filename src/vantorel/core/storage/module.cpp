// Module set-up: the one-interpreter and one-initialisation guards, and
// the import sequence that binds the module's names in order.
#include "operations.hpp"

#include <initializer_list>

namespace storage {
namespace {

// ID of the first interpreter to load us (IDs are never reused), guarded
// by a lock: interpreters with GILs of their own may import at once.
int64_t g_interpreter_id = -1;
PyMutex g_interpreter_lock;

// When the create slot hands back the initialised module, CPython drops the
// module's (empty) state block and allocates a new one before exec: the
// dropped block is kept here and freed by exec.
void* g_dropped_state = nullptr;

PyDoc_STRVAR(module_doc,
             "Simulation results storage API.\n"
             "\n"
             "This module provides functions for storing, retrieving, and "
             "managing\n"
             "simulation results with full reproducibility metadata.\n");

// Runs after the runtime is finalized, when every object is gone: an
// embedding application that initialises Python again imports afresh.
void forget_runtime()
{
    forget_process_state();
    g_interpreter_id = -1;
    g_dropped_state = nullptr;
}

bool check_interpreter()
{
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    PyMutex_Lock(&g_interpreter_lock);
    const bool first = g_interpreter_id < 0;
    if (first) {
        g_interpreter_id = current;
    }
    const bool allowed = g_interpreter_id == current;
    PyMutex_Unlock(&g_interpreter_lock);
    if (first && Py_AtExit(forget_runtime) < 0) {
        PyErr_SetString(PyExc_ImportError, "too many exit functions");
        return false;
    }
    if (!allowed) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only "
                        "be loaded into one interpreter per process.");
        return false;
    }
    return true;
}

// `import <module>` or `from <module> import <names>`, through the
// builtins' __import__ as the import statement goes. Binds the module (or
// each name) in `globals`; `source`, when given, receives the module.
bool import_into(PyObject* globals, const char* module,
                 std::initializer_list<const char*> names,
                 OwnedRef* source = nullptr)
{
    PyObject* import_func = nullptr;
    const int found = PyMapping_GetOptionalItemString(
        g_process.builtins, "__import__", &import_func);
    if (found <= 0) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ImportError, "__import__ not found");
        }
        return false;
    }
    auto import_ref = OwnedRef::steal(import_func);
    auto module_name = OwnedRef::steal(PyUnicode_FromString(module));
    auto fromlist = OwnedRef::steal(
        PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!module_name || !fromlist) {
        return false;
    }
    Py_ssize_t i = 0;
    for (const char* name : names) {
        PyObject* text = PyUnicode_InternFromString(name);
        if (text == nullptr) {
            return false;
        }
        PyTuple_SET_ITEM(fromlist.get(), i++, text);  // steals text
    }
    auto imported = OwnedRef::steal(PyObject_CallFunction(
        import_ref.get(), "OOOOi", module_name.get(), globals, Py_None,
        names.size() ? fromlist.get() : Py_None, 0));
    if (!imported) {
        return false;
    }
    if (source != nullptr) {
        *source = imported;
    }
    if (names.size() == 0) {
        return PyDict_SetItem(globals, module_name.get(), imported.get()) == 0;
    }
    for (i = 0; i < PyTuple_GET_SIZE(fromlist.get()); i++) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), i);
        PyObject* value = nullptr;
        if (PyObject_GetOptionalAttr(imported.get(), name, &value) < 0) {
            return false;
        }
        if (value == nullptr) {
            PyErr_Format(PyExc_ImportError, "cannot import name %R from %R",
                         name, module_name.get());
            return false;
        }
        auto owned = OwnedRef::steal(value);
        if (PyDict_SetItem(globals, name, value)) {
            return false;
        }
    }
    return true;
}

// `<name> = lazy_import(<module>[, <attribute>])`.
bool bind_lazy(PyObject* globals, PyObject* lazy_import, const char* name,
               const char* module, const char* attribute)
{
    auto bound = OwnedRef::steal(
        attribute ? PyObject_CallFunction(lazy_import, "ss", module, attribute)
                  : PyObject_CallFunction(lazy_import, "s", module));
    return bound && PyDict_SetItemString(globals, name, bound.get()) == 0;
}

// clang-format off: one function a line, in the order they are bound.
const Signature* const kModuleFunctions[] = {
    &compute_simulation_id_signature,
    &get_simulation_file_path_signature,
    &find_simulation_file_signature,
    &save_simulation_result_signature,
    &load_simulation_result_signature,
    &find_simulation_result_signature,
    &matches_filters_signature,
    &list_simulation_results_signature,
    &delete_simulation_result_signature,
    &clear_simulation_results_signature,
};
// clang-format on

// Binds the module's names in order: the standard library, the records,
// the deferred collaborators, then the functions.
bool run_import_sequence(PyObject* module)
{
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    OwnedRef pathlib;
    if (!import_into(globals, "hashlib", {})
        || !import_into(globals, "json", {})
        || !import_into(globals, "datetime", {"UTC", "datetime"})
        || !import_into(globals, "pathlib", {"Path"}, &pathlib)
        || !import_into(globals, "typing", {"TYPE_CHECKING", "Any"})
        || !import_into(globals, "vantorel.models",
                        {"SimulationHyperparameters", "SimulationStatus",
                         "StoredSimulationResult"})
        || !import_into(globals, "vantorel.core.lazy", {"lazy_import"})) {
        return false;
    }
    PyObject* lazy_import = nullptr;
    if (PyDict_GetItemStringRef(globals, "lazy_import", &lazy_import) <= 0) {
        return false;
    }
    auto lazy_ref = OwnedRef::steal(lazy_import);
    if (!bind_lazy(globals, lazy_import, "orjson", "orjson", nullptr)
        || !bind_lazy(globals, lazy_import, "__version__", "vantorel",
                      "__version__")
        || !bind_lazy(globals, lazy_import, "log", "vantorel.logger",
                      "get_logger")
        || !bind_lazy(globals, lazy_import, "get_build_dir",
                      "vantorel.settings", "get_build_dir")
        || !bind_lazy(globals, lazy_import, "get_pdk_name",
                      "vantorel.settings", "get_pdk_name")
        || !bind_lazy(globals, lazy_import, "get_simulations_dir",
                      "vantorel.settings", "get_simulations_dir")) {
        return false;
    }

    // pathlib's own methods, which the module may stand in for.
    auto path_type = OwnedRef::steal(
        PyObject_GetAttrString(pathlib.get(), "Path"));
    if (!path_type || !PyType_Check(path_type.get())) {
        if (path_type) {
            PyErr_SetString(PyExc_TypeError, "pathlib.Path is not a class");
        }
        return false;
    }
    OwnedRef path_methods[kPathlibMethodCount];
    PyObject* const method_names[] = {
#define SS_NAME(n) g_process.str_##n,
        SS_PATHLIB_METHODS(SS_NAME)
#undef SS_NAME
    };
    for (size_t i = 0; i < kPathlibMethodCount; i++) {
        path_methods[i] = OwnedRef::steal(
            PyObject_GetAttr(path_type.get(), method_names[i]));
        if (!path_methods[i]) {
            return false;
        }
    }
    Py_XSETREF(g_process.function_type, create_function_type(module));
    if (g_process.function_type == nullptr) {
        return false;
    }
    for (const Signature* sig : kModuleFunctions) {
        auto name = OwnedRef::steal(PyUnicode_InternFromString(sig->name));
        if (!name) {
            return false;
        }
        auto function = OwnedRef::steal(
            new_function(*sig, name.get(), name.get(), globals));
        if (!function || PyDict_SetItem(globals, name.get(), function.get())) {
            return false;
        }
    }
    auto test = OwnedRef::steal(PyDict_New());
    if (!test || PyDict_SetItemString(globals, "__test__", test.get())) {
        return false;
    }

    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* existing = nullptr;
    const int set = PyDict_SetDefaultRef(modules, g_process.str_module_name,
                                         module, &existing);
    if (set < 0) {
        return false;
    }
    Py_DECREF(existing);

    Py_XSETREF(g_process.pathlib_path, path_type.release());
    for (size_t i = 0; i < kPathlibMethodCount; i++) {
        Py_XSETREF(g_process.pathlib_methods[i], path_methods[i].release());
    }
    g_process.module = Py_NewRef(module);
    return true;
}

PyObject* module_create(PyObject* spec, PyModuleDef*)
{
    if (!check_interpreter()) {
        return nullptr;
    }
    // Imported before: hand back the initialised module (exec is a no-op).
    if (g_process.module != nullptr) {
        if (void* state = PyModule_GetState(g_process.module)) {
            g_dropped_state = state;
        }
        return Py_NewRef(g_process.module);
    }
    auto name = OwnedRef::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    return PyModule_NewObject(name.get());
}

int module_exec(PyObject* module)
{
    if (!check_interpreter()) {
        return -1;
    }
    if (g_process.module != nullptr) {
        if (module == g_process.module) {
            if (g_dropped_state != PyModule_GetState(module)) {
                PyMem_Free(g_dropped_state);
            }
            g_dropped_state = nullptr;
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'simulation_storage' has already been "
                        "imported. Re-initialisation is not supported.");
        return -1;
    }
    if (g_process.builtins == nullptr) {
        // Those of the importing code, as a Python module would get them.
        g_process.builtins = PyEval_GetFrameBuiltins();
        if (g_process.builtins == nullptr) {
            return -1;
        }
    }
    if (init_process_names() && init_keyword_names()
        && run_import_sequence(module)) {
        return 0;
    }
    Py_CLEAR(g_process.function_type);
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError,
                        "init vantorel.core.simulation_storage");
    }
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // Every interpreter but the first is refused by the guard above, with
    // its own message; CPython's check would refuse some of them first.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "simulation_storage",
    module_doc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace storage

PyMODINIT_FUNC PyInit_simulation_storage(void)
{
    return PyModuleDef_Init(&storage::module_def);
}
