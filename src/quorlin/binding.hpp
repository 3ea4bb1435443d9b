// binding.hpp: the calling conventions every member shares: argument binding, type tests, pair
// unpacking, late look-up of module globals and the assembly of messages.
#pragma once

#include "function.hpp"

#include <initializer_list>

namespace quorlin {

// Binds positional arguments and keywords to `spec`'s parameters (named by the interned str
// objects of `varnames`), filling `out` (borrowed references) with one value per parameter.
// -1 with the binding TypeError set on failure. Calls that give every parameter in order never get
// here: the function object runs the member with its arguments as they came.
int bind_arguments(const FunctionSpec &spec, PyObject *varnames, PyObject *defaults,
                   PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject **out) noexcept;

// True when the keywords, given with the interned names of `varnames`, name the parameters that
// follow the `nargs` positional ones, in order (the common call: every remaining one by keyword).
bool keywords_in_order(PyObject *varnames, Py_ssize_t nargs, PyObject *kwnames) noexcept;

// Raises the TypeError of the exact-str test for `value`; a str subclass gets a note saying why
// it is refused. Returns -1.
int raise_str_argument(PyObject *value, const char *param) noexcept;

// The exact-str test of a parameter declared `str` (None passes where `allow_none`). -1 with a
// TypeError set otherwise.
inline int check_str_argument(PyObject *value, const char *param, bool allow_none) noexcept {
    if (PyUnicode_CheckExact(value) || (allow_none && value == Py_None)) return 0;
    return raise_str_argument(value, param);
}

// The return-type test of a getter: `value` (owned) is returned if it is None or exactly of
// `type`, otherwise it is released and a TypeError is raised.
PyObject *check_return_type(PyObject *value, PyTypeObject *type, const char *type_name) noexcept;

// Splits `entry` into two new references. -1 with an exception set on failure.
int unpack_pair(PyObject *entry, PyObject **first, PyObject **second) noexcept;

// A module global read at the moment of use: the module namespace, then the builtins module,
// else NameError. New reference or nullptr.
PyObject *lookup_global(PyObject *name) noexcept;

// One piece of a message: fixed text, or a value inserted as format(value, "") inserts it.
struct Piece {
    // Implicit on purpose: messages are written as {"text", value, "text"}.
    Piece(const char *text) noexcept : text(text) {}  // NOLINT(*-explicit-constructor)
    Piece(PyObject *value) noexcept : value(value) {} // NOLINT(*-explicit-constructor)
    const char *text = nullptr;
    PyObject *value = nullptr;
};

// Raises `type` with the joined pieces as its only argument. Always returns nullptr.
PyObject *raise_joined(PyObject *type, std::initializer_list<Piece> pieces) noexcept;

// Joins the pieces into a new str, or nullptr.
PyObject *join_pieces(std::initializer_list<Piece> pieces) noexcept;

// Calls `callable` with positional `args` followed by keyword values named by `kwnames`.
inline PyObject *call(PyObject *callable, std::initializer_list<PyObject *> args,
                      PyObject *kwnames = nullptr) noexcept {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return PyObject_Vectorcall(callable, args.begin(),
                               static_cast<size_t>(static_cast<Py_ssize_t>(args.size()) - nkw),
                               kwnames);
}

} // namespace quorlin

namespace quorlin {

// Walks `seq`: an exact list or tuple by position, re-reading its length at every step, anything
// else through the iteration protocol. `visit(item)` returns 0 to go on, 1 to stop, -1 on error.
// `line` is set to `iter_line` before every step, so a failure of the walk itself reports it.
// Returns -1 on error, 1 if `visit` stopped the walk, 0 at the end.
template <class Visit>
int for_each_item(PyObject *seq, int &line, int iter_line, const Visit &visit) noexcept {
    line = iter_line;
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        bool is_list = PyList_CheckExact(seq);
        for (Py_ssize_t i = 0; i < Py_SIZE(seq); i++) {
            // The size is read again at every step, and the item held before anything runs.
            Ref item = Ref::borrow(is_list ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            int rc = visit(item.get());
            if (rc != 0) return rc;
            line = iter_line;
        }
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    if (!it) return -1;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return PyErr_Occurred() ? -1 : 0;
        int rc = visit(item.get());
        if (rc != 0) return rc;
        line = iter_line;
    }
}

} // namespace quorlin
