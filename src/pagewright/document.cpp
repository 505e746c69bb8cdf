// pagewright.document: LatexDocument, an environment on the root of a
// document's context tree that assembles the complete LaTeX source: class
// line, package lines, graphics lines, preamble and body.
#include "context.h"
#include "modules.h"

#include "../core/args.h"
#include "../core/globals.h"
#include "../core/instance.h"
#include "../core/module.h"
#include "../core/write.h"

#include <algorithm>
#include <cstring>

namespace pw {

namespace {

PyTypeObject* document_type;
PyObject* document_module;  // the latest pagewright.document
Global context_global;      // document.LatexContext
Global os_global;           // document.os
Global directory_global;    // document.make_sure_dir_exists
PyObject* os_module;
PyObject* own_make_sure_dir_exists;

// The module's interned texts, each with the name it is kept under.
#define LITERALS(X) \
    X(documentclass_format, "\\documentclass[%s]{%s}\n") \
    X(graphicx_line, "\\usepackage{graphicx}\n") \
    X(graphicspath_format, "\\graphicspath{{%s/}}\n") \
    X(begin_document, "\\begin{document}\n") \
    X(end_document, "\\end{document}\n") \
    X(article, "article") \
    X(empty, "") \
    X(dot, ".") \
    X(fullpage_name, "fullpage") \
    X(document_class_attr, "document_class") \
    X(class_options_attr, "class_options") \
    X(documentclass_opening, "\\documentclass[") \
    X(documentclass_between, "]{") \
    X(line_end, "}\n") \
    X(graphicspath_opening, "\\graphicspath{{") \
    X(graphicspath_end, "/}}\n") \
    X(context_class_name, "LatexContext") \
    X(os_name, "os") \
    X(directory_name, "make_sure_dir_exists") \
    X(path_name, "path") \
    X(dirname_name, "dirname")
PW_LITERALS(LITERALS)
#undef LITERALS



constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

enum DocumentField { context_at, document_class_at, class_options_at };

TypeGuard document_guard;
const Layout document_layout = {
    &document_type, &document_guard, 3,
    {&names.context, &document_class_attr, &class_options_attr}, context_at,
    0, nullptr, nullptr, nullptr,
};
Descriptors document_descriptors;

// self.context = LatexContext(graphics_path), LatexContext being the
// module's global; then the class and its options.
int document_set(PyObject* self, PyObject* document_class, PyObject* class_options,
                 PyObject* graphics_path) {
    Ref context(context_from(document_module, context_global, graphics_path));
    if (!context) return -1;
    if (may_go_native(self, document_layout)) {
        set_native(self, document_layout, {context.release(), Py_NewRef(document_class),
                                           Py_NewRef(class_options)});
        return cache_methods(self);
    }
    if (PyObject_SetAttr(self, names.context, context.get()) < 0 ||
        PyObject_SetAttr(self, document_class_attr, document_class) < 0) {
        return -1;
    }
    return PyObject_SetAttr(self, class_options_attr, class_options);
}

// Sets the attributes itself instead of calling the environment's
// constructor: `context` is a new root context of its own.
int document_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"document_class", "class_options", "graphics_path",
                                     nullptr};
    PyObject* document_class = article;
    PyObject* class_options = empty;
    PyObject* graphics_path = dot;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:LatexDocument",
                                     const_cast<char**>(keywords), &document_class,
                                     &class_options, &graphics_path)) {
        return -1;
    }
    return document_set(self, document_class, class_options, graphics_path);
}

// self.context.<name>, looked up afresh for each part of the document.
Ref context_attribute(PyObject* self, PyObject* name) {
    Ref context = context_of(self);
    if (!context) return Ref();
    return getattr(context.get(), name);
}

// The texts joined, when all are exact strs: what a `%` format of those
// pieces around "%s" placeholders gives, made without parsing the format.
// An empty Ref without an exception when one is not an exact str.
Ref joined(std::initializer_list<PyObject*> texts) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (PyObject* text : texts) {
        if (!PyUnicode_CheckExact(text)) return Ref();
        length += PyUnicode_GET_LENGTH(text);
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(text));
    }
    Ref result(PyUnicode_New(length, widest));
    if (!result) return result;
    int kind = PyUnicode_KIND(result.get());
    Py_ssize_t at = 0;
    for (PyObject* text : texts) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        if (PyUnicode_KIND(text) == kind) {
            std::memcpy(static_cast<char*>(PyUnicode_DATA(result.get())) + at * kind,
                        PyUnicode_DATA(text), n * kind);
        } else if (PyUnicode_CopyCharacters(result.get(), at, text, 0, n) < 0) {
            return Ref();
        }
        at += n;
    }
    return result;
}

