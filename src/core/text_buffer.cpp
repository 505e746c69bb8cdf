#include "text_buffer.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace pw {

// Sealed characters, a str, a part of a str, or a sequence of shared pieces.
struct Piece {
    enum Type : unsigned char { flat, string, slice, concat };
    Type type;
    unsigned char kind;   // flat: bytes per character
    Py_ssize_t refs;      // buffers and pieces holding this piece
    Py_ssize_t length;    // characters
    Py_UCS4 maxchar;
    Py_ssize_t count;     // concat: number of parts; slice: where it starts in the str
    void* data;           // flat: characters; string, slice: the str; concat: Piece*[]
};

namespace {

// Strings and child texts at least this long are shared instead of copied.
constexpr Py_ssize_t share_length = 4096;
// The tail grows by doubling, moved while it is shorter than seal_length;
// from there on a full tail is sealed and the next one is twice as long, up
// to tail_limit. So long text is copied once, and never over-allocated by
// more than one tail.
constexpr Py_ssize_t first_capacity = 32;
constexpr Py_ssize_t seal_length = 4096;
constexpr Py_ssize_t tail_limit = Py_ssize_t(1) << 16;

Piece* new_piece(Piece::Type type, Py_ssize_t length, Py_UCS4 maxchar, void* data) {
    auto* piece = static_cast<Piece*>(PyMem_Malloc(sizeof(Piece)));
    if (!piece) {
        PyErr_NoMemory();
        return nullptr;
    }
    *piece = Piece{type, 0, 1, length, maxchar, 0, data};
    return piece;
}

Piece** parts_of(Piece* concat) { return static_cast<Piece**>(concat->data); }

void free_piece(Piece* piece) {
    if (piece->type == Piece::string || piece->type == Piece::slice) {
        Py_DECREF(static_cast<PyObject*>(piece->data));
    } else {
        PyMem_Free(piece->data);
    }
    PyMem_Free(piece);
}

// Drops one reference; pieces that reach zero are freed without recursion,
// however deeply shared texts are nested.
void unref(Piece* piece) {
    if (--piece->refs > 0) return;
    if (piece->type != Piece::concat) {
        free_piece(piece);
        return;
    }
    std::vector<Piece*> dead{piece};
    while (!dead.empty()) {
        Piece* p = dead.back();
        dead.pop_back();
        if (p->type == Piece::concat) {
            for (Py_ssize_t i = 0; i < p->count; i++) {
                if (--parts_of(p)[i]->refs == 0) dead.push_back(parts_of(p)[i]);
            }
        }
        free_piece(p);
    }
}

// Copies `n` characters of width `from` into room of width `to`. The room
// may be narrower than the run's width: a run taken from a wider str (a part
// of a parent's text) holds only characters that fit the narrower one.
template <typename From, typename To>
void convert(const void* src, Py_ssize_t n, void* dst) {
    auto* in = static_cast<const From*>(src);
    auto* out = static_cast<To*>(dst);
    for (Py_ssize_t i = 0; i < n; i++) out[i] = static_cast<To>(in[i]);
}

template <typename From>
void convert_from(const void* src, Py_ssize_t n, int to, void* dst) {
    switch (to) {
        case 1: convert<From, Py_UCS1>(src, n, dst); break;
        case 2: convert<From, Py_UCS2>(src, n, dst); break;
        default: convert<From, Py_UCS4>(src, n, dst);
    }
}

// A run of characters of one width.
struct Run {
    int kind;
    const void* data;
    Py_ssize_t length;
    Py_UCS4 maxchar;
};

Run run_of(const Piece* piece) {
    if (piece->type == Piece::string || piece->type == Piece::slice) {
        auto* text = static_cast<PyObject*>(piece->data);
        int kind = PyUnicode_KIND(text);
        const char* start = static_cast<const char*>(PyUnicode_DATA(text));
        Py_ssize_t offset = piece->type == Piece::slice ? piece->count : 0;
        return {kind, start + offset * kind, piece->length, piece->maxchar};
    }
    return {piece->kind, piece->data, piece->length, piece->maxchar};
}

// Calls visit(run) for the characters of a piece, in order; shared pieces
// are walked with an explicit stack, never by recursion.
template <typename Visit>
int for_each_run(Piece* piece, Visit visit) {
    if (piece->type != Piece::concat) return visit(run_of(piece));
    std::vector<std::pair<Piece* const*, Py_ssize_t>> stack;
    stack.emplace_back(parts_of(piece), piece->count);
    while (!stack.empty()) {
        auto& [items, left] = stack.back();
        if (left == 0) {
            stack.pop_back();
            continue;
        }
        Piece* next = *items++;
        left--;
        if (next->type == Piece::concat) {
            stack.emplace_back(parts_of(next), next->count);
        } else if (visit(run_of(next)) < 0) {
            return -1;
        }
    }
    return 0;
}

// The same for a whole buffer: its pieces, then its tail.
template <typename Visit>
int for_each_run(const TextBuffer& buffer, Visit visit) {
    for (Py_ssize_t i = 0; i < buffer.count; i++) {
        if (for_each_run(buffer.parts[i], visit) < 0) return -1;
    }
    if (!buffer.tail_length) return 0;
    return visit(Run{buffer.tail_kind, buffer.tail, buffer.tail_length, buffer.tail_maxchar});
}

// Turns a piece into the part of `text` that starts at `start` and holds
// the same characters; every holder of the piece sees the same text.
void view_of(Piece* piece, PyObject* text, Py_ssize_t start) {
    if (piece->type == Piece::concat) {
        for (Py_ssize_t i = 0; i < piece->count; i++) unref(parts_of(piece)[i]);
        PyMem_Free(piece->data);
    } else if (piece->type == Piece::flat) {
        PyMem_Free(piece->data);
    } else {
        Py_DECREF(static_cast<PyObject*>(piece->data));
    }
    piece->type = Piece::slice;
    piece->count = start;
    piece->data = Py_NewRef(text);
}

int push(TextBuffer& buffer, Piece* piece) {
    if (buffer.count == buffer.capacity) {
        Py_ssize_t capacity = buffer.capacity ? buffer.capacity * 2 : 4;
        auto* parts = static_cast<Piece**>(PyMem_Realloc(buffer.parts, capacity * sizeof(Piece*)));
        if (!parts) {
            unref(piece);
            PyErr_NoMemory();
            return -1;
        }
        buffer.parts = parts;
        buffer.capacity = capacity;
    }
    buffer.parts[buffer.count++] = piece;
    return 0;
}

// Turns the tail into a piece, so that it can be shared or followed by a
// piece of another kind.
int seal(TextBuffer& buffer) {
    if (!buffer.tail_length) return 0;
    void* data = PyMem_Realloc(buffer.tail, buffer.tail_length * buffer.tail_kind);
    if (!data) data = buffer.tail;
    Piece* piece = new_piece(Piece::flat, buffer.tail_length, buffer.tail_maxchar, data);
    if (!piece) return -1;
    piece->kind = static_cast<unsigned char>(buffer.tail_kind);
    buffer.tail = nullptr;
    buffer.tail_length = buffer.tail_capacity = 0;
    buffer.tail_maxchar = 0;
    return push(buffer, piece);
}

// Room in the tail for `n` more characters of width `kind`. A tail narrower
// than the text is sealed first; an empty one simply takes the text's kind.
int reserve(TextBuffer& buffer, int kind, Py_ssize_t n) {
    if (buffer.tail_length && buffer.tail_kind < kind && seal(buffer) < 0) return -1;
    if (!buffer.tail_length && buffer.tail_kind != kind) {
        PyMem_Free(buffer.tail);
        buffer.tail = nullptr;
        buffer.tail_capacity = 0;
        buffer.tail_kind = kind;
    }
    Py_ssize_t needed = buffer.tail_length + n;
    if (needed <= buffer.tail_capacity) return 0;
    Py_ssize_t capacity =
        std::max({needed, first_capacity, std::min(buffer.tail_capacity * 2, tail_limit)});
    // A long tail is sealed rather than moved.
    if (buffer.tail_capacity >= seal_length) {
        if (seal(buffer) < 0) return -1;
        buffer.tail_kind = kind;
    }
    void* tail = PyMem_Realloc(buffer.tail, capacity * buffer.tail_kind);
    if (!tail) {
        PyErr_NoMemory();
        return -1;
    }
    buffer.tail = tail;
    buffer.tail_capacity = capacity;
    return 0;
}

void note_length(TextBuffer& buffer, Py_ssize_t n, Py_UCS4 maxchar) {
    buffer.length += n;
    buffer.maxchar = std::max(buffer.maxchar, maxchar);
}

// One piece standing for the buffer's whole text, with a reference for the
// caller. The buffer keeps that piece as its only one, so further appends
// to it leave the shared text unchanged.
Piece* freeze(TextBuffer& buffer) {
    if (seal(buffer) < 0) return nullptr;
    if (buffer.count != 1) {
        auto* parts = static_cast<Piece**>(PyMem_Malloc(4 * sizeof(Piece*)));
        Piece* whole = parts ? new_piece(Piece::concat, buffer.length, buffer.maxchar,
                                         buffer.parts)
                             : nullptr;
        if (!whole) {
            PyMem_Free(parts);
            if (!PyErr_Occurred()) PyErr_NoMemory();
            return nullptr;
        }
        whole->count = buffer.count;
        parts[0] = whole;
        buffer.parts = parts;
        buffer.count = 1;
        buffer.capacity = 4;
    }
    buffer.parts[0]->refs++;
    return buffer.parts[0];
}

}  // namespace

