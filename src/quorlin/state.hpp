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

struct State {
    int64_t interpreter = -1;     // first interpreter that ran the create step
    PyObject *module = nullptr;   // module whose exec step started; cleared when it fails
    PyObject *globals = nullptr;  // namespace that the members look their globals up in
    PyObject *builtins = nullptr; // the builtins module
    PyObject *property = nullptr; // builtins captured at load
    PyObject *staticmethod = nullptr;
    PyObject *sorted = nullptr;
    PyTypeObject *function_type = nullptr;
    bool strings_ready = false;
    Strings str{};
};

extern State g;

// Makes the interned strings and keyword tuples (once per process). -1 with an exception set on
// failure.
int init_strings() noexcept;

} // namespace quorlin
