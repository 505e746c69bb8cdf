// pagewright.environment: LatexEnvironment, the writer through which callers
// put LaTeX text into a context's body buffer, with its one-shot writers,
// boxes, simple tables, listings, graphics and attachments.
//
// An environment holds nothing but its `context` (in the instance dict), and
// every writer appends to `self.context.f`, looked up on each call.
#include "modules.h"

#include "../core/args.h"
#include "../core/function.h"
#include "../core/instance.h"
#include "../core/module.h"
#include "../core/single_use.h"
#include "../core/write.h"

namespace pw {

namespace {

PyTypeObject* environment_type;

PyObject* hfill_text;        // "\\hfill\\ \n"
PyObject* vfill_text;        // "\\vfill\\ \n"
PyObject* parbreak_text;     // "\\par%\n"
PyObject* linebreak_text;    // "\\\\"
PyObject* pagebreak_text;    // "\\pagebreak\\ \n"
PyObject* medskip_text;      // "\\medskip%%\n"
PyObject* footnotesize_text; // "\\footnotesize%%\n"
PyObject* hspace_format;     // "\\hspace{%s}"
PyObject* vspace_format;     // "\\vspace{%s}"
PyObject* input_format;      // "\\input{%s}\n"
PyObject* color_format;      // "\\color[rgb]{%s,%s,%s}"
PyObject* rule_format;       // "{\\color{%s}\\rule{%s}{%s}}%%\n"
PyObject* gray;              // "gray"
PyObject* key_value_format;  // "%s=%s"
PyObject* comma;             // ","
PyObject* params_keyword;    // "params"

const Literal literals[] = {
    {&hfill_text, "\\hfill\\ \n"},
    {&vfill_text, "\\vfill\\ \n"},
    {&parbreak_text, "\\par%\n"},
    {&linebreak_text, "\\\\"},
    {&pagebreak_text, "\\pagebreak\\ \n"},
    {&medskip_text, "\\medskip%%\n"},
    {&footnotesize_text, "\\footnotesize%%\n"},
    {&hspace_format, "\\hspace{%s}"},
    {&vspace_format, "\\vspace{%s}"},
    {&input_format, "\\input{%s}\n"},
    {&color_format, "\\color[rgb]{%s,%s,%s}"},
    {&rule_format, "{\\color{%s}\\rule{%s}{%s}}%%\n"},
    {&gray, "gray"},
    {&key_value_format, "%s=%s"},
    {&comma, ","},
    {&params_keyword, "params"},
};

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

// self.context.f.write(text)
PyObject* append_text(PyObject* self, PyObject* text) {
    Ref body = body_of(self);
    if (!body || write_to(body.get(), text) < 0) return nullptr;
    Py_RETURN_NONE;
}

// self.context.f.write(fmt % operand): the buffer is looked up before the
// text is built, and an error in either leaves the buffer unchanged.
PyObject* append_formatted(PyObject* self, PyObject* fmt, PyObject* operand) {
    Ref body = body_of(self);
    if (!body) return nullptr;
    Ref text = format(fmt, operand);
    if (!text || write_to(body.get(), text.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* append_formatted_tuple(PyObject* self, PyObject* fmt,
                                 std::initializer_list<PyObject*> values) {
    Ref body = body_of(self);
    if (!body) return nullptr;
    Ref text = format_tuple(fmt, values);
    if (!text || write_to(body.get(), text.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------ writers

int environment_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"context", nullptr};
    PyObject* context;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:LatexEnvironment",
                                     const_cast<char**>(keywords), &context)) {
        return -1;
    }
    return PyObject_SetAttr(self, names.context, context);
}

// Writers of a fixed text: hfill, vfill, parbreak, ...
template <PyObject** text>
PyObject* write_fixed(PyObject* self, PyObject*) {
    return append_text(self, *text);
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
    Ref body = body_of(self);
    if (!body) return nullptr;
    Ref escaped(escape_latex(t));
    if (!escaped || write_to(body.get(), escaped.get()) < 0) return nullptr;
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
    int truth = arg[2] ? PyObject_IsTrue(arg[2]) : 0;
    if (truth < 0) return nullptr;
    Ref options(truth ? Py_NewRef(arg[2]) : PyDict_New());
    Ref context = options ? getattr(arg[0], names.context) : Ref();
    if (!context) return nullptr;
    Ref result = call_method(context.get(), names.use_package, {arg[1], options.get()});
    if (!result) return nullptr;
    Py_RETURN_NONE;
}

const FunctionDef use_package_def = {
    "use_package", "LatexEnvironment.use_package", use_package,
    "($self, name, options=None)", nullptr,
};

// Keeps use_package's place in the class body until the module replaces it
// by the annotated function.
PyObject* use_package_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    return use_package(args, nargs, kwnames);
}

// ------------------------------------------- simple tables and code listings

PyObject* tabular_simple(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "tabular_simple");
    return nullptr;
}

PyObject* lstlisting(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "lstlisting");
    return nullptr;
}

// ---------------------------------------------------------- boxes and minipages

PyObject* minipage(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "minipage");
    return nullptr;
}

PyObject* minipage_bottom(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "minipage_bottom");
    return nullptr;
}

PyObject* fbox(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "fbox");
    return nullptr;
}

PyObject* resizebox(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "resizebox");
    return nullptr;
}

PyObject* mbox(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "mbox");
    return nullptr;
}

PyObject* tightbox(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "tightbox");
    return nullptr;
}

// -------------------------------------------------- graphics and attachments

PyObject* textattachfile(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "textattachfile");
    return nullptr;
}

PyObject* save_graphics_data(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "save_graphics_data");
    return nullptr;
}

PyObject* graphics_data(PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "graphics_data");
    return nullptr;
}

const FunctionDef graphics_data_def = {
    "graphics_data", "LatexEnvironment.graphics_data", graphics_data,
    "($self, data, mime, gid=None, **params)", nullptr,
};

// Keeps graphics_data's place in the class body until the module replaces
// it by the checked function.
PyObject* graphics_data_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    return graphics_data(args, nargs, kwnames);
}

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
    {"use_package", as_method(use_package_method), fastcall, nullptr},
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
    {"graphics_data", as_method(graphics_data_method), fastcall, nullptr},
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
    {},
};

PyType_Slot environment_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(environment_init)},
    {Py_tp_doc, const_cast<char*>("LatexEnvironment(context)\n--\n\n")},
    {Py_tp_methods, environment_methods},
    PW_INSTANCE_SLOTS,
    {0, nullptr},
};

PyType_Spec environment_spec = {
    "pagewright.environment.LatexEnvironment", sizeof(Instance), 0, instance_flags,
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

int exec_environment(PyObject* module) {
    if (intern_literals(literals) < 0) return -1;
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
        environment_type = make_type(&environment_spec, nullptr);
        if (!environment_type ||
            finish_class(module_name.get(), option_type.get(), pact.get()) < 0) {
            Py_CLEAR(environment_type);
            return -1;
        }
    }
    if (bind(module, "LatexEnvironment", reinterpret_cast<PyObject*>(environment_type)) < 0) {
        return -1;
    }
    return bind_function(module, &make_options_string_def);
}

}  // namespace pw
