// fast_paths.hpp: every shortcut the members take, each beside the one condition under which it
// gives exactly what the plain path (attribute access, calls through the stored objects) gives.
//
// The contract. The shortcuts give exactly what the plain path gives, for every program whose
// outcome Python defines, the way the interpreter's own specialisations do: the same results,
// errors and traceback entries, the same Python code run (attribute hooks, getters, the __eq__ of
// a colliding key) in the same order, and nothing kept alive that the plain path would release.
// They are not bound to reproduce what Python leaves open, and these stay outside the contract:
// when the collector, finalizers and signal handlers run; how much C recursion headroom a call
// uses; the identity of equal strings; the namespace of an immutable built-in type changed through
// the collector; code executed inside importlib's own namespace before this module loads.
// Everything else is inside.
//
// The checks themselves run no Python code: they look up exact str keys only in dicts whose keys
// are all exact str (the look-up then compares strings and nothing else), read attributes only of
// objects whose types they have checked, and drop only references to what something else still
// holds. No condition rests on watching an instance's __dict__: the interpreter calls no dict
// watcher for attribute stores into an object whose attributes live inline.
//
// 1. Remembered module globals (look-ups of datetime, date, import_module, ...).
//    Trusts: the value found under a name in the module namespace, by a look-up that ran no Python
//    code.
//    Invalidated by: any change of the namespace; a key that is not an exact str (a str subclass
//    with a colliding hash has its __eq__ run by every look-up).
//    Detected by: a dict watcher counting its changes; the namespace's keys all exact str when
//    read (as the interpreter's own global-variable specialisation requires). No watcher ID left:
//    never taken.
// 2. Intact instance: the getters read the slot directly.
//    Trusts: type(self) is the class as assembled, its namespace holds what it held then (its
//    slots the class's own member descriptors), and attribute reads and writes on its instances
//    are the generic ones.
//    Invalidated by: a class attribute set or deleted, the class dict changed behind the class's
//    back (through gc), __bases__ assigned, __class__ assigned on the instance; __getattribute__,
//    __getattr__, __setattr__ or __delattr__ set on the class (its tp_getattro / tp_setattro).
//    Detected by: type identity; a dict watcher on the class namespace and the class's version
//    tag, the class being checked again once after each change (the hooks by its two slots). No
//    watcher ID left: never taken. Nothing is held, nor any weak reference made: the class is
//    borrowed until its namespace, which it holds, reports its end to the watcher (read only
//    through an instance's type or a class in hand at its address, so that a namespace kept
//    alive elsewhere does no harm: a class made there since has another namespace), the
//    descriptors the check found are borrowed from its namespace and used only while that is
//    unchanged.
// 3. Own property read / write: self.module, self.versions, self.current and the writes of
//    __init__ run the member directly.
//    Trusts: 2, and the property object still holds a function of this module made from the
//    getter's / setter's row (which behaves as the row says, whatever object it is).
//    Invalidated by: property.__init__ run again on the very object (the class sees no change).
//    Detected by: the row of its getter / setter, read through the property's layout, which is
//    confirmed against its fget / fset attributes when the class is checked.
// 4. Own VersionManager.get_module: current and last run get_module directly.
//    Trusts: the module global is the class of 2, its namespace intact, and the static method
//    there still wraps a function made from get_module's row.
//    Invalidated by: staticmethod.__init__ run again in place; a decorator that wrapped it.
//    Detected by: 2, then the row of the wrapped callable (layout confirmed as in 3).
// 5. Native date conversion: date(y, m, d) becomes datetime(y, m, d) without Python calls.
//    Trusts: the module globals date and datetime are the interpreter's own classes, whose
//    constructor the C API's runs (the same range checks, the same errors, at the same line).
//    Invalidated by: rebinding either. Detected by: identity with the datetime C API's types.
// 6. Native naive comparison in the walk of current.
//    Trusts: two naive datetimes compare as their data bytes do, unsigned, whatever the fields
//    hold (one made from a pickled state may hold a day of 255), running no Python code.
//    Invalidated by: a clock or start of another type, or aware.
//    Detected by: exact type and no tzinfo, checked at each comparison.
// 7. Native sort of a new table: a new list, as sorted() returns (its items moved from the table
//    when nothing else holds that, else copied), sorted in place.
//    Trusts: every entry is an exact pair with a naive datetime start (compared as in 6);
//    `sorted` is the builtin; a list that nothing else holds can give its items away unseen.
//    Invalidated by: Python code run while the table was built that reached the list (gc) and
//    changed or kept it. Detected by: every entry checked again at sort time; the list's
//    reference count.
// 8. Sort key on a tuple. Trusts: item[1] of an exact tuple is its own item. Detected by: exact
//    type and size.
// 9. A loaded module returned without calling import_module, as the import statement does.
//    Trusts: import_module(name=path) with the standard library's own function, unmodified, on an
//    unmodified import system, returns sys.modules[path] when that is a module not being
//    initialised, running no Python code of its own that anyone could observe.
//    Invalidated by: the module global rebound; the __code__, __defaults__, __kwdefaults__ or
//    call entry of import_module, _gcd_import, _sanity_check or _find_and_load replaced; a name
//    that importlib's code reads on that path rebound (in importlib, importlib._bootstrap, sys or
//    builtins), sys.modules replaced, ModuleSpec changed (or rebound to a class that is not a
//    Python class of object alone whose instances have a __dict__); a module's or spec's class
//    changed;
//    a relative name; a module missing, None or being initialised (read as importlib reads it);
//    anything that observes calls (sys.setprofile, sys.settrace, sys.monitoring events, global or
//    local to those functions' code); a recursion depth at which the call would fail.
//    Detected by: identity of the global; each function's version, which the interpreter zeroes
//    for good when any of those four is replaced (its own specialised calls trust it the same
//    way); dict watchers on sys.modules, those four namespaces and ModuleSpec's, and ModuleSpec's
//    version tag, the system being recorded afresh once after each change (every dict it reads
//    holding exact str keys only, the builtins it reads the interpreter's own); nothing of it is
//    held, all is borrowed from those dicts while they are unchanged; type identity of the modules
//    and specs read by attribute; the thread state's profile and trace functions; the global
//    monitoring events, read again whenever the instrumentation version that the running thread
//    carries in its eval_breaker moves; the code objects' local monitors; the thread state's
//    remaining recursion depth. No watcher ID left: never taken. The look-up reads sys.modules and
//    the module's namespace only while their keys are all exact str, and the ModuleSpec's
//    _initializing where the interpreter keeps it: in the ModuleSpec's inline values while those
//    are its attributes (3.13 to 3.15), else in its attribute dict while that has exact str keys
//    only (else the call is made, and its look-ups run whatever they run). What the first two
//    found is remembered, borrowed, until sys.modules or the module's namespace changes (both
//    watched; they hold what is remembered, and a dict that gets a key of another type changes);
//    the ModuleSpec's _initializing is read again at every use. (A look-up of this module itself
//    is not remembered: its namespace counts its changes apart.) A get_module call with the very
//    argument objects of one answered that way, with the module namespace unchanged since (so
//    import_module is still the function read then), gets the same answer while the conditions
//    of the call hold.
// 10. A Versioned module path made before is used again.
//    Trusts: exact str objects never change, so the same two objects join to the same path.
//    Detected by: identity of the package name and the version name (held while remembered).
// 11. The clock read without looking `now` up: the standard datetime class's own classmethod.
//    Trusts: the module global datetime is the datetime C API's class, an immutable type, so
//    datetime.now is its own classmethod, whose C function a call of the bound method would run
//    (with the same recursion check).
//    Invalidated by: rebinding datetime (a subclass, a stand-in). Detected by: identity with the
//    C API's type; the method's calling convention checked when recorded, its function read at
//    every call (clock-freezing tools swap it).
// 12. last on an intact instance takes the first pair of its table at once.
//    Trusts: 3 for versions; the table an exact list whose first entry is an exact pair: the two
//    reads of self.versions, the length and the unpacking run no Python code, so they give this.
//    Detected by: 3, then exact types and size.
// 13. Keyword names found before to name every parameter in order: binding is skipped.
//    Trusts: a tuple never changes, and its length fixes how many arguments came by position.
//    Detected by: identity with the tuple held since it was found in order (per function).
//
// Built with QUORLIN_NO_FAST_PATHS every condition is false, so every member takes the plain path.
// The interpreter internals that 1, 2 to 4, 7 and 9 read (dict keys and inline values, list items,
// object layouts, function versions, thread state, monitoring data) come from compat.hpp, which
// compiles them off on versions it was not checked on: there those shortcuts are never taken.
//
// Where each is checked, by what it trusts: 1 in fast_paths.cpp, beside the dict watcher that all
// share; the class, 2 to 4 and 12, in fast_class.cpp; the clock and dates, 5 to 8 and 11, in
// fast_dates.cpp; the import system, 9, in fast_import.cpp; binding, 10 and 13, in
// fast_binding.cpp. fast_shared.hpp holds what more than one of them reads.
//
// What the shortcuts remember (watcher ID, objects, versions, the datetime C API) belongs to the
// interpreter that loaded the module; forget() abandons it, in every part, once that interpreter is
// finished.
#pragma once

