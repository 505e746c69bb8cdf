// pagewright.utils: escaping plain text for LaTeX, and environment brackets
// written around whatever a `with` block writes to a stream.
#include "modules.h"

#include "../core/args.h"
#include "../core/function.h"
#include "../core/module.h"
#include "../core/single_use.h"
#include "../core/write.h"

#include <cstdint>
#include <cstring>
#include <iterator>
#include <type_traits>

// Escaping works on sixteen bytes at a time where the machine has vector
// instructions for it: SSE2 on x86-64, NEON on 64-bit Arm. PW_SCALAR_ESCAPE
// (the CMake option of the same name) leaves them out, so that the
// character loop alone can be measured against them.
#if defined(__SSE2__) && !defined(PW_SCALAR_ESCAPE)
#include <emmintrin.h>
#define PW_CHUNKS 1
#elif defined(__aarch64__) && defined(__ARM_NEON) && !defined(PW_SCALAR_ESCAPE)
#include <arm_neon.h>
#define PW_CHUNKS 1
#else
#define PW_CHUNKS 0
#endif

namespace pw {

namespace {

#if PW_CHUNKS
// The vector primitives the chunked escaping is written over, one
// definition for each instruction set: a chunk of sixteen bytes is loaded,
// stored, zeroed, filled with one character (splat), compared character by
// character with one character (all bits set in the bytes of each equal
// one), combined with another (either), turned into a mask with
// bits_per_byte bits for each byte, the lowest byte's first, and split into
// two halves of characters twice as wide (widen_low, widen_high), for text
// that goes into a wider body; `above` compares bytes as signed numbers.
namespace chunk {
#if defined(__SSE2__)
using Vec = __m128i;
using Mask = uint32_t;
constexpr unsigned bits_per_byte = 1;

inline Vec load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store(void* p, Vec v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
inline Vec zero() { return _mm_setzero_si128(); }
inline Vec either(Vec a, Vec b) { return _mm_or_si128(a, b); }
inline Vec above(Vec v, signed char c) { return _mm_cmpgt_epi8(v, _mm_set1_epi8(c)); }

template <typename Char>
Vec splat(Py_UCS4 c) {
    if constexpr (sizeof(Char) == 1) {
        return _mm_set1_epi8(static_cast<char>(c));
    } else if constexpr (sizeof(Char) == 2) {
        return _mm_set1_epi16(static_cast<short>(c));
    } else {
        return _mm_set1_epi32(static_cast<int>(c));
    }
}

template <typename Char>
Vec equal(Vec v, Py_UCS4 c) {
    if constexpr (sizeof(Char) == 1) {
        return _mm_cmpeq_epi8(v, splat<Char>(c));
    } else if constexpr (sizeof(Char) == 2) {
        return _mm_cmpeq_epi16(v, splat<Char>(c));
    } else {
        return _mm_cmpeq_epi32(v, splat<Char>(c));
    }
}

// The first and the second half of a chunk's characters, each zero-extended
// to twice its width.
template <typename Char>
Vec widen_low(Vec v) {
    if constexpr (sizeof(Char) == 1) {
        return _mm_unpacklo_epi8(v, _mm_setzero_si128());
    } else {
        return _mm_unpacklo_epi16(v, _mm_setzero_si128());
    }
}

template <typename Char>
Vec widen_high(Vec v) {
    if constexpr (sizeof(Char) == 1) {
        return _mm_unpackhi_epi8(v, _mm_setzero_si128());
    } else {
        return _mm_unpackhi_epi16(v, _mm_setzero_si128());
    }
}

inline Mask matches(Vec hits) { return static_cast<Mask>(_mm_movemask_epi8(hits)); }

inline unsigned lowest_bit(Mask m) { return static_cast<unsigned>(__builtin_ctz(m)); }
#else
using Vec = uint8x16_t;
using Mask = uint64_t;
constexpr unsigned bits_per_byte = 4;

inline Vec load(const void* p) { return vld1q_u8(static_cast<const uint8_t*>(p)); }
inline void store(void* p, Vec v) { vst1q_u8(static_cast<uint8_t*>(p), v); }
inline Vec zero() { return vdupq_n_u8(0); }
inline Vec either(Vec a, Vec b) { return vorrq_u8(a, b); }
inline Vec above(Vec v, signed char c) { return vcgtq_s8(vreinterpretq_s8_u8(v), vdupq_n_s8(c)); }

template <typename Char>
Vec splat(Py_UCS4 c) {
    if constexpr (sizeof(Char) == 1) {
        return vdupq_n_u8(static_cast<uint8_t>(c));
    } else if constexpr (sizeof(Char) == 2) {
        return vreinterpretq_u8_u16(vdupq_n_u16(static_cast<uint16_t>(c)));
    } else {
        return vreinterpretq_u8_u32(vdupq_n_u32(c));
    }
}

template <typename Char>
Vec equal(Vec v, Py_UCS4 c) {
    if constexpr (sizeof(Char) == 1) {
        return vceqq_u8(v, splat<Char>(c));
    } else if constexpr (sizeof(Char) == 2) {
        return vreinterpretq_u8_u16(
            vceqq_u16(vreinterpretq_u16_u8(v), vreinterpretq_u16_u8(splat<Char>(c))));
    } else {
        return vreinterpretq_u8_u32(
            vceqq_u32(vreinterpretq_u32_u8(v), vreinterpretq_u32_u8(splat<Char>(c))));
    }
}

template <typename Char>
Vec widen_low(Vec v) {
    if constexpr (sizeof(Char) == 1) {
        return vzip1q_u8(v, vdupq_n_u8(0));
    } else {
        return vreinterpretq_u8_u16(vzip1q_u16(vreinterpretq_u16_u8(v), vdupq_n_u16(0)));
    }
}

template <typename Char>
Vec widen_high(Vec v) {
    if constexpr (sizeof(Char) == 1) {
        return vzip2q_u8(v, vdupq_n_u8(0));
    } else {
        return vreinterpretq_u8_u16(vzip2q_u16(vreinterpretq_u16_u8(v), vdupq_n_u16(0)));
    }
}

// NEON has no byte mask instruction: shifting each 16-bit lane right by four
// and narrowing it to a byte keeps four bits of each byte.
inline Mask matches(Vec hits) {
    uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(hits), 4);
    return vget_lane_u64(vreinterpret_u64_u8(nibbles), 0);
}

inline unsigned lowest_bit(Mask m) { return static_cast<unsigned>(__builtin_ctzll(m)); }
#endif
}  // namespace chunk
#endif


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

// The longest replacement, and so the most characters one character of
// text can become.
constexpr Py_ssize_t longest = escape_table.extra['\\'] + 1;

// Writes the escaped text to `out`, which has room for it and characters
// at least as wide, one character at a time: text shorter than a chunk
// (below), or all text where chunks are not available.
template <typename Char, typename Out = Char>
Out* write_escaped_each(const Char* data, Py_ssize_t length, Out* out) {
    for (Py_ssize_t i = 0; i < length; i++) {
        Out c = data[i];
        if (extra_of(c)) {
            out = put_replacement(c, out);
        } else {
            *out++ = c;
        }
    }
    return out;
}

// Copies `n` characters to characters at least as wide.
template <typename Char, typename Out>
[[gnu::always_inline]] inline void copy_run(Out* out, const Char* run, Py_ssize_t n) {
    if constexpr (sizeof(Char) == sizeof(Out)) {
        copy_bytes(out, run, n * sizeof(Char));
    } else {
        for (Py_ssize_t i = 0; i < n; i++) out[i] = run[i];
    }
}

template <typename Char>
Py_ssize_t escaped_extra_each(const Char* data, Py_ssize_t length) {
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = 0; i < length; i++) extra += extra_of(data[i]);
    return extra;
}

#if PW_CHUNKS
// Text in chunks of sixteen bytes, written once over the primitives of
// `chunk` (above). A chunk's specials are found by comparing it with each
// special character (one-byte text: with two comparisons that find a few
// more candidates, below); their mask holds the lowest bit of each one's
// bytes. The fill stores each chunk whole and then, for each special in it,
// writes the replacement and stores the chunk's characters after it again,
// behind the replacement; the next special overwrites them from its own
// place on. Near the end of the input those stores copy only the characters
// left. Text goes two chunks at a time, so that a pair without specials
// costs one test; a chunk after the last pair goes alone, and the
// characters after the last whole chunk are the end of the final one, whose
// specials are the high end of its mask.
template <typename Char>
constexpr Py_ssize_t chunk_chars = 16 / sizeof(Char);

// The bits of one character's bytes in a mask.
template <typename Char>
constexpr unsigned char_bits = chunk::bits_per_byte * sizeof(Char);

// The lowest bit of each character's bytes.
template <typename Char>
constexpr chunk::Mask first_bits() {
    chunk::Mask bits = 0;
    for (Py_ssize_t i = 0; i < chunk_chars<Char>; i++) {
        bits |= chunk::Mask(1) << (i * char_bits<Char>);
    }
    return bits;
}

constexpr bool special(Py_UCS4 c) {
    for (const Escape& e : escapes) {
        if (e.character == c) return true;
    }
    return false;
}

// Two specials that differ in the lowest bit alone are found with one
// comparison, after setting that bit: the even one pairs up, the odd one is
// paired.
constexpr bool pairs_up(Py_UCS4 c) { return c % 2 == 0 && special(c + 1); }
constexpr bool paired(Py_UCS4 c) { return c % 2 == 1 && special(c - 1); }

// In one-byte text, two comparisons find candidates: setting bit 5 brings
// \ ^ _ { } together above 'z' (with [ ] | ~ and DEL, which are written as
// they are), and $ is compared alone; bytes from 0x80 up are negative as
// signed numbers, so every candidate is ASCII.
constexpr bool candidates_cover_specials() {
    for (const Escape& e : escapes) {
        Py_UCS4 c = e.character;
        if (c != '$' && !((c | 0x20) > 'z' && (c | 0x20) < 0x80)) return false;
    }
    return true;
}
static_assert(candidates_cover_specials(), "every special is a candidate");

// The chunk's specials (one-byte text: its candidates), all bits set in
// each of their bytes.
template <typename Char>
[[gnu::always_inline]] inline chunk::Vec special_hits(chunk::Vec text) {
    if constexpr (sizeof(Char) == 1) {
        chunk::Vec high = chunk::above(chunk::either(text, chunk::splat<Char>(0x20)), 'z');
        return chunk::either(high, chunk::equal<Char>(text, '$'));
    } else {
        chunk::Vec lowest_set = chunk::either(text, chunk::splat<Char>(1));
        chunk::Vec hits = chunk::zero();
        for (const Escape& e : escapes) {
            Py_UCS4 c = e.character;
            if (paired(c)) continue;
            hits = chunk::either(hits, pairs_up(c) ? chunk::equal<Char>(lowest_set, c + 1)
                                                   : chunk::equal<Char>(text, c));
        }
        return hits;
    }
}

template <typename Char>
[[gnu::always_inline]] inline chunk::Mask mask_of(chunk::Vec hits) {
    return chunk::matches(hits) & first_bits<Char>();
}

// Where in the chunk the special of the mask's lowest bit is.
template <typename Char>
Py_ssize_t first_special(chunk::Mask mask) {
    return static_cast<Py_ssize_t>(chunk::lowest_bit(mask) / char_bits<Char>);
}

// The mask of the last `rest` characters of a chunk, as the first ones of
// a chunk of their own.
template <typename Char>
chunk::Mask last_of(chunk::Mask mask, Py_ssize_t rest) {
    return mask >> ((chunk_chars<Char> - rest) * char_bits<Char>);
}

// Stores a chunk of characters as characters at least as wide: whole, or
// in halves of characters twice as wide, until they are wide enough.
template <typename Char, typename Out>
[[gnu::always_inline]] inline void put_chunk(Out* out, chunk::Vec text) {
    if constexpr (sizeof(Char) == sizeof(Out)) {
        chunk::store(out, text);
    } else {
        using Twice = std::conditional_t<sizeof(Char) == 1, Py_UCS2, Py_UCS4>;
        put_chunk<Twice>(out, chunk::widen_low<Char>(text));
        put_chunk<Twice>(out + chunk_chars<Char> / 2, chunk::widen_high<Char>(text));
    }
}

// Each ASCII character's replacement, or the character itself where it
// stays, at the start of a row of sixteen: a special or a candidate is
// written with one store of its row, the rest of which the next store
// overwrites.
struct ReplacementRows {
    alignas(16) unsigned char row[128][16] = {};
    constexpr ReplacementRows() {
        for (unsigned c = 0; c < 128; c++) row[c][0] = static_cast<unsigned char>(c);
        for (const Escape& e : escapes) {
            for (size_t k = 0; e.replacement[k]; k++) {
                row[e.character][k] = static_cast<unsigned char>(e.replacement[k]);
            }
        }
    }
};
constexpr ReplacementRows replacement_rows;
static_assert(longest <= 16, "every replacement fits its row");

// Writes the replacement of `c`, a special or a candidate (ASCII either
// way), as a row of sixteen characters of width `Out`; returns how many
// characters it adds.
template <typename Out>
[[gnu::always_inline]] inline Py_ssize_t put_row(Out* out, Py_UCS4 c) {
    put_chunk<Py_UCS1>(out, chunk::load(replacement_rows.row[c]));
    return escape_table.extra[c];
}

// Writes the chunk at `from`, `text`, to `out` with the replacement of each
// special of `mask`: the chunk is stored whole, and for each special its
// replacement is written over its place and the chunk's characters after it
// are stored again behind it, read no further than `stop`, where the input
// ends, when `near_end`. `out` moves on by what each replacement adds, so
// that from[k] goes to out[k]. Returns where the next chunk goes.
template <bool near_end, typename Char, typename Out>
[[gnu::always_inline]] inline Out* put_escaped(const Char* from, const Char* stop,
                                               chunk::Vec text, chunk::Mask mask, Out* out) {
    put_chunk<Char>(out, text);
    for (; mask; mask &= mask - 1) {
        Py_ssize_t i = first_special<Char>(mask);
        out += put_row(out + i, from[i]);
        const Char* after = from + i + 1;
        if (!near_end || stop - after >= chunk_chars<Char>) {
            put_chunk<Char>(out + i + 1, chunk::load(after));
        } else {
            copy_run(out + i + 1, after, stop - after);
        }
    }
    return out + chunk_chars<Char>;
}

// The most a pair of chunks adds to the characters it comes from, with the
// end of the last one's row: the room beyond the rest of the input that the
// fill makes sure of before chunks with specials.
template <typename Char>
constexpr Py_ssize_t most_added = 2 * chunk_chars<Char> * (longest - 1) + 16;

// The room escaping starts with: the text, an eighth more and most_added.
template <typename Char>
Py_ssize_t first_room(Py_ssize_t length) {
    return length + (length >> 3) + most_added<Char>;
}

// Writes the escaped text from `from` to `stop`, where the input ends (the
// input is a chunk long or more), to `out`, in characters at least as wide
// as the text's, while the room up to `limit` surely holds it: true when
// done; false, with `from` and `out` where it stopped (at a chunk), before
// chunks with specials that might not fit. The room must hold the rest of
// the input as it is, which chunks without specials keep true; for chunks
// with specials it must also hold most_added. The fill makes no calls, so
// its vectors stay in registers.
template <typename Char, typename Out>
[[gnu::always_inline]] inline bool fill_chunks(const Char*& from, const Char* stop, Out*& out,
                                               Out* limit) {
    constexpr Py_ssize_t size = chunk_chars<Char>;
    auto fits = [&](Py_ssize_t left) { return limit - out >= left + most_added<Char>; };
    for (Py_ssize_t pairs = (stop - from) / (2 * size); pairs; pairs--, from += 2 * size) {
        chunk::Vec first = chunk::load(from);
        chunk::Vec second = chunk::load(from + size);
        chunk::Vec first_hits = special_hits<Char>(first);
        chunk::Vec second_hits = special_hits<Char>(second);
        if (!chunk::matches(chunk::either(first_hits, second_hits))) {
            put_chunk<Char>(out, first);
            put_chunk<Char>(out + size, second);
            out += 2 * size;
            continue;
        }
        if (!fits(stop - from)) return false;
        out = put_escaped<false>(from, stop, first, mask_of<Char>(first_hits), out);
        // The last pair's second chunk may end the input.
        chunk::Mask mask = mask_of<Char>(second_hits);
        out = pairs > 1 ? put_escaped<false>(from + size, stop, second, mask, out)
                        : put_escaped<true>(from + size, stop, second, mask, out);
    }
    if (stop - from >= size) {
        chunk::Vec text = chunk::load(from);
        chunk::Mask mask = mask_of<Char>(special_hits<Char>(text));
        if (mask && !fits(stop - from)) return false;
        out = put_escaped<true>(from, stop, text, mask, out);
        from += size;
    }
    if (Py_ssize_t rest = stop - from) {
        chunk::Vec last = chunk::load(stop - size);
        chunk::Mask mask = mask_of<Char>(special_hits<Char>(last));
        // Without specials, the last chunk's characters before the rest are
        // already in place before it.
        if (!mask) {
            put_chunk<Char>(out + rest - size, last);
            out += rest;
            return true;
        }
        mask = last_of<Char>(mask, rest);
        if (mask && !fits(rest)) return false;
        copy_run(out, from, rest);
        for (; mask; mask &= mask - 1) {
            Py_ssize_t i = first_special<Char>(mask);
            out += put_row(out + i, from[i]);
            copy_run(out + i + 1, from + i + 1, rest - i - 1);
        }
        out += rest;
    }
    return true;
}

// Writes the escaped text, a chunk long or more, to the start of `room`, in
// characters at least as wide as the text's; returns the end, or NULL on
// error. The room, from room.start to room.limit, must hold the text as it
// is; wherever the fill stops for more, room.reserve(used, n) makes room for
// `n` characters after the `used` ones written, which it may move (false on
// error), and the fill goes on.
template <typename Char, typename Room>
auto write_escaped_chunks(const Char* data, Py_ssize_t length, Room& room) -> decltype(room.start) {
    const Char* from = data;
    const Char* stop = data + length;
    auto out = room.start;
    while (!fill_chunks(from, stop, out, room.limit)) {
        Py_ssize_t used = out - room.start;
        Py_ssize_t left = stop - from;
        if (!room.reserve(used, left + (left >> 3) + most_added<Char>)) return nullptr;
        out = room.start + used;
    }
    return out;
}

// Room for escaped text whose length is not known yet: on the stack, moved
// to the heap once it needs more.
template <typename Char>
struct Scratch {
    Char local[4096 / sizeof(Char)];
    Char* start = local;
    Char* limit = local + std::size(local);

    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        if (start != local) PyMem_Free(start);
    }

