// pagewright.environment: LatexEnvironment, the writer through which callers
// put LaTeX text into a context's body buffer, with its one-shot writers,
// boxes, simple tables, listings, graphics and attachments.
//
// An environment holds nothing but its `context`, and every writer appends
// to `self.context.f`, looked up on each call. LatexEnvironment and the
// library's classes derived from it share one layout of native fields
// (see Writer), so an object may move between them by __class__
// assignment as instances of Python classes can.
#include "context.h"
#include "modules.h"

#include "../core/args.h"
#include "../core/function.h"
#include "../core/globals.h"
#include "../core/instance.h"
#include "../core/module.h"
#include "../core/single_use.h"
#include "../core/write.h"

namespace pw {

namespace {

PyTypeObject* environment_type;
PyObject* environment_module;  // the latest pagewright.environment
Global environment_global;     // environment.LatexEnvironment
Global escape_global;          // environment.latex_escape
PyObject* own_escape;          // pagewright.utils.latex_escape

// The module's interned texts, each with the name it is kept under.
#define LITERALS(X) \
    X(hfill_text, "\\hfill\\ \n") \
    X(vfill_text, "\\vfill\\ \n") \
    X(parbreak_text, "\\par%\n") \
    X(linebreak_text, "\\\\") \
    X(pagebreak_text, "\\pagebreak\\ \n") \
    X(medskip_text, "\\medskip%%\n") \
    X(footnotesize_text, "\\footnotesize%%\n") \
    X(hspace_format, "\\hspace{%s}") \
    X(vspace_format, "\\vspace{%s}") \
    X(input_format, "\\input{%s}\n") \
    X(color_format, "\\color[rgb]{%s,%s,%s}") \
    X(rule_format, "{\\color{%s}\\rule{%s}{%s}}%%\n") \
    X(gray, "gray") \
    X(key_value_format, "%s=%s") \
    X(comma, ",") \
    X(params_keyword, "params") \
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
    X(lstlisting_end_text, "\\end{lstlisting}%\n") \
    X(includegraphics_format, "\\includegraphics[%s]{%s}%%\n") \
    X(textattachfile_format, "\\textattachfile{%s}{%s}%%\n") \
    X(file_name_format, "%s%s") \
    X(dot, ".") \
    X(underscore, "_") \
    X(slash, "/") \
    X(colon, ":") \
    X(jpg_suffix, ".jpg") \
    X(txt_suffix, ".txt") \
    X(mime_jpg, "image/jpeg") \
    X(mime_plain, "text/plain") \
    X(make_options_string_name, "make_options_string") \
    X(save_graphics_data_name, "save_graphics_data") \
    X(guess_extension_name, "guess_extension") \
    X(join_name, "join") \
    X(environment_name, "LatexEnvironment") \
    X(latex_escape_name, "latex_escape") \
    X(mimetypes_name, "mimetypes") \
    X(os_name, "os") \
    X(path_name, "path") \
    X(minipage_opening, "\\begin{minipage}[%s]{%s}%%\n") \
    X(minipage_closing, "\\end{minipage}%\n") \
    X(fbox_opening, "{\\setlength\\fboxsep{%s}%%\n") \
    X(fbox_frame, "\\fbox{%\n") \
    X(fbox_closing, "}% fbox\n") \
    X(setlength_closing, "}% setlength\n") \
    X(resizebox_opening, "\\resizebox{%s}{!}{%%\n") \
    X(resizebox_closing, "}%resizebox\n") \
    X(mbox_opening, "\\mbox[%s][%s]{%%\n") \
    X(mbox_closing, "}%\n") \
    X(spacer_above, "\\vspace{0pt}\\par%\n") \
    X(spacer_below, "\\par\\vspace{0pt}%\n") \
    X(zero_pt, "0pt") \
    X(one_pt, "1pt") \
    X(bottom, "b") \
    X(centre, "c") \
    X(fbox_name, "fbox") \
    X(tightbox_name, "tightbox") \
    X(minipage_name, "minipage") \
    X(minipage_before, "\\begin{minipage}[") \
    X(minipage_between, "]{") \
    X(brace_line_end, "}%\n") \
    X(fbox_before, "{\\setlength\\fboxsep{") \
    X(resizebox_before, "\\resizebox{") \
    X(resizebox_after, "}{!}{%\n") \
    X(mbox_before, "\\mbox[") \
    X(mbox_between, "][") \
    X(mbox_after, "]{%\n")
PW_LITERALS(LITERALS)
#undef LITERALS



constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// self.context.f.write(fmt % operand): the buffer is looked up before the
// text is built, and an error in either leaves the buffer unchanged.
PyObject* append_formatted(PyObject* self, PyObject* fmt, PyObject* operand) {
    Sink body = Sink::body_of(self);
    if (!body) return nullptr;
    Ref text = format(fmt, operand);
    if (!text || body.write(text.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* append_formatted_tuple(PyObject* self, PyObject* fmt,
                                 std::initializer_list<PyObject*> values) {
    Sink body = Sink::body_of(self);
    if (!body) return nullptr;
    Ref text = format_tuple(fmt, values);
    if (!text || body.write(text.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ writers

TypeGuard environment_guard;
const Layout environment_layout = {
    &environment_type, &environment_guard, 1, {&names.context}, 0,
    0, nullptr, nullptr, nullptr,
};
Descriptors environment_descriptors;

// Plain environments come and go with every cell and box: a few freed ones
// are reused.
Spares<16> spare_environments;

}  // namespace

int writer_traverse(PyObject* self, visitproc visit, void* arg) {
    return native_traverse(self, visit, arg);
}

int writer_clear(PyObject* self) { return native_clear(self); }

namespace {

void finish_writer(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (as_native(self)->weakrefs) PyObject_ClearWeakRefs(self);
    native_clear(self);
    if (type != environment_type || !spare_environments.keep(self)) type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace

void writer_dealloc(PyObject* self) {
    Native* n = as_native(self);
    PyTypeObject* type = Py_TYPE(self);
    // A plain environment as the library made it: its context's own
    // deallocation guards against chains.
    if (type == environment_type && n->layout == &environment_layout && !n->dict &&
        !n->weakrefs && (!n->fields[0] || Py_IS_TYPE(n->fields[0], latex_context_type()))) {
        PyObject_GC_UnTrack(self);
        PyObject* context = n->fields[0];
        n->fields[0] = nullptr;
        Py_XDECREF(context);
        if (!spare_environments.keep(self)) type->tp_free(self);
        Py_DECREF(type);
        return;
    }
    free_guarded(self, writer_dealloc, holds_chain(self), finish_writer);
}

// A spare was left empty by native_clear: no attributes and no dict, its
// weak references cleared.
PyObject* alloc_writer(PyTypeObject* type) {
    if (type == environment_type) {
        if (PyObject* spare = spare_environments.take_unset(type)) {
            PyObject_GC_Track(spare);
            return spare;
        }
    }
    return type->tp_alloc(type, 0);
}

namespace {

int environment_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"context", nullptr};
    PyObject* context;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:LatexEnvironment",
                                     const_cast<char**>(keywords), &context)) {
        return -1;
    }
    if (may_go_native(self, environment_layout)) {
        set_native(self, environment_layout, {Py_NewRef(context)});
        return cache_methods(self);
    }
    return PyObject_SetAttr(self, names.context, context);
}

// Writers of one formatted argument: hspace(size), vspace(size),
// input(filename); the argument itself is the operand of `%`.
template <PyObject** fmt, const Signature* signature>
PyObject* write_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value;
    if (signature->bind(args, nargs, kwnames, &value) < 0) return nullptr;
    return append_formatted(self, *fmt, value);
}

constexpr Signature hspace_signature{"hspace", {"size"}, 1};
constexpr Signature vspace_signature{"vspace", {"size"}, 1};
constexpr Signature input_signature{"input", {"filename"}, 1};

PyObject* color(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"color", {"r", "g", "b"}, 3};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    return append_formatted_tuple(self, color_format, {arg[0], arg[1], arg[2]});
}

PyObject* rule(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"rule", {"width", "height", "color"}, 2};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    return append_formatted_tuple(self, rule_format, {arg[2] ? arg[2] : gray, arg[0], arg[1]});
}

PyObject* text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"text", {"t"}, 1};
    PyObject* t;
    if (signature.bind(args, nargs, kwnames, &t) < 0) return nullptr;
    bool own = escape_global.holds();
    // A native environment on a native context: escaped straight into the body.
    PyObject* native = own && PyUnicode_CheckExact(t) ? native_context(self) : nullptr;
    if (TextBuffer* buffer = native ? context_buffer(native, f_field) : nullptr) {
        if (escape_into(*buffer, t) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Ref context = context_of(self);
    if (!context) return nullptr;
    Sink body = Sink::of(context.get(), names.f);
    if (!body) return nullptr;
    Ref escaped(own ? escape_latex(t)
                    : call_global(environment_module, latex_escape_name, {t}).release());
    if (!escaped || body.write(escaped.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* tex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"tex", {"tex"}, 1};
    PyObject* raw;
    if (signature.bind(args, nargs, kwnames, &raw) < 0) return nullptr;
    return append_text(self, raw);
}

// use_package(name, options=None): forwards to the context with `options`
// when it is true, else with a new empty dict. A function of our own type,
// so that it carries its annotations.
PyObject* use_package(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"use_package", {"self", "name", "options"}, 2};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    Ref context = context_of(arg[0]);
    if (!context) return nullptr;
    int truth = arg[2] ? PyObject_IsTrue(arg[2]) : 0;
    if (truth < 0 || request_package(context.get(), arg[1], truth ? arg[2] : nullptr) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

const FunctionDef use_package_def = {
    "use_package", "LatexEnvironment.use_package", use_package,
    "($self, name, options=None)", nullptr,
};

// ------------------------------------------- simple tables and code listings

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

PyObject* tabular_simple(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
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
PyObject* lstlisting(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
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

// ---------------------------------------------------------- boxes and minipages

// A box is a construct of its own: its content collects in a plain
// LatexEnvironment on a child context, and on a normal exit the child's
// preamble and the wrapped body are appended to the calling environment's
// context. The compositions (tightbox, a framed minipage, minipage_bottom)
// open other boxes through method lookup, so overrides are honoured, and
// unwind them as nested with statements would.

// The slots of a box construct.
enum BoxSlot : int {
    owner = 0,           // the environment the box is written into
    first_operand = 1,   // the arguments the opening text is formatted with
    second_operand = 2,
    writer = 3,          // the environment handed to the block (minipage's frame flag before)
    outer_exit = 4,      // bound __exit__ of the boxes a composition entered
    inner_exit = 5,
};

// The LaTeX around a primary box's content.
struct BoxTexts {
    PyObject** opening;         // formatted with one operand or the pair
    bool pair;
    PyObject** second_opening;  // as is; may be null
    PyObject** closings[2];     // as is, in order; the second may be null
    // The opening's text around its placeholders: before the first, between
    // the two (for a pair), after the last.
    PyObject** pieces[3];
};

const BoxTexts minipage_texts = {&minipage_opening, true, nullptr, {&minipage_closing, nullptr},
                                 {&minipage_before, &minipage_between, &brace_line_end}};
const BoxTexts fbox_texts = {&fbox_opening, false, &fbox_frame,
                             {&fbox_closing, &setlength_closing},
                             {&fbox_before, nullptr, &brace_line_end}};
const BoxTexts resizebox_texts = {&resizebox_opening, false, nullptr,
                                  {&resizebox_closing, nullptr},
                                  {&resizebox_before, nullptr, &resizebox_after}};
const BoxTexts mbox_texts = {&mbox_opening, true, nullptr, {&mbox_closing, nullptr},
                             {&mbox_before, &mbox_between, &mbox_after}};

// LatexEnvironment(self.context.child()), LatexEnvironment being the
// module's global.
PyObject* enter_box(SingleUse* self) {
    Ref context = context_of(self->slot(owner));
    Ref child(context ? child_of(context.get()) : nullptr);
    Ref env(child ? environment_from(environment_module, environment_global, child.get())
                  : nullptr);
    if (!env) return nullptr;
    self->keep(writer, Py_NewRef(env.get()));
    return env.release();
}

Ref opening_text(SingleUse* self, const BoxTexts& texts) {
    if (texts.pair) {
        return format_tuple(*texts.opening, {self->slot(first_operand), self->slot(second_operand)});
    }
    return format(*texts.opening, self->slot(first_operand));
}

// The opening (and second opening) into a native buffer, built from the
// pieces of its format when the operands are exact strs, whose "%s" is the
// str itself; 0 when they are not and the text must be formatted.
int append_opening(Sink& body, SingleUse* self, const BoxTexts& texts) {
    PyObject* first = self->slot(first_operand);
    PyObject* second = self->slot(second_operand);
    if (!PyUnicode_CheckExact(first) || (texts.pair && !PyUnicode_CheckExact(second))) return 0;
    TextBuffer* buffer = body.native();
    if (!buffer) return 0;
    Pieces line;
    line.add(*texts.pieces[0]);
    line.add(first);
    if (texts.pair) {
        line.add(*texts.pieces[1]);
        line.add(second);
    }
    line.add(*texts.pieces[2]);
    if (texts.second_opening) line.add(*texts.second_opening);
    return line.append_to(*buffer) < 0 ? -1 : 1;
}

// The child's preamble to the owner's preamble, then the opening, the
// child's body and the closing to the owner's body, one write each.
int write_box(SingleUse* self, const BoxTexts& texts) {
    Ref context = context_of(self->slot(owner));
    Ref child = context ? context_of(self->slot(writer)) : Ref();
    if (!child || copy_buffer(child.get(), context.get(), names.preamble) < 0) return -1;
    Sink body = Sink::of(context.get(), names.f);
    int appended = body ? append_opening(body, self, texts) : -1;
    if (appended < 0) return -1;
    if (!appended) {
        Ref opening = opening_text(self, texts);
        if (!opening || body.write(opening.get()) < 0) return -1;
        if (texts.second_opening && body.write(*texts.second_opening) < 0) return -1;
    }
    if (body.copy_from(child.get(), names.f) < 0) return -1;
    for (PyObject** closing : texts.closings) {
        if (closing && body.write(*closing) < 0) return -1;
    }
    return 0;
}

template <const BoxTexts& texts>
int close_box(SingleUse* self) {
    return write_box(self, texts);
}

// type(obj).name bound to obj: the lookup a with statement makes.
Ref special_method(PyObject* obj, PyObject* name) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref attr = getattr(type, name);
    if (!attr) return Ref();
    descrgetfunc bind_to = Py_TYPE(attr.get())->tp_descr_get;
    if (!bind_to) return attr;
    return Ref(bind_to(attr.get(), obj, type));
}

// Enters `manager` as a with statement does, keeping its bound __exit__ in
// `exit_slot`; returns what __enter__ returns.
PyObject* enter_manager(SingleUse* self, int exit_slot, PyObject* manager) {
    Ref enter = special_method(manager, names.__enter__);
    Ref exit = enter ? special_method(manager, names.__exit__) : Ref();
    Ref target = exit ? call(enter.get(), {}) : Ref();
    if (!target) return nullptr;
    self->keep(exit_slot, exit.release());
    return target.release();
}

// The exception propagating through the entered boxes; empty when none is.
struct Propagating {
    Ref type, value, traceback;
};

Propagating fetch_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    return {Ref(type), Ref(value), Ref(traceback)};
}

PyObject* or_none(const Ref& ref) { return ref ? ref.get() : Py_None; }

// Leaves the entered boxes innermost first, as nested with statements
// unwind: each __exit__ gets the exception still propagating (or three
// Nones); one whose result is true swallows it, and one that raises
// replaces it.
void leave_boxes(SingleUse* self, Propagating& error) {
    for (int slot : {inner_exit, outer_exit}) {
        Ref exit = Ref::borrow(self->slot(slot));
        if (!exit) continue;
        self->keep(slot, nullptr);
        Ref result = call(exit.get(), {or_none(error.type), or_none(error.value),
                                       or_none(error.traceback)});
        if (!result) {
            error = fetch_error();
            continue;
        }
        int swallowed = error.type ? PyObject_IsTrue(result.get()) : 0;
        if (swallowed < 0) {
            error = fetch_error();
        } else if (swallowed) {
            error = {};
        }
    }
}

// Leaves the entered boxes with `error` and reports what comes out of them.
int finish_boxes(SingleUse* self, Propagating error) {
    leave_boxes(self, error);
    if (!error.type) return 0;
    PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
    return -1;
}

// A failure inside the composition after it entered boxes passes out
// through them; when one of them swallows it, the composition ends
// without handing anything out, which a generator reports as not yielding.
PyObject* unwind_boxes(SingleUse* self) {
    if (finish_boxes(self, fetch_error()) == 0) {
        PyErr_SetString(PyExc_RuntimeError, "generator didn't yield");
    }
    return nullptr;
}

int close_composition(SingleUse* self) {
    return finish_boxes(self, {});
}

// The block raised: the boxes see the exception and write nothing. One
// that swallows it makes the composition swallow it; one that raises
// replaces it.
int abort_composition(SingleUse* self, PyObject* type, PyObject* value, PyObject* traceback) {
    Propagating error{Ref::borrow(type), Ref::borrow(value), Ref::borrow(traceback)};
    leave_boxes(self, error);
    if (!error.type) return 1;
    if (error.type.get() == type && error.value.get() == value) return 0;
    PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
    return -1;
}

// with self.fbox('0pt') as x: yield x
PyObject* enter_tightbox(SingleUse* self) {
    Ref frame = call_method(self->slot(owner), fbox_name, {zero_pt});
    if (!frame) return nullptr;
    return enter_manager(self, inner_exit, frame.get());
}

// ("fbox",), the keyword of fb.minipage(width, align, fbox=False).
PyObject* frame_keyword() {
    static PyObject* keywords;
    if (!keywords) keywords = PyTuple_Pack(1, fbox_name);
    return keywords;
}

// with self.tightbox() as fb: with fb.minipage(width, align, fbox=False) as m: yield m
PyObject* enter_framed_minipage(SingleUse* self) {
    Ref frame = call_method(self->slot(owner), tightbox_name, {});
    if (!frame) return nullptr;
    Ref framed(enter_manager(self, outer_exit, frame.get()));
    if (!framed) return nullptr;
    PyObject* keywords = frame_keyword();
    Ref page = keywords ? call_method_kw(framed.get(), minipage_name,
                                         {self->slot(second_operand), self->slot(first_operand),
                                          Py_False},
                                         keywords)
                        : Ref();
    PyObject* content = page ? enter_manager(self, inner_exit, page.get()) : nullptr;
    return content ? content : unwind_boxes(self);
}

const Construct framed_minipage_construct = {enter_framed_minipage, close_composition,
                                             abort_composition};

// The frame flag is tested on entering; a framed minipage then runs as the
// composition from there on.
PyObject* enter_minipage(SingleUse* self) {
    int framed = PyObject_IsTrue(self->slot(writer));
    if (framed < 0) return nullptr;
    if (!framed) return enter_box(self);
    self->construct = &framed_minipage_construct;
    return enter_framed_minipage(self);
}

// with self.minipage(width, 'b') as m: spacer, yield m, spacer
PyObject* enter_minipage_bottom(SingleUse* self) {
    Ref page = call_method(self->slot(owner), minipage_name, {self->slot(first_operand), bottom});
    if (!page) return nullptr;
    Ref content(enter_manager(self, inner_exit, page.get()));
    if (!content) return nullptr;
    if (!call_method(content.get(), names.tex, {spacer_above})) return unwind_boxes(self);
    self->keep(writer, Py_NewRef(content.get()));
    return content.release();
}

int close_minipage_bottom(SingleUse* self) {
    Ref written = call_method(self->slot(writer), names.tex, {spacer_below});
    return finish_boxes(self, written ? Propagating{} : fetch_error());
}

const Construct minipage_construct = {enter_minipage, close_box<minipage_texts>, nullptr};
const Construct fbox_construct = {enter_box, close_box<fbox_texts>, nullptr};
const Construct resizebox_construct = {enter_box, close_box<resizebox_texts>, nullptr};
const Construct mbox_construct = {enter_box, close_box<mbox_texts>, nullptr};
const Construct tightbox_construct = {enter_tightbox, close_composition, abort_composition};
const Construct minipage_bottom_construct = {enter_minipage_bottom, close_minipage_bottom,
                                             abort_composition};

PyObject* minipage(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"minipage", {"width", "align", "fbox"}, 1};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    return make_single_use(&minipage_construct, {self, arg[1] ? arg[1] : empty_text, arg[0],
                                                 arg[2] ? arg[2] : Py_False});
}

PyObject* minipage_bottom(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    static const Signature signature{"minipage_bottom", {"width"}, 1};
    PyObject* width;
    if (signature.bind(args, nargs, kwnames, &width) < 0) return nullptr;
    return make_single_use(&minipage_bottom_construct, {self, width});
}

PyObject* fbox(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"fbox", {"sep"}, 0};
    PyObject* sep;
    if (signature.bind(args, nargs, kwnames, &sep) < 0) return nullptr;
    return make_single_use(&fbox_construct, {self, sep ? sep : one_pt});
}

PyObject* resizebox(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"resizebox", {"width"}, 1};
    PyObject* width;
    if (signature.bind(args, nargs, kwnames, &width) < 0) return nullptr;
    return make_single_use(&resizebox_construct, {self, width});
}

PyObject* mbox(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"mbox", {"width", "position"}, 0};
    PyObject* arg[2];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    return make_single_use(&mbox_construct, {self, arg[0] ? arg[0] : empty_text,
                                             arg[1] ? arg[1] : centre});
}

PyObject* tightbox(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"tightbox", {}, 0};
    if (signature.bind(args, nargs, kwnames, nullptr) < 0) return nullptr;
    return make_single_use(&tightbox_construct, {self});
}

