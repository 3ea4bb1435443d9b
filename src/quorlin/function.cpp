// function.cpp: the function-object type: binds like a Python function, introspects like one.
#include "function.hpp"

#include "binding.hpp"
#include "fast_paths.hpp"
#include "state.hpp"
#include "traceback.hpp"

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace quorlin {

namespace {

struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *name;
    PyObject *qualname;
    PyObject *doc;
    PyObject *module;
    PyObject *defaults;
    PyObject *annotations;
    PyObject *globals;
    PyObject *code;
    PyObject *varnames; // interned parameter names, matched by identity first when binding
    PyObject *dict;
    PyObject *in_order; // the keyword names last found to name the parameters in order, or NULL
};

static_assert(offsetof(Function, spec) == offsetof(FunctionHead, spec), "spec_of() reads the head");

Function *as_function(PyObject *self) {
    return reinterpret_cast<Function *>(self);
}

// The keyword names name the parameters after the first `nargs` in order, all of them.
bool in_order(Function *f, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    if (fast::same_keywords(f->in_order, kwnames)) return true;
    if (!keywords_in_order(f->varnames, nargs, kwnames)) return false;
    fast::keep_keywords(f->in_order, kwnames);
    return true;
}

[[gnu::noinline]] PyObject *bind_and_run(Function *f, PyObject *const *args, Py_ssize_t nargs,
                                         PyObject *kwnames) noexcept {
    PyObject *bound[kMaxParams];
    if (bind_arguments(*f->spec, f->varnames, f->defaults, args, nargs, kwnames, bound) < 0) {
        add_traceback(f->spec->trace_name, f->spec->first_line);
        return nullptr;
    }
    return run_member(*f->spec, bound);
}

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    Function *f = as_function(self);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // Every parameter given, by position or by keyword in order: the arguments are bound already.
    Py_ssize_t ngiven = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (ngiven == f->spec->nparams() && (!kwnames || in_order(f, nargs, kwnames)))
        return run_member(*f->spec, args);
    return bind_and_run(f, args, nargs, kwnames);
}

// Reached with a keyword dict only where the interpreter has not vetted the keys (for example
// through the __call__ slot wrapper), so the keys go to binding unchecked.
PyObject *function_call(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return function_vectorcall(self, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    PyObject **stack = PyMem_New(PyObject *, nargs + nkw);
    if (!stack) return PyErr_NoMemory();
    Ref kwnames = Ref::steal(PyTuple_New(nkw));
    Ref values = Ref::steal(PyTuple_New(nkw));
    PyObject *result = nullptr;
    if (kwnames && values) {
        Py_ssize_t pos = 0, i = 0;
        PyObject *key, *value;
        for (Py_ssize_t k = 0; k < nargs; k++)
            stack[k] = PyTuple_GET_ITEM(args, k);
        while (i < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), i, Py_NewRef(key));
            PyTuple_SET_ITEM(values.get(), i, Py_NewRef(value)); // keeps the value alive
            stack[nargs + i++] = value;
        }
        result = function_vectorcall(self, stack, nargs, kwnames.get());
    }
    PyMem_Free(static_cast<void *>(stack));
    return result;
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Every reference a function object owns.
constexpr PyObject *Function::*kOwned[] = {
    &Function::name,     &Function::qualname,    &Function::doc,      &Function::module,
    &Function::defaults, &Function::annotations, &Function::globals,  &Function::code,
    &Function::varnames, &Function::dict,        &Function::in_order,
};

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Function *f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    for (PyObject *Function::*field : kOwned)
        Py_VISIT(f->*field);
    return 0;
}

int function_clear(PyObject *self) noexcept {
    Function *f = as_function(self);
    for (PyObject *Function::*field : kOwned)
        Py_CLEAR(f->*field);
    return 0;
}

void function_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// __name__ and __qualname__ accept only str, as on Python functions.
template <PyObject *Function::*Field> PyObject *get_text(PyObject *self, void *) noexcept {
    return Py_NewRef(as_function(self)->*Field);
}

template <PyObject *Function::*Field>
int set_text(PyObject *self, PyObject *value, void *) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, Field == &Function::name
                                             ? "__name__ must be set to a string object"
                                             : "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(self)->*Field, Py_NewRef(value));
    return 0;
}

