// pagewright.utils: escaping plain text for LaTeX, and environment brackets
// written around whatever a `with` block writes to a stream.
#include "modules.h"

#include "../core/args.h"
#include "../core/function.h"
#include "../core/module.h"
#include "../core/single_use.h"
#include "../core/write.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pw {

namespace {

PyObject* begin_format;    // "\\begin{%s}"
PyObject* options_format;  // "[%s]"
PyObject* open_end;        // "%\n"
PyObject* end_format;      // "\\end{%s}%%\n"

// The characters latex_escape changes, each with its replacement, in the
// order a chain of str.replace calls would apply them. The backslash comes
// first, so the backslashes of the later replacements are not escaped again.
struct Escape {
    Py_UCS4 character;
    const char* replacement;
};
constexpr Escape escapes[] = {
    {'\\', "\\textbackslash "}, {'{', "\\{"}, {'}', "\\}"},
    {'^', "\\^"}, {'_', "\\_"}, {'$', "\\$"},
};

// The replacement of each ASCII character, or NULL where it stays, and how
// many characters it adds.
struct EscapeTable {
    const char* replacement[128] = {};
    unsigned char extra[128] = {};
    constexpr EscapeTable() {
        for (const Escape& e : escapes) {
            replacement[e.character] = e.replacement;
            size_t n = 0;
            while (e.replacement[n]) n++;
            extra[e.character] = static_cast<unsigned char>(n - 1);
        }
    }
};
constexpr EscapeTable escape_table;

template <typename Char>
bool is_special(Char c) {
    return c < 128 && escape_table.replacement[c];
}

#if defined(__SSE2__)
// The specials among 16 one-byte characters, as a bit mask.
unsigned special_mask(const Py_UCS1* p) {
    __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hits = _mm_setzero_si128();
    for (const Escape& e : escapes) {
        hits = _mm_or_si128(hits, _mm_cmpeq_epi8(chunk, _mm_set1_epi8(static_cast<char>(e.character))));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(hits));
}
#endif

// The position of the first special character at or after `i`, or `length`.
template <typename Char>
Py_ssize_t next_special(const Char* data, Py_ssize_t i, Py_ssize_t length) {
#if defined(__SSE2__)
    if constexpr (sizeof(Char) == 1) {
        for (; i + 16 <= length; i += 16) {
            if (unsigned mask = special_mask(data + i)) return i + __builtin_ctz(mask);
        }
    }
#endif
    while (i < length && !is_special(data[i])) i++;
    return i;
}

// One pass to size the result, one to fill it: unchanged runs are copied in
// blocks, replacements written in place. Text with nothing to escape is
// returned as it is. One-byte text is scanned sixteen characters at a time.
// How many characters escaping adds to the text.
template <typename Char>
Py_ssize_t escaped_extra(const Char* data, Py_ssize_t length) {
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = next_special(data, 0, length); i < length;
         i = next_special(data, i + 1, length)) {
        extra += escape_table.extra[data[i]];
    }
    return extra;
}

// Writes the escaped text to `out`, which has room for it.
template <typename Char>
void write_escaped(const Char* data, Py_ssize_t length, Char* out) {
    Py_ssize_t run_start = 0;
    for (Py_ssize_t i = next_special(data, 0, length); i < length;
         i = next_special(data, i + 1, length)) {
        std::memcpy(out, data + run_start, (i - run_start) * sizeof(Char));
        out += i - run_start;
        for (const char* r = escape_table.replacement[data[i]]; *r; r++) {
            *out++ = static_cast<Char>(*r);
        }
        run_start = i + 1;
    }
    std::memcpy(out, data + run_start, (length - run_start) * sizeof(Char));
}

template <typename Char>
PyObject* escape_kind(PyObject* s) {
    const Char* data = reinterpret_cast<const Char*>(PyUnicode_DATA(s));
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    Py_ssize_t extra = escaped_extra(data, length);
    if (extra == 0) return Py_NewRef(s);
    if (length > PY_SSIZE_T_MAX - extra) return PyErr_NoMemory();
    PyObject* result = PyUnicode_New(length + extra, PyUnicode_MAX_CHAR_VALUE(s));
    if (!result) return nullptr;
    write_escaped(data, length, reinterpret_cast<Char*>(PyUnicode_DATA(result)));
    return result;
}

// Escapes an exact str straight into the buffer's tail: 1 when done, 0 when
// the tail holds text of another width, -1 on error.
template <typename Char>
int escape_kind_into(TextBuffer& buffer, PyObject* s) {
    const Char* data = reinterpret_cast<const Char*>(PyUnicode_DATA(s));
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (length == 0) return 1;  // an empty tail has no room to point at
    Py_ssize_t extra = escaped_extra(data, length);
    if (length > PY_SSIZE_T_MAX - extra) {
        PyErr_NoMemory();
        return -1;
    }
    void* room;
    int ready = buffer.room(sizeof(Char), length + extra, &room);
    if (ready <= 0) return ready;
    write_escaped(data, length, static_cast<Char*>(room));
    buffer.commit(length + extra, PyUnicode_MAX_CHAR_VALUE(s));
    return 1;
}

