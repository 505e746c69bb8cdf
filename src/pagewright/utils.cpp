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
// stored, filled with one character (splat), compared character by
// character with one character (all bits set in the bytes of each equal
// one), combined with another (or, and), turned into a mask with
// bits_per_byte bits for each byte, the lowest byte's first, and split into
// two halves of characters twice as wide (widen_low, widen_high), for text
// that goes into a wider body; `above` compares bytes as signed numbers.
// The size pass of wide text also counts hits per byte (minus) and adds up
// a chunk's bytes (byte_sum).
namespace chunk {
#if defined(__SSE2__)
using Vec = __m128i;
using Mask = uint32_t;
constexpr unsigned bits_per_byte = 1;

inline Vec load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store(void* p, Vec v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
inline Vec zero() { return _mm_setzero_si128(); }
inline Vec all() { return _mm_set1_epi8(-1); }
inline Vec either(Vec a, Vec b) { return _mm_or_si128(a, b); }
inline Vec both(Vec a, Vec b) { return _mm_and_si128(a, b); }
inline Vec minus(Vec a, Vec b) { return _mm_sub_epi8(a, b); }
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

inline Py_ssize_t byte_sum(Vec v) {
    Vec sums = _mm_sad_epu8(v, _mm_setzero_si128());
    return _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums));
}

inline unsigned lowest_bit(Mask m) { return static_cast<unsigned>(__builtin_ctz(m)); }
#else
using Vec = uint8x16_t;
using Mask = uint64_t;
constexpr unsigned bits_per_byte = 4;

inline Vec load(const void* p) { return vld1q_u8(static_cast<const uint8_t*>(p)); }
inline void store(void* p, Vec v) { vst1q_u8(static_cast<uint8_t*>(p), v); }
inline Vec zero() { return vdupq_n_u8(0); }
inline Vec all() { return vdupq_n_u8(0xFF); }
inline Vec either(Vec a, Vec b) { return vorrq_u8(a, b); }
inline Vec both(Vec a, Vec b) { return vandq_u8(a, b); }
inline Vec minus(Vec a, Vec b) { return vsubq_u8(a, b); }
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

inline Py_ssize_t byte_sum(Vec v) { return vaddlvq_u8(v); }

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
// `chunk` (below). A chunk's specials are found by comparing it with each
// special character; their mask holds the lowest bit of each one's bytes.
// The fill stores each chunk whole and then, for each special in it, writes
// the replacement and stores the chunk after it, which is overwritten from
// the next special on. Those wide stores stay inside the output's room: no
// character shrinks, so while a chunk of input remains, the output has room
// for one more. The characters after the last whole chunk are the end of
// the final one, whose specials are the high end of its mask.
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

// The chunk's specials, all bits set in each of their bytes; `backslashes`
// gets the backslashes.
template <typename Char>
[[gnu::always_inline]] inline chunk::Vec find_specials(chunk::Vec text, chunk::Vec* backslashes) {
    *backslashes = chunk::equal<Char>(text, '\\');
    chunk::Vec hits = *backslashes;
    for (const Escape& e : escapes) {
        Py_UCS4 c = e.character;
        if (c == '\\' || paired(c)) continue;
        chunk::Vec lowest_set = chunk::either(text, chunk::splat<Char>(1));
        hits = chunk::either(hits, pairs_up(c) ? chunk::equal<Char>(lowest_set, c + 1)
                                               : chunk::equal<Char>(text, c));
    }
    return hits;
}

template <typename Char>
[[gnu::always_inline]] inline chunk::Mask mask_of(chunk::Vec hits) {
    return chunk::matches(hits) & first_bits<Char>();
}

// The one-pass fill needs only candidates, which it checks one by one. In
// one-byte text two comparisons find them: setting bit 5 brings \ ^ _ { }
// together above 'z' (with [ ] | ~ and DEL, which are passed over), and $
// is compared alone; bytes from 0x80 up are negative as signed numbers.
constexpr bool candidates_cover_specials() {
    for (const Escape& e : escapes) {
        Py_UCS4 c = e.character;
        if (c != '$' && !((c | 0x20) > 'z' && (c | 0x20) < 0x80)) return false;
    }
    return true;
}
static_assert(candidates_cover_specials(), "every special is a candidate");

