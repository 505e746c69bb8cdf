#include "single_use.h"

#include "instance.h"
#include "module.h"
#include "native.h"

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

PyMemberDef single_use_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(SingleUse, weakrefs), READONLY, nullptr},
    {},
};

PyType_Slot single_use_slots[] = {
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

// ------------------------------------------------ __enter__ and __exit__

// The interpreter looks __enter__ and __exit__ up on every with statement
// and binds each to the manager. A builtin method would be made and freed
// each time; these bound methods come from a pool instead. In the class
// sits a descriptor that binds (`manager` NULL); bound, `manager` is held.
struct Special {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    int which;
    PyObject* manager;
};

enum { enter_method, exit_method };
const char* const special_names[] = {"__enter__", "__exit__"};

PyTypeObject* descriptor_type;
PyTypeObject* bound_type;

bool refuse_keywords(int which, PyObject* kwnames) {
    if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) return false;
    PyErr_Format(PyExc_TypeError, "%s.%s() takes no keyword arguments", single_use_type->tp_name,
                 special_names[which]);
    return true;
}

PyObject* call_enter(PyObject* manager, Py_ssize_t nargs, PyObject* kwnames) {
    if (refuse_keywords(enter_method, kwnames)) return nullptr;
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "%s.__enter__() takes no arguments (%zd given)",
                     single_use_type->tp_name, nargs);
        return nullptr;
    }
    return single_use_enter(manager, nullptr);
}

PyObject* call_exit(PyObject* manager, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    if (refuse_keywords(exit_method, kwnames)) return nullptr;
    return single_use_exit(manager, args, nargs);
}

PyObject* bound_enter(PyObject* op, PyObject* const*, size_t nargsf, PyObject* kwnames) {
    return call_enter(reinterpret_cast<Special*>(op)->manager, PyVectorcall_NARGS(nargsf),
                      kwnames);
}

PyObject* bound_exit(PyObject* op, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return call_exit(reinterpret_cast<Special*>(op)->manager, args, PyVectorcall_NARGS(nargsf),
                     kwnames);
}

// Whether the descriptor `op` applies to `manager`; false with TypeError.
bool applies_to(PyObject* op, PyObject* manager) {
    if (Py_IS_TYPE(manager, single_use_type)) return true;
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%s' object",
                 special_names[reinterpret_cast<Special*>(op)->which], single_use_type->tp_name,
                 Py_TYPE(manager)->tp_name);
    return false;
}

PyObject* descriptor_vectorcall(PyObject* op, PyObject* const* args, size_t nargsf,
                                PyObject* kwnames) {
    int which = reinterpret_cast<Special*>(op)->which;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %s.%s() needs an argument",
                     single_use_type->tp_name, special_names[which]);
        return nullptr;
    }
    if (!applies_to(op, args[0])) return nullptr;
    return which == enter_method ? call_enter(args[0], nargs - 1, kwnames)
                                 : call_exit(args[0], args + 1, nargs - 1, kwnames);
}

Spares<8> spare_bound;

PyObject* descriptor_get(PyObject* op, PyObject* manager, PyObject*) {
    if (!manager) return Py_NewRef(op);  // looked up on the class
    if (!applies_to(op, manager)) return nullptr;
    PyObject* bound = spare_bound.take_unset(bound_type);
    if (!bound) {
        bound = reinterpret_cast<PyObject*>(PyObject_GC_New(Special, bound_type));
        if (!bound) return nullptr;
    }
    auto* self = reinterpret_cast<Special*>(bound);
    self->which = reinterpret_cast<Special*>(op)->which;
    self->vectorcall = self->which == enter_method ? bound_enter : bound_exit;
    self->manager = Py_NewRef(manager);
    PyObject_GC_Track(bound);
    return bound;
}

int bound_traverse(PyObject* op, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(reinterpret_cast<Special*>(op)->manager);
    return 0;
}

void bound_dealloc(PyObject* op) {
    PyTypeObject* type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    Py_CLEAR(reinterpret_cast<Special*>(op)->manager);
    if (!spare_bound.keep(op)) type->tp_free(op);
    Py_DECREF(type);
}

