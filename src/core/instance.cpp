#include "instance.h"

#include <structmember.h>

namespace pw {

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
