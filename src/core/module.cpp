#include "module.h"

#include "function.h"
#include "strings.h"

#include <cstring>

namespace pw {

int bind(PyObject* module, const char* name, PyObject* value) {
    return PyModule_AddObjectRef(module, name, value);
}

int bind_function(PyObject* module, PyMethodDef* def) {
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    Ref function(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) return -1;
    return bind(module, def->ml_name, function.get());
}

Ref import_module(PyObject* dotted) {
    PyObject* found = PyImport_GetModule(dotted);
    if (found || PyErr_Occurred()) return Ref(found);
    return Ref(PyImport_Import(dotted));
}

Ref import_module(const char* dotted) {
    Ref name(PyUnicode_FromString(dotted));
    if (!name) return Ref();
    return import_module(name.get());
}

int import_as(PyObject* module, const char* name) {
    Ref imported = import_module(name);
    if (!imported) return -1;
    return bind(module, name, imported.get());
}

int import_names(PyObject* module, const char* source, std::initializer_list<const char*> names) {
    Ref imported = import_module(source);
    if (!imported) return -1;
    for (const char* name : names) {
        Ref value(PyObject_GetAttrString(imported.get(), name));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name,
                             source);
            }
            return -1;
        }
        if (bind(module, name, value.get()) < 0) return -1;
    }
    return 0;
}

Ref import_from(PyObject* source, PyObject* name) {
    Ref imported = import_module(source);
    if (!imported) return Ref();
    Ref value = getattr(imported.get(), name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_ImportError, "cannot import name %R from %R", name, source);
    }
    return value;
}

namespace {

// sys.modules[source], read straight from the interpreter's dict of
// modules; empty without an error when it holds none.
Ref registered_module(PyObject* source) {
    PyObject* modules = PyImport_GetModuleDict();
    if (!PyDict_CheckExact(modules)) return Ref(PyImport_GetModule(source));
    return Ref::borrow(PyDict_GetItemWithError(modules, source));
}

}  // namespace

Ref import_from_loaded(PyObject* loaded, PyObject* source, PyObject* name) {
    Ref registered(loaded ? registered_module(source) : Ref());
    if (registered && registered.get() == loaded) {
        PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(loaded), name);
        if (value) return Ref::borrow(value);
    }
    if (PyErr_Occurred()) return Ref();
    return import_from(source, name);
}

PyTypeObject* make_type(PyType_Spec* spec, PyObject* bases) {
    PyObject* type = PyType_FromSpecWithBases(spec, bases);
    if (!type) return nullptr;
    auto* result = reinterpret_cast<PyTypeObject*>(type);
    // Error messages name a type by tp_name, which for a class written in
    // Python is its bare name; __module__ and __qualname__ are kept apart.
    if (const char* dot = std::strrchr(result->tp_name, '.')) result->tp_name = dot + 1;
    if (replace_in_type(result, names.__doc__, Py_None) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    return result;
}

int replace_in_type(PyTypeObject* type, PyObject* name, PyObject* value) {
    if (PyDict_SetItem(type->tp_dict, name, value) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

int install_function(PyTypeObject* type, const FunctionDef* def, PyObject* module_name,
                     PyObject* annotations) {
    Ref function(make_function(def, module_name, annotations));
    Ref name(function ? PyUnicode_InternFromString(def->name) : nullptr);
    if (!name) return -1;
    return replace_in_type(type, name.get(), function.get());
}

}  // namespace pw
