// Where results live: <simulations dir>/<simulation type>/<component>_<id>
// .json. Derives (and prepares) the path of a result and finds a result
// file again by its ID, scanning the type directories.
#include "operations.hpp"

namespace storage {
namespace {

#define SS_FILE_PATH_PARAMS(X, p)                                           \
    X(p, simulation_type, PositionalOrKeyword, Str, Required, "str",        \
      "Type of simulation (e.g. \"fdtd\", \"eme\").")                       \
    X(p, component_name, PositionalOrKeyword, Str, Required, "str",         \
      "Name of the component.")                                             \
    X(p, simulation_id, PositionalOrKeyword, Str, Required, "str",          \
      "The simulation ID.")

#define SS_FIND_FILE_PARAMS(X, p)                                           \
    X(p, simulation_id, PositionalOrKeyword, Str, Required, "str",          \
      "The unique simulation ID.")

enum FilePathArg : Py_ssize_t { SS_FILE_PATH_PARAMS(SS_ARG_INDEX, path) };
enum FindFileArg : Py_ssize_t { SS_FIND_FILE_PARAMS(SS_ARG_INDEX, find) };

const Param get_simulation_file_path_params[] = {
    SS_FILE_PATH_PARAMS(SS_PARAM_ENTRY, path)};
const Param find_simulation_file_params[] = {
    SS_FIND_FILE_PARAMS(SS_PARAM_ENTRY, find)};

bool contains(PyObject* text, Py_UCS4 ch)
{
    return PyUnicode_FindChar(text, ch, 0, PyUnicode_GET_LENGTH(text), 1) >= 0;
}

bool has_separator_or_nul(PyObject* text)
{
    return contains(text, '/') || contains(text, '\0');
}

// A component name must not move the file into a subdirectory that nobody
// creates or scans.
bool check_component_name(PyObject* component_name)
{
    if (has_separator_or_nul(component_name)) {
        PyErr_Format(PyExc_ValueError,
                     "component_name %R must not contain '/' or NUL",
                     component_name);
        return false;
    }
    return true;
}

// The name suffix "_<id>.json" of the files of `simulation_id`.
OwnedRef id_suffix(PyObject* simulation_id)
{
    return OwnedRef::steal(PyUnicode_FromFormat("_%U.json", simulation_id));
}

// `simulation_id` as a literal glob pattern "*_<id>.json".
OwnedRef id_glob_pattern(PyObject* simulation_id)
{
    // Match the ID literally, escaping as glob.escape does. "[" goes
    // first, so the brackets added for "*" and "?" stay as they are.
    auto escaped = OwnedRef::borrow(simulation_id);
    static const char* const kEscapes[][2] = {
        {"[", "[[]"}, {"*", "[*]"}, {"?", "[?]"}};
    for (const auto& escape : kEscapes) {
        if (!contains(escaped.get(), static_cast<Py_UCS4>(escape[0][0]))) {
            continue;
        }
        auto from = OwnedRef::steal(PyUnicode_FromString(escape[0]));
        auto to = OwnedRef::steal(PyUnicode_FromString(escape[1]));
        if (!from || !to) {
            return {};
        }
        escaped = OwnedRef::steal(
            PyUnicode_Replace(escaped.get(), from.get(), to.get(), -1));
        if (!escaped) {
            return {};
        }
    }
    return OwnedRef::steal(PyUnicode_FromFormat("*_%U.json", escaped.get()));
}

PyObject* get_simulation_file_path_impl(StorageFunction* self,
                                        PyObject* const* args)
{
    PyObject* simulation_type = args[path_simulation_type];
    PyObject* component_name = args[path_component_name];
    if (!check_simulation_type(simulation_type, TypeUse::Save)
        || !check_component_name(component_name)) {
        return nullptr;
    }
    Access access;
    OwnedRef simulations_dir = open_store(self, &access, component_name,
                                          simulation_type);
    if (!simulations_dir) {
        return nullptr;
    }
    auto type_dir = OwnedRef::steal(
        PyNumber_TrueDivide(simulations_dir.get(), simulation_type));
    if (!type_dir) {
        return nullptr;
    }
    if (access.backend != Backend::Syscalls) {
        if (!make_directories(access, type_dir.get())) {
            return nullptr;
        }
    }
    else {
        // A new directory's entry in its parent is made durable as a saved
        // file's is: a power cut must not lose the type directory. One
        // that exists needs no mkdir.
        const int existed = directory_exists(type_dir.get());
        if (existed < 0
            || (existed == 0
                && (!make_directories(access, type_dir.get())
                    || !flush_directory(simulations_dir.get())))) {
            return nullptr;
        }
    }
    auto name = OwnedRef::steal(PyUnicode_FromFormat(
        "%U_%U.json", component_name, args[path_simulation_id]));
    if (!name) {
        return nullptr;
    }
    return PyNumber_TrueDivide(type_dir.get(), name.get());
}

// The lookup by ID through the store's path objects, level by level: the
// type directories in iterdir order, then the first glob match in each
// (none for a None pattern).
PyObject* walk_for_entry(PyObject* simulations_dir, PyObject* pattern)
{
    int exists = call_truth(simulations_dir, g_process.str_exists);
    if (exists <= 0) {
        return exists < 0 ? nullptr : Py_NewRef(Py_None);
    }
    auto entries = OwnedRef::steal(
        PyObject_CallMethodNoArgs(simulations_dir, g_process.str_iterdir));
    if (!entries) {
        return nullptr;
    }
    auto iterator = OwnedRef::steal(PyObject_GetIter(entries.get()));
    if (!iterator) {
        return nullptr;
    }
    while (auto type_dir = OwnedRef::steal(PyIter_Next(iterator.get()))) {
        int is_dir = call_truth(type_dir.get(), g_process.str_is_dir);
        if (is_dir < 0) {
            return nullptr;
        }
        if (is_dir == 0 || pattern == Py_None) {
            continue;
        }
        auto globbed = OwnedRef::steal(PyObject_CallMethodOneArg(
            type_dir.get(), g_process.str_glob, pattern));
        if (!globbed) {
            return nullptr;
        }
        auto matches = OwnedRef::steal(PySequence_List(globbed.get()));
        if (!matches) {
            return nullptr;
        }
        if (PyList_GET_SIZE(matches.get()) > 0) {
            return Py_NewRef(PyList_GET_ITEM(matches.get(), 0));
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The module's own lookup by ID: names alone on a local store (a path
// object only for the match), one recursive listing on S3, the walk
// through the store's path objects otherwise.
bool look_up_file(StorageFunction* self, PyObject* simulation_id,
                  FoundFile* found)
{
    // No file name holds a separator or NUL: such an ID still walks the
    // store, so that its errors surface as for any other ID, and matches
    // nothing (no pattern).
    const bool nameable = !has_separator_or_nul(simulation_id);
    OwnedRef suffix = id_suffix(simulation_id);
    if (!suffix) {
        return false;
    }
    found->root = open_store(self, &found->access);
    if (!found->root) {
        return false;
    }
    PyObject* root = found->root.get();
    // Names alone, read in one pass: the cost of a lookup is that of
    // reading the store's names, not of a path object per entry.
    if (nameable && found->access.backend == Backend::Syscalls) {
        switch (find_entry_locally(root, suffix.get(), &found->type_name,
                                   &found->entry_name)) {
        case Scan::Found: {
            auto type_dir = OwnedRef::steal(
                PyNumber_TrueDivide(root, found->type_name.get()));
            found->path = OwnedRef::steal(
                type_dir ? PyNumber_TrueDivide(type_dir.get(),
                                               found->entry_name.get())
                         : nullptr);
            return static_cast<bool>(found->path);
        }
        case Scan::NotFound:
            found->path = OwnedRef::borrow(Py_None);
            return true;
        case Scan::Unsure:
            break;
        case Scan::Error:
            return false;
        }
    }
    else if (nameable && found->access.backend == Backend::ObjectStore) {
        found->path = call_store(found->access, g_process.str_find_first, root,
                                 suffix.get());
        return static_cast<bool>(found->path);
    }
    OwnedRef pattern = nameable ? id_glob_pattern(simulation_id)
                                : OwnedRef::borrow(Py_None);
    if (!pattern) {
        return false;
    }
    found->path = OwnedRef::steal(walk_for_entry(root, pattern.get()));
    return static_cast<bool>(found->path);
}

PyObject* find_simulation_file_impl(StorageFunction* self,
                                    PyObject* const* args)
{
    FoundFile found;
    if (!look_up_file(self, args[find_simulation_id], &found)) {
        return nullptr;
    }
    return found.path.release();
}

// On object storage, raises ValueError for a name (either may be nullptr)
// that s3fs would read as a version query, so that no name addresses
// another object than its own.
bool check_object_names(const Access& access, PyObject* component_name,
                        PyObject* simulation_type)
{
    if (access.backend != Backend::ObjectStore) {
        return true;
    }
    const char* const names[] = {"component_name", "simulation_type"};
    PyObject* const values[] = {component_name, simulation_type};
    for (size_t i = 0; i < 2; i++) {
        if (values[i] == nullptr || !PyUnicode_Check(values[i])) {
            continue;
        }
        const Py_ssize_t at = PyUnicode_Find(
            values[i], g_process.str_version_query, 0,
            PyUnicode_GET_LENGTH(values[i]), 1);
        if (at == -2) {
            return false;
        }
        if (at >= 0) {
            PyErr_Format(PyExc_ValueError,
                         "%s %R must not contain '?versionId=' on object "
                         "storage",
                         names[i], values[i]);
            return false;
        }
    }
    return true;
}

// Whether `simulation_type` names one directory right below the
// simulations directory; "" and "." name the simulations directory itself.
bool names_a_directory(PyObject* simulation_type, bool or_the_top)
{
    if (PyUnicode_GET_LENGTH(simulation_type) == 0
        || PyUnicode_CompareWithASCIIString(simulation_type, ".") == 0) {
        return or_the_top;
    }
    return PyUnicode_CompareWithASCIIString(simulation_type, "..") != 0
           && !has_separator_or_nul(simulation_type);
}

}  // namespace

bool is_result_place(PyObject* simulation_type, PyObject* component_name)
{
    return names_a_directory(simulation_type, false)
           && !has_separator_or_nul(component_name);
}

bool check_simulation_type(PyObject* simulation_type, TypeUse use)
{
    // A filter may look in the simulations directory itself, a save may not
    // put a result there.
    if (!names_a_directory(simulation_type, use == TypeUse::Filter)) {
        PyErr_Format(PyExc_ValueError,
                     "simulation_type %R must name one directory inside the "
                     "simulations directory: not empty, '.' or '..', not "
                     "absolute, without '/' or NUL",
                     simulation_type);
        return false;
    }
    return true;
}

OwnedRef open_store(StorageFunction* self, Access* access,
                    PyObject* component_name, PyObject* simulation_type)
{
    OwnedRef root = call_global(self, g_process.str_get_simulations_dir);
    if (!root || !choose_access(root.get(), access)
        || !check_object_names(*access, component_name, simulation_type)) {
        return {};
    }
    return root;
}

bool find_file(StorageFunction* self, PyObject* simulation_id,
               FoundFile* found)
{
    int own = global_is_own(self, g_process.str__find_simulation_file,
                            find_simulation_file_signature);
    if (own < 0) {
        return false;
    }
    if (own) {
        return look_up_file(self, simulation_id, found);
    }
    found->path = call_global(self, g_process.str__find_simulation_file,
                              &simulation_id, 1);
    return found->path
           && (found->path.get() == Py_None
               || choose_access(found->path.get(), &found->access));
}

const Signature get_simulation_file_path_signature = SS_SIGNATURE(
    get_simulation_file_path, get_simulation_file_path_params, "Path",
    "Get the file path for a simulation result.", nullptr,
    "Path to the simulation result file.", get_simulation_file_path_impl);

const Signature find_simulation_file_signature = SS_SIGNATURE(
    _find_simulation_file, find_simulation_file_params, "Path | None",
    "Find a simulation result file by its ID.",
    "Scans all simulation type directories to find the file.",
    "Path to the simulation file if found, None otherwise.",
    find_simulation_file_impl);

}  // namespace storage
