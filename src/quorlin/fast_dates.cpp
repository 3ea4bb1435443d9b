// fast_dates.cpp: the shortcuts that trust the clock and the dates (5 to 8 and 11 of
// fast_paths.hpp): the native now, midnight conversion, naive comparison and sort, the tuple key.
#include "compat.hpp"
#include "fast_shared.hpp"

#include <datetime.h>

namespace quorlin::fast {

namespace {

bool datetime_api() noexcept {
    return kEnabled && PyDateTimeAPI != nullptr;
}

// 11. datetime.now's method definition, when the class's `now` is a classmethod with the fast
// calling convention. Its function is read at every call: clock-freezing tools swap it.
PyMethodDef *datetime_now = nullptr;

} // namespace

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
    if (list && !(kEnabled && compat::move_items(table, list)))
        Py_SETREF(list, PySequence_List(table));
    return list;
}

bool tuple_key(PyObject *item) noexcept {
    return kEnabled && PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) > 1;
}

void forget_dates() noexcept {
    PyDateTimeAPI = nullptr;
    datetime_now = nullptr;
}

} // namespace quorlin::fast
