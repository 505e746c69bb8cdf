// The one path by which the extension writes text: every append to a
// context's body or preamble buffer and every write to a caller's stream
// goes through here.
//
// A context in native state keeps its buffers as TextBuffers until Python
// code reads `f` or `preamble`; a Sink then appends to the TextBuffer. For
// any other context (a subclass, a buffer that Python code has read or
// replaced) it looks the buffer up and calls its `write`, as Python code
// would. The native buffer is found again at each write, so Python code
// that runs in between (a value's __str__) cannot leave a stale pointer.
#pragma once

#include "strings.h"
#include "text_buffer.h"

#include <cassert>

namespace pw {

// The native buffer `context.<name>` (name: f or preamble) would write
// into, when the context is a LatexContext in native state and that buffer
// has not been read by Python code; NULL otherwise. Defined with
// LatexContext.
TextBuffer* native_buffer(PyObject* context, PyObject* name);
// For a context whose buffer native_buffer found: how many native buffers
// of that name it has dropped so far, and the stream made from the buffer
// that was in place at that count, if Python code read it (else NULL).
unsigned buffer_generation(PyObject* context, PyObject* name);
PyObject* stream_made_from(PyObject* context, PyObject* name, unsigned generation);

// stream.write(text), result discarded.
int write_to(PyObject* stream, PyObject* text);

class Batch;

// The text a batch collects for `stream`, for writes made straight into
// it; NULL when no batch collects writes to `stream`.
TextBuffer* collected_for(PyObject* stream);

// The writes of a writer that runs no Python code between them, to an exact
// io.StringIO that writes with its class's method: collected natively while
// the batch lives and written in one call by flush(). Nothing can look at
// the stream in between, and the stream ends up holding the same text. For
// any other stream (or NULL) the writes go through as they come.
class Batch {
public:
    explicit Batch(PyObject* stream);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    // Writes what was collected; 0, or -1 with an exception.
    int flush();

private:
    friend TextBuffer* collected_for(PyObject* stream);
    // Ends the collecting, dropping the text.
    void stop();
    PyObject* stream_ = nullptr;  // borrowed: the caller holds it
};

// Takes io.StringIO, whose write the library calls directly on its exact
// instances; 0, or -1 with an exception.
int init_write(PyObject* string_io_class);

// What io.StringIO.write raises for a value that is not a str.
int refuse_non_str(PyObject* text);

// context.<name>.getvalue()
Ref value_of(PyObject* context, PyObject* buffer_name);

// One of a context's buffers, looked up once and written many times.
class Sink {
public:
    // context.<name>, for name f or preamble.
    static Sink of(PyObject* context, PyObject* buffer_name);
    // env.context.f: the body an environment writes into, looked up
    // afresh on every call so that a replaced context or buffer is honoured.
    static Sink body_of(PyObject* env);
    // Any object with a write method, such as a caller's stream.
    static Sink to(PyObject* stream);

    explicit operator bool() const { return static_cast<bool>(target_); }
    // The buffer natively, when it is still the one looked up.
    TextBuffer* native() const;

    // The object whose write is called, for a sink that is not native.
    PyObject* stream() const { return native_ ? nullptr : target_.get(); }

    int write(PyObject* text);
    // write(from_context.<buffer_name>.getvalue()), sharing the text when
    // both buffers are native.
    int copy_from(PyObject* from_context, PyObject* buffer_name);
    // The same from a native buffer.
    int copy_text(TextBuffer& from);

private:
    Ref target_;          // the context when native, else the buffer object
    PyObject* name_ = nullptr;
    bool native_ = false;
    unsigned generation_ = 0;  // of the native buffer looked up
};

// A line made of exact strs (a format's fixed pieces and its operands, when
// those are exact strs, whose "%s" is the str itself), appended to a native
// buffer in one piece: what the `%` format would have written, unparsed.
class Pieces {
public:
    static constexpr int capacity = 8;
    void add(PyObject* text) {
        assert(count_ < capacity);
        items_[count_++] = text;
    }
    int append_to(TextBuffer& buffer) const {
        return buffer.append_joined(items_, count_, nullptr);
    }

private:
    PyObject* items_[capacity];
    int count_ = 0;
};

// context.f.write(fmt % values), where `line` is the same text as the
// format's fixed pieces and the values in order. When every value is an
// exact str (so formatting runs no Python code) and the body is native, the
// line is appended from its pieces without formatting.
int append_line(PyObject* context, std::initializer_list<PyObject*> line, PyObject* fmt,
                std::initializer_list<PyObject*> values);

// self.context.f.write(text), returning None: the body of a writer method.
PyObject* append_text(PyObject* self, PyObject* text);

// A METH_NOARGS writer method that appends one fixed text.
template <PyObject** text>
PyObject* write_fixed(PyObject* self, PyObject*) {
    return append_text(self, *text);
}

// context.<buffer>.write(text), for buffer names f and preamble.
inline int append_to(PyObject* context, PyObject* buffer_name, PyObject* text) {
    Sink sink = Sink::of(context, buffer_name);
    return sink ? sink.write(text) : -1;
}

// to_context.<name>.write(from_context.<name>.getvalue())
int copy_buffer(PyObject* from_context, PyObject* to_context, PyObject* buffer_name);
// The same from a native buffer.
int copy_buffer(TextBuffer& from, PyObject* to_context, PyObject* buffer_name);

}  // namespace pw
