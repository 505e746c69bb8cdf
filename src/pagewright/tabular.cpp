// pagewright.tabular: tables with a checked column count, written row by
// row or cell by cell.
//
// A Tabular is an environment on a child context: everything written into
// it (rules, rows, any environment writer) collects in that child's body,
// and the table reaches the outer context in one piece when its block ends.
// A table keeps its column count as a C integer; a row keeps its column
// count and position as C integers and its cells in a native array, whose
// list Python code gets when it reads `cols`. A row made by its table is
// written straight from that array into the table's native body.
#include "context.h"
#include "modules.h"

#include "../core/args.h"
#include "../core/compat.h"
#include "../core/globals.h"
#include "../core/instance.h"
#include "../core/module.h"
#include "../core/native.h"
#include "../core/single_use.h"
#include "../core/write.h"

namespace pw {

namespace {

PyTypeObject* tabular_type;
PyTypeObject* row_type;
// The latest pagewright.tabular module: the methods read `Tabular` and
// `LatexEnvironment` from it on every call, as module-level code would, so
// that rebinding those names is honoured.
PyObject* tabular_module;
Global tabular_global;      // tabular.Tabular
Global environment_global;  // tabular.LatexEnvironment
Global registered_global;   // sys.modules['pagewright.tabular']

PyObject* one;                    // 1
// What separates a row's cells.
constexpr char separator_text[] = " & ";
constexpr Py_ssize_t separator_size = sizeof separator_text - 1;

// The module's interned texts, each with the name it is kept under.
#define LITERALS(X) \
    X(tabular_name, "Tabular") \
    X(row_name, "Row") \
    X(environment_name, "LatexEnvironment") \
    X(module_dotted, "pagewright.tabular") \
    X(allowed_name, "allowed") \
    X(envs_name, "envs") \
    X(env_name, "env") \
    X(ncols_name, "ncols") \
    X(alignment_name, "alignment") \
    X(col_name, "col") \
    X(cols_name, "cols") \
    X(append_name, "append") \
    X(index_name, "index") \
    X(tabular_method, "tabular") \
    X(hline_name, "hline") \
    X(endhead_name, "endhead") \
    X(row_method, "row") \
    X(row_tex_name, "row_tex") \
    X(tabular_env, "tabular") \
    X(longtable_env, "longtable") \
    X(open_brace, "{") \
    X(cell_separator, separator_text) \
    X(empty, "") \
    X(row_end, "\\\\ \n ") \
    X(hline_text, "\\hline\n") \
    X(endhead_text, "\\endhead\n") \
    X(begin_format, "\\begin{%s}{%s}\n") \
    X(end_format, "\\end{%s}\n") \
    X(begin_opening, "\\begin{") \
    X(end_opening, "\\end{") \
    X(brace_pair, "}{") \
    X(brace_line_end, "}\n") \
    X(multicolumn_format, "\\multicolumn{%s}{%s}{%s}") \
    X(too_many_columns, "Too many columns") \
    X(multicolumn_overflow, "Too many columns (ncols=%d,n=%d,cur=%d)") \
    X(bad_row_width, "Bad number of columns (found %s, required %s)") \
    X(bad_row_tex_width, "Got %d cols instead of %d expected.") \
    X(letter_c, "c") \
    X(letter_r, "r") \
    X(letter_l, "l") \
    X(letter_p, "p")
PW_LITERALS(LITERALS)
#undef LITERALS
// The column letters the class accepts, in Tabular.allowed's order.
PyObject** const allowed_letters[] = {&letter_c, &letter_r, &letter_l, &letter_p};

PyObject* tabular_kwnames;        // ("context", "env")
PyObject* longtable_kwnames;      // ("env",)
PyObject* dump_kwnames;           // ("main_context",)
PyObject* own_allowed;            // the class's own Tabular.allowed
PyObject* own_envs;               // the class's own Tabular.envs


// Runs before the module is first imported too: LatexEnvironment.tabular
// needs the constants to open the table that triggers that import.
int init_constants() {
    if (one) return 0;
    if (intern_literals(literals) < 0) return -1;
    if (!tabular_kwnames) tabular_kwnames = PyTuple_Pack(2, names.context, env_name);
    if (!longtable_kwnames) longtable_kwnames = PyTuple_Pack(1, env_name);
    if (!dump_kwnames) dump_kwnames = PyTuple_Pack(1, names.main_context);
    if (!tabular_kwnames || !longtable_kwnames || !dump_kwnames) return -1;
    one = PyLong_FromLong(1);
    return one ? 0 : -1;
}

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// ------------------------------------------------------------------ helpers

Ref global(PyObject* name) { return module_global(tabular_module, name); }

// `from .tabular import Tabular`: the class itself while the module is the
// one registered under its name and still binds it there.
Ref table_class() {
    if (registered_global.holds() && tabular_global.holds()) {
        return Ref::borrow(reinterpret_cast<PyObject*>(tabular_type));
    }
    return import_from_loaded(tabular_module, module_dotted, tabular_name);
}

// bool(a <op> b), as the comparison operators compute it (no identity
// shortcut).
int compare(PyObject* a, PyObject* b, int op) {
    Ref result(PyObject_RichCompare(a, b, op));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// raise Exception(message)
int fail(PyObject* message) {
    PyErr_SetObject(PyExc_Exception, message);
    return -1;
}

int fail_formatted(PyObject* fmt, std::initializer_list<PyObject*> values) {
    Ref message = format_tuple(fmt, values);
    return message ? fail(message.get()) : -1;
}

// An exact int that fits a Py_ssize_t, as *value; false for anything else.
bool small_int(PyObject* obj, Py_ssize_t* value) {
    if (!PyLong_CheckExact(obj)) return false;
    int overflow;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow || v < PY_SSIZE_T_MIN || v > PY_SSIZE_T_MAX) return false;
    *value = static_cast<Py_ssize_t>(v);
    return true;
}

// n <op> limit, with a C comparison when the limit is an exact int.
int compare_count(Py_ssize_t n, PyObject* limit, int op) {
    Py_ssize_t value;
    if (small_int(limit, &value)) return op == Py_GT ? n > value : n == value;
    Ref count(PyLong_FromSsize_t(n));
    return count ? compare(count.get(), limit, op) : -1;
}

bool all_str(PyObject* const* items, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count; i++) {
        if (!PyUnicode_Check(items[i])) return false;
    }
    return true;
}


// The cells joined by " & " and the row end, appended to the native body
// of `context` in one piece when it has one and every cell is a str: 1
// when done, 0 when not, -1 on error.
int append_row(PyObject* context, PyObject* const* items, Py_ssize_t count) {
    TextBuffer* body = context && all_str(items, count) ? native_buffer(context, names.f)
                                                        : nullptr;
    if (!body) return 0;
    return body->append_joined(items, count, cell_separator, row_end) < 0 ? -1 : 1;
}

// -------------------------------------------------------------- the fields

// Tabular: env, ncols, alignment, context; ncols as a C integer.
enum TableField { table_env, table_ncols, table_alignment, table_context };
// Tabular.Row: ncols, col, cols, context; ncols and col as C integers, cols
// as an array of cells.
enum RowField { row_ncols, row_col, row_cols, row_context };

// A row's cells while its `cols` is lazy, a few inline and more on the
// heap: each the object given to cell_tex or multicolumn_tex, or for a
// cell block (whose text no Python code has seen as a str) a span of
// characters in the row's own arena, made a str only when Python code
// reads `cols`.
struct Span {
    Py_ssize_t at;      // byte offset in the arena
    Py_ssize_t length;  // characters
    Py_UCS4 maxchar;
    int kind;
};

struct Cells {
    static constexpr Py_ssize_t inline_capacity = 8;
    static constexpr Py_ssize_t inline_arena = 256;
    PyObject** items;  // NULL for a span
    Span* spans;
    Py_ssize_t count;
    Py_ssize_t capacity;
    char* arena;
    Py_ssize_t arena_used;
    Py_ssize_t arena_capacity;
    // While every cell is one-byte text (a span, or a short ASCII str also
    // copied here), the arena holds them joined by the separator, and
    // `widest` is their widest character: the row's text but its end. Set
    // once a cell breaks that (zero is the empty row).
    bool scattered;
    Py_UCS4 widest;
    PyObject* inline_items[inline_capacity];
    Span inline_spans[inline_capacity];
    alignas(Py_UCS4) char inline_bytes[inline_arena];
};

struct Row : Native {
    Py_ssize_t ncols;
    Py_ssize_t col;
    Cells cells;
};

Row* as_row(PyObject* self) { return reinterpret_cast<Row*>(self); }

// More room for cells, the first in the object itself; -1 with MemoryError.
int grow_cells(Cells& cells) {
    if (!cells.items) {
        cells.items = cells.inline_items;
        cells.spans = cells.inline_spans;
        cells.capacity = Cells::inline_capacity;
    }
    if (cells.count < cells.capacity) return 0;
    Py_ssize_t capacity = cells.capacity * 2;
    auto* items = static_cast<PyObject**>(PyMem_Malloc(capacity * sizeof(PyObject*)));
    auto* spans = static_cast<Span*>(PyMem_Malloc(capacity * sizeof(Span)));
    if (!items || !spans) {
        PyMem_Free(items);
        PyMem_Free(spans);
        PyErr_NoMemory();
        return -1;
    }
    std::memcpy(items, cells.items, cells.count * sizeof(PyObject*));
    std::memcpy(spans, cells.spans, cells.count * sizeof(Span));
    if (cells.items != cells.inline_items) {
        PyMem_Free(cells.items);
        PyMem_Free(cells.spans);
    }
    cells.items = items;
    cells.spans = spans;
    cells.capacity = capacity;
    return 0;
}

// Leaves the cells empty, with no memory of their own, as a new row's are;
// what they held is the caller's to release.
void forget_cells(Cells& cells) {
    cells.items = nullptr;
    cells.spans = nullptr;
    cells.count = cells.capacity = 0;
    cells.arena = nullptr;
    cells.arena_used = cells.arena_capacity = 0;
    cells.scattered = false;
    cells.widest = 0;
}

// Room for one more cell; -1 with MemoryError.
[[gnu::always_inline]] inline int room_for_cell(Cells& cells) {
    return cells.items && cells.count < cells.capacity ? 0 : grow_cells(cells);
}

// Room in the arena up to byte `end`, the first in the row itself; -1 with
// MemoryError.
int reserve_arena(Cells& cells, Py_ssize_t end) {
    if (!cells.arena) {
        cells.arena = cells.inline_bytes;
        cells.arena_capacity = Cells::inline_arena;
    }
    if (end > cells.arena_capacity) {
        Py_ssize_t capacity = std::max(cells.arena_capacity * 2, end);
        bool inline_arena = cells.arena == cells.inline_bytes;
        char* arena = static_cast<char*>(
            inline_arena ? PyMem_Malloc(capacity) : PyMem_Realloc(cells.arena, capacity));
        if (!arena) {
            PyErr_NoMemory();
            return -1;
        }
        if (inline_arena) std::memcpy(arena, cells.inline_bytes, cells.arena_used);
        cells.arena = arena;
        cells.arena_capacity = capacity;
    }
    return 0;
}

// Where the next of the joined cells starts in the arena, after the
// separator.
[[gnu::always_inline]] inline Py_ssize_t joined_at(const Cells& cells) {
    return cells.arena_used + (cells.count ? separator_size : 0);
}

// Writes the separator and `n` one-byte characters into the arena as the
// next of the joined cells, starting at `at` (joined_at), which has room.
[[gnu::always_inline]] inline void put_joined(Cells& cells, Py_ssize_t at, const void* chars,
                                              Py_ssize_t n, Py_UCS4 maxchar) {
    if (cells.count) std::memcpy(cells.arena + at - separator_size, separator_text, separator_size);
    copy_bytes(cells.arena + at, chars, n);
    cells.arena_used = at + n;
    cells.widest = std::max(cells.widest, maxchar);
}

// Copies `n` one-byte characters into the arena as the next of the joined
// cells, after the separator; returns where they start, or -1 with
// MemoryError.
[[gnu::always_inline]] inline Py_ssize_t join_in_arena(Cells& cells, const void* chars,
                                                      Py_ssize_t n, Py_UCS4 maxchar) {
    Py_ssize_t at = joined_at(cells);
    if (at + n > cells.arena_capacity && reserve_arena(cells, at + n) < 0) return -1;
    put_joined(cells, at, chars, n, maxchar);
    return at;
}

// Cells given as objects up to this length are also joined in the arena.
constexpr Py_ssize_t joined_item_length = 256;

// Whether `text` joins the row's joined cells: a short ASCII str, while
// every cell so far is joined.
[[gnu::always_inline]] inline bool joins(const Cells& cells, PyObject* text) {
    return !cells.scattered && PyUnicode_CheckExact(text) && PyUnicode_IS_COMPACT_ASCII(text) &&
           PyUnicode_GET_LENGTH(text) <= joined_item_length;
}

// Appends an object as the next cell. A short ASCII str among joined cells
// joins them in the arena too, so that the row is copied whole at its end.
[[gnu::always_inline]] inline int push_cell(Row* row, PyObject* text) {
    Cells& cells = row->cells;
    if (room_for_cell(cells) < 0) return -1;
    if (joins(cells, text)) {
        if (join_in_arena(cells, PyUnicode_DATA(text), PyUnicode_GET_LENGTH(text), 0x7f) < 0) {
            return -1;
        }
    } else {
        cells.scattered = true;
    }
    cells.items[cells.count++] = Py_NewRef(text);
    return 0;
}

// Copies the text of `body`, all in its tail, into the arena as the next
// cell: joined when it is one-byte text after joined cells, else at an
// offset aligned for its characters.
int push_span(Row* row, const TextBuffer& body) {
    Cells& cells = row->cells;
    if (room_for_cell(cells) < 0) return -1;
    Py_ssize_t at;
    if (!cells.scattered && body.tail_kind == 1) {
        at = join_in_arena(cells, body.tail, body.tail_length, body.tail_maxchar);
        if (at < 0) return -1;
    } else {
        Py_ssize_t bytes = body.tail_length * body.tail_kind;
        at = (cells.arena_used + body.tail_kind - 1) & ~Py_ssize_t(body.tail_kind - 1);
        if (reserve_arena(cells, at + bytes) < 0) return -1;
        copy_bytes(cells.arena + at, body.tail, bytes);
        cells.arena_used = at + bytes;
        cells.scattered = true;
    }
    cells.spans[cells.count] = {at, body.tail_length, body.tail_maxchar, body.tail_kind};
    cells.items[cells.count++] = nullptr;
    return 0;
}

// A cell as Python code sees it: a new reference.
PyObject* cell_value(const Cells& cells, Py_ssize_t i) {
    if (cells.items[i]) return Py_NewRef(cells.items[i]);
    const Span& span = cells.spans[i];
    PyObject* text = PyUnicode_New(span.length, span.maxchar);
    if (text && span.length) {
        copy_chars(span.kind, cells.arena + span.at, span.length, PyUnicode_KIND(text),
                   PyUnicode_DATA(text));
    }
    return text;
}

// The characters of cell i.
struct Run {
    int kind;
    const void* data;
    Py_ssize_t length;
    Py_UCS4 maxchar;
};

Run run_of(PyObject* text) {
    // The common case first: a compact ASCII str keeps its characters
    // right after its header.
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        return {1, reinterpret_cast<PyASCIIObject*>(text) + 1, PyUnicode_GET_LENGTH(text), 0x7f};
    }
    return {PyUnicode_KIND(text), PyUnicode_DATA(text), PyUnicode_GET_LENGTH(text),
            PyUnicode_MAX_CHAR_VALUE(text)};
}

