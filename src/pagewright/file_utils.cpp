// pagewright.file_utils: directories created on demand, and the file
// writing that `with open(name, 'w') as file:` does, made all-or-nothing,
// shared by the document, fragment and graphics data writers.
//
// The os functions are looked up on their modules at each call, as the
// module-level calls of a Python module would be.
#include "modules.h"

#include "../core/args.h"
#include "../core/compat.h"
#include "../core/globals.h"
#include "../core/module.h"
#include "../core/strings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pw {

namespace {

PyObject* os_module;
PyObject* os_path_module;
PyObject* file_utils_module;  // the latest pagewright.file_utils
Global os_global;             // file_utils.os
PyObject* open_function;     // io.open, the built-in open
PyObject* exist_ok_keyword;  // ("exist_ok",)
PyObject* opener_keyword;    // ("opener",)
PyObject* open_errors;       // (OSError, ValueError, TypeError)

// The module's interned texts, each with the name it is kept under.
#define LITERALS(X) \
    X(exists_name, "exists") \
    X(dirname_name, "dirname") \
    X(basename_name, "basename") \
    X(join_name, "join") \
    X(realpath_name, "realpath") \
    X(makedirs_name, "makedirs") \
    X(getcwd_name, "getcwd") \
    X(fsdecode_name, "fsdecode") \
    X(stat_name, "stat") \
    X(access_name, "access") \
    X(urandom_name, "urandom") \
    X(hex_name, "hex") \
    X(open_name, "open") \
    X(fchown_name, "fchown") \
    X(fchmod_name, "fchmod") \
    X(replace_name, "replace") \
    X(unlink_name, "unlink") \
    X(close_name, "close") \
    X(st_mode_name, "st_mode") \
    X(st_nlink_name, "st_nlink") \
    X(st_uid_name, "st_uid") \
    X(st_gid_name, "st_gid") \
    X(text_mode, "w") \
    X(binary_mode, "wb") \
    X(exist_ok_name, "exist_ok") \
    X(opener_name, "opener") \
    X(temporary_format, ".%s.%s.tmp") \
    X(os_name, "os") \
    X(path_name, "path")
PW_LITERALS(LITERALS)
#undef LITERALS



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
    Ref opener(keywords ? PyTuple_Pack(1, opener_name) : nullptr);
    Ref errors(opener ? PyTuple_Pack(3, PyExc_OSError, PyExc_ValueError, PyExc_TypeError)
                      : nullptr);
    if (!os || !os_path || !errors) return -1;
    os_module = os.release();
    os_path_module = os_path.release();
    exist_ok_keyword = keywords.release();
    opener_keyword = opener.release();
    open_errors = errors.release();
    open_function = open.release();
    return 0;
}

}  // namespace