void copy_chars(int from, const void* src, Py_ssize_t n, int to, void* dst) {
    if (from == to) {
        copy_bytes(dst, src, n * from);
    } else if (from == 1) {
        convert_from<Py_UCS1>(src, n, to, dst);
    } else if (from == 2) {
        convert_from<Py_UCS2>(src, n, to, dst);
    } else {
        convert_from<Py_UCS4>(src, n, to, dst);
    }
}

int TextBuffer::append_chars(int kind, const void* data, Py_ssize_t n, Py_UCS4 widest) {
    if (n == 0) return 0;
    if (reserve(*this, kind, n) < 0) return -1;
    copy_chars(kind, data, n, tail_kind, static_cast<char*>(tail) + tail_length * tail_kind);
    commit(n, widest);
    return 0;
}

int TextBuffer::grow_room(int kind, Py_ssize_t n, void** where) {
    if (reserve(*this, kind, n) < 0) return -1;
    *where = static_cast<char*>(tail) + tail_length * tail_kind;
    return 1;
}

int TextBuffer::grow_room_at_least(int kind, Py_ssize_t n, void** where, int* width) {
    // As append_chars: a wider tail with text is kept until it is sealed,
    // and the tail that follows it starts in the text's own width.
    if (reserve(*this, kind, n) < 0) return -1;
    *where = static_cast<char*>(tail) + tail_length * tail_kind;
    *width = tail_kind;
    return 1;
}