template <typename Char>
[[gnu::always_inline]] inline chunk::Mask special_mask(chunk::Vec text) {
    if constexpr (sizeof(Char) == 1) {
        chunk::Vec high = chunk::above(chunk::either(text, chunk::splat<Char>(0x20)), 'z');
        return mask_of<Char>(chunk::either(high, chunk::equal<Char>(text, '$')));
    } else {
        chunk::Vec backslashes;
        return mask_of<Char>(find_specials<Char>(text, &backslashes));
    }
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

// Every bit set in the last `n` (1 to 15) bytes of a chunk, none in the
// others.
chunk::Vec last_bytes(Py_ssize_t n) {
    static const unsigned char keep[32] = {
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
        255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255,
    };
    return chunk::load(keep + n);
}

// The bytes of specials and of backslashes counted per byte position, in
// counters that hold up to 255: a hit is all bits set, -1, so subtracting
// the hits counts them.
template <typename Char>
struct Counts {
    chunk::Vec specials = chunk::zero();
    chunk::Vec backslashes = chunk::zero();

    // Counts the chunk's specials (those in `keep` only) and returns their mask.
    chunk::Mask add(chunk::Vec text, chunk::Vec keep) {
        chunk::Vec backslash_hits;
        chunk::Vec hits = chunk::both(find_specials<Char>(text, &backslash_hits), keep);
        specials = chunk::minus(specials, hits);
        backslashes = chunk::minus(backslashes, chunk::both(backslash_hits, keep));
        return mask_of<Char>(hits);
    }
    chunk::Mask add(chunk::Vec text) { return add(text, chunk::all()); }

    // How many characters the specials counted add: one each, and a
    // backslash as many more as the rest of its replacement.
    Py_ssize_t extra() const {
        Py_ssize_t bytes = chunk::byte_sum(specials) + chunk::byte_sum(backslashes) * (longest - 2);
        return bytes / static_cast<Py_ssize_t>(sizeof(Char));
    }
};

// What the size pass of latex_escape found that its fill can use: the
// masks of the first chunks' specials (as many as the size pass of wide text
// counts in its first round, below), or of one-byte text's candidates.
struct Specials {
    static constexpr Py_ssize_t cached = 254;
    using Stored = std::conditional_t<chunk::bits_per_byte == 1, uint16_t, chunk::Mask>;
    Stored mask[cached];
};

// Counts in rounds the counters can hold: the rest and the first 254 chunks,
// whose masks are kept, then 255 chunks at a time.
template <typename Char>
Py_ssize_t escaped_extra_chunks(const Char* data, Py_ssize_t length, Specials& found) {
    constexpr Py_ssize_t size = chunk_chars<Char>;
    Py_ssize_t chunks = length / size;
    Counts<Char> counts;
    if (Py_ssize_t rest = length % size) {
        chunk::Mask mask = counts.add(chunk::load(data + length - size),
                                      last_bytes(rest * sizeof(Char)));
        if (chunks < Specials::cached) {
            found.mask[chunks] = static_cast<Specials::Stored>(last_of<Char>(mask, rest));
        }
    }
    Py_ssize_t k = 0;
    for (; k < std::min(chunks, Specials::cached); k++) {
        found.mask[k] = static_cast<Specials::Stored>(counts.add(chunk::load(data + size * k)));
    }
    Py_ssize_t extra = counts.extra();
    while (k < chunks) {
        Counts<Char> more;
        for (Py_ssize_t end = std::min(chunks, k + 255); k < end; k++) {
            more.add(chunk::load(data + size * k));
        }
        extra += more.extra();
    }
    return extra;
}

// One-byte text is counted from its candidates, each looked up; their masks
// are kept for the fill, which checks them again.
Py_ssize_t escaped_extra_candidates(const Py_UCS1* data, Py_ssize_t length, Specials& found) {
    constexpr Py_ssize_t size = chunk_chars<Py_UCS1>;
    Py_ssize_t extra = 0;
    auto count = [&](const Py_UCS1* from, chunk::Mask mask, Py_ssize_t k) {
        if (k < Specials::cached) found.mask[k] = static_cast<Specials::Stored>(mask);
        for (; mask; mask &= mask - 1) extra += extra_of(from[first_special<Py_UCS1>(mask)]);
    };
    Py_ssize_t chunks = length / size;
    for (Py_ssize_t k = 0; k < chunks; k++) {
        count(data + size * k, special_mask<Py_UCS1>(chunk::load(data + size * k)), k);
    }
    if (Py_ssize_t rest = length % size) {
        const Py_UCS1* last = data + length - size;
        count(last + size - rest, last_of<Py_UCS1>(special_mask<Py_UCS1>(chunk::load(last)), rest),
              chunks);
    }
    return extra;
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

// Writes the replacements of the specials of `mask` (one for each of
// from[k]'s; a one-byte candidate that is no special stays in its run) and
// the runs between them, up to `end`; the run before the first special is
// already at `out`, and the input stops at `stop`. Returns the output's end.
template <typename Char, typename Out>
[[gnu::always_inline]] inline Out* write_specials(const Char* from, const Char* end,
                                                  const Char* stop, chunk::Mask mask, Out* out) {
    const Char* run = from;
    for (; mask; mask &= mask - 1) {
        const Char* at = from + first_special<Char>(mask);
        if (sizeof(Char) == 1 && !extra_of(*at)) continue;  // a candidate only
        out = put_replacement(static_cast<Out>(*at), out + (at - run));
        run = at + 1;
        if (stop - run >= chunk_chars<Char>) {
            put_chunk<Char>(out, chunk::load(run));
        } else {
            copy_run(out, run, stop - run);
        }
    }
    return out + (end - run);
}

// Room that is known to be enough: latex_escape's exact result.
struct EnoughRoom {
    template <typename Out>
    bool operator()(Out*&, Py_ssize_t) const { return true; }
};

// Writes the escaped text to `out`, chunk by chunk, in characters at least
// as wide as the text's. The output's room must
// hold the rest of the input as it is; before a chunk with specials,
// ensure(out, left) makes sure that it also holds the most any chunk can
// add, with `left` characters of input still to go (it may move the output:
// `out` is updated); false stops the fill. A chunk without specials needs
// no more room than it takes, so the room that the rest of the input needs
// stays. The first chunks' masks come from `found` when it is given.
template <typename Char, typename Out, typename Ensure>
Out* write_escaped_chunks(const Char* data, Py_ssize_t length, const Specials* found, Out* out,
                          Ensure ensure) {
    constexpr Py_ssize_t size = chunk_chars<Char>;
    const Char* stop = data + length;
    Py_ssize_t chunks = length / size;
    Py_ssize_t cached = found ? std::min(chunks, Specials::cached) : 0;
    Py_ssize_t k = 0;
    for (; k < cached; k++) {
        const Char* from = data + size * k;
        put_chunk<Char>(out, chunk::load(from));
        out = write_specials(from, from + size, stop, found->mask[k], out);
    }
    for (; k < chunks; k++) {
        const Char* from = data + size * k;
        chunk::Vec text = chunk::load(from);
        chunk::Mask mask = special_mask<Char>(text);
        if (mask && !ensure(out, stop - from)) return nullptr;
        put_chunk<Char>(out, text);
        out = write_specials(from, from + size, stop, mask, out);
    }
    if (Py_ssize_t rest = length % size) {
        chunk::Mask mask = found && chunks < Specials::cached
                               ? found->mask[chunks]
                               : last_of<Char>(special_mask<Char>(chunk::load(stop - size)), rest);
        if (mask && !ensure(out, rest)) return nullptr;
        copy_run(out, stop - rest, rest);
        out = write_specials(stop - rest, stop, stop, mask, out);
    }
    return out;
}

#else
struct Specials {};
#endif

// How many characters escaping adds to the text.
template <typename Char>
Py_ssize_t escaped_extra(const Char* data, Py_ssize_t length, [[maybe_unused]] Specials& found) {
#if PW_CHUNKS
    if constexpr (sizeof(Char) == 1) {
        if (length >= chunk_chars<Char>) return escaped_extra_candidates(data, length, found);
    } else {
        if (length >= chunk_chars<Char>) return escaped_extra_chunks(data, length, found);
    }
#endif
    return escaped_extra_each(data, length);
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
    Char* out = reinterpret_cast<Char*>(PyUnicode_DATA(result));
#if PW_CHUNKS
    if (length >= chunk_chars<Char>) {
        write_escaped_chunks(data, length, &found, out, EnoughRoom());
        return result;
    }
#endif
    write_escaped_each(data, length, out);
    return result;
}

// Escapes the text into room of characters of width `Out` (at least the
// text's) at the end of the buffer's tail, which has room for `size`
// characters there: in one pass, more room taken whenever a chunk with
// specials might not fit. Commits only when done: 0, or -1 on error.
template <typename Char, typename Out>
int fill_room(TextBuffer& buffer, const Char* data, Py_ssize_t length, Py_UCS4 maxchar,
              void* room, [[maybe_unused]] Py_ssize_t size) {
    Out* start = static_cast<Out*>(room);
    Out* out;
#if PW_CHUNKS
    if (length >= chunk_chars<Char>) {
        constexpr Py_ssize_t most_added = chunk_chars<Char> * longest;
        Out* limit = start + size;
        auto ensure = [&](Out*& at, Py_ssize_t left) {
            if (limit - at >= left + most_added) return true;
            Py_ssize_t used = at - start;
            Py_ssize_t more = left + left / 8 + most_added;
            if (buffer.more_room(used, more, &room) < 0) return false;
            start = static_cast<Out*>(room);
            at = start + used;
            limit = at + more;
            return true;
        };
        out = write_escaped_chunks(data, length, nullptr, start, ensure);
        if (!out) return -1;
        buffer.commit(out - start, maxchar);
        return 0;
    }
#endif
    out = write_escaped_each(data, length, start);
    buffer.commit(out - start, maxchar);
    return 0;
}

// The room escaping into a body starts with: text shorter than a chunk gets
// room for its longest escape, longer text room for itself, an eighth more
// and the most one chunk can add (more is taken as it is needed). Where
// chunks are not available, longer text is counted first, so that its room
// is no more than it needs.
template <typename Char>
Py_ssize_t room_for(const Char* data, Py_ssize_t length) {
#if PW_CHUNKS
    if (length >= chunk_chars<Char>) return length + length / 8 + chunk_chars<Char> * longest;
#endif
    return length < 16 ? length * longest : length + escaped_extra_each(data, length);
}

// Escapes an exact str straight into the buffer's tail, in the tail's width
// when that is wider than the text's. Nothing is committed unless it is
// done: 0, or -1 on error.
template <typename Char>
int escape_kind_into(TextBuffer& buffer, PyObject* s) {
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
