#include "native.h"

#include "instance.h"
#include "strings.h"

#include <structmember.h>

#include <cstring>

namespace pw {

PyObject* lazy;

int init_native() {
    if (!lazy) lazy = PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    return lazy ? 0 : -1;
}

// ---------------------------------------------------------------- the fields

namespace {

Native* as_native(PyObject* self) { return reinterpret_cast<Native*>(self); }

// Frees the native storage behind a lazy field before it is replaced.
void drop_storage(Native* n, int i) {
    if (n->fields[i] == lazy && n->spec->discard) {
        n->spec->discard(reinterpret_cast<PyObject*>(n), i);
    }
}

// Names whose readers take the instance state through C instead of through
// attribute lookup (copy, pickle): the dict must exist before they run.
PyObject* reduction_names[4];

// Whether `name` can equal one of our interned names only by being it.
bool interned(PyObject* name) {
    return PyUnicode_CheckExact(name) && PyUnicode_CHECK_INTERNED(name);
}

bool same_name(PyObject* known, PyObject* name) {
    return known == name || (PyUnicode_Check(name) && !interned(name) &&
                             PyUnicode_Compare(known, name) == 0);
}

int field_index(const NativeSpec& spec, PyObject* name) {
    bool by_identity = interned(name);
    for (int i = 0; i < spec.count; i++) {
        PyObject* known = *spec.names[i];
        if (by_identity ? known == name : same_name(known, name)) return i;
    }
    return -1;
}

bool reads_state(PyObject* name) {
    if (!reduction_names[0]) {
        const char* texts[] = {"__getstate__", "__reduce_ex__", "__reduce__", "__copy__"};
        for (int i = 0; i < 4; i++) {
            reduction_names[i] = PyUnicode_InternFromString(texts[i]);
            if (!reduction_names[i]) {
                PyErr_Clear();
                return true;
            }
        }
    }
    bool by_identity = interned(name);
    for (PyObject* known : reduction_names) {
        if (by_identity ? known == name : same_name(known, name)) return true;
    }
    return false;
}

}  // namespace

namespace {

// An empty dict that nothing else holds (object.__new__ makes one at once on
// some versions) is as good as none.
bool holds_no_dict(Native* n) {
    return !n->dict || (PyDict_CheckExact(n->dict) && PyDict_GET_SIZE(n->dict) == 0 &&
                        Py_REFCNT(n->dict) == 1);
}

}  // namespace

bool may_go_native(PyObject* self, const NativeSpec& spec) {
    Native* n = as_native(self);
    return fast_paths && Py_IS_TYPE(self, *spec.type) && holds_no_dict(n) &&
           (!n->spec || n->spec == &spec) && spec.guard->holds();
}

void set_native(PyObject* self, const NativeSpec& spec, std::initializer_list<PyObject*> values) {
    Native* n = as_native(self);
    PyObject* old[max_fields] = {};
    if (n->spec) {
        for (int i = 0; i < spec.count; i++) drop_storage(n, i);
        std::memcpy(old, n->fields, sizeof old);
        std::memset(n->fields, 0, sizeof n->fields);
    }
    Py_CLEAR(n->dict);
    n->spec = &spec;
    int i = 0;
    for (PyObject* value : values) n->fields[i++] = value;
    // Old values go last: freeing them may run Python code.
    for (PyObject* value : old) Py_XDECREF(value);
}

void set_field(PyObject* self, int i, PyObject* value) {
    Native* n = as_native(self);
    drop_storage(n, i);
    PyObject* old = n->fields[i];
    n->fields[i] = value;
    Py_XDECREF(old);
}

Ref field_value(PyObject* self, int i) {
    Native* n = as_native(self);
    const NativeSpec* spec = n->spec;
    if (n->fields[i] != lazy) return Ref::borrow(n->fields[i]);
    Ref value(spec->derive(self, i));
    if (!value) return value;
    if (n->spec == spec && n->fields[i] == lazy) {
        set_field(self, i, Py_NewRef(value.get()));
        return value;
    }
    // Making the value may run the collector, and a finalizer may read or
    // replace the attribute meanwhile: what it left stands.
    return getattr(self, *spec->names[i]);
}

int to_dict_mode(PyObject* self) {
    Native* n = as_native(self);
    const NativeSpec* spec = n->spec;
    if (!spec) return 0;
    // A dict made behind our back (object.__setattr__) keeps its entries.
    Ref dict(n->dict ? Py_NewRef(n->dict) : PyDict_New());
    if (!dict) return -1;
    for (int i = 0; i < spec->count; i++) {
        // Making a lazy value or adding to the dict may run Python code (a
        // finalizer, a key's __eq__) that put the object in dict mode first.
        if (n->spec != spec) return 0;
        PyObject* field = n->fields[i];
        Ref value = field == lazy ? Ref(spec->derive(self, i)) : Ref::borrow(field);
        if (!value || !PyDict_SetDefault(dict.get(), *spec->names[i], value.get())) return -1;
    }
    if (n->spec != spec) return 0;
    for (int i = 0; i < spec->count; i++) drop_storage(n, i);
    n->spec = nullptr;
    if (!n->dict) n->dict = dict.release();
    for (PyObject*& field : n->fields) Py_CLEAR(field);
    return 0;
}

// ------------------------------------------------------------- type slots


PyObject* native_getattro(PyObject* self, PyObject* name) {
    Native* n = as_native(self);
    if (n->spec) {
        int i = field_index(*n->spec, name);
        if (i >= 0 && native_fields(self)) return field_value(self, i).release();
        if ((i >= 0 || reads_state(name)) && to_dict_mode(self) < 0) return nullptr;
    }
    return PyObject_GenericGetAttr(self, name);
}

int native_setattro(PyObject* self, PyObject* name, PyObject* value) {
    Native* n = as_native(self);
    if (n->spec) {
        int i = field_index(*n->spec, name);
        if (i >= 0 && value && native_fields(self)) {
            set_field(self, i, Py_NewRef(value));
            return 0;
        }
        if (to_dict_mode(self) < 0) return -1;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

namespace {

PyObject* get_dict(PyObject* self, void*) {
    if (to_dict_mode(self) < 0) return nullptr;
    return PyObject_GenericGetDict(self, nullptr);
}

int set_dict(PyObject* self, PyObject* value, void*) {
    if (to_dict_mode(self) < 0) return -1;
    return PyObject_GenericSetDict(self, value, nullptr);
}

}  // namespace

int native_traverse(PyObject* self, visitproc visit, void* arg) {
    Native* n = as_native(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(n->dict);
    for (PyObject* field : n->fields) Py_VISIT(field);
    return 0;
}

int native_clear(PyObject* self) {
    Native* n = as_native(self);
    if (n->spec) {
        for (int i = 0; i < n->spec->count; i++) drop_storage(n, i);
        n->spec = nullptr;
    }
    for (PyObject*& field : n->fields) Py_CLEAR(field);
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

PyGetSetDef native_getset[] = {
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"__weakref__", get_weakref, nullptr, nullptr, nullptr},
    {},
};

int hide_attribute_slots(PyTypeObject* type) {
    for (const char* name : {"__getattribute__", "__setattr__", "__delattr__"}) {
        if (PyDict_DelItemString(type->tp_dict, name) < 0) return -1;
    }
    PyType_Modified(type);
    return 0;
}

}  // namespace pw
