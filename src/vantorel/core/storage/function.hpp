// The function type behind every module function, the tables that describe
// each function's parameters, and the binder that matches a call to them.
#ifndef VANTOREL_STORAGE_FUNCTION_HPP
#define VANTOREL_STORAGE_FUNCTION_HPP

#include "state.hpp"

#include <cstddef>

namespace storage {

struct StorageFunction;

// A function body: `args` holds one bound value per parameter, in table
// order, and is indexed by the function's argument enum.
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
    PyObject* ProcessState::* interned;
    ParamKind kind;
    TypeCheck check;
    DefaultValue default_value;
    const char* annotation;  // nullptr: not annotated
    const char* doc;         // its line under "Args:"; nullptr: none
};

constexpr Py_ssize_t kMaxParams = 12;

struct Signature {
    const char* name;        // __name__ and __qualname__
    const char* error_name;  // the name binding errors report
    const Param* params;
    Py_ssize_t nparams;
    Py_ssize_t npositional;         // leading positional-or-keyword parameters
    const char* return_annotation;  // nullptr: no return annotation
    // The docstring, after its signature line: the summary (nullptr: no
    // docstring), a paragraph and the "Returns:" text (nullptr: none).
    const char* summary;
    const char* details;
    const char* returns;
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

// A parameter list is an X-macro of rows
//     X(prefix, name, kind, check, default, annotation, doc)
// expanded once into the function's Param table and once into the enum
// that names its arguments: `prefix##_##name` is the index of `name`.
#define SS_PARAM_ENTRY(prefix, n, kind, check, dflt, annotation, doc)       \
    Param{#n, &ProcessState::str_##n, ParamKind::kind, TypeCheck::check,    \
          DefaultValue::dflt, annotation, doc},
#define SS_ARG_INDEX(prefix, n, ...) prefix##_##n,

template <std::size_t N>
constexpr Py_ssize_t param_count(const Param (&)[N])
{
    static_assert(N <= kMaxParams, "raise kMaxParams");
    return static_cast<Py_ssize_t>(N);
}

template <std::size_t N>
constexpr Py_ssize_t positional_count(const Param (&params)[N])
{
    Py_ssize_t count = 0;
    while (count < static_cast<Py_ssize_t>(N)
           && params[count].kind == ParamKind::PositionalOrKeyword) {
        count++;
    }
    return count;
}

#define SS_SIGNATURE(fname, params, ret, summary, details, returns, impl)  \
    Signature{#fname, #fname, params, param_count(params),                 \
              positional_count(params), ret, summary, details, returns,     \
              impl}

// function.cpp
PyObject* create_function_type(PyObject* module);
// Returns a new function object, or nullptr with an exception set.
PyObject* new_function(const Signature& sig, PyObject* name,
                       PyObject* qualname, PyObject* globals);

// binder.cpp: the name of the type a check demands ("str", "dict", "list",
// "double"), or nullptr for a parameter that takes anything.
const char* demanded_type(TypeCheck check);
// The value a parameter takes when the call omits it (borrowed), or nullptr
// when it is required.
PyObject* default_object(DefaultValue d);
// Fills `bound` with borrowed references; a value the binder makes (a
// converted float) is owned by the slot of its parameter in `converted`.
// Both arrays hold kMaxParams entries. Returns false with TypeError set on
// a bad call.
bool bind_arguments(const Signature& sig, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames, PyObject** bound, OwnedRef* converted);

}  // namespace storage

#endif  // VANTOREL_STORAGE_FUNCTION_HPP
