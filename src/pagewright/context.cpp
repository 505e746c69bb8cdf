// pagewright.context: the buffers, graphics directory, file-name counter and
// package table behind every piece of text the library writes.
//
// A context the library or the class itself makes keeps them natively (see
// context.h): text in native buffers, the counter as a C integer, package
// requests in a table of its own; Python code that reads an attribute gets
// the object it would have got all along.
//
// Child contexts hand package requests and file-name generation up to the
// root. The climb iterates while the parent would run this module's own
// method, so a chain of any length costs no C stack; any other parent (a
// subclass, or one whose method was replaced on the class or the instance)
// is asked through its own method, under the host's recursion guard.
#include "context.h"
#include "modules.h"

#include "../core/args.h"
#include "../core/function.h"
#include "../core/globals.h"
#include "../core/instance.h"
#include "../core/module.h"
#include "../core/native.h"
#include "../core/write.h"

namespace pw {

namespace {

PyTypeObject* use_package_type;
PyObject* string_io;       // io.StringIO
PyObject* context_module;  // the latest pagewright.context
// The class's own generate_file_id and use_package, to recognise a parent
// whose method has not been replaced.
PyObject* own_generate_file_id;
PyObject* own_use_package;

// The module's interned texts, each with the name it is kept under.
#define LITERALS(X) \
    X(usepackage_format, "\\usepackage[%s]{%s}\n") \
    X(file_id_format, "file%s") \
    X(option_format, "%s=%s") \
    X(flag_format, ",%s") \
    X(comma, ",") \
    X(empty, "") \
    X(dot, ".") \
    X(name_attr, "name") \
    X(options_attr, "options") \
    X(values_method, "values") \
    X(string_io_name, "StringIO") \
    X(use_package_name, "UsePackage") \
    X(context_class_name, "LatexContext") \
    X(option_string_name, "dict_to_latex_option_string")
PW_LITERALS(LITERALS)
#undef LITERALS



// options if it is true, else a new empty dict.
Ref options_or_empty(PyObject* options) {
    int truth = options ? PyObject_IsTrue(options) : 0;
    if (truth < 0) return Ref();
    return truth ? Ref::borrow(options) : Ref(PyDict_New());
}

// options if it is true, else NULL: the options of a request whose empty
// dict is made only where someone receives it. -1 on error.
int true_options(PyObject* options, PyObject** out) {
    int truth = options ? PyObject_IsTrue(options) : 0;
    if (truth < 0) return -1;
    *out = truth ? options : nullptr;
    return 0;
}

// ---------------------------------------------------------------- UsePackage

int use_package_set(PyObject* self, PyObject* name, PyObject* options) {
    if (PyObject_SetAttr(self, name_attr, name) < 0) return -1;
    Ref stored = options_or_empty(options);
    if (!stored) return -1;
    return PyObject_SetAttr(self, options_attr, stored.get());
}

int use_package_tp_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"name", "options", nullptr};
    PyObject* name;
    PyObject* options = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:UsePackage",
                                     const_cast<char**>(keywords), &name, &options)) {
        return -1;
    }
    return use_package_set(self, name, options);
}

// UsePackage.__init__ as a function, so that it carries annotations.
PyObject* use_package_init(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"__init__", {"self", "name", "options"}, 2};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    if (use_package_set(arg[0], arg[1], arg[2]) < 0) return nullptr;
    Py_RETURN_NONE;
}

const FunctionDef use_package_init_def = {
    "__init__", "UsePackage.__init__", use_package_init, "($self, name, options=None)", nullptr,
};

