// pagewright.figure: floats with captions and labels, and sub-floats.
//
// Figure and SubFigure are environments bound to a child context; their
// `dump` copies the collected text, wrapped in the float's LaTeX, into the
// enclosing context. The module loads the first time an environment opens a
// figure or sub-figure, so the literals those methods use are interned on
// their first call rather than with the module.
#include "context.h"
#include "modules.h"

#include "../core/args.h"
#include "../core/globals.h"
#include "../core/instance.h"
#include "../core/module.h"
#include "../core/single_use.h"
#include "../core/write.h"

namespace pw {

namespace {

// The fields of both classes: a sub-figure holds caption, label and
// context; a figure those, then placement and double.
enum FloatField { caption_at, label_at, context_at, placement_at, double_at };

PyTypeObject* figure_type;
PyTypeObject* subfigure_type;
PyObject* structure_error;
PyObject* begin_end_function;  // pagewright.utils.begin_end
PyObject* figure_module;       // this module, once loaded
Global begin_end_global;       // figure.begin_end
Global figure_global;          // figure.Figure
Global subfigure_global;       // figure.SubFigure
Global registered_global;      // sys.modules['pagewright.figure']
PyObject* figure_keywords;     // the keywords Figure is called with
PyObject* subfigure_keywords;  // the keywords SubFigure is called with
PyObject* dump_keyword;        // ("main_context",)

// The module's interned texts, each with the name it is kept under.
#define LITERALS(X) \
    X(module_name, "pagewright.figure") \
    X(figure_class, "Figure") \
    X(subfigure_class, "SubFigure") \
    X(caption_package, "caption") \
    X(subfig_package, "subfig") \
    X(top, "t") \
    X(empty, "") \
    X(caption_attr, "caption") \
    X(label_attr, "label") \
    X(placement_attr, "placement") \
    X(double_attr, "double") \
    X(figure_name, "figure") \
    X(double_name, "figure*") \
    X(caption_setup, "\\captionsetup[subfloat]{}\n") \
    X(label_format, "\\label{%s}") \
    X(caption_format, "\\caption{%s%s}\n") \
    X(subfloat_format, "\\subfloat[%s%s]{%%\n") \
    X(subfloat_closing, "}% subfloat\n") \
    X(nesting_message, "Cannot nest figures; use sub().") \
    X(figure_opening, "\\begin{figure}") \
    X(double_opening, "\\begin{figure*}") \
    X(figure_closing, "\\end{figure}%\n") \
    X(double_closing, "\\end{figure*}%\n") \
    X(bracket, "[") \
    X(placement_end, "]%\n") \
    X(line_end, "%\n") \
    X(label_opening, "\\label{") \
    X(brace, "}") \
    X(caption_opening, "\\caption{") \
    X(caption_end, "}\n") \
    X(subfloat_opening, "\\subfloat[") \
    X(subfloat_end, "]{%\n") \
    X(begin_end_name, "begin_end")
PW_LITERALS(LITERALS)
#undef LITERALS



// The literals and keyword tuples of the environment's figure methods,
// which can run before the module has been loaded.
int prepare_calls() {
    if (dump_keyword) return 0;
    if (intern_literals(literals) < 0) return -1;
    if (!figure_keywords &&
        !(figure_keywords = PyTuple_Pack(5, caption_attr, label_attr, placement_attr,
                                         names.context, double_attr))) {
        return -1;
    }
    if (!subfigure_keywords &&
        !(subfigure_keywords = PyTuple_Pack(3, caption_attr, label_attr, names.context))) {
        return -1;
    }
    dump_keyword = PyTuple_Pack(1, names.main_context);
    return dump_keyword ? 0 : -1;
}

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

TypeGuard figure_guard;
TypeGuard subfigure_guard;
const Layout figure_layout = {
    &figure_type, &figure_guard, 5,
    {&caption_attr, &label_attr, &names.context, &placement_attr, &double_attr}, context_at,
    0, nullptr, nullptr, nullptr,
};
const Layout subfigure_layout = {
    &subfigure_type, &subfigure_guard, 3, {&caption_attr, &label_attr, &names.context},
    context_at, 0, nullptr, nullptr, nullptr,
};
Descriptors figure_descriptors;
Descriptors subfigure_descriptors;

// Sets the layout's attributes to `values` (borrowed) in order: natively
// while the object may hold them so, else as Python code would.
int set_attributes(PyObject* self, const Layout& layout, std::initializer_list<PyObject*> values) {
    if (may_go_native(self, layout)) {
        for (PyObject* value : values) Py_INCREF(value);
        set_native(self, layout, values);
        return 0;
    }
    int i = 0;
    for (PyObject* value : values) {
        if (PyObject_SetAttr(self, *layout.names[i++], value) < 0) return -1;
    }
    return 0;
}

// A new native object of layout's class with these attributes (borrowed).
PyObject* new_float(const Layout& layout, std::initializer_list<PyObject*> values) {
    PyObject* made = alloc_writer(*layout.type);
    if (made) set_attributes(made, layout, values);
    return made;
}

// "\\label{%s}" % label when the label is true, else "".
Ref label_text(PyObject* label) {
    int has_label = PyObject_IsTrue(label);
    if (has_label < 0) return Ref();
    return has_label ? format(label_format, label) : Ref::borrow(empty);
}

// None or an exact str: a label whose truth and formatting run no code.
bool is_plain_label(PyObject* label) {
    return fast_paths && (label == Py_None || PyUnicode_CheckExact(label));
}

// The label text of a plain label, when there is one.
void add_label(Pieces& line, PyObject* label) {
    if (label == Py_None || PyUnicode_GET_LENGTH(label) == 0) return;
    line.add(label_opening);
    line.add(label);
    line.add(brace);
}

// Figure.figure, SubFigure.figure, SubFigure.subfigure: nesting is refused
// at the call, before anything else happens.
PyObject* refuse_nesting(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetObject(structure_error, nesting_message);
    return nullptr;
}

// ------------------------------------------------------------------- Figure

int figure_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"caption", "label", "placement", "context", "double",
                                     nullptr};
    PyObject *caption, *label, *placement, *context, *two_column;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO:Figure", const_cast<char**>(keywords),
                                     &caption, &label, &placement, &context, &two_column)) {
        return -1;
    }
    return set_attributes(self, figure_layout, {caption, label, context, placement, two_column});
}

