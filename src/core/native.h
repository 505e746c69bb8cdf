// Native state with a Python view on demand, for the library's classes
// whose attributes the library itself reads and writes far more often than
// Python code does.
//
// Such a class keeps its attributes in C fields, as CPython keeps a Python
// class's attributes in inline values, and exposes each one as a data
// descriptor of the class: the interpreter's own attribute protocol (generic
// lookup, object.__setattr__, super().__setattr__, method specialisation)
// then works unchanged. An instance made by the class itself (not by a
// Python subclass) is native: each descriptor reads or sets its field. The
// instance __dict__ is built when something needs it (vars(), __dict__,
// deleting an attribute, an attribute set while others are held elsewhere,
// copy or pickle, __class__ assignment), with its keys in the order the
// constructor binds them; from then on the dict holds the attributes and
// the descriptors read and write it. An instance of a Python subclass holds
// its attributes in the dict from the start.
//
// A field may be lazy: its value lives in storage of the class's own (a
// text buffer, a C integer, a list of cells) and its Python value is made
// when Python code reads it.
//
// Fast paths read the fields directly only for objects that are exactly of
// the library's class, unchanged since the library made it, and not at all
// when PAGEWRIGHT_NO_FAST_PATHS is set.
#pragma once

#include "guard.h"

namespace pw {

constexpr int max_fields = 6;

struct Layout;

struct Native {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    const Layout* layout;  // set while the fields hold the attributes
    // A field holds its attribute's value, NULL while the attribute is not
    // set, or `lazy` while the value lives in the class's own storage.
    PyObject* fields[max_fields];
};

// How a class's instances hold their attributes natively.
struct Layout {
    PyTypeObject** type;  // the exact class whose instances are native
    TypeGuard* guard;
    int count;
    PyObject** names[max_fields];  // attribute names, in binding order
    int context_at;                // the field that holds `context`, or -1
    // Bit i set: lazy field i is a C integer, whose value is made without
    // running Python code and leaves the field lazy. Any other lazy field
    // becomes its value (a stream made from a text buffer) when read.
    unsigned integers;
    // The Python value of lazy field i, a new reference.
    PyObject* (*value)(PyObject* self, int field);
    // Stores `value` (borrowed) as the C integer behind field i: 1 when it
    // fits, 0 when the field must hold the value as an object.
    int (*store)(PyObject* self, int field, PyObject* value);
    // Empties the native storage behind field i, whose field no longer
    // needs it, then releases what it held (which may run Python code).
    void (*discard)(PyObject* self, int field);

    bool is_integer(int i) const { return integers >> i & 1; }

