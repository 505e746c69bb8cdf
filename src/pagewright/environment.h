// What the parts of pagewright.environment share: the module and its
// globals, the formatted writes, and the methods each part defines for the
// class LatexEnvironment (environment_tables.cpp, environment_boxes.cpp,
// environment_graphics.cpp).
#pragma once

#include "../core/function.h"
#include "../core/globals.h"

namespace pw {

extern PyObject* environment_module;  // the latest pagewright.environment
extern Global environment_global;     // environment.LatexEnvironment

// self.context.f.write(fmt % operand): the buffer is looked up before the
// text is built, and an error in either leaves the buffer unchanged.
PyObject* append_formatted(PyObject* self, PyObject* fmt, PyObject* operand);
// The same with the tuple of `values` as the operand.
PyObject* append_formatted_tuple(PyObject* self, PyObject* fmt,
                                 std::initializer_list<PyObject*> values);

// Interning of each part's texts, when the module is initialised.
int init_environment_tables();
int init_environment_boxes();
int init_environment_graphics();

#define PW_ENVIRONMENT_METHOD(name)                                             \
    PyObject* environment_##name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, \
                                 PyObject* kwnames)

PW_ENVIRONMENT_METHOD(tabular_simple);
PW_ENVIRONMENT_METHOD(lstlisting);
PW_ENVIRONMENT_METHOD(minipage);
PW_ENVIRONMENT_METHOD(minipage_bottom);
PW_ENVIRONMENT_METHOD(fbox);
PW_ENVIRONMENT_METHOD(resizebox);
PW_ENVIRONMENT_METHOD(mbox);
PW_ENVIRONMENT_METHOD(tightbox);
PW_ENVIRONMENT_METHOD(textattachfile);
PW_ENVIRONMENT_METHOD(save_graphics_data);

#undef PW_ENVIRONMENT_METHOD

// graphics_data, a function object so that pact can wrap it, and the
// module-level make_options_string.
extern const FunctionDef graphics_data_def;
extern PyMethodDef make_options_string_def;

}  // namespace pw
