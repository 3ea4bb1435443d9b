// notes.hpp: notes that explain a failure caused by how a table was written. Each adds a note to
// the exception being raised (add_note) and changes nothing else: its type, message and traceback
// stay as they are. A note that cannot be made is left out, the exception untouched.
#pragma once

#include "ref.hpp"

namespace quorlin {

// Adds the note that `make()` returns (a new str reference, or nullptr) to the exception being
// raised. `make` runs with that exception parked, so it may run Python code.
template <class Make> void add_note(Make make) noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref note = Ref::steal(make());
    Ref added =
        Ref::steal(note ? PyObject_CallMethod(exc.get(), "add_note", "O", note.get()) : nullptr);
    PyErr_Clear(); // whatever making or adding the note raised gives way to the real failure
    PyErr_SetRaisedException(exc.release());
}

// `entry`, at `index` in `table`, could not be split into a (name, start) pair.
void note_entry(PyObject *table, PyObject *entry, Py_ssize_t index) noexcept;
// Comparing with the start of `entry` failed: explained when the start is a str.
void note_start(PyObject *entry, PyObject *start) noexcept;
// Sorting the new table (an exact list of exact pairs) failed: its first str start is explained.
void note_table_starts(PyObject *table) noexcept;
// get_module failed for a version name of the table: explained when it is not a str.
void note_version_type(PyObject *version) noexcept;
// get_module could not find `package` + "." + `version`, a version name that holds a dot.
void note_dotted_version(PyObject *package, PyObject *version) noexcept;

} // namespace quorlin