PyObject* use_package_dump_preamble(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    static const Signature signature{"dump_preamble", {"f"}, 1};
    PyObject* f;
    if (signature.bind(args, nargs, kwnames, &f) < 0) return nullptr;
    Ref options = getattr(self, options_attr);
    Ref text = options ? call_global(context_module, option_string_name, {options.get()}) : Ref();
    Ref name = text ? getattr(self, name_attr) : Ref();
    if (!name) return nullptr;
    Ref line = format_tuple(usepackage_format, {text.get(), name.get()});
    if (!line || write_to(f, line.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef use_package_methods[] = {
    {"dump_preamble", as_method(use_package_dump_preamble), METH_FASTCALL | METH_KEYWORDS,
     "dump_preamble($self, f)\n--\n\n"},
    {},
};

PyType_Slot use_package_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(use_package_tp_init)},
    {Py_tp_methods, use_package_methods},
    PW_INSTANCE_SLOTS,
    {0, nullptr},
};

PyType_Spec use_package_spec = {
    "pagewright.context.UsePackage", sizeof(Instance), 0,
    instance_flags, use_package_slots,
};

// ---------------------------------------------- dict_to_latex_option_string

// Each entry with a value gives "name=value", separated from what precedes
// it by a comma; an entry whose value is None gives "," and its name.
PyObject* option_string(PyObject* options) {
    Ref items = call_method(options, names.items, {});
    Ref iterator(items ? PyObject_GetIter(items.get()) : nullptr);
    if (!iterator) return nullptr;
    Ref pieces(PyList_New(0));
    if (!pieces) return nullptr;
    while (Ref item{PyIter_Next(iterator.get())}) {
        Ref key(PySequence_GetItem(item.get(), 0));
        Ref value(key ? PySequence_GetItem(item.get(), 1) : nullptr);
        if (!value) return nullptr;
        Ref piece;
        if (value.get() == Py_None) {
            piece = format_tuple(flag_format, {key.get()});
        } else {
            if (PyList_GET_SIZE(pieces.get()) && PyList_Append(pieces.get(), comma) < 0) {
                return nullptr;
            }
            piece = format_tuple(option_format, {key.get(), value.get()});
        }
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return PyUnicode_Join(empty, pieces.get());
}

PyObject* dict_to_latex_option_string(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    static const Signature signature{"dict_to_latex_option_string", {"d"}, 1};
    PyObject* d;
    if (signature.bind(args, nargs, kwnames, &d) < 0) return nullptr;
    return option_string(d);
}

PyMethodDef dict_to_latex_option_string_def = {
    "dict_to_latex_option_string", as_method(dict_to_latex_option_string),
    METH_FASTCALL | METH_KEYWORDS, "dict_to_latex_option_string($module, d)\n--\n\n",
};

// -------------------------------------------------------------- LatexContext

TypeGuard use_package_guard;
Global string_io_global;            // context.StringIO
Global use_package_global;          // context.UsePackage
Global option_string_global;        // context.dict_to_latex_option_string
Global context_global;              // context.LatexContext

Context* as_context(PyObject* self) { return reinterpret_cast<Context*>(self); }

// ------------------------------------------------------- the request table

void release_requests(Requests& requests) {
    Requests held = requests;
    requests = Requests{};
    for (Py_ssize_t i = 0; i < held.count; i++) {
        Py_DECREF(held.items[i].name);
        Py_XDECREF(held.items[i].options);
    }
    PyMem_Free(held.items);
}

// The names are exact strs, most often the same interned ones: they are
// compared by identity first.
Request* find_request(Requests& requests, PyObject* name) {
    for (Py_ssize_t i = 0; i < requests.count; i++) {
        if (requests.items[i].name == name) return &requests.items[i];
    }
    for (Py_ssize_t i = 0; i < requests.count; i++) {
        if (PyUnicode_Compare(requests.items[i].name, name) == 0) return &requests.items[i];
    }
    return nullptr;
}

// packages[name] = UsePackage(name, options): a name already there keeps
// its place; with `only_if_new`, an existing entry stays as it is.
int record_request(Requests& requests, PyObject* name, PyObject* options, bool only_if_new) {
    if (Request* known = find_request(requests, name)) {
        if (only_if_new) return 0;
        PyObject* old = known->options;
        known->options = Py_XNewRef(options);
        Py_XDECREF(old);
        return 0;
    }
    if (requests.count == requests.capacity) {
        Py_ssize_t capacity = requests.capacity ? requests.capacity * 2 : 8;
        auto* items = static_cast<Request*>(
            PyMem_Realloc(requests.items, capacity * sizeof(Request)));
        if (!items) {
            PyErr_NoMemory();
            return -1;
        }
        requests.items = items;
        requests.capacity = capacity;
    }
    requests.items[requests.count++] = {Py_NewRef(name), Py_XNewRef(options)};
    return 0;
}

// A native table being written by dump_preamble: its entries as they were
// when the dump began (the snapshot of packages.values() that the dump
// iterates), each with the UsePackage made for it should Python code turn
// the table into a dict meanwhile. Dumps in progress are listed; threads
// interleave theirs, so each leaves the list from wherever it stands.
struct PackageDump {
    PyObject* context;
    Py_ssize_t count;
    Request* entries;  // held
    PyObject** made;   // held, or NULL
    PackageDump* next;
};
PackageDump* dumps_in_progress = nullptr;

void end_dump(PackageDump* dump) {
    PackageDump** link = &dumps_in_progress;
    while (*link != dump) link = &(*link)->next;
    *link = dump->next;
}

// The table of `context` has just become `packages`: the entries of its
// dumps in progress that are still in it are those UsePackage objects now.
void note_made_packages(PyObject* context, Requests& requests, PyObject* packages) {
    for (PackageDump* dump = dumps_in_progress; dump; dump = dump->next) {
        if (dump->context != context) continue;
        for (Py_ssize_t i = 0; i < dump->count; i++) {
            const Request& entry = dump->entries[i];
            Request* now = dump->made[i] ? nullptr : find_request(requests, entry.name);
            if (!now || now->name != entry.name || now->options != entry.options) continue;
            // Exact str keys: the lookup runs no Python code.
            dump->made[i] = Py_XNewRef(PyDict_GetItem(packages, entry.name));
        }
    }
}

// The table as Python code sees it: {name: UsePackage(name, options)}.
PyObject* packages_dict(const Requests& requests) {
    Ref packages(PyDict_New());
    if (!packages) return nullptr;
    for (Py_ssize_t i = 0; i < requests.count; i++) {
        const Request& request = requests.items[i];
        Ref options(request.options ? Py_NewRef(request.options) : PyDict_New());
        Ref entry(options ? new_instance(use_package_type, {name_attr, request.name,
                                                            options_attr, options.get()})
                          : nullptr);
        if (!entry || PyDict_SetItem(packages.get(), request.name, entry.get()) < 0) {
            return nullptr;
        }
    }
    return packages.release();
}

// ------------------------------------------------------------ native fields

// io.StringIO() holding the buffer's text, positioned at its end; from
// then on the field holds that stream.
PyObject* stream_of(PyObject* self, int field) {
    Context* context = as_context(self);
    unsigned generation = context->generation[field];
    Ref text(context->buffers[field].value());
    // Making the stream may run the collector, and a finalizer may read (and
    // so drop) the buffer meanwhile: a stream made after that is not the one
    // made from this buffer.
    Ref stream(text ? PyObject_CallNoArgs(string_io) : nullptr);
    if (!stream || write_to(stream.get(), text.get()) < 0) return nullptr;
    if (context->generation[field] != generation || context->layout == nullptr ||
        context->fields[field] != lazy) {
        return PyObject_GetAttr(self, field == f_field ? names.f : names.preamble);
    }
    Py_XSETREF(context->made[field], Py_NewRef(stream.get()));
    context->made_in[field] = generation;
    set_field(self, field, Py_NewRef(stream.get()));
    return stream.release();
}

PyObject* context_value(PyObject* self, int field) {
    Context* context = as_context(self);
    if (field == count_field) return PyLong_FromSsize_t(context->count);
    if (field != packages_field) return stream_of(self, field);
    Ref packages(packages_dict(context->requests));
    if (!packages) return nullptr;
    if (context->fields[packages_field] != lazy) {
        return PyObject_GetAttr(self, names.packages);
    }
    note_made_packages(self, context->requests, packages.get());
    set_field(self, packages_field, Py_NewRef(packages.get()));
    return packages.release();
}

// A shared int is kept as the C counter.
int store_count(PyObject* self, int, PyObject* value) {
    return shared_int(value, &as_context(self)->count) ? 1 : 0;
}

void discard_context_field(PyObject* self, int field) {
    Context* context = as_context(self);
    if (field == packages_field) {
        release_requests(context->requests);
    } else if (field != count_field) {
        TextBuffer dropped = context->buffers[field];
        context->buffers[field] = TextBuffer{};
        context->generation[field]++;
        dropped.release();
    }
}

// Pending children come and go with every cell: a few dropped ones are
// reused, their buffers' tails ready for new text.
constexpr int pending_spares = 16;
PendingContext* spare_pending[pending_spares];
int spare_pending_count;

}  // namespace

PyTypeObject* context_type;
TypeGuard context_guard;

const Layout context_layout = {
    &context_type, &context_guard, 6,
    {&names.f, &names.preamble, &names.graphics_path, &names.parent, &names.count,
     &names.packages},
    -1, 1u << count_field, context_value, store_count, discard_context_field,
};

namespace {

Descriptors context_descriptors;

int context_traverse(PyObject* self, visitproc visit, void* arg) {
    Context* context = as_context(self);
    Py_VISIT(context->made[0]);
    Py_VISIT(context->made[1]);
    for (Py_ssize_t i = 0; i < context->requests.count; i++) {
        Py_VISIT(context->requests.items[i].options);
    }
    return native_traverse(self, visit, arg);
}

// The buffers are emptied first, their tails keeping their memory: a context
// kept for reuse writes its next text there. finish_context frees them
// for one that goes.
int context_clear(PyObject* self) {
    Context* context = as_context(self);
    Py_CLEAR(context->made[0]);
    Py_CLEAR(context->made[1]);
    for (int field : {f_field, preamble_field}) {
        if (context->fields[field] != lazy) continue;
        context->fields[field] = nullptr;
        context->generation[field]++;
        context->buffers[field].empty();
    }
    return native_clear(self);
}

// Child contexts come and go with every block: a few freed ones are reused.
Spares<16> spare_contexts;

void finish_context(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (as_native(self)->weakrefs) PyObject_ClearWeakRefs(self);
    context_clear(self);
    if (type != context_type || !spare_contexts.keep(self)) {
        for (TextBuffer& buffer : as_context(self)->buffers) buffer.release();
        type->tp_free(self);
    }
    Py_DECREF(type);
}

// A child context as a block leaves it: native, no dict or weak references
// or streams, no package requests, and a parent and graphics path that
// others hold too, so that freeing it frees nothing else.
bool plain_context(Context* context) {
    PyObject** fields = context->fields;
    return context->layout == &context_layout && !context->dict && !context->weakrefs &&
           !context->made[0] && !context->made[1] && fields[f_field] == lazy &&
           fields[preamble_field] == lazy && fields[count_field] == lazy &&
           fields[packages_field] == lazy && context->requests.count == 0 &&
           fields[parent_field] && Py_REFCNT(fields[parent_field]) > 1 &&
           fields[graphics_path_field] && Py_REFCNT(fields[graphics_path_field]) > 1;
}

// Contexts hold their parents: long chains of them are freed under the
// trashcan, so that the objects that hold contexts need not be.
void context_dealloc(PyObject* self) {
    Context* context = as_context(self);
    PyTypeObject* type = Py_TYPE(self);
    if (type != context_type || !plain_context(context)) {
        free_guarded(self, context_dealloc, true, finish_context);
        return;
    }
    PyObject_GC_UnTrack(self);
    for (int field : {f_field, preamble_field}) {
        context->generation[field]++;
        context->buffers[field].empty();
    }
    PyObject* parent = context->fields[parent_field];
    PyObject* graphics_path = context->fields[graphics_path_field];
    for (PyObject*& field : context->fields) field = nullptr;
    Py_DECREF(parent);
    Py_DECREF(graphics_path);
    if (!spare_contexts.keep(self)) {
        for (TextBuffer& buffer : context->buffers) buffer.release();
        type->tp_free(self);
    }
    Py_DECREF(type);
}

}  // namespace

// A new, empty LatexContext object, as tp_alloc makes it. A spare was left
// empty by context_clear, its buffers' tails ready for new text.
PyObject* alloc_context() {
    PyObject* context = spare_contexts.take_unset(context_type);
    if (!context) return context_type->tp_alloc(context_type, 0);
    PyObject_GC_Track(context);
    return context;
}

namespace {

// The attributes of a context, natively: buffers and package table made
// when first read.
void set_context(PyObject* self, PyObject* graphics_path, PyObject* parent) {
    as_context(self)->count = 0;
    set_native(self, context_layout,
               {lazy, lazy, Py_NewRef(graphics_path), Py_NewRef(parent), lazy, lazy});
}

// The same for a context just made.
void start_context(PyObject* self, PyObject* graphics_path, PyObject* parent) {
    as_context(self)->count = 0;
    start_native(self, context_layout,
                 {lazy, lazy, Py_NewRef(graphics_path), Py_NewRef(parent), lazy, lazy});
}

// Whether new contexts may be made natively: the class is unchanged and
// its buffers are the module's io.StringIO.
bool contexts_go_native() {
    return fast_paths && context_guard.holds() && string_io_global.holds();
}

int context_set(PyObject* self, PyObject* graphics_path) {
    if (string_io_global.holds() && may_go_native(self, context_layout)) {
        set_context(self, graphics_path, Py_None);
        return cache_methods(self);
    }
    Ref stream_class = module_global(context_module, string_io_name);
    Ref body = stream_class ? call(stream_class.get(), {}) : Ref();
    Ref preamble = body ? call(stream_class.get(), {}) : Ref();
    Ref count(preamble ? PyLong_FromLong(0) : nullptr);
    Ref packages(count ? PyDict_New() : nullptr);
    if (!packages) return -1;
    if (PyObject_SetAttr(self, names.f, body.get()) < 0 ||
        PyObject_SetAttr(self, names.preamble, preamble.get()) < 0 ||
        PyObject_SetAttr(self, names.graphics_path, graphics_path) < 0 ||
        PyObject_SetAttr(self, names.parent, Py_None) < 0 ||
        PyObject_SetAttr(self, names.count, count.get()) < 0 ||
        PyObject_SetAttr(self, names.packages, packages.get()) < 0) {
        return -1;
    }
    return 0;
}

int context_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"graphics_path", nullptr};
    PyObject* graphics_path = dot;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:LatexContext",
                                     const_cast<char**>(keywords), &graphics_path)) {
        return -1;
    }
    return context_set(self, graphics_path);
}

