// ref.hpp: the owner type for strong references; every owned PyObject * in behaviour code lives in
// one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorlin {

// Move-only owner of one strong reference (or of nothing). Ownership is explicit at the call site:
// Ref::steal() takes over a new reference, Ref::borrow() adds one, release() hands it back.
// Assignment takes the new reference before dropping the old one, because dropping may run
// arbitrary Python code (a __del__) that must not see a half-updated owner.
class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        PyObject *old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject *release() noexcept {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    // Address of the slot, for APIs that hand out a new reference through an out-parameter.
    // The slot must be empty.
    PyObject **out() noexcept { return &p_; }

  private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

} // namespace quorlin
