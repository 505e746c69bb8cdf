#include "native.h"

#include "instance.h"
#include "strings.h"

#include <structmember.h>

#include <cstring>

namespace pw {

PyObject* lazy;

namespace {

// object's own __class__ descriptor, which a native object's __class__
// setter hands the assignment to once its attributes are in its dict.
PyObject* object_class_descriptor;

}  // namespace

int init_native() {
    if (!lazy && !(lazy = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type)))) {
        return -1;
    }
    if (!object_class_descriptor) {
        // object.__dict__['__class__']: a built-in class's own dict is not
        // its tp_dict on every version.
        Ref namespace_(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                                              "__dict__"));
        object_class_descriptor =
            namespace_ ? PyObject_GetItem(namespace_.get(), names.__class__) : nullptr;
        if (!object_class_descriptor) return -1;
    }
    return 0;
}

int Layout::index_of(PyObject* name) const {
    for (int i = 0; i < count; i++) {
        if (*names[i] == name) return i;
    }
    return -1;
}

namespace {

PyObject* missing(PyObject* self, PyObject* name) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                 Py_TYPE(self)->tp_name, name);
    return nullptr;
}

}  // namespace

bool may_go_native(PyObject* self, const Layout& layout) {
    Native* n = as_native(self);
    if (!fast_paths || !Py_IS_TYPE(self, *layout.type) || !layout.guard->holds()) return false;
    return n->layout == &layout || (!n->layout && holds_no_attributes(n));
}

void set_native(PyObject* self, const Layout& layout, std::initializer_list<PyObject*> values) {
    Native* n = as_native(self);
    PyObject* old[max_fields] = {};
    bool was_native = n->layout != nullptr;
    std::memcpy(old, n->fields, sizeof old);
    std::memset(n->fields, 0, sizeof n->fields);
    n->layout = &layout;
    int i = 0;
    for (PyObject* value : values) n->fields[i++] = value;
    // Old values go last: freeing them may run Python code.
    for (int j = 0; j < max_fields; j++) {
        if (was_native && old[j] == lazy) layout.discard(self, j);
        release_field(old[j]);
    }
}

void set_field(PyObject* self, int i, PyObject* value) {
    Native* n = as_native(self);
    PyObject* old = n->fields[i];
    n->fields[i] = value;
    if (old == lazy && value != lazy) n->layout->discard(self, i);
    release_field(old);
}

Ref field_value(PyObject* self, int i) {
    Native* n = as_native(self);
    PyObject* value = n->fields[i];
    if (!value) return Ref(missing(self, *n->layout->names[i]));
    if (value != lazy) return Ref::borrow(value);
    return Ref(n->layout->value(self, i));
}

namespace {

// Whether a field still waits for a value that is an object of its own
// (a stream, a list): making it may run Python code.
bool makes_objects(Native* n, const Layout& layout) {
    for (int i = 0; i < layout.count; i++) {
        if (n->fields[i] == lazy && !layout.is_integer(i)) return true;
    }
    return false;
}

// A new dict made while the object stayed native in `layout` with every
// lazy field a C integer, whose value is made without running Python code;
// NULL with an exception, or NULL without one when the object left native
// state meanwhile.
Ref settled_dict(Native* n, const Layout& layout) {
    PyObject* self = reinterpret_cast<PyObject*>(n);
    // Python code run by one round (a finalizer called by the collector)
    // may set the fields again; a few rounds settle any program that does
    // not do so on every collection.
    for (int round = 0; round < 8; round++) {
        for (int i = 0; i < layout.count && n->layout == &layout; i++) {
            if (n->fields[i] == lazy && !layout.is_integer(i)) {
                Ref value(layout.value(self, i));
                if (!value) return value;
            }
        }
        Ref dict(PyDict_New());
        if (!dict || n->layout != &layout) return Ref();
        if (!makes_objects(n, layout)) return dict;
    }
    PyErr_SetString(PyExc_RuntimeError, "attributes changed while being read");
    return Ref();
}

}  // namespace

