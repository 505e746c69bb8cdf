// Global name lookup for module-level functions and methods.
//
// A builtin function of a module receives the module as `self`. Looking a
// sibling up in the module's namespace on every call, as a Python function
// does with its globals, lets callers replace it by assignment to the
// module attribute (monkeypatching) and have the change honoured. Where a
// fast path relies on a global still holding what the library bound there
// (the class it builds, the function it inlines), a Global watches that
// entry and looks again only after the module's dict changed.
#pragma once

#include "compat.h"
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
// on, such as the class a method builds. Whether it still holds that object
// is looked up again only after the module's dict changed, so rebinding the
// name (monkeypatching) is seen at once and costs nothing until then.
class Global {
public:
    // Watches module.<name>, which holds `expected` now; -1 with an
    // exception when the module's dict cannot be watched. Holds the dict and
    // the expected object, so that their addresses cannot come back as
    // another object's.
    int watch(PyObject* module, PyObject* name, PyObject* expected) {
        PyObject* dict = PyModule_GetDict(module);
        return dict ? watch_entry(dict, name, expected) : -1;
    }

    // The same for any dict: dict[name] is `expected` now.
    int watch_entry(PyObject* dict, PyObject* name, PyObject* expected) {
        const uint64_t* version = dict_version(dict);
        if (!version) return -1;
        Py_XSETREF(dict_, Py_NewRef(dict));
        Py_XSETREF(expected_, Py_NewRef(expected));
        name_ = name;
        version_ = version;
        refresh();
        return 0;
    }

    PyObject* expected() const { return expected_; }

    // Whether the global still holds the expected object.
    bool holds() {
        if (version_ && *version_ == seen_) return holds_;
        return refresh();
    }

private:
    bool refresh() {
        if (!version_) return false;
        seen_ = *version_;
        // A key's __eq__ may run here and change the dict: then the version
        // moves on and the next call looks again.
        PyObject* value = PyDict_GetItemWithError(dict_, name_);
        if (!value) PyErr_Clear();
        holds_ = value == expected_;
        return holds_;
    }

    PyObject* dict_ = nullptr;
    PyObject* name_ = nullptr;
    PyObject* expected_ = nullptr;
    const uint64_t* version_ = nullptr;
    uint64_t seen_ = 0;
    bool holds_ = false;
};

}  // namespace pw