int TextBuffer::more_room(Py_ssize_t used, Py_ssize_t n, void** where) {
    Py_ssize_t most = PY_SSIZE_T_MAX / tail_kind;
    if (used > most - tail_length || n > most - tail_length - used) {
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t needed = tail_length + used + n;
    if (needed > tail_capacity) {
        // Not sealed: the characters written in place are past the tail's
        // length, and only growing the tail where it is keeps them.
        Py_ssize_t capacity = std::max(needed, std::min(tail_capacity, most / 2) * 2);
        void* grown = PyMem_Realloc(tail, capacity * tail_kind);
        if (!grown) {
            PyErr_NoMemory();
            return -1;
        }
        tail = grown;
        tail_capacity = capacity;
    }
    *where = static_cast<char*>(tail) + tail_length * tail_kind;
    return 1;
}

int TextBuffer::append(PyObject* text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(text);
    if (n < share_length || !PyUnicode_CheckExact(text)) {
        return append_chars(PyUnicode_KIND(text), PyUnicode_DATA(text), n, widest);
    }
    Piece* piece = seal(*this) < 0 ? nullptr
                                    : new_piece(Piece::string, n, widest, Py_NewRef(text));
    if (!piece) return -1;
    if (push(*this, piece) < 0) return -1;
    note_length(*this, n, widest);
    return 0;
}

namespace {

// The length of the items joined by `separator` (none when NULL), then
// `suffix` (a str, or NULL); *ascii says whether all of it is ASCII.
Py_ssize_t joined_length(PyObject* const* items, Py_ssize_t n, PyObject* separator,
                         PyObject* suffix, bool* ascii) {
    Py_ssize_t total = 0;
    bool all_ascii = true;
    for (Py_ssize_t i = 0; i < n; i++) {
        total += PyUnicode_GET_LENGTH(items[i]);
        all_ascii &= PyUnicode_IS_ASCII(items[i]) != 0;
    }
    if (separator) {
        total += (n - 1) * PyUnicode_GET_LENGTH(separator);
        all_ascii &= PyUnicode_IS_ASCII(separator) != 0;
    }
    if (suffix) {
        total += PyUnicode_GET_LENGTH(suffix);
        all_ascii &= PyUnicode_IS_ASCII(suffix) != 0;
    }
    *ascii = all_ascii;
    return total;
}

// Copies the joined items to `out`, of width `kind`; returns the end.
template <typename Put>
void put_joined(PyObject* const* items, Py_ssize_t n, PyObject* separator, PyObject* suffix,
                Put put) {
    put(items[0]);
    for (Py_ssize_t i = 1; i < n; i++) {
        if (separator) put(separator);
        put(items[i]);
    }
    if (suffix) put(suffix);
}

}  // namespace

int TextBuffer::append_joined(PyObject* const* items, Py_ssize_t n, PyObject* separator,
                              PyObject* suffix) {
    if (n == 0) return suffix ? append(suffix) : 0;
    bool ascii;
    Py_ssize_t total = joined_length(items, n, separator, suffix, &ascii);
    // Widths are worked out piece by piece only for text that is not ASCII.
    int kind = PyUnicode_1BYTE_KIND;
    Py_UCS4 widest = 0x7f;
    if (!ascii) {
        auto widen = [&](PyObject* text) {
            if (!text) return;
            kind = std::max(kind, static_cast<int>(PyUnicode_KIND(text)));
            widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(text));
        };
        widen(separator);
        widen(suffix);
        for (Py_ssize_t i = 0; i < n; i++) widen(items[i]);
    }
    if (total >= share_length) {
        for (Py_ssize_t i = 0; i < n; i++) {
            if ((i && separator && append(separator) < 0) || append(items[i]) < 0) return -1;
        }
        return suffix ? append(suffix) : 0;
    }
    // A short row: room for all of it at once, then each piece copied in.
    if (total == 0) return 0;
    bool fits = tail_kind == kind && tail_length + total <= tail_capacity;
    if (!fits && reserve(*this, kind, total) < 0) return -1;
    char* out = static_cast<char*>(tail) + tail_length * tail_kind;
    if (tail_kind == 1) {
        // Every piece is one byte wide: plain copies.
        put_joined(items, n, separator, suffix, [&](PyObject* text) {
            Py_ssize_t length = PyUnicode_GET_LENGTH(text);
            copy_bytes(out, PyUnicode_DATA(text), length);
            out += length;
        });
    } else {
        put_joined(items, n, separator, suffix, [&](PyObject* text) {
            Py_ssize_t length = PyUnicode_GET_LENGTH(text);
            copy_chars(PyUnicode_KIND(text), PyUnicode_DATA(text), length, tail_kind, out);
            out += length * tail_kind;
        });
    }
    commit(total, widest);
    return 0;
}

