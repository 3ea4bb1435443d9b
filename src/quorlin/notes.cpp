// notes.cpp: what each note says about a table written the wrong way.
#include "notes.hpp"

namespace quorlin {

namespace {

bool raised(PyObject *type) noexcept {
    return PyErr_ExceptionMatches(type) != 0;
}

} // namespace

void note_entry(PyObject *table, PyObject *entry, Py_ssize_t index) noexcept {
    if (!raised(PyExc_ValueError) && !raised(PyExc_TypeError)) return;
    Ref held = Ref::borrow(entry);
    if (PyAnySet_Check(table)) {
        add_note([&] {
            return PyUnicode_FromFormat(
                "entry %.200R of the table is not a (name, start) pair: the table is a set; a dict "
                "is written {name: start}, with a colon",
                held.get());
        });
        return;
    }
    add_note([&] {
        return PyUnicode_FromFormat("entry %zd of the table, %.200R, is not a (name, start) pair: "
                                    "give a dict {name: start} or a list of (name, start) pairs",
                                    index, held.get());
    });
}

void note_start(PyObject *entry, PyObject *start) noexcept {
    if (!raised(PyExc_TypeError) || !PyUnicode_Check(start)) return;
    Ref held = Ref::borrow(entry);
    add_note([&] {
        return PyUnicode_FromFormat(
            "the start of entry %.200R of the table is a str, not a date or "
            "a datetime (date.fromisoformat() reads such a text)",
            held.get());
    });
}

void note_table_starts(PyObject *table) noexcept {
    if (!raised(PyExc_TypeError)) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(table); i++) {
        PyObject *pair = PyList_GET_ITEM(table, i);
        if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2 &&
            PyUnicode_Check(PyTuple_GET_ITEM(pair, 1))) {
            note_start(pair, PyTuple_GET_ITEM(pair, 1));
            return;
        }
    }
}

void note_version_type(PyObject *version) noexcept {
    // A str subclass has a note of its own.
    if (!raised(PyExc_TypeError) || PyUnicode_Check(version) || version == Py_None) return;
    Ref held = Ref::borrow(version);
    add_note([&] {
        return PyUnicode_FromFormat(
            "the version name %.200R is of type %.200s, not str: a version is named by the last "
            "part of its submodule's name, such as \"v2024\"",
            held.get(), Py_TYPE(held.get())->tp_name);
    });
}

void note_dotted_version(PyObject *package, PyObject *version) noexcept {
    if (!raised(PyExc_ModuleNotFoundError) ||
        PyUnicode_FindChar(version, '.', 0, PyUnicode_GET_LENGTH(version), 1) < 0)
        return;
    add_note([&]() -> PyObject * {
        Ref dot = Ref::steal(PyUnicode_FromOrdinal('.'));
        Ref underscore = Ref::steal(PyUnicode_FromOrdinal('_'));
        Ref plain = Ref::steal(dot && underscore
                                   ? PyUnicode_Replace(version, dot.get(), underscore.get(), -1)
                                   : nullptr);
        if (!plain) return nullptr;
        return PyUnicode_FromFormat(
            "the version name \"%U\" holds a dot, so \"%U.%U\" names a module inside another "
            "module, "
            "not a submodule of \"%U\": name versions without dots, such as \"%U\"",
            version, package, version, package, plain.get());
    });
}

} // namespace quorlin
