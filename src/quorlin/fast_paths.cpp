// fast_paths.cpp: the conditions of the shortcuts (see fast_paths.hpp) and what they remember.
#include "fast_paths.hpp"

#include "compat.hpp"
#include "function.hpp"
#include "members.hpp"
#include "state.hpp"

#include <datetime.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

namespace quorlin::fast {

namespace {

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

#ifdef QUORLIN_NO_FAST_PATHS
constexpr bool kEnabled = false;
#else
constexpr bool kEnabled = true;
#endif

// ---------------------------------------------------------------------------------------------
// Interpreter internals, each read only on the versions whose headers it was checked against;
// elsewhere the accessor answers so that the shortcuts needing it are not taken.

#if QUORLIN_CHECKED_INTERNALS // the versions of compat.hpp
// The dict keys object and dict values of CPython 3.13 to 3.15 (Include/internal/pycore_dict.h, the
// same on all three). An object's inline values follow its basic size there (3.13 puts them after
// the object header, which is the basic size of every type shared_key_index() accepts).
struct DictKeys {
    Py_ssize_t refcnt;
    uint8_t log2_size, log2_index_bytes, kind;
    uint32_t version;
    Py_ssize_t usable, nentries;
    char indices[]; // 1 << log2_index_bytes bytes, then the entries
};
struct DictUnicodeEntry {
    PyObject *key, *value;
};
struct DictValues {
    uint8_t capacity, size, embedded, valid;
    PyObject *values[1];
};
constexpr uint8_t kDictKeysGeneral = 0; // DICT_KEYS_GENERAL; unicode and split keys are exact str

// Every key of `dict` is an exact str (what the interpreter's own global-variable specialisation
// requires, DK_IS_UNICODE): a look-up with an exact str compares strings and runs no Python code.
// A key of any other type turns the keys general, until the dict is emptied.
bool only_str_keys(PyObject *dict) noexcept {
    if (!kEnabled) return false;
    auto *keys = reinterpret_cast<DictKeys *>(reinterpret_cast<PyDictObject *>(dict)->ma_keys);
    return keys->kind != kDictKeysGeneral;
}

// The index of the exact str `name` among the keys that the instances of the heap type `type`
// share (append-only: an index once found stays), or -1.
Py_ssize_t shared_key_index(PyTypeObject *type, PyObject *name) noexcept {
    if (!kEnabled || !(type->tp_flags & Py_TPFLAGS_INLINE_VALUES) ||
        type->tp_basicsize != sizeof(PyObject))
        return -1;
    auto *keys =
        reinterpret_cast<DictKeys *>(reinterpret_cast<PyHeapTypeObject *>(type)->ht_cached_keys);
    if (!keys || keys->kind == kDictKeysGeneral) return -1;
    auto *entries =
        reinterpret_cast<DictUnicodeEntry *>(keys->indices + (size_t{1} << keys->log2_index_bytes));
    for (Py_ssize_t i = 0; i < keys->nentries; i++)
        if (entries[i].key == name) return i; // attribute names are interned
    return -1;
}

// The attribute at shared-key index `ix` of `obj`, an instance of a type for which
// shared_key_index() found it, as its inline values hold it: true with `*value` borrowed (nullptr
// when unset) while those values are the object's attributes (its __dict__, if made, is a view of
// them); false when its attributes live in a dict of their own.
bool inline_attribute(PyObject *obj, Py_ssize_t ix, PyObject *&value) noexcept {
    auto *values = reinterpret_cast<DictValues *>(reinterpret_cast<char *>(obj) + sizeof(PyObject));
    if (!values->valid || ix >= values->capacity) return false;
    value = values->values[ix];
    return true;
}

// Moves the items of the list `from` into the new empty list `to`, which then reports the
// capacity of the copy that sorted() makes (list_preallocate_exact(): the length rounded up to
// even), never more than the items' array has.
bool move_items(PyObject *from, PyObject *to) noexcept {
    if (!kEnabled) return false;
    auto *a = reinterpret_cast<PyListObject *>(from), *b = reinterpret_cast<PyListObject *>(to);
    Py_ssize_t n = Py_SIZE(a);
    b->ob_item = std::exchange(a->ob_item, nullptr);
    b->allocated = std::min(a->allocated, n + n % 2);
    Py_SET_SIZE(b, n);
    a->allocated = 0;
    Py_SET_SIZE(a, 0);
    return true;
}
#else
bool only_str_keys(PyObject *) noexcept {
    return false;
}
Py_ssize_t shared_key_index(PyTypeObject *, PyObject *) noexcept {
    return -1;
}
bool inline_attribute(PyObject *, Py_ssize_t, PyObject *&) noexcept {
    return false;
}
bool move_items(PyObject *, PyObject *) noexcept {
    return false;
}
#endif

// ---------------------------------------------------------------------------------------------
// The watcher: one ID for every dict watched, one change counter per dict.

int watcher = -1;
uint64_t globals_changes = 0;
uint64_t class_changes = 0;
uint64_t import_changes = 0;
PyObject *class_dict = nullptr; // the class namespace, once watched

void class_gone() noexcept;

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

// Takes a watcher ID on first use. False, with no exception, when the interpreter has none left.
bool have_watcher() noexcept {
    if (watcher >= 0) return true;
    if (!kEnabled) return false;
    watcher = PyDict_AddWatcher(on_dict_event);
    if (watcher < 0) PyErr_Clear(); // "no more dict watcher IDs available"
    return watcher >= 0;
}

// Runs `check` (0, or -1 with an exception set when the interpreter itself failed) with any
// pending exception parked: a check never disturbs one, and a failure only means the shortcut is
// not taken.
template <class Check> void parked(const Check &check) noexcept {
    PyObject *exc = PyErr_GetRaisedException();
    if (check() < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

// ---------------------------------------------------------------------------------------------
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

// ---------------------------------------------------------------------------------------------
// 2-4. The class as assembled.

// The class and its own descriptors, borrowed: the class until its namespace goes (class_gone()),
// the descriptors from that namespace, which holds them while it is unchanged (and they are used
// only then). Nothing is held that the module namespace would let go. A namespace that something
// else keeps may outlive the class: the class is read only once an object proves a type alive at
// its address (an instance's type, a class in hand), and one made there since has a namespace
// of its own.
struct ClassState {
    PyObject *cls = nullptr; // the class as assembled, while it lives
    bool valid = false;      // the last check found it as assembled
    uint64_t checked_changes = 0;
    unsigned int checked_tag = 0;
    Py_ssize_t offsets[2] = {0, 0}; // by Slot
    PyObject *props[3] = {};        // by Prop (property objects)
    PyObject *get_module = nullptr; // the static method
};
ClassState cs;

void class_gone() noexcept {
    cs = ClassState{};
    class_dict = nullptr;
}

// By Prop: the rows of the functions assembled into each property.
constexpr const FunctionSpec *kGetters[] = {&kModuleGet, &kVersionsGet, &kCurrent};
constexpr const FunctionSpec *kSetters[] = {&kModuleSet, &kVersionsSet, nullptr};

// obj.<attr> as an owned reference, None read as nothing.
int read_attr(PyObject *obj, const char *attr, Ref &out) noexcept {
    out = Ref::steal(PyObject_GetAttrString(obj, attr));
    if (!out) return -1;
    if (out.get() == Py_None) out = Ref();
    return 0;
}

// The class namespace's entry `name`, if it is exactly of `type`.
int entry_of_type(PyTypeObject *cls, PyObject *name, PyTypeObject *type, Ref &out) noexcept {
    if (PyDict_GetItemRef(cls->tp_dict, name, out.out()) < 0) return -1;
    if (out && !Py_IS_TYPE(out.get(), type)) out = Ref();
    return 0;
}

// Fills `next` (whose cls is set) from the class namespace. Runs no Python code: it reads a dict
// of exact str keys, properties, static methods and member descriptors, and drops nothing but
// references it took to what the namespace holds. -1 with an exception set only for failures of
// the interpreter itself.
int check_class(ClassState &next) noexcept {
    auto *type = reinterpret_cast<PyTypeObject *>(next.cls);
    next.checked_changes = class_changes;
    next.checked_tag = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
    // Attribute access hooks (__getattribute__, __getattr__, __setattr__, __delattr__) replace
    // these slots: every read and write then goes through them.
    if (next.checked_tag == 0 || !only_str_keys(type->tp_dict) ||
        type->tp_getattro != PyObject_GenericGetAttr ||
        type->tp_setattro != PyObject_GenericSetAttr)
        return 0;
    PyObject *slot_names[] = {g.str.slot_module, g.str.slot_versions};
    for (int i = 0; i < 2; i++) {
        Ref descr;
        if (entry_of_type(type, slot_names[i], &PyMemberDescr_Type, descr) < 0) return -1;
        if (!descr) return 0;
        auto *member_descr = reinterpret_cast<PyMemberDescrObject *>(descr.get());
        PyMemberDef *member = member_descr->d_member;
        // Another class's slot (its offset means nothing here) reads as a TypeError.
        if (member_descr->d_common.d_type != type || member->type != Py_T_OBJECT_EX) return 0;
        next.offsets[i] = member->offset;
    }
    PyObject *prop_names[] = {g.str.module, g.str.versions, g.str.current};
    for (int i = 0; i < 3; i++) {
        Ref prop, get, set;
        if (entry_of_type(type, prop_names[i], &PyProperty_Type, prop) < 0) return -1;
        if (!prop) return 0;
        if (read_attr(prop.get(), "fget", get) < 0 || read_attr(prop.get(), "fset", set) < 0)
            return -1;
        // The layout read (compat.hpp) confirmed against the public attributes.
        if (compat::property_getter(prop.get()) != get.get() ||
            compat::property_setter(prop.get()) != set.get() || !get ||
            spec_of(get.get()) != kGetters[i] ||
            (set ? spec_of(set.get()) : nullptr) != kSetters[i])
            return 0;
        next.props[i] = prop.get();
    }
    Ref method, func;
    if (entry_of_type(type, g.str.get_module, &PyStaticMethod_Type, method) < 0) return -1;
    if (method) {
        if (read_attr(method.get(), "__func__", func) < 0) return -1;
        if (func && compat::static_method_callable(method.get()) == func.get() &&
            spec_of(func.get()) == &kGetModule)
            next.get_module = method.get();
    }
    next.valid = true;
    return 0;
}

bool checked_now() noexcept {
    return cs.checked_changes == class_changes &&
           reinterpret_cast<PyTypeObject *>(cs.cls)->tp_version_tag == cs.checked_tag;
}

// Checks the class again after a change (see class_intact()).
[[gnu::noinline]] bool recheck_class() noexcept {
    if (!cs.cls) return false;
    if (reinterpret_cast<PyTypeObject *>(cs.cls)->tp_dict != class_dict) {
        class_gone(); // another class where it was
        return false;
    }
    parked([] {
        ClassState next;
        next.cls = cs.cls;
        int rc = check_class(next);
        next.valid = next.valid && rc == 0;
        std::swap(cs, next);
        return rc;
    }); // nothing held, nothing dropped
    return cs.valid && checked_now();
}

// The class holds what it held when last checked; checked again once after any change.
bool class_intact() noexcept {
    if (cs.cls && checked_now()) [[likely]]
        return cs.valid;
    return recheck_class();
}

bool instance_intact(PyObject *self) noexcept {
    return reinterpret_cast<PyObject *>(Py_TYPE(self)) == cs.cls && class_intact();
}

PyObject *slot_value(PyObject *self, Slot slot) noexcept {
    Py_ssize_t offset = cs.offsets[static_cast<int>(slot)];
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + offset);
}

// The property still runs the getter assembled into it (once the class is intact): a function of
// this module with the getter's row, which behaves as that row says whatever object it is.
bool getter_in_force(Prop prop) noexcept {
    int i = static_cast<int>(prop);
    return spec_of(compat::property_getter(cs.props[i])) == kGetters[i];
}

bool setter_in_force(Prop prop) noexcept {
    int i = static_cast<int>(prop);
    PyObject *set = compat::property_setter(cs.props[i]);
    return set && kSetters[i] && spec_of(set) == kSetters[i];
}

// The static method still wraps the function assembled into it (once the class is intact).
bool static_method_in_force() noexcept {
    return cs.get_module && spec_of(compat::static_method_callable(cs.get_module)) == &kGetModule;
}

bool datetime_api() noexcept {
    return kEnabled && PyDateTimeAPI != nullptr;
}

// ---------------------------------------------------------------------------------------------
// 9. The import system as loaded.

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

// `value` is the builtins module's own function `name`.
bool own_builtin(PyObject *value, const char *name) noexcept {
    return value && PyCFunction_Check(value) && PyCFunction_GET_SELF(value) == g.builtins &&
           std::strcmp(reinterpret_cast<PyCFunctionObject *>(value)->m_ml->ml_name, name) == 0;
}

bool exact_function(const Ref &obj) noexcept {
    return obj && Py_IS_TYPE(obj.get(), &PyFunction_Type);
}

bool exact_module(PyObject *obj) noexcept {
    return obj && Py_IS_TYPE(obj, &PyModule_Type);
}

// Watches `dict` (false with an exception set when it cannot be) and tells whether its keys are
// all exact str (false without an exception when not).
bool watched_str_keyed(PyObject *dict) noexcept {
    return PyDict_Watch(watcher, dict) == 0 && only_str_keys(dict);
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
    if (!watched_str_keyed(next.modules)) return PyErr_Occurred() ? -1 : 0;
    Ref value;
    if (item(next.modules, "importlib", value) < 0) return -1;
    if (!exact_module(value.get())) return 0;
    next.importlib = value.get();
    PyObject *ns = PyModule_GetDict(next.importlib);
    if (!watched_str_keyed(ns)) return PyErr_Occurred() ? -1 : 0;
    if (item(ns, "import_module", value) < 0) return -1;
    if (!exact_function(value)) return 0;
    next.funcs[kImportModule].func = value.get();
    if (item(ns, "_bootstrap", value) < 0) return -1;
    if (!exact_module(value.get())) return 0;
    next.bootstrap = value.get();
    PyObject *bns = PyModule_GetDict(next.bootstrap);
    if (!watched_str_keyed(bns)) return PyErr_Occurred() ? -1 : 0;
    for (int i = 0; i < kBootstrapFunctions; i++) {
        if (item(bns, compat::kBootstrapPath[i], value) < 0) return -1;
        if (!exact_function(value)) return 0;
        next.funcs[kGcdImport + i].func = value.get();
    }
    if (item(bns, "sys", value) < 0) return -1;
    if (!exact_module(value.get())) return 0;
    next.sys = value.get();
    PyObject *sys_ns = PyModule_GetDict(next.sys);
    if (!watched_str_keyed(sys_ns)) return PyErr_Occurred() ? -1 : 0;
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
    if (!watched_str_keyed(spec->tp_dict)) return PyErr_Occurred() ? -1 : 0;
    auto *f0 = reinterpret_cast<PyFunctionObject *>(next.funcs[kImportModule].func);
    PyObject *builtins = f0->func_builtins;
    if (!PyDict_CheckExact(builtins) || !watched_str_keyed(builtins))
        return PyErr_Occurred() ? -1 : 0;
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
    const Remembered *r = globals_watched ? entry_for(g.str.import_module) : nullptr;
    return r && r->name == g.str.import_module && r->changes == globals_changes &&
           r->value == is.funcs[kImportModule].func;
}

// What a look-up found for a path, until any of the dicts it read changes: sys.modules (watched
// when checked) and the module's namespace (watched when remembered), both counted in
// import_changes. The module and its spec are borrowed: sys.modules holds the one and the module's
// namespace the other for as long as neither changes, and they are used only then. The spec's
// _initializing is read again at every use: an attribute store into an object whose attributes
// live inline reaches no dict watcher.
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
        is.initializing_index = shared_key_index(type, g.str.initializing);
    PyObject *value = nullptr;
    if (is.initializing_index >= 0 && inline_attribute(spec, is.initializing_index, value))
        [[likely]]
        return !value || value == Py_False; // read where the interpreter itself reads it
    return spec_ready_in_dict(spec);
}

// ---------------------------------------------------------------------------------------------
// 10. Versioned module paths made before.

struct KeptPath {
    Ref module, version, path;
};
struct KeptPaths {
    KeptPath entries[4];
    unsigned int next = 0;
};
Forever<KeptPaths> kept_paths;
KeptPaths &kept = kept_paths.get();

} // namespace

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

int remember_class(PyObject *cls) noexcept {
    cs = ClassState{};
    if (!have_watcher()) return 0;
    class_dict = reinterpret_cast<PyTypeObject *>(cls)->tp_dict;
    if (PyDict_Watch(watcher, class_dict) < 0) return -1;
    ClassState next;
    next.cls = cls;
    if (check_class(next) < 0) return -1;
    cs = next;
    return 0;
}

PyObject *intact_slot(PyObject *self, Slot slot) noexcept {
    return instance_intact(self) ? slot_value(self, slot) : nullptr;
}

bool own_getter(PyObject *self, Prop prop) noexcept {
    return instance_intact(self) && getter_in_force(prop);
}

PyObject *own_slot_value(PyObject *self, Slot slot) noexcept {
    if (!own_getter(self, slot == Slot::module ? Prop::module : Prop::versions)) return nullptr;
    return slot_value(self, slot);
}

bool own_setter(PyObject *self, Prop prop) noexcept {
    return instance_intact(self) && setter_in_force(prop);
}

bool own_get_module(PyObject *cls) noexcept {
    return cls == cs.cls && Py_IS_TYPE(cls, &PyType_Type) && class_intact() &&
           static_method_in_force();
}

PyObject *own_delegation(PyObject *self, PyObject *cls) noexcept {
    if (cls != cs.cls || !instance_intact(self) || !static_method_in_force() ||
        !getter_in_force(Prop::module))
        return nullptr;
    PyObject *module = slot_value(self, Slot::module);
    return module && PyUnicode_CheckExact(module) ? module : nullptr;
}

// 11. datetime.now's method definition, when the class's `now` is a classmethod with the fast
// calling convention. Its function is read at every call: clock-freezing tools swap it.
PyMethodDef *datetime_now = nullptr;

void load_datetime_api() noexcept {
    if (PyDateTimeAPI) return;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) {
        PyErr_Clear();
        return;
    }
    Ref dict = Ref::steal(PyType_GetDict(PyDateTimeAPI->DateTimeType));
    Ref now;
    if (!dict || PyDict_GetItemStringRef(dict.get(), "now", now.out()) < 0) {
        PyErr_Clear();
        return;
    }
    if (!now || !Py_IS_TYPE(now.get(), &PyClassMethodDescr_Type)) return;
    PyMethodDef *def = reinterpret_cast<PyMethodDescrObject *>(now.get())->d_method;
    constexpr auto kFlags = static_cast<unsigned>(METH_FASTCALL | METH_KEYWORDS | METH_CLASS);
    constexpr auto kOthers =
        static_cast<unsigned>(METH_VARARGS | METH_NOARGS | METH_O | METH_METHOD);
    if ((static_cast<unsigned>(def->ml_flags) & (kFlags | kOthers)) == kFlags) datetime_now = def;
}

