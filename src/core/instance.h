// The layout of a class written in Python, for the library's plain classes
// (UsePackage): the state lives in the instance __dict__. Also the helpers
// every library type shares: deallocation and a pool of spare objects.
#pragma once

#include "guard.h"

#include <cstring>

namespace pw {

struct Instance {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;  // as for any class written in Python
};

// tp_dealloc of a garbage-collected heap type whose tp_clear is `clear`,
// weak references cleared first if there are any. Long chains of objects
// (contexts holding their parents, say) are freed without deep C
// recursion.
template <inquiry clear>
void dealloc_cleared(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, dealloc_cleared<clear>)
    if (reinterpret_cast<Instance*>(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

// A few freed objects of one garbage-collected type, kept for reuse: the
// library makes and frees some objects (managers, child contexts) once per
// block. Not with the fast paths off, so that a use after free stays
// visible to the memory checkers there.
template <int capacity>
class Spares {
public:
    // Keeps the memory of an object whose dealloc has cleared it, instead
    // of freeing it: true when kept.
    bool keep(PyObject* op) {
        if (!fast_paths || count_ == capacity) return false;
        items_[count_++] = op;
        return true;
    }

    // A zeroed, untracked object of `type` with one reference, as from
    // PyObject_GC_New; NULL when none is kept.
    PyObject* take(PyTypeObject* type) {
        PyObject* op = take_unset(type);
        if (op) {
            std::memset(reinterpret_cast<char*>(op) + sizeof(PyObject), 0,
                        type->tp_basicsize - sizeof(PyObject));
        }
        return op;
    }

    // The same without zeroing, for a caller that sets every field.
    PyObject* take_unset(PyTypeObject* type) {
        if (count_ == 0) return nullptr;
        return PyObject_Init(items_[--count_], type);
    }

private:
    PyObject* items_[capacity];
    int count_ = 0;
};

int instance_traverse(PyObject* self, visitproc visit, void* arg);
int instance_clear(PyObject* self);
void instance_dealloc(PyObject* self);
extern PyMemberDef instance_members[];
extern PyGetSetDef instance_getset[];
PyObject* get_weakref(PyObject* self, void*);

inline constexpr unsigned instance_flags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

// A new instance of `type` whose dict holds the attributes in the order
// given (name, value, name, value, ...: borrowed), the constructor not run.
PyObject* new_instance(PyTypeObject* type, std::initializer_list<PyObject*> attributes);

}  // namespace pw

// The slots every such type shares; put them in its PyType_Slot table.
#define PW_INSTANCE_SLOTS                                                   \
    {Py_tp_members, pw::instance_members},                                  \
    {Py_tp_getset, pw::instance_getset},                                    \
    {Py_tp_traverse, reinterpret_cast<void*>(pw::instance_traverse)},       \
    {Py_tp_clear, reinterpret_cast<void*>(pw::instance_clear)},             \
    {Py_tp_dealloc, reinterpret_cast<void*>(pw::instance_dealloc)}
