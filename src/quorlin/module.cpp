// module.cpp: module start-up: the module definition, the create and exec steps, the load-time
// imports and the assembly of the VersionManager class.
#include "binding.hpp"
#include "fast_paths.hpp"
#include "members.hpp"
#include "state.hpp"
#include "traceback.hpp"
#include "version_check.hpp"

#include <initializer_list>

namespace quorlin {

namespace {

constexpr const char kInitTrace[] = "init quorlin.version_manager";

// ---------------------------------------------------------------------------------------------
// Create step

// Copies spec.<from> into the module namespace under <to>; a spec without the attribute leaves
// the target alone.
int copy_spec_attr(PyObject *spec, PyObject *ns, PyObject *from, PyObject *to,
                   bool allow_none) noexcept {
    Ref value;
    if (PyObject_GetOptionalAttr(spec, from, value.out()) < 0) return -1;
    if (!value || (!allow_none && value.get() == Py_None)) return 0;
    return PyDict_SetItem(ns, to, value.get());
}

PyObject *create(PyObject *spec, PyModuleDef *) noexcept {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    // The interpreter that loaded the module is gone (a program that embeds Python may start it
    // again, and the new main interpreter has the old one's ID): load afresh, as into the first.
    if (interpreter_finished()) {
        fast::forget();
        forget_state();
    }
    if (g.interpreter == -1) {
        if (record_interpreter(id) < 0) return nullptr;
    } else if (g.interpreter != id) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only be "
                                           "loaded into one interpreter per process.");
        return nullptr;
    }
    if (g.module) return Py_NewRef(g.module);
    if (init_strings() < 0) return nullptr;
    Ref name = Ref::steal(PyObject_GetAttr(spec, g.str.name));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject *ns = PyModule_GetDict(module.get());
    const Strings &s = g.str;
    if (copy_spec_attr(spec, ns, s.loader, s.dunder_loader, true) < 0 ||
        copy_spec_attr(spec, ns, s.origin, s.dunder_file, true) < 0 ||
        copy_spec_attr(spec, ns, s.parent, s.dunder_package, true) < 0 ||
        copy_spec_attr(spec, ns, s.submodule_search_locations, s.dunder_path, false) < 0)
        return nullptr;
    return module.release();
}

// ---------------------------------------------------------------------------------------------
// Imports

// On the pending exception, a note naming the module that the import found (its file, or else its
// repr) and what this module needs of it. Should the note fail, the exception stays as it was.
void add_need_note(PyObject *name, PyObject *module, PyObject *missing, const char *need) noexcept {
    PyObject *exc = PyErr_GetRaisedException();
    Ref file, where;
    if (PyObject_GetOptionalAttr(module, g.str.dunder_file, file.out()) >= 0 && file &&
        PyUnicode_Check(file.get())) {
        where = Ref::steal(PyObject_Repr(file.get()));
    } else {
        PyErr_Clear(); // no usable __file__: the module's repr says what it is
        where = Ref::steal(PyObject_Repr(module));
    }
    Ref note = Ref::steal(
        where ? PyUnicode_FromFormat("The module '%U' that was found, %U, provides no '%U'. "
                                     "quorlin.version_manager needs from it %s",
                                     name, where.get(), missing, need)
              : nullptr);
    Ref added = Ref::steal(note ? PyObject_CallMethod(exc, "add_note", "O", note.get()) : nullptr);
    if (!added) PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

// from <module_name> import <names...>, binding each name in the module namespace. `need`, if
// given, says what the names are for, in a note on the ImportError for a name that is missing.
int import_names(const char *module_name, std::initializer_list<PyObject *> names,
                 const char *need = nullptr) noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(module_name));
    if (!name) return -1;
    // A module already in sys.modules that has every name is used as it is.
    Ref module = Ref::steal(PyImport_GetModule(name.get()));
    if (!module && PyErr_Occurred()) return -1;
    for (PyObject *n : names) {
        if (!module) break;
        int has = PyObject_HasAttrWithError(module.get(), n);
        if (has < 0) return -1;
        if (!has) module = Ref();
    }
    if (!module) {
        Ref fromlist = Ref::steal(PyList_New(0));
        Ref locals = Ref::steal(PyDict_New());
        if (!fromlist || !locals) return -1;
        for (PyObject *n : names)
            if (PyList_Append(fromlist.get(), n) < 0) return -1;
        module = Ref::steal(PyImport_ImportModuleLevelObject(name.get(), g.globals, locals.get(),
                                                             fromlist.get(), 0));
        if (!module) return -1;
    }
    for (PyObject *n : names) {
        Ref value = Ref::steal(PyObject_GetAttr(module.get(), n));
        if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            // The name may be a submodule that is imported but not bound as an attribute.
            PyErr_Clear();
            Ref module_name = Ref::steal(PyModule_GetNameObject(module.get()));
            Ref full = Ref::steal(module_name ? PyUnicode_FromFormat("%U.%U", module_name.get(), n)
                                              : nullptr);
            value = Ref::steal(full ? PyImport_GetModule(full.get()) : nullptr);
        }
        if (!value) {
            PyErr_Format(PyExc_ImportError, "cannot import name %S", n);
            if (need) add_need_note(name.get(), module.get(), n, need);
            return -1;
        }
        if (PyDict_SetItem(g.globals, n, value.get()) < 0) return -1;
    }
    return 0;
}

