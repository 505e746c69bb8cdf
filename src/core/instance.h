// The layout of the library's plain classes: an object whose state lives in
// its instance __dict__, as a Python class's would, so that `vars(obj)`
// shows it and subclasses may set the attributes themselves.
#pragma once

#include "ref.h"

namespace pw {

struct Instance {
    PyObject_HEAD
    PyObject* dict;
};

int instance_traverse(PyObject* self, visitproc visit, void* arg);
int instance_clear(PyObject* self);
void instance_dealloc(PyObject* self);
extern PyMemberDef instance_members[];
extern PyGetSetDef instance_getset[];

inline constexpr unsigned instance_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

}  // namespace pw

// The slots every such type shares; put them in its PyType_Slot table.
#define PW_INSTANCE_SLOTS                                                   \
    {Py_tp_members, pw::instance_members},                                  \
    {Py_tp_getset, pw::instance_getset},                                    \
    {Py_tp_traverse, reinterpret_cast<void*>(pw::instance_traverse)},       \
    {Py_tp_clear, reinterpret_cast<void*>(pw::instance_clear)},             \
    {Py_tp_dealloc, reinterpret_cast<void*>(pw::instance_dealloc)}