// 1 when context.<method> would run `own`, this module's implementation,
// so the climb can go on in a loop instead of through a call; 0 when not.
// A subclass that overrides neither the method nor attribute lookup climbs
// as the class itself does.
int runs_own(PyObject* context, PyObject* method, PyObject* own) {
    if (!native_fields(context, context_layout)) {
        PyTypeObject* type = Py_TYPE(context);
        if (!PyObject_TypeCheck(context, context_type)) return 0;
        if (type->tp_getattro != PyObject_GenericGetAttr) return 0;
        Ref in_class = getattr(reinterpret_cast<PyObject*>(type), method);
        if (!in_class) return -1;
        if (in_class.get() != own) return 0;
    }
    // Held: comparing the dict's keys may run Python code that replaces it.
    Ref dict = Ref::borrow(as_native(context)->dict);
    if (!dict) return 1;
    int overridden = PyDict_Contains(dict.get(), method);
    return overridden < 0 ? -1 : !overridden;
}

// The parent of `context`; *plain is set when the parent can be climbed to
// directly instead of through its method of that name.
Ref parent_of(PyObject* context, PyObject* method, PyObject* own, bool* plain) {
    Ref parent = native_attr(context, context_layout, parent_field);
    if (!parent) return parent;
    int own_method = runs_own(parent.get(), method, own);
    if (own_method < 0) return Ref();
    *plain = own_method;
    return parent;
}

