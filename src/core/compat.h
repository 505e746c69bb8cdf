// The few places where the C API differs between the CPython versions the
// extension supports (3.10 to 3.13). Everything here uses the public API
// only; the version tests live in this file and nowhere else.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pw {

// The type's version tag while it is valid, else 0. From 3.11 the tag is 0
// whenever it is not valid (3.13 no longer keeps the flag that marked a
// valid one), so the tag alone says it.
inline unsigned int valid_version_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030B0000
    return type->tp_version_tag;
#else
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// The exception being raised, taken out of the thread state with its
// traceback attached, or null when none is set. 3.12 keeps only the
// exception object; the older triple is normalised into the same shape.
inline PyObject* take_error() {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises `error` (a reference taken by take_error, stolen; null: nothing).
inline void restore_error(PyObject* error) {
    if (!error) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error))), error,
                  PyException_GetTraceback(error));
#endif
}

// Puts `earlier` (stolen; null: nothing) back as the error being raised;
// when another error has been raised since, that one goes on with
// `earlier` as its __context__, as an exception raised in a handler does.
inline void chain_error(PyObject* earlier) {
    if (!earlier) return;
    if (!PyErr_Occurred()) {
        restore_error(earlier);
        return;
    }
    PyObject* current = take_error();
    if (current != earlier) {
        PyException_SetContext(current, earlier);  // steals `earlier`
    } else {
        Py_DECREF(earlier);
    }
    restore_error(current);
}

// exception.add_note(note) where exceptions have notes (3.11); on 3.10 the
// same list, `__notes__`, which tracebacks there do not print but callers
// can read.
inline int add_note(PyObject* exception, PyObject* note) {
#if PY_VERSION_HEX >= 0x030B0000
    // Interned once: the type attribute cache keeps the name it looked up,
    // so a new str on every call would stay alive there.
    static PyObject* add_note_name;
    if (!add_note_name && !(add_note_name = PyUnicode_InternFromString("add_note"))) return -1;
    PyObject* result = PyObject_CallMethodOneArg(exception, add_note_name, note);
    if (!result) return -1;
    Py_DECREF(result);
    return 0;
#else
    PyObject* notes = PyObject_GetAttrString(exception, "__notes__");
    if (!notes) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        notes = PyList_New(0);
        if (!notes || PyObject_SetAttrString(exception, "__notes__", notes) < 0) {
            Py_XDECREF(notes);
            return -1;
        }
    }
    int status = PyList_Check(notes) ? PyList_Append(notes, note) : 0;
    Py_DECREF(notes);
    return status;
#endif
}

// Whether the interpreter caches the lookup of an object's methods only when
// the object has an instance dict (empty will do): so on 3.11; 3.10 caches
// nothing, and from 3.12 an object without a dict is cached best.
constexpr bool method_cache_needs_dict =
    PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000;

// A count that changes whenever `dict` changes, read through the pointer
// this returns (stable while the dict lives); NULL with an exception on
// error. Up to 3.11 that is the dict's own version tag; from 3.12, which
// deprecates the tag, a count kept by a dict watcher.
#if PY_VERSION_HEX >= 0x030C0000
const uint64_t* dict_version(PyObject* dict);
#else
inline const uint64_t* dict_version(PyObject* dict) {
    return &reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

}  // namespace pw

// A module slot that declares loading in the main interpreter only; the
// slot exists from CPython 3.12 on, and the module checks by itself before.
#ifdef Py_mod_multiple_interpreters
#define PW_MAIN_INTERPRETER_ONLY_SLOT \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define PW_MAIN_INTERPRETER_ONLY_SLOT
#endif
