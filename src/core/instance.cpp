#include "instance.h"

#include "strings.h"

#include <structmember.h>

namespace pw {

namespace {

// The library's classes of this layout, each with the guard proving it
// unchanged and the entry of its dicts that holds `context`.
struct Watched {
    PyTypeObject* type;
    TypeGuard guard;
    Py_ssize_t context_at;
};
Watched watched[8];
int watched_count;
// The same classes by address, found without a search unless two share a
// bucket.
constexpr unsigned bucket_count = 32;
Watched* buckets[bucket_count];

unsigned bucket_of(PyTypeObject* type) {
    return (reinterpret_cast<uintptr_t>(type) >> 4) % bucket_count;
}

Watched* entry_of(PyTypeObject* type) {
    Watched* hit = buckets[bucket_of(type)];
    if (hit && hit->type == type) return hit;
    for (int i = 0; i < watched_count; i++) {
        if (watched[i].type == type) return &watched[i];
    }
    return nullptr;
}

// The entry of an object's class while its dict may be read directly.
Watched* direct_entry(PyObject* obj) {
    Watched* entry = fast_paths ? entry_of(Py_TYPE(obj)) : nullptr;
    return entry && entry->guard.holds() ? entry : nullptr;
}

Ref dict_of(PyObject* obj) {
    PyObject* dict = reinterpret_cast<Instance*>(obj)->dict;
    return Ref::borrow(dict && PyDict_CheckExact(dict) ? dict : nullptr);
}

}  // namespace

int watch_instance_type(PyTypeObject* type, Py_ssize_t context_at) {
    if (entry_of(type)) return 0;
    if (watched_count == 8) {
        PyErr_SetString(PyExc_SystemError, "too many classes to watch");
        return -1;
    }
    Watched& entry = watched[watched_count];
    if (entry.guard.watch(type) < 0) return -1;
    entry.type = type;
    entry.context_at = context_at;
    watched_count++;
    Watched*& bucket = buckets[bucket_of(type)];
    if (!bucket) bucket = &entry;
    return 0;
}

bool builds_directly(PyTypeObject* type) {
    Watched* entry = fast_paths ? entry_of(type) : nullptr;
    return entry && entry->guard.holds();
}

Ref direct_dict(PyObject* obj) {
    return direct_entry(obj) ? dict_of(obj) : Ref();
}

Ref instance_attr(PyObject* obj, PyObject* name, Py_ssize_t at) {
    if (Ref dict = direct_dict(obj)) {
        Ref value = dict_item(dict.get(), name, at);
        if (value || PyErr_Occurred()) return value;
    }
    return getattr(obj, name);
}

Ref context_of(PyObject* obj) {
    Watched* entry = direct_entry(obj);
    if (Ref dict = entry ? dict_of(obj) : Ref()) {
        Ref value = dict_item(dict.get(), names.context, entry->context_at);
        if (value || PyErr_Occurred()) return value;
    }
    return getattr(obj, names.context);
}

int calls_own(PyObject* obj, PyTypeObject* type, PyObject* method) {
    if (!Py_IS_TYPE(obj, type)) return 0;
    Ref dict = direct_dict(obj);
    if (!dict) return 0;
    if (PyDict_GetItemWithError(dict.get(), method)) return 0;
    return PyErr_Occurred() ? -1 : 1;
}

PyObject* new_instance(PyTypeObject* type, std::initializer_list<PyObject*> attributes) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (auto item = attributes.begin(); item != attributes.end(); item += 2) {
        if (PyDict_SetItem(dict.get(), item[0], item[1]) < 0) return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<Instance*>(self)->dict = dict.release();
    return self;
}

int instance_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Instance*>(self)->dict);
    return 0;
}

int instance_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Instance*>(self)->dict);
    return 0;
}

void instance_dealloc(PyObject* self) { dealloc_cleared<instance_clear>(self); }

PyMemberDef instance_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Instance, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Instance, weakrefs), READONLY, nullptr},
    {},
};

// obj.__weakref__: the first weak reference to obj, or None.
PyObject* get_weakref(PyObject* self, void*) {
    PyObject* first = reinterpret_cast<Instance*>(self)->weakrefs;
    return Py_NewRef(first ? first : Py_None);
}

PyGetSetDef instance_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__weakref__", get_weakref, nullptr, nullptr, nullptr},
    {},
};

}  // namespace pw