// The label text alone when the caption is None, else the caption line.
int write_caption(Sink& stream, PyObject* label_text, PyObject* caption) {
    if (caption == Py_None) return stream.write(label_text);
    Ref line = format_tuple(caption_format, {label_text, caption});
    return line ? stream.write(line.get()) : -1;
}

// The body and caption inside the float's brackets, written to what
// begin_end handed out. A plain label is formatted after the caption is
// read, which nothing can tell apart.
int write_figure_body(PyObject* self, Sink& stream) {
    if (stream.write(caption_setup) < 0) return -1;
    Ref context = context_of(self);
    if (!context || stream.copy_from(context.get(), names.f) < 0) return -1;
    Ref label = native_attr(self, figure_layout, label_at);
    if (!label) return -1;
    bool plain_label = is_plain_label(label.get());
    Ref text = plain_label ? Ref() : label_text(label.get());
    Ref caption = plain_label || text ? native_attr(self, figure_layout, caption_at) : Ref();
    if (!caption) return -1;
    bool captioned = caption.get() != Py_None;
    TextBuffer* buffer = plain_label && (!captioned || PyUnicode_CheckExact(caption.get()))
                             ? stream.native()
                             : nullptr;
    if (buffer) {
        Pieces line;
        if (captioned) line.add(caption_opening);
        add_label(line, label.get());
        if (captioned) {
            line.add(caption.get());
            line.add(caption_end);
        }
        return line.append_to(*buffer);
    }
    if (plain_label && !(text = label_text(label.get()))) return -1;
    return write_caption(stream, text.get(), caption.get());
}

// What begin_end writes on entering, for this module's float names: built
// from its pieces when the placement is an exact str.
int open_float(Sink& body, bool is_double, PyObject* placement) {
    TextBuffer* buffer = PyUnicode_CheckExact(placement) ? body.native() : nullptr;
    if (!buffer) {
        Ref kept(open_environment(body, is_double ? double_name : figure_name, placement));
        return kept ? 0 : -1;
    }
    Pieces line;
    line.add(is_double ? double_opening : figure_opening);
    if (PyUnicode_GET_LENGTH(placement)) {
        line.add(bracket);
        line.add(placement);
        line.add(placement_end);
    } else {
        line.add(line_end);
    }
    return line.append_to(*buffer);
}

