// pagewright.structures: the exception raised when the TeX engine fails on
// a file.
#include "modules.h"

#include "../core/module.h"

namespace pw {

namespace {

// Created once per process; a re-run of the module's initialisation binds
// the same class again.
PyObject* bad_tex;

}  // namespace

int exec_structures(PyObject* module) {
    if (!bad_tex) {
        bad_tex = PyErr_NewException("pagewright.structures.BadTex", PyExc_Exception, nullptr);
        if (!bad_tex) return -1;
    }
    return bind(module, "BadTex", bad_tex);
}

}  // namespace pw
