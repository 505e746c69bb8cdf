// Helpers for building module namespaces and types the way the equivalent
// Python statements would: names are bound in statement order, imports go
// through the host's import system.
#pragma once

#include "ref.h"

namespace pw {

// name = value (a new binding at the end of the namespace).
int bind(PyObject* module, const char* name, PyObject* value);

// def name(...): a builtin function whose __module__ is the module's name.
// `def` must have static storage.
int bind_function(PyObject* module, PyMethodDef* def);

// The module of that absolute dotted name, imported if need be.
Ref import_module(const char* dotted);
Ref import_module(PyObject* dotted);

// import name (binds the top-level module under its own name)
int import_as(PyObject* module, const char* name);

// from source import a, b, ...
int import_names(PyObject* module, const char* source, std::initializer_list<const char*> names);

// The value of `name` in the module `source`, imported if need be.
Ref import_from(PyObject* source, PyObject* name);

// import_from, straight from the dict of `loaded` (the module as loaded
// before, NULL if not yet) while it is still the registered module of that
// name.
Ref import_from_loaded(PyObject* loaded, PyObject* source, PyObject* name);

// A heap type from `spec` with the given bases (NULL: object). The class
// gets no docstring (__doc__ is None), and errors name it by its bare name.
PyTypeObject* make_type(PyType_Spec* spec, PyObject* bases);

// Replaces the entry `name` of a type's namespace in place, keeping its
// position in the class body order, without touching the type's slots.
int replace_in_type(PyTypeObject* type, PyObject* name, PyObject* value);

// Replaces the type's entry of the same name (in place) by the function
// `def`, with the given __annotations__ (borrowed; NULL for none).
struct FunctionDef;
int install_function(PyTypeObject* type, const FunctionDef* def, PyObject* module_name,
                     PyObject* annotations);

}  // namespace pw