// main_context.preamble receives the figure's preamble; main_context.f the
// float, bracketed by begin_end with the placement as its options. A native
// body is bracketed directly, with the same lines begin_end writes.
int dump_figure(PyObject* self, PyObject* main_context) {
    Ref context = context_of(self);
    if (!context || copy_buffer(context.get(), main_context, names.preamble) < 0) return -1;
    Ref two_column = native_attr(self, figure_layout, double_at);
    int is_double = two_column ? PyObject_IsTrue(two_column.get()) : -1;
    if (is_double < 0) return -1;
    PyObject* name = is_double ? double_name : figure_name;
    Sink body = Sink::of(main_context, names.f);
    Ref placement = body ? native_attr(self, figure_layout, placement_at) : Ref();
    if (!placement) return -1;
    // A failure inside the brackets leaves them open: begin_end writes its
    // closing line only on a normal exit.
    if (body.native() && begin_end_global.holds()) {
        if (open_float(body, is_double, placement.get()) < 0 ||
            write_figure_body(self, body) < 0) {
            return -1;
        }
        return body.write(is_double ? double_closing : figure_closing);
    }
    // A native body becomes the stream it would have been all along.
    Ref stream = body.stream() ? Ref::borrow(body.stream()) : getattr(main_context, names.f);
    Ref brackets = stream ? call_global(figure_module, begin_end_name,
                                        {stream.get(), name, placement.get()})
                          : Ref();
    Ref handed = brackets ? call_method(brackets.get(), names.__enter__, {}) : Ref();
    if (!handed) return -1;
    Sink inside = Sink::to(handed.get());
    if (write_figure_body(self, inside) < 0) return -1;
    Ref closed = call_method(brackets.get(), names.__exit__, {Py_None, Py_None, Py_None});
    return closed ? 0 : -1;
}

PyObject* figure_dump(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static const Signature signature{"dump", {"main_context"}, 1};
    PyObject* main_context;
    if (signature.bind(args, nargs, kwnames, &main_context) < 0) return nullptr;
    if (dump_figure(self, main_context) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef figure_methods[] = {
    {"figure", as_method(refuse_nesting), fastcall, "figure($self, *args, **kwargs)\n--\n\n"},
    {"dump", as_method(figure_dump), fastcall, "dump($self, main_context)\n--\n\n"},
    {},
};

PyType_Slot figure_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(figure_init)},
    {Py_tp_doc, const_cast<char*>("Figure(caption, label, placement, context, double)\n--\n\n")},
    {Py_tp_methods, figure_methods},
    {Py_tp_getset, figure_descriptors.getset},
    WRITER_SLOTS,
    {0, nullptr},
};

PyType_Spec figure_spec = {
    "pagewright.figure.Figure", sizeof(Writer), 0, instance_flags, figure_slots,
};

// ---------------------------------------------------------------- SubFigure

int subfigure_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"caption", "label", "context", nullptr};
    PyObject *caption, *label, *context;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:SubFigure", const_cast<char**>(keywords),
                                     &caption, &label, &context)) {
        return -1;
    }
    return set_attributes(self, subfigure_layout, {caption, label, context});
}

// main_context.f receives the \subfloat block; the sub-figure's preamble
// is not carried upward.
// A plain label is formatted after the caption is read, which nothing can
// tell apart.
// A native sub-figure on a native context into a native body: its text is
// copied buffer to buffer; 1 when done, 0 when the general path must run.
int dump_subfigure_natively(PyObject* self, PyObject* main_context) {
    PyObject** fields = native_fields(self, subfigure_layout);
    PyObject* label = fields ? fields[label_at] : nullptr;
    PyObject* caption = fields ? fields[caption_at] : nullptr;
    if (!label || !caption || !is_plain_label(label) || !PyUnicode_CheckExact(caption)) return 0;
    PyObject* context = fields[context_at];
    TextBuffer* body = context ? context_buffer(context, f_field) : nullptr;
    TextBuffer* out = body ? context_buffer(main_context, f_field) : nullptr;
    if (!out || out == body) return 0;
    Pieces opening;
    opening.add(subfloat_opening);
    add_label(opening, label);
    opening.add(caption);
    opening.add(subfloat_end);
    if (opening.append_to(*out) < 0 || out->append_buffer(*body) < 0 ||
        out->append(subfloat_closing) < 0) {
        return -1;
    }
    return 1;
}

