// The native text of a context's body or preamble.
//
// A buffer is a sequence of pieces. Small appends are copied into a flat
// tail piece that keeps the narrowest string kind that holds its text (a
// wider character starts a new piece) and grows by doubling. A child's
// finished text is not copied into its parent: the parent takes a reference
// to an immutable piece holding it, so nesting costs memory in proportion
// to the text, not to the text times the depth. A piece becomes immutable
// as soon as a second buffer refers to it; later appends go to a new tail.
//
// Reading the text (value) builds one str, and the buffer then holds that
// str as its only piece, so the text is never kept twice.
//
// A zeroed TextBuffer is an empty buffer: the type needs no constructor and
// lives inside CPython objects allocated with tp_alloc.
#pragma once

#include "ref.h"

namespace pw {

struct Piece;

struct TextBuffer {
    Piece** parts;
    Py_ssize_t count;     // pieces in use
    Py_ssize_t capacity;  // room in `parts`
    Py_ssize_t length;    // characters in all pieces
    Py_UCS4 maxchar;      // the widest character, as PyUnicode_MAX_CHAR_VALUE gives it

    // Appends a str (any str subclass: its characters are taken as they are).
    int append(PyObject* text);
    // Appends the pieces joined by `separator` (all str), as str.join would.
    int append_joined(PyObject* const* pieces, Py_ssize_t count, PyObject* separator);
    // Appends the text of `child`, sharing it when it is large.
    int append_buffer(TextBuffer& child);
    // A new str with the whole text.
    PyObject* value();
    // Drops the text; the buffer is empty afterwards.
    void release();
};

}  // namespace pw
