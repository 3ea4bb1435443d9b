// state.hpp: process-wide state: guards, the module namespace, captured builtins, interned strings.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace quorlin {

inline constexpr const char kModuleName[] = "quorlin.version_manager";
inline constexpr const char kSourceFile[] = "src/quorlin/version_manager";

// Interned strings made once, so that hot paths never build a name.
#define QUORLIN_STRINGS(X)                                                                         \
    X(name, "name")                                                                                \
    X(loader, "loader")                                                                            \
    X(origin, "origin")                                                                            \
    X(parent, "parent")                                                                            \
    X(submodule_search_locations, "submodule_search_locations")                                    \
    X(dunder_loader, "__loader__")                                                                 \
    X(dunder_file, "__file__")                                                                     \
    X(dunder_package, "__package__")                                                               \
    X(dunder_path, "__path__")                                                                     \
    X(dunder_name, "__name__")                                                                     \
    X(dunder_builtins, "__builtins__")                                                             \
    X(dunder_test, "__test__")                                                                     \
    X(logging, "logging")                                                                          \
    X(datetime, "datetime")                                                                        \
    X(date, "date")                                                                                \
    X(import_module, "import_module")                                                              \
    X(ModuleType, "ModuleType")                                                                    \
    X(VersionManager, "VersionManager")                                                            \
    X(setter, "setter")                                                                            \
    X(now, "now")                                                                                  \
    X(items, "items")                                                                              \
    X(year, "year")                                                                                \
    X(month, "month")                                                                              \
    X(day, "day")                                                                                  \
    X(module, "module")                                                                            \
    X(versions, "versions")                                                                        \
    X(current, "current")                                                                          \
    X(get_module, "get_module")                                                                    \
    X(slot_module, "_VersionManager__module")                                                      \
    X(slot_versions, "_VersionManager__versions")                                                  \
    X(dunder_spec, "__spec__")                                                                     \
    X(initializing, "_initializing")                                                               \
    X(hash, "#")                                                                                   \
    X(dot, ".")                                                                                    \
    X(empty, "")

struct Strings {
#define QUORLIN_DECLARE(id, text) PyObject *id;
    QUORLIN_STRINGS(QUORLIN_DECLARE)
#undef QUORLIN_DECLARE
    // Keyword-name tuples of the calls the module makes.
    PyObject *kw_prefix;     // ("prefix",)
    PyObject *kw_name;       // ("name",)
    PyObject *kw_get_module; // ("module", "version", "current")
    PyObject *kw_sorted;     // ("key", "reverse")
};

// Everything here belongs to the interpreter that loaded the module, and is abandoned untouched
// once that interpreter has been finalised (see forget_state()).
struct State {
    int64_t interpreter = -1;     // the interpreter that loaded the module (record_interpreter())
    PyObject *module = nullptr;   // module whose exec step started; cleared when it fails
    PyObject *globals = nullptr;  // namespace that the members look their globals up in
    PyObject *builtins = nullptr; // the builtins module
    PyObject *property = nullptr; // builtins captured at load
    PyObject *staticmethod = nullptr;
    PyObject *sorted = nullptr;
    PyTypeObject *function_type = nullptr;
    PyObject *tracebacks = nullptr; // {(function name, line): code object}, see traceback.cpp
    bool strings_ready = false;
    Strings str{};
};

extern State g;

// Makes the interned strings and keyword tuples (once per process). -1 with an exception set on
// failure.
int init_strings() noexcept;

// Records the running interpreter, `id`, as the one that loads the module, and leaves a marker in
// its interpreter dict. The interpreter drops that dict as it is finalised (Py_FinalizeEx(),
// Py_EndInterpreter()), after the last of its modules, and the marker's destructor then only notes
// that the interpreter is finished. -1 with an exception set on failure.
int record_interpreter(int64_t id) noexcept;

// The interpreter recorded has been finalised: nothing the module holds may be touched any more.
bool interpreter_finished() noexcept;

// Drops everything `g` holds, without touching it (the objects were the finished interpreter's, and
// its memory may be gone), so that the module loads afresh into the next interpreter.
void forget_state() noexcept;

} // namespace quorlin