// -------------------------------------------------- graphics and attachments

// The module's global `name` (os, mimetypes), looked up at call time.
Ref module_of(PyObject* name) { return module_global(environment_module, name); }

// Whether `data` is written in binary mode: bytes-like data goes out
// unchanged, str in text mode. Anything else is refused (-1) before the file
// is created, and so is a memoryview that a binary write would reject.
int is_binary_data(PyObject* data) {
    if (PyUnicode_Check(data)) return 0;
    if (PyBytes_Check(data) || PyByteArray_Check(data)) return 1;
    if (PyMemoryView_Check(data)) {
        Py_buffer view;
        if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return -1;
        PyBuffer_Release(&view);
        return 1;
    }
    PyErr_Format(PyExc_TypeError, "data must be str, bytes, bytearray or memoryview, not %.200s",
                 Py_TYPE(data)->tp_name);
    return -1;
}

// Writes `data` to the file `filename`, creating its directory first (an
// empty directory part is the current directory).
int write_data_file(PyObject* filename, PyObject* data) {
    int binary = is_binary_data(data);
    if (binary < 0) return -1;
    Ref directory = directory_of(filename);
    if (!directory || ensure_directory(directory.get()) < 0) return -1;
    return write_file(filename, binary, write_to, data);
}

// os.path.join(self.context.graphics_path, name)
Ref graphics_file(PyObject* self, PyObject* name) {
    Ref os = module_of(os_name);
    Ref path = os ? getattr(os.get(), path_name) : Ref();
    Ref join = path ? getattr(path.get(), join_name) : Ref();
    Ref context = join ? context_of(self) : Ref();
    Ref graphics_path = context ? getattr(context.get(), names.graphics_path) : Ref();
    if (!graphics_path) return Ref();
    return call(join.get(), {graphics_path.get(), name});
}

