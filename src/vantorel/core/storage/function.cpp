// The function type of the module: the object behind each module function
// and the per-listing sort key. It carries the metadata of a Python
// function, supports the garbage collector, weak references and pickling
// by qualified name, answers inspect.signature() from its signature table,
// and is called through vectorcall into the shared binder.
#include "function.hpp"

#include <new>
#include <string>

namespace storage {
namespace {

constexpr int kMaxNesting = 100;

StorageFunction* as_function(PyObject* o)
{
    return reinterpret_cast<StorageFunction*>(o);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args,
                              size_t nargsf, PyObject* kwnames)
{
    StorageFunction* self = as_function(callable);
    PyObject* bound[kMaxParams];
    OwnedRef converted[kMaxParams];  // values the binder made
    if (!bind_arguments(*self->sig, args, nargsf, kwnames, bound, converted)) {
        return nullptr;
    }
    // Module functions reach each other through globals that callers may
    // rebind, so a cycle can nest calls with no Python frame in between;
    // the interpreter's C recursion limit then allows more nesting than the
    // stack of an instrumented build holds. Real use nests a few levels.
    static thread_local int nesting = 0;
    if (nesting >= kMaxNesting) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded in a vantorel "
                        "storage function");
        return nullptr;
    }
    ++nesting;
    PyObject* result;
    try {
        result = self->sig->impl(self, bound);
    }
    catch (const std::bad_alloc&) {
        result = PyErr_NoMemory();
    }
    --nesting;
    return result;
}

int function_traverse(PyObject* op, visitproc visit, void* arg)
{
    StorageFunction* self = as_function(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->name);
    Py_VISIT(self->qualname);
    Py_VISIT(self->module);
    Py_VISIT(self->doc);
    Py_VISIT(self->annotations);
    Py_VISIT(self->kwdefaults);
    Py_VISIT(self->globals);
    Py_VISIT(self->dict);
    return 0;
}

int function_clear(PyObject* op)
{
    StorageFunction* self = as_function(op);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->module);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->kwdefaults);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->dict);
    return 0;
}

void function_dealloc(PyObject* op)
{
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (as_function(op)->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(op);
    }
    function_clear(op);
    type->tp_free(op);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* op)
{
    return PyUnicode_FromFormat("<function %S at %p>",
                                as_function(op)->qualname, op);
}

// Bound as a method when stored on a class, like a Python function.
PyObject* function_descr_get(PyObject* op, PyObject* obj, PyObject*)
{
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(op);
    }
    return PyMethod_New(op, obj);
}

// `f.__call__` is `f` itself rather than a slot wrapper: tools that
// inspect `__call__` (unittest.mock's autospec) then see the function's
// own signature instead of `(*args, **kwargs)`.
PyObject* function_getattro(PyObject* op, PyObject* name)
{
    if (name == g_process.str___call__
        || (PyUnicode_Check(name)
            && PyUnicode_Compare(name, g_process.str___call__) == 0)) {
        return Py_NewRef(op);
    }
    return PyObject_GenericGetAttr(op, name);
}

// Pickled as a global: pickle finds it again as module.qualname.
PyObject* function_reduce(PyObject* op, PyObject*)
{
    return Py_NewRef(as_function(op)->qualname);
}

// Builds an inspect.Signature from the table (kinds and the defaults the
// binder applies) and the current __annotations__.
PyObject* function_get_signature(PyObject* op, void*)
{
    StorageFunction* self = as_function(op);
    const Signature& sig = *self->sig;
    auto inspect = OwnedRef::steal(PyImport_ImportModule("inspect"));
    if (!inspect) {
        return nullptr;
    }
    auto parameter_type = OwnedRef::steal(
        PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter_type) {
        return nullptr;
    }
    auto empty = OwnedRef::steal(
        PyObject_GetAttrString(parameter_type.get(), "empty"));
    auto positional = OwnedRef::steal(
        PyObject_GetAttrString(parameter_type.get(), "POSITIONAL_OR_KEYWORD"));
    auto keyword_only = OwnedRef::steal(
        PyObject_GetAttrString(parameter_type.get(), "KEYWORD_ONLY"));
    if (!empty || !positional || !keyword_only) {
        return nullptr;
    }
    auto parameters = OwnedRef::steal(PyList_New(0));
    if (!parameters) {
        return nullptr;
    }
    // Owned: building a Parameter runs Python code that may replace it.
    auto annotations = OwnedRef::borrow(
        self->annotations && PyDict_Check(self->annotations)
            ? self->annotations
            : nullptr);
    auto annotation_of = [&](PyObject* key) -> OwnedRef {
        PyObject* value = nullptr;
        if (annotations
            && PyDict_GetItemRef(annotations.get(), key, &value) < 0) {
            return {};
        }
        return OwnedRef::steal(value ? value : Py_NewRef(empty.get()));
    };
    for (Py_ssize_t i = 0; i < sig.nparams; i++) {
        const Param& p = sig.params[i];
        PyObject* name = g_process.*(p.interned);
        PyObject* kind = p.kind == ParamKind::KeywordOnly ? keyword_only.get()
                                                          : positional.get();
        PyObject* dflt = default_object(p.default_value);
        if (dflt == nullptr) {
            dflt = empty.get();
        }
        OwnedRef annotation = annotation_of(name);
        if (!annotation) {
            return nullptr;
        }
        auto args = OwnedRef::steal(PyTuple_Pack(2, name, kind));
        auto kwargs = OwnedRef::steal(Py_BuildValue(
            "{sOsO}", "default", dflt, "annotation", annotation.get()));
        if (!args || !kwargs) {
            return nullptr;
        }
        auto parameter = OwnedRef::steal(
            PyObject_Call(parameter_type.get(), args.get(), kwargs.get()));
        if (!parameter || PyList_Append(parameters.get(), parameter.get())) {
            return nullptr;
        }
    }
    auto return_key = OwnedRef::steal(PyUnicode_FromString("return"));
    if (!return_key) {
        return nullptr;
    }
    OwnedRef return_annotation = annotation_of(return_key.get());
    if (!return_annotation) {
        return nullptr;
    }
    auto signature_type = OwnedRef::steal(
        PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature_type) {
        return nullptr;
    }
    auto args = OwnedRef::steal(PyTuple_Pack(1, parameters.get()));
    auto kwargs = OwnedRef::steal(
        Py_BuildValue("{sO}", "return_annotation", return_annotation.get()));
    if (!args || !kwargs) {
        return nullptr;
    }
    return PyObject_Call(signature_type.get(), args.get(), kwargs.get());
}