PyObject *native_now(PyObject *clock, bool &taken) noexcept {
    taken = datetime_api() && datetime_now &&
            clock == reinterpret_cast<PyObject *>(PyDateTimeAPI->DateTimeType) &&
            (PyDateTimeAPI->DateTimeType->tp_flags & Py_TPFLAGS_IMMUTABLETYPE);
    if (!taken) return nullptr;
    // What calling the bound classmethod runs, recursion check included.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    auto meth = reinterpret_cast<PyCFunctionFastWithKeywords>(
        reinterpret_cast<void (*)()>(datetime_now->ml_meth));
    PyObject *now = meth(clock, nullptr, 0, nullptr);
    Py_LeaveRecursiveCall();
    return now;
}

PyObject *midnight(PyObject *date) noexcept {
    return PyDateTime_FromDateAndTime(PyDateTime_GET_YEAR(date), PyDateTime_GET_MONTH(date),
                                      PyDateTime_GET_DAY(date), 0, 0, 0, 0);
}

bool native_dates(PyObject *date, PyObject *datetime) noexcept {
    return datetime_api() && date == reinterpret_cast<PyObject *>(PyDateTimeAPI->DateType) &&
           datetime == reinterpret_cast<PyObject *>(PyDateTimeAPI->DateTimeType);
}

