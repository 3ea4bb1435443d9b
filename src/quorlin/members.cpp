// members.cpp: what the members of VersionManager do once called.
#include "members.hpp"

#include "binding.hpp"
#include "fast_paths.hpp"
#include "notes.hpp"
#include "state.hpp"

#include <datetime.h>

#include <algorithm>
#include <cstring>
#include <cstdint>

namespace quorlin {

// The setter's two local functions.
extern const FunctionSpec kConvert;
extern const FunctionSpec kSortKey;

namespace {

// ---------------------------------------------------------------------------------------------
// Attribute access on the instance

// self.<slot name> for the getters: the slot itself when the instance is intact and the slot set.
PyObject *read_slot(PyObject *self, PyObject *name, fast::Slot slot) noexcept {
    PyObject *value = fast::intact_slot(self, slot);
    return value ? Py_NewRef(value) : PyObject_GetAttr(self, name);
}

// self.<name>: the slot itself when the class's own getter would return it unchanged.
PyObject *read_self(PyObject *self, PyObject *name, fast::Slot slot, PyTypeObject *type) noexcept {
    PyObject *value = fast::own_slot_value(self, slot);
    if (value && Py_IS_TYPE(value, type)) return Py_NewRef(value);
    return PyObject_GetAttr(self, name);
}

PyObject *read_module(PyObject *self) noexcept {
    return read_self(self, g.str.module, fast::Slot::module, &PyUnicode_Type);
}

PyObject *read_versions(PyObject *self) noexcept {
    return read_self(self, g.str.versions, fast::Slot::versions, &PyList_Type);
}

// self.<name> = value: runs the class's own setter directly when that is what assignment runs.
int write_self(PyObject *self, PyObject *name, fast::Prop prop, const FunctionSpec &setter,
               PyObject *value) noexcept {
    if (!fast::own_setter(self, prop)) return PyObject_SetAttr(self, name, value);
    PyObject *args[] = {self, value};
    Ref result = Ref::steal(run_member(setter, args));
    return result ? 0 : -1;
}

// The Versioned module path `module + "." + version`, made in one allocation.
PyObject *make_path(PyObject *module, PyObject *version) noexcept {
    Py_ssize_t n1 = PyUnicode_GET_LENGTH(module), n2 = PyUnicode_GET_LENGTH(version);
    Py_UCS4 maxchar = std::max(PyUnicode_MAX_CHAR_VALUE(module), PyUnicode_MAX_CHAR_VALUE(version));
    Ref path = Ref::steal(PyUnicode_New(n1 + 1 + n2, maxchar));
    if (!path) return nullptr;
    if (PyUnicode_KIND(module) == PyUnicode_1BYTE_KIND &&
        PyUnicode_KIND(version) == PyUnicode_1BYTE_KIND) {
        auto *out = static_cast<Py_UCS1 *>(PyUnicode_DATA(path.get()));
        std::memcpy(out, PyUnicode_DATA(module), static_cast<size_t>(n1));
        out[n1] = '.';
        std::memcpy(out + n1 + 1, PyUnicode_DATA(version), static_cast<size_t>(n2));
        return path.release();
    }
    if (PyUnicode_CopyCharacters(path.get(), 0, module, 0, n1) < 0 ||
        PyUnicode_WriteChar(path.get(), n1, '.') < 0 ||
        PyUnicode_CopyCharacters(path.get(), n1 + 1, version, 0, n2) < 0)
        return nullptr;
    return path.release();
}

// The Versioned module path, made once for the same two str objects.
PyObject *versioned_path(PyObject *module, PyObject *version) noexcept {
    PyObject *path = fast::reused_path(module, version);
    if (path) return path;
    path = make_path(module, version);
    if (path) fast::keep_path(module, version, path);
    return path;
}

// a == b for two exact str objects: equal strings have equal lengths and kinds.
bool str_equal(PyObject *a, PyObject *b) noexcept {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    return n == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
}

// unpack_pair for the entry at `index` of `table`, with a note naming the entry when it fails.
int unpack_entry(PyObject *table, PyObject *entry, Py_ssize_t index, Ref &version,
                 Ref &start) noexcept {
    if (unpack_pair(entry, version.out(), start.out()) == 0) return 0;
    note_entry(table, entry, index);
    return -1;
}

// ---------------------------------------------------------------------------------------------
// Constructor and module property

PyObject *init_impl(PyObject *const *args, int &line) noexcept {
    PyObject *self = args[0], *module = args[1], *versions = args[2];
    if (check_str_argument(module, "module", true) < 0) return nullptr;
    line = 49;
    if (write_self(self, g.str.module, fast::Prop::module, kModuleSet, module) < 0) return nullptr;
    line = 50;
    if (write_self(self, g.str.versions, fast::Prop::versions, kVersionsSet, versions) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *module_get_impl(PyObject *const *args, int &line) noexcept {
    line = 56;
    PyObject *value = read_slot(args[0], g.str.slot_module, fast::Slot::module);
    return value ? check_return_type(value, &PyUnicode_Type, "str") : nullptr;
}

PyObject *module_set_impl(PyObject *const *args, int &line) noexcept {
    if (check_str_argument(args[1], "module", false) < 0) return nullptr;
    line = 60;
    if (PyObject_SetAttr(args[0], g.str.slot_module, args[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Version table

PyObject *versions_get_impl(PyObject *const *args, int &line) noexcept {
    line = 66;
    PyObject *value = read_slot(args[0], g.str.slot_versions, fast::Slot::versions);
    return value ? check_return_type(value, &PyList_Type, "list") : nullptr;
}

// convert2datetime(value): an exact `date` (as the module global names it) becomes a datetime at
// midnight; anything else is returned as it is.
PyObject *convert_impl(PyObject *const *args, int &line) noexcept {
    PyObject *value = args[0];
    line = 79;
    Ref date = Ref::steal(lookup_global(g.str.date));
    if (!date) return nullptr;
    if (reinterpret_cast<PyObject *>(Py_TYPE(value)) != date.get()) return Py_NewRef(value);
    line = 80;
    Ref datetime = Ref::steal(lookup_global(g.str.datetime));
    if (!datetime) return nullptr;
    if (fast::native_dates(date.get(), datetime.get())) {
        line = 82; // the call that a date with fields out of range fails
        return fast::midnight(value);
    }
    line = 81;
    Ref year = Ref::steal(PyObject_GetAttr(value, g.str.year));
    if (!year) return nullptr;
    Ref month = Ref::steal(PyObject_GetAttr(value, g.str.month));
    if (!month) return nullptr;
    Ref day = Ref::steal(PyObject_GetAttr(value, g.str.day));
    if (!day) return nullptr;
    line = 82;
    return call(datetime.get(), {year.get(), month.get(), day.get()});
}

// The sort key: item[1].
PyObject *sort_key_impl(PyObject *const *args, int &line) noexcept {
    PyObject *item = args[0];
    if (fast::tuple_key(item)) return Py_NewRef(PyTuple_GET_ITEM(item, 1));
    line = 89;
    Ref one = Ref::steal(PyLong_FromLong(1));
    return one ? PyObject_GetItem(item, one.get()) : nullptr;
}

// Two naive datetimes compare as their data bytes do, unsigned, most significant first: year (2),
// month, day, hour, minute, second and microsecond (3). That holds whatever the fields hold (a
// datetime made from a pickled state checks its month only), so the key is the bytes themselves.
struct NaiveKey {
    uint64_t high; // bytes 0 to 7
    uint32_t low;  // bytes 8 and 9
    friend auto operator<=>(const NaiveKey &, const NaiveKey &) = default;
};

NaiveKey naive_key(PyObject *dt) noexcept {
    const unsigned char *d = reinterpret_cast<PyDateTime_DateTime *>(dt)->data;
    uint64_t high = 0;
    for (int i = 0; i < 8; i++)
        high = (high << 8U) | d[i];
    return {high, (uint32_t{d[8]} << 8U) | d[9]};
}

// Sorts `table` (exact list of exact pairs whose starts are all naive datetimes) newest first,
// keeping equal starts in order, in place: what the built-in `sorted` does to its copy with the
// key and reverse=True, since comparing naive datetimes runs no Python code.
int sort_naive(PyObject *table) noexcept {
    struct Keyed {
        NaiveKey key;
        Py_ssize_t index; // input position: equal starts keep their order
        PyObject *pair;
    };
    Py_ssize_t n = PyList_GET_SIZE(table);
    Keyed *items = PyMem_New(Keyed, n);
    if (!items) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *pair = PyList_GET_ITEM(table, i);
        items[i] = {naive_key(PyTuple_GET_ITEM(pair, 1)), i, pair};
    }
    std::sort(items, items + n, [](const Keyed &a, const Keyed &b) {
        return a.key != b.key ? a.key > b.key : a.index < b.index;
    });
    for (Py_ssize_t i = 0; i < n; i++)
        PyList_SET_ITEM(table, i, items[i].pair);
    PyMem_Free(items);
    return 0;
}

PyObject *sort_table(PyObject *table) noexcept {
    if (fast::native_sort(table)) {
        Ref copy = Ref::steal(fast::new_table(table));
        return copy && sort_naive(copy.get()) == 0 ? copy.release() : nullptr;
    }
    Ref key = Ref::steal(function_new(kSortKey, g.globals));
    if (!key) return nullptr;
    return call(g.sorted, {table, key.get(), Py_True}, g.str.kw_sorted);
}

PyObject *versions_set_impl(PyObject *const *args, int &line) noexcept {
    PyObject *self = args[0], *versions = args[1];
    if (versions == Py_None) {
        line = 71;
        Ref empty = Ref::steal(PyList_New(0));
        if (!empty || PyObject_SetAttr(self, g.str.slot_versions, empty.get()) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Ref source = Ref::borrow(versions);
    if (PyDict_Check(versions)) {
        line = 83;
        if (PyDict_CheckExact(versions)) {
            source = Ref::steal(PyDict_Items(versions));
        } else {
            Ref items = Ref::steal(PyObject_CallMethodNoArgs(versions, g.str.items));
            if (!items) return nullptr;
            source = Ref::steal(PySequence_List(items.get()));
        }
        if (!source) return nullptr;
    }
    Ref table = Ref::steal(PyList_New(0));
    if (!table) return nullptr;
    Py_ssize_t index = -1;
    int rc = for_each_item(source.get(), line, 84, [&](PyObject *entry) noexcept -> int {
        line = 85;
        Ref version, start;
        if (unpack_entry(versions, entry, ++index, version, start) < 0) return -1;
        line = 86;
        PyObject *convert_args[] = {start.get()};
        start = Ref::steal(run_member(kConvert, convert_args));
        if (!start) return -1;
        line = 87;
        Ref pair = Ref::steal(PyTuple_Pack(2, version.get(), start.get()));
        if (!pair) return -1;
        // A pair of objects that cannot take part in a cycle need not be tracked, which keeps
        // collections cheap while a large table is built.
        if (!PyObject_IS_GC(version.get()) && !PyObject_IS_GC(start.get()))
            PyObject_GC_UnTrack(pair.get());
        return PyList_Append(table.get(), pair.get());
    });
    if (rc < 0) return nullptr;
    line = 89;
    Ref sorted = Ref::steal(sort_table(table.get()));
    if (!sorted) {
        note_table_starts(table.get());
        return nullptr;
    }
    line = 91;
    if (PyObject_SetAttr(self, g.str.slot_versions, sorted.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// Versioned module import

// import_module(name=name), or the loaded module it would return when the call may be skipped.
// `asked`: the get_module call that made `name`, if it did.
PyObject *import(PyObject *import_module, PyObject *name,
                 const fast::Call *asked = nullptr) noexcept {
    PyObject *module = nullptr;
    int loaded = fast::loaded_module(import_module, name, &module, asked);
    if (loaded != 0) return module;
    return call(import_module, {name}, g.str.kw_name);
}

PyObject *function_path(PyObject *module, PyObject *current, int &line) noexcept {
    line = 111;
    Ref import_module = Ref::steal(lookup_global(g.str.import_module));
    if (!import_module) return nullptr;
    Ref core = Ref::steal(import(import_module.get(), module));
    if (!core) return nullptr;
    line = 112;
    Ref func;
    if (PyObject_GetOptionalAttr(core.get(), current, func.out()) < 0) return nullptr;
    if (!func || func.get() == Py_None) {
        line = 114;
        return raise_joined(PyExc_AttributeError,
                            {"Attribute \"", module, "\".\"", current, "\" not found"});
    }
    if (!PyCallable_Check(func.get())) {
        line = 116;
        return raise_joined(PyExc_TypeError,
                            {"Attribute \"", module, "\".\"", current, "\" is not callable"});
    }
    line = 117;
    Ref result = Ref::steal(PyObject_CallNoArgs(func.get()));
    if (!result) return nullptr;
    line = 118;
    Ref module_type = Ref::steal(lookup_global(g.str.ModuleType));
    if (!module_type) return nullptr;
    int is_module = PyObject_IsInstance(result.get(), module_type.get());
    if (is_module < 0) return nullptr;
    if (!is_module) {
        line = 119;
        return raise_joined(PyExc_TypeError, {"Function \"", module, "\".\"", current,
                                              "\" not return a module instance"});
    }
    return result.release();
}

PyObject *submodule_path(const fast::Call &asked, int &line) noexcept {
    line = 121;
    Ref import_module = Ref::steal(lookup_global(g.str.import_module));
    if (!import_module) return nullptr;
    Ref path = Ref::steal(versioned_path(asked.package, asked.version));
    if (!path) return nullptr;
    return import(import_module.get(), path.get(), &asked);
}

// Inside the handler of `exc`, a ModuleNotFoundError: if the missing module is the package or the
// Versioned module path, raise the system's own error with `exc` as cause; otherwise re-raise it.
PyObject *handle_not_found(PyObject *exc, PyObject *module, PyObject *version, int &line) noexcept {
    int failing_line = line;
    line = 124;
    Ref missing = Ref::steal(PyObject_GetAttr(exc, g.str.name));
    if (!missing) return nullptr;
    int found = PyObject_RichCompareBool(missing.get(), module, Py_EQ);
    Ref path;
    if (found == 0) {
        line = 125;
        path = Ref::steal(versioned_path(module, version));
        found = path ? PyObject_RichCompareBool(missing.get(), path.get(), Py_EQ) : -1;
    }
    if (found < 0) return nullptr;
    if (!found) {
        line = failing_line;
        PyErr_SetRaisedException(Py_NewRef(exc));
        return nullptr;
    }
    line = 127;
    if (!path && !(path = Ref::steal(versioned_path(module, version)))) return nullptr;
    Ref message = Ref::steal(join_pieces({"Module \"", path.get(), "\" not found"}));
    Ref error = Ref::steal(message ? call(PyExc_ModuleNotFoundError, {message.get()}) : nullptr);
    if (!error) return nullptr;
    // raise error from exc: the interpreter sets the context, breaking any cycle as it does so.
    PyException_SetCause(error.get(), Py_NewRef(exc));
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
    return nullptr;
}

// A ModuleNotFoundError is set: handled as an `except` block would, with the caught error as the
// exception being handled (what sys.exc_info() shows, and the context of anything raised) until
// the handler ends.
PyObject *translate_not_found(PyObject *module, PyObject *version, int &line) noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref outer = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(exc.get());
    PyObject *result = handle_not_found(exc.get(), module, version, line);
    PyErr_SetHandledException(outer.get());
    return result;
}

[[gnu::noinline]] PyObject *get_module_called(PyObject *const *args, int &line) noexcept {
    PyObject *module = args[0], *version = args[1], *current = args[2];
    if (check_str_argument(module, "module", false) < 0 ||
        check_str_argument(version, "version", true) < 0 ||
        check_str_argument(current, "current", true) < 0)
        return nullptr;
    if (current == Py_None) current = g.str.current;
    if (version == Py_None) version = current;
    bool same = str_equal(version, current);
    fast::Call asked = {module, version, args[2]};
    PyObject *result = same ? function_path(module, current, line) : submodule_path(asked, line);
    if (result || !PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return result;
    result = translate_not_found(module, version, line);
    if (!same) note_dotted_version(module, version);
    return result;
}

PyObject *get_module_impl(PyObject *const *args, int &line) noexcept {
    // The very objects of a call answered before from sys.modules: they passed the checks then.
    if (PyObject *known = fast::known_submodule(args[0], args[1], args[2])) return known;
    return get_module_called(args, line);
}

// ---------------------------------------------------------------------------------------------
// Version selection

// VersionManager.get_module(module=self.module, version=version, current="#"), the class being
// looked up as the module global.
PyObject *ask_get_module(PyObject *self, PyObject *version) noexcept {
    Ref cls = Ref::steal(lookup_global(g.str.VersionManager));
    if (!cls) return nullptr;
    PyObject *own = fast::own_delegation(self, cls.get());
    // Our own get_module, asked again what it answered before for these very objects.
    if (PyObject *known = own ? fast::known_submodule(own, version, g.str.hash) : nullptr)
        return known;
    if (own || fast::own_get_module(cls.get())) {
        // VersionManager.get_module is still our own static method: run it directly, given what
        // self.module reads (the slot's str itself, checked together with the class).
        Ref module = own ? Ref::borrow(own) : Ref::steal(read_module(self));
        if (!module) return nullptr;
        PyObject *args[] = {module.get(), version, g.str.hash};
        return run_member(kGetModule, args);
    }
    Ref get_module = Ref::steal(PyObject_GetAttr(cls.get(), g.str.get_module));
    if (!get_module) return nullptr;
    Ref module = Ref::steal(read_module(self));
    if (!module) return nullptr;
    return call(get_module.get(), {module.get(), version, g.str.hash}, g.str.kw_get_module);
}

// ask_get_module, explaining a version name of the table that get_module refuses.
PyObject *delegate(PyObject *self, PyObject *version) noexcept {
    PyObject *result = ask_get_module(self, version);
    if (!result) note_version_type(version);
    return result;
}

PyObject *current_impl(PyObject *const *args, int &line) noexcept {
    PyObject *self = args[0];
    line = 155;
    Ref clock = Ref::steal(lookup_global(g.str.datetime));
    if (!clock) return nullptr;
    bool native = false;
    Ref now = Ref::steal(fast::native_now(clock.get(), native));
    if (!native) {
        PyObject *clock_arg[] = {clock.get()};
        now = Ref::steal(PyObject_VectorcallMethod(
            g.str.now, clock_arg, size_t{1} | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    if (!now) return nullptr;
    line = 156;
    Ref table = Ref::steal(read_versions(self));
    if (!table) return nullptr;
    PyObject *result = nullptr;
    // A pair as the setter stores it, with a naive start, against the naive clock: compared by
    // fields, running no Python code. The walk holds `entry`, which holds both items.
    bool naive_now = fast::naive_datetime(now.get());
    NaiveKey now_key = naive_now ? naive_key(now.get()) : NaiveKey{};
    Py_ssize_t index = -1;
    int rc = for_each_item(table.get(), line, 157, [&](PyObject *entry) noexcept -> int {
        line = 158;
        ++index;
        if (naive_now && PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2 &&
            fast::naive_datetime(PyTuple_GET_ITEM(entry, 1))) {
            if (now_key <= naive_key(PyTuple_GET_ITEM(entry, 1))) return 0;
            line = 160;
            result = delegate(self, PyTuple_GET_ITEM(entry, 0));
            return result ? 1 : -1;
        }
        Ref version, start;
        if (unpack_entry(table.get(), entry, index, version, start) < 0) return -1;
        line = 159;
        Ref later = Ref::steal(PyObject_RichCompare(now.get(), start.get(), Py_GT));
        if (!later) note_start(entry, start.get());
        int in_force = later ? PyObject_IsTrue(later.get()) : -1;
        if (in_force <= 0) return in_force;
        line = 160;
        result = delegate(self, version.get());
        return result ? 1 : -1;
    });
    if (rc != 0) return result;
    line = 162;
    Ref module = Ref::steal(read_module(self));
    if (!module) return nullptr;
    return raise_joined(PyExc_ModuleNotFoundError,
                        {"Module \"", module.get(), "\" current version not found"});
}

PyObject *last_impl(PyObject *const *args, int &line) noexcept {
    PyObject *self = args[0];
    // The table as the class's own getter reads it, an exact list whose first entry is an exact
    // pair: its two reads, the length and the unpacking run no Python code and give this.
    PyObject *table = fast::own_slot_value(self, fast::Slot::versions);
    if (table && PyList_CheckExact(table) && PyList_GET_SIZE(table) > 0) {
        PyObject *entry = PyList_GET_ITEM(table, 0);
        if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2) {
            line = 182;
            Ref held = Ref::borrow(entry);
            return delegate(self, PyTuple_GET_ITEM(entry, 0));
        }
    }
    line = 177;
    Ref versions = Ref::steal(read_versions(self));
    if (!versions) return nullptr;
    Py_ssize_t n = PyObject_Length(versions.get());
    if (n < 0) return nullptr;
    if (n == 0) {
        line = 178;
        Ref module = Ref::steal(read_module(self));
        if (!module) return nullptr;
        return raise_joined(PyExc_ModuleNotFoundError,
                            {"Module \"", module.get(), "\" last version not found"});
    }
    line = 180;
    versions = Ref::steal(read_versions(self));
    if (!versions) return nullptr;
    Ref entry;
    if (PyList_CheckExact(versions.get())) {
        entry = Ref::steal(PyList_GetItemRef(versions.get(), 0));
    } else {
        Ref zero = Ref::steal(PyLong_FromLong(0));
        entry = Ref::steal(zero ? PyObject_GetItem(versions.get(), zero.get()) : nullptr);
    }
    if (!entry) return nullptr;
    line = 181;
    Ref version, start;
    if (unpack_entry(versions.get(), entry.get(), 0, version, start) < 0) return nullptr;
    line = 182;
    return delegate(self, version.get());
}

PyObject *call_impl(PyObject *const *args, int &line) noexcept {
    PyObject *self = args[0];
    line = 195;
    if (fast::own_getter(self, fast::Prop::current)) return run_member(kCurrent, args);
    return PyObject_GetAttr(self, g.str.current);
}

// ---------------------------------------------------------------------------------------------
// The table rows

#define IND12 "            "
#define IND16 IND12 "    "
#define IND20 IND16 "    "
#define IND24 IND20 "    "
#define IND28 IND24 "    "
#define TRACE "quorlin.version_manager.VersionManager."

constexpr const char kTableType[] =
    "dict[str, datetime | date] | list[tuple[str, datetime | date]]";

constexpr const char *kSelf[] = {"self"};
constexpr const char *kInitParams[] = {"self", "module", "versions"};
constexpr const char *kModuleParams[] = {"self", "module"};
constexpr const char *kVersionsParams[] = {"self", "versions"};
constexpr const char *kGetModuleParams[] = {"module", "version", "current"};
constexpr const char *kValueParams[] = {"value"};
constexpr const char *kItemParams[] = {"item"};

constexpr Annotation kInitAnn[] = {{"module", "str"}, {"versions", kTableType}};
constexpr Annotation kReturnStr[] = {{"return", "str"}};
constexpr Annotation kModuleSetAnn[] = {{"module", "str"}};
constexpr Annotation kVersionsGetAnn[] = {{"return", "list[tuple[str, datetime]]"}};
constexpr Annotation kVersionsSetAnn[] = {{"versions", kTableType}};
constexpr Annotation kGetModuleAnn[] = {
    {"module", "str"}, {"version", "str"}, {"current", "str"}, {"return", "ModuleType"}};
constexpr Annotation kReturnModule[] = {{"return", "ModuleType"}};
constexpr Annotation kConvertAnn[] = {{"value", "datetime | date"}, {"return", "datetime"}};

constexpr const char kInitDoc[] =
    "\n" IND16 "Init quorlin class.\n\n" IND16
    ":param module: current module, usually __name__\n" IND16
    ":param versions: dict or list[()] containing version name and start-date\n" IND20 "[\n" IND24
    "{\n" IND24 "$version-name: $start-date,\n" IND24 "'v1': dateTime(),\n" IND24 "...\n" IND24
    "},\n" IND24 "[\n" IND28 "($version-name, $start-date),\n" IND28 "('v1', dateTime()),\n" IND24
    "]\n" IND20 "]\n" IND16 ":return:\n" IND12;
constexpr const char kGetModuleDoc[] =
    "\n" IND12 "Return imported module/version.\n\n" IND12 ":param module:\n" IND12
    ":param version:\n" IND12 ":param current:\n" IND12 ":return:\n" IND12;
constexpr const char kCurrentDoc[] = "\n" IND16 "Return current version of module.\n\n" IND16
                                     ":return: current version of the module\n" IND12;
constexpr const char kLastDoc[] = "\n" IND16 "Return last version of module.\n\n" IND16
                                  ":return: last version of the module\n" IND12;
constexpr const char kCallDoc[] = "\n" IND12 "Return current version of module.\n\n" IND12
                                  ":return: current version of the module\n" IND12;

} // namespace

const FunctionSpec kInit = {
    .name = "__init__",
    .qualname = "VersionManager.__init__",
    .trace_name = TRACE "__init__",
    .params = kInitParams,
    .ndefaults = 2,
    .first_line = 25,
    .annotations = kInitAnn,
    .doc = kInitDoc,
    .impl = init_impl,
    .vectorcall = false,
};
const FunctionSpec kModuleGet = {
    .name = "module",
    .qualname = "VersionManager.module",
    .trace_name = TRACE "module",
    .params = kSelf,
    .ndefaults = 0,
    .first_line = 54,
    .annotations = kReturnStr,
    .doc = nullptr,
    .impl = module_get_impl,
};
const FunctionSpec kModuleSet = {
    .name = "module",
    .qualname = "VersionManager.module",
    .trace_name = TRACE "module",
    .params = kModuleParams,
    .ndefaults = 0,
    .first_line = 58,
    .annotations = kModuleSetAnn,
    .doc = nullptr,
    .impl = module_set_impl,
};
const FunctionSpec kVersionsGet = {
    .name = "versions",
    .qualname = "VersionManager.versions",
    .trace_name = TRACE "versions",
    .params = kSelf,
    .ndefaults = 0,
    .first_line = 64,
    .annotations = kVersionsGetAnn,
    .doc = nullptr,
    .impl = versions_get_impl,
};
const FunctionSpec kVersionsSet = {
    .name = "versions",
    .qualname = "VersionManager.versions",
    .trace_name = TRACE "versions",
    .params = kVersionsParams,
    .ndefaults = 0,
    .first_line = 68,
    .annotations = kVersionsSetAnn,
    .doc = nullptr,
    .impl = versions_set_impl,
};
const FunctionSpec kConvert = {
    .name = "convert2datetime",
    .qualname = "VersionManager.versions.<locals>.convert2datetime",
    .trace_name = TRACE "versions.convert2datetime",
    .params = kValueParams,
    .ndefaults = 0,
    .first_line = 73,
    .annotations = kConvertAnn,
    .doc = nullptr,
    .impl = convert_impl,
};
const FunctionSpec kSortKey = {
    .name = "<lambda>",
    .qualname = "VersionManager.versions.<locals>.<lambda>",
    .trace_name = TRACE "versions.lambda",
    .params = kItemParams,
    .ndefaults = 0,
    .first_line = 89,
    .annotations = {},
    .doc = nullptr,
    .impl = sort_key_impl,
};
const FunctionSpec kGetModule = {
    .name = "get_module",
    .qualname = "VersionManager.get_module",
    .trace_name = TRACE "get_module",
    .params = kGetModuleParams,
    .ndefaults = 2,
    .first_line = 94,
    .annotations = kGetModuleAnn,
    .doc = kGetModuleDoc,
    .impl = get_module_impl,
};
const FunctionSpec kCurrent = {
    .name = "current",
    .qualname = "VersionManager.current",
    .trace_name = TRACE "current",
    .params = kSelf,
    .ndefaults = 0,
    .first_line = 146,
    .annotations = kReturnModule,
    .doc = kCurrentDoc,
    .impl = current_impl,
};
const FunctionSpec kLast = {
    .name = "last",
    .qualname = "VersionManager.last",
    .trace_name = TRACE "last",
    .params = kSelf,
    .ndefaults = 0,
    .first_line = 168,
    .annotations = kReturnModule,
    .doc = kLastDoc,
    .impl = last_impl,
};
const FunctionSpec kCall = {
    .name = "__call__",
    .qualname = "VersionManager.__call__",
    .trace_name = TRACE "__call__",
    .params = kSelf,
    .ndefaults = 0,
    .first_line = 189,
    .annotations = kReturnModule,
    .doc = kCallDoc,
    .impl = call_impl,
};

} // namespace quorlin
