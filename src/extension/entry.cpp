// The extension's entry point: the package module `pagewright` and its
// initialisation sequence.
#include "registry.h"

#include "../core/compat.h"
#include "../core/native.h"
#include "../core/function.h"
#include "../core/module.h"
#include "../core/single_use.h"
#include "../core/strings.h"

#include <cstring>

#ifndef PW_VERSION
#error "PW_VERSION must be defined by the build"
#endif
#ifndef PW_DATE
#error "PW_DATE must be defined by the build"
#endif

namespace pw {

namespace {

// The submodules whose public names the package re-exports, in order.
const char* const star_imported[] = {
    "structures",
    "compile_latex",
    "envs",
    "utils",
    "ifs",
    "context",
    "environment",
    "document",
    "frags",
};

int init_process_state() {
    read_fast_path_switch();
    if (init_names() < 0 || init_single_use_type() < 0 || init_function_type() < 0 ||
        init_native() < 0) {
        return -1;
    }
    return 0;
}

// from .<name> import *
int star_import(PyObject* package, const char* name) {
    Ref dotted(PyUnicode_FromFormat("pagewright.%s", name));
    if (!dotted) return -1;
    Ref module = import_module(dotted.get());
    if (!module) return -1;
    Ref exported;
    if (PyObject_HasAttr(module.get(), names.__all__)) {
        exported = getattr(module.get(), names.__all__);
    } else {
        PyObject* dict = PyModule_GetDict(module.get());  // borrowed
        Ref all_names(PyDict_Keys(dict));
        if (!all_names) return -1;
        exported = Ref(PyList_New(0));
        if (!exported) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all_names.get()); i++) {
            PyObject* key = PyList_GET_ITEM(all_names.get(), i);
            if (PyUnicode_Check(key) && PyUnicode_READ_CHAR(key, 0) == '_') continue;
            if (PyList_Append(exported.get(), key) < 0) return -1;
        }
    }
    if (!exported) return -1;
    Ref iterator(PyObject_GetIter(exported.get()));
    if (!iterator) return -1;
    while (Ref key{PyIter_Next(iterator.get())}) {
        Ref value = getattr(module.get(), key.get());
        if (!value || PyObject_SetAttr(package, key.get(), value.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// logger = VLogger(__name__); logger.hello_module(name=..., filename=...,
// version=..., date=...)
Ref announce(PyObject* package, PyObject* name, PyObject* file) {
    if (import_names(package, "vantor_commons.logs", {"VLogger"}) < 0) return Ref();
    Ref vlogger(PyObject_GetAttrString(package, "VLogger"));
    if (!vlogger) return Ref();
    Ref logger = call(vlogger.get(), {name});
    if (!logger || bind(package, "logger", logger.get()) < 0) return Ref();
    Ref version(PyObject_GetAttrString(package, "__version__"));
    Ref date(PyObject_GetAttrString(package, "__date__"));
    if (!version || !date) return Ref();
    Ref kwnames(Py_BuildValue("(ssss)", "name", "filename", "version", "date"));
    if (!kwnames) return Ref();
    Ref hello(PyObject_GetAttrString(logger.get(), "hello_module"));
    if (!hello) return Ref();
    Ref result = call_kw(hello.get(), {name, file, version.get(), date.get()}, kwnames.get());
    if (!result) return Ref();
    return logger;
}

// The types, interned names and cached lookups live once per process and
// belong to the interpreter that first made them, so only the main
// interpreter may load the extension.
int refuse_subinterpreter() {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return 0;
    PyErr_SetString(PyExc_ImportError,
                    "module pagewright does not support loading in subinterpreters");
    return -1;
}

// Py_mod_create: the package module, with a spec that names its search
// path (a "pagewright" directory beside the extension file).
PyObject* create_package(PyObject* spec, PyModuleDef*) {
    if (refuse_subinterpreter() < 0 || init_process_state() < 0) return nullptr;
    Ref spec_name(PyObject_GetAttrString(spec, "name"));
    Ref origin = getattr(spec, names.origin);
    Ref os_path = import_module("os.path");
    if (!spec_name || !origin || !os_path) return nullptr;
    Ref directory(PyObject_CallMethod(os_path.get(), "dirname", "O", origin.get()));
    if (!directory) return nullptr;
    Ref search_dir(PyObject_CallMethod(os_path.get(), "join", "Os", directory.get(), "pagewright"));
    if (!search_dir) return nullptr;
    Ref path(PyList_New(1));
    if (!path) return nullptr;
    PyList_SET_ITEM(path.get(), 0, search_dir.release());
    if (PyObject_SetAttr(spec, names.submodule_search_locations, path.get()) < 0) return nullptr;
    return PyModule_NewObject(spec_name.get());
}

// The initialisation sequence, steps in order.
int initialise(PyObject* package) {
    Ref spec = getattr(package, names.__spec__);
    if (!spec) return -1;
    Ref name = getattr(package, names.__name__);
    Ref origin = getattr(spec.get(), names.origin);
    Ref path = getattr(spec.get(), names.submodule_search_locations);
    if (!name || !origin || !path) return -1;
    if (PyObject_SetAttr(package, names.__doc__, Py_None) < 0 ||
        PyObject_SetAttr(package, names.__file__, origin.get()) < 0 ||
        PyObject_SetAttr(package, names.__path__, path.get()) < 0 ||
        PyObject_SetAttr(package, names.__spec__, spec.get()) < 0 ||
        PyObject_SetAttr(package, names.__cached__, Py_None) < 0 ||
        PyObject_SetAttr(package, names.__builtins__, PyEval_GetBuiltins()) < 0) {
        return -1;
    }
    if (install_importer(origin.get()) < 0) return -1;

    Ref version(PyUnicode_FromString(PW_VERSION));
    Ref date(PyUnicode_FromString(PW_DATE));
    if (!version || !date || bind(package, "__version__", version.get()) < 0 ||
        bind(package, "__date__", date.get()) < 0) {
        return -1;
    }
    Ref logger = announce(package, name.get(), origin.get());
    if (!logger) return -1;
    for (const char* submodule : star_imported) {
        if (star_import(package, submodule) < 0) return -1;
    }
    Ref finished(PyObject_GetAttrString(logger.get(), "hello_module_finished"));
    if (!finished) return -1;
    Ref result = call(finished.get(), {name.get()});
    return result ? 0 : -1;
}

// The two outside packages the sequence imports. They ship with
// pagewright's source, and a package index is the wrong place to look for
// them: an unrelated package named pactum is published there.
bool is_outside_package(const char* module) {
    for (const char* package : {"vantor_commons", "pactum"}) {
        size_t length = std::strlen(package);
        if (std::strncmp(module, package, length) == 0 &&
            (module[length] == '\0' || module[length] == '.')) {
            return true;
        }
    }
    return false;
}

// A failed import of an outside package gets a note that says where the
// two packages come from; the error itself goes on unchanged.
void note_missing_outside_package() {
    PyObject* error = take_error();
    if (error && PyErr_GivenExceptionMatches(error, PyExc_ModuleNotFoundError)) {
        Ref module(PyObject_GetAttrString(error, "name"));
        const char* name = module && PyUnicode_Check(module.get())
                               ? PyUnicode_AsUTF8(module.get())
                               : nullptr;
        Ref note(name && is_outside_package(name)
                     ? PyUnicode_FromString(
                           "pagewright needs two packages that ship with its source: "
                           "vantor_commons and pactum. Install them from the vendor/ directory "
                           "of pagewright's repository (pip install ./vendor/vantor_commons "
                           "./vendor/pactum) or from the wheels scripts/wheel.sh leaves in "
                           "dist/wheelhouse/, never from a package index: an unrelated package "
                           "named pactum is published there.")
                     : nullptr);
        if (note) add_note(error, note.get());
        PyErr_Clear();
    }
    restore_error(error);
}

// Py_mod_exec: the package's initialisation sequence.
int exec_package(PyObject* package) {
    if (initialise(package) == 0) return 0;
    note_missing_outside_package();
    return -1;
}

PyModuleDef_Slot package_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_package)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_package)},
    PW_MAIN_INTERPRETER_ONLY_SLOT
    {0, nullptr},
};

PyModuleDef package_def = {
    PyModuleDef_HEAD_INIT, "pagewright", nullptr, 0, nullptr, package_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace pw

PyMODINIT_FUNC PyInit_pagewright() {
    return PyModuleDef_Init(&pw::package_def);
}