// The existence test stays before the creation so that an existing plain
// file is left alone; exist_ok covers a directory that another process
// creates in between.
// os is the module's global, looked up at each call once rebound.
int ensure_directory(PyObject* path) {
    if (is_empty_path(path)) return 0;
    if (init_statics() < 0) return -1;
    Ref os = file_utils_module && !os_global.holds()
                 ? module_global(file_utils_module, os_name)
                 : Ref::borrow(os_module);
    Ref os_path = os.get() == os_module ? Ref::borrow(os_path_module)
                  : os ? getattr(os.get(), path_name) : Ref();
    Ref exists = os_path ? call_method(os_path.get(), exists_name, {path}) : Ref();
    int found = exists ? PyObject_IsTrue(exists.get()) : -1;
    if (found) return found < 0 ? -1 : 0;
    Ref made = call_method_kw(os.get(), makedirs_name, {path, Py_True}, exist_ok_keyword);
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

// ------------------------------------------------------------ file writing
//
// A file is written whole or not at all: the text goes into a temporary file
// beside it, which takes the file's place by a rename once it is complete and
// closed. An error on the way (text the encoding cannot represent, a full
// disk) leaves the old file as it was. Where a rename cannot stand in for
// open() -- a file descriptor, a device or FIFO, a file with other hard
// links, one we may not write or cannot recreate with its owner, a directory
// where no temporary file can be made -- the file is opened and written
// directly, and open() raises what it always has.
//
// There is no fsync: the aim is to survive the errors the writer sees, not a
// power failure, and a flush to disk per file would slow every write; close()
// still reports the write-back errors of network file systems.

namespace {

using Fill = int (*)(PyObject* file, PyObject* source);

// Clears an error that open() raises itself for the same name (a bad path, a
// missing or read-only directory): the direct write then meets it again and
// reports it as it always has. Returns 0 then, else -1 with the error kept.
int clear_open_error() {
    if (!PyErr_ExceptionMatches(open_errors)) return -1;
    PyErr_Clear();
    return 0;
}

// fill(file, source), then file.close(); an error of close() goes on with the
// error of fill() as its context.
int fill_and_close(PyObject* file, Fill fill, PyObject* source) {
    int status = fill(file, source);
    PyObject* fill_error = take_error();
    Ref closed = call_method(file, close_name, {});
    chain_error(fill_error);
    return status < 0 || !closed ? -1 : 0;
}

int write_directly(PyObject* filename, PyObject* mode, Fill fill, PyObject* source) {
    Ref file = call(open_function, {filename, mode});
    return file ? fill_and_close(file.get(), fill, source) : -1;
}

// An int field of an os.stat() result; -1 with an error set when it fails
// (the fields read here are never negative).
long stat_field(PyObject* status, PyObject* name) {
    Ref value = getattr(status, name);
    return value ? PyLong_AsLong(value.get()) : -1;
}

// Whether a rename may replace the existing file: a regular file with no
// other hard link to keep sharing its contents, that we may write (a rename
// must not overwrite a file that open() refuses).
int is_replaceable(PyObject* path, PyObject* status) {
    long mode = stat_field(status, st_mode_name);
    if (mode < 0) return -1;
    if (!S_ISREG(mode)) return 0;
    long links = stat_field(status, st_nlink_name);
    if (links != 1) return links < 0 ? -1 : 0;
    Ref flag(PyLong_FromLong(W_OK));
    Ref writable = flag ? call_method(os_module, access_name, {path, flag.get()}) : Ref();
    return writable ? PyObject_IsTrue(writable.get()) : -1;
}

// 1 with `status` set to os.stat(path) when the file may be replaced, or to
// None when there is none yet; 0 when it is to be written directly.
int stat_target(PyObject* path, Ref* status) {
    Ref found = call_method(os_module, stat_name, {path});
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) return -1;
        PyErr_Clear();
        *status = Ref::borrow(Py_None);
        return 1;
    }
    int replaceable = is_replaceable(path, found.get());
    if (replaceable > 0) *status = std::move(found);
    return replaceable;
}

// The real path of the file that writing to `filename` replaces (through a
// symbolic link, its target) and its os.stat(), None while there is none: 1.
// 0 when the file is to be written directly.
int find_target(PyObject* filename, Ref* path, Ref* status) {
    // open() takes any number for a file descriptor.
    if (PyNumber_Check(filename)) return 0;
    Ref name = call_method(os_module, fsdecode_name, {filename});
    Ref real = name ? call_method(os_path_module, realpath_name, {name.get()}) : Ref();
    int found = real ? stat_target(real.get(), status) : -1;
    if (found < 0) return clear_open_error();
    *path = std::move(real);
    return found;
}

// A hidden name beside `path`, in the same directory so that the rename
// stays on one file system, random so that writers do not collide (a name
// taken all the same sends the file to the direct write).
Ref temporary_name(PyObject* path) {
    Ref directory = call_method(os_path_module, dirname_name, {path});
    Ref base = directory ? call_method(os_path_module, basename_name, {path}) : Ref();
    Ref size(base ? PyLong_FromLong(6) : nullptr);
    Ref random = size ? call_method(os_module, urandom_name, {size.get()}) : Ref();
    Ref token = random ? call_method(random.get(), hex_name, {}) : Ref();
    Ref name = token ? format_tuple(temporary_format, {base.get(), token.get()}) : Ref();
    return name ? call_method(os_path_module, join_name, {directory.get(), name.get()}) : Ref();
}

// Gives the temporary file the owner, group and permission bits of the file
// it replaces; the owner first, as a change of owner clears the set-id bits.
// Where we may not give them (another's file), the file is written directly.
int copy_owner_and_mode(PyObject* fd, PyObject* status) {
    Ref uid = getattr(status, st_uid_name);
    Ref gid = uid ? getattr(status, st_gid_name) : Ref();
    Ref owned = gid ? call_method(os_module, fchown_name, {fd, uid.get(), gid.get()}) : Ref();
    long mode = owned ? stat_field(status, st_mode_name) : -1;
    Ref bits(mode < 0 ? nullptr : PyLong_FromLong(mode & 07777));
    Ref changed = bits ? call_method(os_module, fchmod_name, {fd, bits.get()}) : Ref();
    return changed ? 0 : -1;
}

