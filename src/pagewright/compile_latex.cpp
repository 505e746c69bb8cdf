// pagewright.compile_latex: runs the TeX engine on a file, raises BadTex
// when the run fails, and removes the run's auxiliary and log files after a
// successful one.
//
// A failed run's BadTex keeps its fixed message; the engine's first error,
// read from the run's .log, rides along as an exception note so that the
// traceback shows what went wrong and where.
//
// The functions look their collaborators (os, subprocess, BadTex, print and
// each other) up as module globals at call time, so replacing any of them
// on the module is honoured.
#include "modules.h"
#include "../core/globals.h"

#include "../core/args.h"
#include "../core/compat.h"
#include "../core/module.h"
#include "../core/strings.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace pw {

namespace {

// The module's interned texts, each with the name it is kept under.
#define LITERALS(X) \
    X(engine, "pdflatex") \
    X(halt_on_error, "-halt-on-error") \
    X(interaction, "-interaction=errorstopmode") \
    X(failure_format, "Could not compile %r.") \
    X(dot, ".") \
    X(aux_extension, "aux") \
    X(log_extension, "log") \
    X(log_suffix, ".log") \
    X(abspath_name, "abspath") \
    X(getcwd_name, "getcwd") \
    X(os_name, "os") \
    X(subprocess_name, "subprocess") \
    X(bad_tex_name, "BadTex") \
    X(run_pdflatex_name, "run_pdflatex") \
    X(clean_temporary_files_name, "clean_temporary_files") \
    X(print_name, "print") \
    X(path_name, "path") \
    X(exists_name, "exists") \
    X(dirname_name, "dirname") \
    X(relpath_name, "relpath") \
    X(splitext_name, "splitext") \
    X(join_name, "join") \
    X(unlink_name, "unlink") \
    X(run_name, "run") \
    X(devnull_name, "DEVNULL") \
    X(returncode_name, "returncode") \
    X(cwd_name, "cwd") \
    X(stdin_name, "stdin") \
    X(stdout_name, "stdout") \
    X(stderr_name, "stderr")
PW_LITERALS(LITERALS)
#undef LITERALS

PyObject* run_keywords;  // ("cwd", "stdin", "stdout", "stderr")

// os.path, through the module's global os.
Ref os_path(PyObject* module) {
    Ref os = module_global(module, os_name);
    if (!os) return Ref();
    return getattr(os.get(), path_name);
}

// os.path.exists(name) as 1 or 0, or -1 with an exception set.
int path_exists(PyObject* path, PyObject* name) {
    Ref exists = call_method(path, exists_name, {name});
    return exists ? PyObject_IsTrue(exists.get()) : -1;
}

// raise exception: an instance that is not an exception is refused as the
// raise statement refuses it.
void raise_instance(PyObject* exception) {
    if (PyExceptionInstance_Check(exception)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception)), exception);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

// The AssertionError of a missing file, without a message as ever, with a
// note that shows where the name led from the current directory.
void raise_not_found(PyObject* module, PyObject* path, PyObject* filename) {
    Ref error(PyObject_CallNoArgs(PyExc_AssertionError));
    if (!error) return;
    Ref os = module_global(module, os_name);
    Ref cwd = os ? call_method(os.get(), getcwd_name, {}) : Ref();
    Ref absolute = cwd ? call_method(path, abspath_name, {filename}) : Ref();
    Ref note(absolute ? PyUnicode_FromFormat("file not found: %S\nlooked for: %S\n"
                                             "current directory: %S",
                                             filename, absolute.get(), cwd.get())
                      : nullptr);
    if (!note || add_note(error.get(), note.get()) < 0) PyErr_Clear();
    raise_instance(error.get());
}