PyObject* textattachfile(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static const Signature signature{"textattachfile", {"basename", "data", "text"}, 3};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    Ref filename = graphics_file(self, arg[0]);
    if (!filename || write_data_file(filename.get(), arg[1]) < 0) return nullptr;
    return append_formatted_tuple(self, textattachfile_format, {filename.get(), arg[2]});
}

// The file suffix for `mime`: the host's MIME table's, except ".jpg" for
// JPEG and ".txt" for plain text. A type without a known suffix is refused
// rather than giving a file name that ends in "None".
Ref suffix_for(PyObject* mime) {
    Ref mimetypes = module_of(mimetypes_name);
    Ref suffix = mimetypes ? call_method(mimetypes.get(), guess_extension_name, {mime}) : Ref();
    if (!suffix) return Ref();
    int jpg = PyObject_RichCompareBool(mime, mime_jpg, Py_EQ);
    if (jpg) return jpg < 0 ? Ref() : Ref::borrow(jpg_suffix);
    int plain = PyObject_RichCompareBool(mime, mime_plain, Py_EQ);
    if (plain) return plain < 0 ? Ref() : Ref::borrow(txt_suffix);
    if (suffix.get() == Py_None) {
        PyErr_Format(PyExc_ValueError, "no file suffix known for MIME type %R", mime);
        return Ref();
    }
    return suffix;
}

