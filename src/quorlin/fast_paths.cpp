// fast_paths.cpp: the dict watcher that the shortcuts share, the remembered module globals (1 of
// fast_paths.hpp), and forget() for every part.
#include "fast_paths.hpp"

#include "fast_shared.hpp"

#include <iterator>

namespace quorlin::fast {

int watcher = -1;
uint64_t globals_changes = 0;
uint64_t class_changes = 0;
uint64_t import_changes = 0;
PyObject *class_dict = nullptr;

namespace {

// 1. Remembered module globals. The pointers are borrowed from the namespace, which keeps them
// alive for as long as it stays unchanged.
struct Remembered {
    PyObject *name;
    PyObject *value;
    uint64_t changes;
};
Remembered remembered[8];
bool globals_watched = false;

Remembered *entry_for(PyObject *name) noexcept {
    for (Remembered &r : remembered)
        if (r.name == name || r.name == nullptr) return &r;
    return nullptr;
}

int on_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *, PyObject *) noexcept {
    if (dict == g.globals) {
        globals_changes++;
    } else if (dict == class_dict) {
        class_changes++;
        if (event == PyDict_EVENT_DEALLOCATED) class_gone(); // the class held it: gone before it
    } else {
        import_changes++; // the import system's namespaces
    }
    return 0;
}

} // namespace

bool have_watcher() noexcept {
    if (watcher >= 0) return true;
    if (!kEnabled) return false;
    watcher = PyDict_AddWatcher(on_dict_event);
    if (watcher < 0) PyErr_Clear(); // "no more dict watcher IDs available"
    return watcher >= 0;
}

bool str_keyed(PyObject *dict) noexcept {
    return only_str_keys(dict);
}

int watch_globals(PyObject *globals) noexcept {
    globals_changes++;
    if (!have_watcher()) return 0;
    if (PyDict_Watch(watcher, globals) < 0) return -1;
    globals_watched = true;
    // The names read on every call come first, so that their look-ups stop early.
    PyObject *hot[] = {g.str.import_module, g.str.VersionManager, g.str.datetime, g.str.date};
    for (size_t i = 0; i < std::size(hot); i++)
        remembered[i] = {hot[i], nullptr, globals_changes - 1};
    return 0;
}

PyObject *remembered_global(PyObject *name) noexcept {
    Remembered *r = globals_watched ? entry_for(name) : nullptr;
    if (r && r->name == name && r->changes == globals_changes) return Py_NewRef(r->value);
    return nullptr;
}

void remember_global(PyObject *name, PyObject *value) noexcept {
    Remembered *r = globals_watched ? entry_for(name) : nullptr;
    if (r) *r = {name, value, globals_changes};
}

void forget() noexcept {
    watcher = -1; // watcher IDs are the interpreter's
    globals_watched = false;
    for (Remembered &r : remembered)
        r = {};
    forget_class();
    forget_import();
    forget_dates();
    forget_binding();
}

} // namespace quorlin::fast
