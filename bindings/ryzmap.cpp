// _ryzmap: the per-user domain id registry of libryx as a CPython module.
//
// Every function is one libryx call (or one iterator walk) with its arguments converted from
// Python objects and its result converted back. The interpreter lock is held throughout: libryx
// calls are short, and callers rely on calls from several threads being serialised.
// No permission checks here: libryx and the registry's file modes decide.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dirent.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/types.h>

#include <memory>

#include <ryx/ryz-map.h>

#include "ryx-owners.h"
#include "ryx-paths.h"

namespace {

// Owners release on every path, in reverse order of declaration: an iterator (ryx::MapIter) or
// the directory (ryx::DirStream) is thus closed before the partly built container is released.
struct Decref {
    void operator()(PyObject *obj) const noexcept { Py_DECREF(obj); }
};
using Ref = std::unique_ptr<PyObject, Decref>;

PyObject *id_object(uint32_t id) {
    return PyLong_FromUnsignedLong(static_cast<unsigned long>(id));
}

PyObject *py_fnv1a(PyObject *, PyObject *args) {
    const char *docroot;
    if (!PyArg_ParseTuple(args, "s", &docroot)) return nullptr;
    return id_object(ryz_fnv1a(docroot));
}

PyObject *py_lookup(PyObject *, PyObject *args) {
    unsigned int uid;
    const char *docroot;
    if (!PyArg_ParseTuple(args, "Is", &uid, &docroot)) return nullptr;
    return id_object(ryz_map_lookup(uid, docroot));
}

PyObject *py_assign(PyObject *, PyObject *args) {
    unsigned int uid;
    const char *docroot;
    if (!PyArg_ParseTuple(args, "Is", &uid, &docroot)) return nullptr;
    uint32_t id = 0; // a success that stores nothing reads as 0
    int rc = ryz_map_assign(uid, docroot, &id);
    if (rc < 0) return PyErr_Format(PyExc_OSError, "ryz_map_assign failed: %d", rc);
    return id_object(id);
}

PyObject *py_remove(PyObject *, PyObject *args) {
    unsigned int uid;
    const char *docroot;
    if (!PyArg_ParseTuple(args, "Is", &uid, &docroot)) return nullptr;
    uint32_t old_id = 0; // the library leaves it alone when nothing was mapped
    int rc = ryz_map_remove(uid, docroot, &old_id);
    if (rc < 0) return PyErr_Format(PyExc_OSError, "ryz_map_remove failed: %d", rc);
    if (old_id == 0) Py_RETURN_NONE;
    return id_object(old_id);
}

PyObject *py_remove_all(PyObject *, PyObject *args) {
    unsigned int uid;
    if (!PyArg_ParseTuple(args, "I", &uid)) return nullptr;
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    {
        // The snapshot is taken, and its iterator closed, before anything is removed: a
        // listing that fails part-way must leave the registry as it was.
        ryx::MapIter it(ryz_map_iter_open(uid));
        if (it) {
            const char *docroot;
            uint32_t id;
            while (ryz_map_iter_next(it.get(), &docroot, &id) == 0) {
                Ref item(Py_BuildValue("(sI)", docroot, id));
                if (!item) return nullptr;
                if (PyList_Append(list.get(), item.get()) < 0) return nullptr;
            }
        }
    }
    int rc = ryz_map_remove_all(uid);
    if (rc < 0) return PyErr_Format(PyExc_OSError, "ryz_map_remove_all failed: %d", rc);
    return list.release();
}

PyObject *py_verify_ownership(PyObject *, PyObject *args) {
    unsigned int uid;
    unsigned int domain_id;
    if (!PyArg_ParseTuple(args, "II", &uid, &domain_id)) return nullptr;
    // Only zero means "not registered"; the library gives 0 when it cannot decide.
    return PyBool_FromLong(ryz_map_verify_ownership(uid, domain_id));
}

PyObject *py_get_all_entries(PyObject *, PyObject *args) {
    unsigned int uid;
    if (!PyArg_ParseTuple(args, "I", &uid)) return nullptr;
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    ryx::MapIter it(ryz_map_iter_open(uid));
    if (!it) return dict.release();
    const char *docroot;
    uint32_t id;
    while (ryz_map_iter_next(it.get(), &docroot, &id) == 0) {
        Ref value(id_object(id));
        if (!value) return nullptr;
        // The key is decoded as UTF-8 here, before the next call invalidates docroot.
        if (PyDict_SetItemString(dict.get(), docroot, value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject *py_get_all_domain_ids(PyObject *, PyObject *) {
    Ref ids(PySet_New(nullptr));
    if (!ids) return nullptr;
    ryx::DirStream dir(opendir(RYX_REGISTRY_DIR));
    if (!dir) return ids.release(); // no registry yet: nobody has domain ids
    while (struct dirent64 *ent = readdir64(dir.get())) {
        const char *name = ent->d_name;
        if (name[0] == '.') continue; // ".", ".." and the library's own hidden files
        char *end;
        unsigned long value = strtoul(name, &end, 10);
        if (end == name || *end != '\0') continue;
        // Deliberately cut to 32 bits, as uid_t is: a name strtoul reads whole is a uid.
        uid_t uid = static_cast<uid_t>(value);
        ryx::MapIter it(ryz_map_iter_open(uid));
        if (!it) continue;
        const char *docroot;
        uint32_t id;
        while (ryz_map_iter_next(it.get(), &docroot, &id) == 0) {
            Ref item(id_object(id));
            if (!item) return nullptr;
            if (PySet_Add(ids.get(), item.get()) < 0) return nullptr;
        }
    }
    return ids.release();
}

PyObject *py_rebuild_index(PyObject *, PyObject *) {
    int rc = ryz_index_rebuild();
    if (rc < 0) return PyErr_Format(PyExc_OSError, "ryz_index_rebuild failed: %d", rc);
    Py_RETURN_NONE;
}

PyObject *py_min_id(PyObject *, PyObject *) {
    return id_object(ryz_get_id_min());
}

PyMethodDef ryzmap_methods[] = {
    {"fnv1a", py_fnv1a, METH_VARARGS, "fnv1a(docroot) -> int\nFNV-1a hash of docroot string."},
    {"lookup", py_lookup, METH_VARARGS,
     "lookup(uid, docroot) -> int\nO(1) lookup. Returns 0 if not found."},
    {"assign", py_assign, METH_VARARGS,
     "assign(uid, docroot) -> int\nAssign or return existing domain ID."},
    {"remove", py_remove, METH_VARARGS,
     "remove(uid, docroot) -> int or None\nRemove mapping, return old ID."},
    {"remove_all", py_remove_all, METH_VARARGS,
     "remove_all(uid) -> list[(str, int)]\nRemove all entries for uid."},
    {"verify_ownership", py_verify_ownership, METH_VARARGS,
     "verify_ownership(uid, domain_id) -> bool\nCheck if domain_id belongs to uid."},
    {"get_all_entries", py_get_all_entries, METH_VARARGS,
     "get_all_entries(uid) -> dict[str, int]\nAll entries for a uid."},
    {"get_all_domain_ids", py_get_all_domain_ids, METH_NOARGS,
     "get_all_domain_ids() -> set[int]\nAll domain IDs across all users."},
    {"rebuild_index", py_rebuild_index, METH_NOARGS,
     "rebuild_index() -> None\nForce .index rebuild from per-uid files."},
    {"min_id", py_min_id, METH_NOARGS,
     "min_id() -> int\nMinimum domain RYX ID (UID_MAX from /etc/login.defs, floor 60000)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef ryzmap_module = {
    PyModuleDef_HEAD_INIT,
    "_ryzmap",
    // "\xE2\x80\x94" is U+2014 EM DASH in UTF-8, spelled out so no editor can change it.
    "RYZ domain ID registry \xE2\x80\x94 C bindings backed by libryx.",
    -1,
    ryzmap_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit__ryzmap(void) {
    return PyModule_Create2(&ryzmap_module, PYTHON_API_VERSION);
}
