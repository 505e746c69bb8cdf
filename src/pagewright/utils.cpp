// pagewright.utils: escaping plain text for LaTeX, and environment brackets
// written around whatever a `with` block writes to a stream.
#include "modules.h"

#include "../core/args.h"
#include "../core/function.h"
#include "../core/module.h"
#include "../core/single_use.h"
#include "../core/write.h"

#include <algorithm>
#include <cstdint>
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

// Every replacement but the backslash's is a backslash before the character,
// which lets put_replacement write them without looking them up.
constexpr bool backslash_before_each() {
    for (const Escape& e : escapes) {
        const char* r = e.replacement;
        bool two = r[0] == '\\' && static_cast<Py_UCS4>(r[1]) == e.character && !r[2];
        if (e.character != '\\' && !two) return false;
    }
    return true;
}
static_assert(backslash_before_each(), "put_replacement writes a backslash and the character");

template <typename Char>
unsigned extra_of(Char c) {
    return c < 128 ? escape_table.extra[c] : 0;
}

// Writes the replacement of the special character `c`; returns the end.
template <typename Char>
Char* put_replacement(Char c, Char* out) {
    if (c == '\\') {
        constexpr Py_ssize_t n = escape_table.extra['\\'] + 1;
        const char* word = escape_table.replacement['\\'];
        for (Py_ssize_t k = 0; k < n; k++) out[k] = static_cast<Char>(word[k]);
        return out + n;
    }
    out[0] = '\\';
    out[1] = c;
    return out + 2;
}

// One pass to size the result, one to fill it; text with nothing to escape
// is returned as it is. This is the plain form, for text shorter than a
// chunk (below) or where chunks are not available.
template <typename Char>
Py_ssize_t escaped_extra_each(const Char* data, Py_ssize_t length) {
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = 0; i < length; i++) extra += extra_of(data[i]);
    return extra;
}

// Writes the escaped text to `out`, which has room for it.
template <typename Char>
void write_escaped_each(const Char* data, Py_ssize_t length, Char* out) {
    for (Py_ssize_t i = 0; i < length; i++) {
        Char c = data[i];
        if (extra_of(c)) {
            out = put_replacement(c, out);
        } else {
            *out++ = c;
        }
    }
}

// What the size pass found that the fill pass can use: the specials of the
// first chunks, as the bit of each one's first byte (as many chunks as the
// size pass counts in its first round, below).
struct Specials {
    static constexpr Py_ssize_t cached = 254;
    uint16_t mask[cached];
};

#if defined(__SSE2__)
// Text in chunks of sixteen bytes. The size pass counts each chunk's
// specials without a branch and keeps their mask; the fill pass stores each
// chunk whole and then, for each special in it, writes the replacement and
// stores the chunk after it, which is overwritten from the next special on.
// Those wide stores stay inside the output: no character shrinks, so while
// a chunk of input remains, the output has room for one more. The
// characters after the last whole chunk are the end of the final one.
template <typename Char>
constexpr Py_ssize_t chunk_chars = 16 / sizeof(Char);

__m128i load_chunk(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

void store_chunk(void* p, __m128i chunk) {
    _mm_storeu_si128(static_cast<__m128i*>(p), chunk);
}

// All bytes 0xFF in each character of the chunk that is `c`.
template <typename Char>
__m128i equal(__m128i chunk, Py_UCS4 c) {
    if constexpr (sizeof(Char) == 1) {
        return _mm_cmpeq_epi8(chunk, _mm_set1_epi8(static_cast<char>(c)));
    } else if constexpr (sizeof(Char) == 2) {
        return _mm_cmpeq_epi16(chunk, _mm_set1_epi16(static_cast<short>(c)));
    } else {
        return _mm_cmpeq_epi32(chunk, _mm_set1_epi32(static_cast<int>(c)));
    }
}

// The chunk's specials, 0xFF in each of their bytes; `backslashes` gets the
// backslashes.
template <typename Char>
__m128i find_specials(__m128i chunk, __m128i* backslashes) {
    *backslashes = equal<Char>(chunk, '\\');
    __m128i hits = *backslashes;
    for (const Escape& e : escapes) {
        if (e.character != '\\') hits = _mm_or_si128(hits, equal<Char>(chunk, e.character));
    }
    return hits;
}

// The specials' mask: the bit of each special's first byte.
template <typename Char>
unsigned mask_of(__m128i hits) {
    constexpr unsigned first_bytes[] = {0, 0xFFFF, 0x5555, 0, 0x1111};
    return static_cast<unsigned>(_mm_movemask_epi8(hits)) & first_bytes[sizeof(Char)];
}

template <typename Char>
unsigned special_mask(__m128i chunk) {
    __m128i backslashes;
    return mask_of<Char>(find_specials<Char>(chunk, &backslashes));
}

// 0xFF in the last `n` (1 to 15) bytes of a chunk, 0 in the others.
__m128i last_bytes(Py_ssize_t n) {
    static const unsigned char keep[32] = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    };
    return load_chunk(keep + n);
}

