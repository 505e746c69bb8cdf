// Interned strings for attribute names and fixed texts.
//
// The extension keeps its process-wide state (these strings, its types and
// the host objects it calls) in statics initialised once, the first time the
// package is imported. CPython 3.10 has no cheap way to reach per-module
// state from a method, and the hot paths must not build a str from a C
// literal on every call.
#pragma once

#include "ref.h"

#include <cstddef>

// Attribute and parameter names used by more than one module.
#define PW_NAMES(X)                                                                      \
    X(context) X(f) X(preamble) X(graphics_path) X(parent) X(count) X(packages)          \
    X(write) X(getvalue) X(child) X(use_package) X(require_package) X(generate_file_id) \
    X(dump) X(dump_stream) X(dump_preamble) X(main_context) X(tex) X(replace)            \
    X(items) X(keys) X(__all__) X(__annotations__) X(__doc__) X(__enter__) X(__exit__)   \
    X(__file__) X(__path__) X(__spec__) X(__cached__) X(__builtins__) X(__name__)        \
    X(__qualname__) X(__module__) X(__init__) X(__package__) X(__class__) X(origin)        \
    X(has_location)                                                                        \
    X(submodule_search_locations)

namespace pw {

struct Names {
#define PW_DECLARE_NAME(n) PyObject* n;
    PW_NAMES(PW_DECLARE_NAME)
#undef PW_DECLARE_NAME
};

// Filled by init_names(); valid for the life of the interpreter.
extern Names names;

int init_names();

// A fixed text that a module interns once: `slot` receives the str.
struct Literal {
    PyObject** slot;
    const char* text;
};

int intern_literals(const Literal* table, size_t count);

// A module's interned texts, each declared once: LIST(X) names them as
// X(name, "text"), and this declares a PyObject* per name and the table
// `literals` that intern_literals fills them from.
#define PW_LITERAL_SLOT(name, text) PyObject* name;
#define PW_LITERAL_ENTRY(name, text) {&name, text},
#define PW_LITERALS(LIST) \
    LIST(PW_LITERAL_SLOT) const Literal literals[] = {LIST(PW_LITERAL_ENTRY)};

template <size_t N>
int intern_literals(const Literal (&table)[N]) {
    return intern_literals(table, N);
}

}  // namespace pw
