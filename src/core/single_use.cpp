#include "single_use.h"

#include "args.h"
#include "instance.h"
#include "module.h"
#include "native.h"
#include "strings.h"

#include <structmember.h>

namespace pw {

namespace {

PyTypeObject* single_use_type;

void clear_slots(SingleUse* self) {
    while (self->used > 0) {
        self->used--;
        Py_CLEAR(self->slots[self->used]);
    }
}

// A call made while the set-up or the closing work is running.
bool refuse_while_busy(const SingleUse* self) {
    if (self->phase != SingleUse::entering && self->phase != SingleUse::exiting) return false;
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return true;
}

PyObject* single_use_enter(PyObject* op, PyObject*) {
    auto* self = reinterpret_cast<SingleUse*>(op);
    if (refuse_while_busy(self)) return nullptr;
    if (self->phase != SingleUse::fresh) {
        PyErr_SetString(PyExc_RuntimeError, "generator didn't yield");
        return nullptr;
    }
    self->phase = SingleUse::entering;
    PyObject* target = self->construct->enter(self);
    if (target) {
        self->phase = SingleUse::entered;
        return target;
    }
    self->phase = SingleUse::finished;
    clear_slots(self);
    return nullptr;
}

PyObject* single_use_exit(PyObject* op, PyObject* const* args, Py_ssize_t nargs) {
    auto* self = reinterpret_cast<SingleUse*>(op);
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "__exit__ expected 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (refuse_while_busy(self)) return nullptr;
    if (self->phase != SingleUse::entered) Py_RETURN_FALSE;
    self->phase = SingleUse::exiting;
    int status = 0;
    if (args[0] == Py_None) {
        status = self->construct->close(self);
    } else if (self->construct->abort) {
        status = self->construct->abort(self, args[0], args[1], args[2]);
    }
    self->phase = SingleUse::finished;
    clear_slots(self);
    if (status < 0) return nullptr;
    return Py_NewRef(status > 0 ? Py_True : Py_False);
}

int single_use_traverse(PyObject* op, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<SingleUse*>(op);
    Py_VISIT(Py_TYPE(op));
    for (int i = 0; i < self->used; i++) Py_VISIT(self->slots[i]);
    return 0;
}

int single_use_clear(PyObject* op) {
    clear_slots(reinterpret_cast<SingleUse*>(op));
    return 0;
}

Spares<16> spares;

void finish_single_use(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    auto* self = reinterpret_cast<SingleUse*>(op);
    if (self->weakrefs) PyObject_ClearWeakRefs(op);
    clear_slots(self);
    if (!spares.keep(op)) type->tp_free(op);
    Py_DECREF(type);
}

// A manager that ran its block has given its slots up already.
bool slots_hold_chain(SingleUse* self) {
    for (int i = 0; i < self->used; i++) {
        if (frees_chain(self->slots[i])) return true;
    }
    return false;
}

void single_use_dealloc(PyObject* op) {
    auto* self = reinterpret_cast<SingleUse*>(op);
    // A manager that ran its block holds nothing more.
    if (self->used == 0 && !self->weakrefs) {
        PyTypeObject* type = Py_TYPE(op);
        PyObject_GC_UnTrack(op);
        if (!spares.keep(op)) type->tp_free(op);
        Py_DECREF(type);
        return;
    }
    free_guarded(op, single_use_dealloc, slots_hold_chain(self), finish_single_use);
}

SingleUse* new_single_use() {
    PyObject* spare = spares.take_unset(single_use_type);
    if (spare) return reinterpret_cast<SingleUse*>(spare);
    return PyObject_GC_New(SingleUse, single_use_type);
}

PyMethodDef single_use_methods[] = {
    {"__enter__", single_use_enter, METH_NOARGS, nullptr},
    {"__exit__", as_method(single_use_exit), METH_FASTCALL, nullptr},
    {},
};

PyMemberDef single_use_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(SingleUse, weakrefs), READONLY, nullptr},
    {},
};

PyType_Slot single_use_slots[] = {
    {Py_tp_methods, single_use_methods},
    {Py_tp_members, single_use_members},
    {Py_tp_traverse, reinterpret_cast<void*>(single_use_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(single_use_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(single_use_dealloc)},
    {0, nullptr},
};

PyType_Spec single_use_spec = {
    "pagewright.SingleUseContext", sizeof(SingleUse), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    single_use_slots,
};

}  // namespace

int init_single_use_type() {
    if (single_use_type) return 0;
    // A context manager carries no docstring, like the generator-based kind.
    single_use_type = make_type(&single_use_spec, nullptr);
    return single_use_type ? 0 : -1;
}

PyObject* make_single_use(const Construct* construct, PyObject* arg) {
    SingleUse* self = new_single_use();
    if (!self) return nullptr;
    self->construct = construct;
    self->weakrefs = nullptr;
    self->phase = SingleUse::fresh;
    self->used = 1;
    self->slots[0] = Py_NewRef(arg);
    for (int i = 1; i < SingleUse::nslots; i++) self->slots[i] = nullptr;
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

PyObject* make_single_use(const Construct* construct, std::initializer_list<PyObject*> args) {
    if (args.size() > SingleUse::nslots) {
        PyErr_SetString(PyExc_SystemError, "too many arguments for a construct");
        return nullptr;
    }
    SingleUse* self = new_single_use();
    if (!self) return nullptr;
    self->construct = construct;
    self->weakrefs = nullptr;
    self->phase = SingleUse::fresh;
    int i = 0;
    for (PyObject* arg : args) {
        Py_XINCREF(arg);
        self->slots[i++] = arg;
    }
    for (int j = i; j < SingleUse::nslots; j++) self->slots[j] = nullptr;
    self->used = static_cast<unsigned char>(i);
    PyObject_GC_Track(self);
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace pw
