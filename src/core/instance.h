// The layout of the library's writer classes: an object whose state lives
// in its instance __dict__, as a Python class's would, so that `vars(obj)`
// shows it and subclasses may set the attributes themselves. Their methods
// are called from Python in hot loops, and with the generic attribute
// lookup the interpreter calls them without making a bound method.
//
// The fast paths read and write that dict directly, and build new instances
// with their dict without running the constructor, while the object is
// exactly of its class and the class is unchanged: attribute lookup then
// finds exactly what the dict holds.
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
// weak references cleared first if it takes any.
// Long chains of objects (contexts holding their parents, say) are freed
// without deep C recursion.
template <inquiry clear>
void dealloc_cleared(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, dealloc_cleared<clear>)
    if (type->tp_weaklistoffset) PyObject_ClearWeakRefs(self);
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
        if (count_ == 0) return nullptr;
        PyObject* op = items_[--count_];
        std::memset(reinterpret_cast<char*>(op) + sizeof(PyObject), 0,
                    type->tp_basicsize - sizeof(PyObject));
        return PyObject_Init(op, type);
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

// Registers a finished class for the direct paths below; `context_at` is
// the entry of its instance dicts that holds `context` when the library
// builds them (-1 for a class without one).
int watch_instance_type(PyTypeObject* type, Py_ssize_t context_at = -1);

// Whether instances of `type` may be built directly (new_instance).
bool builds_directly(PyTypeObject* type);

// The instance dict of `obj` for direct access (a new reference), or an empty
// Ref for the generic path. The reference is needed: a lookup in the dict may
// compare keys with Python code (a key's __eq__) that replaces obj.__dict__.
Ref direct_dict(PyObject* obj);

// dict[name] as a new reference; empty when missing (no error) or on error.
inline Ref dict_item(PyObject* dict, PyObject* name) {
    return Ref::borrow(PyDict_GetItemWithError(dict, name));
}

// dict[name], read straight from entry `at` when `name` itself is the key
// there, as in the dicts the library builds with their keys in a known
// order; otherwise (a dict changed since) looked up.
inline Ref dict_item(PyObject* dict, PyObject* name, Py_ssize_t at) {
    PyObject* key;
    PyObject* value;
    if (at >= 0 && PyDict_Next(dict, &at, &key, &value) && key == name) {
        return Ref::borrow(value);
    }
    return dict_item(dict, name);
}

// obj.name, from the dict when it can be read directly (at entry `at`, if
// that is where the library put it).
Ref instance_attr(PyObject* obj, PyObject* name, Py_ssize_t at = -1);

// obj.context, for any object: from the dict of a registered class at the
// entry where the library puts it.
Ref context_of(PyObject* obj);

// Whether obj.method(...) would run `type`'s own method: obj is exactly of
// the unchanged type and its dict does not shadow the method. 1 or 0, or -1
// with an exception when looking in the dict failed.
int calls_own(PyObject* obj, PyTypeObject* type, PyObject* method);

// A new instance of `type` whose dict holds the attributes in the order
// given (name, value, name, value, ...: borrowed), the constructor not run.
// Only for a type that builds_directly.
PyObject* new_instance(PyTypeObject* type, std::initializer_list<PyObject*> attributes);

}  // namespace pw

// The slots every such type shares; put them in its PyType_Slot table.
#define PW_INSTANCE_SLOTS                                                   \
    {Py_tp_members, pw::instance_members},                                  \
    {Py_tp_getset, pw::instance_getset},                                    \
    {Py_tp_traverse, reinterpret_cast<void*>(pw::instance_traverse)},       \
    {Py_tp_clear, reinterpret_cast<void*>(pw::instance_clear)},             \
    {Py_tp_dealloc, reinterpret_cast<void*>(pw::instance_dealloc)}
