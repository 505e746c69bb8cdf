// The single-use context manager behind every `with` construct.
//
// A construct is described by a pair of C++ callbacks: `enter` does the
// set-up and returns the object bound by `as`; `close` does the closing work
// and runs only when the block ends without an exception. Like a generator
// wrapped by contextlib.contextmanager, an object can be entered once, and a
// block that raises skips the closing work and lets the exception through.
//
// The set-up and closing work call into Python, and that code may call the
// same manager's __enter__ or __exit__: while either runs, the manager is
// busy and such calls raise, as they do on a generator that is executing.
// The slots change only under the manager's own control, so `enter` and
// `close` may use them as borrowed references across calls into Python.
#pragma once

#include "ref.h"

namespace pw {

struct SingleUse;

struct Construct {
    // Returns a new reference to the `as` target, or NULL with an exception.
    PyObject* (*enter)(SingleUse* self);
    // Returns 0, or -1 with an exception set.
    int (*close)(SingleUse* self);
    // Optional: runs when the block raised, before the exception goes on
    // (compositions hand it to the context managers they entered). Returns
    // 0 to let it go on, 1 when it was swallowed, -1 when another replaced
    // it (set).
    int (*abort)(SingleUse* self, PyObject* type, PyObject* value, PyObject* traceback);
};

struct SingleUse {
    static constexpr int nslots = 6;
    PyObject_HEAD
    const Construct* construct;
    PyObject* weakrefs;
    enum Phase : char { fresh, entering, entered, exiting, finished } phase;
    unsigned char used;  // the slots in use are the first `used`
    // Owned references: the call's arguments first, then whatever `enter`
    // keeps for `close` (the objects it set up).
    PyObject* slots[nslots];

    PyObject* slot(int i) const { return slots[i]; }
    // Stores a new reference in slot i, dropping what was there.
    void keep(int i, PyObject* owned) {
        if (i >= used) used = static_cast<unsigned char>(i + 1);
        Py_XSETREF(slots[i], owned);
    }
};

// Makes a context manager for `construct`; `args` (borrowed, NULL allowed)
// fill the first slots.
PyObject* make_single_use(const Construct* construct, std::initializer_list<PyObject*> args);
// The same for a construct of one argument (not NULL), the commonest.
PyObject* make_single_use(const Construct* construct, PyObject* arg);

int init_single_use_type();

}  // namespace pw