    // Room for `n` characters after the first `used`, which are kept: false,
    // with MemoryError set, when there is no memory for it.
    bool reserve(Py_ssize_t used, Py_ssize_t n) {
        if (limit - start - used >= n) return true;
        Char* bigger = PyMem_New(Char, used + n);
        if (!bigger) {
            PyErr_NoMemory();
            return false;
        }
        std::memcpy(bigger, start, static_cast<size_t>(used) * sizeof(Char));
        if (start != local) PyMem_Free(start);
        start = bigger;
        limit = bigger + used + n;
        return true;
    }
};

// Escapes text of a chunk or more in one pass into scratch room, then makes
// the str of the exact length from it: the text itself when nothing changed.
template <typename Char>
[[gnu::noinline]] PyObject* escape_chunks(PyObject* s, const Char* data, Py_ssize_t length) {
    Scratch<Char> scratch;
    if (!scratch.reserve(0, first_room<Char>(length))) return nullptr;
    Char* end = write_escaped_chunks(data, length, scratch);
    if (!end) return nullptr;
    Py_ssize_t n = end - scratch.start;
    if (n == length) return Py_NewRef(s);
    PyObject* result = PyUnicode_New(n, PyUnicode_MAX_CHAR_VALUE(s));
    if (result) copy_bytes(PyUnicode_DATA(result), scratch.start, n * sizeof(Char));
    return result;
}
#endif

