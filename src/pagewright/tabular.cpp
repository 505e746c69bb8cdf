// pagewright.tabular: tables with a checked column count, row by row or
// cell by cell.
#include "modules.h"

namespace pw {

PyObject* environment_tabular(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "tabular");
    return nullptr;
}

PyObject* environment_longtable(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "longtable");
    return nullptr;
}

}  // namespace pw
