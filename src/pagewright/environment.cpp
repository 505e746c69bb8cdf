// pagewright.environment: LatexEnvironment, the writer through which callers
// put LaTeX text into a context's body buffer: the class, its one-shot
// writers and the module. Its simple tables and listings, boxes, and
// graphics and attachments are in environment_tables.cpp,
// environment_boxes.cpp and environment_graphics.cpp.
//
// An environment holds nothing but its `context` (a block's may still be
// pending: made only when Python code needs it), and every writer appends
// to `self.context.f`, looked up on each call. LatexEnvironment and the
// library's classes derived from it share one layout of native fields
// (see Writer), so an object may move between them by __class__
// assignment as instances of Python classes can.
#include "context.h"
#include "environment.h"
#include "modules.h"

#include "../core/args.h"
#include "../core/function.h"
#include "../core/globals.h"
#include "../core/instance.h"
#include "../core/module.h"
#include "../core/single_use.h"
#include "../core/write.h"

namespace pw {

PyObject* environment_module;
Global environment_global;

namespace {

PyTypeObject* environment_type;
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
    X(hspace_opening, "\\hspace{") \
    X(vspace_format, "\\vspace{%s}") \
    X(vspace_opening, "\\vspace{") \
    X(closing_brace, "}") \
    X(input_format, "\\input{%s}\n") \
    X(input_opening, "\\input{") \
    X(input_closing, "}\n") \
    X(color_format, "\\color[rgb]{%s,%s,%s}") \
    X(rule_format, "{\\color{%s}\\rule{%s}{%s}}%%\n") \
    X(gray, "gray") \
    X(params_keyword, "params") \
    X(environment_name, "LatexEnvironment") \
    X(latex_escape_name, "latex_escape")
PW_LITERALS(LITERALS)
#undef LITERALS

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

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

namespace {

// ------------------------------------------------------------------ writers

TypeGuard environment_guard;
PyObject* environment_value(PyObject* self, int field);
void environment_discard(PyObject* self, int field);
// The context is lazy while it is pending: made when Python code reads it.
const Layout environment_layout = {
    &environment_type, &environment_guard, 1, {&names.context}, 0,
    0, environment_value, nullptr, environment_discard,
};
Descriptors environment_descriptors;

// Plain environments come and go with every cell and box: a few freed ones
// are reused.
Spares<16> spare_environments;

// Whether `env` is a native LatexEnvironment of the unchanged class, whose
// context field is read directly (lazy while the context is pending).
bool native_environment(PyObject* env) {
    return Py_IS_TYPE(env, environment_type) &&
           as_writer(env)->layout == &environment_layout && environment_guard.holds();
}

// The pending context of an environment whose context field is lazy.
PendingContext* pending_of(PyObject* env) {
    Writer* writer = as_writer(env);
    return writer->layout == &environment_layout && writer->fields[0] == lazy ? writer->pending
                                                                                : nullptr;
}

// context.child() made now, from the pending child: its text moves in.
PyObject* environment_value(PyObject* self, int) {
    PyObject* made = alloc_context();
    if (!made) return nullptr;
    // Making it may have run Python code that read the context first.
    PendingContext* pending = pending_of(self);
    if (!pending) {
        Py_DECREF(made);
        return PyObject_GetAttr(self, names.context);
    }
    adopt_pending(made, pending);
    set_field(self, 0, Py_NewRef(made));
    return made;
}

void environment_discard(PyObject* self, int) {
    Writer* writer = as_writer(self);
    PendingContext* pending = writer->pending;
    writer->pending = nullptr;
    if (pending) drop_pending(pending);
}

}  // namespace

TextBuffer* environment_buffers(PyObject* env) {
    if (!native_environment(env)) return nullptr;
    Writer* writer = as_writer(env);
    PyObject* context = writer->fields[0];
    if (context == lazy) return writer->pending->buffers;
    return context ? context_buffers(context) : nullptr;
}

int writer_traverse(PyObject* self, visitproc visit, void* arg) {
    if (PendingContext* pending = pending_of(self)) {
        Py_VISIT(pending->graphics_path);
        Py_VISIT(pending->parent);
    }
    return native_traverse(self, visit, arg);
}

int writer_clear(PyObject* self) { return native_clear(self); }

namespace {

void finish_writer(PyObject* self) { finish_native(self, environment_type, spare_environments); }

}  // namespace

void writer_dealloc(PyObject* self) {
    Native* n = as_native(self);
    PyTypeObject* type = Py_TYPE(self);
    // A plain environment as the library made it: its context's own
    // deallocation guards against chains.
    if (type == environment_type && n->layout == &environment_layout &&
        holds_no_attributes(n) && !n->weakrefs &&
        (!n->fields[0] || n->fields[0] == lazy ||
         Py_IS_TYPE(n->fields[0], latex_context_type()))) {
        PyObject_GC_UnTrack(self);
        PyObject* context = n->fields[0];
        n->fields[0] = nullptr;
        if (context == lazy) {
            environment_discard(self, 0);
        } else {
            Py_XDECREF(context);
        }
        // Where methods are cached through an empty dict, a kept
        // environment keeps its own for the next one.
        if (!method_cache_needs_dict) Py_CLEAR(n->dict);
        if (!spare_environments.keep(self)) {
            Py_CLEAR(n->dict);
            type->tp_free(self);
        }
        Py_DECREF(type);
        return;
    }
    free_guarded(self, writer_dealloc, holds_chain(self), finish_writer);
}

// A spare was left empty by native_clear or writer_dealloc: no attributes,
// no weak references, and no dict but the empty one that caches methods.
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

// The native body an environment writes into: its context's, or its
// pending context's; NULL when there is none.
TextBuffer* native_body(PyObject* env) {
    PyObject* context;
    if (native_environment(env)) {
        Writer* writer = as_writer(env);
        context = writer->fields[0];
        if (context == lazy) return &writer->pending->buffers[f_field];
    } else {
        // The library's other writer classes.
        context = native_context(env);
    }
    return context ? context_buffer(context, f_field) : nullptr;
}

// Writers of one formatted argument: hspace(size), vspace(size),
// input(filename); the argument itself is the operand of `%`. An exact str
// is its own "%s", so on a native body the line is joined from the
// format's two fixed pieces around it.
template <PyObject** fmt, PyObject** opening, PyObject** closing, const Signature* signature>
PyObject* write_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value;
    if (signature->bind(args, nargs, kwnames, &value) < 0) return nullptr;
    if (TextBuffer* buffer = PyUnicode_CheckExact(value) ? native_body(self) : nullptr) {
        PyObject* line[] = {*opening, value, *closing};
        if (buffer->append_joined(line, 3, nullptr) < 0) return nullptr;
        Py_RETURN_NONE;
    }
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
    if (TextBuffer* buffer = own && PyUnicode_CheckExact(t) ? native_body(self) : nullptr) {
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
    if (TextBuffer* buffers = PyUnicode_CheckExact(raw) ? environment_buffers(self) : nullptr) {
        if (buffers[f_field].append(raw) < 0) return nullptr;
        Py_RETURN_NONE;
    }
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

// ------------------------------------------------------------------- the class

PyMethodDef environment_methods[] = {
    {"color", as_method(color), fastcall, "color($self, r, g, b)\n--\n\n"},
    {"hfill", write_fixed<&hfill_text>, METH_NOARGS, "hfill($self)\n--\n\n"},
    {"vfill", write_fixed<&vfill_text>, METH_NOARGS, "vfill($self)\n--\n\n"},
    {"hspace",
     as_method(write_one<&hspace_format, &hspace_opening, &closing_brace, &hspace_signature>),
     fastcall, "hspace($self, size)\n--\n\n"},
    {"vspace",
     as_method(write_one<&vspace_format, &vspace_opening, &closing_brace, &vspace_signature>),
     fastcall, "vspace($self, size)\n--\n\n"},
    {"parbreak", write_fixed<&parbreak_text>, METH_NOARGS, "parbreak($self)\n--\n\n"},
    {"linebreak", write_fixed<&linebreak_text>, METH_NOARGS, "linebreak($self)\n--\n\n"},
    {"pagebreak", write_fixed<&pagebreak_text>, METH_NOARGS, "pagebreak($self)\n--\n\n"},
    {"rule", as_method(rule), fastcall, "rule($self, width, height, color='gray')\n--\n\n"},
    {"text", as_method(text), fastcall,
     "text($self, t)\n--\n\n\n        Writes the text on the stream (it will be escaped, use\n"
     "        :py:func:`tex` for raw TeX.\n        "},
    {"tabular_simple", as_method(environment_tabular_simple), fastcall,
     "tabular_simple($self, data, row_desc, col_desc, write_col_desc=True)\n--\n\n"
     "Writes a tabular environment with very simple options."},
    {"tex", as_method(tex), fastcall, "tex($self, tex)\n--\n\nWrites raw TeX string."},
    {"input",
     as_method(write_one<&input_format, &input_opening, &input_closing, &input_signature>),
     fastcall, "input($self, filename)\n--\n\n"},
    {"use_package", installed_later, METH_NOARGS, nullptr},
    {"figure", as_method(environment_figure), fastcall,
     "figure($self, caption=None, label=None, placement='t', double=False)\n--\n\n"},
    {"tabular", as_method(environment_tabular), fastcall,
     "tabular($self, alignment, env='tabular')\n--\n\n"},
    {"longtable", as_method(environment_longtable), fastcall,
     "longtable($self, alignment)\n--\n\n"},
    {"textattachfile", as_method(environment_textattachfile), fastcall,
     "textattachfile($self, basename, data, text)\n--\n\n"},
    {"save_graphics_data", as_method(environment_save_graphics_data), fastcall,
     "save_graphics_data($self, data, mime, gid)\n--\n\n"},
    {"graphics_data", installed_later, METH_NOARGS, nullptr},
    {"minipage", as_method(environment_minipage), fastcall,
     "minipage($self, width, align='', fbox=False)\n--\n\n"},
    {"minipage_bottom", as_method(environment_minipage_bottom), fastcall,
     "minipage_bottom($self, width)\n--\n\n"
     "A minipage which will align the bottom with the current\n        baseline.\n        "},
    {"fbox", as_method(environment_fbox), fastcall, "fbox($self, sep='1pt')\n--\n\n"},
    {"resizebox", as_method(environment_resizebox), fastcall, "resizebox($self, width)\n--\n\n"},
    {"medskip", write_fixed<&medskip_text>, METH_NOARGS, "medskip($self)\n--\n\n"},
    {"footnotesize", write_fixed<&footnotesize_text>, METH_NOARGS,
     "footnotesize($self)\n--\n\n"},
    {"mbox", as_method(environment_mbox), fastcall,
     "mbox($self, width='', position='c')\n--\n\nPosition: c, l, r."},
    {"tightbox", as_method(environment_tightbox), fastcall, "tightbox($self)\n--\n\nFbox with no margin"},
    {"lstlisting", as_method(environment_lstlisting), fastcall,
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

const TypeGuard& latex_environment_guard() { return environment_guard; }

int request_from(PyObject* env, PyObject* name) {
    const Layout* layout = layout_of(Py_TYPE(env));
    if (!layout || !calls_own(env, *layout)) {
        return call_method(env, names.use_package, {name}) ? 0 : -1;
    }
    Ref context = context_of(env);
    return context ? request_package(context.get(), name, nullptr) : -1;
}

PyObject* environment_of_child(Global& global, PyObject* context) {
    if (!global.holds() || !environment_guard.holds() || !fast_paths) return nullptr;
    PendingContext* pending = pending_child(context);
    if (!pending) return nullptr;
    PyObject* env = alloc_writer(environment_type);
    if (!env) {
        drop_pending(pending);
        return nullptr;
    }
    start_native(env, environment_layout, {lazy});
    as_writer(env)->pending = pending;
    if (cache_methods(env) < 0) Py_CLEAR(env);
    return env;
}

PyObject* block_environment(PyObject* module, Global& global, PyObject* context) {
    PyObject* env = environment_of_child(global, context);
    if (env || PyErr_Occurred()) return env;
    Ref child(child_of(context));
    return child ? environment_from(module, global, child.get()) : nullptr;
}

PyObject* environment_from(PyObject* module, Global& global, PyObject* context) {
    if (global.holds() && environment_guard.holds() && fast_paths) {
        PyObject* env = alloc_writer(environment_type);
        if (!env) return nullptr;
        start_native(env, environment_layout, {Py_NewRef(context)});
        // Its methods are called from Python code (a block's writes).
        if (cache_methods(env) < 0) Py_CLEAR(env);
        return env;
    }
    Ref cls = module_global(module, environment_name);
    return cls ? call(cls.get(), {context}).release() : nullptr;
}

int exec_environment(PyObject* module) {
    if (intern_literals(literals) < 0 || init_environment_tables() < 0 ||
        init_environment_boxes() < 0 || init_environment_graphics() < 0 || init_native() < 0) {
        return -1;
    }
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
