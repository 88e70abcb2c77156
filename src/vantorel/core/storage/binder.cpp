// Argument binding shared by every module function: positional and keyword
// matching against a signature table, defaults, the float conversion, the
// exact-type tests, and the exact texts of their TypeErrors.
//
// When a call has several faults, the first in this order is reported: too
// many positional arguments; the first missing parameter in declared order;
// the first keyword, in the caller's order, that is not a string, unknown,
// or repeats a filled parameter; the float conversion; the type tests in
// parameter order.
#include "function.hpp"

namespace storage {

const char* demanded_type(TypeCheck check)
{
    switch (check) {
    case TypeCheck::Str:
    case TypeCheck::StrOrNone:
        return "str";
    case TypeCheck::Dict:
        return "dict";
    case TypeCheck::List:
        return "list";
    case TypeCheck::Float:
        return "double";
    case TypeCheck::Any:
        break;
    }
    return nullptr;
}

PyObject* default_object(DefaultValue d)
{
    switch (d) {
    case DefaultValue::None:
        return Py_None;
    case DefaultValue::Success:
        return g_process.str_success;
    case DefaultValue::Empty:
        return g_process.str_empty;
    case DefaultValue::Required:
        break;
    }
    return nullptr;
}

namespace {

void raise_positional_count(const Signature& sig, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s "
                 "(%zd given)",
                 sig.error_name, "exactly", sig.npositional,
                 sig.npositional == 1 ? "" : "s", given);
}

// Index of the parameter named `key`, or -1. Interned names match by
// pointer; anything else falls back to a comparison of contents.
Py_ssize_t find_param(const Signature& sig, PyObject* key)
{
    for (Py_ssize_t i = 0; i < sig.nparams; i++) {
        if (g_process.*(sig.params[i].interned) == key) {
            return i;
        }
    }
    for (Py_ssize_t i = 0; i < sig.nparams; i++) {
        if (PyUnicode_Compare(g_process.*(sig.params[i].interned), key) == 0) {
            return i;
        }
    }
    return -1;
}

bool passes(TypeCheck check, PyObject* value)
{
    switch (check) {
    case TypeCheck::Str:
        return PyUnicode_CheckExact(value);
    case TypeCheck::StrOrNone:
        return value == Py_None || PyUnicode_CheckExact(value);
    case TypeCheck::Dict:
        return PyDict_CheckExact(value);
    case TypeCheck::List:
        return PyList_CheckExact(value);
    case TypeCheck::Any:
    case TypeCheck::Float:
        break;
    }
    return true;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames, PyObject** bound, OwnedRef* converted)
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (nargs > sig.npositional) {
        raise_positional_count(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.nparams; i++) {
        bound[i] = i < nargs ? args[i] : nullptr;
    }

    // Match keywords, remembering the first bad one for later: a missing
    // parameter is reported before it.
    Py_ssize_t bad_keyword = -1;
    bool bad_is_repeat = false;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);  // borrowed
        if (!PyUnicode_Check(key)) {
            if (bad_keyword < 0) {
                bad_keyword = k;
            }
            continue;
        }
        Py_ssize_t i = find_param(sig, key);
        if (i < 0 || bound[i] != nullptr) {
            if (bad_keyword < 0) {
                bad_keyword = k;
                bad_is_repeat = i >= 0;
            }
            continue;
        }
        bound[i] = args[nargs + k];
    }

    for (Py_ssize_t i = 0; i < sig.nparams; i++) {
        if (bound[i] != nullptr) {
            continue;
        }
        const Param& p = sig.params[i];
        bound[i] = default_object(p.default_value);
        if (bound[i] != nullptr) {
            continue;
        }
        if (p.kind == ParamKind::PositionalOrKeyword) {
            raise_positional_count(sig, i);
        }
        else {
            PyErr_Format(PyExc_TypeError,
                         "%s() needs keyword-only argument %U", sig.error_name,
                         g_process.*(p.interned));
        }
        return false;
    }

    if (bad_keyword >= 0) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, bad_keyword);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                         sig.error_name);
        }
        else if (bad_is_repeat) {
            PyErr_Format(PyExc_TypeError,
                         "%s() got multiple values for keyword argument '%U'",
                         sig.error_name, key);
        }
        else {
            PyErr_Format(PyExc_TypeError,
                         "%s() got an unexpected keyword argument '%U'",
                         sig.error_name, key);
        }
        return false;
    }

    for (Py_ssize_t i = 0; i < sig.nparams; i++) {
        if (sig.params[i].check != TypeCheck::Float) {
            continue;
        }
        PyObject* value = bound[i];
        double d;
        if (PyFloat_CheckExact(value)) {
            d = PyFloat_AS_DOUBLE(value);
        }
        else if (PyFloat_Check(value)) {
            // A float subclass may override __float__, as float() honours;
            // PyFloat_AsDouble would read the stored value instead.
            // CAUTION: may run Python code.
            auto as_float = OwnedRef::steal(PyNumber_Float(value));
            if (!as_float) {
                return false;
            }
            d = PyFloat_AS_DOUBLE(as_float.get());
        }
        else {
            // CAUTION: may run Python code (__float__ or __index__).
            d = PyFloat_AsDouble(value);
            if (d == -1.0 && PyErr_Occurred()) {
                return false;
            }
        }
        converted[i] = OwnedRef::steal(PyFloat_FromDouble(d));
        if (!converted[i]) {
            return false;
        }
        bound[i] = converted[i].get();
    }

    for (Py_ssize_t i = 0; i < sig.nparams; i++) {
        const Param& p = sig.params[i];
        if (!passes(p.check, bound[i])) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type "
                         "(expected %.200s, got %.200s)",
                         p.name, demanded_type(p.check),
                         Py_TYPE(bound[i])->tp_name);
            return false;
        }
    }
    return true;
}

}  // namespace storage
