// function.hpp: the function-object type behind every member, and the table row that describes one.
#pragma once

#include "ref.hpp"
#include "state.hpp"

#include <span>

namespace quorlin {

// Runs a member with its arguments already bound (one borrowed reference per parameter).
// On failure it returns nullptr with the exception set and stores in `line` the source line of the
// failing statement, or leaves `line` at 0 when the failure must not add a traceback entry.
using Impl = PyObject *(*)(PyObject *const *args, int &line) noexcept;

struct Annotation {
    const char *key;
    const char *value;
};

// One row per function: everything its function object shows and everything binding needs.
struct FunctionSpec {
    const char *name;
    const char *qualname;
    const char *trace_name; // function name of its traceback entries
    std::span<const char *const> params;
    int ndefaults; // the last `ndefaults` parameters default to None
    int first_line;
    std::span<const Annotation> annotations;
    const char *doc; // nullptr: no docstring
    Impl impl;
    // Instance creation hands __init__ its keyword dict. Without a vectorcall entry that dict
    // reaches tp_call unvetted, and binding reports non-string keywords in the member's words.
    bool vectorcall = true;

    Py_ssize_t nparams() const noexcept { return static_cast<Py_ssize_t>(params.size()); }
    Py_ssize_t nrequired() const noexcept { return nparams() - ndefaults; }
};

constexpr int kMaxParams = 3;

// Creates the function-object type (once per process). -1 with an exception set on failure.
int init_function_type() noexcept;

// A new function object for `spec` whose __globals__ is `globals`.
PyObject *function_new(const FunctionSpec &spec, PyObject *globals) noexcept;

// The leading fields of this module's function objects (the rest is private to function.cpp).
struct FunctionHead {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec *spec;
};

// The row behind `obj` if it is one of this module's function objects, else nullptr.
inline const FunctionSpec *spec_of(PyObject *obj) noexcept {
    return Py_IS_TYPE(obj, g.function_type) ? reinterpret_cast<FunctionHead *>(obj)->spec : nullptr;
}

// Runs `spec.impl` on bound arguments and adds the traceback entry when it fails: the one way a
// member runs, whether called from Python or from another member.
PyObject *run_member(const FunctionSpec &spec, PyObject *const *args) noexcept;

} // namespace quorlin
