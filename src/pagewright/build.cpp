// pagewright.build: builds PDFs whose references resolve. build_pdf runs
// the TeX engine on a file as compile_tex does, and again while the run
// asks for it; build_pdfs builds many files at once on a thread pool.
//
// The engine's command line, working directory and base name, and the
// BadTex of a failed run, are compile_tex's own (compile_latex.cpp). The
// package does not import this module: `import pagewright.build` does.
#include "modules.h"

#include "../core/args.h"
#include "../core/compat.h"
#include "../core/module.h"
#include "../core/strings.h"

#include <cerrno>
#include <cstdio>
#include <string>

namespace pw {

namespace {

PyObject* subprocess_run;      // subprocess.run
PyObject* devnull;             // subprocess.DEVNULL
PyObject* timeout_expired;     // subprocess.TimeoutExpired
PyObject* os_environ;          // os.environ
PyObject* os_stat;             // os.stat
PyObject* os_cpu_count;        // os.cpu_count
PyObject* path_join;           // os.path.join
PyObject* path_abspath;        // os.path.abspath
PyObject* path_dirname;        // os.path.dirname
PyObject* path_relpath;        // os.path.relpath
PyObject* path_splitext;       // os.path.splitext
PyObject* thread_pool;         // concurrent.futures.ThreadPoolExecutor
PyObject* build_result;        // the BuildResult named tuple
PyObject* run_keywords;        // ("cwd", "stdin", "stdout", "stderr", "env", "timeout")
PyObject* shutdown_keywords;   // ("wait", "cancel_futures")

// The module's interned texts, each with the name it is kept under.
#define LITERALS(X) \
    X(returncode_name, "returncode") \
    X(st_mtime_name, "st_mtime") \
    X(submit_name, "submit") \
    X(result_name, "result") \
    X(shutdown_name, "shutdown") \
    X(source_date_epoch, "SOURCE_DATE_EPOCH") \
    X(force_source_date, "FORCE_SOURCE_DATE") \
    X(one, "1") \
    X(pdf_suffix, ".pdf") \
    X(aux_suffix, ".aux") \
    X(log_suffix, ".log") \
    X(toc_suffix, ".toc") \
    X(lof_suffix, ".lof") \
    X(lot_suffix, ".lot")
PW_LITERALS(LITERALS)
#undef LITERALS
// The contents files a pass may change: their text is compared between passes.
PyObject** const contents_suffixes[] = {&toc_suffix, &lof_suffix, &lot_suffix};

// The files that hold a table of contents and the lists of figures and
// tables: LaTeX writes them in one run and reads them in the next, without
// a word in the log when they change.

// os.path.join(cwd, basename + suffix)
Ref run_file(PyObject* cwd, PyObject* basename, PyObject* suffix) {
    Ref name(PyNumber_Add(basename, suffix));
    return name ? call(path_join, {cwd, name.get()}) : Ref();
}

// A copy of os.environ that makes the engine's output depend on the source
// alone: SOURCE_DATE_EPOCH as set, else the file's modification time, and
// FORCE_SOURCE_DATE=1 so that \today and the PDF's dates follow it.
Ref reproducible_environment(PyObject* filename) {
    Ref env(PyDict_New());
    if (!env || PyDict_Merge(env.get(), os_environ, 1) < 0) return Ref();
    int has_epoch = PyDict_Contains(env.get(), source_date_epoch);
    if (has_epoch < 0) return Ref();
    if (!has_epoch) {
        Ref status = call(os_stat, {filename});
        Ref mtime = status ? getattr(status.get(), st_mtime_name) : Ref();
        Ref seconds(mtime ? PyNumber_Long(mtime.get()) : nullptr);
        Ref text(seconds ? PyObject_Str(seconds.get()) : nullptr);
        if (!text || PyDict_SetItem(env.get(), source_date_epoch, text.get()) < 0) return Ref();
    }
    if (PyDict_SetItem(env.get(), force_source_date, one) < 0) return Ref();
    return env;
}

// One engine run: its exit status, or -1 with an exception set. A run
// killed at the timeout raises `timeout_expired`.
int run_engine(PyObject* command, PyObject* cwd, PyObject* env, PyObject* timeout) {
    Ref completed = call_kw(subprocess_run,
                            {command, engine_directory(cwd), devnull, devnull, devnull, env, timeout},
                            run_keywords);
    Ref status = completed ? getattr(completed.get(), returncode_name) : Ref();
    if (!status) return -1;
    long value = PyLong_AsLong(status.get());
    if (value == -1 && PyErr_Occurred()) return -1;
    return value == 0 ? 0 : 1;
}

// The warning whose first line starts at `begin`, as one line: that line,
// then its continuation lines, which start with "(package)" or spaces.
std::string warning_at(const std::string& log, size_t begin) {
    std::string text;
    size_t at = begin;
    do {
        size_t end = log.find('\n', at);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (at != begin) {
            size_t indent = line[0] == '(' ? line.find(')') + 1 : 0;
            size_t words = line.find_first_not_of(' ', indent);
            line = words == std::string::npos ? "" : line.substr(words);
            text += ' ';
        }
        text += line;
        at = end + 1;
    } while (at < log.size() && (log[at] == '(' || log[at] == ' ') &&
             log.find_first_not_of(" \r", at) != log.find('\n', at));
    return text;
}

// TeX breaks log lines at 79 characters; joined again, a message is one
// line.
std::string unwrapped(const std::string& log) {
    std::string text;
    text.reserve(log.size());
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find('\n', at);
        if (end == std::string::npos) end = log.size();
        text.append(log, at, end - at);
        if (end - at != 79 && end < log.size()) text += '\n';
        at = end + 1;
    }
    return text;
}

// The first warning of the log that asks for another run: LaTeX's "Label(s)
// may have changed. Rerun to get cross-references right.", longtable's
// "Table widths have changed. Rerun LaTeX.", rerunfilecheck's "Rerun to
// get outlines right" and the like; "" when none does.
std::string rerun_request(const std::string& raw_log) {
    std::string log = unwrapped(raw_log);
    for (size_t at = log.find(" Warning: "); at != std::string::npos;
         at = log.find(" Warning: ", at + 1)) {
        size_t begin = log.rfind('\n', at);
        begin = begin == std::string::npos ? 0 : begin + 1;
        std::string warning = warning_at(log, begin);
        if (warning.find("Rerun") != std::string::npos) return warning;
    }
    return "";
}

// The contents files as they stand (a missing one is empty).
struct ContentsFiles {
    std::string text[3];
};

int read_contents(PyObject* cwd, PyObject* basename, ContentsFiles& files) {
    for (int i = 0; i < 3; i++) {
        Ref path = run_file(cwd, basename, *contents_suffixes[i]);
        if (!path) return -1;
        files.text[i].clear();
        read_whole_file(path.get(), files.text[i]);
    }
    return 0;
}

// Why the document needs another run after the one that turned `before`
// into `after` and wrote `log`; "" when it has settled.
std::string rerun_reason(const std::string& log, const ContentsFiles& before,
                         const ContentsFiles& after) {
    std::string request = rerun_request(log);
    if (!request.empty()) return request;
    const char* const names[] = {"table of contents", "list of figures", "list of tables"};
    for (int i = 0; i < 3; i++) {
        if (before.text[i] != after.text[i]) return std::string("the ") + names[i] + " changed";
    }
    return "";
}

// Removes the file if it is there.
int remove_file(PyObject* path) {
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(path, &encoded)) return -1;
    int status = std::remove(PyBytes_AS_STRING(encoded));
    Py_DECREF(encoded);
    if (status != 0 && errno != ENOENT) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        return -1;
    }
    return 0;
}