// Escapes text shorter than a chunk (all text where chunks are not
// available): counts what it adds, then fills the str of that length.
template <typename Char>
[[gnu::noinline]] PyObject* escape_each(PyObject* s, const Char* data, Py_ssize_t length) {
    Py_ssize_t extra = escaped_extra_each(data, length);
    if (extra == 0) return Py_NewRef(s);
    PyObject* result = PyUnicode_New(length + extra, PyUnicode_MAX_CHAR_VALUE(s));
    if (result) write_escaped_each(data, length, reinterpret_cast<Char*>(PyUnicode_DATA(result)));
    return result;
}

// Escapes an exact str of characters of width `Char`.
template <typename Char>
PyObject* escape_kind(PyObject* s) {
    const Char* data = reinterpret_cast<const Char*>(PyUnicode_DATA(s));
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (length > PY_SSIZE_T_MAX / (4 * longest)) return PyErr_NoMemory();
#if PW_CHUNKS
    if (length >= chunk_chars<Char>) return escape_chunks(s, data, length);
#endif
    return escape_each(s, data, length);
}

#if PW_CHUNKS
// Room at the end of a buffer's tail, as write_escaped_chunks takes it: more
// comes from the buffer, which keeps the characters written so far.
template <typename Out>
struct TailRoom {
    TextBuffer& buffer;
    Out* start;
    Out* limit;

