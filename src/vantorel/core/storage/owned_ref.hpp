// OwnedRef: one strong reference to a Python object (or none), released
// when it goes out of scope. Locals hold their references in it; fields of
// Python objects stay raw pointers, managed by traverse, clear and dealloc.
#ifndef VANTOREL_STORAGE_OWNED_REF_HPP
#define VANTOREL_STORAGE_OWNED_REF_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace storage {

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

}  // namespace storage

#endif  // VANTOREL_STORAGE_OWNED_REF_HPP