// Raises the BadTex of a run killed at the timeout, in place of the
// TimeoutExpired.
void raise_timed_out(PyObject* compile_module, const EngineJob& job, PyObject* timeout, int pass) {
    PyErr_Clear();
    Ref note(PyUnicode_FromFormat("pdflatex ran past the timeout of %S seconds in run %d "
                                  "and was stopped",
                                  timeout, pass));
    Ref error = note ? failed_run(compile_module, job.basename.get(), job.cwd.get(), note.get())
                     : Ref();
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

// Runs the engine until the document settles or `max_passes` runs are
// done; the number of runs, or -1 with an exception set. `reason` is what
// still asked for a run after the last one.
Py_ssize_t run_until_settled(PyObject* compile_module, const EngineJob& job, PyObject* env,
                             PyObject* timeout, Py_ssize_t max_passes, std::string& reason) {
    Ref command = engine_command(job.basename.get());
    Ref log_path = command ? run_file(job.cwd.get(), job.basename.get(), log_suffix) : Ref();
    if (!log_path) return -1;
    ContentsFiles before, after;
    if (read_contents(job.cwd.get(), job.basename.get(), before) < 0) return -1;
    for (Py_ssize_t pass = 1; pass <= max_passes; pass++) {
        int status = run_engine(command.get(), job.cwd.get(), env, timeout);
        if (status < 0) {
            if (PyErr_ExceptionMatches(timeout_expired)) {
                raise_timed_out(compile_module, job, timeout, static_cast<int>(pass));
            }
            return -1;
        }
        if (status != 0) {
            Ref error = failed_run(compile_module, job.basename.get(), job.cwd.get(), nullptr);
            if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
            return -1;
        }
        std::string log;
        read_whole_file(log_path.get(), log);
        if (read_contents(job.cwd.get(), job.basename.get(), after) < 0) return -1;
        reason = rerun_reason(log, before, after);
        if (reason.empty()) return pass;
        before = after;
    }
    return max_passes;
}

const char* const build_pdf_keywords[] = {"filename", "cwd", "max_passes", "timeout",
                                          "reproducible", "keep_aux", nullptr};

PyObject* build_pdf(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* filename;
    PyObject* cwd = Py_None;
    Py_ssize_t max_passes = 5;
    PyObject* timeout = Py_None;
    int reproducible = 0;
    int keep_aux = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$nOpp:build_pdf",
                                     const_cast<char**>(build_pdf_keywords), &filename, &cwd,
                                     &max_passes, &timeout, &reproducible, &keep_aux)) {
        return nullptr;
    }
    if (max_passes < 1) {
        PyErr_SetString(PyExc_ValueError, "max_passes must be at least 1");
        return nullptr;
    }
    Ref compile_module = import_module("pagewright.compile_latex");
    EngineJob job;
    if (!compile_module || resolve_engine_job(compile_module.get(), filename, cwd, job) < 0) {
        return nullptr;
    }
    Ref env = reproducible ? reproducible_environment(filename) : Ref::borrow(Py_None);
    if (!env) return nullptr;
    std::string reason;
    Py_ssize_t passes =
        run_until_settled(compile_module.get(), job, env.get(), timeout, max_passes, reason);
    if (passes < 0) return nullptr;
    if (!keep_aux) {
        for (PyObject* suffix : {aux_suffix, log_suffix}) {
            Ref path = run_file(job.cwd.get(), job.basename.get(), suffix);
            if (!path || remove_file(path.get()) < 0) return nullptr;
        }
    }
    Ref pdf = run_file(job.cwd.get(), job.basename.get(), pdf_suffix);
    Ref count(pdf ? PyLong_FromSsize_t(passes) : nullptr);
    if (!count) return nullptr;
    if (!reason.empty() &&
        PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%R has not settled after %zd run(s): %s",
                         filename, passes, reason.c_str()) < 0) {
        return nullptr;
    }
    return call(build_result, {pdf.get(), count.get()}).release();
}

