// pagewright.file_utils: directories created on demand, and the file
// writing that `with open(name, 'w') as file:` does, shared by the document
// and fragment writers.
//
// The os functions are looked up on their modules at each call, as the
// module-level calls of a Python module would be.
#include "modules.h"

#include "../core/args.h"
#include "../core/compat.h"
#include "../core/module.h"
#include "../core/strings.h"

namespace pw {

namespace {

PyObject* os_module;
PyObject* os_path_module;
PyObject* open_function;     // io.open, the built-in open
PyObject* exist_ok_keyword;  // ("exist_ok",)

PyObject* exists_name;    // "exists"
PyObject* dirname_name;   // "dirname"
PyObject* makedirs_name;  // "makedirs"
PyObject* getcwd_name;    // "getcwd"
PyObject* close_name;     // "close"
PyObject* text_mode;      // "w"
PyObject* binary_mode;    // "wb"
PyObject* exist_ok_name;  // "exist_ok"

const Literal literals[] = {
    {&exists_name, "exists"},
    {&dirname_name, "dirname"},
    {&makedirs_name, "makedirs"},
    {&getcwd_name, "getcwd"},
    {&close_name, "close"},
    {&text_mode, "w"},
    {&binary_mode, "wb"},
    {&exist_ok_name, "exist_ok"},
};

// An empty path names the current directory, which always exists.
bool is_empty_path(PyObject* path) {
    return (PyUnicode_Check(path) && PyUnicode_GET_LENGTH(path) == 0) ||
           (PyBytes_Check(path) && PyBytes_GET_SIZE(path) == 0);
}

PyObject* make_sure_dir_exists(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    static const Signature signature{"make_sure_dir_exists", {"d"}, 1};
    PyObject* d;
    if (signature.bind(args, nargs, kwnames, &d) < 0) return nullptr;
    if (ensure_directory(d) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef make_sure_dir_exists_def = {
    "make_sure_dir_exists", as_method(make_sure_dir_exists), METH_FASTCALL | METH_KEYWORDS,
    "make_sure_dir_exists($module, d)\n--\n\n",
};

// The process-wide references the helpers below use, taken on first use.
int init_statics() {
    if (open_function) return 0;
    if (intern_literals(literals) < 0) return -1;
    Ref os = import_module("os");
    Ref os_path = import_module("os.path");
    Ref io = import_module("io");
    Ref open(io ? PyObject_GetAttrString(io.get(), "open") : nullptr);
    Ref keywords(open ? PyTuple_Pack(1, exist_ok_name) : nullptr);
    if (!os || !os_path || !keywords) return -1;
    os_module = os.release();
    os_path_module = os_path.release();
    exist_ok_keyword = keywords.release();
    open_function = open.release();
    return 0;
}

}  // namespace

// The existence test stays before the creation so that an existing plain
// file is left alone; exist_ok covers a directory that another process
// creates in between.
int ensure_directory(PyObject* path) {
    if (is_empty_path(path)) return 0;
    if (init_statics() < 0) return -1;
    Ref exists = call_method(os_path_module, exists_name, {path});
    int found = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (found) return found < 0 ? -1 : 0;
    Ref made = call_method_kw(os_module, makedirs_name, {path, Py_True}, exist_ok_keyword);
    return made ? 0 : -1;
}

Ref directory_of(PyObject* filename) {
    if (init_statics() < 0) return Ref();
    return call_method(os_path_module, dirname_name, {filename});
}

Ref current_directory() {
    if (init_statics() < 0) return Ref();
    return call_method(os_module, getcwd_name, {});
}

int write_file(PyObject* filename, bool binary, int (*fill)(PyObject* file, PyObject* source),
               PyObject* source) {
    if (init_statics() < 0) return -1;
    Ref file = call(open_function, {filename, binary ? binary_mode : text_mode});
    if (!file) return -1;
    int status = fill(file.get(), source);
    PyObject* fill_error = take_error();
    Ref closed = call_method(file.get(), close_name, {});
    // An error of close() goes on with the error of fill() as its context.
    chain_error(fill_error);
    return status < 0 || !closed ? -1 : 0;
}

int exec_file_utils(PyObject* module) {
    if (import_as(module, "os") < 0) return -1;
    Ref all(Py_BuildValue("[s]", "make_sure_dir_exists"));
    if (!all || bind(module, "__all__", all.get()) < 0) return -1;
    return bind_function(module, &make_sure_dir_exists_def);
}

}  // namespace pw
