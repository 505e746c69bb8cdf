#include "write.h"

#include "native.h"

namespace pw {

namespace {

PyTypeObject* string_io_type;  // io.StringIO, an immutable class
PyObject* string_io_write;     // its write method

// The place of an io.StringIO's instance dict, or NULL when it has none.
PyObject** instance_dict(PyObject* stream) {
    Py_ssize_t offset = string_io_type->tp_dictoffset;
    if (offset <= 0) return nullptr;
    return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(stream) + offset);
}

// Whether the instance dict of an io.StringIO leaves `write` to the class:
// 1 or 0, or -1 with an exception.
int writes_with_class_method(PyObject* stream) {
    PyObject** place = instance_dict(stream);
    if (!place) return 0;
    // Held: comparing keys may run Python code that replaces the dict.
    Ref dict = Ref::borrow(*place);
    if (!dict) return 1;
    int shadowed = PyDict_Contains(dict.get(), names.write);
    return shadowed < 0 ? -1 : !shadowed;
}

}  // namespace

int init_write(PyObject* string_io_class) {
    if (string_io_write) return 0;
    auto* type = reinterpret_cast<PyTypeObject*>(string_io_class);
    string_io_write = PyDict_GetItemWithError(type->tp_dict, names.write);
    if (!string_io_write) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "io.StringIO has no write");
        return -1;
    }
    Py_INCREF(string_io_write);
    string_io_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(string_io_class));
    return 0;
}

namespace {

// The batch collecting writes, if one is: at most one at a time, as no
// Python code (so no other thread) runs while it collects. Its text goes
// to a buffer that keeps its memory for the next batch, up to a size.
Batch* collecting;
TextBuffer batch_text;
constexpr Py_ssize_t kept_batch_memory = 1 << 16;

}  // namespace

Batch::Batch(PyObject* stream) {
    if (!stream || collecting || !fast_paths || !string_io_type ||
        !Py_IS_TYPE(stream, string_io_type)) {
        return;
    }
    // An empty instance dict leaves write to the class, and looking runs no
    // Python code.
    PyObject** place = instance_dict(stream);
    if (!place || (*place && PyDict_GET_SIZE(*place) != 0)) return;
    stream_ = stream;
    collecting = this;
}

void Batch::stop() {
    if (collecting != this) return;
    collecting = nullptr;
    if (batch_text.tail_capacity * batch_text.tail_kind > kept_batch_memory) {
        batch_text.release();
    } else {
        batch_text.empty();
    }
}

Batch::~Batch() { stop(); }

int Batch::flush() {
    if (collecting != this) return 0;
    Ref text(batch_text.value());
    stop();
    return text && call(string_io_write, {stream_, text.get()}) ? 0 : -1;
}

TextBuffer* collected_for(PyObject* stream) {
    return collecting && collecting->stream_ == stream ? &batch_text : nullptr;
}

// A batch collecting the stream's writes takes the text. Otherwise an exact
// io.StringIO, whose class no one can change, runs the class's write unless
// its instance dict has one: that method is called without looking it up.
int write_to(PyObject* stream, PyObject* text) {
    TextBuffer* batch = collected_for(stream);
    if (batch && PyUnicode_CheckExact(text)) return batch->append(text);
    if (fast_paths && string_io_type && Py_IS_TYPE(stream, string_io_type)) {
        int own = writes_with_class_method(stream);
        if (own < 0) return -1;
        if (own) return call(string_io_write, {stream, text}) ? 0 : -1;
    }
    Ref result = call_method(stream, names.write, {text});
    return result ? 0 : -1;
}

int refuse_non_str(PyObject* text) {
    PyErr_Format(PyExc_TypeError, "string argument expected, got '%s'", Py_TYPE(text)->tp_name);
    return -1;
}

Ref value_of(PyObject* context, PyObject* buffer_name) {
    if (TextBuffer* buffer = native_buffer(context, buffer_name)) return Ref(buffer->value());
    Ref buffer = getattr(context, buffer_name);
    if (!buffer) return Ref();
    return call_method(buffer.get(), names.getvalue, {});
}