    int index_of(PyObject* name) const;
};

// Marks a lazy field. Not a value Python code ever sees, and not counted:
// a field holding it owns no reference.
extern PyObject* lazy;

// Drops what a field held.
inline void release_field(PyObject* value) {
    if (value != lazy) Py_XDECREF(value);
}

int init_native();

inline Native* as_native(PyObject* self) { return reinterpret_cast<Native*>(self); }

// The fields of `obj` when it is a native instance of exactly layout's
// class and that class is unchanged; NULL when the generic path must run.
inline PyObject** native_fields(PyObject* obj, const Layout& layout) {
    if (!Py_IS_TYPE(obj, *layout.type)) return nullptr;
    Native* n = as_native(obj);
    return n->layout == &layout && layout.guard->holds() ? n->fields : nullptr;
}

// Whether a constructor may set the fields of `self` directly: it is
// exactly of layout's class, which is unchanged, and it is native or has
// no attributes yet.
bool may_go_native(PyObject* self, const Layout& layout);

// Makes `self` native with these values (new references, or `lazy`),
// dropping what its fields held. An attribute set before keeps its place.
void set_native(PyObject* self, const Layout& layout, std::initializer_list<PyObject*> values);

// The same for an object just made (from tp_alloc or a pool of spares),
// which holds no attributes yet.
inline void start_native(PyObject* self, const Layout& layout,
                         std::initializer_list<PyObject*> values) {
    Native* n = as_native(self);
    n->layout = &layout;
    PyObject** field = n->fields;
    for (PyObject* value : values) *field++ = value;
}

// Replaces field i of a native object (a new reference, or `lazy`),
// freeing the native storage behind it; the old value goes last.
void set_field(PyObject* self, int i, PyObject* value);

// The Python value of field i of a native object: a new reference, made if
// the field is lazy; NULL with AttributeError when the attribute is unset.
Ref field_value(PyObject* self, int i);

// obj.<name of layout's field i>: the field's value while obj is native in
// layout's sense, else looked up as Python code would.
inline Ref native_attr(PyObject* obj, const Layout& layout, int i) {
    PyObject** fields = native_fields(obj, layout);
    if (!fields || !fields[i]) return getattr(obj, *layout.names[i]);
    return fields[i] == lazy ? field_value(obj, i) : Ref::borrow(fields[i]);
}

// The tp_alloc of every native class and of no other: a class made from
// Python code gets the interpreter's own, so this marks exactly the
// library's native classes. (Their tp_free stays the interpreter's, which
// __class__ assignment compares.)
PyObject* native_alloc(PyTypeObject* type, Py_ssize_t items);

// Registers the layout of a native class (whose tp_alloc is native_alloc),
// so that the helpers below find it by the class.
int register_layout(const Layout& layout);

// Whether instances of `type` have the Native layout.
inline bool has_native_layout(PyTypeObject* type) { return type->tp_alloc == native_alloc; }

// The layout of exactly `type` when it is a registered native class and the
// fast paths are on; NULL otherwise.
const Layout* layout_of(PyTypeObject* type);

// Whether freeing `value`, held by an object being freed, may free a chain
// of objects through deallocators that do not guard against deep C
// recursion: it would be freed with its holder and is not of a type that
// holds nothing or guards itself. Objects holding only values without
// chains are freed without the trashcan.
bool frees_chain_of(PyObject* value);
inline bool frees_chain(PyObject* value) {
    return value && value != lazy && Py_REFCNT(value) == 1 && frees_chain_of(value);
}
// The same for the fields and dict of a native object.
bool holds_chain(PyObject* self);

// Types whose deallocation guards itself against deep chains (LatexContext).
void add_guarded_type(PyTypeObject* type);

// Frees an object through `finish`, its class's clearing and freeing, under
// the trashcan only when `chain` says it holds one; `dealloc` is the
// class's tp_dealloc.
inline void free_guarded(PyObject* self, destructor dealloc, bool chain,
                         void (*finish)(PyObject*)) {
    PyObject_GC_UnTrack(self);
    if (!chain) return finish(self);
    Py_TRASHCAN_BEGIN(self, dealloc)
    finish(self);
    Py_TRASHCAN_END
}

// obj.context, for any object: read from its field when obj is native.
Ref context_of(PyObject* obj);
// The same, borrowed, only for a native object whose context is made;
// NULL otherwise.
inline PyObject* native_context(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    // An object is native only while the fast paths are on.
    if (!has_native_layout(type)) return nullptr;
    Native* n = as_native(obj);
    const Layout* layout = n->layout;
    if (!layout || *layout->type != type || layout->context_at < 0 || !layout->guard->holds()) {
        return nullptr;
    }
    PyObject* context = n->fields[layout->context_at];
    return context == lazy ? nullptr : context;
}

// Whether obj.method(...) surely runs the method of layout's class: obj is
// exactly of that unchanged class and has no instance attributes that could
// shadow it.
inline bool calls_own(PyObject* obj, const Layout& layout) {
    if (!fast_paths || !Py_IS_TYPE(obj, *layout.type) || !layout.guard->holds()) return 0;
    // An instance dict with entries takes the generic lookup alone: looking
    // the method up here first would compare its keys twice, and a key's
    // __eq__ is Python code that sees it.
    PyObject* dict = as_native(obj)->dict;
    return !dict || PyDict_GET_SIZE(dict) == 0;
}

// Builds the instance dict from the fields; the object holds its
// attributes in the dict afterwards. 0, or -1 with an exception.
int materialize(PyObject* self);

// The descriptors of a layout's fields, for its class's tp_getset: one per
// field, then __dict__, __weakref__ and __class__.
struct Descriptors {
    struct Closure {
        const Layout* layout;
        int index;
    } closures[max_fields];
    PyGetSetDef getset[max_fields + 4];
};
void describe(const Layout& layout, Descriptors& out);

// The ints of which CPython keeps one object each (-5 to 256 on every
// version supported). A C field holds only these, so that reading it back
// gives the very object stored, as reading a Python object's attribute does.
inline bool is_shared_int(Py_ssize_t value) { return value >= -5 && value <= 256; }
inline bool shared_int(PyObject* obj, Py_ssize_t* value) {
    if (!PyLong_CheckExact(obj)) return false;
    int overflow;
    long number = PyLong_AsLongAndOverflow(obj, &overflow);
    if (overflow || !is_shared_int(number)) return false;
    *value = static_cast<Py_ssize_t>(number);
    return true;
}

// An empty dict that nothing else holds is as good as none.
inline bool holds_no_attributes(const Native* n) {
    return !n->dict || (PyDict_CheckExact(n->dict) && PyDict_GET_SIZE(n->dict) == 0 &&
                        Py_REFCNT(n->dict) == 1);
}

// For an object the library makes to receive many method calls (a table, a
// document): the state in which the interpreter caches the lookup of its
// methods: with an empty dict on 3.11, else without one (object.__new__ of
// 3.12 gives every object an empty dict, which nothing else holds yet).
// 0, or -1 with an exception.
inline int cache_methods(PyObject* self) {
    Native* n = as_native(self);
    if (!n->layout) return 0;
    if (method_cache_needs_dict) {
        if (!n->dict && !(n->dict = PyDict_New())) return -1;
    } else if (n->dict && holds_no_attributes(n)) {
        Py_CLEAR(n->dict);
    }
    return 0;
}

// For the class's own tp_traverse and tp_clear.
int native_traverse(PyObject* self, visitproc visit, void* arg);
int native_clear(PyObject* self);

// The last step of freeing a native object whose fields need no more than
// native_clear: kept among `spares` when it is exactly of `own`, else freed.
template <typename Spares>
void finish_native(PyObject* self, PyTypeObject* own, Spares& spares) {
    PyTypeObject* type = Py_TYPE(self);
    if (as_native(self)->weakrefs) PyObject_ClearWeakRefs(self);
    native_clear(self);
    if (type != own || !spares.keep(self)) type->tp_free(self);
    Py_DECREF(type);
}
extern PyMemberDef native_members[];

// __getstate__ for copy and pickle: the materialized dict, or None when it
// is empty, as object's own gives for a class written in Python (which
// refuses a layout with C fields).
PyObject* native_getstate(PyObject* self, PyObject*);

}  // namespace pw
