// binding.cpp: argument binding, type tests, pair unpacking, global look-up and messages.
#include "binding.hpp"

#include "fast_paths.hpp"
#include "notes.hpp"
#include "state.hpp"

namespace quorlin {

namespace {

int raise_count(const FunctionSpec &spec, Py_ssize_t given) noexcept {
    Py_ssize_t min = spec.nrequired(), max = spec.nparams();
    const char *bound = min == max ? "exactly" : given < min ? "at least" : "at most";
    Py_ssize_t expected = given < min ? min : max;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, bound, expected, expected == 1 ? "" : "s", given);
    return -1;
}

// Keyword names written in code are interned, so identity nearly always decides.
Py_ssize_t param_index(PyObject *varnames, PyObject *key) noexcept {
    Py_ssize_t n = PyTuple_GET_SIZE(varnames);
    for (Py_ssize_t i = 0; i < n; i++)
        if (PyTuple_GET_ITEM(varnames, i) == key) return i;
    for (Py_ssize_t i = 0; i < n; i++)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(varnames, i), key) == 0) return i;
    return -1;
}

} // namespace

bool keywords_in_order(PyObject *varnames, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); k++)
        if (PyTuple_GET_ITEM(kwnames, k) != PyTuple_GET_ITEM(varnames, nargs + k)) return false;
    return true;
}

int bind_arguments(const FunctionSpec &spec, PyObject *varnames, PyObject *defaults,
                   PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject **out) noexcept {
    Py_ssize_t nparams = spec.nparams();
    if (nargs > nparams) return raise_count(spec, nargs);
    for (Py_ssize_t i = 0; i < nargs; i++)
        out[i] = args[i];
    for (Py_ssize_t i = nargs; i < nparams; i++)
        out[i] = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < spec.nrequired()) return raise_count(spec, nargs);
    } else {
        // 1. Keywords for the parameters not given by position, in parameter order.
        Py_ssize_t used = 0;
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t i = PyUnicode_Check(key) ? param_index(varnames, key) : -1;
            if (i >= nargs && !out[i]) {
                out[i] = args[nargs + k];
                used++;
            }
        }
        // 2. A required parameter still missing is reported before any stray keyword.
        for (Py_ssize_t i = nargs; i < spec.nrequired(); i++)
            if (!out[i]) return raise_count(spec, i);
        // 3. Whatever is left is a stray keyword, reported in the order given.
        if (used < nkw) {
            for (Py_ssize_t k = 0; k < nkw; k++) {
                PyObject *key = PyTuple_GET_ITEM(kwnames, k);
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
                    return -1;
                }
                Py_ssize_t i = param_index(varnames, key);
                if (i < 0) {
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                 spec.name, key);
                    return -1;
                }
                if (i < nargs || out[i] != args[nargs + k]) {
                    PyErr_Format(PyExc_TypeError,
                                 "%s() got multiple values for keyword argument '%U'", spec.name,
                                 key);
                    return -1;
                }
            }
        }
    }
    Py_ssize_t first_default = nparams - spec.ndefaults;
    for (Py_ssize_t i = first_default; i < nparams; i++)
        if (!out[i]) out[i] = PyTuple_GET_ITEM(defaults, i - first_default);
    return 0;
}

int raise_str_argument(PyObject *value, const char *param) noexcept {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param, "str",
                 Py_TYPE(value)->tp_name);
    if (PyUnicode_Check(value)) {
        add_note([] {
            return PyUnicode_FromString(
                "Note that subclasses of built-in types are rejected here: pass an exact str.");
        });
    }
    return -1;
}

PyObject *check_return_type(PyObject *value, PyTypeObject *type, const char *type_name) noexcept {
    if (value == Py_None || Py_IS_TYPE(value, type)) return value;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type_name, Py_TYPE(value)->tp_name);
    Py_DECREF(value);
    return nullptr;
}

namespace {

int raise_need_more(Py_ssize_t got) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                 got == 1 ? "" : "s");
    return -1;
}

int raise_too_many() noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return -1;
}

} // namespace

int unpack_pair(PyObject *entry, PyObject **first, PyObject **second) noexcept {
    if (PyTuple_CheckExact(entry) || PyList_CheckExact(entry)) {
        Py_ssize_t n = Py_SIZE(entry);
        if (n != 2) return n > 2 ? raise_too_many() : raise_need_more(n);
        PyObject **items =
            PyTuple_CheckExact(entry) ? &PyTuple_GET_ITEM(entry, 0) : &PyList_GET_ITEM(entry, 0);
        *first = Py_NewRef(items[0]);
        *second = Py_NewRef(items[1]);
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(entry));
    if (!it) return -1;
    Ref a = Ref::steal(PyIter_Next(it.get()));
    if (!a) return PyErr_Occurred() ? -1 : raise_need_more(0);
    Ref b = Ref::steal(PyIter_Next(it.get()));
    if (!b) return PyErr_Occurred() ? -1 : raise_need_more(1);
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (extra) return raise_too_many();
    if (PyErr_Occurred()) return -1;
    *first = a.release();
    *second = b.release();
    return 0;
}

namespace {

// The module namespace's value for `name`, else the builtins' (new reference).
[[gnu::noinline]] PyObject *read_global(PyObject *name) noexcept {
    PyObject *value = nullptr;
    bool plain = fast::str_keyed(g.globals); // then the read runs no Python code
    int found = PyDict_GetItemRef(g.globals, name, &value);
    if (found > 0 && plain) fast::remember_global(name, value);
    if (found != 0) return value;
    if (PyObject_GetOptionalAttr(g.builtins, name, &value) != 0) return value;
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

} // namespace

PyObject *lookup_global(PyObject *name) noexcept {
    PyObject *value = fast::remembered_global(name);
    return value ? value : read_global(name);
}

PyObject *join_pieces(std::initializer_list<Piece> pieces) noexcept {
    Ref text = Ref::borrow(g.str.empty);
    for (const Piece &p : pieces) {
        Ref part = Ref::steal(p.text ? PyUnicode_FromString(p.text)
                                     : PyObject_Format(p.value, g.str.empty));
        if (!part) return nullptr;
        text = Ref::steal(PyUnicode_Concat(text.get(), part.get()));
        if (!text) return nullptr;
    }
    return text.release();
}

PyObject *raise_joined(PyObject *type, std::initializer_list<Piece> pieces) noexcept {
    Ref message = Ref::steal(join_pieces(pieces));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

} // namespace quorlin