int materialize(PyObject* self) {
    Native* n = as_native(self);
    const Layout* layout = n->layout;
    if (!layout) return 0;
    Ref fresh = settled_dict(n, *layout);
    if (!fresh) return PyErr_Occurred() ? -1 : 0;
    // From here to the swap no Python code runs: exact str keys go into a
    // new dict, and integers are made without the collector.
    for (int i = 0; i < layout->count; i++) {
        PyObject* field = n->fields[i];
        if (!field) continue;
        Ref value = field == lazy ? Ref(layout->value(self, i)) : Ref::borrow(field);
        if (!value || PyDict_SetItem(fresh.get(), *layout->names[i], value.get()) < 0) return -1;
    }
    PyObject* moved[max_fields];
    std::memcpy(moved, n->fields, sizeof moved);
    std::memset(n->fields, 0, sizeof n->fields);
    n->layout = nullptr;
    // Attributes that were set while others were held natively follow,
    // in the order they were set.
    Ref extras(n->dict);
    n->dict = Py_NewRef(fresh.get());
    int status = extras ? PyDict_Update(fresh.get(), extras.get()) : 0;
    for (PyObject* field : moved) release_field(field);
    return status;
}

namespace {

PyObject* dict_get(PyObject* self, PyObject* name) {
    // Held: comparing keys may run Python code that replaces the dict.
    Ref dict = Ref::borrow(as_native(self)->dict);
    PyObject* value = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
    if (value) return Py_NewRef(value);
    return PyErr_Occurred() ? nullptr : missing(self, name);
}

int dict_set(PyObject* self, PyObject* name, PyObject* value) {
    Native* n = as_native(self);
    if (!value) {
        Ref dict = Ref::borrow(n->dict);
        int status = dict ? PyDict_DelItem(dict.get(), name) : -1;
        if (status < 0 && (!dict || PyErr_ExceptionMatches(PyExc_KeyError))) {
            PyErr_Clear();
            missing(self, name);
        }
        return status < 0 ? -1 : 0;
    }
    if (!n->dict) {
        PyObject* made = PyDict_New();
        if (!made) return -1;
        // Making it may have run Python code that made one first.
        if (n->dict) {
            Py_DECREF(made);
        } else {
            n->dict = made;
        }
    }
    Ref dict = Ref::borrow(n->dict);
    return PyDict_SetItem(dict.get(), name, value);
}

// Stores a value natively in field i of a native object.
int assign(PyObject* self, int i, PyObject* value) {
    const Layout* layout = as_native(self)->layout;
    int stored = layout->is_integer(i) ? layout->store(self, i, value) : 0;
    if (stored < 0) return -1;
    set_field(self, i, stored ? lazy : Py_NewRef(value));
    return 0;
}

using Closure = Descriptors::Closure;

// The field of a native object that holds the descriptor's attribute, or -1.
int field_of(Native* n, const Closure* closure) {
    const Layout* layout = n->layout;
    if (!layout) return -1;
    if (layout == closure->layout) return closure->index;
    return layout->index_of(*closure->layout->names[closure->index]);
}

PyObject* get_attribute(PyObject* self, void* closure) {
    auto* c = static_cast<const Closure*>(closure);
    int i = field_of(as_native(self), c);
    if (i >= 0) return field_value(self, i).release();
    return dict_get(self, *c->layout->names[c->index]);
}

int set_attribute(PyObject* self, PyObject* value, void* closure) {
    auto* c = static_cast<const Closure*>(closure);
    Native* n = as_native(self);
    int i = field_of(n, c);
    if (i >= 0) {
        // A field set for the first time after attributes of the dict was
        // set after them: the dict keeps the order of setting.
        if (value && (n->fields[i] || holds_no_attributes(n))) return assign(self, i, value);
        if (materialize(self) < 0) return -1;
    }
    return dict_set(self, *c->layout->names[c->index], value);
}

PyObject* get_dict(PyObject* self, void*) {
    if (materialize(self) < 0) return nullptr;
    return PyObject_GenericGetDict(self, nullptr);
}

int set_dict(PyObject* self, PyObject* value, void*) {
    if (materialize(self) < 0) return -1;
    return PyObject_GenericSetDict(self, value, nullptr);
}

PyObject* get_class(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

// The fields belong to the class that made them: an object that changes
// class keeps its attributes in its dict.
int set_class(PyObject* self, PyObject* value, void*) {
    if (value && materialize(self) < 0) return -1;
    return Py_TYPE(object_class_descriptor)
        ->tp_descr_set(object_class_descriptor, self, value);
}

}  // namespace

void describe(const Layout& layout, Descriptors& out) {
    int i = 0;
    for (; i < layout.count; i++) {
        out.closures[i] = {&layout, i};
        out.getset[i] = {PyUnicode_AsUTF8(*layout.names[i]), get_attribute, set_attribute,
                         nullptr, &out.closures[i]};
    }
    out.getset[i++] = {"__dict__", get_dict, set_dict, nullptr, nullptr};
    out.getset[i++] = {"__weakref__", get_weakref, nullptr, nullptr, nullptr};
    out.getset[i++] = {"__class__", get_class, set_class, nullptr, nullptr};
    out.getset[i] = {};
}

namespace {

constexpr int max_layouts = 12;
const Layout* layouts[max_layouts];
int layout_count;
PyTypeObject* guarded_types[4];
int guarded_count;

}  // namespace

PyObject* native_alloc(PyTypeObject* type, Py_ssize_t items) {
    return PyType_GenericAlloc(type, items);
}

int register_layout(const Layout& layout) {
    if (layout_of(*layout.type)) return 0;
    if (!has_native_layout(*layout.type)) {
        PyErr_SetString(PyExc_SystemError, "a native class without native_alloc");
        return -1;
    }
    if (layout_count == max_layouts) {
        PyErr_SetString(PyExc_SystemError, "too many native classes");
        return -1;
    }
    layouts[layout_count++] = &layout;
    return 0;
}

const Layout* layout_of(PyTypeObject* type) {
    if (!fast_paths || !has_native_layout(type)) return nullptr;
    for (int i = 0; i < layout_count; i++) {
        if (*layouts[i]->type == type) return layouts[i];
    }
    return nullptr;
}

Ref context_of(PyObject* obj) {
    if (PyObject* context = native_context(obj)) return Ref::borrow(context);
    return getattr(obj, names.context);
}

void add_guarded_type(PyTypeObject* type) {
    if (guarded_count < 4) guarded_types[guarded_count++] = type;
}

bool frees_chain_of(PyObject* value) {
    PyTypeObject* type = Py_TYPE(value);
    // These hold nothing, or guard their own deallocation.
    if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type ||
        type == &PyTuple_Type || type == &PyList_Type || type == &PyDict_Type) {
        return false;
    }
    for (int i = 0; i < guarded_count; i++) {
        if (guarded_types[i] == type) return false;
    }
    return true;
}

