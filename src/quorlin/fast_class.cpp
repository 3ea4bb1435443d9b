// fast_class.cpp: the shortcuts that trust the class as assembled (2 to 4 and 12 of
// fast_paths.hpp): the intact instance, the class's own getters, setters and get_module.
#include "compat.hpp"
#include "fast_shared.hpp"
#include "function.hpp"
#include "members.hpp"

#include <utility>

namespace quorlin::fast {

namespace {

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

} // namespace

void class_gone() noexcept {
    cs = ClassState{};
    class_dict = nullptr;
}

void forget_class() noexcept {
    class_gone();
}

namespace {

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

} // namespace

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
} // namespace quorlin::fast