// How deep calls through Python overrides may nest in a climb. The
// interpreter's recursion check alone would let a raised recursion limit
// run the C stack out; each level costs a few C frames and one Python frame.
constexpr int max_delegation_depth = 1000;

// parent.<method>(*args), where a Python override sits in the chain.
Ref delegate(PyObject* parent, PyObject* method, std::initializer_list<PyObject*> args) {
    static thread_local int depth;
    if (depth >= max_delegation_depth) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while climbing to the root context");
        return Ref();
    }
    if (Py_EnterRecursiveCall(" while climbing to the root context")) return Ref();
    ++depth;
    Ref result = call_method(parent, method, args);
    --depth;
    Py_LeaveRecursiveCall();
    return result;
}

// Walks up the parent links without recursion. A chain that loops back on
// itself is reported as the RecursionError a chain of calls would end in;
// the loop is found by Brent's method: a mark left at growing distances
// behind the walk is met again only inside a cycle.
class Climb {
public:
    explicit Climb(PyObject* start) : current_(Ref::borrow(start)), mark_(Ref::borrow(start)) {}

    PyObject* current() const { return current_.get(); }

    // Moves on to `parent`; -1 with RecursionError when the walk has looped.
    int step(Ref parent) {
        if (parent.get() == mark_.get()) {
            PyErr_SetString(PyExc_RecursionError,
                            "maximum recursion depth exceeded while climbing to the root "
                            "context");
            return -1;
        }
        if (++steps_ == distance_) {
            mark_ = Ref::borrow(parent.get());
            distance_ *= 2;
            steps_ = 0;
        }
        current_ = std::move(parent);
        return 0;
    }

private:
    Ref current_;
    Ref mark_;
    size_t steps_ = 0;
    size_t distance_ = 1;
};