PyObject* save_graphics_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static const Signature signature{"save_graphics_data", {"data", "mime", "gid"}, 3};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    Ref suffix = suffix_for(arg[1]);
    Ref name = suffix ? format_tuple(file_name_format, {arg[2], suffix.get()}) : Ref();
    Ref filename = name ? graphics_file(self, name.get()) : Ref();
    if (!filename || write_data_file(filename.get(), arg[0]) < 0) return nullptr;
    return filename.release();
}

// The name a graphics file is saved and referred to under: the caller's gid
// or a fresh one from the context's counter, with "." made "_" and "/" made
// ":" so that it is neither a suffix nor a directory.
Ref graphics_name(PyObject* self, PyObject* gid) {
    Ref name;
    if (gid && gid != Py_None) {
        name = Ref::borrow(gid);
    } else {
        Ref context = context_of(self);
        name = context ? call_method(context.get(), names.generate_file_id, {}) : Ref();
    }
    Ref undotted = name ? call_method(name.get(), names.replace, {dot, underscore}) : Ref();
    return undotted ? call_method(undotted.get(), names.replace, {slash, colon}) : Ref();
}

// make_options_string(**params), looked up in the module on every call so
// that a replacement is honoured.
Ref options_string(const ExtraKeywords& params) {
    Ref function = module_global(environment_module, make_options_string_name);
    if (!function) return Ref();
    return Ref(PyObject_Vectorcall(function.get(), params.values.data(), 0, params.names.get()));
}