Sink Sink::of(PyObject* context, PyObject* buffer_name) {
    Sink sink;
    sink.name_ = buffer_name;
    sink.native_ = native_buffer(context, buffer_name) != nullptr;
    sink.target_ = sink.native_ ? Ref::borrow(context) : getattr(context, buffer_name);
    if (sink.native_) sink.generation_ = buffer_generation(context, buffer_name);
    return sink;
}

Sink Sink::body_of(PyObject* env) {
    Ref context = context_of(env);
    if (!context) return Sink();
    return of(context.get(), names.f);
}

Sink Sink::to(PyObject* stream) {
    Sink sink;
    sink.target_ = Ref::borrow(stream);
    return sink;
}

PyObject* append_text(PyObject* self, PyObject* text) {
    Ref context = context_of(self);
    if (!context) return nullptr;
    // The common case without a Sink: a str into a native body, found and
    // appended to with no Python code run in between.
    if (TextBuffer* buffer = PyUnicode_Check(text) ? native_buffer(context.get(), names.f)
                                                   : nullptr) {
        if (buffer->append(text) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Sink body = Sink::of(context.get(), names.f);
    if (!body || body.write(text) < 0) return nullptr;
    Py_RETURN_NONE;
}

TextBuffer* Sink::native() const {
    if (!native_) return nullptr;
    TextBuffer* buffer = native_buffer(target_.get(), name_);
    return buffer && buffer_generation(target_.get(), name_) == generation_ ? buffer : nullptr;
}

int Sink::write(PyObject* text) {
    if (!native_) return write_to(target_.get(), text);
    if (TextBuffer* buffer = native()) {
        return PyUnicode_Check(text) ? buffer->append(text) : refuse_non_str(text);
    }
    // Python code that ran since the lookup read the buffer, and the text
    // goes to the stream that read made; or it dropped the buffer unread,
    // and the text goes nowhere, as into a stream no one holds.
    PyObject* stream = stream_made_from(target_.get(), name_, generation_);
    if (!stream) return PyUnicode_Check(text) ? 0 : refuse_non_str(text);
    Ref held = Ref::borrow(stream);
    return write_to(held.get(), text);
}

namespace {

Ref format_values(PyObject* fmt, std::initializer_list<PyObject*> values) {
    return values.size() == 1 ? format(fmt, *values.begin()) : format_tuple(fmt, values);
}

}  // namespace

int append_line(PyObject* context, std::initializer_list<PyObject*> line, PyObject* fmt,
                std::initializer_list<PyObject*> values) {
    bool plain = fast_paths && line.size() <= Pieces::capacity;
    for (PyObject* text : line) plain = plain && PyUnicode_CheckExact(text);
    if (!plain) {
        Ref text = format_values(fmt, values);
        return text ? append_to(context, names.f, text.get()) : -1;
    }
    // Exact strs run no Python code: the body found is the one written to.
    if (TextBuffer* buffer = native_buffer(context, names.f)) {
        return buffer->append_joined(line.begin(), line.size(), nullptr);
    }
    Sink body = Sink::of(context, names.f);
    if (!body) return -1;
    Ref text = format_values(fmt, values);
    return text ? body.write(text.get()) : -1;
}

int Sink::copy_from(PyObject* from_context, PyObject* buffer_name) {
    if (TextBuffer* from = native_buffer(from_context, buffer_name)) return copy_text(*from);
    Ref text = value_of(from_context, buffer_name);
    return text ? write(text.get()) : -1;
}

int Sink::copy_text(TextBuffer& from) {
    if (TextBuffer* to = native()) return to->append_buffer(from);
    Ref text(from.value());
    return text ? write(text.get()) : -1;
}

}  // namespace pw

namespace pw {

int copy_buffer(PyObject* from_context, PyObject* to_context, PyObject* buffer_name) {
    if (TextBuffer* from = native_buffer(from_context, buffer_name)) {
        return copy_buffer(*from, to_context, buffer_name);
    }
    Ref text = value_of(from_context, buffer_name);
    return text ? append_to(to_context, buffer_name, text.get()) : -1;
}

int copy_buffer(TextBuffer& from, PyObject* to_context, PyObject* buffer_name) {
    if (TextBuffer* to = native_buffer(to_context, buffer_name)) return to->append_buffer(from);
    Ref text(from.value());
    return text ? append_to(to_context, buffer_name, text.get()) : -1;
}

}  // namespace pw
