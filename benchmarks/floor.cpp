// The interpreter's floor for the library's block shapes: what CPython itself
// spends on `with t.row() as r: r.cell_tex(x)` and on nested cell blocks
// when the objects do no work. Objects of the same kinds as the library's:
// garbage-collected heap types, single-use managers handing out a fresh
// object, both reused from free lists, methods taking fast-call arguments.
// A manager's __enter__ and __exit__ bind without allocating, as the
// library's do: a with statement binds both, and a builtin method would be
// made and freed for each.
// Not part of the library; benchmarks/instructions.py builds and loads it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

namespace {

PyTypeObject* manager_type;
PyTypeObject* item_type;

// A few freed objects of a type, kept for reuse.
struct Pool {
    PyObject* items[16];
    int count = 0;
    PyObject* take(PyTypeObject* type) {
        if (count == 0) return type->tp_alloc(type, 0);
        PyObject* op = PyObject_Init(items[--count], type);
        PyObject_GC_Track(op);
        return op;
    }
    bool keep(PyObject* op) {
        if (count == 16) return false;
        items[count++] = op;
        return true;
    }
};

Pool managers, items;

// An item (a row, a cell's environment): it holds the object it came from.
struct Item {
    PyObject_HEAD
    PyObject* owner;
};

// A single-use manager: its __enter__ hands out a fresh Item.
struct Manager {
    PyObject_HEAD
    PyObject* owner;
    int entered;
};

int item_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Item*>(self)->owner);
    return 0;
}

void item_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Item*>(self)->owner);
    if (!items.keep(self)) type->tp_free(self);
    Py_DECREF(type);
}

PyObject* make_manager(PyObject* owner) {
    PyObject* op = managers.take(manager_type);
    if (!op) return nullptr;
    reinterpret_cast<Manager*>(op)->owner = Py_NewRef(owner);
    reinterpret_cast<Manager*>(op)->entered = 0;
    return op;
}

// item.row() and item.cell(): a manager of a new item.
PyObject* item_block(PyObject* self, PyObject*) { return make_manager(self); }

// item.cell_tex(x): nothing.
PyObject* item_call(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject*) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "one argument");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* manager_enter(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<Manager*>(op);
    if (self->entered) {
        PyErr_SetString(PyExc_RuntimeError, "entered twice");
        return nullptr;
    }
    self->entered = 1;
    PyObject* item = items.take(item_type);
    if (item) reinterpret_cast<Item*>(item)->owner = Py_NewRef(self->owner);
    return item;
}

PyObject* manager_exit(PyObject*, PyObject* const*, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "three arguments");
        return nullptr;
    }
    Py_RETURN_FALSE;
}

int manager_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Manager*>(self)->owner);
    return 0;
}

void manager_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Manager*>(self)->owner);
    if (!managers.keep(self)) type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef item_methods[] = {
    {"row", item_block, METH_NOARGS, nullptr},
    {"cell", item_block, METH_NOARGS, nullptr},
    {"cell_tex", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(item_call)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(item_call)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {},
};

// __enter__ and __exit__: in the class a descriptor whose binding comes
// from a pool.
struct Special {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* manager;  // NULL in the descriptor
};

PyTypeObject* descriptor_type;
PyTypeObject* bound_type;
Pool bound;

PyObject* bound_enter(PyObject* op, PyObject* const*, size_t nargsf, PyObject*) {
    if (PyVectorcall_NARGS(nargsf) != 0) {
        PyErr_SetString(PyExc_TypeError, "no arguments");
        return nullptr;
    }
    return manager_enter(reinterpret_cast<Special*>(op)->manager, nullptr);
}

PyObject* bound_exit(PyObject* op, PyObject* const* args, size_t nargsf, PyObject*) {
    return manager_exit(reinterpret_cast<Special*>(op)->manager, args, PyVectorcall_NARGS(nargsf));
}

PyObject* descriptor_get(PyObject* op, PyObject* manager, PyObject*) {
    if (!manager) return Py_NewRef(op);
    PyObject* made = bound.take(bound_type);
    if (!made) return nullptr;
    auto* self = reinterpret_cast<Special*>(made);
    self->vectorcall = reinterpret_cast<Special*>(op)->vectorcall;
    self->manager = Py_NewRef(manager);
    return made;
}

int bound_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Special*>(self)->manager);
    return 0;
}

void bound_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Special*>(self)->manager);
    if (!bound.keep(self)) type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef special_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Special, vectorcall), READONLY, nullptr},
    {},
};

PyType_Slot bound_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_members, special_members},
    {Py_tp_traverse, reinterpret_cast<void*>(bound_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bound_dealloc)},
    {0, nullptr},
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(descriptor_get)},
    {0, nullptr},
};

PyType_Spec bound_spec = {"floor.Bound", sizeof(Special), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
                          bound_slots};
PyType_Spec descriptor_spec = {"floor.Descriptor", sizeof(Special), 0, Py_TPFLAGS_DEFAULT,
                               descriptor_slots};

// Puts a descriptor calling `call` into the manager's class as `name`.
int add_special(const char* name, vectorcallfunc call) {
    auto* descriptor = PyObject_New(Special, descriptor_type);
    if (!descriptor) return -1;
    descriptor->vectorcall = call;
    descriptor->manager = nullptr;
    int status = PyObject_SetAttrString(reinterpret_cast<PyObject*>(manager_type), name,
                                        reinterpret_cast<PyObject*>(descriptor));
    Py_DECREF(descriptor);
    return status;
}

PyType_Slot item_slots[] = {
    {Py_tp_methods, item_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(item_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(item_dealloc)},
    {0, nullptr},
};

PyType_Slot manager_slots[] = {
    {Py_tp_traverse, reinterpret_cast<void*>(manager_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(manager_dealloc)},
    {0, nullptr},
};

PyType_Spec item_spec = {"floor.Item", sizeof(Item), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, item_slots};
PyType_Spec manager_spec = {"floor.Manager", sizeof(Manager), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, manager_slots};

// floor.table(): an item to open rows on, as an open table.
PyObject* table(PyObject*, PyObject*) {
    PyObject* item = items.take(item_type);
    if (item) reinterpret_cast<Item*>(item)->owner = Py_NewRef(Py_None);
    return item;
}

PyMethodDef module_methods[] = {
    {"table", table, METH_NOARGS, nullptr},
    {},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "floor", nullptr, -1, module_methods};

}  // namespace

PyMODINIT_FUNC PyInit_floor() {
    item_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&item_spec));
    manager_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&manager_spec));
    bound_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&bound_spec));
    descriptor_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&descriptor_spec));
    if (!item_type || !manager_type || !bound_type || !descriptor_type ||
        add_special("__enter__", bound_enter) < 0 || add_special("__exit__", bound_exit) < 0) {
        return nullptr;
    }
    return PyModule_Create(&module_def);
}
