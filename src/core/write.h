// The one path by which the extension writes text: every append to a
// context's body or preamble buffer and every write to a caller's stream
// goes through write_to, so the buffer strategy can change in one place.
#pragma once

#include "strings.h"

namespace pw {

// stream.write(text), result discarded.
inline int write_to(PyObject* stream, PyObject* text) {
    Ref result = call_method(stream, names.write, {text});
    return result ? 0 : -1;
}

// env.context.f: the body buffer an environment writes into, looked up
// afresh on every call so that a replaced context or buffer is honoured.
inline Ref body_of(PyObject* env) {
    Ref context = getattr(env, names.context);
    if (!context) return Ref();
    return getattr(context.get(), names.f);
}

// self.context.f.write(text), returning None: the body of a writer method.
inline PyObject* append_text(PyObject* self, PyObject* text) {
    Ref body = body_of(self);
    if (!body || write_to(body.get(), text) < 0) return nullptr;
    Py_RETURN_NONE;
}

// A METH_NOARGS writer method that appends one fixed text.
template <PyObject** text>
PyObject* write_fixed(PyObject* self, PyObject*) {
    return append_text(self, *text);
}

// context.<buffer>.write(text), for buffer names f and preamble.
inline int append_to(PyObject* context, PyObject* buffer_name, PyObject* text) {
    Ref buffer = getattr(context, buffer_name);
    if (!buffer) return -1;
    return write_to(buffer.get(), text);
}

// buffer.getvalue()
inline Ref value_of(PyObject* context, PyObject* buffer_name) {
    Ref buffer = getattr(context, buffer_name);
    if (!buffer) return Ref();
    return call_method(buffer.get(), names.getvalue, {});
}

}  // namespace pw