PyObject* graphics_data(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"graphics_data", {"self", "data", "mime", "gid"}, 3};
    PyObject* arg[4];
    ExtraKeywords params;
    if (signature.bind(args, nargs, kwnames, arg, params) < 0) return nullptr;
    PyObject *self = arg[0], *data = arg[1], *mime = arg[2];
    Ref gid = graphics_name(self, arg[3]);
    Ref saved = gid ? call_method(self, save_graphics_data_name, {data, mime, gid.get()}) : Ref();
    Ref options = saved ? options_string(params) : Ref();
    if (!options) return nullptr;
    return append_formatted_tuple(self, includegraphics_format, {options.get(), gid.get()});
}

const FunctionDef graphics_data_def = {
    "graphics_data", "LatexEnvironment.graphics_data", graphics_data,
    "($self, data, mime, gid=None, **params)", nullptr,
};

// make_options_string(**params): "k=v" for each keyword in call order, the
// bare key for a value that is exactly True, nothing for None; joined by ",".
PyObject* options_from_keywords(PyObject* const* values, PyObject* kwnames) {
    Py_ssize_t count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Ref pieces(PyList_New(0));
    if (!pieces) return nullptr;
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        PyObject* value = values[i];
        if (value == Py_None) continue;
        Ref piece = value == Py_True ? Ref::borrow(key)
                                     : format_tuple(key_value_format, {key, value});
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return nullptr;
    }
    return PyUnicode_Join(comma, pieces.get());
}

