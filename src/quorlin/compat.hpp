// compat.hpp: every interpreter internal that a shortcut reads (a struct field, a flag layout, an
// object layout), each behind the interpreter versions on which it was checked against that
// version's headers and behaviour. On any other version the reads compile off, the shortcuts that
// need them are never taken, and the plain path serves.
//
// Checked on the final releases of CPython 3.13 (3.13.0 and 3.13.18, release and debug builds),
// 3.14 (3.14.10) and 3.15 (3.15.2), against their headers (the internal ones included) and their
// importlib sources:
//
// - property and staticmethod objects: PyObject_HEAD, then the getter and setter (property), the
//   wrapped callable (staticmethod), on all three. The class check confirms them against fget,
//   fset and __func__ before any shortcut trusts them.
// - Function versions (PyFunctionObject.func_version): nonzero from creation and zeroed for good
//   when __code__, __defaults__, __kwdefaults__ or the call entry is replaced (3.13); on 3.14 and
//   3.15 such a replacement sets it to 1 ("cleared") and versions in use start at 2.
// - PyThreadState.c_profilefunc / c_tracefunc: set exactly while a profile / trace function is.
// - PyThreadState.eval_breaker: the low 8 bits are event flags, the rest is the instrumentation
//   version that the thread carries, compared by the interpreter before running code that may
//   need instrumenting (same on all three).
// - Global monitoring events: the interpreter keeps the tools of each event that is not derived
//   from another in one table, which the public monitoring scope reads by event number: events 0
//   to 14 on 3.13, 0 to 15 on 3.14 and 3.15 (which split BRANCH into BRANCH_LEFT and
//   BRANCH_RIGHT). C_RETURN and C_RAISE go with CALL, and BRANCH with its two halves; their
//   numbers lie past the table.
// - A code object's monitoring data (_co_monitoring) starts with the tools set locally per event:
//   10 events on 3.13 (public header), 11 on 3.14, 16 on 3.15 (internal header).
// - Stack to spare: 3.13 counts C recursion in PyThreadState.c_recursion_remaining. From 3.14 the
//   C stack is limited by address: the thread state is allocated inside a larger record whose
//   c_stack_soft_limit a call checks its stack pointer against (after the thread state and a
//   reference count on 3.14; after the thread state, an embedded base frame of nine pointers, two
//   small fields and one stack slot, and the reference count on 3.15). Python frames are still
//   counted by py_recursion_remaining on all three.
// - Dict keys and values (Include/internal/pycore_dict.h, the same on all three): the kind of a
//   dict's keys, a heap type's shared keys and an instance's inline values, which follow its basic
//   size (3.13 puts them after the object header, the basic size of every type read here).
// - A list's item array and allocated capacity (public struct, the same on all three).
// - importlib's path for a loaded module (import_module -> _gcd_import -> _sanity_check,
//   _find_and_load): the same on 3.13 and 3.14; 3.15 reads __spec__._initializing through one more
//   function, _is_initializing, which the shortcut then checks like the others.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

// The versions on which the reads below were checked (QUORLIN_UNCHECKED_INTERNALS builds as for any
// other version, to test that path).
#if !defined(QUORLIN_UNCHECKED_INTERNALS) && PY_MAJOR_VERSION == 3 &&                              \
    PY_RELEASE_LEVEL == PY_RELEASE_LEVEL_FINAL && PY_MINOR_VERSION >= 13 &&                        \
    PY_MINOR_VERSION <= 15 && !defined(Py_GIL_DISABLED)
#define QUORLIN_CHECKED_INTERNALS 1
#else
#define QUORLIN_CHECKED_INTERNALS 0
#endif

