// pagewright.frags: latex_document and latex_fragment, the writers that hand
// out a fresh document or environment and, when the block ends normally,
// write it to a file or a stream.
//
// A destination is a file name when it is a str or a path object (taken by
// its file-system path); anything else is a stream. The file is opened only
// after the block, so a block that raises creates or truncates nothing.
#include "modules.h"

#include "../core/args.h"
#include "../core/globals.h"
#include "../core/instance.h"
#include "../core/module.h"
#include "../core/single_use.h"
#include "../core/write.h"

namespace pw {

namespace {

// The module's interned texts, each with the name it is kept under.
#define LITERALS(X) \
    X(article, "article") \
    X(empty, "") \
    X(fspath_name, "__fspath__") \
    X(document_class_name, "document_class") \
    X(class_options_name, "class_options") \
    X(environment_name, "LatexEnvironment") \
    X(context_name, "LatexContext") \
    X(document_name, "LatexDocument") \
    X(os_name, "os") \
    X(directory_name, "make_sure_dir_exists") \
    X(path_name, "path") \
    X(dirname_name, "dirname") \
    X(getcwd_name, "getcwd")
PW_LITERALS(LITERALS)
#undef LITERALS

PyObject* document_keywords;      // (graphics_path, document_class, class_options)
PyObject* context_keywords;       // (graphics_path,)

// The latest pagewright.frags, whose globals the writers use at each call.
PyObject* frags_module;
Global environment_global;  // frags.LatexEnvironment
Global context_global;      // frags.LatexContext
Global os_global;           // frags.os
Global directory_global;    // frags.make_sure_dir_exists


// Slots of both constructs: the call's arguments, then what `enter` made.
enum Slot { destination, graphics_path, document_class, class_options, writer, context };

// The class last seen without __fspath__, with its version tag then. Tags
// are never reused and change whenever the class or a base changes, and a
// class whose metaclass is exactly `type` finds the name only through its
// bases: the same class with the same tag still has none.
PyTypeObject* plain_stream_type;
unsigned int plain_stream_tag;

bool is_path_object(PyObject* destination) {
    if (PyUnicode_Check(destination)) return false;
    PyTypeObject* type = Py_TYPE(destination);
    bool plain_class = fast_paths && Py_IS_TYPE(type, &PyType_Type);
    if (plain_class && type == plain_stream_type && valid_version_tag(type) == plain_stream_tag &&
        plain_stream_tag) {
        return false;
    }
    if (PyObject_HasAttr(reinterpret_cast<PyObject*>(type), fspath_name)) return true;
    if (plain_class) {
        plain_stream_type = type;
        plain_stream_tag = valid_version_tag(type);
    }
    return false;
}

bool to_file(SingleUse* self) { return PyUnicode_Check(self->slot(destination)); }

// os.path.dirname(name) or os.getcwd(), os being the module's global.
Ref os_call(PyObject* name, std::initializer_list<PyObject*> args) {
    if (os_global.holds()) {
        return args.size() ? directory_of(*args.begin()) : current_directory();
    }
    Ref os = module_global(frags_module, os_name);
    if (!os) return Ref();
    if (!args.size()) return call_method(os.get(), name, {});
    Ref path = getattr(os.get(), path_name);
    return path ? call_method(path.get(), name, args) : Ref();
}

// make_sure_dir_exists(directory), the module's global.
int make_directory(PyObject* directory) {
    if (directory_global.holds()) return ensure_directory(directory);
    return call_global(frags_module, directory_name, {directory}) ? 0 : -1;
}

// Turns a path object into its file name and settles the graphics
// directory: by default the file's own directory (created if missing) or,
// for a stream, the current directory.
int prepare_destination(SingleUse* self) {
    if (is_path_object(self->slot(destination))) {
        PyObject* filename = nullptr;
        if (!PyUnicode_FSDecoder(self->slot(destination), &filename)) return -1;
        self->keep(destination, filename);
    }
    if (self->slot(graphics_path) == Py_None) {
        Ref chosen = to_file(self) ? os_call(dirname_name, {self->slot(destination)})
                                   : os_call(getcwd_name, {});
        if (!chosen) return -1;
        self->keep(graphics_path, chosen.release());
    }
    return to_file(self) ? make_directory(self->slot(graphics_path)) : 0;
}

// LatexDocument(graphics_path=..., document_class=..., class_options=...),
// LatexDocument being the module's global.
Ref new_document(PyObject* graphics_path, PyObject* document_class, PyObject* class_options) {
    Ref cls = module_global(frags_module, document_name);
    if (!cls) return Ref();
    return Ref(document_from(cls.get(), graphics_path, document_class, class_options,
                             document_keywords));
}

PyObject* document_enter(SingleUse* self) {
    if (prepare_destination(self) < 0) return nullptr;
    Ref document = new_document(self->slot(graphics_path), self->slot(document_class),
                                self->slot(class_options));
    if (!document) return nullptr;
    self->keep(writer, Py_NewRef(document.get()));
    return document.release();
}

int document_close(SingleUse* self) {
    if (to_file(self)) {
        return write_file(self->slot(destination), false, dump_document_into, self->slot(writer));
    }
    return dump_document_into(self->slot(destination), self->slot(writer));
}

const Construct document_construct = {document_enter, document_close, nullptr};

PyObject* latex_document(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static const Signature signature{
        "latex_document",
        {"filename_or_stream", "graphics_path", "document_class", "class_options"}, 1};
    PyObject* arg[4];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    return make_single_use(&document_construct,
                           {arg[0], arg[1] ? arg[1] : Py_None, arg[2] ? arg[2] : article,
                            arg[3] ? arg[3] : empty});
}

PyObject* fragment_enter(SingleUse* self) {
    if (prepare_destination(self) < 0) return nullptr;
    Ref new_context(context_from(frags_module, context_global, self->slot(graphics_path),
                                 context_keywords));
    Ref environment(new_context ? environment_from(frags_module, environment_global,
                                                   new_context.get())
                                : nullptr);
    if (!environment) return nullptr;
    // A fragment's environment receives every write of the fragment.
    if (has_native_layout(Py_TYPE(environment.get())) && cache_methods(environment.get()) < 0) {
        return nullptr;
    }
    self->keep(context, new_context.release());
    self->keep(writer, Py_NewRef(environment.get()));
    return environment.release();
}

// Only the body text goes out: no document frame, packages or preamble.
int fragment_close(SingleUse* self) {
    Ref body = value_of(self->slot(context), names.f);
    if (!body) return -1;
    if (to_file(self)) return write_file(self->slot(destination), false, write_to, body.get());
    return write_to(self->slot(destination), body.get());
}

const Construct fragment_construct = {fragment_enter, fragment_close, nullptr};

PyObject* latex_fragment(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static const Signature signature{
        "latex_fragment", {"filename_or_stream", "graphics_path"}, 1};
    PyObject* arg[2];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    return make_single_use(&fragment_construct, {arg[0], arg[1] ? arg[1] : Py_None});
}

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef latex_document_def = {
    "latex_document", as_method(latex_document), fastcall,
    "latex_document($module, filename_or_stream, graphics_path=None, "
    "document_class='article', class_options='')\n--\n\n",
};

PyMethodDef latex_fragment_def = {
    "latex_fragment", as_method(latex_fragment), fastcall,
    "latex_fragment($module, filename_or_stream, graphics_path=None)\n--\n\n",
};

int make_keywords() {
    if (!document_keywords &&
        !(document_keywords =
              PyTuple_Pack(3, names.graphics_path, document_class_name, class_options_name))) {
        return -1;
    }
    if (!context_keywords && !(context_keywords = PyTuple_Pack(1, names.graphics_path))) {
        return -1;
    }
    return 0;
}

}  // namespace

int exec_frags(PyObject* module) {
    if (intern_literals(literals) < 0 || make_keywords() < 0) return -1;
    if (import_names(module, "pagewright",
                     {"LatexEnvironment", "LatexContext", "LatexDocument"}) < 0 ||
        import_names(module, "pagewright.file_utils", {"make_sure_dir_exists"}) < 0 ||
        import_names(module, "contextlib", {"contextmanager"}) < 0 ||
        import_as(module, "os") < 0 || bind_function(module, &latex_document_def) < 0 ||
        bind_function(module, &latex_fragment_def) < 0) {
        return -1;
    }
    Ref os(PyObject_GetAttr(module, os_name));
    Ref directory = os ? Ref(PyObject_GetAttr(module, directory_name)) : Ref();
    if (!directory) return -1;
    Py_XSETREF(frags_module, Py_NewRef(module));
    if (environment_global.watch(module, environment_name,
                             reinterpret_cast<PyObject*>(latex_environment_type())) < 0) return -1;
    if (context_global.watch(module, context_name, latex_context_class()) < 0) return -1;
    if (os_global.watch(module, os_name, os.get()) < 0) return -1;
    if (directory_global.watch(module, directory_name, directory.get()) < 0) return -1;
    return 0;
}

}  // namespace pw