int run_imports(int &line) noexcept {
    const Strings &s = g.str;
    line = 14;
    // A project's own logger.py earlier on sys.path is the usual reason for a missing `logging`.
    if (import_names("logger", {s.logging},
                     "logging(prefix=...), a decorator factory: its decorator receives __init__, "
                     "get_module (a staticmethod) and __call__, and what it returns is stored on "
                     "VersionManager (returning the argument leaves it unchanged). A module of "
                     "your own named 'logger' earlier on sys.path hides the one that quorlin "
                     "installs: rename it, or give it such a factory.") < 0)
        return -1;
    line = 16;
    if (import_names("datetime", {s.datetime, s.date}) < 0) return -1;
    fast::load_datetime_api();
    line = 17;
    if (import_names("importlib", {s.import_module}) < 0 || fast::remember_import_system() < 0)
        return -1;
    line = 18;
    return import_names("types", {s.ModuleType});
}

// ---------------------------------------------------------------------------------------------
// Class assembly

// logging(prefix=__name__), both names read from the module namespace now.
PyObject *make_decorator() noexcept {
    Ref logging = Ref::steal(lookup_global(g.str.logging));
    if (!logging) return nullptr;
    Ref prefix = Ref::steal(lookup_global(g.str.dunder_name));
    if (!prefix) return nullptr;
    return call(logging.get(), {prefix.get()}, g.str.kw_prefix);
}

// decorator(function), where the function is built after the decorator was made.
int add_decorated(PyObject *ns, const FunctionSpec &spec) noexcept {
    Ref decorator = Ref::steal(make_decorator());
    if (!decorator) return -1;
    Ref func = Ref::steal(function_new(spec, g.globals));
    if (!func) return -1;
    Ref result = Ref::steal(call(decorator.get(), {func.get()}));
    return result ? PyDict_SetItemString(ns, spec.name, result.get()) : -1;
}

int add_property(PyObject *ns, const FunctionSpec &getter) noexcept {
    Ref func = Ref::steal(function_new(getter, g.globals));
    if (!func) return -1;
    Ref prop = Ref::steal(call(g.property, {func.get()}));
    return prop ? PyDict_SetItemString(ns, getter.name, prop.get()) : -1;
}

// ns[name] = ns[name].setter(function)
int add_setter(PyObject *ns, const FunctionSpec &setter) noexcept {
    Ref prop;
    if (PyDict_GetItemStringRef(ns, setter.name, prop.out()) <= 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, setter.name);
        return -1;
    }
    Ref add = Ref::steal(PyObject_GetAttr(prop.get(), g.str.setter));
    if (!add) return -1;
    Ref func = Ref::steal(function_new(setter, g.globals));
    if (!func) return -1;
    Ref result = Ref::steal(call(add.get(), {func.get()}));
    return result ? PyDict_SetItemString(ns, setter.name, result.get()) : -1;
}

// get_module: decorator(staticmethod(function)).
int add_static(PyObject *ns, const FunctionSpec &spec, int &line) noexcept {
    line = 95;
    Ref decorator = Ref::steal(make_decorator());
    if (!decorator) return -1;
    line = 94;
    Ref func = Ref::steal(function_new(spec, g.globals));
    if (!func) return -1;
    Ref method = Ref::steal(call(g.staticmethod, {func.get()}));
    if (!method) return -1;
    line = 95;
    Ref result = Ref::steal(call(decorator.get(), {method.get()}));
    if (!result) return -1;
    line = 94;
    return PyDict_SetItemString(ns, spec.name, result.get());
}

