// fast_paths.cpp: the conditions of the shortcuts (see fast_paths.hpp) and what they remember.
#include "fast_paths.hpp"

#include "function.hpp"
#include "members.hpp"
#include "state.hpp"

#include <datetime.h>

#include <cstdint>
#include <cstring>
#include <utility>

namespace quorlin::fast {

namespace {

#ifdef QUORLIN_NO_FAST_PATHS
constexpr bool kEnabled = false;
#else
constexpr bool kEnabled = true;
#endif

// ---------------------------------------------------------------------------------------------
// The watcher: one ID for every dict watched, one change counter per dict.

int watcher = -1;
uint64_t globals_changes = 0;
uint64_t class_changes = 0;

int on_dict_event(PyDict_WatchEvent, PyObject *dict, PyObject *, PyObject *) noexcept {
    if (dict == g.globals)
        globals_changes++;
    else
        class_changes++;
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

// CPython 3.13's property and staticmethod objects (their layouts are not in the public headers).
// check_class() confirms both against the objects' public attributes before trusting them.
struct PropertyLayout {
    PyObject_HEAD PyObject *get;
    PyObject *set;
};
struct StaticMethodLayout {
    PyObject_HEAD PyObject *callable;
};

struct OwnProperty {
    Ref prop, get, set; // held, so that identity tests never meet a reused address
};

struct ClassState {
    Ref cls;            // the class as assembled (held for the life of the process)
    bool valid = false; // the last check found it as assembled
    uint64_t checked_changes = 0;
    unsigned int checked_tag = 0;
    Py_ssize_t offsets[2] = {0, 0}; // by Slot
    OwnProperty props[3];           // by Prop
    Ref get_module, get_module_func;
};
ClassState cs;

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

// Fills `next` (whose cls is set) from the class namespace. Runs no Python code: it reads exact
// dicts, properties, static methods and member descriptors, and drops nothing but what it made.
// -1 with an exception set only for failures of the interpreter itself.
int check_class(ClassState &next) noexcept {
    auto *type = reinterpret_cast<PyTypeObject *>(next.cls.get());
    next.checked_changes = class_changes;
    next.checked_tag = PyUnstable_Type_AssignVersionTag(type) ? type->tp_version_tag : 0;
    if (next.checked_tag == 0) return 0;
    PyObject *slot_names[] = {g.str.slot_module, g.str.slot_versions};
    for (int i = 0; i < 2; i++) {
        Ref descr;
        if (entry_of_type(type, slot_names[i], &PyMemberDescr_Type, descr) < 0) return -1;
        if (!descr) return 0;
        PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descr.get())->d_member;
        if (member->type != Py_T_OBJECT_EX) return 0;
        next.offsets[i] = member->offset;
    }
    PyObject *prop_names[] = {g.str.module, g.str.versions, g.str.current};
    const FunctionSpec *getters[] = {&kModuleGet, &kVersionsGet, &kCurrent};
    const FunctionSpec *setters[] = {&kModuleSet, &kVersionsSet, nullptr};
    for (int i = 0; i < 3; i++) {
        OwnProperty &p = next.props[i];
        if (entry_of_type(type, prop_names[i], &PyProperty_Type, p.prop) < 0) return -1;
        if (!p.prop) return 0;
        if (read_attr(p.prop.get(), "fget", p.get) < 0 ||
            read_attr(p.prop.get(), "fset", p.set) < 0)
            return -1;
        auto *layout = reinterpret_cast<PropertyLayout *>(p.prop.get());
        if (layout->get != p.get.get() || layout->set != p.set.get() || !p.get ||
            spec_of(p.get.get()) != getters[i] ||
            (p.set ? spec_of(p.set.get()) : nullptr) != setters[i])
            return 0;
    }
    Ref method, func;
    if (entry_of_type(type, g.str.get_module, &PyStaticMethod_Type, method) < 0) return -1;
    if (method) {
        if (read_attr(method.get(), "__func__", func) < 0) return -1;
        if (func && reinterpret_cast<StaticMethodLayout *>(method.get())->callable == func.get() &&
            spec_of(func.get()) == &kGetModule) {
            next.get_module = std::move(method);
            next.get_module_func = std::move(func);
        }
    }
    next.valid = true;
    return 0;
}

bool checked_now() noexcept {
    return cs.checked_changes == class_changes &&
           reinterpret_cast<PyTypeObject *>(cs.cls.get())->tp_version_tag == cs.checked_tag;
}

// The class holds what it held when last checked; checked again once after any change.
bool class_intact() noexcept {
    if (!cs.cls) return false;
    if (checked_now()) return cs.valid;
    PyObject *exc = PyErr_GetRaisedException(); // a check never disturbs a pending error
    {
        ClassState next;
        next.cls = Ref::borrow(cs.cls.get());
        if (check_class(next) < 0) {
            PyErr_Clear();
            next.valid = false;
        }
        std::swap(cs, next);
    } // CAUTION: what the previous check held is dropped here, which may run Python code ...
    PyErr_SetRaisedException(exc);
    return cs.valid && checked_now(); // ... so the answer holds only if nothing changed meanwhile
}

bool instance_intact(PyObject *self) noexcept {
    return class_intact() && reinterpret_cast<PyObject *>(Py_TYPE(self)) == cs.cls.get();
}

PyObject *slot_value(PyObject *self, Slot slot) noexcept {
    Py_ssize_t offset = cs.offsets[static_cast<int>(slot)];
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + offset);
}

const OwnProperty &own(Prop prop) noexcept {
    return cs.props[static_cast<int>(prop)];
}

bool datetime_api() noexcept {
    return kEnabled && PyDateTimeAPI != nullptr;
}

} // namespace