PyObject* compile_tex(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static const Signature signature{"compile_tex", {"filename", "cwd"}, 1};
    PyObject* arg[2];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    EngineJob job;
    if (resolve_engine_job(module, arg[0], arg[1], job) < 0 ||
        !call_global(module, run_pdflatex_name, {job.basename.get(), job.cwd.get()})) {
        return nullptr;
    }
    Ref clean = module_global(module, clean_temporary_files_name);
    Ref path = clean ? os_path(module) : Ref();
    Ref run_basename =
        path ? call_method(path.get(), join_name, {job.cwd.get(), job.basename.get()}) : Ref();
    if (!run_basename || !call(clean.get(), {run_basename.get()})) return nullptr;
    return none();
}

// The whole file as bytes; false when it cannot be opened or read.
bool read_file(const char* path, std::string& out) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) out.append(chunk, got);
    bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

// The text of the line that starts at `begin`, without its line end.
std::string line_at(const std::string& text, size_t begin) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    if (end > begin && text[end - 1] == '\r') end--;
    return text.substr(begin, end - begin);
}

// Where the line after the one that holds `at` begins (npos at the end).
size_t next_line(const std::string& text, size_t at) {
    size_t end = text.find('\n', at);
    return end == std::string::npos ? end : end + 1;
}

// Where the first line at or after `from` that reports an error begins:
// TeX writes "! message", pdfTeX "!pdfTeX error: message". npos when there
// is none.
size_t error_line_at(const std::string& log, size_t from) {
    for (size_t at = from; at < log.size(); at = next_line(log, at)) {
        if (log[at] == '!') return at;
    }
    return std::string::npos;
}

// TeX shows where it stopped with a line "l.N text". The first such line
// between the error at `error_at` and the next error, or "".
std::string location_of(const std::string& log, size_t error_at) {
    size_t next_error = error_line_at(log, next_line(log, error_at));
    for (size_t at = log.find("\nl.", error_at); at < next_error && at != std::string::npos;
         at = log.find("\nl.", at + 1)) {
        std::string line = line_at(log, at + 1);
        if (line.size() > 2 && line[2] >= '0' && line[2] <= '9') return line;
    }
    return "";
}

// The control sequence an "Undefined control sequence" error stopped at:
// TeX breaks the first context line right after it, so it is that line's
// last token. "" when that token is not a control word.
std::string undefined_name(const std::string& log, size_t error_at) {
    size_t context_at = next_line(log, error_at);
    if (context_at == std::string::npos) return "";
    std::string context = line_at(log, context_at);
    size_t end = context.find_last_not_of(' ');
    if (end == std::string::npos) return "";
    size_t begin = ++end;
    while (begin > 0 && (std::isalpha(static_cast<unsigned char>(context[begin - 1])) ||
                         context[begin - 1] == '@')) {
        begin--;
    }
    if (begin == end || begin == 0 || context[begin - 1] != '\\') return "";
    return context.substr(begin - 1, end - begin + 1);
}

// Commands and environments of the LaTeX packages that documents ask for
// themselves: a document that uses them without requesting the package
// fails with an undefined command or environment.
struct PackageHint {
    const char* environment;  // or null
    const char* command;      // or null
    const char* package;
};

const PackageHint package_hints[] = {
    {"longtable", nullptr, "longtable"},
    {nullptr, "\\color", "xcolor"},
    {nullptr, "\\textcolor", "xcolor"},
    {nullptr, "\\textattachfile", "attachfile"},
};

// The call that fixes the error at `error_at`, when it is one of a package
// the document did not request; "" otherwise.
std::string package_hint(const std::string& log, size_t error_at) {
    std::string error = line_at(log, error_at);
    bool undefined_command = error == "! Undefined control sequence.";
    std::string command = undefined_command ? undefined_name(log, error_at) : "";
    for (const PackageHint& hint : package_hints) {
        std::string used;
        if (hint.environment &&
            error == std::string("! LaTeX Error: Environment ") + hint.environment + " undefined.") {
            used = std::string("\\begin{") + hint.environment + "}";
        } else if (hint.command && undefined_command && command == hint.command) {
            used = command;
        } else {
            continue;
        }
        return used + " is defined by the LaTeX package " + hint.package +
               ", which the document does not load: call use_package('" + hint.package +
               "') on it when writing it";
    }
    return "";
}

