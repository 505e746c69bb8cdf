// pagewright.figure: floats with captions and labels, and sub-floats.
#include "modules.h"

namespace pw {

PyObject* environment_figure(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "figure");
    return nullptr;
}

PyObject* environment_subfigure(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "subfigure");
    return nullptr;
}

}  // namespace pw