int TextBuffer::append_buffer(TextBuffer& child) {
    if (child.length == 0) return 0;
    if (&child == this) {
        // Appending a buffer to itself reads it first.
        Ref text(value());
        return text ? append(text.get()) : -1;
    }
    if (child.length < share_length) {
        return for_each_run(child, [this](const Run& run) {
            return append_chars(run.kind, run.data, run.length, run.maxchar);
        });
    }
    Piece* shared = freeze(child);
    if (!shared || seal(*this) < 0 || push(*this, shared) < 0) return -1;
    note_length(*this, shared->length, shared->maxchar);
    return 0;
}

PyObject* TextBuffer::value() {
    if (count == 0) {
        // All of it in the tail, whose width fits its widest character.
        PyObject* text = PyUnicode_New(tail_length, tail_maxchar);
        if (text && tail_length) {
            copy_chars(tail_kind, tail, tail_length, PyUnicode_KIND(text), PyUnicode_DATA(text));
        }
        return text;
    }
    if (!tail_length && count == 1 && parts[0]->type == Piece::string) {
        return Py_NewRef(static_cast<PyObject*>(parts[0]->data));
    }
    PyObject* text = PyUnicode_New(length, maxchar);
    if (!text || length == 0) return text;
    int kind = PyUnicode_KIND(text);
    char* out = static_cast<char*>(PyUnicode_DATA(text));
    auto copy = [&](const Run& run) {
        copy_chars(run.kind, run.data, run.length, kind, out);
        out += run.length * kind;
        return 0;
    };
    if (length < share_length) {
        for_each_run(*this, copy);
        return text;
    }
    // A long text is kept once: the str replaces the pieces, each freed as
    // soon as it is copied.
    auto* fresh = static_cast<Piece**>(PyMem_Malloc(4 * sizeof(Piece*)));
    Piece* whole = fresh ? new_piece(Piece::string, length, maxchar, Py_NewRef(text)) : nullptr;
    if (!whole) {
        PyMem_Free(fresh);
        Py_DECREF(text);
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        Py_ssize_t start = (out - static_cast<char*>(PyUnicode_DATA(text))) / kind;
        for_each_run(parts[i], copy);
        // A piece that another buffer still holds becomes a view on the
        // new str, so its own storage goes too.
        if (parts[i]->refs > 1) view_of(parts[i], text, start);
        unref(parts[i]);
    }
    if (tail_length) copy(Run{tail_kind, tail, tail_length, tail_maxchar});
    PyMem_Free(parts);
    PyMem_Free(tail);
    fresh[0] = whole;
    *this = TextBuffer{fresh, 1, 4, nullptr, 0, 0, 1, 0, whole->length, whole->maxchar};
    return text;
}

void TextBuffer::release() {
    empty();
    PyMem_Free(tail);
    *this = TextBuffer{};
}

void TextBuffer::drop_parts() {
    for (Py_ssize_t i = 0; i < count; i++) unref(parts[i]);
    PyMem_Free(parts);
    parts = nullptr;
    count = capacity = 0;
}

}  // namespace pw