// Where a build keeps its temporary files: the working directory and base
// name it would run with, as one absolute path.
Ref temporary_stem(PyObject* filename, PyObject* cwd) {
    Ref directory = cwd && cwd != Py_None ? Ref::borrow(cwd) : call(path_dirname, {filename});
    Ref relative = directory ? call(path_relpath, {filename, directory.get()}) : Ref();
    Ref parts = relative ? call(path_splitext, {relative.get()}) : Ref();
    Ref basename = parts ? Ref(PySequence_GetItem(parts.get(), 0)) : Ref();
    Ref joined = basename ? call(path_join, {directory.get(), basename.get()}) : Ref();
    return joined ? call(path_abspath, {joined.get()}) : Ref();
}

// Refuses two files that would share their temporary files.
int refuse_shared_names(PyObject* filenames, PyObject* cwd) {
    Ref seen(PyDict_New());
    if (!seen) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filenames); i++) {
        PyObject* filename = PyList_GET_ITEM(filenames, i);
        Ref stem = temporary_stem(filename, cwd);
        if (!stem) return -1;
        PyObject* earlier = PyDict_GetItemWithError(seen.get(), stem.get());  // borrowed
        if (earlier) {
            PyErr_Format(PyExc_ValueError,
                         "%R and %R have the same directory and base name; built at once they "
                         "would share their temporary files",
                         earlier, filename);
            return -1;
        }
        if (PyErr_Occurred() || PyDict_SetItem(seen.get(), stem.get(), filename) < 0) return -1;
    }
    return 0;
}

// The failures, raised together: an ExceptionGroup where there is one;
// on 3.10 the first failure, with a note that lists the others.
void raise_failures(PyObject* failures, Py_ssize_t total) {
    Py_ssize_t count = PyList_GET_SIZE(failures);
#if PY_VERSION_HEX >= 0x030B0000
    // Of Exceptions only, the group is an ExceptionGroup.
    Ref message(PyUnicode_FromFormat("%zd of %zd documents failed to build", count, total));
    Ref group = message ? call(PyExc_BaseExceptionGroup, {message.get(), failures}) : Ref();
    if (group) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(group.get())), group.get());