namespace quorlin::compat {

template <int N> constexpr std::array<uint8_t, N> events() noexcept {
    std::array<uint8_t, N> ids{};
    for (int i = 0; i < N; i++)
        ids[i] = static_cast<uint8_t>(i);
    return ids;
}

#if QUORLIN_CHECKED_INTERNALS

namespace layout {
struct Property {
    PyObject_HEAD PyObject *get;
    PyObject *set;
};
struct StaticMethod {
    PyObject_HEAD PyObject *callable;
};
#if PY_MINOR_VERSION == 13
inline constexpr int kLocalEvents = _PY_MONITORING_LOCAL_EVENTS;
#elif PY_MINOR_VERSION == 14
inline constexpr int kLocalEvents = 11;
#else
inline constexpr int kLocalEvents = 16;
#endif
struct CodeMonitoring {
    uint8_t tools[kLocalEvents]; // per local event, the tools that monitor it on this code
};
#if PY_MINOR_VERSION >= 14
struct ThreadStateRecord {
    PyThreadState base;
#if PY_MINOR_VERSION == 15
    struct {
        void *pointers[9];
        uint16_t return_offset;
        char owner;
        uint8_t visited;
        uintptr_t localsplus[1];
    } base_frame;
#endif
    Py_ssize_t refcount;
    uintptr_t c_stack_top;
    uintptr_t c_stack_soft_limit;
};
#endif
} // namespace layout

inline PyObject *property_getter(PyObject *prop) noexcept {
    return reinterpret_cast<layout::Property *>(prop)->get;
}
inline PyObject *property_setter(PyObject *prop) noexcept {
    return reinterpret_cast<layout::Property *>(prop)->set;
}
inline PyObject *static_method_callable(PyObject *method) noexcept {
    return reinterpret_cast<layout::StaticMethod *>(method)->callable;
}

// The function's version, or 0 when it has none that its replacement would change.
inline uint32_t function_version(PyFunctionObject *func) noexcept {
    uint32_t version = func->func_version;
#if PY_MINOR_VERSION >= 14
    if (version < 2) return 0; // unset or cleared
#endif
    return version;
}

inline bool profiled_or_traced(PyThreadState *ts) noexcept {
    return ts->c_profilefunc || ts->c_tracefunc;
}

// The instrumentation version the running thread carries.
inline uint64_t instrumentation_version(PyThreadState *ts) noexcept {
    constexpr uintptr_t kEventBits = 0xFF;
    return __atomic_load_n(&ts->eval_breaker, __ATOMIC_RELAXED) & ~kEventBits;
}

inline bool has_monitoring_data(PyCodeObject *code) noexcept {
    return code->_co_monitoring != nullptr;
}
// Some tool monitors an event locally on `code` (which has monitoring data).
inline bool locally_monitored(PyCodeObject *code) noexcept {
    const auto *data = reinterpret_cast<const layout::CodeMonitoring *>(code->_co_monitoring);
    for (uint8_t tools : data->tools)
        if (tools) return true;
    return false;
}

// A call made from here could nest `frames` Python frames and the interpreter's own C frames
// without failing for want of stack.
[[gnu::always_inline]] inline bool stack_to_spare(PyThreadState *ts, int frames) noexcept {
    if (ts->py_recursion_remaining < frames) return false;
#if PY_MINOR_VERSION == 13
    return ts->c_recursion_remaining >= frames;
#else
    // The stack grows down on every platform the wheels are built for. A call checks its own stack
    // pointer, which lies below this frame by the frames of the call and of the evaluation loop:
    // far less than the margin kept here. Where the limits were never set (zero) any address
    // passes, as it passes the interpreter's own check.
    constexpr uintptr_t kMargin = uintptr_t{64} * 1024;
    auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    uintptr_t limit = reinterpret_cast<layout::ThreadStateRecord *>(ts)->c_stack_soft_limit;
    return here > limit + kMargin;
#endif
}

// The global monitoring events, numbered from 0, each with tools of its own.
inline constexpr auto kGlobalEvents = events<PY_MONITORING_EVENT_RERAISE + 1>();
#if PY_MINOR_VERSION >= 14
static_assert(PY_MONITORING_EVENT_BRANCH_RIGHT == 9 && PY_MONITORING_EVENT_RERAISE == 15);
#else
static_assert(PY_MONITORING_EVENT_BRANCH == 8 && PY_MONITORING_EVENT_RERAISE == 14);
#endif

// The functions of importlib._bootstrap that import_module runs for a loaded module.
#if PY_MINOR_VERSION >= 15
inline constexpr const char *kBootstrapPath[] = {"_gcd_import", "_sanity_check", "_find_and_load",
                                                 "_is_initializing"};
#else
inline constexpr const char *kBootstrapPath[] = {"_gcd_import", "_sanity_check", "_find_and_load"};
#endif

// The dict keys object and dict values.
namespace layout {
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
inline constexpr uint8_t kDictKeysGeneral = 0; // DICT_KEYS_GENERAL; unicode and split keys: str
} // namespace layout

// Every key of `dict` is an exact str (what the interpreter's own global-variable specialisation
// requires, DK_IS_UNICODE): a look-up with an exact str compares strings and runs no Python code.
// A key of any other type turns the keys general, until the dict is emptied.
inline bool only_str_keys(PyObject *dict) noexcept {
    auto *keys =
        reinterpret_cast<layout::DictKeys *>(reinterpret_cast<PyDictObject *>(dict)->ma_keys);
    return keys->kind != layout::kDictKeysGeneral;
}

// The index of the exact str `name` among the keys that the instances of the heap type `type`
// share (append-only: an index once found stays), or -1.
inline Py_ssize_t shared_key_index(PyTypeObject *type, PyObject *name) noexcept {
    if (!(type->tp_flags & Py_TPFLAGS_INLINE_VALUES) || type->tp_basicsize != sizeof(PyObject))
        return -1;
    auto *keys = reinterpret_cast<layout::DictKeys *>(
        reinterpret_cast<PyHeapTypeObject *>(type)->ht_cached_keys);
    if (!keys || keys->kind == layout::kDictKeysGeneral) return -1;
    auto *entries = reinterpret_cast<layout::DictUnicodeEntry *>(
        keys->indices + (size_t{1} << keys->log2_index_bytes));
    for (Py_ssize_t i = 0; i < keys->nentries; i++)
        if (entries[i].key == name) return i; // attribute names are interned
    return -1;
}

// The attribute at shared-key index `ix` of `obj`, an instance of a type for which
// shared_key_index() found it, as its inline values hold it: true with `*value` borrowed (nullptr
// when unset) while those values are the object's attributes (its __dict__, if made, is a view of
// them); false when its attributes live in a dict of their own.
inline bool inline_attribute(PyObject *obj, Py_ssize_t ix, PyObject *&value) noexcept {
    auto *values =
        reinterpret_cast<layout::DictValues *>(reinterpret_cast<char *>(obj) + sizeof(PyObject));
    if (!values->valid || ix >= values->capacity) return false;
    value = values->values[ix];
    return true;
}

// Moves the items of the list `from` into the new empty list `to`, which then reports the
// capacity of the copy that sorted() makes (list_preallocate_exact(): the length rounded up to
// even), never more than the items' array has.
inline bool move_items(PyObject *from, PyObject *to) noexcept {
    auto *a = reinterpret_cast<PyListObject *>(from), *b = reinterpret_cast<PyListObject *>(to);
    Py_ssize_t n = Py_SIZE(a);
    b->ob_item = std::exchange(a->ob_item, nullptr);
    b->allocated = std::min(a->allocated, n + n % 2);
    Py_SET_SIZE(b, n);
    a->allocated = 0;
    Py_SET_SIZE(a, 0);
    return true;
}

#else // not checked: nothing is read, and no shortcut that would need it is taken

inline PyObject *property_getter(PyObject *) noexcept {
    return nullptr;
}
inline PyObject *property_setter(PyObject *) noexcept {
    return nullptr;
}
inline PyObject *static_method_callable(PyObject *) noexcept {
    return nullptr;
}
inline uint32_t function_version(PyFunctionObject *) noexcept {
    return 0;
}
inline bool profiled_or_traced(PyThreadState *) noexcept {
    return true;
}
inline uint64_t instrumentation_version(PyThreadState *) noexcept {
    return 0;
}
inline bool has_monitoring_data(PyCodeObject *) noexcept {
    return true;
}
inline bool locally_monitored(PyCodeObject *) noexcept {
    return true;
}
inline bool stack_to_spare(PyThreadState *, int) noexcept {
    return false;
}
inline constexpr auto kGlobalEvents = events<1>(); // never read
inline constexpr const char *kBootstrapPath[] = {"_gcd_import", "_sanity_check", "_find_and_load"};

inline bool only_str_keys(PyObject *) noexcept {
    return false;
}
inline Py_ssize_t shared_key_index(PyTypeObject *, PyObject *) noexcept {
    return -1;
}
inline bool inline_attribute(PyObject *, Py_ssize_t, PyObject *&) noexcept {
    return false;
}
inline bool move_items(PyObject *, PyObject *) noexcept {
    return false;
}

#endif

} // namespace quorlin::compat