// A request handed to the parent: its result is dropped.
PyObject* delegate_request(PyObject* parent, std::initializer_list<PyObject*> args) {
    if (!delegate(parent, names.use_package, args)) return nullptr;
    Py_RETURN_NONE;
}

// "file%s" % root.count, then root.count += 1.
PyObject* next_file_id(PyObject* root) {
    // A count at the end of the shared ints goes on as a Python int.
    if (PyObject** fields = native_fields(root, context_layout)) {
        if (fields[count_field] == lazy && is_shared_int(as_context(root)->count + 1)) {
            return PyUnicode_FromFormat("file%zd", as_context(root)->count++);
        }
    }
    Ref count = getattr(root, names.count);
    Ref result(count ? format(file_id_format, count.get()) : Ref());
    if (!result) return nullptr;
    Ref one(PyLong_FromLong(1));
    Ref next(one ? PyNumber_InPlaceAdd(count.get(), one.get()) : nullptr);
    if (!next || PyObject_SetAttr(root, names.count, next.get()) < 0) return nullptr;
    return result.release();
}

PyObject* context_generate_file_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    static const Signature signature{"generate_file_id", {}, 0};
    if (signature.bind(args, nargs, kwnames, nullptr) < 0) return nullptr;
    Climb climb(self);
    for (;;) {
        bool plain;
        Ref parent = parent_of(climb.current(), names.generate_file_id, own_generate_file_id,
                               &plain);
        if (!parent) return nullptr;
        int has_parent = PyObject_IsTrue(parent.get());
        if (has_parent < 0) return nullptr;
        if (!has_parent) break;
        if (!plain) return delegate(parent.get(), names.generate_file_id, {}).release();
        if (climb.step(std::move(parent)) < 0) return nullptr;
    }
    return next_file_id(climb.current());
}

// The fields of a context whose children are made natively: a native
// context is of the unchanged class, and its own new children are native
// while its buffers' class and the module's name are unchanged. NULL when
// they are not.
PyObject** native_parent_fields(PyObject* context) {
    PyObject** fields = native_fields(context, context_layout);
    return fields && fields[graphics_path_field] && context_global.holds() &&
                   string_io_global.holds()
               ? fields
               : nullptr;
}

// context.child(): LatexContext(context.graphics_path), LatexContext being
// the module's global, with its parent set.
PyObject* new_child_context(PyObject* context) {
    if (PyObject** fields = native_parent_fields(context)) {
        // The path is read before the new context is made, as the call's
        // argument is: making it may run the collector and so Python code.
        Ref graphics_path = Ref::borrow(fields[graphics_path_field]);
        PyObject* child = alloc_context();
        if (child) start_context(child, graphics_path.get(), context);
        return child;
    }
    Ref cls = module_global(context_module, context_class_name);
    Ref graphics_path = cls ? getattr(context, names.graphics_path) : Ref();
    Ref child = graphics_path ? call(cls.get(), {graphics_path.get()}) : Ref();
    if (!child || PyObject_SetAttr(child.get(), names.parent, context) < 0) return nullptr;
    return child.release();
}

PyObject* context_child(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static const Signature signature{"child", {}, 0};
    if (signature.bind(args, nargs, kwnames, nullptr) < 0) return nullptr;
    return new_child_context(self);
}

// Whether a package line is written as UsePackage's own dump_preamble
// writes it: nothing that method calls was replaced.
bool own_package_lines() { return use_package_guard.holds() && option_string_global.holds(); }

// The package lines of a native table, each written natively.
bool dumps_natively(PyObject* self) {
    PyObject** fields = native_fields(self, context_layout);
    return fields && fields[packages_field] == lazy && own_package_lines();
}

// Writes entry i of the dump as its UsePackage's dump_preamble would: from
// the entry itself while that method and the option text function are the
// library's own and no object was made for it, else through the object.
int dump_entry(PackageDump& dump, Py_ssize_t i, PyObject* f) {
    const Request& entry = dump.entries[i];
    if (!dump.made[i] && own_package_lines()) {
        Ref text(entry.options ? option_string(entry.options) : Py_NewRef(empty));
        Ref line = text ? format_tuple(usepackage_format, {text.get(), entry.name}) : Ref();
        return line ? write_to(f, line.get()) : -1;
    }
    Ref package;
    if (dump.made[i]) {
        package = Ref::borrow(dump.made[i]);
    } else {
        Ref options(entry.options ? Py_NewRef(entry.options) : PyDict_New());
        package = options ? Ref(new_instance(use_package_type, {name_attr, entry.name,
                                                                options_attr, options.get()}))
                          : Ref();
    }
    return package && call_method(package.get(), names.dump_preamble, {f}) ? 0 : -1;
}

