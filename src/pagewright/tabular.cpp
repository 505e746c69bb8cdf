// pagewright.tabular: tables with a checked column count, written row by
// row or cell by cell.
//
// A Tabular is an environment on a child context: everything written into
// it (rules, rows, any environment writer) collects in that child's body,
// and the table reaches the outer context in one piece when its block ends.
// Tabular and Tabular.Row keep their state in the instance dict, as Python
// classes would, so that `vars()` shows it and callers may change it; the
// hot paths read it straight from the dict, and rows are written straight
// into the table's native body.
#include "modules.h"

#include "../core/args.h"
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
newfunc row_new;  // Row's tp_new as created, to tell when it was replaced
// The latest pagewright.tabular module: the methods read `Tabular` and
// `LatexEnvironment` from it on every call, as module-level code would, so
// that rebinding those names is honoured.
PyObject* tabular_module;

// The entries of the instance dicts the library builds for tables: env,
// ncols, alignment, context.
constexpr Py_ssize_t table_env_at = 0;
constexpr Py_ssize_t table_ncols_at = 1;
constexpr Py_ssize_t table_alignment_at = 2;

PyObject* one;                    // 1
PyObject* zero;                   // 0
PyObject* tabular_name;           // "Tabular"
PyObject* row_name;               // "Row"
PyObject* environment_name;       // "LatexEnvironment"
PyObject* module_dotted;          // "pagewright.tabular"
PyObject* allowed_name;           // "allowed"
PyObject* envs_name;              // "envs"
PyObject* env_name;               // "env"
PyObject* ncols_name;             // "ncols"
PyObject* alignment_name;         // "alignment"
PyObject* col_name;               // "col"
PyObject* cols_name;              // "cols"
PyObject* append_name;            // "append"
PyObject* index_name;             // "index"
PyObject* tabular_method;         // "tabular"
PyObject* hline_name;             // "hline"
PyObject* endhead_name;           // "endhead"
PyObject* row_method;             // "row"
PyObject* row_tex_name;           // "row_tex"
PyObject* tabular_env;            // "tabular"
PyObject* longtable_env;          // "longtable"
PyObject* open_brace;             // "{"
PyObject* cell_separator;         // " & "
PyObject* empty;                  // ""
PyObject* row_end;                // "\\\\ \n "
PyObject* hline_text;             // "\\hline\n"
PyObject* endhead_text;           // "\\endhead\n"
PyObject* begin_format;           // "\\begin{%s}{%s}\n"
PyObject* end_format;             // "\\end{%s}\n"
PyObject* begin_opening;          // "\\begin{"
PyObject* end_opening;            // "\\end{"
PyObject* brace_pair;             // "}{"
PyObject* brace_line_end;         // "}\n"
PyObject* multicolumn_format;     // "\\multicolumn{%s}{%s}{%s}"
PyObject* too_many_columns;       // "Too many columns"
PyObject* multicolumn_overflow;   // "Too many columns (ncols=%d,n=%d,cur=%d)"
PyObject* bad_row_width;          // "Bad number of columns (found %s, required %s)"
PyObject* bad_row_tex_width;      // "Got %d cols instead of %d expected."
PyObject* tabular_kwnames;        // ("context", "env")
PyObject* longtable_kwnames;      // ("env",)
PyObject* dump_kwnames;           // ("main_context",)

const Literal literals[] = {
    {&tabular_name, "Tabular"},
    {&row_name, "Row"},
    {&environment_name, "LatexEnvironment"},
    {&module_dotted, "pagewright.tabular"},
    {&allowed_name, "allowed"},
    {&envs_name, "envs"},
    {&env_name, "env"},
    {&ncols_name, "ncols"},
    {&alignment_name, "alignment"},
    {&col_name, "col"},
    {&cols_name, "cols"},
    {&append_name, "append"},
    {&index_name, "index"},
    {&tabular_method, "tabular"},
    {&hline_name, "hline"},
    {&endhead_name, "endhead"},
    {&row_method, "row"},
    {&row_tex_name, "row_tex"},
    {&tabular_env, "tabular"},
    {&longtable_env, "longtable"},
    {&open_brace, "{"},
    {&cell_separator, " & "},
    {&empty, ""},
    {&row_end, "\\\\ \n "},
    {&hline_text, "\\hline\n"},
    {&endhead_text, "\\endhead\n"},
    {&begin_format, "\\begin{%s}{%s}\n"},
    {&end_format, "\\end{%s}\n"},
    {&begin_opening, "\\begin{"},
    {&end_opening, "\\end{"},
    {&brace_pair, "}{"},
    {&brace_line_end, "}\n"},
    {&multicolumn_format, "\\multicolumn{%s}{%s}{%s}"},
    {&too_many_columns, "Too many columns"},
    {&multicolumn_overflow, "Too many columns (ncols=%d,n=%d,cur=%d)"},
    {&bad_row_width, "Bad number of columns (found %s, required %s)"},
    {&bad_row_tex_width, "Got %d cols instead of %d expected."},
};

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
    zero = PyLong_FromLong(0);
    return one && zero ? 0 : -1;
}

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// ------------------------------------------------------------------ helpers

