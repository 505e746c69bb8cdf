// The native state of pagewright.context's LatexContext, for the hot paths
// of the modules that write into contexts.
#pragma once

#include "../core/native.h"
#include "../core/text_buffer.h"

namespace pw {

// A native context keeps its body and preamble as native text until Python
// code reads `f` or `preamble` (that read makes the io.StringIO holding the
// text), its counter as a C integer and its package table as a list of
// requests whose UsePackage objects and dict are made when Python code
// reads `packages`.
struct Request {
    PyObject* name;     // an exact str
    PyObject* options;  // true options, or NULL for a new empty dict
};

struct Requests {
    Request* items;
    Py_ssize_t count;
    Py_ssize_t capacity;
};

struct Context : Native {
    TextBuffer buffers[2];  // body and preamble
    // For each buffer, how many native buffers it has dropped, so that a
    // writer that looked a buffer up earlier can tell whether it still
    // stands, and the stream made from the buffer dropped at made_in: a
    // writer that looked up the buffer before that read writes to it.
    unsigned generation[2];
    PyObject* made[2];
    unsigned made_in[2];
    Py_ssize_t count;
    Requests requests;
};

enum ContextField { f_field, preamble_field, graphics_path_field, parent_field, count_field,
                    packages_field };

extern PyTypeObject* context_type;
extern TypeGuard context_guard;
extern const Layout context_layout;

// The native buffer `field` (f_field or preamble_field) of a context that is
// a native LatexContext whose buffer Python code has not read; NULL
// otherwise.
inline TextBuffer* context_buffer(PyObject* context, int field) {
    PyObject** fields = native_fields(context, context_layout);
    return fields && fields[field] == lazy ? &reinterpret_cast<Context*>(context)->buffers[field]
                                           : nullptr;
}

// Both buffers of a native LatexContext (indexed by field) while Python
// code has read neither; NULL otherwise.
inline TextBuffer* context_buffers(PyObject* context) {
    PyObject** fields = native_fields(context, context_layout);
    return fields && fields[f_field] == lazy && fields[preamble_field] == lazy
               ? reinterpret_cast<Context*>(context)->buffers
               : nullptr;
}

// The child a native context makes (context.child()) for a block whose
// environment alone holds it, kept natively until Python code needs it as
// an object: its graphics path and parent, and its body and preamble text.
struct PendingContext {
    PyObject* graphics_path;
    PyObject* parent;
    TextBuffer buffers[2];  // indexed by field, as a context's
};

// The pending child of `context` when context.child() would make the child
// natively; NULL when it would not, or with MemoryError.
PendingContext* pending_child(PyObject* context);
// A new LatexContext object, not yet set up: making it may run the
// collector, and so Python code.
PyObject* alloc_context();
// Sets up a context just made as the child that `pending` stands for, its
// text moved in; `pending` is left empty, to be dropped.
void adopt_pending(PyObject* context, PendingContext* pending);
// Drops a pending child (which may run Python code, its parent's release).
void drop_pending(PendingContext* pending);

}  // namespace pw