Run run_of(const Cells& cells, Py_ssize_t i) {
    if (PyObject* text = cells.items[i]) return run_of(text);
    const Span& span = cells.spans[i];
    return {span.kind, cells.arena + span.at, span.length, span.maxchar};
}

// The cells joined by " & " and followed by the row end, into `body`: one
// piece of room when the body's tail has the text's width. 1 when done, 0
// when a cell is not a str (the join must fail as str.join does), -1 on
// error.
int append_cells(TextBuffer& body, const Cells& cells) {
    static const Run end = run_of(row_end);
    if (!cells.scattered && cells.count) {
        // Cell blocks already joined in the arena: one copy, when the body
        // takes one-byte text.
        Py_ssize_t n = cells.arena_used;
        void* room;
        int ready = body.room(1, n + end.length, &room);
        if (ready < 0) return -1;
        if (ready) {
            copy_bytes(room, cells.arena, n);
            copy_bytes(static_cast<char*>(room) + n, end.data, end.length);
            body.commit(n + end.length, std::max(cells.widest, end.maxchar));
            return 1;
        }
    }
    if (!cells.arena) {
        // Only objects: strs join as str.join joins them.
        for (Py_ssize_t i = 0; i < cells.count; i++) {
            if (!PyUnicode_Check(cells.items[i])) return 0;
        }
        if (body.append_joined(cells.items, cells.count, cell_separator, row_end) < 0) return -1;
        return 1;
    }
    static const Run separator = run_of(cell_separator);
    constexpr Py_ssize_t most = 16;
    Run runs[most];
    Py_ssize_t count = cells.count;
    Py_ssize_t total = end.length + (count ? (count - 1) * separator.length : 0);
    Py_UCS4 widest = 0x7f;
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject* item = cells.items[i];
        if (item && !PyUnicode_Check(item)) return 0;
        Run run = run_of(cells, i);
        if (i < most) runs[i] = run;
        total += run.length;
        if (run.maxchar > widest) widest = run.maxchar;
    }
    int kind = widest < 0x100 ? 1 : widest < 0x10000 ? 2 : 4;
    void* room;
    int ready = body.room(kind, total, &room);
    if (ready < 0) return -1;
    char* out = static_cast<char*>(room);
    auto put = [&](const Run& run) {
        if (!ready) return body.append_chars(run.kind, run.data, run.length, run.maxchar);
        if (run.kind == kind) {
            copy_bytes(out, run.data, run.length * kind);
        } else {
            copy_chars(run.kind, run.data, run.length, kind, out);
        }
        out += run.length * kind;
        return 0;
    };
    for (Py_ssize_t i = 0; i < count; i++) {
        if ((i && put(separator) < 0) || put(i < most ? runs[i] : run_of(cells, i)) < 0) {
            return -1;
        }
    }
    if (put(end) < 0) return -1;
    if (ready) body.commit(total, widest);
    return 1;
}

