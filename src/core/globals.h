// Global name lookup for module-level functions.
//
// A builtin function of a module receives the module as `self`. Looking a
// sibling up in the module's namespace on every call, as a Python function
// does with its globals, lets callers replace it by assignment to the
// module attribute (monkeypatching) and have the change honoured.
#pragma once

#include "ref.h"

namespace pw {

// The module's global `name`, else the builtin of that name; NameError when
// neither exists.
inline Ref module_global(PyObject* module, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (!value && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::borrow(value);
}

// name(*args), with `name` looked up as a global of the module at call time.
inline Ref call_global(PyObject* module, PyObject* name, std::initializer_list<PyObject*> args) {
    Ref function = module_global(module, name);
    if (!function) return Ref();
    return call(function.get(), args);
}

// outer(inner(*args)), both looked up as globals at call time, `outer`
// first, in the order Python evaluates the expression.
inline Ref call_nested(PyObject* module, PyObject* outer, PyObject* inner,
                       std::initializer_list<PyObject*> args) {
    Ref outer_function = module_global(module, outer);
    if (!outer_function) return Ref();
    Ref value = call_global(module, inner, args);
    if (!value) return Ref();
    return call(outer_function.get(), {value.get()});
}

}  // namespace pw
