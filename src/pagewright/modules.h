// The submodules of the package: each one's initialisation binds its names
// into the (already created) module object, in the order its Python
// counterpart would bind them.
#pragma once

#include "../core/globals.h"
#include "../core/native.h"

#include <string>

namespace pw {

int exec_structures(PyObject* module);
int exec_compile_latex(PyObject* module);
int exec_envs(PyObject* module);
int exec_utils(PyObject* module);
int exec_ifs(PyObject* module);
int exec_context(PyObject* module);
int exec_environment(PyObject* module);
int exec_file_utils(PyObject* module);
int exec_document(PyObject* module);
int exec_frags(PyObject* module);
int exec_figure(PyObject* module);
int exec_tabular(PyObject* module);
int exec_build(PyObject* module);

class Sink;

// The lines begin_end writes on entering (returning the options it keeps:
// `options`, or a new empty dict when it is false) and on a normal exit.
PyObject* open_environment(Sink& out, PyObject* env_name, PyObject* options);
int close_environment(Sink& out, PyObject* env_name);

// latex_escape(s), for the writers that escape their text.
PyObject* escape_latex(PyObject* s);
// buffer.append(latex_escape(s)) for an exact str, escaping in place.
struct TextBuffer;
int escape_into(TextBuffer& buffer, PyObject* s);

// The library's classes, once their modules have been initialised.
PyTypeObject* latex_context_type();
PyTypeObject* latex_environment_type();
// The guard of LatexEnvironment, which classes derived from it later (the
// lazily loaded modules' classes) watch their base through.
const TypeGuard& latex_environment_guard();
PyTypeObject* latex_document_type();

// The layout LatexEnvironment and the library's classes derived from it
// share: the native fields, Tabular's column count while its field is lazy,
// and a block environment's pending context while its `context` is lazy.
struct PendingContext;
struct Writer : Native {
    Py_ssize_t ncols;
    PendingContext* pending;
};
inline Writer* as_writer(PyObject* self) { return reinterpret_cast<Writer*>(self); }
int writer_traverse(PyObject* self, visitproc visit, void* arg);
int writer_clear(PyObject* self);
void writer_dealloc(PyObject* self);
#define WRITER_SLOTS                                                   \
    {Py_tp_traverse, reinterpret_cast<void*>(pw::writer_traverse)},    \
    {Py_tp_clear, reinterpret_cast<void*>(pw::writer_clear)},          \
    {Py_tp_dealloc, reinterpret_cast<void*>(pw::writer_dealloc)},      \
    {Py_tp_alloc, reinterpret_cast<void*>(pw::native_alloc)}

// A new object of a writer class, reusing a freed one where it can.
PyObject* alloc_writer(PyTypeObject* type);

// LatexEnvironment(context), LatexEnvironment being the global of `module`
// that `global` watches: made natively while that is the class, unchanged.
PyObject* environment_from(PyObject* module, Global& global, PyObject* context);
// LatexEnvironment(context.child()) the same way, for a block that alone
// holds the child: the child stays pending until Python code needs it.
// NULL when the child or the environment would not be made natively (and
// with an exception on error).
PyObject* environment_of_child(Global& global, PyObject* context);
// The environment of a block on `context`: environment_of_child when it
// applies, else environment_from(module, global, child_of(context)).
PyObject* block_environment(PyObject* module, Global& global, PyObject* context);
// The body and preamble (indexed by field) of the context a LatexEnvironment
// writes into, natively: its pending context's, or its context's while
// Python code has read neither buffer; NULL otherwise.
TextBuffer* environment_buffers(PyObject* env);

// LatexContext(graphics_path), LatexContext being the global of `module`
// that `global` watches: made natively while that is the class, unchanged.
// With `keyword` (a tuple of the one name), the path is passed by keyword.
PyObject* context_from(PyObject* module, Global& global, PyObject* graphics_path,
                       PyObject* keyword = nullptr);
// The class LatexContext.
PyObject* latex_context_class();

// context.dump_preamble(f), its result dropped.
int dump_packages(PyObject* context, PyObject* f);
// Whether dump_packages(context, f) writes the package lines without
// running Python code.
bool packages_dump_natively(PyObject* context);

// context.use_package(name, options), its result dropped; `options` is true,
// or NULL for a new empty dict.
int request_package(PyObject* context, PyObject* name, PyObject* options);

// env.use_package(name), its result dropped; the environment's own method
// runs directly while nothing replaced it.
int request_from(PyObject* env, PyObject* name);

// context.child(), made natively for a context in native state.
PyObject* child_of(PyObject* context);

// cls(graphics_path=..., document_class=..., class_options=...) with
// `keywords` those three names: made natively while cls is the library's
// unchanged LatexDocument.
PyObject* document_from(PyObject* cls, PyObject* graphics_path, PyObject* document_class,
                        PyObject* class_options, PyObject* keywords);

// document.dump_stream(file), for the writers of whole documents.
int dump_document_into(PyObject* file, PyObject* document);

// File helpers of pagewright.file_utils.
// make_sure_dir_exists(path); the empty path is the current directory.
int ensure_directory(PyObject* path);
// os.path.dirname(filename)
Ref directory_of(PyObject* filename);
// os.getcwd()
Ref current_directory();
// with open(filename, 'wb' if binary else 'w') as file: fill(file, source)
// written to a temporary file that replaces `filename` once complete, so
// that a failure leaves the old file whole (see file_utils.cpp).
int write_file(PyObject* filename, bool binary, int (*fill)(PyObject* file, PyObject* source),
               PyObject* source);

// LatexEnvironment methods that open the constructs of the figure and
// tabular modules (METH_FASTCALL | METH_KEYWORDS).
PyObject* environment_figure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* environment_subfigure(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* environment_tabular(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* environment_longtable(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

// typing.Dict[str, str], the annotation of option mappings.
Ref dict_of_str(PyObject* typing_dict);

// What compile_tex shares with pagewright.build. `module` is
// pagewright.compile_latex, whose globals (os, BadTex) are used.
// Where the engine runs on a file: `cwd` (by default the file's directory)
// and the file's name relative to it without its suffix. A missing file
// raises AssertionError, with a note.
struct EngineJob {
    Ref cwd;
    Ref basename;
};
int resolve_engine_job(PyObject* module, PyObject* filename, PyObject* cwd, EngineJob& job);
// ["pdflatex", "-halt-on-error", "-interaction=errorstopmode", basename]
Ref engine_command(PyObject* basename);
// The directory to hand to process creation: None for the empty name.
PyObject* engine_directory(PyObject* cwd);
// The BadTex of a failed run, not raised: its fixed message, `first_note`
// (if not null), then the notes read from the run's log.
Ref failed_run(PyObject* module, PyObject* basename, PyObject* cwd, PyObject* first_note);
// The whole file at `path` (a str) as bytes; false when it cannot be read.
bool read_whole_file(PyObject* path, std::string& out);

}  // namespace pw