void release_dump(PackageDump& dump) {
    for (Py_ssize_t i = 0; i < dump.count; i++) {
        Py_DECREF(dump.entries[i].name);
        Py_XDECREF(dump.entries[i].options);
        Py_XDECREF(dump.made[i]);
    }
    PyMem_Free(dump.entries);
    PyMem_Free(dump.made);
}

int dump_requests(PyObject* self, PyObject* f) {
    const Requests& requests = as_context(self)->requests;
    Py_ssize_t count = requests.count;
    if (count == 0) return 0;
    PackageDump dump{self, count, PyMem_New(Request, count), PyMem_New(PyObject*, count),
                     nullptr};
    if (!dump.entries || !dump.made) {
        PyMem_Free(dump.entries);
        PyMem_Free(dump.made);
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        const Request& request = requests.items[i];
        dump.entries[i] = {Py_NewRef(request.name), Py_XNewRef(request.options)};
        dump.made[i] = nullptr;
    }
    // Python code may run on every write and drop the context.
    Ref held = Ref::borrow(self);
    dump.next = dumps_in_progress;
    dumps_in_progress = &dump;
    int status = 0;
    for (Py_ssize_t i = 0; i < count && status == 0; i++) status = dump_entry(dump, i, f);
    end_dump(&dump);
    release_dump(dump);
    return status;
}

PyObject* context_dump_preamble(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    static const Signature signature{"dump_preamble", {"f"}, 1};
    PyObject* f;
    if (signature.bind(args, nargs, kwnames, &f) < 0) return nullptr;
    if (dumps_natively(self)) {
        if (dump_requests(self, f) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Ref packages = getattr(self, names.packages);
    if (!packages) return nullptr;
    Ref values = call_method(packages.get(), values_method, {});
    Ref snapshot(values ? PySequence_List(values.get()) : nullptr);
    if (!snapshot) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); i++) {
        PyObject* package = PyList_GET_ITEM(snapshot.get(), i);
        if (!call_method(package, names.dump_preamble, {f})) return nullptr;
    }
    Py_RETURN_NONE;
}

// UsePackage(name, options), where NULL options stand for a new empty
// dict, or UsePackage(name) when options are not `passed`; UsePackage is
// the module's global.
Ref new_use_package(PyObject* name, PyObject* options, bool passed) {
    Ref cls = module_global(context_module, use_package_name);
    if (!cls) return Ref();
    if (!passed) return call(cls.get(), {name});
    Ref given = options ? Ref::borrow(options) : Ref(PyDict_New());
    return given ? call(cls.get(), {name, given.get()}) : Ref();
}

// The root's table: packages[name] = UsePackage(name, options); with
// `only_if_new` (require_package), an existing entry is kept and a new one
// is UsePackage(name).
int record_package(PyObject* root, PyObject* name, PyObject* options, bool only_if_new) {
    PyObject** fields = native_fields(root, context_layout);
    if (fields && fields[packages_field] == lazy && PyUnicode_CheckExact(name) &&
        use_package_global.holds() && use_package_guard.holds()) {
        return record_request(as_context(root)->requests, name, options, only_if_new);
    }
    Ref packages = native_attr(root, context_layout, packages_field);
    if (!packages) return -1;
    if (only_if_new) {
        int present = PySequence_Contains(packages.get(), name);
        if (present != 0) return present < 0 ? -1 : 0;
    }
    Ref entry = new_use_package(name, options, !only_if_new);
    if (!entry) return -1;
    return PyObject_SetItem(packages.get(), name, entry.get());
}

// How many parents a climb follows natively before it takes the general
// path, which also tells a chain that loops.
constexpr int max_native_climb = 64;

// The root that a climb from `context` reaches when every context on the
// way is native and each parent runs the class's own method; NULL when the
// climb must run as Python code would.
PyObject* native_root(PyObject* context) {
    if (!fast_paths) return nullptr;
    for (int step = 0; step < max_native_climb; step++) {
        PyObject** fields = native_fields(context, context_layout);
        PyObject* parent = fields ? fields[parent_field] : nullptr;
        if (parent == Py_None) return context;
        if (!parent || parent == lazy || !calls_own(parent, context_layout)) return nullptr;
        context = parent;
    }
    return nullptr;
}

