// What the files of the operations share: the signature of every module
// function (module.cpp binds them in this order), the parameter and field
// lists that more than one file names, and the steps one operation lends
// another.
#ifndef VANTOREL_STORAGE_OPERATIONS_HPP
#define VANTOREL_STORAGE_OPERATIONS_HPP

#include "backend.hpp"
#include "globals.hpp"
#include "local_files.hpp"

#include <vector>

namespace storage {

extern const Signature compute_simulation_id_signature;     // identity.cpp
extern const Signature get_simulation_file_path_signature;  // paths.cpp
extern const Signature find_simulation_file_signature;      // paths.cpp
extern const Signature save_simulation_result_signature;    // save.cpp
extern const Signature load_simulation_result_signature;    // load.cpp
extern const Signature find_simulation_result_signature;    // load.cpp
extern const Signature matches_filters_signature;           // listing.cpp
extern const Signature list_simulation_results_signature;   // listing.cpp
extern const Signature delete_simulation_result_signature;  // delete.cpp
extern const Signature clear_simulation_results_signature;  // delete.cpp

// The fields of a stored record, in the order StoredSimulationResult
// receives them as keywords, each with its value in save.cpp.
#define SS_RECORD_FIELDS(X)                                                 \
    X(component_name, args[save_component_name])                            \
    X(factory_name, args[save_factory_name])                                \
    X(component_settings, args[save_component_settings])                    \
    X(model_parameters, args[save_model_parameters])                        \
    X(hyperparameters, args[save_hyperparameters])                          \
    X(simulation_type, args[save_simulation_type])                          \
    X(simulation_id, metadata.simulation_id)                                \
    X(pdk_name, metadata.pdk_name)                                          \
    X(pdk_version, args[save_pdk_version])                                  \
    X(simulation_date, metadata.simulation_date)                            \
    X(vantorel_version, metadata.vantorel_version)                          \
    X(result, args[save_result])                                            \
    X(wavelengths, args[save_wavelengths])                                  \
    X(execution_time_seconds, args[save_execution_time_seconds])            \
    X(status, args[save_status])                                            \
    X(error_message, args[save_error_message])

// The filters of a listing, named as list_simulation_results names them.
#define SS_LIST_PARAMS(X, p)                                                \
    X(p, component_name, KeywordOnly, StrOrNone, None, "str | None",        \
      "Filter by component name.")                                          \
    X(p, factory_name, KeywordOnly, StrOrNone, None, "str | None",          \
      "Filter by factory name.")                                            \
    X(p, simulation_type, KeywordOnly, StrOrNone, None, "str | None",       \
      "Filter by simulation type.")                                         \
    X(p, pdk_name, KeywordOnly, StrOrNone, None, "str | None",              \
      "Filter by PDK name.")                                                \
    X(p, status, KeywordOnly, StrOrNone, None, "str | None",                \
      "Filter by status.")

// The filters of a clear, which it passes on to its listing by name.
#define SS_CLEAR_PARAMS(X, p)                                               \
    X(p, component_name, KeywordOnly, StrOrNone, None, "str | None",        \
      "Only clear results for this component.")                             \
    X(p, factory_name, KeywordOnly, StrOrNone, None, "str | None",          \
      "Only clear results for this factory.")                               \
    X(p, simulation_type, KeywordOnly, StrOrNone, None, "str | None",       \
      "Only clear results of this simulation type.")                        \
    X(p, pdk_name, KeywordOnly, StrOrNone, None, "str | None",              \
      "Only clear results for this PDK.")

enum ListArg : Py_ssize_t { SS_LIST_PARAMS(SS_ARG_INDEX, list) list_count };

// paths.cpp: raises ValueError unless `simulation_type` names one
// directory right below the simulations directory; a filter may also name
// the simulations directory itself ("" or ".").
enum class TypeUse : unsigned char { Save, Filter };
bool check_simulation_type(PyObject* simulation_type, TypeUse use);
// paths.cpp: whether a save may put a result of these (str) names in a
// type directory right below the simulations directory.
bool is_result_place(PyObject* simulation_type, PyObject* component_name);
// paths.cpp: the store an operation starts from, get_simulations_dir(),
// with how it is reached chosen once (`*access`); on object storage, a
// name the operation uses (either may be nullptr) that s3fs would read as
// a version query raises ValueError. Nothing, with an exception set, on a
// failure.
OwnedRef open_store(StorageFunction* self, Access* access,
                    PyObject* component_name = nullptr,
                    PyObject* simulation_type = nullptr);

// A result file that the lookup by ID found, and how it was reached.
struct FoundFile {
    OwnedRef path;  // or None
    Access access;  // chosen for the store (or, rebound, for the path)
    OwnedRef root;  // the store, when the lookup was the module's own
    OwnedRef type_name, entry_name;  // the local names, when read so
};
// paths.cpp: the file of `simulation_id`, as the module-level
// _find_simulation_file finds it (the module's own, or a rebound one).
bool find_file(StorageFunction* self, PyObject* simulation_id,
               FoundFile* found);

// load.cpp: orjson.loads, looked up as it is before each file is read.
OwnedRef decoder(StorageFunction* self);
// load.cpp: the record that `content`, read from `file_path`, holds,
// decoded by `loads`. For a `file_path`, a damaged file raises the
// decoder's or validator's error with a note that names the file.
OwnedRef decode_record(StorageFunction* self, PyObject* loads,
                       PyObject* content, PyObject* file_path);

// A result file that a listing read and kept, with what a clear needs to
// remove exactly that version of it.
struct ListedFile {
    OwnedRef record;
    OwnedRef path;         // made on demand for a local store
    OwnedRef version;      // on object storage, as the store reports it
    FileVersion local;     // on a local store
    size_t directory = 0;  // on a local store: index into tree.directories
    size_t name = 0;       // and into that directory's files
};

// A listing: the store it walked, and the files it kept, newest first.
struct Listing {
    OwnedRef root;
    Access access;
    LocalTree tree;  // for a local store
    std::vector<ListedFile> files;
};

// listing.cpp: lists as list_simulation_results does for `filters`
// (indexed by ListArg). Returns false with an exception set.
bool list_results(StorageFunction* self, PyObject* const* filters,
                  Listing* listing);
// listing.cpp: the path of a listed file.
OwnedRef listed_path(const Listing& listing, ListedFile& file);

}  // namespace storage

#endif  // VANTOREL_STORAGE_OPERATIONS_HPP
