// How the module functions reach Python at each call: module globals looked
// up at the moment of use (then the builtins), calls with keyword names,
// method truth tests, and the log lines.
#ifndef VANTOREL_STORAGE_GLOBALS_HPP
#define VANTOREL_STORAGE_GLOBALS_HPP

#include "function.hpp"

namespace storage {

// The module global `name` of `self`, then the builtin; raises NameError
// when neither exists.
OwnedRef lookup_global(StorageFunction* self, PyObject* name);
// Vectorcalls the global `name` (no arguments by default).
OwnedRef call_global(StorageFunction* self, PyObject* name,
                     PyObject* const* args = nullptr, size_t nargs = 0,
                     PyObject* kwnames = nullptr);
// The attribute `attr` of the global `name`.
OwnedRef global_attr(StorageFunction* self, PyObject* name, PyObject* attr);
// 1 when the global `name` of `self` is the module's own function of
// signature `sig` (not rebound by a caller), 0 otherwise, -1 on error.
int global_is_own(StorageFunction* self, PyObject* name, const Signature& sig);

// Calls method `name` of `obj` with no arguments and takes its truth value:
// 1, 0, or -1 with an exception set.
int call_truth(PyObject* obj, PyObject* name);

// log().<level>(prefix + format(value, "") + suffix), the logger fetched
// anew for the line; returns false with an exception set on failure.
bool log_message(StorageFunction* self, PyObject* level, const char* prefix,
                 PyObject* value, const char* suffix = "");

}  // namespace storage

#endif  // VANTOREL_STORAGE_GLOBALS_HPP
