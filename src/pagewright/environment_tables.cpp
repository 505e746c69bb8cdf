// LatexEnvironment's writers of whole constructs in one call: a simple
// fixed-layout table from nested sequences, and a code listing.
#include "environment.h"
#include "modules.h"

#include "../core/args.h"
#include "../core/function.h"
#include "../core/module.h"
#include "../core/single_use.h"
#include "../core/write.h"

namespace pw {

namespace {

// The interned texts of this part, each with the name it is kept under.
#define LITERALS(X) \
    X(empty_text, "") \
    X(tabular_begin_format, "\\begin{tabular}{%s}\n") \
    X(label_column_spec, "|l||") \
    X(value_column_spec, "r|") \
    X(hline_text, "\\hline\n") \
    X(cell_separator, " & ") \
    X(row_end_text, " \\tabularnewline\n") \
    X(value_cell_format, "\\makebox[1cm]{%s}") \
    X(label_cell_format, "\\makebox[5cm][r]{%s}") \
    X(tabular_end_text, "\\end{tabular}\n") \
    X(language_format, "language=%s") \
    X(listings_package, "listings") \
    X(lstlisting_begin_format, "\\begin{lstlisting}[%s]\n") \
    X(lstlisting_end_text, "\\end{lstlisting}%\n")
PW_LITERALS(LITERALS)
#undef LITERALS

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;


// The entries joined by " & ", then " \\tabularnewline\n": two writes.
int write_table_row(Sink& body, PyObject* entries) {
    Ref row(PyUnicode_Join(cell_separator, entries));
    if (!row || body.write(row.get()) < 0) return -1;
    return body.write(row_end_text);
}

// "|l||" followed by one "r|" per column label.
Ref column_spec(Py_ssize_t columns) {
    Ref value_columns(PySequence_Repeat(value_column_spec, columns));
    if (!value_columns) return Ref();
    return Ref(PyUnicode_Concat(label_column_spec, value_columns.get()));
}

// Appends fmt % x to `entries` for each x of `values`, in iteration order.
int append_cells(PyObject* entries, PyObject* fmt, PyObject* values) {
    Ref iterator(PyObject_GetIter(values));
    if (!iterator) return -1;
    while (Ref value{PyIter_Next(iterator.get())}) {
        Ref cell = format(fmt, value.get());
        if (!cell || PyList_Append(entries, cell.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The header row: an empty first entry above the row labels, then one cell
// per column label; framed by one rule above and two below.
int write_table_header(Sink& body, PyObject* col_desc) {
    Ref entries(PyList_New(1));
    if (!entries) return -1;
    PyList_SET_ITEM(entries.get(), 0, Py_NewRef(empty_text));
    if (append_cells(entries.get(), value_cell_format, col_desc) < 0 ||
        write_table_row(body, entries.get()) < 0 || body.write(hline_text) < 0) {
        return -1;
    }
    return body.write(hline_text);
}

// Row `index`: its label, then the values of data[index], then a rule.
int write_table_data_row(Sink& body, PyObject* data, Py_ssize_t index, PyObject* label) {
    Ref label_cell = format(label_cell_format, label);
    Ref entries(label_cell ? PyList_New(1) : nullptr);
    Ref position(entries ? PyLong_FromSsize_t(index) : nullptr);
    Ref values(position ? PyObject_GetItem(data, position.get()) : nullptr);
    if (!values) return -1;
    PyList_SET_ITEM(entries.get(), 0, label_cell.release());
    if (append_cells(entries.get(), value_cell_format, values.get()) < 0 ||
        write_table_row(body, entries.get()) < 0) {
        return -1;
    }
    return body.write(hline_text);
}

int write_table_data_rows(Sink& body, PyObject* data, PyObject* row_desc) {
    Ref iterator(PyObject_GetIter(row_desc));
    if (!iterator) return -1;
    Py_ssize_t index = 0;
    while (Ref label{PyIter_Next(iterator.get())}) {
        if (write_table_data_row(body, data, index++, label.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

PyObject* environment_tabular_simple(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static const Signature signature{
        "tabular_simple", {"data", "row_desc", "col_desc", "write_col_desc"}, 3};
    PyObject* arg[4];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    PyObject *data = arg[0], *row_desc = arg[1], *col_desc = arg[2];
    Py_ssize_t columns = PyObject_Size(col_desc);
    Ref spec = columns < 0 ? Ref() : column_spec(columns);
    Ref begin = spec ? format(tabular_begin_format, spec.get()) : Ref();
    if (!begin) return nullptr;
    Sink body = Sink::body_of(self);
    if (!body || body.write(begin.get()) < 0 || body.write(hline_text) < 0) return nullptr;
    int with_header = arg[3] ? PyObject_IsTrue(arg[3]) : 1;
    if (with_header < 0 || (with_header && write_table_header(body, col_desc) < 0) ||
        write_table_data_rows(body, data, row_desc) < 0 || body.write(tabular_end_text) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// lstlisting(code, language=None): requests the listings package, then
// writes the code unchanged between the environment's lines. The opening
// line ends in a plain newline: a "%" there would join the first line of
// code to it, and the listing drops what shares its opening line.
PyObject* environment_lstlisting(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    static const Signature signature{"lstlisting", {"code", "language"}, 1};
    PyObject* arg[2];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    PyObject *code = arg[0], *language = arg[1];
    Ref options = language && language != Py_None ? format(language_format, language)
                                                   : Ref::borrow(empty_text);
    Ref begin = options ? format(lstlisting_begin_format, options.get()) : Ref();
    if (!begin || request_from(self, listings_package) < 0) return nullptr;
    Sink body = Sink::body_of(self);
    if (!body || body.write(begin.get()) < 0 || body.write(code) < 0 ||
        body.write(lstlisting_end_text) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

int init_environment_tables() { return intern_literals(literals); }

}  // namespace pw
