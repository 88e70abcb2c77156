// Module globals looked up at each use, calls with keyword names, and the
// log lines: every operation reaches Python through these.
#include "globals.hpp"

namespace storage {

OwnedRef lookup_global(StorageFunction* self, PyObject* name)
{
    PyObject* value = nullptr;
    if (self->globals != nullptr) {
        if (PyDict_GetItemRef(self->globals, name, &value) < 0) {
            return {};
        }
        if (value != nullptr) {
            return OwnedRef::steal(value);
        }
    }
    if (PyMapping_GetOptionalItem(g_process.builtins, name, &value) < 0) {
        return {};
    }
    if (value == nullptr) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return OwnedRef::steal(value);
}

OwnedRef call_global(StorageFunction* self, PyObject* name,
                     PyObject* const* args, size_t nargs, PyObject* kwnames)
{
    OwnedRef callable = lookup_global(self, name);
    if (!callable) {
        return {};
    }
    return OwnedRef::steal(
        PyObject_Vectorcall(callable.get(), args, nargs, kwnames));
}

OwnedRef global_attr(StorageFunction* self, PyObject* name, PyObject* attr)
{
    OwnedRef value = lookup_global(self, name);
    if (!value) {
        return {};
    }
    return OwnedRef::steal(PyObject_GetAttr(value.get(), attr));
}

int global_is_own(StorageFunction* self, PyObject* name, const Signature& sig)
{
    PyObject* value = nullptr;
    if (self->globals != nullptr
        && PyDict_GetItemRef(self->globals, name, &value) < 0) {
        return -1;
    }
    auto held = OwnedRef::steal(value);
    return value != nullptr
           && Py_IS_TYPE(
               value, reinterpret_cast<PyTypeObject*>(g_process.function_type))
           && reinterpret_cast<StorageFunction*>(value)->sig == &sig;
}

int call_truth(PyObject* obj, PyObject* name)
{
    auto result = OwnedRef::steal(PyObject_CallMethodNoArgs(obj, name));
    if (!result) {
        return -1;
    }
    return PyObject_IsTrue(result.get());
}

bool log_message(StorageFunction* self, PyObject* level, const char* prefix,
                 PyObject* value, const char* suffix)
{
    OwnedRef logger = call_global(self, g_process.str_log);
    if (!logger) {
        return false;
    }
    auto method = OwnedRef::steal(PyObject_GetAttr(logger.get(), level));
    if (!method) {
        return false;
    }
    auto formatted = OwnedRef::steal(
        PyObject_Format(value, g_process.str_empty));
    if (!formatted) {
        return false;
    }
    auto text = OwnedRef::steal(
        PyUnicode_FromFormat("%s%U%s", prefix, formatted.get(), suffix));
    if (!text) {
        return false;
    }
    return static_cast<bool>(
        OwnedRef::steal(PyObject_CallOneArg(method.get(), text.get())));
}

}  // namespace storage
