#include "instance.h"

#include <structmember.h>

namespace pw {

namespace {

// The library's classes of this layout, each with the guard proving it unchanged.
struct Watched {
    PyTypeObject* type;
    TypeGuard guard;
};
Watched watched[8];
int watched_count;

TypeGuard* guard_of(PyTypeObject* type) {
    for (int i = 0; i < watched_count; i++) {
        if (watched[i].type == type) return &watched[i].guard;
    }
    return nullptr;
}

}  // namespace

int watch_instance_type(PyTypeObject* type) {
    if (guard_of(type)) return 0;
    if (watched_count == 8) {
        PyErr_SetString(PyExc_SystemError, "too many classes to watch");
        return -1;
    }
    Watched& entry = watched[watched_count];
    if (entry.guard.watch(type) < 0) return -1;
    entry.type = type;
    watched_count++;
    return 0;
}

bool builds_directly(PyTypeObject* type) {
    TypeGuard* guard = fast_paths ? guard_of(type) : nullptr;
    return guard && guard->holds();
}

PyObject* direct_dict(PyObject* obj) {
    if (!builds_directly(Py_TYPE(obj))) return nullptr;
    PyObject* dict = reinterpret_cast<Instance*>(obj)->dict;
    return dict && PyDict_CheckExact(dict) ? dict : nullptr;
}

Ref instance_attr(PyObject* obj, PyObject* name) {
    if (PyObject* dict = direct_dict(obj)) {
        PyObject* value = PyDict_GetItemWithError(dict, name);
        if (value) return Ref::borrow(value);
        if (PyErr_Occurred()) return Ref();
    }
    return getattr(obj, name);
}

bool calls_own(PyObject* obj, PyTypeObject* type, PyObject* method) {
    if (!Py_IS_TYPE(obj, type)) return false;
    PyObject* dict = direct_dict(obj);
    return dict && !PyDict_GetItemWithError(dict, method) && !PyErr_Occurred();
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
