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

Ref direct_dict(PyObject* obj) {
    if (!builds_directly(Py_TYPE(obj))) return Ref();
    PyObject* dict = reinterpret_cast<Instance*>(obj)->dict;
    return Ref::borrow(dict && PyDict_CheckExact(dict) ? dict : nullptr);
}

Ref instance_attr(PyObject* obj, PyObject* name) {
    if (Ref dict = direct_dict(obj)) {
        Ref value = dict_item(dict.get(), name);
        if (value || PyErr_Occurred()) return value;
    }
    return getattr(obj, name);
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