Ref global(PyObject* name) { return module_global(tabular_module, name); }

// Whether the module's global `name` is still `value`.
bool module_holds(PyObject* name, PyObject* value) {
    PyObject* module = tabular_module;
    return module && PyDict_GetItemWithError(PyModule_GetDict(module), name) == value;
}

// `from .tabular import Tabular`
Ref table_class() { return import_from_loaded(tabular_module, module_dotted, tabular_name); }

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

// list.append(value), directly for an exact list.
int append_item(PyObject* list, PyObject* value) {
    if (PyList_CheckExact(list)) return PyList_Append(list, value);
    Ref result = call_method(list, append_name, {value});
    return result ? 0 : -1;
}

bool all_str(PyObject* const* items, Py_ssize_t count) {
    for (Py_ssize_t i = 0; i < count; i++) {
        if (!PyUnicode_Check(items[i])) return false;
    }
    return true;
}

// " & ".join(cells), then the row end: the two writes of one table row.
// The cells are `cells` (any iterable), or when that is NULL the `count`
// call arguments at `items`. Cells that are all str in a list, a tuple or
// the arguments go straight into a native body.
int write_row(PyObject* table, PyObject* cells, PyObject* const* items = nullptr,
              Py_ssize_t count = 0) {
    Ref context = context_of(table);
    if (!context) return -1;
    // Read after the lookup, which may have run Python code that changed the list.
    bool listed = !cells || PyList_CheckExact(cells) || PyTuple_CheckExact(cells);
    if (cells && listed) {
        items = PySequence_Fast_ITEMS(cells);
        count = PySequence_Fast_GET_SIZE(cells);
    }
    TextBuffer* buffer =
        listed && all_str(items, count) ? native_buffer(context.get(), names.f) : nullptr;
    if (buffer) return buffer->append_joined(items, count, cell_separator, row_end);
    Sink body = Sink::of(context.get(), names.f);
    if (!body) return -1;
    Ref made;
    if (!cells) {
        made = Ref(PyTuple_New(count));
        if (!made) return -1;
        for (Py_ssize_t i = 0; i < count; i++) {
            PyTuple_SET_ITEM(made.get(), i, Py_NewRef(items[i]));
        }
        cells = made.get();
    }
    Ref joined(PyUnicode_Join(cell_separator, cells));
    if (!joined || body.write(joined.get()) < 0) return -1;
    return body.write(row_end);
}

// a == b for exact ints, compared as C integers when they fit.
int same_int(PyObject* a, PyObject* b) {
    int overflow_a, overflow_b;
    long long x = PyLong_AsLongLongAndOverflow(a, &overflow_a);
    long long y = PyLong_AsLongLongAndOverflow(b, &overflow_b);
    if (overflow_a || overflow_b) return PyObject_RichCompareBool(a, b, Py_EQ);
    return x == y;
}

// n <op> limit, with a C comparison when the limit is an exact int.
int compare_count(Py_ssize_t n, PyObject* limit, int op) {
    if (PyLong_CheckExact(limit)) {
        int overflow;
        long long value = PyLong_AsLongLongAndOverflow(limit, &overflow);
        if (!overflow && !(value == -1 && PyErr_Occurred())) {
            return op == Py_GT ? n > value : n == value;
        }
        PyErr_Clear();
    }
    Ref count(PyLong_FromSsize_t(n));
    return count ? compare(count.get(), limit, op) : -1;
}

// ---------------------------------------------------------------- Tabular.Row

// A row made by the library keeps ncols, col, cols and context in native
// fields, in that order, until Python code needs its dict.
enum RowField { row_ncols, row_col, row_cols, row_context };
TypeGuard row_guard;
const NativeSpec row_native = {
    &row_type, &row_guard, 4, {&ncols_name, &col_name, &cols_name, &names.context},
    nullptr, nullptr,
};