PyObject* make_options_string(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    if (nargs) {
        PyErr_Format(PyExc_TypeError,
                     "make_options_string() takes 0 positional arguments but %zd were given",
                     nargs);
        return nullptr;
    }
    return options_from_keywords(args, kwnames);
}

PyMethodDef make_options_string_def = {
    "make_options_string", as_method(make_options_string), fastcall,
    "make_options_string($module, **params)\n--\n\n",
};

// ------------------------------------------------------------------- the class

PyMethodDef environment_methods[] = {
    {"color", as_method(color), fastcall, "color($self, r, g, b)\n--\n\n"},
    {"hfill", write_fixed<&hfill_text>, METH_NOARGS, "hfill($self)\n--\n\n"},
    {"vfill", write_fixed<&vfill_text>, METH_NOARGS, "vfill($self)\n--\n\n"},
    {"hspace", as_method(write_one<&hspace_format, &hspace_signature>), fastcall,
     "hspace($self, size)\n--\n\n"},
    {"vspace", as_method(write_one<&vspace_format, &vspace_signature>), fastcall,
     "vspace($self, size)\n--\n\n"},
    {"parbreak", write_fixed<&parbreak_text>, METH_NOARGS, "parbreak($self)\n--\n\n"},
    {"linebreak", write_fixed<&linebreak_text>, METH_NOARGS, "linebreak($self)\n--\n\n"},
    {"pagebreak", write_fixed<&pagebreak_text>, METH_NOARGS, "pagebreak($self)\n--\n\n"},
    {"rule", as_method(rule), fastcall, "rule($self, width, height, color='gray')\n--\n\n"},
    {"text", as_method(text), fastcall,
     "text($self, t)\n--\n\n\n        Writes the text on the stream (it will be escaped, use\n"
     "        :py:func:`tex` for raw TeX.\n        "},
    {"tabular_simple", as_method(tabular_simple), fastcall,
     "tabular_simple($self, data, row_desc, col_desc, write_col_desc=True)\n--\n\n"
     "Writes a tabular environment with very simple options."},
    {"tex", as_method(tex), fastcall, "tex($self, tex)\n--\n\nWrites raw TeX string."},
    {"input", as_method(write_one<&input_format, &input_signature>), fastcall,
     "input($self, filename)\n--\n\n"},
    {"use_package", installed_later, METH_NOARGS, nullptr},
    {"figure", as_method(environment_figure), fastcall,
     "figure($self, caption=None, label=None, placement='t', double=False)\n--\n\n"},
    {"tabular", as_method(environment_tabular), fastcall,
     "tabular($self, alignment, env='tabular')\n--\n\n"},
    {"longtable", as_method(environment_longtable), fastcall,
     "longtable($self, alignment)\n--\n\n"},
    {"textattachfile", as_method(textattachfile), fastcall,
     "textattachfile($self, basename, data, text)\n--\n\n"},
    {"save_graphics_data", as_method(save_graphics_data), fastcall,
     "save_graphics_data($self, data, mime, gid)\n--\n\n"},
    {"graphics_data", installed_later, METH_NOARGS, nullptr},
    {"minipage", as_method(minipage), fastcall,
     "minipage($self, width, align='', fbox=False)\n--\n\n"},
    {"minipage_bottom", as_method(minipage_bottom), fastcall,
     "minipage_bottom($self, width)\n--\n\n"
     "A minipage which will align the bottom with the current\n        baseline.\n        "},
    {"fbox", as_method(fbox), fastcall, "fbox($self, sep='1pt')\n--\n\n"},
    {"resizebox", as_method(resizebox), fastcall, "resizebox($self, width)\n--\n\n"},
    {"medskip", write_fixed<&medskip_text>, METH_NOARGS, "medskip($self)\n--\n\n"},
    {"footnotesize", write_fixed<&footnotesize_text>, METH_NOARGS,
     "footnotesize($self)\n--\n\n"},
    {"mbox", as_method(mbox), fastcall,
     "mbox($self, width='', position='c')\n--\n\nPosition: c, l, r."},
    {"tightbox", as_method(tightbox), fastcall, "tightbox($self)\n--\n\nFbox with no margin"},
    {"lstlisting", as_method(lstlisting), fastcall,
     "lstlisting($self, code, language=None)\n--\n\n"},
    {"subfigure", as_method(environment_subfigure), fastcall,
     "subfigure($self, caption='', label=None)\n--\n\n"},
    {"__getstate__", native_getstate, METH_NOARGS, nullptr},
    {},
};