// Empties the cells, then drops them. Dropping a cell that is not an
// exact str may run Python code that adds cells: the inline ones are
// copied out first then.
void release_cells(Row* row) {
    Cells& cells = row->cells;
    Py_ssize_t count = cells.count;
    bool heap = cells.items && cells.items != cells.inline_items;
    PyObject** items = heap ? cells.items : cells.inline_items;
    Span* spans = heap ? cells.spans : nullptr;
    char* arena = cells.arena != cells.inline_bytes ? cells.arena : nullptr;
    forget_cells(cells);
    PyObject* inline_copy[Cells::inline_capacity];
    bool plain = true;
    for (Py_ssize_t i = 0; i < count; i++) {
        plain &= !items[i] || PyUnicode_CheckExact(items[i]);
    }
    if (!heap && !plain) {
        std::memcpy(inline_copy, items, count * sizeof(PyObject*));
        items = inline_copy;
    }
    for (Py_ssize_t i = 0; i < count; i++) Py_XDECREF(items[i]);
    if (heap) {
        PyMem_Free(items);
        PyMem_Free(spans);
    }
    PyMem_Free(arena);
}

// The cells as the list Python code sees.
PyObject* cells_list(Row* row) {
    Ref list(PyList_New(row->cells.count));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < row->cells.count; i++) {
        PyObject* cell = cell_value(row->cells, i);
        if (!cell) return nullptr;
        PyList_SET_ITEM(list.get(), i, cell);
    }
    return list.release();
}

PyObject* row_value(PyObject* self, int field) {
    Row* row = as_row(self);
    if (field == row_ncols) return PyLong_FromSsize_t(row->ncols);
    if (field == row_col) return PyLong_FromSsize_t(row->col);
    Ref list(cells_list(row));
    if (!list) return nullptr;
    // Making the list may have run the collector: a finalizer may have read
    // or replaced `cols` meanwhile, and what it left stands.
    if (row->layout == nullptr || row->fields[row_cols] != lazy) {
        return PyObject_GetAttr(self, cols_name);
    }
    set_field(self, row_cols, Py_NewRef(list.get()));
    return list.release();
}

int store_row_int(PyObject* self, int field, PyObject* value) {
    Py_ssize_t number;
    if (!shared_int(value, &number)) return 0;
    (field == row_ncols ? as_row(self)->ncols : as_row(self)->col) = number;
    return 1;
}

void discard_row_field(PyObject* self, int field) {
    if (field == row_cols) release_cells(as_row(self));
}

PyObject* table_value(PyObject* self, int) { return PyLong_FromSsize_t(as_writer(self)->ncols); }

int store_table_ncols(PyObject* self, int, PyObject* value) {
    return shared_int(value, &as_writer(self)->ncols) ? 1 : 0;
}

void discard_nothing(PyObject*, int) {}

TypeGuard tabular_guard;
TypeGuard row_guard;

const Layout tabular_layout = {
    &tabular_type, &tabular_guard, 4,
    {&env_name, &ncols_name, &alignment_name, &names.context}, table_context,
    1u << table_ncols, table_value, store_table_ncols, discard_nothing,
};
const Layout row_layout = {
    &row_type, &row_guard, 4, {&ncols_name, &col_name, &cols_name, &names.context}, row_context,
    1u << row_ncols | 1u << row_col, row_value, store_row_int, discard_row_field,
};
Descriptors tabular_descriptors;
Descriptors row_descriptors;

// A row's C column count and position and its cells, while all three are
// native; NULL otherwise.
[[gnu::always_inline]] inline Row* native_row(PyObject* self) {
    PyObject** fields = native_fields(self, row_layout);
    if (!fields || fields[row_ncols] != lazy || fields[row_col] != lazy ||
        fields[row_cols] != lazy) {
        return nullptr;
    }
    return as_row(self);
}