bool holds_chain(PyObject* self) {
    Native* n = as_native(self);
    if (frees_chain(n->dict)) return true;
    int count = n->layout ? n->layout->count : max_fields;
    for (int i = 0; i < count; i++) {
        if (frees_chain(n->fields[i])) return true;
    }
    return false;
}

int native_traverse(PyObject* self, visitproc visit, void* arg) {
    Native* n = as_native(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(n->dict);
    for (PyObject* field : n->fields) {
        if (field != lazy) Py_VISIT(field);
    }
    return 0;
}

int native_clear(PyObject* self) {
    Native* n = as_native(self);
    const Layout* layout = n->layout;
    int count = layout ? layout->count : max_fields;
    for (int i = 0; i < count; i++) {
        PyObject* field = n->fields[i];
        if (!field) continue;
        n->fields[i] = nullptr;
        if (field != lazy) {
            Py_DECREF(field);
        } else if (!layout->is_integer(i)) {
            layout->discard(self, i);
        }
    }
    Py_CLEAR(n->dict);
    return 0;
}

PyMemberDef native_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(Native, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Native, weakrefs), READONLY, nullptr},
    {},
};

// The head of the layout is the instance's, so its helpers apply.
static_assert(offsetof(Native, dict) == offsetof(Instance, dict) &&
              offsetof(Native, weakrefs) == offsetof(Instance, weakrefs));

PyObject* native_getstate(PyObject* self, PyObject*) {
    if (materialize(self) < 0) return nullptr;
    PyObject* dict = as_native(self)->dict;
    if (!dict || PyDict_GET_SIZE(dict) == 0) Py_RETURN_NONE;
    return Py_NewRef(dict);
}

}  // namespace pw