// The bytes of specials and backslashes counted per byte position, in
// counters that hold up to 255: a hit is 0xFF, -1, so subtracting the hits
// counts them.
template <typename Char>
struct Counts {
    __m128i specials = _mm_setzero_si128();
    __m128i backslashes = _mm_setzero_si128();

    // Counts the chunk's specials (those in `keep` only) and returns their mask.
    unsigned add(__m128i chunk, __m128i keep = _mm_set1_epi8(-1)) {
        __m128i backslash_hits;
        __m128i hits = _mm_and_si128(find_specials<Char>(chunk, &backslash_hits), keep);
        specials = _mm_sub_epi8(specials, hits);
        backslashes = _mm_sub_epi8(backslashes, _mm_and_si128(backslash_hits, keep));
        return mask_of<Char>(hits);
    }

    // How many characters the specials counted add: one each, and a
    // backslash as many more as the rest of its replacement.
    Py_ssize_t extra() const {
        __m128i zero = _mm_setzero_si128();
        __m128i backslash_rest = _mm_set1_epi32(escape_table.extra['\\'] - 1);
        __m128i backslash_sums = _mm_mul_epu32(_mm_sad_epu8(backslashes, zero), backslash_rest);
        __m128i sums = _mm_add_epi64(_mm_sad_epu8(specials, zero), backslash_sums);
        Py_ssize_t bytes = _mm_cvtsi128_si32(_mm_add_epi32(sums, _mm_unpackhi_epi64(sums, sums)));
        return bytes / static_cast<Py_ssize_t>(sizeof(Char));
    }
};

// Counts in rounds the counters can hold: the rest and the first 254 chunks,
// whose masks are kept, then 255 chunks at a time.
template <typename Char>
Py_ssize_t escaped_extra_chunks(const Char* data, Py_ssize_t length, Specials& found) {
    constexpr Py_ssize_t size = chunk_chars<Char>;
    Py_ssize_t chunks = length / size;
    Counts<Char> counts;
    if (Py_ssize_t rest = length % size) {
        Py_ssize_t bytes = rest * sizeof(Char);
        unsigned mask = counts.add(load_chunk(data + length - size), last_bytes(bytes));
        if (chunks < Specials::cached) {
            found.mask[chunks] = static_cast<uint16_t>(mask >> (16 - bytes));
        }
    }
    Py_ssize_t k = 0;
    for (; k < std::min(chunks, Specials::cached); k++) {
        found.mask[k] = static_cast<uint16_t>(counts.add(load_chunk(data + size * k)));
    }
    Py_ssize_t extra = counts.extra();
    while (k < chunks) {
        Counts<Char> more;
        for (Py_ssize_t end = std::min(chunks, k + 255); k < end; k++) {
            more.add(load_chunk(data + size * k));
        }
        extra += more.extra();
    }
    return extra;
}