PyObject *get_annotations(PyObject *self, void *) noexcept {
    Function *f = as_function(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject *self, PyObject *value, void *) noexcept {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 annotations are deferred: a function's __annotate__(format) gives them, and
// functools.wraps copies it (rather than __annotations__) onto a wrapper. The values here are
// ready objects, so the VALUE and FORWARDREF formats give the same fresh dict; for the others it
// raises NotImplementedError, and annotationlib makes STRING from VALUE as for any such function.
PyObject *annotate(PyObject *self, PyObject *format) noexcept {
    constexpr long kValue = 1, kForwardRef = 3;
    long value = PyLong_AsLong(format);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    if (value != kValue && value != kForwardRef) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    Ref annotations = Ref::steal(get_annotations(self, nullptr));
    return annotations ? PyDict_Copy(annotations.get()) : nullptr;
}

PyMethodDef annotate_def = {"__annotate__", annotate, METH_O, nullptr};

PyObject *get_annotate(PyObject *self, void *) noexcept {
    return PyCFunction_New(&annotate_def, self);
}
#endif

PyObject *get_none(PyObject *, void *) noexcept {
    Py_RETURN_NONE;
}

// Copies of a function are the function itself, as for Python functions.
PyObject *function_copy(PyObject *self, PyObject *) noexcept {
    return Py_NewRef(self);
}

PyObject *function_deepcopy(PyObject *self, PyObject *) noexcept {
    return Py_NewRef(self);
}

// Where the function's qualified name leads in its module, attribute by attribute: `found`, held
// by `owner` under the name `last`. Leaves them empty when a part is missing (pickle then reports
// the name that it could not resolve); -1 with the exception set for any other failure.
struct Resolved {
    Ref owner, last, found;
};

int resolve_qualname(Function *f, Resolved &out) noexcept {
    // Both names held: a str subclass's __hash__ may rebind them while the module is looked up.
    Ref module_name = Ref::borrow(f->module), qualname = Ref::borrow(f->qualname);
    if (!module_name || !PyUnicode_Check(module_name.get())) return 0;
    Ref obj = Ref::steal(PyImport_GetModule(module_name.get()));
    if (!obj) return PyErr_Occurred() ? -1 : 0;
    Ref parts = Ref::steal(PyUnicode_Split(qualname.get(), g.str.dot, -1));
    if (!parts) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); i++) {
        Ref name = Ref::borrow(PyList_GET_ITEM(parts.get(), i));
        Ref next;
        if (PyObject_GetOptionalAttr(obj.get(), name.get(), next.out()) < 0) return -1;
        if (!next) return 0;
        out.owner = std::move(obj);
        out.last = std::move(name);
        obj = std::move(next);
    }
    out.found = std::move(obj);
    return 0;
}

// attrgetter("<last>.<accessor>")(owner) reaches the function through its property.
PyObject *reduce_through_property(const Resolved &r, const char *accessor) noexcept {
    Ref path = Ref::steal(PyUnicode_FromFormat("%U.%s", r.last.get(), accessor));
    if (!path) return nullptr;
    Ref operator_module = Ref::steal(PyImport_ImportModule("operator"));
    if (!operator_module) return nullptr;
    Ref attrgetter = Ref::steal(PyObject_GetAttrString(operator_module.get(), "attrgetter"));
    if (!attrgetter) return nullptr;
    Ref getter = Ref::steal(PyObject_CallOneArg(attrgetter.get(), path.get()));
    return getter ? Py_BuildValue("O(O)", getter.get(), r.owner.get()) : nullptr;
}

// Pickled by reference, as Python functions are: by the qualified name, which pickle resolves in
// the module and checks to be this very object (a decorator's wrapper stored in the function's
// place fails that check). A property's function is not what its qualified name leads to (that
// is the property), so it is reached through the property instead.
PyObject *function_reduce(PyObject *self, PyObject *) noexcept {
    Function *f = as_function(self);
    Resolved r;
    if (resolve_qualname(f, r) < 0) return nullptr;
    if (r.found && PyObject_TypeCheck(r.found.get(), &PyProperty_Type)) {
        for (const char *accessor : {"fget", "fset", "fdel"}) {
            Ref value = Ref::steal(PyObject_GetAttrString(r.found.get(), accessor));
            if (!value) return nullptr;
            if (value.get() == self) return reduce_through_property(r, accessor);
        }
    }
    return Py_NewRef(f->qualname);
}