PyType_Slot environment_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(environment_init)},
    {Py_tp_doc, const_cast<char*>("LatexEnvironment(context)\n--\n\n")},
    {Py_tp_methods, environment_methods},
    {Py_tp_members, native_members},
    {Py_tp_getset, environment_descriptors.getset},
    WRITER_SLOTS,
    {0, nullptr},
};

PyType_Spec environment_spec = {
    "pagewright.environment.LatexEnvironment", sizeof(Writer), 0, instance_flags,
    environment_slots,
};

// The class body's decorated and annotated entries: use_package with its
// annotations, graphics_data wrapped by pact(params='dict|None').
int finish_class(PyObject* module_name, PyObject* option_type, PyObject* pact) {
    Ref annotations(Py_BuildValue("{sO}", "options", option_type));
    if (!annotations ||
        install_function(environment_type, &use_package_def, module_name, annotations.get()) < 0) {
        return -1;
    }
    Ref kwnames(PyTuple_Pack(1, params_keyword));
    Ref spec(PyUnicode_FromString("dict|None"));
    if (!kwnames || !spec) return -1;
    Ref decorator = call_kw(pact, {spec.get()}, kwnames.get());
    Ref function(decorator ? make_function(&graphics_data_def, module_name, nullptr) : nullptr);
    Ref checked = function ? call(decorator.get(), {function.get()}) : Ref();
    Ref name(checked ? PyUnicode_InternFromString("graphics_data") : nullptr);
    if (!name) return -1;
    return replace_in_type(environment_type, name.get(), checked.get());
}

}  // namespace