// Writes the replacements of the specials of `mask` (the bit of from[k]'s
// first byte for each) and the runs between them, up to `end`; the run
// before the first special is already at `out`, and the input stops at
// `stop`. Returns the output's end.
template <typename Char>
[[gnu::always_inline]] inline Char* write_specials(const Char* from, const Char* end,
                                                   const Char* stop, unsigned mask, Char* out) {
    const Char* run = from;
    for (; mask; mask &= mask - 1) {
        const Char* at = from + static_cast<unsigned>(__builtin_ctz(mask)) / sizeof(Char);
        out = put_replacement(*at, out + (at - run));
        run = at + 1;
        if (stop - run >= chunk_chars<Char>) {
            store_chunk(out, load_chunk(run));
        } else {
            copy_bytes(out, run, (stop - run) * sizeof(Char));
        }
    }
    return out + (end - run);
}

// Writes one whole chunk and its specials' replacements.
template <typename Char>
[[gnu::always_inline]] inline Char* write_chunk(const Char* from, const Char* stop, __m128i chunk,
                                                unsigned mask, Char* out) {
    store_chunk(out, chunk);
    return write_specials(from, from + chunk_chars<Char>, stop, mask, out);
}

template <typename Char>
void write_escaped_chunks(const Char* data, Py_ssize_t length, const Specials& found, Char* out) {
    constexpr Py_ssize_t size = chunk_chars<Char>;
    const Char* stop = data + length;
    Py_ssize_t chunks = length / size;
    Py_ssize_t k = 0;
    for (; k < std::min(chunks, Specials::cached); k++) {
        const Char* from = data + size * k;
        out = write_chunk(from, stop, load_chunk(from), found.mask[k], out);
    }
    for (; k < chunks; k++) {
        const Char* from = data + size * k;
        __m128i chunk = load_chunk(from);
        out = write_chunk(from, stop, chunk, special_mask<Char>(chunk), out);
    }
    if (Py_ssize_t rest = length % size) {
        Py_ssize_t bytes = rest * sizeof(Char);
        unsigned mask = chunks < Specials::cached
                            ? found.mask[chunks]
                            : special_mask<Char>(load_chunk(stop - size)) >> (16 - bytes);
        copy_bytes(out, stop - rest, bytes);
        write_specials(stop - rest, stop, stop, mask, out);
    }
}
#endif

// How many characters escaping adds to the text.
template <typename Char>
Py_ssize_t escaped_extra(const Char* data, Py_ssize_t length, [[maybe_unused]] Specials& found) {
#if defined(__SSE2__)
    if (length >= chunk_chars<Char>) return escaped_extra_chunks(data, length, found);
#endif
    return escaped_extra_each(data, length);
}

// Writes the escaped text to `out`, which has room for it.
template <typename Char>
void write_escaped(const Char* data, Py_ssize_t length, [[maybe_unused]] const Specials& found,
                   Char* out) {
#if defined(__SSE2__)
    if (length >= chunk_chars<Char>) return write_escaped_chunks(data, length, found, out);
#endif
    write_escaped_each(data, length, out);
}

template <typename Char>
PyObject* escape_kind(PyObject* s) {
    const Char* data = reinterpret_cast<const Char*>(PyUnicode_DATA(s));
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    Specials found;
    Py_ssize_t extra = escaped_extra(data, length, found);
    if (extra == 0) return Py_NewRef(s);
    if (length > PY_SSIZE_T_MAX - extra) return PyErr_NoMemory();
    PyObject* result = PyUnicode_New(length + extra, PyUnicode_MAX_CHAR_VALUE(s));
    if (!result) return nullptr;
    write_escaped(data, length, found, reinterpret_cast<Char*>(PyUnicode_DATA(result)));
    return result;
}

// Escapes an exact str straight into the buffer's tail: 1 when done, 0 when
// the tail holds text of another width, -1 on error.
template <typename Char>
int escape_kind_into(TextBuffer& buffer, PyObject* s) {
    const Char* data = reinterpret_cast<const Char*>(PyUnicode_DATA(s));
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    // Nothing to write; an empty buffer has no room to point at.
    if (length == 0) return 1;
    Specials found;
    Py_ssize_t extra = escaped_extra(data, length, found);
    if (length > PY_SSIZE_T_MAX - extra) {
        PyErr_NoMemory();
        return -1;
    }
    void* room;
    int ready = buffer.room(sizeof(Char), length + extra, &room);
    if (ready <= 0) return ready;
    write_escaped(data, length, found, static_cast<Char*>(room));
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
