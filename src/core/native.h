// Native state with a Python view on demand, for LatexContext, whose
// attributes the library itself reads and writes far more often than
// Python code does.
//
// Such a class keeps its attributes in C fields instead of an instance
// dict, as CPython keeps a Python class's attributes in inline values: a
// fresh instance of the exact type, initialised by the type's own
// constructor, holds each attribute in a field. Reading or assigning one of
// those attributes reads or sets the field. Anything else that needs the
// dict (vars(), __dict__, another attribute, deleting one, copy or pickle,
// a changed class) first builds the dict, with its keys in the order the
// constructor binds them, and from then on the dict is the truth.
//
// A field may also be lazy: its Python value (a text buffer, an empty
// package table) is made only when Python code reads it.
//
// Native state, like every fast path, is guarded: it is used only for
// objects whose type is exactly the library's, unchanged since the library
// made it, and not at all when PAGEWRIGHT_NO_FAST_PATHS is set.
#pragma once

#include "guard.h"

namespace pw {

constexpr int max_fields = 6;

struct NativeSpec {
    PyTypeObject** type;  // the exact type whose instances hold native state
    TypeGuard* guard;
    int count;
    PyObject** names[max_fields];  // attribute names, in binding order
    // The Python value of lazy field i (a new reference); the native
    // storage behind it stays until discard() is called.
    PyObject* (*derive)(PyObject* self, int field);
    // Frees the native storage behind lazy field i.
    void (*discard)(PyObject* self, int field);
};

struct Native {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    const NativeSpec* spec;  // set while the fields hold the attributes
    PyObject* fields[max_fields];
};

// The value of a field whose Python value is made on first read.
extern PyObject* lazy;

int init_native();

// The fields of `self`, an object of the Native layout, when it is in
// native state and its type is unchanged; NULL when the generic path must
// run.
inline PyObject** native_fields(PyObject* self) {
    auto* n = reinterpret_cast<Native*>(self);
    const NativeSpec* spec = n->spec;
    if (!spec || !Py_IS_TYPE(self, *spec->type) || !spec->guard->holds()) return nullptr;
    return n->fields;
}

// The same for an object of any type: NULL unless it is exactly of spec's type.
inline PyObject** native_fields(PyObject* obj, const NativeSpec& spec) {
    if (!Py_IS_TYPE(obj, *spec.type)) return nullptr;
    return reinterpret_cast<Native*>(obj)->spec == &spec && spec.guard->holds()
               ? reinterpret_cast<Native*>(obj)->fields
               : nullptr;
}

// Whether a constructor may set the fields of `self` directly: it is a
// fresh or native instance of exactly spec's type, which is unchanged.
bool may_go_native(PyObject* self, const NativeSpec& spec);

// Makes `self` native with these values (new references; `lazy` allowed),
// dropping what its fields held.
void set_native(PyObject* self, const NativeSpec& spec, std::initializer_list<PyObject*> values);

// Replaces field i (a new reference), freeing native storage behind it.
void set_field(PyObject* self, int i, PyObject* value);

// The Python value of field i of a native object, made if lazy.
Ref field_value(PyObject* self, int i);

// obj.<name of spec's field i>: the field's value while obj is native in
// spec's sense, else looked up as Python code would.
inline Ref native_attr(PyObject* obj, const NativeSpec& spec, int i) {
    PyObject** fields = native_fields(obj, spec);
    if (!fields) return getattr(obj, *spec.names[i]);
    return fields[i] == lazy ? field_value(obj, i) : Ref::borrow(fields[i]);
}

// Builds the instance dict from the fields; the object is in dict mode
// afterwards. 0, or -1 with an exception (the object is then unchanged).
int to_dict_mode(PyObject* self);

PyObject* native_getattro(PyObject* self, PyObject* name);
int native_setattro(PyObject* self, PyObject* name, PyObject* value);
// For the type's own tp_traverse and tp_clear.
int native_traverse(PyObject* self, visitproc visit, void* arg);
int native_clear(PyObject* self);
extern PyMemberDef native_members[];
extern PyGetSetDef native_getset[];

// Removes the entries that Py_tp_getattro and Py_tp_setattro put in the
// class namespace, which a class written in Python would not have;
// the slots themselves stay.
int hide_attribute_slots(PyTypeObject* type);

}  // namespace pw

// The slots of a type whose instances may hold native state; the type adds
// its own tp_traverse, tp_clear and tp_dealloc.
#define PW_NATIVE_SLOTS                                                  \
    {Py_tp_getattro, reinterpret_cast<void*>(pw::native_getattro)},      \
    {Py_tp_setattro, reinterpret_cast<void*>(pw::native_setattro)},      \
    {Py_tp_members, pw::native_members},                                 \
    {Py_tp_getset, pw::native_getset}