int row_set(PyObject* self, PyObject* ncols, PyObject* context) {
    Ref cols(PyList_New(0));
    if (!cols) return -1;
    Ref zero(PyLong_FromLong(0));
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

// Row(ncols, context). Our own Row, with its own constructor, is built
// directly: no argument tuple to make and parse on every row block.
Ref new_row(PyObject* cls, PyObject* ncols, PyObject* context) {
    if (cls == reinterpret_cast<PyObject*>(row_type) && fast_paths && row_guard.holds()) {
        Ref cols(PyList_New(0));
        Ref row(cols ? row_type->tp_alloc(row_type, 0) : nullptr);
        if (!row) return Ref();
        set_native(row.get(), row_native,
                   {Py_NewRef(ncols), Py_NewRef(zero), cols.release(), Py_NewRef(context)});
        return row;
    }
    bool plain = cls == reinterpret_cast<PyObject*>(row_type) &&
                 row_type->tp_new == row_new && row_type->tp_init == row_init;
    if (!plain) return call(cls, {ncols, context});
    Ref row(row_type->tp_alloc(row_type, 0));
    if (!row || row_set(row.get(), ncols, context) < 0) return Ref();
    return row;
}

// Refuses one more cell in a full row.
int check_room(PyObject* row) {
    PyObject** fields = native_fields(row, row_native);
    if (fields && PyLong_CheckExact(fields[row_col]) && PyLong_CheckExact(fields[row_ncols])) {
        int full = same_int(fields[row_col], fields[row_ncols]);
        if (full != 0) return full < 0 ? -1 : fail(too_many_columns);
        return 0;
    }
    Ref col = getattr(row, col_name);
    Ref ncols = col ? getattr(row, ncols_name) : Ref();
    if (!ncols) return -1;
    int full = compare(col.get(), ncols.get(), Py_EQ);
    if (full != 0) return full < 0 ? -1 : fail(too_many_columns);
    return 0;
}

// self.cols.append(text); self.col += width
int add_cell(PyObject* row, PyObject* text, PyObject* width) {
    Ref cols = getattr(row, cols_name);
    if (!cols || append_item(cols.get(), text) < 0) return -1;
    Ref col = getattr(row, col_name);
    Ref next(col ? PyNumber_InPlaceAdd(col.get(), width) : nullptr);
    if (!next) return -1;
    return PyObject_SetAttr(row, col_name, next.get());
}

// add_cell(row, text, 1), after check_room when `check`, straight on the
// fields of a native row that holds an exact int column count and position
// and an exact list of cells: 1 when done, 0 when the generic path must run,
// -1 on error. No Python code runs in between: the fields stay valid.
int add_cell_directly(PyObject* row, PyObject* text, bool check) {
    PyObject** fields = native_fields(row, row_native);
    if (!fields || !PyLong_CheckExact(fields[row_col]) || !PyLong_CheckExact(fields[row_ncols]) ||
        !PyList_CheckExact(fields[row_cols])) {
        return 0;
    }
    PyObject* col = fields[row_col];
    int full = check ? same_int(col, fields[row_ncols]) : 0;
    if (full != 0) return full < 0 ? -1 : fail(too_many_columns);
    if (PyList_Append(fields[row_cols], text) < 0) return -1;
    PyObject* next = PyNumber_Add(col, one);
    if (!next) return -1;
    set_field(row, row_col, next);
    return 1;
}

PyObject* row_cell_tex(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    static const Signature signature{"cell_tex", {"tex"}, 0};
    PyObject* tex;
    if (signature.bind(args, nargs, kwnames, &tex) < 0) return nullptr;
    PyObject* text = tex ? tex : empty;
    int done = add_cell_directly(self, text, true);
    if (done < 0 || (!done && (check_room(self) < 0 || add_cell(self, text, one) < 0))) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// cell slots: 0 the row; 1 the cell's environment, once entered.
PyObject* cell_enter(SingleUse* self) {
    PyObject* row = self->slot(0);
    if (check_room(row) < 0) return nullptr;
    Ref context = native_attr(row, row_native, row_context);
    Ref child(context ? child_of(context.get()) : nullptr);
    Ref cls = child ? global(environment_name) : Ref();
    if (!cls) return nullptr;
    Ref cell(cls.get() == reinterpret_cast<PyObject*>(latex_environment_type())
                 ? new_environment(child.get())
                 : call(cls.get(), {child.get()}).release());
    if (!cell) return nullptr;
    self->keep(1, Py_NewRef(cell.get()));
    return cell.release();
}

// The cell's preamble goes up to the table's context, its body becomes one
// entry of the row.
int cell_close(SingleUse* self) {
    PyObject* row = self->slot(0);
    Ref cell_context = context_of(self->slot(1));
    if (!cell_context) return -1;
    // A native preamble and a native row are read without running Python
    // code: the text is handed over natively.
    PyObject** fields = native_fields(row, row_native);
    if (fields && native_buffer(cell_context.get(), names.preamble)) {
        Ref outer = Ref::borrow(fields[row_context]);
        if (copy_buffer(cell_context.get(), outer.get(), names.preamble) < 0) return -1;
    } else {
        Ref preamble = value_of(cell_context.get(), names.preamble);
        Ref outer = preamble ? native_attr(row, row_native, row_context) : Ref();
        if (!outer || append_to(outer.get(), names.preamble, preamble.get()) < 0) return -1;
    }
    Ref body = value_of(cell_context.get(), names.f);
    if (!body) return -1;
    int done = add_cell_directly(row, body.get(), false);
    return done ? (done < 0 ? -1 : 0) : add_cell(row, body.get(), one);
}

const Construct cell_construct = {cell_enter, cell_close, nullptr};

PyObject* row_cell(PyObject* self, PyObject*) {
    return make_single_use(&cell_construct, {self});
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
        Ref cur = getattr(self, col_name);
        if (cur) fail_formatted(multicolumn_overflow, {ncols.get(), n, cur.get()});
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
    {},
};

PyType_Slot row_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(row_init)},
    {Py_tp_doc, const_cast<char*>("Row(ncols, context)\n--\n\n")},
    {Py_tp_methods, row_methods},
    PW_NATIVE_SLOTS,
    {Py_tp_traverse, reinterpret_cast<void*>(native_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(native_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_cleared<native_clear>)},
    {0, nullptr},
};

PyType_Spec row_spec = {
    "pagewright.tabular.Row", sizeof(Native), 0, instance_flags, row_slots,
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

// The constructor's checks: a list, of accepted column letters, and an
// accepted environment name; both sets are read from the module's Tabular.
int check_table(PyObject* alignment, PyObject* env) {
    if (!PyList_Check(alignment)) {
        PyErr_SetNone(PyExc_AssertionError);
        return -1;
    }
    Ref cls = global(tabular_name);
    if (!cls) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(alignment); i++) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(alignment, i));
        Ref letter = column_letter(entry.get());
        Ref allowed = letter ? getattr(cls.get(), allowed_name) : Ref();
        if (!allowed) return -1;
        int accepted = PySequence_Contains(allowed.get(), letter.get());
        if (accepted <= 0) {
            if (accepted == 0) PyErr_SetObject(PyExc_AssertionError, alignment);
            return -1;
        }
    }
    Ref envs = getattr(cls.get(), envs_name);
    if (!envs) return -1;
    int known = PySequence_Contains(envs.get(), env);
    if (known <= 0) {
        if (known == 0) PyErr_SetNone(PyExc_AssertionError);
        return -1;
    }
    return 0;
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
    Ref ncols(PyLong_FromSsize_t(PyList_GET_SIZE(alignment)));
    if (!ncols) return -1;
    if (PyObject_SetAttr(self, env_name, env) < 0 ||
        PyObject_SetAttr(self, ncols_name, ncols.get()) < 0 ||
        PyObject_SetAttr(self, alignment_name, alignment) < 0) {
        return -1;
    }
    return PyObject_SetAttr(self, names.context, context);
}

