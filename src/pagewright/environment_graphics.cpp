// LatexEnvironment's graphics and attachments: data given in memory is saved
// as a file in the graphics directory (written whole or not at all) and
// referred to with \includegraphics or attached with \textattachfile.
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
    X(key_value_format, "%s=%s") \
    X(comma, ",") \
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
    X(mimetypes_name, "mimetypes") \
    X(os_name, "os") \
    X(path_name, "path")
PW_LITERALS(LITERALS)
#undef LITERALS

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;


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

}  // namespace

PyObject* environment_textattachfile(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static const Signature signature{"textattachfile", {"basename", "data", "text"}, 3};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    Ref filename = graphics_file(self, arg[0]);
    if (!filename || write_data_file(filename.get(), arg[1]) < 0) return nullptr;
    return append_formatted_tuple(self, textattachfile_format, {filename.get(), arg[2]});
}

namespace {

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

}  // namespace

PyObject* environment_save_graphics_data(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
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

namespace {

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

}  // namespace

const FunctionDef graphics_data_def = {
    "graphics_data", "LatexEnvironment.graphics_data", graphics_data,
    "($self, data, mime, gid=None, **params)", nullptr,
};

namespace {

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

}  // namespace

PyMethodDef make_options_string_def = {
    "make_options_string", as_method(make_options_string), fastcall,
    "make_options_string($module, **params)\n--\n\n",
};

int init_environment_graphics() { return intern_literals(literals); }

}  // namespace pw
