// fast_import.cpp: the shortcut that trusts the import system (9 of fast_paths.hpp): a loaded
// module returned without calling import_module, and the answers remembered for it.
#include "compat.hpp"
#include "fast_shared.hpp"

#include <cstring>
#include <iterator>

namespace quorlin::fast {

namespace {

// A function of the import system and its version: the interpreter gives a function a nonzero
// version when it is made and sets it to zero for good when its __code__, __defaults__,
// __kwdefaults__ or call entry is replaced. Its own specialised calls trust the version the same
// way.
struct ImportFunction {
    PyObject *func = nullptr, *code = nullptr;
    uint32_t version = 0;
};

// funcs[]: import_module, then the functions of importlib._bootstrap on its path (compat.hpp).
constexpr int kBootstrapFunctions = static_cast<int>(std::size(compat::kBootstrapPath));
constexpr int kImportModule = 0, kGcdImport = 1, kFunctions = 1 + kBootstrapFunctions;
constexpr const char *kBuiltinNames[] = {"getattr", "isinstance", "str"};

// The import system as last recorded. Everything is borrowed from the watched dicts it was read
// from (sys.modules, the namespaces of importlib, importlib._bootstrap and sys, the builtins),
// which hold it while import_changes stays where it was; after any change the system is recorded
// afresh before anything here is used again. Nothing is held that the import system lets go.
struct ImportState {
    bool valid = false;           // recorded, and standard
    uint64_t checked_changes = 0; // import_changes when recorded
    unsigned int spec_tag = 0;    // ModuleSpec's version tag then
    PyObject *importlib = nullptr, *bootstrap = nullptr, *sys = nullptr, *module_spec = nullptr;
    PyObject *modules = nullptr; // sys.modules: the interpreter's own dict
    ImportFunction funcs[kFunctions];
    // The index of _initializing among ModuleSpec's shared keys, once found (see spec_ready()).
    Py_ssize_t initializing_index = -1;
};

// What every skipped call reads, side by side (copied from ImportState).
struct HotImport {
    PyFunctionObject *funcs[kFunctions] = {};
    uint32_t versions[kFunctions] = {};
    PyCodeObject *codes[kFunctions] = {};
    PyObject *bootstrap = nullptr, *sys = nullptr; // read by attribute on the way
};
HotImport hot;
ImportState is;

// dict[name] as a new reference (nullptr with or without an exception), replacing what `out` held
// (which something else holds too: dropping it runs no Python code).
int item(PyObject *dict, const char *name, Ref &out) noexcept {
    out = Ref();
    return PyDict_GetItemStringRef(dict, name, out.out());
}

bool exact_function(const Ref &obj) noexcept {
    return obj && Py_IS_TYPE(obj.get(), &PyFunction_Type);
}

bool exact_module(PyObject *obj) noexcept {
    return obj && Py_IS_TYPE(obj, &PyModule_Type);
}

// Watches `dict` and tells whether its keys are all exact str: 1 yes, 0 no, -1 with an exception
// set when it cannot be watched.
int watched_str_keyed(PyObject *dict) noexcept {
    if (PyDict_Watch(watcher, dict) < 0) return -1;
    return only_str_keys(dict) ? 1 : 0;
}

// Records the import system into `next` (whose checked_changes is set): valid when it is the
// standard one, every dict read watched. Runs no Python code: it looks names up only in dicts that
// hold exact str keys only, and drops only references to what those dicts hold. -1 with an
// exception set only for failures of the interpreter itself.
int record_import(ImportState &next) noexcept {
    // Each dict is watched before it is judged, so that a change of one found wanting (a key of
    // another type removed again) brings the next record.
    next.modules = PyImport_GetModuleDict();
    if (!PyDict_CheckExact(next.modules)) return 0;
    if (int rc = watched_str_keyed(next.modules); rc <= 0) return rc;
    Ref value;
    if (item(next.modules, "importlib", value) < 0) return -1;
    if (!exact_module(value.get())) return 0;
    next.importlib = value.get();
    PyObject *ns = PyModule_GetDict(next.importlib);
    if (int rc = watched_str_keyed(ns); rc <= 0) return rc;
    if (item(ns, "import_module", value) < 0) return -1;
    if (!exact_function(value)) return 0;
    next.funcs[kImportModule].func = value.get();
    if (item(ns, "_bootstrap", value) < 0) return -1;
    if (!exact_module(value.get())) return 0;
    next.bootstrap = value.get();
    PyObject *bns = PyModule_GetDict(next.bootstrap);
    if (int rc = watched_str_keyed(bns); rc <= 0) return rc;
    for (int i = 0; i < kBootstrapFunctions; i++) {
        if (item(bns, compat::kBootstrapPath[i], value) < 0) return -1;
        if (!exact_function(value)) return 0;
        next.funcs[kGcdImport + i].func = value.get();
    }
    if (item(bns, "sys", value) < 0) return -1;
    if (!exact_module(value.get())) return 0;
    next.sys = value.get();
    PyObject *sys_ns = PyModule_GetDict(next.sys);
    if (int rc = watched_str_keyed(sys_ns); rc <= 0) return rc;
    if (item(sys_ns, "modules", value) < 0) return -1;
    if (value.get() != next.modules) return 0;
    if (item(bns, "_NEEDS_LOADING", value) < 0) return -1;
    if (!value || !Py_IS_TYPE(value.get(), &PyBaseObject_Type)) return 0; // never a module
    if (item(bns, "ModuleSpec", value) < 0) return -1;
    // A class of Python's (its tp_dict is its namespace) whose attributes are looked up in that
    // namespace and object's alone, and live in a __dict__ that spec_ready() reads.
    if (!value || !PyType_Check(value.get())) return 0;
    next.module_spec = value.get();
    auto *spec = reinterpret_cast<PyTypeObject *>(next.module_spec);
    if (!(spec->tp_flags & Py_TPFLAGS_HEAPTYPE) || spec->tp_getattro != PyObject_GenericGetAttr ||
        spec->tp_dictoffset == 0 || PyTuple_GET_SIZE(spec->tp_mro) != 2 ||
        PyTuple_GET_ITEM(spec->tp_mro, 1) != reinterpret_cast<PyObject *>(&PyBaseObject_Type))
        return 0;
    if (int rc = watched_str_keyed(spec->tp_dict); rc <= 0) return rc;
    auto *f0 = reinterpret_cast<PyFunctionObject *>(next.funcs[kImportModule].func);
    PyObject *builtins = f0->func_builtins;
    if (!PyDict_CheckExact(builtins)) return 0;
    if (int rc = watched_str_keyed(builtins); rc <= 0) return rc;
    for (ImportFunction &f : next.funcs) {
        auto *fo = reinterpret_cast<PyFunctionObject *>(f.func);
        if (fo->func_builtins != builtins ||
            fo->func_globals != (&f == &next.funcs[kImportModule] ? ns : bns) ||
            !PyCode_Check(fo->func_code) || compat::function_version(fo) == 0 || fo->func_closure)
            return 0;
        f.code = fo->func_code;
        f.version = compat::function_version(fo);
    }
    for (const char *name : kBuiltinNames) {
        if (item(bns, name, value) < 0) return -1;
        if (value) return 0; // a module global would hide the builtin
        if (item(builtins, name, value) < 0) return -1;
        if (std::strcmp(name, "str") == 0
                ? value.get() != reinterpret_cast<PyObject *>(&PyUnicode_Type)
                : !own_builtin(value.get(), name))
            return 0; // the interpreter's own, which the call runs without Python code of its own
    }
    value = Ref(); // object has no _initializing; the namespace holds exact str keys only
    if (PyDict_GetItemRef(spec->tp_dict, g.str.initializing, value.out()) < 0) return -1;
    if (value) return 0; // a class attribute would answer for specs without their own
    next.spec_tag = PyUnstable_Type_AssignVersionTag(spec) ? spec->tp_version_tag : 0;
    next.valid = next.spec_tag != 0;
    return 0;
}

// Nothing changed since the import system was recorded (ModuleSpec read only then: unchanged, the
// dicts hold it).
bool import_checked_now() noexcept {
    return is.checked_changes == import_changes &&
           (!is.valid ||
            reinterpret_cast<PyTypeObject *>(is.module_spec)->tp_version_tag == is.spec_tag);
}

// Records the import system again after a change (see import_intact()).
[[gnu::noinline]] bool recheck_import() noexcept {
    if (!have_watcher()) return false;
    parked([] {
        ImportState next;
        next.checked_changes = import_changes;
        int rc = record_import(next);
        next.valid = next.valid && rc == 0;
        is = next; // ModuleSpec may be another class at the same address: its index is found again
        for (int i = 0; i < kFunctions; i++) {
            hot.funcs[i] = reinterpret_cast<PyFunctionObject *>(is.funcs[i].func);
            hot.versions[i] = is.funcs[i].version;
            hot.codes[i] = reinterpret_cast<PyCodeObject *>(is.funcs[i].code);
        }
        hot.bootstrap = is.bootstrap;
        hot.sys = is.sys;
        return rc;
    });
    return is.valid && import_checked_now();
}

// The import system is the standard one as recorded; recorded again once after any change.
bool import_intact() noexcept {
    if (import_checked_now()) [[likely]]
        return is.valid;
    return recheck_import();
}

// The instrumentation version at which every global monitoring event was last found off.
uint64_t quiet_version = UINT64_MAX;

// Every global monitoring event is off at instrumentation version `now`, read through the public
// monitoring scope (which fills the states only when given a version other than the current).
// The events are those with tools of their own on this version (compat.hpp); the others go with
// one of them.
[[gnu::noinline]] bool quiet_at(uint64_t now) noexcept {
    constexpr auto &events = compat::kGlobalEvents;
    constexpr auto n = static_cast<Py_ssize_t>(events.size());
    PyMonitoringState states[n];
    uint64_t version = UINT64_MAX; // never a version: the states are filled
    if (PyMonitoring_EnterScope(states, &version, events.data(), n) < 0) {
        PyErr_Clear();
        return false;
    }
    PyMonitoring_ExitScope();
    if (version != now) return false;
    for (const PyMonitoringState &state : states)
        if (state.active) return false;
    return true;
}

// No tool would see the call: no profile or trace function on this thread, no monitoring event
// set globally, none set locally on the import system's code. Global events are read again only
// when the interpreter's instrumentation version moves; a thread that runs carries that version in
// the high bits of its eval_breaker, which is what the interpreter itself compares before running
// code that may need instrumenting.
bool unobserved(PyThreadState *ts) noexcept {
    if (compat::profiled_or_traced(ts)) return false;
    uint64_t now = compat::instrumentation_version(ts);
    if (now != quiet_version) {
        if (!quiet_at(now)) return false;
        quiet_version = now;
    }
    // Local events live in the code's monitoring data, which most code never has.
    bool any_data = false;
    for (PyCodeObject *code : hot.codes)
        any_data |= compat::has_monitoring_data(code);
    if (!any_data) [[likely]]
        return true;
    for (PyCodeObject *code : hot.codes) {
        if (compat::has_monitoring_data(code) && compat::locally_monitored(code)) return false;
    }
    return true;
}

// The functions of the import path as recorded, and the modules read by attribute on the way
// (once import_intact() held, so that they are alive).
[[gnu::always_inline]] inline bool functions_unchanged() noexcept {
    for (int i = 0; i < kFunctions; i++)
        if (compat::function_version(hot.funcs[i]) != hot.versions[i]) return false;
    return Py_IS_TYPE(hot.bootstrap, &PyModule_Type) && Py_IS_TYPE(hot.sys, &PyModule_Type);
}

// This thread would run the call unobserved, with stack to spare.
[[gnu::always_inline]] inline bool thread_allows_skip() noexcept {
    PyThreadState *ts = PyThreadState_GetUnchecked(); // never NULL while a member runs
    return compat::stack_to_spare(ts, 4) && unobserved(ts);
}

// What holds of the call itself, whatever it is asked for: the standard function, unmodified, on
// the import system as recorded; nobody would see the call; it would not fail for want of stack.
[[gnu::noinline]] bool call_skippable() noexcept {
    return import_intact() && functions_unchanged() && thread_allows_skip();
}

// The import_module that get_module reads now is the standard function, remembered from the module
// namespace at the current globals_changes.
bool standard_global() noexcept {
    // The namespace holds what it remembers: dropping the reference runs no Python code.
    Ref value = Ref::steal(remembered_global(g.str.import_module));
    return value && value.get() == is.funcs[kImportModule].func;
}

// What a look-up found for a path, until any of the dicts it read changes: sys.modules (watched
// when checked) and the module's namespace (watched when remembered), both counted in
// import_changes. The module and its ModuleSpec are borrowed: sys.modules holds the one and the
// module's namespace the other for as long as neither changes, and they are used only then. The
// ModuleSpec's _initializing is read again at every use: an attribute store into an object whose
// attributes live inline reaches no dict watcher.
struct FoundModule {
    Ref path;
    PyObject *module = nullptr, *spec = nullptr;
    uint64_t changes = 0;
    // The get_module call that asked for the path, when the import_module it read was the one
    // remembered from the module namespace at globals_changes `globals` (see known_submodule()).
    Ref package, version, current;
    uint64_t globals = 0;
};
struct FoundModules {
    FoundModule entries[4];
    unsigned int next = 0;
};
Forever<FoundModules> found_modules;
FoundModules &found = found_modules.get();

// spec_ready() for a spec whose attributes live in a dict of their own (or on an interpreter whose
// inline values are not read): the dict is read only while it holds exact str keys.
[[gnu::noinline]] int spec_ready_in_dict(PyObject *spec) noexcept {
    Ref attrs = Ref::steal(PyObject_GenericGetDict(spec, nullptr));
    if (!attrs) return -1;
    if (!PyDict_CheckExact(attrs.get()) || !only_str_keys(attrs.get())) return 0;
    Ref initializing;
    if (PyDict_GetItemRef(attrs.get(), g.str.initializing, initializing.out()) < 0) return -1;
    return !initializing || initializing.get() == Py_False;
}

// getattr(spec, "_initializing", False) is False, read as importlib reads it, for a spec that is
// None or of the class as recorded, whose attribute reads the last check of the import system found
// to come down to the instance's own attributes: 1 yes, 0 no or unknown (make the call), -1 with an
// exception set for failures of the interpreter itself. Runs no Python code.
[[gnu::always_inline]] inline int spec_ready(PyObject *spec) noexcept {
    if (spec == Py_None) return 1;
    auto *type = reinterpret_cast<PyTypeObject *>(is.module_spec);
    if (Py_TYPE(spec) != type) return 0;
    if (is.initializing_index < 0) [[unlikely]]
        is.initializing_index = kEnabled ? compat::shared_key_index(type, g.str.initializing) : -1;
    PyObject *value = nullptr;
    if (is.initializing_index >= 0 && compat::inline_attribute(spec, is.initializing_index, value))
        [[likely]]
        return !value || value == Py_False; // read where the interpreter itself reads it
    return spec_ready_in_dict(spec);
}

} // namespace

int remember_import_system() noexcept {
    if (!kEnabled || !have_watcher()) return 0;
    is.checked_changes = import_changes - 1; // recorded at the first use
    return 0;
}

namespace {

// loaded_module() once the call itself may be skipped.
[[gnu::noinline]] int look_up_loaded(PyObject *path, PyObject **module, const Call *call) noexcept {
    // An absolute name whose module is loaded: sys.modules.get(name), then
    // getattr(getattr(module, "__spec__", None), "_initializing", False), as importlib reads them,
    // for a module and spec whose classes run no Python code on those reads and dicts of exact str
    // keys; or what the first two reads found before, while neither dict they read has changed.
    if (PyUnicode_GET_LENGTH(path) == 0 || PyUnicode_READ_CHAR(path, 0) == '.') return 0;
    for (const FoundModule &f : found.entries) {
        if (f.path.get() != path || f.changes != import_changes) continue;
        if (!exact_module(f.module)) return 0;
        int ready = spec_ready(f.spec);
        if (ready <= 0) return ready;
        *module = Py_NewRef(f.module);
        return 1;
    }
    uint64_t changes = import_changes;
    if (!only_str_keys(is.modules)) return 0;
    Ref loaded;
    if (PyDict_GetItemRef(is.modules, path, loaded.out()) < 0) return -1;
    if (!exact_module(loaded.get())) return 0; // missing, None, or a class of its own
    PyObject *ns = PyModule_GetDict(loaded.get());
    if (!only_str_keys(ns)) return 0;
    Ref spec;
    int has = PyDict_GetItemRef(ns, g.str.dunder_spec, spec.out());
    if (has <= 0) return has; // without __spec__, the module's __getattr__ would be asked
    int ready = spec_ready(spec.get());
    if (ready <= 0) return ready;
    // Nothing above ran Python code: remember the answer, if the module's namespace can be watched
    // (sys.modules is). This module's own namespace counts its changes apart: never remembered.
    if (changes == import_changes && ns != g.globals) {
        if (PyDict_Watch(watcher, ns) == 0) {
            FoundModule &f = found.entries[found.next++ % 4];
            f = FoundModule{}; // what it held are exact str objects: dropping them runs no code
            f.path = Ref::borrow(path);
            f.module = loaded.get();
            f.spec = spec.get();
            f.changes = changes;
            if (call && standard_global()) {
                f.package = Ref::borrow(call->package);
                f.version = Ref::borrow(call->version);
                f.current = Ref::borrow(call->current);
                f.globals = globals_changes;
            }
        } else {
            PyErr_Clear(); // not remembered: the answer stands all the same
        }
    }
    *module = loaded.release();
    return 1;
}

} // namespace

int loaded_module(PyObject *import_module, PyObject *path, PyObject **module,
                  const Call *call) noexcept {
    // Another function than the one recorded, while the record is current: the call is made.
    if (import_module != is.funcs[kImportModule].func && import_checked_now()) return 0;
    if (!call_skippable() || import_module != is.funcs[kImportModule].func) return 0;
    return look_up_loaded(path, module, call);
}

PyObject *known_submodule(PyObject *package, PyObject *version, PyObject *current) noexcept {
    for (const FoundModule &f : found.entries) {
        if (f.package.get() != package || f.version.get() != version || f.current.get() != current)
            continue;
        // call_skippable() held when the answer was remembered, at this count of changes: with the
        // count unchanged, the import system needs no new check (a ModuleSpec tag that moved sends
        // the call down the plain path, which checks it again), so nothing here runs Python code.
        if (f.changes != import_changes || f.globals != globals_changes || !is.valid ||
            !import_checked_now() || !functions_unchanged() || !thread_allows_skip() ||
            !exact_module(f.module))
            return nullptr;
        int ready = spec_ready(f.spec);
        if (ready < 0) PyErr_Clear(); // the plain path meets the failure again
        return ready > 0 ? Py_NewRef(f.module) : nullptr;
    }
    return nullptr;
}

void forget_import() noexcept {
    is = ImportState{};
    hot = HotImport{};
    found_modules.forget();
    quiet_version = UINT64_MAX; // a new interpreter counts its versions afresh
}

} // namespace quorlin::fast