// A table's C column count, when it is native: true with *ncols set.
bool native_ncols(PyObject* table, Py_ssize_t* ncols) {
    PyObject** fields = native_fields(table, tabular_layout);
    if (!fields || fields[table_ncols] != lazy) return false;
    *ncols = as_writer(table)->ncols;
    return true;
}

// ---------------------------------------------------------------- Tabular.Row

int row_traverse(PyObject* self, visitproc visit, void* arg) {
    const Cells& cells = as_row(self)->cells;
    for (Py_ssize_t i = 0; i < cells.count; i++) Py_VISIT(cells.items[i]);
    return native_traverse(self, visit, arg);
}

// Rows come and go with every row block: a few freed ones are reused.
Spares<16> spare_rows;

void finish_row(PyObject* self) { finish_native(self, row_type, spare_rows); }

bool row_holds_chain(PyObject* self) {
    if (holds_chain(self)) return true;
    const Cells& cells = as_row(self)->cells;
    for (Py_ssize_t i = 0; i < cells.count; i++) {
        if (frees_chain(cells.items[i])) return true;
    }
    return false;
}

// A row as its table made and left it: native, no dict and no weak
// references, its cells exact strs or spans kept inline. Freeing its
// values runs no Python code but its context's own deallocation, which
// guards against chains itself.
bool plain_row(Row* row) {
    const Cells& cells = row->cells;
    if (row->layout != &row_layout || !holds_no_attributes(row) || row->weakrefs ||
        row->fields[row_ncols] != lazy || row->fields[row_col] != lazy ||
        row->fields[row_cols] != lazy) {
        return false;
    }
    if ((cells.items && cells.items != cells.inline_items) ||
        (cells.arena && cells.arena != cells.inline_bytes)) {
        return false;
    }
    // Joined cells are exact strs or spans already.
    if (!cells.scattered) return true;
    for (Py_ssize_t i = 0; i < cells.count; i++) {
        PyObject* item = cells.items[i];
        if (item && !PyUnicode_CheckExact(item)) return false;
    }
    return true;
}

void row_dealloc(PyObject* self) {
    Row* row = as_row(self);
    PyTypeObject* type = Py_TYPE(self);
    if (type != row_type || !plain_row(row)) {
        free_guarded(self, row_dealloc, row_holds_chain(self), finish_row);
        return;
    }
    PyObject_GC_UnTrack(self);
    for (Py_ssize_t i = 0; i < row->cells.count; i++) Py_XDECREF(row->cells.items[i]);
    forget_cells(row->cells);
    PyObject* context = row->fields[row_context];
    for (PyObject*& field : row->fields) field = nullptr;
    Py_XDECREF(context);
    // Where a row's methods are cached through an empty dict, a kept row
    // keeps its own (which nothing else holds) for the next row.
    if (!method_cache_needs_dict) Py_CLEAR(row->dict);
    if (!spare_rows.keep(self)) {
        Py_CLEAR(row->dict);
        type->tp_free(self);
    }
    Py_DECREF(type);
}

// A row's C column count and position for `ncols` columns (NULL: the C
// count `count`); returns what its ncols field holds: lazy while the count
// is in C, else a new reference to `ncols`.
PyObject* start_counts(PyObject* row, PyObject* ncols, Py_ssize_t count) {
    if (ncols && shared_int(ncols, &count)) ncols = nullptr;
    as_row(row)->ncols = ncols ? 0 : count;
    as_row(row)->col = 0;
    return ncols ? Py_NewRef(ncols) : lazy;
}

// Makes a row native: `ncols` columns (NULL: the C count `count`), no
// cells yet, on `context`.
void start_row(PyObject* row, PyObject* ncols, Py_ssize_t count, PyObject* context) {
    set_native(row, row_layout, {start_counts(row, ncols, count), lazy, lazy, Py_NewRef(context)});
}

// A new native row; every field but an empty dict is set here, so a spare
// needs no zeroing.
PyObject* new_native_row(PyObject* ncols, Py_ssize_t count, PyObject* context) {
    PyObject* row = spare_rows.take_unset(row_type);
    if (!row) {
        if (!(row = row_type->tp_alloc(row_type, 0))) return nullptr;
    } else {
        Row* fresh = as_row(row);
        fresh->weakrefs = nullptr;  // its dict is none, or empty
        fresh->fields[4] = fresh->fields[5] = nullptr;
        forget_cells(fresh->cells);
        PyObject_GC_Track(row);
    }
    // The first cells go into the row itself.
    Cells& cells = as_row(row)->cells;
    cells.items = cells.inline_items;
    cells.spans = cells.inline_spans;
    cells.capacity = Cells::inline_capacity;
    cells.arena = cells.inline_bytes;
    cells.arena_capacity = Cells::inline_arena;
    start_native(row, row_layout,
                 {start_counts(row, ncols, count), lazy, lazy, Py_NewRef(context)});
    // A row takes a call for each of its cells.
    if (cache_methods(row) < 0) {
        Py_DECREF(row);
        return nullptr;
    }
    return row;
}

int row_set(PyObject* self, PyObject* ncols, PyObject* context) {
    if (may_go_native(self, row_layout)) {
        start_row(self, ncols, 0, context);
        return 0;
    }
    Ref cols(PyList_New(0));
    Ref zero(cols ? PyLong_FromLong(0) : nullptr);
    if (!zero || PyObject_SetAttr(self, ncols_name, ncols) < 0 ||
        PyObject_SetAttr(self, col_name, zero.get()) < 0 ||
        PyObject_SetAttr(self, cols_name, cols.get()) < 0) {
        return -1;
    }
    return PyObject_SetAttr(self, names.context, context);
}

int row_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"ncols", "context", nullptr};
    PyObject* ncols;
    PyObject* context;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Row", const_cast<char**>(keywords),
                                     &ncols, &context)) {
        return -1;
    }
    return row_set(self, ncols, context);
}

// A note for "Too many columns", which names no counts: the table's
// columns and the cells the row holds. The message and type stay as they
// are; a failure on the way leaves the error without the note.
void note_full_row(Py_ssize_t ncols, Py_ssize_t cells) {
    PyObject* error = take_error();
    Ref note(PyUnicode_FromFormat(
        "the table has %zd column%s and this row already holds %zd cell%s", ncols,
        ncols == 1 ? "" : "s", cells, cells == 1 ? "" : "s"));
    if (!note || add_note(error, note.get()) < 0) PyErr_Clear();
    restore_error(error);
}

int fail_full_row(PyObject* row) {
    fail(too_many_columns);
    if (Row* native = native_row(row)) {
        note_full_row(native->ncols, native->cells.count);
        return -1;
    }
    // Counts read the way Python code reads them; any trouble, no note.
    PyObject* error = take_error();
    Ref ncols = getattr(row, ncols_name);
    Ref cols = ncols ? getattr(row, cols_name) : Ref();
    Py_ssize_t count = cols ? PyObject_Size(cols.get()) : -1;
    Py_ssize_t columns = count >= 0 ? PyLong_AsSsize_t(ncols.get()) : -1;
    bool counted = !PyErr_Occurred();
    PyErr_Clear();
    restore_error(error);
    if (counted) note_full_row(columns, count);
    return -1;
}