// The notes of a failed run's log: its first error with the "l.N" line
// that shows where the input stopped and the log's path, then the call
// that fixes a missing package, if that is the error. None when the log
// is not UTF-8 or holds no error line.
std::vector<std::string> log_notes(const std::string& log, const std::string& log_path) {
    Ref decoded(PyUnicode_DecodeUTF8(log.data(), log.size(), "strict"));
    if (!decoded) {
        PyErr_Clear();
        return {};
    }
    size_t error_at = error_line_at(log, 0);
    if (error_at == std::string::npos) return {};
    std::string note = line_at(log, error_at);
    std::string location = location_of(log, error_at);
    if (!location.empty()) note += "\n" + location;
    std::vector<std::string> notes{note + "\nlog: " + log_path};
    std::string hint = package_hint(log, error_at);
    if (!hint.empty()) notes.push_back(hint);
    return notes;
}

// Adds the notes of the run's log to `exception`. Any failure on the way
// leaves the exception as it was: a note is a help, never a reason to
// lose the BadTex.
void note_first_error(PyObject* module, PyObject* exception, PyObject* basename, PyObject* cwd) {
    Ref path = os_path(module);
    Ref log_name(path ? PyNumber_Add(basename, log_suffix) : nullptr);
    Ref joined = log_name ? call_method(path.get(), join_name, {cwd, log_name.get()}) : Ref();
    Ref log_path = joined ? call_method(path.get(), abspath_name, {joined.get()}) : Ref();
    const char* shown_path =
        log_path && PyUnicode_Check(log_path.get()) ? PyUnicode_AsUTF8(log_path.get()) : nullptr;
    std::string log;
    if (shown_path && read_whole_file(log_path.get(), log)) {
        for (const std::string& text : log_notes(log, shown_path)) {
            Ref note(PyUnicode_DecodeUTF8(text.data(), text.size(), "strict"));
            if (!note || add_note(exception, note.get()) < 0) break;
        }
    }
    PyErr_Clear();
}

// One engine run. Its input is the null device, so an engine that stops to
// ask for input ends at once instead of waiting on the caller's terminal;
// its output is discarded.
PyObject* run_pdflatex(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    static const Signature signature{"run_pdflatex", {"basename", "cwd"}, 2};
    PyObject* arg[2];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    PyObject* basename = arg[0];
    Ref command = engine_command(basename);
    Ref subprocess = command ? module_global(module, subprocess_name) : Ref();
    Ref devnull = subprocess ? getattr(subprocess.get(), devnull_name) : Ref();
    if (!devnull) return nullptr;
    Ref completed = call_method_kw(subprocess.get(), run_name,
                                   {command.get(), engine_directory(arg[1]), devnull.get(),
                                    devnull.get(), devnull.get()},
                                   run_keywords);
    Ref status = completed ? getattr(completed.get(), returncode_name) : Ref();
    Ref zero(status ? PyLong_FromLong(0) : nullptr);
    int failed = zero ? PyObject_RichCompareBool(status.get(), zero.get(), Py_NE) : -1;
    if (failed <= 0) return failed < 0 ? nullptr : none();
    Ref exception = failed_run(module, basename, arg[1], nullptr);
    if (exception) raise_instance(exception.get());
    return nullptr;
}

// Prints each temporary file name, existing or not, and removes those that
// exist.
PyObject* clean_temporary_files(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static const Signature signature{"clean_temporary_files", {"basename"}, 1};
    PyObject* basename;
    if (signature.bind(args, nargs, kwnames, &basename) < 0) return nullptr;
    // The temporary files removed after a run, in this order.
    for (PyObject* suffix : {aux_extension, log_extension}) {
        Ref stem(PyNumber_Add(basename, dot));
        Ref name(stem ? PyNumber_Add(stem.get(), suffix) : nullptr);
        if (!name || !call_global(module, print_name, {name.get()})) return nullptr;
        Ref os = module_global(module, os_name);
        Ref path = os ? getattr(os.get(), path_name) : Ref();
        int found = path ? path_exists(path.get(), name.get()) : -1;
        if (found < 0) return nullptr;
        if (found && !call_method(os.get(), unlink_name, {name.get()})) return nullptr;
    }
    return none();
}