    bool reserve(Py_ssize_t used, Py_ssize_t n) {
        void* room;
        if (buffer.more_room(used, n, &room) < 0) return false;
        start = static_cast<Out*>(room);
        limit = start + used + n;
        return true;
    }
};
#endif

// Escapes the text into room of characters of width `Out` (at least the
// text's) at the end of the buffer's tail, which has room for `size`
// characters there: in one pass, more room taken whenever chunks with
// specials might not fit. Commits only when done: 0, or -1 on error.
template <typename Char, typename Out>
int fill_room(TextBuffer& buffer, const Char* data, Py_ssize_t length, Py_UCS4 maxchar,
              void* room, [[maybe_unused]] Py_ssize_t size) {
    Out* start = static_cast<Out*>(room);
    Out* out;
#if PW_CHUNKS
    if (length >= chunk_chars<Char>) {
        TailRoom<Out> tail{buffer, start, start + size};
        out = write_escaped_chunks(data, length, tail);
        if (!out) return -1;
        buffer.commit(out - tail.start, maxchar);
        return 0;
    }
#endif
    out = write_escaped_each(data, length, start);
    buffer.commit(out - start, maxchar);
    return 0;
}

// The room escaping into a body starts with: text shorter than a chunk gets
// room for its longest escape, longer text first_room (more is taken as it
// is needed). Where chunks are not available, longer text is counted first,
// so that its room is no more than it needs.
template <typename Char>
Py_ssize_t room_for(const Char* data, Py_ssize_t length) {
#if PW_CHUNKS
    if (length >= chunk_chars<Char>) return first_room<Char>(length);
#endif
    return length < 16 ? length * longest : length + escaped_extra_each(data, length);
}