// Refuses one more cell in a full row.
int check_room(PyObject* row) {
    if (Row* native = native_row(row)) {
        return native->col == native->ncols ? fail_full_row(row) : 0;
    }
    Ref col = getattr(row, col_name);
    Ref ncols = col ? getattr(row, ncols_name) : Ref();
    if (!ncols) return -1;
    int full = compare(col.get(), ncols.get(), Py_EQ);
    if (full != 0) return full < 0 ? -1 : fail_full_row(row);
    return 0;
}

// self.col += width
int advance(PyObject* row, PyObject* width) {
    Ref col = getattr(row, col_name);
    Ref next(col ? PyNumber_InPlaceAdd(col.get(), width) : nullptr);
    if (!next) return -1;
    return PyObject_SetAttr(row, col_name, next.get());
}

// self.cols.append(text); self.col += width
int add_cell(PyObject* row, PyObject* text, PyObject* width) {
    if (Row* native = native_row(row)) {
        // A width of any sign; a column that would leave the shared ints goes
        // the generic way, as a Python int.
        Py_ssize_t step, next;
        if (small_int(width, &step) && !__builtin_add_overflow(native->col, step, &next) &&
            is_shared_int(next)) {
            if (push_cell(native, text) < 0) return -1;
            native->col = next;
            return 0;
        }
    }
    Ref cols = getattr(row, cols_name);
    if (!cols) return -1;
    if (PyList_CheckExact(cols.get())) {
        if (PyList_Append(cols.get(), text) < 0) return -1;
    } else if (!call_method(cols.get(), append_name, {text})) {
        return -1;
    }
    return advance(row, width);
}

// cell_tex past the common case: any arguments, a full row, a cell that
// does not join, a row that is not native.
[[gnu::noinline]] PyObject* add_cell_tex(PyObject* self, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"cell_tex", {"tex"}, 0};
    PyObject* tex;
    if (signature.bind(args, nargs, kwnames, &tex) < 0) return nullptr;
    PyObject* text = tex ? tex : empty;
    // A column at the end of the shared ints goes on as a Python int.
    Row* row = native_row(self);
    if (row && is_shared_int(row->col + 1)) {
        if (row->col == row->ncols) {
            fail_full_row(self);
            return nullptr;
        }
        if (push_cell(row, text) < 0) return nullptr;
        row->col++;
        Py_RETURN_NONE;
    }
    if (check_room(self) < 0 || add_cell(self, text, one) < 0) return nullptr;
    Py_RETURN_NONE;
}

