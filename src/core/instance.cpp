#include "instance.h"

#include <structmember.h>

namespace pw {

int instance_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Instance*>(self)->dict);
    return 0;
}

int instance_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<Instance*>(self)->dict);
    return 0;
}

void instance_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    instance_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef instance_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Instance, dict), READONLY, nullptr},
    {},
};

PyGetSetDef instance_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {},
};

}  // namespace pw