// joined(texts), or else fmt % values.
Ref format_pieces(std::initializer_list<PyObject*> texts, PyObject* fmt,
                  std::initializer_list<PyObject*> values) {
    Ref line = fast_paths ? joined(texts) : Ref();
    if (line || PyErr_Occurred()) return line;
    return values.size() == 1 ? format(fmt, *values.begin()) : format_tuple(fmt, values);
}

// f.write(fmt % values), `texts` being the same line as the format's
// fixed pieces and the values: joined straight into a batch collecting the
// writes to f when all are exact strs.
int write_line(PyObject* f, std::initializer_list<PyObject*> texts, PyObject* fmt,
               std::initializer_list<PyObject*> values) {
    TextBuffer* batch = collected_for(f);
    for (PyObject* text : texts) {
        if (!PyUnicode_CheckExact(text)) batch = nullptr;
    }
    if (batch) return batch->append_joined(texts.begin(), texts.size(), nullptr);
    Ref line = format_pieces(texts, fmt, values);
    return line ? write_to(f, line.get()) : -1;
}

int write_class_line(PyObject* self, PyObject* f) {
    Ref class_options = native_attr(self, document_layout, class_options_at);
    Ref document_class = class_options ? native_attr(self, document_layout, document_class_at)
                                       : Ref();
    if (!document_class) return -1;
    return write_line(f, {documentclass_opening, class_options.get(), documentclass_between,
                          document_class.get(), line_end},
                      documentclass_format, {class_options.get(), document_class.get()});
}

int write_package_lines(PyObject* self, PyObject* f) {
    Ref context = context_of(self);
    return context ? dump_packages(context.get(), f) : -1;
}

int write_graphics_lines(PyObject* self, PyObject* f) {
    if (write_to(f, graphicx_line) < 0) return -1;
    Ref graphics_path = context_attribute(self, names.graphics_path);
    if (!graphics_path) return -1;
    return write_line(f, {graphicspath_opening, graphics_path.get(), graphicspath_end},
                      graphicspath_format, {graphics_path.get()});
}

// The whole text of one of the context's buffers (preamble or f): shared
// with a batch collecting the writes to f when both are native.
int write_buffer(PyObject* self, PyObject* buffer_name, PyObject* f) {
    Ref context = context_of(self);
    if (!context) return -1;
    TextBuffer* batch = collected_for(f);
    TextBuffer* text = batch ? native_buffer(context.get(), buffer_name) : nullptr;
    if (text) return batch->append_buffer(*text);
    Ref value = value_of(context.get(), buffer_name);
    return value ? write_to(f, value.get()) : -1;
}

// Whether writing the document runs no Python code: a native document on a
// native context, whose every part is native text or an exact str.
bool dumps_natively(PyObject* self) {
    PyObject** fields = native_fields(self, document_layout);
    if (!fields) return false;
    PyObject* document_class = fields[document_class_at];
    PyObject* class_options = fields[class_options_at];
    PyObject* context = fields[context_at];
    if (!document_class || !PyUnicode_CheckExact(document_class) || !class_options ||
        !PyUnicode_CheckExact(class_options) || !context || !context_buffers(context)) {
        return false;
    }
    PyObject* graphics_path = native_fields(context, context_layout)[graphics_path_field];
    return graphics_path && PyUnicode_CheckExact(graphics_path) &&
           packages_dump_natively(context);
}

int dump_document(PyObject* self, PyObject* f) {
    // With no Python code to see the stream in between, its writes are one.
    Batch batch(dumps_natively(self) ? f : nullptr);
    if (write_class_line(self, f) < 0 || write_package_lines(self, f) < 0 ||
        write_graphics_lines(self, f) < 0 || write_buffer(self, names.preamble, f) < 0 ||
        write_to(f, begin_document) < 0 || write_buffer(self, names.f, f) < 0 ||
        write_to(f, end_document) < 0) {
        return -1;
    }
    return batch.flush();
}