// Closes the descriptor in `held` unless open() took it, and removes the
// temporary file. The error being raised goes on unchanged: one from this
// cleanup must not hide it.
void discard(PyObject* temp, PyObject* held) {
    PyObject* error = take_error();
    if (PyList_GET_SIZE(held) > 0) {
        Ref closed = call_method(os_module, close_name, {PyList_GET_ITEM(held, 0)});
        if (!closed) PyErr_Clear();
    }
    Ref removed = call_method(os_module, unlink_name, {temp});
    if (!removed) PyErr_Clear();
    restore_error(error);
}

// Creates the temporary file for the target `path` and `status` (see
// find_target): its name into `temp`, a one-item list holding its descriptor
// into `held`. A new file is created with mode 0o666, from which the kernel
// takes the umask (and a default ACL) exactly as for open(); reading the
// umask instead would need os.umask() to set it, which races with the other
// threads. A file that replaces another is created private and gets the old
// owner and mode before any text goes in. 0 when the file is to be written
// directly.
int make_temporary(PyObject* path, PyObject* status, Ref* temp, Ref* held) {
    bool replacing = status != Py_None;
    Ref flags(PyLong_FromLong(O_WRONLY | O_CREAT | O_EXCL));
    Ref mode(flags ? PyLong_FromLong(replacing ? 0600 : 0666) : nullptr);
    Ref list(mode ? PyList_New(1) : nullptr);  // its item set once the file exists
    Ref name = list ? temporary_name(path) : Ref();
    Ref fd = name ? call_method(os_module, open_name, {name.get(), flags.get(), mode.get()})
                  : Ref();
    if (!fd) return clear_open_error();
    PyList_SET_ITEM(list.get(), 0, fd.release());
    if (replacing && copy_owner_and_mode(PyList_GET_ITEM(list.get(), 0), status) < 0) {
        discard(name.get(), list.get());
        return clear_open_error();
    }
    *temp = std::move(name);
    *held = std::move(list);
    return 1;
}

// The opener open() calls with the name and flags: hands over the descriptor
// of the temporary file, which the file object then owns and closes, even
// when open() fails after. It leaves the list `held` empty, which tells
// discard() that the descriptor is no longer ours to close.
PyObject* hand_over(PyObject* held, PyObject* const*, Py_ssize_t) {
    Ref fd = Ref::borrow(PyList_GetItem(held, 0));
    if (!fd || PySequence_DelItem(held, 0) < 0) return nullptr;
    return fd.release();
}

PyMethodDef hand_over_def = {"opener", as_method(hand_over), METH_FASTCALL, nullptr};

// open(filename, mode) over the temporary file, filled and closed. The file
// object keeps the caller's name, as when it opened the file itself.
int fill_temporary(PyObject* filename, PyObject* mode, Fill fill, PyObject* source,
                   PyObject* held) {
    Ref opener(PyCFunction_New(&hand_over_def, held));
    Ref file = opener ? call_kw(open_function, {filename, mode, opener.get()}, opener_keyword)
                      : Ref();
    return file ? fill_and_close(file.get(), fill, source) : -1;
}

}  // namespace

int write_file(PyObject* filename, bool binary, Fill fill, PyObject* source) {
    if (init_statics() < 0) return -1;
    PyObject* mode = binary ? binary_mode : text_mode;
    Ref path, status;
    int found = find_target(filename, &path, &status);
    if (found <= 0) return found < 0 ? -1 : write_directly(filename, mode, fill, source);
    Ref temp, held;
    int made = make_temporary(path.get(), status.get(), &temp, &held);
    if (made <= 0) return made < 0 ? -1 : write_directly(filename, mode, fill, source);
    if (fill_temporary(filename, mode, fill, source, held.get()) == 0) {
        Ref replaced = call_method(os_module, replace_name, {temp.get(), path.get()});
        if (replaced) return 0;
    }
    discard(temp.get(), held.get());
    return -1;
}

int exec_file_utils(PyObject* module) {
    if (init_statics() < 0 || import_as(module, "os") < 0) return -1;
    Ref all(Py_BuildValue("[s]", "make_sure_dir_exists"));
    if (!all || bind(module, "__all__", all.get()) < 0 ||
        bind_function(module, &make_sure_dir_exists_def) < 0) {
        return -1;
    }
    Py_XSETREF(file_utils_module, Py_NewRef(module));
    return os_global.watch(module, os_name, os_module);
}

}  // namespace pw
