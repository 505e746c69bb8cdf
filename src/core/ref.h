// Owning references and the call helpers built on them.
//
// Every function of the extension follows CPython's error discipline: a
// failing call returns NULL (or -1) with an exception set. Ref releases what
// it owns when it goes out of scope, so an early return on error never leaks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>

namespace pw {

class Ref {
public:
    Ref() = default;
    // Takes ownership of a new reference (NULL allowed: an error is pending).
    explicit Ref(PyObject* owned) : obj_(owned) {}
    static Ref borrow(PyObject* borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    // Hands the reference back to the caller (for returning to CPython).
    PyObject* release() {
        PyObject* out = obj_;
        obj_ = nullptr;
        return out;
    }
    explicit operator bool() const { return obj_ != nullptr; }

private:
    PyObject* obj_ = nullptr;
};

inline Ref getattr(PyObject* obj, PyObject* name) {
    return Ref(PyObject_GetAttr(obj, name));
}

// callable(*args), through vectorcall.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return Ref(PyObject_Vectorcall(callable, const_cast<PyObject* const*>(args.begin()),
                                   args.size(), nullptr));
}

// callable(*args, **{kwnames[i]: kwvalues[i]}): kwvalues follow the
// positional arguments in `args`, as vectorcall expects.
inline Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
                   PyObject* kwnames) {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return Ref(PyObject_Vectorcall(callable, const_cast<PyObject* const*>(args.begin()),
                                   args.size() - nkw, kwnames));
}

// obj.name(*args, **kw), looked up on the object so that overrides are
// honoured; the keyword values are the last len(kwnames) items of `args`.
inline Ref call_method_kw(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args,
                          PyObject* kwnames) {
    constexpr size_t max_args = 7;
    if (args.size() > max_args) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for call_method");
        return Ref();
    }
    PyObject* stack[max_args + 1];
    stack[0] = obj;
    size_t n = 1;
    for (PyObject* arg : args) stack[n++] = arg;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return Ref(PyObject_VectorcallMethod(name, stack, (n - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames));
}

// fmt % operand, exactly as the host's `%` operator computes it.
inline Ref format(PyObject* fmt, PyObject* operand) {
    return Ref(PyUnicode_Format(fmt, operand));
}

// fmt % (a, b, ...)
inline Ref format_tuple(PyObject* fmt, std::initializer_list<PyObject*> values) {
    Ref tuple(PyTuple_New(values.size()));
    if (!tuple) return Ref();
    Py_ssize_t i = 0;
    for (PyObject* v : values) {
        Py_INCREF(v);
        PyTuple_SET_ITEM(tuple.get(), i++, v);
    }
    return format(fmt, tuple.get());
}

inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    return call_method_kw(obj, name, args, nullptr);
}

// A new reference to None, for returning from a function.
inline PyObject* none() { Py_RETURN_NONE; }

}  // namespace pw