// use_package climbing from `context`: at the root the entry is replaced.
// `options` is true, or NULL for a new empty dict.
PyObject* use_package_from(PyObject* self, PyObject* name, PyObject* options) {
    if (PyObject* root = native_root(self)) {
        if (record_package(root, name, options, false) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Climb climb(self);
    for (;;) {
        bool plain;
        Ref parent = parent_of(climb.current(), names.use_package, own_use_package, &plain);
        if (!parent) return nullptr;
        if (parent.get() == Py_None) break;
        if (!plain) {
            Ref passed = options ? Ref::borrow(options) : Ref(PyDict_New());
            return passed ? delegate_request(parent.get(), {name, passed.get()}) : nullptr;
        }
        if (climb.step(std::move(parent)) < 0) return nullptr;
    }
    if (record_package(climb.current(), name, options, false) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* context_require_package(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    static const Signature signature{"require_package", {"name"}, 1};
    PyObject* name;
    if (signature.bind(args, nargs, kwnames, &name) < 0) return nullptr;
    bool plain;
    Ref parent = parent_of(self, names.use_package, own_use_package, &plain);
    if (!parent) return nullptr;
    if (parent.get() == Py_None) {
        if (record_package(self, name, nullptr, true) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    if (!plain) return delegate_request(parent.get(), {name});
    return use_package_from(parent.get(), name, nullptr);
}

// LatexContext.use_package as a function, so that it carries annotations.
PyObject* context_use_package(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"use_package", {"self", "name", "options"}, 2};
    PyObject* arg[3];
    PyObject* options;
    if (signature.bind(args, nargs, kwnames, arg) < 0 || true_options(arg[2], &options) < 0) {
        return nullptr;
    }
    return use_package_from(arg[0], arg[1], options);
}

const FunctionDef context_use_package_def = {
    "use_package", "LatexContext.use_package", context_use_package,
    "($self, name, options=None)", nullptr,
};

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef context_methods[] = {
    {"generate_file_id", as_method(context_generate_file_id), fastcall,
     "generate_file_id($self)\n--\n\n"},
    {"child", as_method(context_child), fastcall,
     "child($self)\n--\n\nGenerates a child context; sharing some data"},
    {"dump_preamble", as_method(context_dump_preamble), fastcall,
     "dump_preamble($self, f)\n--\n\n"},
    {"require_package", as_method(context_require_package), fastcall,
     "require_package($self, name)\n--\n\n"},
    {"use_package", installed_later, METH_NOARGS, nullptr},
    {"__getstate__", native_getstate, METH_NOARGS, nullptr},
    {},
};

PyType_Slot context_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(context_init)},
    {Py_tp_doc, const_cast<char*>("LatexContext(graphics_path='.')\n--\n\n")},
    {Py_tp_methods, context_methods},
    {Py_tp_members, native_members},
    {Py_tp_getset, context_descriptors.getset},
    {Py_tp_traverse, reinterpret_cast<void*>(context_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(context_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(context_dealloc)},
    {Py_tp_alloc, reinterpret_cast<void*>(native_alloc)},
    {0, nullptr},
};

PyType_Spec context_spec = {
    "pagewright.context.LatexContext", sizeof(Context), 0,
    instance_flags, context_slots,
};

int make_types(PyObject* module_name, PyObject* option_type) {
    if (context_type) return 0;
    Ref init_annotations(
        Py_BuildValue("{sOsO}", "name", &PyUnicode_Type, "options", option_type));
    Ref use_annotations(Py_BuildValue("{sO}", "options", option_type));
    if (!init_annotations || !use_annotations) return -1;
    use_package_type = make_type(&use_package_spec, nullptr);
    if (!use_package_type ||
        install_function(use_package_type, &use_package_init_def, module_name,
                         init_annotations.get()) < 0 ||
        use_package_guard.watch(use_package_type) < 0) {
        return -1;
    }
    describe(context_layout, context_descriptors);
    context_type = make_type(&context_spec, nullptr);
    if (!context_type ||
        install_function(context_type, &context_use_package_def, module_name,
                         use_annotations.get()) < 0) {
        return -1;
    }
    if (context_guard.watch(context_type) < 0 || register_layout(context_layout) < 0) return -1;
    add_guarded_type(context_type);
    own_generate_file_id = PyDict_GetItemWithError(context_type->tp_dict, names.generate_file_id);
    own_use_package = PyDict_GetItemWithError(context_type->tp_dict, names.use_package);
    if (!own_generate_file_id || !own_use_package) return -1;
    Py_INCREF(own_generate_file_id);
    Py_INCREF(own_use_package);
    return 0;
}

}  // namespace

PyTypeObject* latex_context_type() { return context_type; }

namespace {

int buffer_field(PyObject* buffer_name) {
    return buffer_name == names.f ? f_field : preamble_field;
}

}  // namespace

unsigned buffer_generation(PyObject* context, PyObject* buffer_name) {
    return as_context(context)->generation[buffer_field(buffer_name)];
}

PyObject* stream_made_from(PyObject* context, PyObject* buffer_name, unsigned generation) {
    Context* state = as_context(context);
    int field = buffer_field(buffer_name);
    return state->made[field] && state->made_in[field] == generation ? state->made[field]
                                                                     : nullptr;
}

TextBuffer* native_buffer(PyObject* context, PyObject* buffer_name) {
    PyObject** fields = native_fields(context, context_layout);
    if (!fields) return nullptr;
    int field = buffer_field(buffer_name);
    return fields[field] == lazy ? &as_context(context)->buffers[field] : nullptr;
}

PyObject* context_from(PyObject* module, Global& global, PyObject* graphics_path,
                       PyObject* keyword) {
    if (global.holds() && contexts_go_native()) {
        PyObject* context = alloc_context();
        if (context) start_context(context, graphics_path, Py_None);
        return context;
    }
    Ref cls = module_global(module, context_class_name);
    if (!cls) return nullptr;
    return call_kw(cls.get(), {graphics_path}, keyword).release();
}

PyObject* latex_context_class() { return reinterpret_cast<PyObject*>(context_type); }

namespace {

// context.dump_preamble(f) would run this module's own method on a native
// table.
bool runs_own_dump(PyObject* context) {
    return calls_own(context, context_layout) && dumps_natively(context);
}

// Options whose text is made without running Python code.
bool plain_options(PyObject* options) {
    if (!PyDict_CheckExact(options)) return false;
    Py_ssize_t at = 0;
    PyObject *key, *value;
    while (PyDict_Next(options, &at, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || (value != Py_None && !PyUnicode_CheckExact(value))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool packages_dump_natively(PyObject* context) {
    if (!runs_own_dump(context)) return false;
    const Requests& requests = as_context(context)->requests;
    for (Py_ssize_t i = 0; i < requests.count; i++) {
        PyObject* options = requests.items[i].options;
        if (options && !plain_options(options)) return false;
    }
    return true;
}

int dump_packages(PyObject* context, PyObject* f) {
    if (runs_own_dump(context)) {
        return dump_requests(context, f);
    }
    return call_method(context, names.dump_preamble, {f}) ? 0 : -1;
}

int request_package(PyObject* context, PyObject* name, PyObject* options) {
    if (!calls_own(context, context_layout)) {
        Ref passed = options ? Ref::borrow(options) : Ref(PyDict_New());
        return passed && call_method(context, names.use_package, {name, passed.get()}) ? 0 : -1;
    }
    // The context's own use_package, as context_use_package runs it.
    PyObject* stored;
    if (true_options(options, &stored) < 0) return -1;
    Ref result(use_package_from(context, name, stored));
    return result ? 0 : -1;
}

PendingContext* pending_child(PyObject* context) {
    // As child_of and new_child_context would make it natively.
    PyObject** fields = native_parent_fields(context);
    if (!fields || !holds_no_attributes(as_native(context))) return nullptr;
    PendingContext* pending;
    if (spare_pending_count) {
        pending = spare_pending[--spare_pending_count];
    } else {
        pending = PyMem_New(PendingContext, 1);
        if (!pending) {
            PyErr_NoMemory();
            return nullptr;
        }
        *pending = PendingContext{};
    }
    pending->graphics_path = Py_NewRef(fields[graphics_path_field]);
    pending->parent = Py_NewRef(context);
    return pending;
}

void adopt_pending(PyObject* context, PendingContext* pending) {
    start_context(context, pending->graphics_path, pending->parent);
    for (int field : {f_field, preamble_field}) {
        std::swap(as_context(context)->buffers[field], pending->buffers[field]);
    }
}

void drop_pending(PendingContext* pending) {
    PyObject* graphics_path = pending->graphics_path;
    PyObject* parent = pending->parent;
    pending->graphics_path = pending->parent = nullptr;
    if (spare_pending_count < pending_spares) {
        for (TextBuffer& buffer : pending->buffers) buffer.empty();
        spare_pending[spare_pending_count++] = pending;
    } else {
        for (TextBuffer& buffer : pending->buffers) buffer.release();
        PyMem_Free(pending);
    }
    // Last: the parent's release may run Python code.
    Py_XDECREF(graphics_path);
    Py_XDECREF(parent);
}

PyObject* child_of(PyObject* context) {
    // A native context without an instance dict runs the class's own child().
    if (native_fields(context, context_layout) && !as_native(context)->dict) {
        return new_child_context(context);
    }
    if (calls_own(context, context_layout)) return new_child_context(context);
    return call_method(context, names.child, {}).release();
}

int exec_context(PyObject* module) {
    if (intern_literals(literals) < 0 || init_native() < 0) return -1;
    if (import_names(module, "io", {"StringIO"}) < 0 ||
        import_names(module, "typing", {"Dict"}) < 0) {
        return -1;
    }
    Ref all(Py_BuildValue("[s]", "LatexContext"));
    Ref typing_dict(PyObject_GetAttrString(module, "Dict"));
    Ref io_class(PyObject_GetAttrString(module, "StringIO"));
    Ref module_name(PyModule_GetNameObject(module));
    if (!all || !typing_dict || !io_class || !module_name) return -1;
    if (!string_io) string_io = io_class.release();
    if (init_write(string_io) < 0) return -1;
    Ref option_type = dict_of_str(typing_dict.get());
    if (!option_type || make_types(module_name.get(), option_type.get()) < 0) return -1;
    if (bind(module, "__all__", all.get()) < 0 ||
        bind(module, "UsePackage", reinterpret_cast<PyObject*>(use_package_type)) < 0 ||
        bind_function(module, &dict_to_latex_option_string_def) < 0 ||
        bind(module, "LatexContext", reinterpret_cast<PyObject*>(context_type)) < 0) {
        return -1;
    }
    Ref option_function(PyObject_GetAttr(module, option_string_name));
    if (!option_function) return -1;
    Py_XSETREF(context_module, Py_NewRef(module));
    if (string_io_global.watch(module, string_io_name, string_io) < 0) return -1;
    if (use_package_global.watch(module, use_package_name,
                             reinterpret_cast<PyObject*>(use_package_type)) < 0) return -1;
    if (option_string_global.watch(module, option_string_name, option_function.get()) < 0) return -1;
    if (context_global.watch(module, context_class_name, reinterpret_cast<PyObject*>(context_type)) < 0) return -1;
    return 0;
}

}  // namespace pw