// Escapes an exact str straight into the buffer's tail, in the tail's width
// when that is wider than the text's. Nothing is committed unless it is
// done: 0, or -1 on error. A function for each kind, which escape_into
// picks with a jump.
template <typename Char>
[[gnu::noinline]] int escape_kind_into(TextBuffer& buffer, PyObject* s) {
    const Char* data = reinterpret_cast<const Char*>(PyUnicode_DATA(s));
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    // Nothing to write; an empty buffer has no room to point at.
    if (length == 0) return 0;
    if (length > PY_SSIZE_T_MAX / (4 * longest)) {
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t size = room_for(data, length);
    void* room;
    int width;
    if (buffer.room_at_least(sizeof(Char), size, &room, &width) < 0) return -1;
    Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(s);
    if (width == sizeof(Char)) {
        return fill_room<Char, Char>(buffer, data, length, maxchar, room, size);
    }
    if constexpr (sizeof(Char) == 1) {
        if (width == 2) return fill_room<Char, Py_UCS2>(buffer, data, length, maxchar, room, size);
    }
    return fill_room<Char, Py_UCS4>(buffer, data, length, maxchar, room, size);
}

// Short ASCII text, the commonest in table cells, goes one character at a
// time into one-byte room for its longest escape, without the set-up of
// longer text; a tail of wider text takes the general way.
constexpr Py_ssize_t short_text = 16;

[[gnu::noinline]] int escape_short_into(TextBuffer& buffer, PyObject* s) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (length == 0) return 0;
    void* room;
    int ready = buffer.room(1, length * longest, &room);
    if (ready <= 0) return ready < 0 ? -1 : escape_kind_into<Py_UCS1>(buffer, s);
    auto* start = static_cast<Py_UCS1*>(room);
    auto* data = reinterpret_cast<const Py_UCS1*>(PyUnicode_DATA(s));
    buffer.commit(write_escaped_each(data, length, start) - start, 0x7f);
    return 0;
}

// For anything but an exact str: the six replacements as method calls on
// the value, so a str subclass's own replace is honoured and other types
// fail as their replace does (AttributeError, or TypeError for bytes).
[[gnu::noinline]] PyObject* escape_by_replace(PyObject* s) {
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
    if (PyUnicode_IS_COMPACT_ASCII(s) && PyUnicode_GET_LENGTH(s) < short_text) {
        return escape_short_into(buffer, s);
    }
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: return escape_kind_into<Py_UCS1>(buffer, s);
        case PyUnicode_2BYTE_KIND: return escape_kind_into<Py_UCS2>(buffer, s);
        default: return escape_kind_into<Py_UCS4>(buffer, s);
    }
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