PyMethodDef compile_tex_def = {
    "compile_tex", as_method(compile_tex), METH_FASTCALL | METH_KEYWORDS,
    "compile_tex($module, filename, cwd=None)\n--\n\n"
    "Raises BadTex if the file is not compilable.",
};

PyMethodDef run_pdflatex_def = {
    "run_pdflatex", as_method(run_pdflatex), METH_FASTCALL | METH_KEYWORDS,
    "run_pdflatex($module, basename, cwd)\n--\n\n",
};

PyMethodDef clean_temporary_files_def = {
    "clean_temporary_files", as_method(clean_temporary_files), METH_FASTCALL | METH_KEYWORDS,
    "clean_temporary_files($module, basename)\n--\n\n",
};


int init_literals() {
    if (intern_literals(literals) < 0) return -1;
    if (!run_keywords) {
        run_keywords = PyTuple_Pack(4, cwd_name, stdin_name, stdout_name, stderr_name);
        if (!run_keywords) return -1;
    }
    return 0;
}

}  // namespace

int resolve_engine_job(PyObject* module, PyObject* filename, PyObject* cwd, EngineJob& job) {
    Ref path = os_path(module);
    if (!path) return -1;
    int found = path_exists(path.get(), filename);
    if (found <= 0) {
        if (found == 0) raise_not_found(module, path.get(), filename);
        return -1;
    }
    job.cwd = cwd && cwd != Py_None ? Ref::borrow(cwd)
                                    : call_method(path.get(), dirname_name, {filename});
    if (!job.cwd) return -1;
    Ref relative = call_method(path.get(), relpath_name, {filename, job.cwd.get()});
    Ref parts = relative ? call_method(path.get(), splitext_name, {relative.get()}) : Ref();
    job.basename = parts ? Ref(PySequence_GetItem(parts.get(), 0)) : Ref();
    return job.basename ? 0 : -1;
}

Ref engine_command(PyObject* basename) {
    Ref command(PyList_New(4));
    if (!command) return command;
    PyObject* items[] = {engine, halt_on_error, interaction, basename};
    for (Py_ssize_t i = 0; i < 4; i++) PyList_SET_ITEM(command.get(), i, Py_NewRef(items[i]));
    return command;
}

PyObject* engine_directory(PyObject* cwd) {
    if (PyUnicode_Check(cwd) && PyUnicode_GET_LENGTH(cwd) == 0) return Py_None;
    return cwd;
}

Ref failed_run(PyObject* module, PyObject* basename, PyObject* cwd, PyObject* first_note) {
    Ref message = format(failure_format, basename);
    Ref exception = message ? call_global(module, bad_tex_name, {message.get()}) : Ref();
    if (!exception || !PyExceptionInstance_Check(exception.get())) return exception;
    if (first_note && add_note(exception.get(), first_note) < 0) PyErr_Clear();
    note_first_error(module, exception.get(), basename, cwd);
    return exception;
}

bool read_whole_file(PyObject* path, std::string& out) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) {
        PyErr_Clear();
        return false;
    }
    bool ok = read_file(PyBytes_AS_STRING(encoded), out);
    Py_DECREF(encoded);
    return ok;
}

int exec_compile_latex(PyObject* module) {
    if (init_literals() < 0 || import_as(module, "os") < 0 || import_as(module, "subprocess") < 0 ||
        import_names(module, "pagewright.structures", {"BadTex"}) < 0) {
        return -1;
    }
    Ref all(Py_BuildValue("[s]", "compile_tex"));
    if (!all || bind(module, "__all__", all.get()) < 0) return -1;
    for (PyMethodDef* def : {&compile_tex_def, &run_pdflatex_def, &clean_temporary_files_def}) {
        if (bind_function(module, def) < 0) return -1;
    }
    return 0;
}

}  // namespace pw
