#include "text_buffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace pw {

// A flat piece's characters, a str, or a sequence of shared pieces.
struct Piece {
    enum Type : unsigned char { flat, string, concat };
    Type type;
    unsigned char kind;   // flat: bytes per character
    Py_ssize_t refs;      // buffers and pieces holding this piece
    Py_ssize_t length;    // characters
    Py_UCS4 maxchar;
    Py_ssize_t capacity;  // flat: characters of room; concat: number of parts
    void* data;           // flat: characters; string: the str; concat: Piece*[]
};

namespace {

// Strings and child texts at least this long are shared instead of copied.
constexpr Py_ssize_t share_length = 4096;
// A flat piece grows by doubling up to this many characters; then a new
// piece starts, so a long text is never moved and never over-allocated by
// more than one piece.
constexpr Py_ssize_t flat_limit = Py_ssize_t(1) << 16;
constexpr Py_ssize_t first_capacity = 64;

Piece* new_piece(Piece::Type type) {
    auto* piece = static_cast<Piece*>(PyMem_RawCalloc(1, sizeof(Piece)));
    if (!piece) {
        PyErr_NoMemory();
        return nullptr;
    }
    piece->type = type;
    piece->refs = 1;
    return piece;
}

Piece* new_flat(int kind, Py_ssize_t capacity) {
    Piece* piece = new_piece(Piece::flat);
    if (!piece) return nullptr;
    piece->kind = static_cast<unsigned char>(kind);
    piece->capacity = capacity;
    piece->data = PyMem_RawMalloc(capacity * kind);
    if (!piece->data) {
        PyMem_RawFree(piece);
        PyErr_NoMemory();
        return nullptr;
    }
    return piece;
}

// An exact str, referred to rather than copied.
Piece* new_string(PyObject* text) {
    Piece* piece = new_piece(Piece::string);
    if (!piece) return nullptr;
    piece->length = PyUnicode_GET_LENGTH(text);
    piece->maxchar = PyUnicode_MAX_CHAR_VALUE(text);
    piece->data = Py_NewRef(text);
    return piece;
}

Piece** parts_of(Piece* concat) { return static_cast<Piece**>(concat->data); }

// Drops one reference; pieces that reach zero are freed without recursion,
// however deeply shared texts are nested.
void unref(Piece* piece) {
    if (--piece->refs > 0) return;
    std::vector<Piece*> dead{piece};
    while (!dead.empty()) {
        Piece* p = dead.back();
        dead.pop_back();
        if (p->type == Piece::string) {
            Py_DECREF(static_cast<PyObject*>(p->data));
        } else if (p->type == Piece::concat) {
            for (Py_ssize_t i = 0; i < p->capacity; i++) {
                if (--parts_of(p)[i]->refs == 0) dead.push_back(parts_of(p)[i]);
            }
        }
        if (p->type != Piece::string) PyMem_RawFree(p->data);
        PyMem_RawFree(p);
    }
}

// Copies `n` characters of width `from` into room of width `to` >= `from`.
template <typename From, typename To>
void widen(const void* src, Py_ssize_t n, void* dst) {
    auto* in = static_cast<const From*>(src);
    auto* out = static_cast<To*>(dst);
    for (Py_ssize_t i = 0; i < n; i++) out[i] = in[i];
}

void copy_chars(int from, const void* src, Py_ssize_t n, int to, void* dst) {
    if (from == to) {
        std::memcpy(dst, src, n * from);
    } else if (from == 1 && to == 2) {
        widen<Py_UCS1, Py_UCS2>(src, n, dst);
    } else if (from == 1) {
        widen<Py_UCS1, Py_UCS4>(src, n, dst);
    } else {
        widen<Py_UCS2, Py_UCS4>(src, n, dst);
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
    if (piece->type == Piece::string) {
        auto* text = static_cast<PyObject*>(piece->data);
        return {PyUnicode_KIND(text), PyUnicode_DATA(text), piece->length, piece->maxchar};
    }
    return {piece->kind, piece->data, piece->length, piece->maxchar};
}

// Calls visit(run) for the characters of `parts`, in order. Shared pieces
// are walked with an explicit stack, never by recursion.
template <typename Visit>
int for_each_run(Piece* const* parts, Py_ssize_t count, Visit visit) {
    for (Py_ssize_t i = 0; i < count; i++) {
        if (parts[i]->type != Piece::concat) {
            if (visit(run_of(parts[i])) < 0) return -1;
            continue;
        }
        std::vector<std::pair<Piece* const*, Py_ssize_t>> stack;
        stack.emplace_back(parts_of(parts[i]), parts[i]->capacity);
        while (!stack.empty()) {
            auto& [items, left] = stack.back();
            if (left == 0) {
                stack.pop_back();
                continue;
            }
            Piece* piece = *items++;
            left--;
            if (piece->type == Piece::concat) {
                stack.emplace_back(parts_of(piece), piece->capacity);
            } else if (visit(run_of(piece)) < 0) {
                return -1;
            }
        }
    }
    return 0;
}

int push(TextBuffer& buffer, Piece* piece) {
    if (buffer.count == buffer.capacity) {
        Py_ssize_t capacity = buffer.capacity ? buffer.capacity * 2 : 4;
        auto* parts = static_cast<Piece**>(
            PyMem_RawRealloc(buffer.parts, capacity * sizeof(Piece*)));
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

// The flat piece that `n` more characters of width `kind` go into: the
// tail when it is private, wide enough and has (or may grow to) room.
Piece* writable_tail(TextBuffer& buffer, int kind, Py_ssize_t n) {
    Piece* tail = buffer.count ? buffer.parts[buffer.count - 1] : nullptr;
    if (tail && tail->type == Piece::flat && tail->refs == 1 && tail->kind >= kind) {
        Py_ssize_t needed = tail->length + n;
        if (needed <= tail->capacity) return tail;
        if (tail->capacity < flat_limit) {
            Py_ssize_t capacity = std::max(needed, std::min(tail->capacity * 2, flat_limit));
            void* data = PyMem_RawRealloc(tail->data, capacity * tail->kind);
            if (!data) {
                PyErr_NoMemory();
                return nullptr;
            }
            tail->data = data;
            tail->capacity = capacity;
            return tail;
        }
    }
    Piece* piece = new_flat(kind, std::max(n, first_capacity));
    if (!piece || push(buffer, piece) < 0) return nullptr;
    return piece;
}

int append_run(TextBuffer& buffer, const Run& run) {
    if (run.length == 0) return 0;
    Piece* tail = writable_tail(buffer, run.kind, run.length);
    if (!tail) return -1;
    copy_chars(run.kind, run.data, run.length, tail->kind,
               static_cast<char*>(tail->data) + tail->length * tail->kind);
    tail->length += run.length;
    tail->maxchar = std::max(tail->maxchar, run.maxchar);
    buffer.length += run.length;
    buffer.maxchar = std::max(buffer.maxchar, run.maxchar);
    return 0;
}

// One piece standing for the buffer's whole text, with a reference for the
// caller. The buffer keeps that piece as its only one, so further appends
// to it start a new tail and leave the shared text unchanged.
Piece* freeze(TextBuffer& buffer) {
    if (buffer.count != 1) {
        Piece* whole = new_piece(Piece::concat);
        auto* parts = static_cast<Piece**>(PyMem_RawMalloc(4 * sizeof(Piece*)));
        if (!whole || !parts) {
            PyMem_RawFree(whole);
            PyMem_RawFree(parts);
            PyErr_NoMemory();
            return nullptr;
        }
        whole->length = buffer.length;
        whole->maxchar = buffer.maxchar;
        whole->capacity = buffer.count;
        whole->data = buffer.parts;
        parts[0] = whole;
        buffer.parts = parts;
        buffer.count = 1;
        buffer.capacity = 4;
    }
    buffer.parts[0]->refs++;
    return buffer.parts[0];
}

}  // namespace

int TextBuffer::append(PyObject* text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (n >= share_length && PyUnicode_CheckExact(text)) {
        Piece* piece = new_string(text);
        if (!piece || push(*this, piece) < 0) return -1;
        length += n;
        maxchar = std::max(maxchar, piece->maxchar);
        return 0;
    }
    return append_run(*this, {PyUnicode_KIND(text), PyUnicode_DATA(text), n,
                              PyUnicode_MAX_CHAR_VALUE(text)});
}

int TextBuffer::append_joined(PyObject* const* items, Py_ssize_t n, PyObject* separator) {
    for (Py_ssize_t i = 0; i < n; i++) {
        if ((i && append(separator) < 0) || append(items[i]) < 0) return -1;
    }
    return 0;
}

int TextBuffer::append_buffer(TextBuffer& child) {
    if (child.length == 0) return 0;
    if (&child == this || child.length < share_length) {
        // Copy small texts; a buffer appended to itself is read first.
        Ref text(&child == this ? child.value() : nullptr);
        if (&child == this) return text ? append(text.get()) : -1;
        return for_each_run(child.parts, child.count,
                            [this](const Run& run) { return append_run(*this, run); });
    }
    Piece* shared = freeze(child);
    if (!shared || push(*this, shared) < 0) return -1;
    length += shared->length;
    maxchar = std::max(maxchar, shared->maxchar);
    return 0;
}

PyObject* TextBuffer::value() {
    if (count == 1 && parts[0]->type == Piece::string) {
        return Py_NewRef(static_cast<PyObject*>(parts[0]->data));
    }
    PyObject* text = PyUnicode_New(length, maxchar);
    if (!text || length == 0) return text;
    int kind = PyUnicode_KIND(text);
    char* out = static_cast<char*>(PyUnicode_DATA(text));
    for_each_run(parts, count, [&](const Run& run) {
        copy_chars(run.kind, run.data, run.length, kind, out);
        out += run.length * kind;
        return 0;
    });
    // Keep the text once: the str replaces the pieces it was built from.
    // Without memory for that, the pieces simply stay.
    Piece* whole = new_string(text);
    auto* fresh = whole ? static_cast<Piece**>(PyMem_RawMalloc(4 * sizeof(Piece*))) : nullptr;
    if (!fresh) {
        if (whole) unref(whole);
        PyErr_Clear();
        return text;
    }
    Py_ssize_t total = length;
    release();
    fresh[0] = whole;
    *this = TextBuffer{fresh, 1, 4, total, whole->maxchar};
    return text;
}

void TextBuffer::release() {
    for (Py_ssize_t i = 0; i < count; i++) unref(parts[i]);
    PyMem_RawFree(parts);
    *this = TextBuffer{};
}

}  // namespace pw
