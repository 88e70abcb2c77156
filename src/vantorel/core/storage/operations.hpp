// What the files of the operations share: the signature of every module
// function (module.cpp binds them in this order), and the helpers one
// operation lends another.
#ifndef VANTOREL_STORAGE_OPERATIONS_HPP
#define VANTOREL_STORAGE_OPERATIONS_HPP

#include "globals.hpp"

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

// paths.cpp: raises ValueError unless `simulation_type` names one
// directory right below the simulations directory; a filter may also name
// the simulations directory itself ("" or ".").
enum class TypeUse : unsigned char { Save, Filter };
bool check_simulation_type(PyObject* simulation_type, TypeUse use);
// paths.cpp: whether a save may put a result of these (str) names in a
// type directory right below the simulations directory.
bool is_result_place(PyObject* simulation_type, PyObject* component_name);

// load.cpp: reads `file_path` and validates its JSON into a stored record;
// `fetched`, when given, is what reading it already gave (its bytes, or the
// exception reading raised).
OwnedRef read_record(StorageFunction* self, PyObject* file_path,
                     PyObject* fetched = nullptr);

// listing.cpp: the filters of a listing, named as list_simulation_results
// names its arguments.
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

enum ListArg : Py_ssize_t { SS_LIST_PARAMS(SS_ARG_INDEX, list) list_count };

// listing.cpp: the records that list_simulation_results returns for
// `filters` (indexed by ListArg); with `paths` (a dict), also maps each
// record's address to the file it was read from.
OwnedRef list_results(StorageFunction* self, PyObject* const* filters,
                      PyObject* paths);

}  // namespace storage

#endif  // VANTOREL_STORAGE_OPERATIONS_HPP
