// traceback.cpp: traceback entries, one cached code object per (function name, line).
#include "traceback.hpp"

#include "state.hpp"

#include <frameobject.h>

namespace quorlin {

namespace {

// A frame reports its code object's first line, and the line cannot be changed from outside the
// core, so every (function name, line) pair gets a code object of its own.
PyObject *code_for(const char *funcname, int line) noexcept {
    PyObject *&cache = g.tracebacks;
    if (!cache && !(cache = PyDict_New())) return nullptr;
    Ref key = Ref::steal(Py_BuildValue("(si)", funcname, line));
    if (!key) return nullptr;
    PyObject *code = nullptr;
    if (PyDict_GetItemRef(cache, key.get(), &code) != 0) return code;
    code = reinterpret_cast<PyObject *>(PyCode_NewEmpty(kSourceFile, funcname, line));
    if (!code || PyDict_SetItem(cache, key.get(), code) < 0) {
        Py_XDECREF(code);
        return nullptr;
    }
    return code;
}

} // namespace

void add_traceback(const char *funcname, int line) noexcept {
    // PyFrame_New refuses to work while an exception is set: park it meanwhile.
    PyObject *exc = PyErr_GetRaisedException();
    Ref code = Ref::steal(code_for(funcname, line));
    Ref globals = Ref::steal(code ? PyDict_New() : nullptr);
    Ref frame;
    if (globals)
        frame = Ref::steal(reinterpret_cast<PyObject *>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code.get()),
                        globals.get(), nullptr)));
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

} // namespace quorlin