// Joins `text` to the row's joined cells when it is a short ASCII str and
// there is room for it in the row as it stands: true when done. (A native
// row counts at most a shared int of columns, so its next column is one.)
[[gnu::always_inline]] inline bool join_short(Row* row, PyObject* text) {
    Cells& cells = row->cells;
    if (row->col == row->ncols || cells.count == cells.capacity || !joins(cells, text)) {
        return false;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_ssize_t at = joined_at(cells);
    if (at + n > cells.arena_capacity) return false;
    put_joined(cells, at, PyUnicode_DATA(text), n, 0x7f);
    cells.items[cells.count++] = Py_NewRef(text);
    row->col++;
    return true;
}

PyObject* row_cell_tex(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    Row* row = nargs == 1 && !kwnames ? native_row(self) : nullptr;
    if (row && join_short(row, args[0])) Py_RETURN_NONE;
    return add_cell_tex(self, args, nargs, kwnames);
}

// cell slots: 0 the row; 1 the cell's environment, once entered.
PyObject* cell_enter(SingleUse* self) {
    PyObject* row = self->slot(0);
    Row* native = native_row(row);
    if (native ? native->col == native->ncols && fail_full_row(row) < 0 : check_room(row) < 0) {
        return nullptr;
    }
    // No Python code ran on a native row that had room.
    PyObject* held = native ? native->fields[row_context] : nullptr;
    Ref context = held ? Ref::borrow(held) : native_attr(row, row_layout, row_context);
    if (!context) return nullptr;
    // The cell's own context is made only if Python code needs it.
    Ref cell(block_environment(tabular_module, environment_global, context.get()));
    if (!cell) return nullptr;
    self->keep(1, Py_NewRef(cell.get()));
    return cell.release();
}

// A native cell of a native row, all four buffers native: no Python code
// runs, so each is read once. 1 when done, 0 when the general path must
// run, -1 on error.
int close_cell_natively(PyObject* row_object, PyObject* cell) {
    Row* row = native_row(row_object);
    if (!row || !is_shared_int(row->col + 1)) return 0;
    TextBuffer* buffers = environment_buffers(cell);
    TextBuffer* to = buffers ? context_buffer(row->fields[row_context], preamble_field) : nullptr;
    if (!to) return 0;
    TextBuffer* from = &buffers[preamble_field];
    TextBuffer* body = &buffers[f_field];
    if (from->length && to->append_buffer(*from) < 0) return -1;
    if (body->count == 0) {
        if (push_span(row, *body) < 0) return -1;
    } else {
        Ref text(body->value());
        if (!text || push_cell(row, text.get()) < 0) return -1;
    }
    row->col++;
    return 1;
}

// The cell's preamble goes up to the table's context, its body becomes one
// entry of the row:
//     self.context.preamble.write(cell.context.preamble.getvalue())
//     self.cols.append(cell.context.f.getvalue())
//     self.col += 1
int cell_close(SingleUse* self) {
    PyObject* row = self->slot(0);
    int done = close_cell_natively(row, self->slot(1));
    if (done) return done < 0 ? -1 : 0;
    Ref outer = native_attr(row, row_layout, row_context);
    Sink preamble = outer ? Sink::of(outer.get(), names.preamble) : Sink();
    Ref cell_context = preamble ? context_of(self->slot(1)) : Ref();
    if (!cell_context || preamble.copy_from(cell_context.get(), names.preamble) < 0) return -1;
    // A native body is read without running Python code, so the row can be
    // looked at afterwards.
    Ref body_context = context_of(self->slot(1));
    if (!body_context) return -1;
    if (native_row(row) && native_buffer(body_context.get(), names.f)) {
        Ref body = value_of(body_context.get(), names.f);
        return body ? add_cell(row, body.get(), one) : -1;
    }
    Ref cols = getattr(row, cols_name);
    Ref append = cols ? getattr(cols.get(), append_name) : Ref();
    Ref cell = append ? context_of(self->slot(1)) : Ref();
    Ref body = cell ? value_of(cell.get(), names.f) : Ref();
    if (!body || !call(append.get(), {body.get()})) return -1;
    return advance(row, one);
}

const Construct cell_construct = {cell_enter, cell_close, nullptr};

PyObject* row_cell(PyObject* self, PyObject*) {
    return make_single_use(&cell_construct, self);
}

PyObject* row_multicolumn_tex(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static const Signature signature{"multicolumn_tex", {"n", "align", "tex"}, 3};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    PyObject* n = arg[0];
    Ref col = getattr(self, col_name);
    Ref end(col ? PyNumber_Add(col.get(), n) : nullptr);
    Ref ncols = end ? getattr(self, ncols_name) : Ref();
    if (!ncols) return nullptr;
    int overflow = compare(end.get(), ncols.get(), Py_GT);
    if (overflow < 0) return nullptr;
    if (overflow) {
        Ref shown = getattr(self, ncols_name);
        Ref cur = shown ? getattr(self, col_name) : Ref();
        if (cur) fail_formatted(multicolumn_overflow, {shown.get(), n, cur.get()});
        return nullptr;
    }
    Ref text = format_tuple(multicolumn_format, {n, arg[1], arg[2]});
    if (!text || add_cell(self, text.get(), n) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef row_methods[] = {
    {"cell_tex", as_method(row_cell_tex), fastcall, "cell_tex($self, tex='')\n--\n\n"},
    {"cell", row_cell, METH_NOARGS, "cell($self)\n--\n\n"},
    {"multicolumn_tex", as_method(row_multicolumn_tex), fastcall,
     "multicolumn_tex($self, n, align, tex)\n--\n\n"},
    {"__getstate__", native_getstate, METH_NOARGS, nullptr},
    {},
};

PyType_Slot row_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(row_init)},
    {Py_tp_doc, const_cast<char*>("Row(ncols, context)\n--\n\n")},
    {Py_tp_methods, row_methods},
    {Py_tp_members, native_members},
    {Py_tp_getset, row_descriptors.getset},
    {Py_tp_traverse, reinterpret_cast<void*>(row_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(native_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(row_dealloc)},
    {Py_tp_alloc, reinterpret_cast<void*>(native_alloc)},
    {0, nullptr},
};

PyType_Spec row_spec = {
    "pagewright.tabular.Row", sizeof(Row), 0, instance_flags, row_slots,
};

// -------------------------------------------------------------------- Tabular

// The part of a column entry before its first "{": the column
// letter for "p{3cm}".
Ref column_letter(PyObject* entry) {
    if (PyUnicode_Check(entry)) {
        Py_ssize_t at = PyUnicode_FindChar(entry, '{', 0, PyUnicode_GET_LENGTH(entry), 1);
        if (at == -2) return Ref();
        return at < 0 ? Ref::borrow(entry) : Ref(PyUnicode_Substring(entry, 0, at));
    }
    int has_brace = PySequence_Contains(entry, open_brace);
    if (has_brace <= 0) return has_brace < 0 ? Ref() : Ref::borrow(entry);
    Ref at = call_method(entry, index_name, {open_brace});
    Ref cut(at ? PySlice_New(nullptr, at.get(), nullptr) : nullptr);
    if (!cut) return Ref();
    return Ref(PyObject_GetItem(entry, cut.get()));
}

// Whether `list` holds exactly the class's own column letters, in order.
bool holds_own_letters(PyObject* list) {
    if (!PyList_CheckExact(list) || PyList_GET_SIZE(list) != 4) return false;
    for (Py_ssize_t i = 0; i < 4; i++) {
        if (PyList_GET_ITEM(list, i) != *allowed_letters[i]) return false;
    }
    return true;
}

// env in envs, for the two names of the class's own list without comparing.
int known_env(PyObject* envs, PyObject* env) {
    bool own = PyList_CheckExact(envs) && PyList_GET_SIZE(envs) == 2 &&
               PyList_GET_ITEM(envs, 0) == tabular_env && PyList_GET_ITEM(envs, 1) == longtable_env;
    if (own && (env == tabular_env || env == longtable_env)) return 1;
    return PySequence_Contains(envs, env);
}

// Whether an exact str entry, cut at its first "{", is one of the letters
// c, r, l, p: 1 or 0, or -1 when that cannot be told without the general
// comparison.
int own_letter(PyObject* entry) {
    if (!PyUnicode_CheckExact(entry) || PyUnicode_GET_LENGTH(entry) == 0) return -1;
    Py_UCS4 letter = PyUnicode_READ_CHAR(entry, 0);
    if (PyUnicode_GET_LENGTH(entry) > 1 && PyUnicode_READ_CHAR(entry, 1) != '{') return -1;
    return letter == 'c' || letter == 'r' || letter == 'l' || letter == 'p';
}

// x in allowed, for the part of x before its first "{".
int accepts(PyObject* allowed, PyObject* entry) {
    if (holds_own_letters(allowed)) {
        int known = own_letter(entry);
        if (known >= 0) return known;
    }
    Ref letter = column_letter(entry);
    return letter ? PySequence_Contains(allowed, letter.get()) : -1;
}

// Tabular.<name>, Tabular being the module's global: `own`, the class's
// own value, while that global is the library's unchanged class.
Ref class_attribute(PyObject* name, PyObject* own) {
    if (tabular_global.holds() && tabular_guard.holds() && fast_paths) return Ref::borrow(own);
    Ref cls = global(tabular_name);
    return cls ? getattr(cls.get(), name) : Ref();
}

// The constructor's checks: a list, of accepted column letters, and an
// accepted environment name; both sets are read from the module's Tabular,
// and the entries are taken by iterating the list.
int check_table(PyObject* alignment, PyObject* env) {
    if (!PyList_Check(alignment)) {
        PyErr_SetNone(PyExc_AssertionError);
        return -1;
    }
    // An exact list is iterated by its items, as its iterator would;
    // comparing an entry may run Python code that changes the list.
    Ref iterator(PyList_CheckExact(alignment) ? nullptr : PyObject_GetIter(alignment));
    if (!iterator && PyErr_Occurred()) return -1;
    for (Py_ssize_t i = 0;; i++) {
        Ref entry = iterator ? Ref(PyIter_Next(iterator.get()))
                    : i < PyList_GET_SIZE(alignment)
                        ? Ref::borrow(PyList_GET_ITEM(alignment, i))
                        : Ref();
        if (!entry) break;
        Ref allowed = class_attribute(allowed_name, own_allowed);
        int accepted = allowed ? accepts(allowed.get(), entry.get()) : -1;
        if (accepted <= 0) {
            if (accepted == 0) PyErr_SetObject(PyExc_AssertionError, alignment);
            return -1;
        }
    }
    if (PyErr_Occurred()) return -1;
    Ref envs = class_attribute(envs_name, own_envs);
    if (!envs) return -1;
    int known = known_env(envs.get(), env);
    if (known <= 0) {
        if (known == 0) PyErr_SetNone(PyExc_AssertionError);
        return -1;
    }
    return 0;
}

// Sets env, ncols = len(alignment), alignment, context in that order.
int table_set(PyObject* self, PyObject* alignment, PyObject* context, PyObject* env) {
    Py_ssize_t ncols = PyObject_Size(alignment);
    if (ncols < 0) return -1;
    Ref count(PyLong_FromSsize_t(ncols));
    if (!count) return -1;
    if (may_go_native(self, tabular_layout)) {
        // A shared int is kept in C, any other as the object made here.
        as_writer(self)->ncols = ncols;
        PyObject* field = is_shared_int(ncols) ? lazy : count.release();
        set_native(self, tabular_layout,
                   {Py_NewRef(env), field, Py_NewRef(alignment), Py_NewRef(context)});
        return cache_methods(self);
    }
    if (PyObject_SetAttr(self, env_name, env) < 0 ||
        PyObject_SetAttr(self, ncols_name, count.get()) < 0 ||
        PyObject_SetAttr(self, alignment_name, alignment) < 0) {
        return -1;
    }
    return PyObject_SetAttr(self, names.context, context);
}

int tabular_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"alignment", "context", "env", nullptr};
    PyObject* alignment;
    PyObject* context;
    PyObject* env = tabular_env;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:Tabular", const_cast<char**>(keywords),
                                     &alignment, &context, &env)) {
        return -1;
    }
    if (check_table(alignment, env) < 0) return -1;
    return table_set(self, alignment, context, env);
}

// Whether Tabular.Row is the library's own Row: the module's Tabular is
// the library's, and both classes are unchanged.
bool own_row_class() {
    return tabular_global.holds() && tabular_guard.holds() && row_guard.holds() && fast_paths;
}