PyObject* bound_repr(PyObject* op) {
    auto* self = reinterpret_cast<Special*>(op);
    return PyUnicode_FromFormat("<built-in method %s of %s object at %p>",
                                special_names[self->which], single_use_type->tp_name,
                                self->manager);
}

// Bound methods compare equal when they bind the same manager, as builtin
// methods do.
PyObject* bound_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !Py_IS_TYPE(b, bound_type)) Py_RETURN_NOTIMPLEMENTED;
    auto* x = reinterpret_cast<Special*>(a);
    auto* y = reinterpret_cast<Special*>(b);
    bool same = x->which == y->which && x->manager == y->manager;
    return Py_NewRef(same == (op == Py_EQ) ? Py_True : Py_False);
}

Py_hash_t bound_hash(PyObject* op) {
    auto* self = reinterpret_cast<Special*>(op);
    Py_hash_t hash = PyObject_Hash(self->manager);
    if (hash == -1) return -1;
    hash ^= self->which;
    return hash == -1 ? -2 : hash;
}

PyObject* get_self(PyObject* op, void*) {
    return Py_NewRef(reinterpret_cast<Special*>(op)->manager);
}

PyObject* get_name(PyObject* op, void*) {
    return PyUnicode_FromString(special_names[reinterpret_cast<Special*>(op)->which]);
}

PyObject* get_qualname(PyObject* op, void*) {
    return PyUnicode_FromFormat("%s.%s", single_use_type->tp_name,
                                special_names[reinterpret_cast<Special*>(op)->which]);
}

PyObject* get_objclass(PyObject*, void*) {
    return Py_NewRef(reinterpret_cast<PyObject*>(single_use_type));
}

PyObject* descriptor_repr(PyObject* op) {
    return PyUnicode_FromFormat("<method '%s' of '%s' objects>",
                                special_names[reinterpret_cast<Special*>(op)->which],
                                single_use_type->tp_name);
}

PyGetSetDef bound_getset[] = {
    {"__self__", get_self, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {},
};

PyGetSetDef descriptor_getset[] = {
    {"__objclass__", get_objclass, nullptr, nullptr, nullptr},
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {},
};

PyMemberDef special_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Special, vectorcall), READONLY, nullptr},
    {},
};

PyType_Slot bound_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_repr, reinterpret_cast<void*>(bound_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(bound_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(bound_hash)},
    {Py_tp_getset, bound_getset},
    {Py_tp_members, special_members},
    {Py_tp_traverse, reinterpret_cast<void*>(bound_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bound_dealloc)},
    {0, nullptr},
};

PyType_Spec bound_spec = {
    "pagewright.builtin_method", sizeof(Special), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    bound_slots,
};

PyType_Slot descriptor_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(descriptor_get)},
    {Py_tp_repr, reinterpret_cast<void*>(descriptor_repr)},
    {Py_tp_getset, descriptor_getset},
    {Py_tp_members, special_members},
    {0, nullptr},
};

PyType_Spec descriptor_spec = {
    "pagewright.method_descriptor", sizeof(Special), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    descriptor_slots,
};

// Puts the descriptors of __enter__ and __exit__ into the manager's class.
int install_specials() {
    descriptor_type = make_type(&descriptor_spec, nullptr);
    bound_type = descriptor_type ? make_type(&bound_spec, nullptr) : nullptr;
    if (!bound_type) return -1;
    for (int which : {enter_method, exit_method}) {
        auto* descriptor = PyObject_New(Special, descriptor_type);
        if (!descriptor) return -1;
        descriptor->vectorcall = descriptor_vectorcall;
        descriptor->which = which;
        descriptor->manager = nullptr;
        Ref held(reinterpret_cast<PyObject*>(descriptor));
        Ref name(PyUnicode_InternFromString(special_names[which]));
        if (!name || replace_in_type(single_use_type, name.get(), held.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace

int init_single_use_type() {
    if (single_use_type) return 0;
    // A context manager carries no docstring, like the generator-based kind.
    single_use_type = make_type(&single_use_spec, nullptr);
    return single_use_type ? install_specials() : -1;
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