#else
    PyObject* first = PyList_GET_ITEM(failures, 0);
    Ref lines(PyUnicode_FromFormat("%zd of %zd documents failed to build; the others:", count,
                                   total));
    for (Py_ssize_t i = 1; lines && i < count; i++) {
        PyObject* other = PyList_GET_ITEM(failures, i);
        Ref line(PyUnicode_FromFormat("\n%s: %S", Py_TYPE(other)->tp_name, other));
        lines = line ? Ref(PyUnicode_Concat(lines.get(), line.get())) : Ref();
    }
    if (!lines || (count > 1 && add_note(first, lines.get()) < 0)) PyErr_Clear();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(first)), first);
#endif
}

// Waits for each future in turn: the results in input order, and the
// failures (each with a note naming its file) in `failures`.
Ref collect(PyObject* futures, PyObject* filenames, PyObject* failures) {
    Py_ssize_t count = PyList_GET_SIZE(futures);
    Ref results(PyList_New(count));
    if (!results) return results;
    for (Py_ssize_t i = 0; i < count; i++) {
        Ref result = call_method(PyList_GET_ITEM(futures, i), result_name, {});
        if (!result) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) return Ref();
            Ref error(take_error());
            Ref note(PyUnicode_FromFormat("while building %R", PyList_GET_ITEM(filenames, i)));
            if (!note || add_note(error.get(), note.get()) < 0 ||
                PyList_Append(failures, error.get()) < 0) {
                return Ref();
            }
            result = Ref::borrow(Py_None);
        }
        PyList_SET_ITEM(results.get(), i, result.release());
    }
    return results;
}

// os.cpu_count(), or 1 when the number cannot be told.
Ref cpu_count() {
    Ref count = call(os_cpu_count, {});
    if (count && count.get() == Py_None) return Ref(PyLong_FromLong(1));
    return count;
}

// Submits every build to the pool; the futures, in input order.
Ref submit_all(PyObject* pool, PyObject* build, PyObject* filenames, PyObject* options) {
    Ref submit = getattr(pool, submit_name);
    Ref futures(submit ? PyList_New(0) : nullptr);
    if (!futures) return futures;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filenames); i++) {
        Ref call_args(PyTuple_Pack(2, build, PyList_GET_ITEM(filenames, i)));
        Ref future(call_args ? PyObject_Call(submit.get(), call_args.get(), options) : nullptr);
        if (!future || PyList_Append(futures.get(), future.get()) < 0) return Ref();
    }
    return futures;
}

PyObject* build_pdfs(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyObject* iterable;
    if (!PyArg_UnpackTuple(args, "build_pdfs", 1, 1, &iterable)) return nullptr;
    Ref options(kwargs ? PyDict_Copy(kwargs) : PyDict_New());
    if (!options) return nullptr;
    PyObject* jobs = PyDict_GetItemString(options.get(), "jobs");  // borrowed
    Ref workers = jobs && jobs != Py_None ? Ref::borrow(jobs) : cpu_count();
    if (!workers || (jobs && PyDict_DelItemString(options.get(), "jobs") < 0)) return nullptr;
    Ref filenames(PySequence_List(iterable));
    if (!filenames) return nullptr;
    PyObject* cwd = PyDict_GetItemString(options.get(), "cwd");  // borrowed
    if (refuse_shared_names(filenames.get(), cwd) < 0) return nullptr;
    Ref build(PyObject_GetAttrString(module, "build_pdf"));
    Ref pool = build ? call(thread_pool, {workers.get()}) : Ref();
    if (!pool) return nullptr;
    Ref failures(PyList_New(0));
    Ref futures = failures ? submit_all(pool.get(), build.get(), filenames.get(), options.get())
                           : Ref();
    Ref results = futures ? collect(futures.get(), filenames.get(), failures.get()) : Ref();
    // Every build the pool started ends before this returns, whatever happened.
    // Builds not yet started are cancelled when one has raised.
    PyObject* error = take_error();
    Ref shut = call_method_kw(pool.get(), shutdown_name, {Py_True, Py_True}, shutdown_keywords);
    chain_error(error);
    if (!results || !shut) return nullptr;
    if (PyList_GET_SIZE(failures.get()) > 0) {
        raise_failures(failures.get(), PyList_GET_SIZE(filenames.get()));
        return nullptr;
    }
    return results.release();
}

