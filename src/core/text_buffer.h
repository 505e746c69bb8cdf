// The native text of a context's body or preamble.
//
// Appends are copied into a tail that the buffer owns alone: it keeps the
// narrowest string kind that holds its text (a wider character seals it and
// starts a new one) and grows by doubling; a long tail is sealed when full
// and the next one is twice as long (up to a limit), so it is never moved. A
// sealed tail, a long str (kept by reference) or a child's shared text
// becomes a piece. A child's finished text is not copied into its parent
// when it is long: the parent takes a reference to the child's pieces, so
// nesting costs memory in proportion to the text, not to the text times the
// depth. Pieces never change once made.
//
// Reading a long text (value) builds one str, and the buffer then keeps
// that str as its only piece, freeing the pieces as it copies them, so the
// text is never held twice for long.
//
// A zeroed TextBuffer is an empty buffer: the type needs no constructor and
// lives inside CPython objects allocated with tp_alloc. Its memory comes
// from the Python allocator: the GIL is held whenever it is touched.
#pragma once

#include <cstring>

#include "ref.h"

namespace pw {

// Copies `n` bytes; a short run (a table cell, a separator) without a
// call: two overlapping moves of a fixed size cover any length up to twice
// that size.
inline void copy_bytes(void* dst, const void* src, Py_ssize_t n) {
    auto* out = static_cast<char*>(dst);
    auto* in = static_cast<const char*>(src);
    if (n > 16) {
        std::memcpy(out, in, static_cast<size_t>(n));
    } else if (n >= 8) {
        std::memcpy(out, in, 8);
        std::memcpy(out + n - 8, in + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(out, in, 4);
        std::memcpy(out + n - 4, in + n - 4, 4);
    } else if (n >= 2) {
        std::memcpy(out, in, 2);
        std::memcpy(out + n - 2, in + n - 2, 2);
    } else if (n == 1) {
        *out = *in;
    }
}

// Copies `n` characters of width `from` to room of width `to`; the room may
// be narrower than the run's width when every character fits it.
void copy_chars(int from, const void* src, Py_ssize_t n, int to, void* dst);

struct Piece;

struct TextBuffer {
    Piece** parts;             // pieces before the tail
    Py_ssize_t count;
    Py_ssize_t capacity;
    void* tail;                // characters appended since the last piece
    Py_ssize_t tail_length;
    Py_ssize_t tail_capacity;
    int tail_kind;             // bytes per character of the tail
    Py_UCS4 tail_maxchar;
    Py_ssize_t length;         // characters in all pieces and the tail
    Py_UCS4 maxchar;           // the widest character, as PyUnicode_MAX_CHAR_VALUE gives it

    // Appends a str (any str subclass: its characters are taken as they are).
    int append(PyObject* text);
    // Appends `n` characters of width `kind` whose widest is `maxchar`.
    int append_chars(int kind, const void* data, Py_ssize_t n, Py_UCS4 maxchar);
    // Room for `n` characters of width `kind` at the end of the tail, for
    // a caller that writes them in place and then calls commit(n, maxchar):
    // 1 with *room set, 0 when the tail holds text of another width, -1 on
    // error.
    int room(int kind, Py_ssize_t n, void** where) {
        if (tail_length && tail_kind != kind) return 0;
        // Inline when the tail has the room in this width.
        if (tail_kind == kind && n <= tail_capacity - tail_length) {
            *where = static_cast<char*>(tail) + tail_length * tail_kind;
            return 1;
        }
        return grow_room(kind, n, where);
    }
    int grow_room(int kind, Py_ssize_t n, void** where);
    // Room for `n` characters of width `kind` or wider at the end of the
    // tail, as append_chars would make it: in the tail's width while it
    // holds wider text, else in `kind` (a narrower tail is sealed first).
    // *width gets the room's width. 1 with *where set, or -1 on error.
    int room_at_least(int kind, Py_ssize_t n, void** where, int* width) {
        // Inline when the tail has the room in a width it may keep.
        if ((tail_length ? tail_kind >= kind : tail_kind == kind) &&
            n <= tail_capacity - tail_length) {
            *where = static_cast<char*>(tail) + tail_length * tail_kind;
            *width = tail_kind;
            return 1;
        }
        return grow_room_at_least(kind, n, where, width);
    }
    int grow_room_at_least(int kind, Py_ssize_t n, void** where, int* width);
    // Room for `n` more characters after the `used` ones written in place
    // since room() and not yet committed, which are kept: the room may
    // move, and *where is set to its new start. 1, or -1 on error.
    int more_room(Py_ssize_t used, Py_ssize_t n, void** where);
    void commit(Py_ssize_t n, Py_UCS4 widest) {
        tail_length += n;
        length += n;
        if (widest > tail_maxchar) tail_maxchar = widest;
        if (widest > maxchar) maxchar = widest;
    }
    // Appends the items (all str) joined by `separator` (none when NULL), as
    // str.join would, then `suffix` (a str, or NULL).
    int append_joined(PyObject* const* items, Py_ssize_t count, PyObject* separator,
                      PyObject* suffix = nullptr);
    // Appends the text of `child`, sharing it when it is long.
    int append_buffer(TextBuffer& child);
    // A new str with the whole text.
    PyObject* value();
    // Drops the text; the buffer is empty afterwards.
    void release();
    // The same, but the tail keeps its memory for the next text.
    void empty() {
        if (parts) drop_parts();
        tail_length = length = 0;
        tail_maxchar = maxchar = 0;
    }
    // Drops the pieces before the tail.
    void drop_parts();
};

}  // namespace pw