int dump_subfigure(PyObject* self, PyObject* main_context) {
    int done = dump_subfigure_natively(self, main_context);
    if (done) return done < 0 ? -1 : 0;
    Ref context = context_of(self);
    Ref body = context ? value_of(context.get(), names.f) : Ref();
    Ref label = body ? native_attr(self, subfigure_layout, label_at) : Ref();
    if (!label) return -1;
    bool plain_label = is_plain_label(label.get());
    Ref text = plain_label ? Ref() : label_text(label.get());
    Ref caption = plain_label || text ? native_attr(self, subfigure_layout, caption_at) : Ref();
    if (!caption) return -1;
    Sink stream = Sink::of(main_context, names.f);
    if (!stream) return -1;
    TextBuffer* buffer =
        plain_label && PyUnicode_CheckExact(caption.get()) ? stream.native() : nullptr;
    if (buffer) {
        Pieces block;
        block.add(subfloat_opening);
        add_label(block, label.get());
        block.add(caption.get());
        block.add(subfloat_end);
        block.add(body.get());
        block.add(subfloat_closing);
        return block.append_to(*buffer);
    }
    if (plain_label && !(text = label_text(label.get()))) return -1;
    Ref opening = format_tuple(subfloat_format, {text.get(), caption.get()});
    if (!opening || stream.write(opening.get()) < 0 || stream.write(body.get()) < 0) return -1;
    return stream.write(subfloat_closing);
}

PyObject* subfigure_dump(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static const Signature signature{"dump", {"main_context"}, 1};
    PyObject* main_context;
    if (signature.bind(args, nargs, kwnames, &main_context) < 0) return nullptr;
    if (dump_subfigure(self, main_context) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef subfigure_methods[] = {
    {"figure", as_method(refuse_nesting), fastcall, "figure($self, *args, **kwargs)\n--\n\n"},
    {"subfigure", as_method(refuse_nesting), fastcall,
     "subfigure($self, *args, **kwargs)\n--\n\n"},
    {"dump", as_method(subfigure_dump), fastcall, "dump($self, main_context)\n--\n\n"},
    {},
};

PyType_Slot subfigure_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(subfigure_init)},
    {Py_tp_doc, const_cast<char*>("SubFigure(caption, label, context)\n--\n\n")},
    {Py_tp_methods, subfigure_methods},
    {Py_tp_getset, subfigure_descriptors.getset},
    WRITER_SLOTS,
    {0, nullptr},
};

PyType_Spec subfigure_spec = {
    "pagewright.figure.SubFigure", sizeof(Writer), 0, instance_flags, subfigure_slots,
};

// ------------------------------------------ LatexEnvironment.figure/subfigure

// Fetches a class of this module through the import system, loading the
// module on first use.
Ref figure_module_class(PyObject* name) {
    if (registered_global.holds()) {
        Global& bound = name == figure_class ? figure_global : subfigure_global;
        if (bound.holds()) return Ref::borrow(bound.expected());
    }
    return import_from_loaded(figure_module, module_name, name);
}



// Slots of the figure and sub-figure constructs: the calling environment,
// the arguments, then the object handed to the block.
enum FloatSlot : int { float_owner, float_caption, float_label };
enum FigureSlot : int { figure_placement = float_label + 1, figure_double, figure_made };
enum SubFigureSlot : int { subfigure_made = float_label + 1 };

PyObject* enter_figure(SingleUse* self) {
    PyObject* owner = self->slot(float_owner);
    if (request_from(owner, caption_package) < 0) return nullptr;
    Ref figure = figure_module_class(figure_class);
    Ref context = figure ? context_of(owner) : Ref();
    Ref child(context ? child_of(context.get()) : nullptr);
    Ref made;
    if (child && figure.get() == reinterpret_cast<PyObject*>(figure_type) &&
        figure_guard.holds() && fast_paths) {
        made = Ref(new_float(figure_layout, {self->slot(float_caption), self->slot(float_label),
                                             child.get(), self->slot(figure_placement),
                                             self->slot(figure_double)}));
    } else if (child) {
        made = call_kw(figure.get(),
                       {self->slot(float_caption), self->slot(float_label),
                        self->slot(figure_placement), child.get(), self->slot(figure_double)},
                       figure_keywords);
    }
    if (!made) return nullptr;
    self->keep(figure_made, Py_NewRef(made.get()));
    return made.release();
}

// made.dump(main_context=owner.context)
template <int made_slot>
int close_float(SingleUse* self) {
    Ref context = context_of(self->slot(float_owner));
    if (!context) return -1;
    PyObject* made = self->slot(made_slot);
    if (calls_own(made, figure_layout)) return dump_figure(made, context.get());
    if (calls_own(made, subfigure_layout)) {
        return dump_subfigure(made, context.get());
    }
    return call_method_kw(made, names.dump, {context.get()}, dump_keyword) ? 0 : -1;
}