PyMethodDef build_pdf_def = {
    "build_pdf", as_method(build_pdf), METH_VARARGS | METH_KEYWORDS,
    "build_pdf($module, filename, cwd=None, *, max_passes=5, timeout=None, reproducible=False, "
    "keep_aux=False)\n--\n\n"
    "Build a PDF whose references, contents and table widths have settled.\n\n"
    "Runs pdflatex on the file as compile_tex does, and again while the log\n"
    "asks for another run or the table of contents changed, at most\n"
    "max_passes times; each run is stopped after `timeout` seconds. Removes\n"
    "the .aux and .log unless keep_aux, prints nothing, and returns\n"
    "BuildResult(pdf, passes). reproducible=True sets SOURCE_DATE_EPOCH (from\n"
    "the environment, else the file's modification time) and\n"
    "FORCE_SOURCE_DATE=1, so that the same source gives the same bytes.\n"
    "Raises BadTex as compile_tex does.",
};

PyMethodDef build_pdfs_def = {
    "build_pdfs", as_method(build_pdfs), METH_VARARGS | METH_KEYWORDS,
    "build_pdfs($module, filenames, *, jobs=None, **options)\n--\n\n"
    "Build many PDFs at once with build_pdf(filename, **options).\n\n"
    "Runs `jobs` builds at a time (default: the number of CPUs) and returns\n"
    "their results in input order. Two files with the same directory and\n"
    "base name are refused before anything runs. Failures do not stop the\n"
    "other builds; they are raised together at the end as an ExceptionGroup\n"
    "(on Python 3.10: the first one, with a note listing the others).",
};


// module.name, kept for the life of the process.
int keep(PyObject** slot, const char* module, const char* name) {
    if (*slot) return 0;
    Ref imported = import_module(module);
    *slot = imported ? PyObject_GetAttrString(imported.get(), name) : nullptr;
    return *slot ? 0 : -1;
}

int init_state() {
    if (intern_literals(literals) < 0 || keep(&subprocess_run, "subprocess", "run") < 0 ||
        keep(&devnull, "subprocess", "DEVNULL") < 0 ||
        keep(&timeout_expired, "subprocess", "TimeoutExpired") < 0 ||
        keep(&os_environ, "os", "environ") < 0 || keep(&os_stat, "os", "stat") < 0 ||
        keep(&os_cpu_count, "os", "cpu_count") < 0 ||
        keep(&path_join, "os.path", "join") < 0 || keep(&path_abspath, "os.path", "abspath") < 0 ||
        keep(&path_dirname, "os.path", "dirname") < 0 ||
        keep(&path_relpath, "os.path", "relpath") < 0 ||
        keep(&path_splitext, "os.path", "splitext") < 0 ||
        keep(&thread_pool, "concurrent.futures", "ThreadPoolExecutor") < 0) {
        return -1;
    }
    if (!run_keywords) {
        run_keywords = Py_BuildValue("(ssssss)", "cwd", "stdin", "stdout", "stderr", "env",
                                     "timeout");
        if (!run_keywords) return -1;
    }
    if (!shutdown_keywords) {
        shutdown_keywords = Py_BuildValue("(ss)", "wait", "cancel_futures");
        if (!shutdown_keywords) return -1;
    }
    if (!build_result) {
        Ref collections = import_module("collections");
        Ref namedtuple(collections ? PyObject_GetAttrString(collections.get(), "namedtuple")
                                   : nullptr);
        Ref type_args(namedtuple ? Py_BuildValue("(s[ss])", "BuildResult", "pdf", "passes")
                                 : nullptr);
        Ref type_kwargs(type_args ? Py_BuildValue("{ss}", "module", "pagewright.build") : nullptr);
        build_result = type_kwargs
                           ? PyObject_Call(namedtuple.get(), type_args.get(), type_kwargs.get())
                           : nullptr;
        if (!build_result) return -1;
    }
    return 0;
}

}  // namespace

int exec_build(PyObject* module) {
    if (init_state() < 0) return -1;
    Ref doc(PyUnicode_FromString(
        "Building PDFs whose cross-references, contents and table widths have settled,\n"
        "reproducibly, many at a time."));
    Ref all(Py_BuildValue("[sss]", "BuildResult", "build_pdf", "build_pdfs"));
    if (!doc || !all || PyObject_SetAttrString(module, "__doc__", doc.get()) < 0 ||
        bind(module, "__all__", all.get()) < 0 || bind(module, "BuildResult", build_result) < 0) {
        return -1;
    }
    for (PyMethodDef* def : {&build_pdf_def, &build_pdfs_def}) {
        if (bind_function(module, def) < 0) return -1;
    }
    return 0;
}

}  // namespace pw
