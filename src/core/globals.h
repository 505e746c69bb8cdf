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

// A module global that the library bound itself and that fast paths rely
// on, such as the class a method builds: whether it still holds that object
// costs a look at the one dict entry where it was bound, so rebinding the
// name (monkeypatching) is seen at once.
class Global {
public:
    // Watches module.<name>, which holds `expected` now. The module is kept
    // by the caller; the expected object is held here, so that its address
    // cannot come back as another object's.
    void watch(PyObject* module, PyObject* name, PyObject* expected) {
        dict_ = PyModule_GetDict(module);
        name_ = name;
        Py_XSETREF(expected_, Py_NewRef(expected));
        at_ = 0;
        find();
    }

    PyObject* expected() const { return expected_; }

    // Whether the global still holds the expected object.
    bool holds() {
        Py_ssize_t at = at_;
        PyObject *key, *value;
        if (dict_ && PyDict_Next(dict_, &at, &key, &value) && key == name_) {
            return value == expected_;
        }
        return find();
    }

private:
    // Looks the entry up again after the dict was reorganised.
    bool find() {
        if (!dict_) return false;
        Py_ssize_t at = 0, before = 0;
        PyObject *key, *value;
        while (PyDict_Next(dict_, &at, &key, &value)) {
            if (key == name_) {
                at_ = before;
                return value == expected_;
            }
            before = at;
        }
        return false;
    }

    PyObject* dict_ = nullptr;
    PyObject* name_ = nullptr;
    PyObject* expected_ = nullptr;
    Py_ssize_t at_ = 0;
};

}  // namespace pw