bool naive_datetime(PyObject *value) noexcept {
    return datetime_api() && Py_IS_TYPE(value, PyDateTimeAPI->DateTimeType) &&
           !reinterpret_cast<PyDateTime_DateTime *>(value)->hastzinfo;
}

bool native_sort(PyObject *table) noexcept {
    if (!kEnabled || !own_builtin(g.sorted, "sorted")) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(table); i++) {
        PyObject *entry = PyList_GET_ITEM(table, i);
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2 ||
            !naive_datetime(PyTuple_GET_ITEM(entry, 1)))
            return false;
    }
    return true;
}

PyObject *new_table(PyObject *table) noexcept {
    // sorted() returns a new list, made while the table lives: another identity. Where nothing
    // else holds the table (Python code run while it was built may have found it through gc and
    // kept it), its items move into the new list rather than being copied.
    if (Py_REFCNT(table) != 1) return PySequence_List(table);
    PyObject *list = PyList_New(0);
    if (list && !move_items(table, list)) Py_SETREF(list, PySequence_List(table));
    return list;
}

bool tuple_key(PyObject *item) noexcept {
    return kEnabled && PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) > 1;
}

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

PyObject *reused_path(PyObject *module, PyObject *version) noexcept {
    if (!kEnabled) return nullptr;
    for (const KeptPath &k : kept.entries)
        if (k.module.get() == module && k.version.get() == version) return Py_NewRef(k.path.get());
    return nullptr;
}

void keep_path(PyObject *module, PyObject *version, PyObject *path) noexcept {
    if (!kEnabled) return;
    // Exact str objects: dropping the one replaced runs no Python code.
    kept.entries[kept.next++ % 4] = {Ref::borrow(module), Ref::borrow(version), Ref::borrow(path)};
}

bool same_keywords(PyObject *seen, PyObject *kwnames) noexcept {
    return kEnabled && seen == kwnames;
}

void keep_keywords(PyObject *&seen, PyObject *kwnames) noexcept {
    // A tuple of str: dropping the one replaced runs no Python code.
    if (kEnabled) Py_XSETREF(seen, Py_NewRef(kwnames));
}

void forget() noexcept {
    watcher = -1; // watcher IDs are the interpreter's
    globals_watched = false;
    for (Remembered &r : remembered)
        r = {};
    class_dict = nullptr;
    cs = ClassState{};
    is = ImportState{};
    hot = HotImport{};
    found_modules.forget();
    kept_paths.forget();
    quiet_version = UINT64_MAX; // a new interpreter counts its versions afresh
    PyDateTimeAPI = nullptr;
    datetime_now = nullptr;
}

} // namespace quorlin::fast