PyObject* dump_stream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static const Signature signature{"dump_stream", {"f"}, 1};
    PyObject* f;
    if (signature.bind(args, nargs, kwnames, &f) < 0 || dump_document(self, f) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* fullpage(PyObject* self, PyObject*) {
    if (request_from(self, fullpage_name) < 0) return nullptr;
    Py_RETURN_NONE;
}

// os.path.dirname(filename), os being the module's global.
Ref dirname_of(PyObject* filename) {
    if (os_global.holds()) return directory_of(filename);
    Ref os = module_global(document_module, os_name);
    Ref path = os ? getattr(os.get(), path_name) : Ref();
    return path ? call_method(path.get(), dirname_name, {filename}) : Ref();
}

// make_sure_dir_exists(directory), the module's global.
int make_directory(PyObject* directory) {
    if (directory_global.holds()) return ensure_directory(directory);
    return call_global(document_module, directory_name, {directory}) ? 0 : -1;
}

PyObject* write_to_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static const Signature signature{"write_to_file", {"filename"}, 1};
    PyObject* filename;
    if (signature.bind(args, nargs, kwnames, &filename) < 0) return nullptr;
    Ref directory = dirname_of(filename);
    if (!directory || make_directory(directory.get()) < 0 ||
        write_file(filename, false, dump_document_into, self) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef document_methods[] = {
    {"dump_stream", as_method(dump_stream), fastcall, "dump_stream($self, f)\n--\n\n"},
    {"fullpage", fullpage, METH_NOARGS, "fullpage($self)\n--\n\nUse the fullpage package."},
    {"write_to_file", as_method(write_to_file), fastcall,
     "write_to_file($self, filename)\n--\n\nWrites to a file, making sure the directory exists."},
    {},
};

PyType_Slot document_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(document_init)},
    {Py_tp_doc, const_cast<char*>("LatexDocument(document_class='article', class_options='', "
                                  "graphics_path='.')\n--\n\n")},
    {Py_tp_methods, document_methods},
    {Py_tp_getset, document_descriptors.getset},
    WRITER_SLOTS,
    {0, nullptr},
};

PyType_Spec document_spec = {
    "pagewright.document.LatexDocument", sizeof(Writer), 0, instance_flags, document_slots,
};

int make_document_type() {
    if (document_type) return 0;
    Ref bases(PyTuple_Pack(1, latex_environment_type()));
    if (!bases) return -1;
    describe(document_layout, document_descriptors);
    document_type = make_type(&document_spec, bases.get());
    if (!document_type || document_guard.watch(document_type) < 0) return -1;
    return register_layout(document_layout);
}

}  // namespace

PyTypeObject* latex_document_type() { return document_type; }

PyObject* document_from(PyObject* cls, PyObject* graphics_path, PyObject* document_class,
                        PyObject* class_options, PyObject* keywords) {
    if (cls == reinterpret_cast<PyObject*>(document_type) && document_guard.holds() &&
        fast_paths) {
        Ref document(alloc_writer(document_type));
        if (!document ||
            document_set(document.get(), document_class, class_options, graphics_path) < 0) {
            return nullptr;
        }
        return document.release();
    }
    return call_kw(cls, {graphics_path, document_class, class_options}, keywords).release();
}

int dump_document_into(PyObject* file, PyObject* document) {
    if (calls_own(document, document_layout)) {
        return dump_document(document, file);
    }
    Ref result = call_method(document, names.dump_stream, {file});
    return result ? 0 : -1;
}

int exec_document(PyObject* module) {
    if (intern_literals(literals) < 0) return -1;
    if (import_as(module, "os") < 0 ||
        import_names(module, "pagewright.file_utils", {"make_sure_dir_exists"}) < 0 ||
        import_names(module, "pagewright.environment", {"LatexEnvironment"}) < 0 ||
        import_names(module, "pagewright.context", {"LatexContext"}) < 0 ||
        make_document_type() < 0) {
        return -1;
    }
    Ref all(Py_BuildValue("[s]", "LatexDocument"));
    if (!all || bind(module, "__all__", all.get()) < 0 ||
        bind(module, "LatexDocument", reinterpret_cast<PyObject*>(document_type)) < 0) {
        return -1;
    }
    Ref os(PyObject_GetAttr(module, os_name));
    Ref directory = os ? Ref(PyObject_GetAttr(module, directory_name)) : Ref();
    if (!directory) return -1;
    if (!os_module) os_module = Py_NewRef(os.get());
    if (!own_make_sure_dir_exists) own_make_sure_dir_exists = Py_NewRef(directory.get());
    Py_XSETREF(document_module, Py_NewRef(module));
    if (context_global.watch(module, context_class_name, latex_context_class()) < 0) return -1;
    if (os_global.watch(module, os_name, os_module) < 0) return -1;
    if (directory_global.watch(module, directory_name, own_make_sure_dir_exists) < 0) return -1;
    return 0;
}

}  // namespace pw