// Setters of the string attributes: a str is required, as for functions.
int set_str_field(PyObject** field, PyObject* value, const char* what)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object",
                     what);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* function_get_name(PyObject* op, void*)
{
    return Py_NewRef(as_function(op)->name);
}

int function_set_name(PyObject* op, PyObject* value, void*)
{
    return set_str_field(&as_function(op)->name, value, "__name__");
}

PyObject* function_get_qualname(PyObject* op, void*)
{
    return Py_NewRef(as_function(op)->qualname);
}

int function_set_qualname(PyObject* op, PyObject* value, void*)
{
    return set_str_field(&as_function(op)->qualname, value, "__qualname__");
}

PyObject* function_get_annotations(PyObject* op, void*)
{
    StorageFunction* self = as_function(op);
    if (self->annotations == nullptr) {
        self->annotations = PyDict_New();
        if (self->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(self->annotations);
}

int function_set_annotations(PyObject* op, PyObject* value, void*)
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(op)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* function_get_kwdefaults(PyObject* op, void*)
{
    PyObject* kwdefaults = as_function(op)->kwdefaults;
    return Py_NewRef(kwdefaults ? kwdefaults : Py_None);
}

int function_set_kwdefaults(PyObject* op, PyObject* value, void*)
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError,
                        "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(op)->kwdefaults, Py_XNewRef(value));
    return 0;
}

// __doc__ and __module__ take any object, and read None once deleted, as
// a Python function's do.
PyObject* none_if_deleted(PyObject* field)
{
    return Py_NewRef(field != nullptr ? field : Py_None);
}

PyObject* function_get_doc(PyObject* op, void*)
{
    return none_if_deleted(as_function(op)->doc);
}

int function_set_doc(PyObject* op, PyObject* value, void*)
{
    Py_XSETREF(as_function(op)->doc, Py_XNewRef(value));
    return 0;
}

PyObject* function_get_module(PyObject* op, void*)
{
    return none_if_deleted(as_function(op)->module);
}

int function_set_module(PyObject* op, PyObject* value, void*)
{
    Py_XSETREF(as_function(op)->module, Py_XNewRef(value));
    return 0;
}

// No parameter of a module function has a positional default.
PyObject* function_get_defaults(PyObject*, void*)
{
    Py_RETURN_NONE;
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET,
     offsetof(StorageFunction, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(StorageFunction, dict),
     Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET,
     offsetof(StorageFunction, weakreflist), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(StorageFunction, globals),
     Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getsets[] = {
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr,
     nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations,
     nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, function_set_kwdefaults,
     nullptr, nullptr},
    {"__doc__", function_get_doc, function_set_doc, nullptr, nullptr},
    {"__module__", function_get_module, function_set_module, nullptr, nullptr},
    {"__defaults__", function_get_defaults, nullptr, nullptr, nullptr},
    {"__signature__", function_get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getsets},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "vantorel.core.simulation_storage.storage_function",
    sizeof(StorageFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL
        | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// {parameter: annotation, ..., "return": annotation} from the table.
PyObject* annotations_from(const Signature& sig)
{
    auto annotations = OwnedRef::steal(PyDict_New());
    if (!annotations) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < sig.nparams; i++) {
        const Param& p = sig.params[i];
        if (p.annotation == nullptr) {
            continue;
        }
        auto text = OwnedRef::steal(PyUnicode_FromString(p.annotation));
        if (!text
            || PyDict_SetItem(annotations.get(), g_process.*(p.interned),
                              text.get())) {
            return nullptr;
        }
    }
    if (sig.return_annotation != nullptr) {
        auto text = OwnedRef::steal(
            PyUnicode_FromString(sig.return_annotation));
        if (!text
            || PyDict_SetItemString(annotations.get(), "return", text.get())) {
            return nullptr;
        }
    }
    return annotations.release();
}

// {keyword-only parameter: default} for keyword-only parameters that have
// one; None when there are none.
PyObject* kwdefaults_from(const Signature& sig)
{
    auto kwdefaults = OwnedRef::steal(PyDict_New());
    if (!kwdefaults) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < sig.nparams; i++) {
        const Param& p = sig.params[i];
        if (p.kind != ParamKind::KeywordOnly
            || p.default_value == DefaultValue::Required) {
            continue;
        }
        if (PyDict_SetItem(kwdefaults.get(), g_process.*(p.interned),
                           default_object(p.default_value))) {
            return nullptr;
        }
    }
    if (PyDict_GET_SIZE(kwdefaults.get()) == 0) {
        Py_RETURN_NONE;
    }
    return kwdefaults.release();
}

const char* default_text(DefaultValue d)
{
    switch (d) {
    case DefaultValue::None:
        return " = None";
    case DefaultValue::Success:
        return " = 'success'";
    case DefaultValue::Empty:
        return " = ''";
    case DefaultValue::Required:
        break;
    }
    return "";
}

// How a parameter reads in the docstring's signature line, as in
// "str error_message: str = ''".
void describe_param(std::string& line, const Param& p)
{
    if (const char* demanded = demanded_type(p.check)) {
        line += demanded;
        line += ' ';
    }
    line += p.name;
    if (p.annotation != nullptr) {
        line += ": ";
        line += p.annotation;
    }
    line += default_text(p.default_value);
}

// The docstring: the signature line, then the summary, the paragraph, one
// "Args:" line per documented parameter and the "Returns:" section.
std::string docstring_of(const Signature& sig)
{
    std::string doc = sig.name;
    doc += "(";
    bool any_documented = false;
    for (Py_ssize_t i = 0; i < sig.nparams; i++) {
        if (i > 0) {
            doc += ", ";
        }
        if (i == sig.npositional) {
            doc += "*, ";
        }
        describe_param(doc, sig.params[i]);
        any_documented |= sig.params[i].doc != nullptr;
    }
    doc += ")";
    if (sig.return_annotation != nullptr) {
        doc += " -> ";
        doc += sig.return_annotation;
    }
    doc += "\n\n";
    doc += sig.summary;
    doc += "\n";
    if (sig.details != nullptr) {
        doc += "\n";
        doc += sig.details;
        doc += "\n";
    }
    if (any_documented) {
        doc += "\nArgs:\n";
        for (Py_ssize_t i = 0; i < sig.nparams; i++) {
            const Param& p = sig.params[i];
            if (p.doc != nullptr) {
                doc += "    ";
                doc += p.name;
                doc += ": ";
                doc += p.doc;
                doc += "\n";
            }
        }
    }
    if (sig.returns != nullptr) {
        doc += "\nReturns:\n    ";
        doc += sig.returns;
        doc += "\n";
    }
    return doc;
}

PyObject* new_docstring(const Signature& sig)
{
    if (sig.summary == nullptr) {
        Py_RETURN_NONE;
    }
    try {
        const std::string doc = docstring_of(sig);
        return PyUnicode_FromStringAndSize(
            doc.data(), static_cast<Py_ssize_t>(doc.size()));
    }
    catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace

PyObject* create_function_type(PyObject* module)
{
    return PyType_FromModuleAndSpec(module, &function_spec, nullptr);
}

PyObject* new_function(const Signature& sig, PyObject* name,
                       PyObject* qualname, PyObject* globals)
{
    auto annotations = OwnedRef::steal(annotations_from(sig));
    if (!annotations) {
        return nullptr;
    }
    auto kwdefaults = OwnedRef::steal(kwdefaults_from(sig));
    if (!kwdefaults) {
        return nullptr;
    }
    auto doc = OwnedRef::steal(new_docstring(sig));
    if (!doc) {
        return nullptr;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(
        g_process.function_type);
    StorageFunction* self = PyObject_GC_New(StorageFunction, type);
    if (self == nullptr) {
        return nullptr;
    }
    self->name = Py_NewRef(name);
    self->qualname = Py_NewRef(qualname);
    self->module = Py_NewRef(g_process.str_module_name);
    self->doc = doc.release();
    self->annotations = annotations.release();
    self->kwdefaults = kwdefaults.get() == Py_None ? nullptr
                                                   : kwdefaults.release();
    self->globals = Py_NewRef(globals);
    self->dict = nullptr;
    self->weakreflist = nullptr;
    self->sig = &sig;
    self->vectorcall = function_vectorcall;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace storage
