#include "registry.h"

#include "../core/args.h"
#include "../core/instance.h"
#include "../core/module.h"
#include "../core/strings.h"
#include "../pagewright/modules.h"

#include <cstring>

namespace pw {

namespace {

struct Submodule {
    const char* name;  // dotted, under the package
    int (*exec)(PyObject* module);
};

const Submodule submodules[] = {
    {"pagewright.structures", exec_structures},
    {"pagewright.compile_latex", exec_compile_latex},
    {"pagewright.envs", exec_envs},
    {"pagewright.utils", exec_utils},
    {"pagewright.ifs", exec_ifs},
    {"pagewright.context", exec_context},
    {"pagewright.environment", exec_environment},
    {"pagewright.file_utils", exec_file_utils},
    {"pagewright.document", exec_document},
    {"pagewright.frags", exec_frags},
    {"pagewright.figure", exec_figure},
    {"pagewright.tabular", exec_tabular},
    // Not one of the package's own imports: `import pagewright.build` loads it.
    {"pagewright.build", exec_build},
};

const Submodule* find_submodule(PyObject* fullname) {
    const char* name = PyUnicode_AsUTF8(fullname);
    if (!name) return nullptr;
    for (const Submodule& sub : submodules) {
        if (std::strcmp(sub.name, name) == 0) return &sub;
    }
    return nullptr;
}

struct Importer {
    PyObject_HEAD
    PyObject* origin;
    PyObject* module_spec;  // importlib.machinery.ModuleSpec
};

PyTypeObject* importer_type;
PyObject* importer;  // the one instance on sys.meta_path

const Signature find_spec_signature{"find_spec", {"fullname", "path", "target"}, 1};

// find_spec(fullname, path=None, target=None): a spec for our submodules,
// None for every other name.
PyObject* importer_find_spec(PyObject* op, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    auto* self = reinterpret_cast<Importer*>(op);
    PyObject* arg[3];
    if (find_spec_signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    if (!PyUnicode_Check(arg[0])) Py_RETURN_NONE;
    if (!find_submodule(arg[0])) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    }
    Ref kwnames_origin(PyTuple_Pack(1, names.origin));
    if (!kwnames_origin) return nullptr;
    Ref spec = call_kw(self->module_spec, {arg[0], op, self->origin}, kwnames_origin.get());
    if (!spec || PyObject_SetAttr(spec.get(), names.has_location, Py_True) < 0) {
        return nullptr;
    }
    return spec.release();
}

// create_module(spec): None, so that the host makes a plain module.
PyObject* importer_create_module(PyObject*, PyObject*) { Py_RETURN_NONE; }

// exec_module(module): the submodule's own initialisation.
PyObject* importer_exec_module(PyObject*, PyObject* module) {
    Ref name = getattr(module, names.__name__);
    if (!name) return nullptr;
    const Submodule* sub = find_submodule(name.get());
    if (!sub) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_ImportError, "no module named %R in this extension", name.get());
        }
        return nullptr;
    }
    if (PyObject_SetAttr(module, names.__cached__, Py_None) < 0 ||
        PyObject_SetAttr(module, names.__builtins__, PyEval_GetBuiltins()) < 0 ||
        sub->exec(module) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

int importer_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<Importer*>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->origin);
    Py_VISIT(self->module_spec);
    return 0;
}

int importer_clear(PyObject* op) {
    auto* self = reinterpret_cast<Importer*>(op);
    Py_CLEAR(self->origin);
    Py_CLEAR(self->module_spec);
    return 0;
}

PyMethodDef importer_methods[] = {
    {"find_spec", as_method(importer_find_spec), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"create_module", importer_create_module, METH_O, nullptr},
    {"exec_module", importer_exec_module, METH_O, nullptr},
    {},
};

PyType_Slot importer_slots[] = {
    {Py_tp_methods, importer_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(importer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(importer_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_cleared<importer_clear>)},
    {0, nullptr},
};

PyType_Spec importer_spec = {
    "pagewright.SubmoduleImporter", sizeof(Importer), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    importer_slots,
};

Ref new_importer(PyObject* origin) {
    if (!importer_type) {
        importer_type = make_type(&importer_spec, nullptr);
        if (!importer_type) return Ref();
    }
    Ref machinery = import_module("importlib.machinery");
    if (!machinery) return Ref();
    Ref module_spec(PyObject_GetAttrString(machinery.get(), "ModuleSpec"));
    if (!module_spec) return Ref();
    auto* self = PyObject_GC_New(Importer, importer_type);
    if (!self) return Ref();
    self->origin = Py_NewRef(origin);
    self->module_spec = module_spec.release();
    PyObject_GC_Track(self);
    return Ref(reinterpret_cast<PyObject*>(self));
}

}  // namespace

int install_importer(PyObject* origin) {
    if (!importer) {
        Ref made = new_importer(origin);
        if (!made) return -1;
        importer = made.release();
    }
    PyObject* meta_path = PySys_GetObject("meta_path");  // borrowed
    if (!meta_path || !PyList_Check(meta_path)) {
        PyErr_SetString(PyExc_ImportError, "sys.meta_path is not a list");
        return -1;
    }
    int present = PySequence_Contains(meta_path, importer);
    if (present != 0) return present < 0 ? -1 : 0;
    return PyList_Insert(meta_path, 0, importer);
}

}  // namespace pw