PyMethodDef function_methods[] = {
    {"__copy__", function_copy, METH_NOARGS, nullptr},
    {"__deepcopy__", function_deepcopy, METH_O, nullptr},
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_text<&Function::name>, set_text<&Function::name>, nullptr, nullptr},
    {"__qualname__", get_text<&Function::qualname>, set_text<&Function::qualname>, nullptr,
     nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, nullptr, nullptr, nullptr},
#endif
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), 0, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
    {"__defaults__", Py_T_OBJECT_EX, offsetof(Function, defaults), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void *>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_methods, function_methods},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = "quorlin.version_manager.function",
    .basicsize = sizeof(Function),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR |
             Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

// A real code object, so that inspect and typing see the parameters, names and first line.
PyObject *make_varnames(const FunctionSpec &spec) noexcept {
    Ref varnames = Ref::steal(PyTuple_New(spec.nparams()));
    if (!varnames) return nullptr;
    for (Py_ssize_t i = 0; i < spec.nparams(); i++) {
        PyObject *v = PyUnicode_InternFromString(spec.params[static_cast<size_t>(i)]);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(varnames.get(), i, v);
    }
    return varnames.release();
}

PyObject *make_code(const FunctionSpec &spec, PyObject *name, PyObject *qualname,
                    PyObject *varnames) noexcept {
    Ref code = Ref::steal(
        reinterpret_cast<PyObject *>(PyCode_NewEmpty(kSourceFile, spec.name, spec.first_line)));
    if (!code) return nullptr;
    Ref replace = Ref::steal(PyObject_GetAttrString(code.get(), "replace"));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:n,s:n,s:O,s:O,s:O,s:i}", "co_argcount",
                                          spec.nparams(), "co_nlocals", spec.nparams(),
                                          "co_varnames", varnames, "co_name", name, "co_qualname",
                                          qualname, "co_flags", CO_OPTIMIZED | CO_NEWLOCALS));
    if (!replace || !kwargs) return nullptr;
    Ref noargs = Ref::steal(PyTuple_New(0));
    if (!noargs) return nullptr;
    return PyObject_Call(replace.get(), noargs.get(), kwargs.get());
}

} // namespace

int init_function_type() noexcept {
    if (g.function_type) return 0;
    g.function_type = reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&function_spec));
    return g.function_type ? 0 : -1;
}

PyObject *function_new(const FunctionSpec &spec, PyObject *globals) noexcept {
    Ref obj = Ref::steal(PyType_GenericAlloc(g.function_type, 0));
    if (!obj) return nullptr;
    Function *f = as_function(obj.get());
    f->vectorcall = spec.vectorcall ? function_vectorcall : nullptr;
    f->spec = &spec;
    f->globals = Py_NewRef(globals);
    if (!(f->name = PyUnicode_InternFromString(spec.name)) ||
        !(f->qualname = PyUnicode_InternFromString(spec.qualname)) ||
        !(f->module = PyUnicode_InternFromString(kModuleName)))
        return nullptr;
    f->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    if (!f->doc) return nullptr;
    if (spec.ndefaults == 0) {
        f->defaults = Py_NewRef(Py_None);
    } else {
        if (!(f->defaults = PyTuple_New(spec.ndefaults))) return nullptr;
        for (int i = 0; i < spec.ndefaults; i++)
            PyTuple_SET_ITEM(f->defaults, i, Py_NewRef(Py_None));
    }
    if (!(f->annotations = PyDict_New())) return nullptr;
    for (const Annotation &a : spec.annotations) {
        Ref value = Ref::steal(PyUnicode_FromString(a.value));
        if (!value || PyDict_SetItemString(f->annotations, a.key, value.get()) < 0) return nullptr;
    }
    if (!(f->varnames = make_varnames(spec)) ||
        !(f->code = make_code(spec, f->name, f->qualname, f->varnames)))
        return nullptr;
    return obj.release();
}

PyObject *run_member(const FunctionSpec &spec, PyObject *const *args) noexcept {
    int line = 0;
    PyObject *result = spec.impl(args, line);
    if (!result && line) add_traceback(spec.trace_name, line);
    return result;
}

} // namespace quorlin
