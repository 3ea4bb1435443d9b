// fast_binding.cpp: the shortcuts of argument binding (10 and 13 of fast_paths.hpp): module
// paths made before and keyword names found in order.
#include "fast_shared.hpp"

namespace quorlin::fast {

namespace {

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

void forget_binding() noexcept {
    kept_paths.forget();
}

} // namespace quorlin::fast
