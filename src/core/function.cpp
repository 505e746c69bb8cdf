#include "function.h"

#include "module.h"
#include "strings.h"

#include <structmember.h>

namespace pw {

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    PyObject* name;
    PyObject* qualname;
    const FunctionDef* def;
};

PyTypeObject* function_type;

PyObject* function_vectorcall(PyObject* op, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* self = reinterpret_cast<Function*>(op);
    return self->def->impl(args, PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject* function_descr_get(PyObject* op, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(op);
    return PyMethod_New(op, instance);
}

PyObject* function_repr(PyObject* op) {
    auto* self = reinterpret_cast<Function*>(op);
    return PyUnicode_FromFormat("<function %U at %p>", self->qualname, op);
}

PyObject* get_text_signature(PyObject* op, void*) {
    auto* self = reinterpret_cast<Function*>(op);
    return PyUnicode_FromString(self->def->text_signature);
}

int set_str(PyObject** field, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* op, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(op)->name);
}

int set_name(PyObject* op, PyObject* value, void*) {
    return set_str(&reinterpret_cast<Function*>(op)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* op, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(op)->qualname);
}

int set_qualname(PyObject* op, PyObject* value, void*) {
    return set_str(&reinterpret_cast<Function*>(op)->qualname, value, "__qualname__");
}

int function_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<Function*>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->dict);
    return 0;
}

int function_clear(PyObject* op) {
    Py_CLEAR(reinterpret_cast<Function*>(op)->dict);
    return 0;
}

void function_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<Function*>(op);
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    // The attribute dict may hold anything, long chains included.
    Py_TRASHCAN_BEGIN(op, function_dealloc)
    if (self->weakrefs) PyObject_ClearWeakRefs(op);
    function_clear(op);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    type->tp_free(op);
    Py_DECREF(type);
    Py_TRASHCAN_END
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(Function, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
    {},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "pagewright.function", sizeof(Function), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

int init_function_type() {
    if (function_type) return 0;
    function_type = make_type(&function_spec, nullptr);
    return function_type ? 0 : -1;
}

PyObject* installed_later(PyObject*, PyObject*) {
    PyErr_SetString(PyExc_SystemError, "method was not installed");
    return nullptr;
}

PyObject* make_function(const FunctionDef* def, PyObject* module_name, PyObject* annotations) {
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    Ref doc(def->doc ? PyUnicode_FromString(def->doc) : Py_NewRef(Py_None));
    if (!doc || PyDict_SetItem(dict.get(), names.__module__, module_name) < 0 ||
        PyDict_SetItem(dict.get(), names.__doc__, doc.get()) < 0) {
        return nullptr;
    }
    if (annotations && PyDict_SetItem(dict.get(), names.__annotations__, annotations) < 0) {
        return nullptr;
    }
    Ref name(PyUnicode_InternFromString(def->name));
    Ref qualname(PyUnicode_InternFromString(def->qualname));
    if (!name || !qualname) return nullptr;
    auto* self = PyObject_GC_New(Function, function_type);
    if (!self) return nullptr;
    self->vectorcall = function_vectorcall;
    self->dict = dict.release();
    self->weakrefs = nullptr;
    self->name = name.release();
    self->qualname = qualname.release();
    self->def = def;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace pw