// For anything but an exact str: the six replacements as method calls on
// the value, so a str subclass's own replace is honoured and other types
// fail as their replace does (AttributeError, or TypeError for bytes).
PyObject* escape_by_replace(PyObject* s) {
    Ref current = Ref::borrow(s);
    for (const Escape& e : escapes) {
        Ref old(PyUnicode_FromOrdinal(e.character));
        Ref replacement(PyUnicode_FromString(e.replacement));
        if (!old || !replacement) return nullptr;
        current = call_method(current.get(), names.replace, {old.get(), replacement.get()});
        if (!current) return nullptr;
    }
    return current.release();
}

PyObject* latex_escape(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"latex_escape", {"s"}, 1};
    PyObject* s;
    if (signature.bind(args, nargs, kwnames, &s) < 0) return nullptr;
    return escape_latex(s);
}

PyMethodDef latex_escape_def = {
    "latex_escape", as_method(latex_escape), METH_FASTCALL | METH_KEYWORDS,
    "latex_escape($module, s)\n--\n\n",
};

// begin_end slots: 0 stream, 1 env_name, 2 options.
PyObject* begin_end_enter(SingleUse* self) {
    Sink out = Sink::to(self->slot(0));
    Ref options(open_environment(out, self->slot(1), self->slot(2) ? self->slot(2) : Py_None));
    if (!options) return nullptr;
    self->keep(2, options.release());
    return Py_NewRef(self->slot(0));
}

int begin_end_close(SingleUse* self) {
    Sink out = Sink::to(self->slot(0));
    return close_environment(out, self->slot(1));
}

const Construct begin_end_construct = {begin_end_enter, begin_end_close, nullptr};

PyObject* begin_end(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"begin_end", {"stream", "env_name", "options"}, 2};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    return make_single_use(&begin_end_construct, {arg[0], arg[1], arg[2] ? arg[2] : Py_None});
}

const FunctionDef begin_end_def = {
    "begin_end", "begin_end", begin_end, "(stream, env_name, options=None)", nullptr,
};

const Literal literals[] = {
    {&begin_format, "\\begin{%s}"},
    {&options_format, "[%s]"},
    {&open_end, "%\n"},
    {&end_format, "\\end{%s}%%\n"},
};

}  // namespace

PyObject* open_environment(Sink& out, PyObject* env_name, PyObject* options) {
    int has_options = PyObject_IsTrue(options);
    if (has_options < 0) return nullptr;
    Ref kept(has_options ? Py_NewRef(options) : PyDict_New());
    Ref begin = kept ? format(begin_format, env_name) : Ref();
    if (!begin || out.write(begin.get()) < 0) return nullptr;
    if (has_options) {
        Ref bracketed = format(options_format, options);
        if (!bracketed || out.write(bracketed.get()) < 0) return nullptr;
    }
    if (out.write(open_end) < 0) return nullptr;
    return kept.release();
}

int close_environment(Sink& out, PyObject* env_name) {
    Ref end = format(end_format, env_name);
    return end ? out.write(end.get()) : -1;
}

PyObject* escape_latex(PyObject* s) {
    if (!PyUnicode_CheckExact(s)) return escape_by_replace(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return escape_kind<Py_UCS1>(s);
        case PyUnicode_2BYTE_KIND: return escape_kind<Py_UCS2>(s);
        default: return escape_kind<Py_UCS4>(s);
    }
}

int escape_into(TextBuffer& buffer, PyObject* s) {
    int done;
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: done = escape_kind_into<Py_UCS1>(buffer, s); break;
        case PyUnicode_2BYTE_KIND: done = escape_kind_into<Py_UCS2>(buffer, s); break;
        default: done = escape_kind_into<Py_UCS4>(buffer, s);
    }
    if (done) return done < 0 ? -1 : 0;
    Ref escaped(escape_latex(s));
    return escaped ? buffer.append(escaped.get()) : -1;
}

// typing.Dict[str, str], the annotation of option mappings.
Ref dict_of_str(PyObject* typing_dict) {
    Ref key(PyTuple_Pack(2, &PyUnicode_Type, &PyUnicode_Type));
    if (!key) return Ref();
    return Ref(PyObject_GetItem(typing_dict, key.get()));
}

int exec_utils(PyObject* module) {
    if (intern_literals(literals) < 0) return -1;
    if (import_names(module, "contextlib", {"contextmanager"}) < 0 ||
        import_names(module, "typing", {"Dict"}) < 0 ||
        bind_function(module, &latex_escape_def) < 0) {
        return -1;
    }
    Ref typing_dict(PyObject_GetAttrString(module, "Dict"));
    if (!typing_dict) return -1;
    Ref options_type = dict_of_str(typing_dict.get());
    Ref annotations(options_type ? Py_BuildValue("{sO}", "options", options_type.get())
                                 : nullptr);
    Ref module_name(PyModule_GetNameObject(module));
    if (!annotations || !module_name) return -1;
    Ref function(make_function(&begin_end_def, module_name.get(), annotations.get()));
    if (!function) return -1;
    return bind(module, "begin_end", function.get());
}

}  // namespace pw
