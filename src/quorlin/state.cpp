// state.cpp: the one process-wide State and the construction of its interned strings.
#include "state.hpp"

#include <atomic>
#include <initializer_list>

namespace quorlin {

State g;

namespace {

// Set by the marker's destructor, that is as the interpreter recorded is finalised.
std::atomic<bool> finished{false};

void marker_dropped(PyObject *) noexcept {
    finished.store(true);
}

PyObject *names_tuple(std::initializer_list<PyObject *> names) noexcept {
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!t) return nullptr;
    Py_ssize_t i = 0;
    for (PyObject *n : names)
        PyTuple_SET_ITEM(t, i++, Py_NewRef(n));
    return t;
}

} // namespace

int init_strings() noexcept {
    if (g.strings_ready) return 0;
    Strings &s = g.str;
#define QUORLIN_MAKE(id, text)                                                                     \
    if (!(s.id = PyUnicode_InternFromString(text))) return -1;
    QUORLIN_STRINGS(QUORLIN_MAKE)
#undef QUORLIN_MAKE
    Ref prefix = Ref::steal(PyUnicode_InternFromString("prefix"));
    Ref version = Ref::steal(PyUnicode_InternFromString("version"));
    Ref key = Ref::steal(PyUnicode_InternFromString("key"));
    Ref reverse = Ref::steal(PyUnicode_InternFromString("reverse"));
    if (!prefix || !version || !key || !reverse) return -1;
    if (!(s.kw_prefix = names_tuple({prefix.get()})) || !(s.kw_name = names_tuple({s.name})) ||
        !(s.kw_get_module = names_tuple({s.module, version.get(), s.current})) ||
        !(s.kw_sorted = names_tuple({key.get(), reverse.get()})))
        return -1;
    g.strings_ready = true;
    return 0;
}

int record_interpreter(int64_t id) noexcept {
    PyObject *dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!dict) { // no exception set: only a failed allocation leaves an interpreter without one
        PyErr_NoMemory();
        return -1;
    }
    Ref marker = Ref::steal(PyCapsule_New(&g, kModuleName, marker_dropped));
    if (!marker || PyDict_SetItemString(dict, kModuleName, marker.get()) < 0) return -1;
    g.interpreter = id;
    return 0;
}

bool interpreter_finished() noexcept {
    return finished.load();
}

void forget_state() noexcept {
    g = State{};
    finished.store(false);
}

} // namespace quorlin