#include "ref.hpp"

namespace quorlin::fast {

// Abandons everything the shortcuts remember, without touching it: the interpreter it came from has
// been finalised. The module loaded next starts from nothing, as the first did.
void forget() noexcept;

// Registers the module namespace with the watcher (taken on first use). Without a free watcher ID
// the module works without the shortcuts that need one. -1 only for other failures.
int watch_globals(PyObject *globals) noexcept;

// Every key of `dict` is an exact str, so that looking up an exact str in it runs no Python code.
bool str_keyed(PyObject *dict) noexcept;

// The value remembered for `name` (new reference) while the namespace is unchanged, else nullptr
// without an exception.
PyObject *remembered_global(PyObject *name) noexcept;
// Remembers `value`, just read from the namespace under `name` while str_keyed() held for it, with
// no Python code run since.
void remember_global(PyObject *name, PyObject *value) noexcept;

// Records the freshly assembled class. -1 with an exception set on failure (no shortcut is taken
// on a class that does not look as assembled).
int remember_class(PyObject *cls) noexcept;

enum class Slot : unsigned char { module, versions };
enum class Prop : unsigned char { module, versions, current };

// The value in `self`'s slot (borrowed; nullptr when unset or when `self` is not intact).
PyObject *intact_slot(PyObject *self, Slot slot) noexcept;
// `self.<prop>` would run the class's own getter / setter.
bool own_getter(PyObject *self, Prop prop) noexcept;
// The slot value (borrowed) that `self.module` / `self.versions` would read through the class's own
// getter, or nullptr when that getter would not run or the slot is unset.
PyObject *own_slot_value(PyObject *self, Slot slot) noexcept;
bool own_setter(PyObject *self, Prop prop) noexcept;
// `cls.get_module` would be the class's own static method's function.
bool own_get_module(PyObject *cls) noexcept;
// Both 3 for self.module and 4 for `cls`, checked at once: the exact str (borrowed) that
// self.module would read, or nullptr when either would not hold or the slot holds something else.
PyObject *own_delegation(PyObject *self, PyObject *cls) noexcept;

// Loads the datetime C API, which 5 to 7 need, if the interpreter's own datetime module is
// importable; never fails (without it those shortcuts are not taken).
void load_datetime_api() noexcept;

// datetime.now() (new reference), or nullptr without an exception when `clock` is not the
// standard class and now() must be looked up.
PyObject *native_now(PyObject *clock, bool &taken) noexcept;

// date and datetime are the interpreter's own classes.
bool native_dates(PyObject *date, PyObject *datetime) noexcept;
// datetime(date.year, date.month, date.day) for an exact date, once native_dates() held.
PyObject *midnight(PyObject *date) noexcept;
// `value` is an exact datetime without tzinfo.
bool naive_datetime(PyObject *value) noexcept;
// Every entry of the exact list `table` is an exact pair with a naive datetime start and the
// captured `sorted` is the builtin, so the native stable sort of its copy gives what sorted()
// would.
bool native_sort(PyObject *table) noexcept;
// A new list (new reference) with the items of `table`, the exact list native_sort() accepted, for
// the native sort to sort: a list as sorted() makes it.
PyObject *new_table(PyObject *table) noexcept;
// item[1] is the tuple's own item.
bool tuple_key(PyObject *item) noexcept;

// Records the import system as loaded (importlib just imported). -1 with an exception set only for
// failures of the interpreter itself; an import system that does not look standard is recorded as
// such, and 9 is never taken.
int remember_import_system() noexcept;
// The arguments of a get_module call that imports a submodule (exact str objects, or None for
// `current`).
struct Call {
    PyObject *package, *version, *current;
};

// 1 with `*module` the module that import_module(name=path) would return (new reference), when
// `import_module` is the standard function and the call may be skipped; 0: make the call; -1 with
// an exception set: a look-up it shares with the call raised (as it would have in the call).
// `call`, when given, is the get_module call that made `path` and read `import_module` just now.
int loaded_module(PyObject *import_module, PyObject *path, PyObject **module,
                  const Call *call = nullptr) noexcept;

// The module (new reference) that get_module(package, version, current) gave through 1 last time
// for these very objects, when that call would give it again now; else nullptr, no exception.
PyObject *known_submodule(PyObject *package, PyObject *version, PyObject *current) noexcept;

// module + "." + version as made before for these very objects (new reference), or nullptr.
PyObject *reused_path(PyObject *module, PyObject *version) noexcept;
// Remembers `path`, just made from `module` and `version`.
void keep_path(PyObject *module, PyObject *version, PyObject *path) noexcept;

// `kwnames` is the tuple `seen` (kept by keep_keywords() for one function).
bool same_keywords(PyObject *seen, PyObject *kwnames) noexcept;
// Holds `kwnames`, just found in order, in `seen` (an owned reference or NULL).
void keep_keywords(PyObject *&seen, PyObject *kwnames) noexcept;

} // namespace quorlin::fast