// row slots: 0 the table; 1 the row, once entered.
//     row = Tabular.Row(self.ncols, self.context)
PyObject* row_enter(SingleUse* self) {
    PyObject* table = self->slot(0);
    bool own = own_row_class();
    Ref row;
    Py_ssize_t ncols;
    PyObject* context = nullptr;
    if (own && native_ncols(table, &ncols) &&
        (context = as_native(table)->fields[table_context]) && context != lazy) {
        row = Ref(new_native_row(nullptr, ncols, context));
    } else {
        Ref cls = own ? Ref::borrow(reinterpret_cast<PyObject*>(row_type)) : global(tabular_name);
        Ref row_class = own ? std::move(cls) : cls ? getattr(cls.get(), row_name) : Ref();
        Ref count = row_class ? native_attr(table, tabular_layout, table_ncols) : Ref();
        Ref table_context = count ? context_of(table) : Ref();
        if (table_context) {
            row = own ? Ref(new_native_row(count.get(), 0, table_context.get()))
                      : call(row_class.get(), {count.get(), table_context.get()});
        }
    }
    if (!row) return nullptr;
    self->keep(1, Py_NewRef(row.get()));
    return row.release();
}

// Refuses a row of more cells than the table has columns, as counted by
// len(row.cols).
int check_row_width(PyObject* row, Py_ssize_t count, PyObject* ncols) {
    int too_wide = compare_count(count, ncols, Py_GT);
    if (too_wide <= 0) return too_wide;
    Ref col = getattr(row, col_name);
    Ref shown(col ? PyNumber_Add(col.get(), one) : nullptr);
    return shown ? fail_formatted(bad_row_width, {shown.get(), ncols}) : -1;
}

// " & ".join(cells), then the row end, written to the body self.context.f
// looked up once; `cells` is the row's cols (read after the body's lookup,
// as Python evaluates the call), or else the tuple `given`.
int write_row(PyObject* table, PyObject* row, PyObject* given) {
    Ref context = context_of(table);
    Sink body = context ? Sink::of(context.get(), names.f) : Sink();
    if (!body) return -1;
    Ref cells = row ? native_attr(row, row_layout, row_cols) : Ref::borrow(given);
    Ref joined(cells ? PyUnicode_Join(cell_separator, cells.get()) : nullptr);
    if (!joined || body.write(joined.get()) < 0) return -1;
    return body.write(row_end);
}

// The table's context while the table is native; NULL otherwise.
PyObject* native_table_context(PyObject* table) {
    PyObject** fields = native_fields(table, tabular_layout);
    PyObject* context = fields ? fields[table_context] : nullptr;
    return context != lazy ? context : nullptr;
}

int row_close(SingleUse* self) {
    PyObject* table = self->slot(0);
    PyObject* row_object = self->slot(1);
    Row* row = native_row(row_object);
    Py_ssize_t ncols;
    if (row && native_ncols(table, &ncols) && row->cells.count <= ncols) {
        PyObject* context = as_native(table)->fields[table_context];
        if (TextBuffer* body = context ? context_buffer(context, f_field) : nullptr) {
            int done = append_cells(*body, row->cells);
            if (done) return done < 0 ? -1 : 0;
        }
    }
    Ref cols = native_attr(row_object, row_layout, row_cols);
    Py_ssize_t count = cols ? PyObject_Size(cols.get()) : -1;
    Ref limit = count >= 0 ? native_attr(table, tabular_layout, table_ncols) : Ref();
    if (!limit || check_row_width(row_object, count, limit.get()) < 0) return -1;
    return write_row(table, row_object, nullptr);
}

const Construct row_construct = {row_enter, row_close, nullptr};

PyObject* tabular_row(PyObject* self, PyObject*) {
    return make_single_use(&row_construct, self);
}