PyTypeObject* latex_environment_type() { return environment_type; }

int request_from(PyObject* env, PyObject* name) {
    const Layout* layout = layout_of(Py_TYPE(env));
    int own = layout ? calls_own(env, *layout, names.use_package) : 0;
    if (own < 0) return -1;
    if (!own) return call_method(env, names.use_package, {name}) ? 0 : -1;
    Ref context = context_of(env);
    return context ? request_package(context.get(), name, nullptr) : -1;
}

PyObject* environment_from(PyObject* module, Global& global, PyObject* context) {
    if (global.holds() && environment_guard.holds() && fast_paths) {
        PyObject* env = alloc_writer(environment_type);
        if (env) start_native(env, environment_layout, {Py_NewRef(context)});
        return env;
    }
    Ref cls = module_global(module, environment_name);
    return cls ? call(cls.get(), {context}).release() : nullptr;
}

int exec_environment(PyObject* module) {
    if (intern_literals(literals) < 0 || init_native() < 0) return -1;
    if (import_names(module, "typing", {"Dict"}) < 0 ||
        import_names(module, "pagewright.utils", {"latex_escape"}) < 0 ||
        import_names(module, "contextlib", {"contextmanager"}) < 0 ||
        import_as(module, "mimetypes") < 0 || import_as(module, "os") < 0 ||
        import_names(module, "pactum", {"pact"}) < 0) {
        return -1;
    }
    Ref mime_png(PyUnicode_FromString("image/png"));
    Ref mime_jpg(PyUnicode_FromString("image/jpeg"));
    Ref mime_plain(PyUnicode_FromString("text/plain"));
    if (!mime_png || !mime_jpg || !mime_plain || bind(module, "MIME_PNG", mime_png.get()) < 0 ||
        bind(module, "MIME_JPG", mime_jpg.get()) < 0 ||
        bind(module, "MIME_PLAIN", mime_plain.get()) < 0) {
        return -1;
    }
    if (!environment_type) {
        Ref typing_dict(PyObject_GetAttrString(module, "Dict"));
        Ref pact(PyObject_GetAttrString(module, "pact"));
        Ref module_name(PyModule_GetNameObject(module));
        Ref option_type = typing_dict ? dict_of_str(typing_dict.get()) : Ref();
        if (!pact || !module_name || !option_type) return -1;
        describe(environment_layout, environment_descriptors);
        environment_type = make_type(&environment_spec, nullptr);
        if (!environment_type ||
            finish_class(module_name.get(), option_type.get(), pact.get()) < 0 ||
            environment_guard.watch(environment_type) < 0 ||
            register_layout(environment_layout) < 0) {
            Py_CLEAR(environment_type);
            return -1;
        }
    }
    if (bind(module, "LatexEnvironment", reinterpret_cast<PyObject*>(environment_type)) < 0 ||
        bind_function(module, &make_options_string_def) < 0) {
        return -1;
    }
    Ref escape(PyObject_GetAttr(module, latex_escape_name));
    if (!escape) return -1;
    if (!own_escape) own_escape = Py_NewRef(escape.get());
    Py_XSETREF(environment_module, Py_NewRef(module));
    if (environment_global.watch(module, environment_name,
                             reinterpret_cast<PyObject*>(environment_type)) < 0) return -1;
    if (escape_global.watch(module, latex_escape_name, own_escape) < 0) return -1;
    return 0;
}

}  // namespace pw