const Construct figure_construct = {enter_figure, close_float<figure_made>, nullptr};

PyObject* enter_subfigure(SingleUse* self) {
    PyObject* owner = self->slot(float_owner);
    Ref subfigure = figure_module_class(subfigure_class);
    if (!subfigure || request_from(owner, caption_package) < 0 ||
        request_from(owner, subfig_package) < 0) {
        return nullptr;
    }
    Ref context = context_of(owner);
    Ref child(context ? child_of(context.get()) : nullptr);
    Ref made;
    if (child && subfigure.get() == reinterpret_cast<PyObject*>(subfigure_type) &&
        subfigure_guard.holds() && fast_paths) {
        made = Ref(new_float(subfigure_layout,
                             {self->slot(float_caption), self->slot(float_label), child.get()}));
    } else if (child) {
        made = call_kw(subfigure.get(),
                       {self->slot(float_caption), self->slot(float_label), child.get()},
                       subfigure_keywords);
    }
    if (!made) return nullptr;
    self->keep(subfigure_made, Py_NewRef(made.get()));
    return made.release();
}

const Construct subfigure_construct = {enter_subfigure, close_float<subfigure_made>, nullptr};

}  // namespace

PyObject* environment_figure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    static const Signature signature{"figure", {"caption", "label", "placement", "double"}, 0};
    PyObject* arg[4];
    if (prepare_calls() < 0 || signature.bind(args, nargs, kwnames, arg) < 0) {
        return nullptr;
    }
    return make_single_use(&figure_construct,
                           {self, arg[0] ? arg[0] : Py_None, arg[1] ? arg[1] : Py_None,
                            arg[2] ? arg[2] : top, arg[3] ? arg[3] : Py_False});
}

PyObject* environment_subfigure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static const Signature signature{"subfigure", {"caption", "label"}, 0};
    PyObject* arg[2];
    if (prepare_calls() < 0 || signature.bind(args, nargs, kwnames, arg) < 0) {
        return nullptr;
    }
    return make_single_use(&subfigure_construct,
                           {self, arg[0] ? arg[0] : empty, arg[1] ? arg[1] : Py_None});
}

namespace {

int create_types(PyObject* module) {
    Ref bases(PyTuple_Pack(1, latex_environment_type()));
    if (!bases) return -1;
    begin_end_function = PyObject_GetAttrString(module, "begin_end");
    describe(figure_layout, figure_descriptors);
    describe(subfigure_layout, subfigure_descriptors);
    figure_type = begin_end_function ? make_type(&figure_spec, bases.get()) : nullptr;
    structure_error =
        figure_type ? PyErr_NewException("pagewright.figure.StructureError", nullptr, nullptr)
                    : nullptr;
    subfigure_type = structure_error ? make_type(&subfigure_spec, bases.get()) : nullptr;
    const TypeGuard* base_guard = &latex_environment_guard();
    if (subfigure_type && figure_guard.watch(figure_type, base_guard) == 0 &&
        subfigure_guard.watch(subfigure_type, base_guard) == 0 &&
        register_layout(figure_layout) == 0 && register_layout(subfigure_layout) == 0) {
        return 0;
    }
    Py_CLEAR(begin_end_function);
    Py_CLEAR(figure_type);
    Py_CLEAR(structure_error);
    return -1;
}

}  // namespace

int exec_figure(PyObject* module) {
    if (intern_literals(literals) < 0 ||
        import_names(module, "pagewright.environment", {"LatexEnvironment"}) < 0 ||
        import_names(module, "pagewright.utils", {"begin_end"}) < 0) {
        return -1;
    }
    if (!subfigure_type && create_types(module) < 0) return -1;
    if (bind(module, "Figure", reinterpret_cast<PyObject*>(figure_type)) < 0 ||
        bind(module, "StructureError", structure_error) < 0 ||
        bind(module, "SubFigure", reinterpret_cast<PyObject*>(subfigure_type)) < 0) {
        return -1;
    }
    Py_XSETREF(figure_module, Py_NewRef(module));
    if (begin_end_global.watch(module, begin_end_name, begin_end_function) < 0 ||
        figure_global.watch(module, figure_class, reinterpret_cast<PyObject*>(figure_type)) < 0 ||
        subfigure_global.watch(module, subfigure_class,
                               reinterpret_cast<PyObject*>(subfigure_type)) < 0 ||
        registered_global.watch_entry(PyImport_GetModuleDict(), module_name, module) < 0) {
        return -1;
    }
    return 0;
}

}  // namespace pw