int assemble_class(int &line) noexcept {
    line = 22;
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return -1;
    Ref module_name = Ref::steal(PyUnicode_FromString(kModuleName));
    if (!module_name || PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", g.str.VersionManager) < 0)
        return -1;
    line = 23;
    Ref slots = Ref::steal(Py_BuildValue("(ss)", "__module", "__versions"));
    if (!slots || PyDict_SetItemString(ns.get(), "__slots__", slots.get()) < 0) return -1;
    PyObject *n = ns.get();
    // The members in namespace order; a failing step reports its member's first line.
    struct Step {
        int (*add)(PyObject *, const FunctionSpec &) noexcept;
        const FunctionSpec *spec;
    };
    auto add_all = [&](std::initializer_list<Step> steps) noexcept {
        for (const Step &step : steps) {
            line = step.spec->first_line;
            if (step.add(n, *step.spec) < 0) return -1;
        }
        return 0;
    };
    if (add_all({{add_decorated, &kInit},
                 {add_property, &kModuleGet},
                 {add_setter, &kModuleSet},
                 {add_property, &kVersionsGet},
                 {add_setter, &kVersionsSet}}) < 0 ||
        add_static(n, kGetModule, line) < 0 ||
        add_all({{add_property, &kCurrent}, {add_property, &kLast}, {add_decorated, &kCall}}) < 0)
        return -1;
    line = 22;
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return -1;
    Ref cls = Ref::steal(
        call(reinterpret_cast<PyObject *>(&PyType_Type), {g.str.VersionManager, bases.get(), n}));
    if (!cls || PyDict_SetItem(g.globals, g.str.VersionManager, cls.get()) < 0) return -1;
    return fast::remember_class(cls.get());
}

// ---------------------------------------------------------------------------------------------
// Exec step

int warn_if_other_version() noexcept {
    char message[kVersionMessageSize];
    if (!version_mismatch(Py_Version, message)) return 0;
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

int capture_builtins() noexcept {
    PyObject **targets[] = {&g.property, &g.staticmethod, &g.sorted};
    const char *names[] = {"property", "staticmethod", "sorted"};
    for (int i = 0; i < 3; i++) {
        Ref name = Ref::steal(PyUnicode_InternFromString(names[i]));
        Ref value;
        if (!name || PyObject_GetOptionalAttr(g.builtins, name.get(), value.out()) < 0) return -1;
        if (!value) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
            return -1;
        }
        Py_XSETREF(*targets[i], value.release());
    }
    return 0;
}

// Steps 3 to 8 of the exec step; `line` is the line of a failing step, 0 for no traceback entry.
int run_body(PyObject *module, int &line) noexcept {
    line = 0;
    if (init_strings() < 0 || init_function_type() < 0) return -1;
    Py_XSETREF(g.globals, Py_NewRef(PyModule_GetDict(module)));
    if (fast::watch_globals(g.globals) < 0) return -1;
    Ref builtins = Ref::steal(PyImport_AddModuleRef("builtins"));
    if (!builtins) return -1;
    Py_XSETREF(g.builtins, Py_NewRef(builtins.get()));
    if (PyObject_SetAttr(module, g.str.dunder_builtins, builtins.get()) < 0) return -1;
    if (warn_if_other_version() < 0) return -1;
    line = 1;
    Ref key = Ref::steal(PyUnicode_FromString(kModuleName));
    if (!key) return -1;
    PyObject *modules = PyImport_GetModuleDict();
    int registered = PyDict_Contains(modules, key.get());
    if (registered < 0 || (!registered && PyDict_SetItem(modules, key.get(), module) < 0))
        return -1;
    if (capture_builtins() < 0) return -1;
    if (run_imports(line) < 0 || assemble_class(line) < 0) return -1;
    line = 1;
    Ref test = Ref::steal(PyDict_New());
    return test ? PyDict_SetItem(g.globals, g.str.dunder_test, test.get()) : -1;
}

int exec(PyObject *module) noexcept {
    if (g.module) {
        if (g.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError, "Module 'version_manager' has already been imported. "
                                            "Re-initialisation is not supported.");
        return -1;
    }
    g.module = Py_NewRef(module);
    int line = 0;
    if (run_body(module, line) == 0) return 0;
    if (line) add_traceback(kInitTrace, line);
    Py_CLEAR(g.module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create)},
    {Py_mod_exec, reinterpret_cast<void *>(exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "version_manager",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace

} // namespace quorlin

PyMODINIT_FUNC PyInit_version_manager(void) {
    return PyModuleDef_Init(&quorlin::module_def);
}