int watch_globals(PyObject *globals) noexcept {
    globals_changes++;
    if (!have_watcher()) return 0;
    if (PyDict_Watch(watcher, globals) < 0) return -1;
    globals_watched = true;
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
    ClassState next;
    if (have_watcher()) {
        if (PyDict_Watch(watcher, reinterpret_cast<PyTypeObject *>(cls)->tp_dict) < 0) return -1;
        next.cls = Ref::borrow(cls);
        if (check_class(next) < 0) return -1;
    }
    std::swap(cs, next);
    return 0;
}

PyObject *intact_slot(PyObject *self, Slot slot) noexcept {
    return instance_intact(self) ? slot_value(self, slot) : nullptr;
}

bool own_getter(PyObject *self, Prop prop) noexcept {
    if (!instance_intact(self)) return false;
    const OwnProperty &p = own(prop);
    return reinterpret_cast<PropertyLayout *>(p.prop.get())->get == p.get.get();
}

PyObject *own_slot_value(PyObject *self, Slot slot) noexcept {
    if (!own_getter(self, slot == Slot::module ? Prop::module : Prop::versions)) return nullptr;
    return slot_value(self, slot);
}

bool own_setter(PyObject *self, Prop prop) noexcept {
    if (!instance_intact(self)) return false;
    const OwnProperty &p = own(prop);
    return p.set && reinterpret_cast<PropertyLayout *>(p.prop.get())->set == p.set.get();
}

bool own_get_module(PyObject *cls) noexcept {
    return cls == cs.cls.get() && class_intact() && cs.get_module &&
           reinterpret_cast<StaticMethodLayout *>(cs.get_module.get())->callable ==
               cs.get_module_func.get();
}

void load_datetime_api() noexcept {
    if (PyDateTimeAPI) return;
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) PyErr_Clear();
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

bool naive_pair(PyObject *now, PyObject *start) noexcept {
    return naive_datetime(now) && naive_datetime(start);
}

bool native_sort(PyObject *table) noexcept {
    if (!kEnabled || !PyCFunction_Check(g.sorted) || PyCFunction_GET_SELF(g.sorted) != g.builtins ||
        std::strcmp(reinterpret_cast<PyCFunctionObject *>(g.sorted)->m_ml->ml_name, "sorted") != 0)
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(table); i++) {
        PyObject *entry = PyList_GET_ITEM(table, i);
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2 ||
            !naive_datetime(PyTuple_GET_ITEM(entry, 1)))
            return false;
    }
    return true;
}

bool tuple_key(PyObject *item) noexcept {
    return kEnabled && PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) > 1;
}

} // namespace quorlin::fast
