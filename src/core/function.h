// A function object of the extension's own, for the callables whose Python
// surface needs more than a builtin method offers: an instance __dict__
// (annotations, a docstring, attributes set by callers) and binding to an
// instance like a Python function, so that it can sit in a class body,
// replace a slot wrapper, or be wrapped by a decorator.
#pragma once

#include "ref.h"

namespace pw {

// Same calling convention as METH_FASTCALL | METH_KEYWORDS with no self:
// for a method the instance is args[0].
using FunctionImpl = PyObject* (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct FunctionDef {
    const char* name;
    const char* qualname;
    FunctionImpl impl;
    // As in __text_signature__: "($self, name, options=None)".
    const char* text_signature;
    const char* doc;  // NULL for none
};

// Creates the function; `module_name` becomes its __module__ and
// `annotations` (borrowed, NULL for none) its __annotations__.
PyObject* make_function(const FunctionDef* def, PyObject* module_name, PyObject* annotations);

// The method-table entry that holds a place in the class body for a method
// which the module replaces by a function object (install_function) when it
// initialises; it is never called.
PyObject* installed_later(PyObject* self, PyObject* unused);

int init_function_type();

}  // namespace pw
