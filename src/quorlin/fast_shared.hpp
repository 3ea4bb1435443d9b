// fast_shared.hpp: what the parts of the shortcuts (fast_*.cpp) share, for them alone: the dict
// watcher and its counts of changes, the checks more than one part makes, and each part's own
// forget().
#pragma once

#include "compat.hpp"
#include "fast_paths.hpp"
#include "state.hpp"

#include <cstdint>
#include <cstring>
#include <new>

namespace quorlin::fast {

#ifdef QUORLIN_NO_FAST_PATHS
inline constexpr bool kEnabled = false;
#else
inline constexpr bool kEnabled = true;
#endif

// What the shortcuts hold is never destroyed: releasing its references from a static destructor, or
// once the interpreter that loaded the module has been finalised, would touch freed memory.
template <class T> class Forever {
  public:
    Forever() noexcept { new (storage_) T(); }
    T &get() noexcept { return *std::launder(reinterpret_cast<T *>(storage_)); }
    // Abandons the value held (its references are dropped, not released) for a fresh one.
    void forget() noexcept { new (storage_) T(); }

  private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

// The interpreter internals of compat.hpp that more than one part reads, off without the shortcuts.
inline bool only_str_keys(PyObject *dict) noexcept {
    return kEnabled && compat::only_str_keys(dict);
}

// ---------------------------------------------------------------------------------------------
// The watcher (fast_paths.cpp): one ID for every dict watched, one change counter per dict.

extern int watcher;
extern uint64_t globals_changes;
extern uint64_t class_changes;
extern uint64_t import_changes;
extern PyObject *class_dict; // the class namespace, once watched

// Takes a watcher ID on first use. False, with no exception, when the interpreter has none left.
bool have_watcher() noexcept;

// Runs `check` (0, or -1 with an exception set when the interpreter itself failed) with any
// pending exception parked: a check never disturbs one, and a failure only means the shortcut is
// not taken.
template <class Check> void parked(const Check &check) noexcept {
    PyObject *exc = PyErr_GetRaisedException();
    if (check() < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

// `value` is the builtins module's own function `name`.
inline bool own_builtin(PyObject *value, const char *name) noexcept {
    return value && PyCFunction_Check(value) && PyCFunction_GET_SELF(value) == g.builtins &&
           std::strcmp(reinterpret_cast<PyCFunctionObject *>(value)->m_ml->ml_name, name) == 0;
}

// ---------------------------------------------------------------------------------------------
// The parts' own state: fast::forget() abandons each.

void class_gone() noexcept; // fast_class.cpp: the class namespace reported its end
void forget_class() noexcept;
void forget_import() noexcept;
void forget_dates() noexcept;
void forget_binding() noexcept;

} // namespace quorlin::fast