// Tabular.Row, through the module's name Tabular.
Ref tabular_row_class() {
    Ref cls = global(tabular_name);
    if (!cls) return Ref();
    return getattr(cls.get(), row_name);
}

// row slots: 0 the table; 1 the row, once entered.
PyObject* row_enter(SingleUse* self) {
    PyObject* table = self->slot(0);
    bool own_row = module_holds(tabular_name, reinterpret_cast<PyObject*>(tabular_type)) &&
                   builds_directly(tabular_type);
    Ref row_class = own_row ? Ref::borrow(reinterpret_cast<PyObject*>(row_type))
                            : tabular_row_class();
    Ref ncols = row_class ? instance_attr(table, ncols_name, table_ncols_at) : Ref();
    Ref context = ncols ? context_of(table) : Ref();
    Ref row = context ? new_row(row_class.get(), ncols.get(), context.get()) : Ref();
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

int row_close(SingleUse* self) {
    PyObject* table = self->slot(0);
    PyObject* row = self->slot(1);
    Ref cols = native_attr(row, row_native, row_cols);
    Py_ssize_t count = cols ? PyObject_Size(cols.get()) : -1;
    Ref ncols = count >= 0 ? instance_attr(table, ncols_name, table_ncols_at) : Ref();
    if (!ncols || check_row_width(row, count, ncols.get()) < 0) return -1;
    return write_row(table, cols.get());
}

const Construct row_construct = {row_enter, row_close, nullptr};

PyObject* tabular_row(PyObject* self, PyObject*) {
    return make_single_use(&row_construct, {self});
}

PyObject* tabular_row_tex(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        PyErr_Format(PyExc_TypeError, "row_tex() got an unexpected keyword argument '%U'",
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    Ref ncols = instance_attr(self, ncols_name, table_ncols_at);
    if (!ncols) return nullptr;
    int too_many = compare_count(nargs, ncols.get(), Py_GT);
    if (too_many != 0) {
        if (too_many > 0) {
            Ref count(PyLong_FromSsize_t(nargs));
            if (count) fail_formatted(bad_row_tex_width, {count.get(), ncols.get()});
        }
        return nullptr;
    }
    if (write_row(self, nullptr, args, nargs) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The table in one piece: its preamble to the outer preamble, then the
// begin line, the body and the end line to the outer body.
int dump_table(PyObject* self, PyObject* main_context) {
    Ref context = context_of(self);
    if (!context || copy_buffer(context.get(), main_context, names.preamble) < 0) return -1;
    Ref alignment = instance_attr(self, alignment_name, table_alignment_at);
    Ref columns(alignment ? PyUnicode_Join(empty, alignment.get()) : nullptr);
    Ref env = columns ? instance_attr(self, env_name, table_env_at) : Ref();
    if (!env || append_line(main_context,
                            {begin_opening, env.get(), brace_pair, columns.get(), brace_line_end},
                            begin_format, {env.get(), columns.get()}) < 0) {
        return -1;
    }
    Ref table_context = context_of(self);
    if (!table_context || copy_buffer(table_context.get(), main_context, names.f) < 0) return -1;
    Ref end_env = instance_attr(self, env_name, table_env_at);
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
    // The instance dict comes from the base; the GC slots must be named
    // again, as a type spec with the GC flag has to carry them.
    {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(instance_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc)},
    {0, nullptr},
};

PyType_Spec tabular_spec = {
    "pagewright.tabular.Tabular", sizeof(Instance), 0, instance_flags, tabular_slots,
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
    PyTypeObject* type = make_type(&row_spec, nullptr);
    if (type) row_new = type->tp_new;
    Ref qualname(type ? PyUnicode_FromString("Tabular.Row") : nullptr);
    if (!qualname || hide_attribute_slots(type) < 0 ||
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
    Ref allowed(Py_BuildValue("[ssss]", "c", "r", "l", "p"));
    Ref envs(Py_BuildValue("[ss]", "tabular", "longtable"));
    Ref bases(PyTuple_Pack(1, base));
    if (!allowed || !envs || !bases) return -1;
    Ref row(reinterpret_cast<PyObject*>(make_row_type()));
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
    row_type = reinterpret_cast<PyTypeObject*>(row.release());
    tabular_type = reinterpret_cast<PyTypeObject*>(table.release());
    if (row_guard.watch(row_type) < 0) return -1;
    return watch_instance_type(tabular_type, 3);
}

// LatexEnvironment.tabular(alignment, env='tabular'): slots 0 the
// environment, 1 alignment, 2 env; 3 the table, once entered.
PyObject* tabular_enter(SingleUse* self) {
    Ref cls = table_class();
    Ref context = cls ? context_of(self->slot(0)) : Ref();
    Ref child(context ? child_of(context.get()) : nullptr);
    Ref table;
    if (child && cls.get() == reinterpret_cast<PyObject*>(tabular_type) &&
        builds_directly(tabular_type)) {
        PyObject* alignment = self->slot(1);
        PyObject* env = self->slot(2);
        if (check_table(alignment, env) < 0) return nullptr;
        Ref ncols(PyLong_FromSsize_t(PyList_GET_SIZE(alignment)));
        if (!ncols) return nullptr;
        table = Ref(new_instance(tabular_type, {env_name, env, ncols_name, ncols.get(),
                                                alignment_name, alignment, names.context,
                                                child.get()}));
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
    int own = calls_own(table, tabular_type, names.dump);
    if (own) return own < 0 ? -1 : dump_table(table, context.get());
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
    Py_XSETREF(tabular_module, Py_NewRef(module));
    if (import_names(module, "contextlib", {"contextmanager"}) < 0) return -1;
    Ref package(PyUnicode_FromString("pagewright"));
    Ref environment = package ? import_from(package.get(), environment_name) : Ref();
    if (!environment || bind(module, "LatexEnvironment", environment.get()) < 0 ||
        make_types() < 0) {
        return -1;
    }
    return bind(module, "Tabular", reinterpret_cast<PyObject*>(tabular_type));
}

}  // namespace pw