PyObject* tabular_row_tex(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        PyErr_Format(PyExc_TypeError, "row_tex() got an unexpected keyword argument '%U'",
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    Py_ssize_t ncols;
    if (native_ncols(self, &ncols) && nargs <= ncols) {
        int done = append_row(native_table_context(self), args, nargs);
        if (done) return done < 0 ? nullptr : none();
    }
    Ref count = native_attr(self, tabular_layout, table_ncols);
    if (!count) return nullptr;
    int too_many = compare_count(nargs, count.get(), Py_GT);
    if (too_many != 0) {
        if (too_many > 0) {
            Ref given(PyLong_FromSsize_t(nargs));
            if (given) fail_formatted(bad_row_tex_width, {given.get(), count.get()});
        }
        return nullptr;
    }
    Ref cells(PyTuple_New(nargs));
    if (!cells) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; i++) PyTuple_SET_ITEM(cells.get(), i, Py_NewRef(args[i]));
    if (write_row(self, nullptr, cells.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The begin line with its columns appended one by one, when the table is
// native, its alignment a short exact list of exact strs and the body
// native: no Python code runs. 1 when done, 0 when the general path must
// run, -1 on error.
int append_begin_natively(PyObject* self, PyObject* alignment, PyObject* main_context) {
    constexpr Py_ssize_t most = 16;
    PyObject** fields = native_fields(self, tabular_layout);
    PyObject* env = fields ? fields[table_env] : nullptr;
    if (!fast_paths || !env || !PyUnicode_CheckExact(env) || !PyList_CheckExact(alignment) ||
        PyList_GET_SIZE(alignment) > most) {
        return 0;
    }
    PyObject* line[most + 4] = {begin_opening, env, brace_pair};
    Py_ssize_t count = 3;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(alignment); i++) {
        PyObject* column = PyList_GET_ITEM(alignment, i);
        if (!PyUnicode_CheckExact(column)) return 0;
        line[count++] = column;
    }
    line[count++] = brace_line_end;
    TextBuffer* body = native_buffer(main_context, names.f);
    if (!body) return 0;
    return body->append_joined(line, count, nullptr) < 0 ? -1 : 1;
}

// The table in one piece: its preamble to the outer preamble, then the
// begin line, the body and the end line to the outer body.
int dump_table(PyObject* self, PyObject* main_context) {
    Ref context = context_of(self);
    if (!context || copy_buffer(context.get(), main_context, names.preamble) < 0) return -1;
    Ref alignment = native_attr(self, tabular_layout, table_alignment);
    int done = alignment ? append_begin_natively(self, alignment.get(), main_context) : -1;
    if (done < 0) return -1;
    if (!done) {
        Ref columns(PyUnicode_Join(empty, alignment.get()));
        Ref env = columns ? native_attr(self, tabular_layout, table_env) : Ref();
        if (!env ||
            append_line(main_context,
                        {begin_opening, env.get(), brace_pair, columns.get(), brace_line_end},
                        begin_format, {env.get(), columns.get()}) < 0) {
            return -1;
        }
    }
    Ref table_context = context_of(self);
    if (!table_context || copy_buffer(table_context.get(), main_context, names.f) < 0) return -1;
    Ref end_env = native_attr(self, tabular_layout, table_env);
    return end_env ? append_line(main_context, {end_opening, end_env.get(), brace_line_end},
                                 end_format, {end_env.get()})
                   : -1;
}

PyObject* tabular_dump(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    static const Signature signature{"dump", {"main_context"}, 1};
    PyObject* main_context;
    if (signature.bind(args, nargs, kwnames, &main_context) < 0) return nullptr;
    if (dump_table(self, main_context) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef tabular_methods[] = {
    {"hline", write_fixed<&hline_text>, METH_NOARGS, "hline($self)\n--\n\n"},
    {"endhead", write_fixed<&endhead_text>, METH_NOARGS, "endhead($self)\n--\n\n"},
    {"row", tabular_row, METH_NOARGS, "row($self)\n--\n\n"},
    {"row_tex", as_method(tabular_row_tex), fastcall, "row_tex($self, *cols)\n--\n\n"},
    {"dump", as_method(tabular_dump), fastcall, "dump($self, main_context)\n--\n\n"},
    {},
};

PyType_Slot tabular_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(tabular_init)},
    {Py_tp_doc, const_cast<char*>("Tabular(alignment, context, env='tabular')\n--\n\n")},
    {Py_tp_methods, tabular_methods},
    {Py_tp_getset, tabular_descriptors.getset},
    WRITER_SLOTS,
    {0, nullptr},
};

PyType_Spec tabular_spec = {
    "pagewright.tabular.Tabular", sizeof(Writer), 0, instance_flags, tabular_slots,
};

// Moves the named entries of a class namespace to its end, in the order
// given, so that the namespace lists them in class-body order.
int order_namespace(PyTypeObject* type, std::initializer_list<PyObject*> order) {
    for (PyObject* name : order) {
        Ref value(PyObject_GetItem(type->tp_dict, name));
        if (!value || PyDict_DelItem(type->tp_dict, name) < 0 ||
            PyDict_SetItem(type->tp_dict, name, value.get()) < 0) {
            return -1;
        }
    }
    PyType_Modified(type);
    return 0;
}

PyTypeObject* make_row_type() {
    describe(row_layout, row_descriptors);
    PyTypeObject* type = make_type(&row_spec, nullptr);
    Ref qualname(type ? PyUnicode_FromString("Tabular.Row") : nullptr);
    if (!qualname ||
        PyObject_SetAttr(reinterpret_cast<PyObject*>(type), names.__qualname__, qualname.get()) < 0) {
        Py_XDECREF(type);
        return nullptr;
    }
    return type;
}

// Tabular, with its class attributes and the nested Row in class-body order.
int make_types() {
    if (tabular_type) return 0;
    PyTypeObject* base = latex_environment_type();
    if (!base) {
        PyErr_SetString(PyExc_ImportError, "pagewright.environment is not initialised");
        return -1;
    }
    Ref allowed(PyList_New(4));
    Ref envs(Py_BuildValue("[OO]", tabular_env, longtable_env));
    Ref bases(PyTuple_Pack(1, base));
    if (!allowed || !envs || !bases) return -1;
    for (Py_ssize_t i = 0; i < 4; i++) {
        PyList_SET_ITEM(allowed.get(), i, Py_NewRef(*allowed_letters[i]));
    }
    Ref row(reinterpret_cast<PyObject*>(make_row_type()));
    describe(tabular_layout, tabular_descriptors);
    Ref table(row ? reinterpret_cast<PyObject*>(make_type(&tabular_spec, bases.get())) : nullptr);
    if (!table) return -1;
    auto* type = reinterpret_cast<PyTypeObject*>(table.get());
    if (PyDict_SetItem(type->tp_dict, allowed_name, allowed.get()) < 0 ||
        PyDict_SetItem(type->tp_dict, envs_name, envs.get()) < 0 ||
        PyDict_SetItem(type->tp_dict, row_name, row.get()) < 0 ||
        order_namespace(type, {names.__init__, hline_name, endhead_name, row_name,
                               row_method, row_tex_name, names.dump, names.__doc__,
                               names.__module__}) < 0) {
        return -1;
    }
    own_allowed = allowed.release();
    own_envs = envs.release();
    row_type = reinterpret_cast<PyTypeObject*>(row.release());
    tabular_type = reinterpret_cast<PyTypeObject*>(table.release());
    if (row_guard.watch(row_type) < 0 ||
        tabular_guard.watch(tabular_type, &latex_environment_guard()) < 0) {
        return -1;
    }
    return register_layout(tabular_layout) < 0 ? -1 : register_layout(row_layout);
}

// LatexEnvironment.tabular(alignment, env='tabular'): slots 0 the
// environment, 1 alignment, 2 env; 3 the table, once entered.
PyObject* tabular_enter(SingleUse* self) {
    Ref cls = table_class();
    Ref context = cls ? context_of(self->slot(0)) : Ref();
    Ref child(context ? child_of(context.get()) : nullptr);
    Ref table;
    if (child && cls.get() == reinterpret_cast<PyObject*>(tabular_type) &&
        tabular_guard.holds() && fast_paths) {
        PyObject* alignment = self->slot(1);
        PyObject* env = self->slot(2);
        if (check_table(alignment, env) < 0) return nullptr;
        table = Ref(alloc_writer(tabular_type));
        if (!table || table_set(table.get(), alignment, child.get(), env) < 0) return nullptr;
    } else if (child) {
        table = call_kw(cls.get(), {self->slot(1), child.get(), self->slot(2)}, tabular_kwnames);
    }
    if (!table) return nullptr;
    self->keep(3, Py_NewRef(table.get()));
    return table.release();
}

// table.dump(main_context=self.context)
int tabular_close(SingleUse* self) {
    Ref context = context_of(self->slot(0));
    if (!context) return -1;
    PyObject* table = self->slot(3);
    if (calls_own(table, tabular_layout)) return dump_table(table, context.get());
    return call_method_kw(table, names.dump, {context.get()}, dump_kwnames) ? 0 : -1;
}

const Construct tabular_construct = {tabular_enter, tabular_close, nullptr};

}  // namespace

PyObject* environment_tabular(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    static const Signature signature{"tabular", {"alignment", "env"}, 1};
    PyObject* arg[2];
    if (signature.bind(args, nargs, kwnames, arg) < 0 || init_constants() < 0) return nullptr;
    return make_single_use(&tabular_construct, {self, arg[0], arg[1] ? arg[1] : tabular_env});
}

// longtable(alignment): self.tabular(alignment, env='longtable'), unentered.
PyObject* environment_longtable(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static const Signature signature{"longtable", {"alignment"}, 1};
    PyObject* alignment;
    if (signature.bind(args, nargs, kwnames, &alignment) < 0 || init_constants() < 0) {
        return nullptr;
    }
    return call_method_kw(self, tabular_method, {alignment, longtable_env}, longtable_kwnames)
        .release();
}

int exec_tabular(PyObject* module) {
    if (init_constants() < 0) return -1;
    if (import_names(module, "contextlib", {"contextmanager"}) < 0) return -1;
    Ref package(PyUnicode_FromString("pagewright"));
    Ref environment = package ? import_from(package.get(), environment_name) : Ref();
    if (!environment || bind(module, "LatexEnvironment", environment.get()) < 0 ||
        make_types() < 0 ||
        bind(module, "Tabular", reinterpret_cast<PyObject*>(tabular_type)) < 0) {
        return -1;
    }
    Py_XSETREF(tabular_module, Py_NewRef(module));
    if (tabular_global.watch(module, tabular_name, reinterpret_cast<PyObject*>(tabular_type)) < 0 ||
        registered_global.watch_entry(PyImport_GetModuleDict(), module_dotted, module) < 0) {
        return -1;
    }
    if (environment_global.watch(module, environment_name,
                             reinterpret_cast<PyObject*>(latex_environment_type())) < 0) return -1;
    return 0;
}

}  // namespace pw
