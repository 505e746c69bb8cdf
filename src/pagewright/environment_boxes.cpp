// LatexEnvironment's boxes: minipage, fbox, resizebox and mbox collect their
// content in a plain environment on a child context and write it wrapped
// in the box's LaTeX when the block ends; tightbox, a framed minipage and
// minipage_bottom are compositions of those, unwound as nested with
// statements would be.
#include "context.h"
#include "environment.h"
#include "modules.h"

#include "../core/args.h"
#include "../core/function.h"
#include "../core/module.h"
#include "../core/single_use.h"
#include "../core/write.h"

namespace pw {

namespace {

// The interned texts of this part, each with the name it is kept under.
#define LITERALS(X) \
    X(empty_text, "") \
    X(minipage_opening, "\\begin{minipage}[%s]{%s}%%\n") \
    X(minipage_closing, "\\end{minipage}%\n") \
    X(fbox_opening, "{\\setlength\\fboxsep{%s}%%\n") \
    X(fbox_frame, "\\fbox{%\n") \
    X(fbox_closing, "}% fbox\n") \
    X(setlength_closing, "}% setlength\n") \
    X(resizebox_opening, "\\resizebox{%s}{!}{%%\n") \
    X(resizebox_closing, "}%resizebox\n") \
    X(mbox_opening, "\\mbox[%s][%s]{%%\n") \
    X(mbox_closing, "}%\n") \
    X(spacer_above, "\\vspace{0pt}\\par%\n") \
    X(spacer_below, "\\par\\vspace{0pt}%\n") \
    X(zero_pt, "0pt") \
    X(one_pt, "1pt") \
    X(bottom, "b") \
    X(centre, "c") \
    X(fbox_name, "fbox") \
    X(tightbox_name, "tightbox") \
    X(minipage_name, "minipage") \
    X(minipage_before, "\\begin{minipage}[") \
    X(minipage_between, "]{") \
    X(brace_line_end, "}%\n") \
    X(fbox_before, "{\\setlength\\fboxsep{") \
    X(resizebox_before, "\\resizebox{") \
    X(resizebox_after, "}{!}{%\n") \
    X(mbox_before, "\\mbox[") \
    X(mbox_between, "][") \
    X(mbox_after, "]{%\n")
PW_LITERALS(LITERALS)
#undef LITERALS

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;


// A box is a construct of its own: its content collects in a plain
// LatexEnvironment on a child context, and on a normal exit the child's
// preamble and the wrapped body are appended to the calling environment's
// context. The compositions (tightbox, a framed minipage, minipage_bottom)
// open other boxes through method lookup, so overrides are honoured, and
// unwind them as nested with statements would.

// The slots of a box construct.
enum BoxSlot : int {
    owner = 0,           // the environment the box is written into
    first_operand = 1,   // the arguments the opening text is formatted with
    second_operand = 2,
    writer = 3,          // the environment handed to the block (minipage's frame flag before)
    outer_exit = 4,      // bound __exit__ of the boxes a composition entered
    inner_exit = 5,
};

// The LaTeX around a primary box's content.
struct BoxTexts {
    PyObject** opening;         // formatted with one operand or the pair
    bool pair;
    PyObject** second_opening;  // as is; may be null
    PyObject** closings[2];     // as is, in order; the second may be null
    // The opening's text around its placeholders: before the first, between
    // the two (for a pair), after the last.
    PyObject** pieces[3];
};

const BoxTexts minipage_texts = {&minipage_opening, true, nullptr, {&minipage_closing, nullptr},
                                 {&minipage_before, &minipage_between, &brace_line_end}};
const BoxTexts fbox_texts = {&fbox_opening, false, &fbox_frame,
                             {&fbox_closing, &setlength_closing},
                             {&fbox_before, nullptr, &brace_line_end}};
const BoxTexts resizebox_texts = {&resizebox_opening, false, nullptr,
                                  {&resizebox_closing, nullptr},
                                  {&resizebox_before, nullptr, &resizebox_after}};
const BoxTexts mbox_texts = {&mbox_opening, true, nullptr, {&mbox_closing, nullptr},
                             {&mbox_before, &mbox_between, &mbox_after}};

// LatexEnvironment(self.context.child()), LatexEnvironment being the
// module's global; the child is made only if Python code needs it.
PyObject* enter_box(SingleUse* self) {
    Ref context = context_of(self->slot(owner));
    Ref env(context ? block_environment(environment_module, environment_global, context.get())
                    : nullptr);
    if (!env) return nullptr;
    self->keep(writer, Py_NewRef(env.get()));
    return env.release();
}

Ref opening_text(SingleUse* self, const BoxTexts& texts) {
    if (texts.pair) {
        return format_tuple(*texts.opening, {self->slot(first_operand), self->slot(second_operand)});
    }
    return format(*texts.opening, self->slot(first_operand));
}

// The opening (and second opening) into a native buffer, built from the
// pieces of its format when the operands are exact strs, whose "%s" is the
// str itself; 0 when they are not and the text must be formatted.
int append_opening(Sink& body, SingleUse* self, const BoxTexts& texts) {
    PyObject* first = self->slot(first_operand);
    PyObject* second = self->slot(second_operand);
    if (!PyUnicode_CheckExact(first) || (texts.pair && !PyUnicode_CheckExact(second))) return 0;
    TextBuffer* buffer = body.native();
    if (!buffer) return 0;
    Pieces line;
    line.add(*texts.pieces[0]);
    line.add(first);
    if (texts.pair) {
        line.add(*texts.pieces[1]);
        line.add(second);
    }
    line.add(*texts.pieces[2]);
    if (texts.second_opening) line.add(*texts.second_opening);
    return line.append_to(*buffer) < 0 ? -1 : 1;
}

// The child's preamble to the owner's preamble, then the opening, the
// child's body and the closing to the owner's body, one write each. The
// child's buffers are read natively where they are (a pending child's
// included), looked up again after Python code may have run.
int write_box(SingleUse* self, const BoxTexts& texts) {
    Ref context = context_of(self->slot(owner));
    if (!context) return -1;
    if (TextBuffer* child = environment_buffers(self->slot(writer))) {
        if (copy_buffer(child[preamble_field], context.get(), names.preamble) < 0) return -1;
    } else {
        Ref made = context_of(self->slot(writer));
        if (!made || copy_buffer(made.get(), context.get(), names.preamble) < 0) return -1;
    }
    Sink body = Sink::of(context.get(), names.f);
    int appended = body ? append_opening(body, self, texts) : -1;
    if (appended < 0) return -1;
    if (!appended) {
        Ref opening = opening_text(self, texts);
        if (!opening || body.write(opening.get()) < 0) return -1;
        if (texts.second_opening && body.write(*texts.second_opening) < 0) return -1;
    }
    if (TextBuffer* child = environment_buffers(self->slot(writer))) {
        if (body.copy_text(child[f_field]) < 0) return -1;
    } else {
        Ref made = context_of(self->slot(writer));
        if (!made || body.copy_from(made.get(), names.f) < 0) return -1;
    }
    for (PyObject** closing : texts.closings) {
        if (closing && body.write(*closing) < 0) return -1;
    }
    return 0;
}

template <const BoxTexts& texts>
int close_box(SingleUse* self) {
    return write_box(self, texts);
}

// type(obj).name bound to obj: the lookup a with statement makes.
Ref special_method(PyObject* obj, PyObject* name) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref attr = getattr(type, name);
    if (!attr) return Ref();
    descrgetfunc bind_to = Py_TYPE(attr.get())->tp_descr_get;
    if (!bind_to) return attr;
    return Ref(bind_to(attr.get(), obj, type));
}

// Enters `manager` as a with statement does, keeping its bound __exit__ in
// `exit_slot`; returns what __enter__ returns.
PyObject* enter_manager(SingleUse* self, int exit_slot, PyObject* manager) {
    Ref enter = special_method(manager, names.__enter__);
    Ref exit = enter ? special_method(manager, names.__exit__) : Ref();
    Ref target = exit ? call(enter.get(), {}) : Ref();
    if (!target) return nullptr;
    self->keep(exit_slot, exit.release());
    return target.release();
}

// The exception propagating through the entered boxes; empty when none is.
struct Propagating {
    Ref type, value, traceback;
};

Propagating fetch_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    return {Ref(type), Ref(value), Ref(traceback)};
}

PyObject* or_none(const Ref& ref) { return ref ? ref.get() : Py_None; }

// Leaves the entered boxes innermost first, as nested with statements
// unwind: each __exit__ gets the exception still propagating (or three
// Nones); one whose result is true swallows it, and one that raises
// replaces it.
void leave_boxes(SingleUse* self, Propagating& error) {
    for (int slot : {inner_exit, outer_exit}) {
        Ref exit = Ref::borrow(self->slot(slot));
        if (!exit) continue;
        self->keep(slot, nullptr);
        Ref result = call(exit.get(), {or_none(error.type), or_none(error.value),
                                       or_none(error.traceback)});
        if (!result) {
            error = fetch_error();
            continue;
        }
        int swallowed = error.type ? PyObject_IsTrue(result.get()) : 0;
        if (swallowed < 0) {
            error = fetch_error();
        } else if (swallowed) {
            error = {};
        }
    }
}

// Leaves the entered boxes with `error` and reports what comes out of them.
int finish_boxes(SingleUse* self, Propagating error) {
    leave_boxes(self, error);
    if (!error.type) return 0;
    PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
    return -1;
}

// A failure inside the composition after it entered boxes passes out
// through them; when one of them swallows it, the composition ends
// without handing anything out, which a generator reports as not yielding.
PyObject* unwind_boxes(SingleUse* self) {
    if (finish_boxes(self, fetch_error()) == 0) {
        PyErr_SetString(PyExc_RuntimeError, "generator didn't yield");
    }
    return nullptr;
}

int close_composition(SingleUse* self) {
    return finish_boxes(self, {});
}

// The block raised: the boxes see the exception and write nothing. One
// that swallows it makes the composition swallow it; one that raises
// replaces it.
int abort_composition(SingleUse* self, PyObject* type, PyObject* value, PyObject* traceback) {
    Propagating error{Ref::borrow(type), Ref::borrow(value), Ref::borrow(traceback)};
    leave_boxes(self, error);
    if (!error.type) return 1;
    if (error.type.get() == type && error.value.get() == value) return 0;
    PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
    return -1;
}

// with self.fbox('0pt') as x: yield x
PyObject* enter_tightbox(SingleUse* self) {
    Ref frame = call_method(self->slot(owner), fbox_name, {zero_pt});
    if (!frame) return nullptr;
    return enter_manager(self, inner_exit, frame.get());
}

// ("fbox",), the keyword of fb.minipage(width, align, fbox=False).
PyObject* frame_keyword() {
    static PyObject* keywords;
    if (!keywords) keywords = PyTuple_Pack(1, fbox_name);
    return keywords;
}

// with self.tightbox() as fb: with fb.minipage(width, align, fbox=False) as m: yield m
PyObject* enter_framed_minipage(SingleUse* self) {
    Ref frame = call_method(self->slot(owner), tightbox_name, {});
    if (!frame) return nullptr;
    Ref framed(enter_manager(self, outer_exit, frame.get()));
    if (!framed) return nullptr;
    PyObject* keywords = frame_keyword();
    Ref page = keywords ? call_method_kw(framed.get(), minipage_name,
                                         {self->slot(second_operand), self->slot(first_operand),
                                          Py_False},
                                         keywords)
                        : Ref();
    PyObject* content = page ? enter_manager(self, inner_exit, page.get()) : nullptr;
    return content ? content : unwind_boxes(self);
}

const Construct framed_minipage_construct = {enter_framed_minipage, close_composition,
                                             abort_composition};

// The frame flag is tested on entering; a framed minipage then runs as the
// composition from there on.
PyObject* enter_minipage(SingleUse* self) {
    int framed = PyObject_IsTrue(self->slot(writer));
    if (framed < 0) return nullptr;
    if (!framed) return enter_box(self);
    self->construct = &framed_minipage_construct;
    return enter_framed_minipage(self);
}

// with self.minipage(width, 'b') as m: spacer, yield m, spacer
PyObject* enter_minipage_bottom(SingleUse* self) {
    Ref page = call_method(self->slot(owner), minipage_name, {self->slot(first_operand), bottom});
    if (!page) return nullptr;
    Ref content(enter_manager(self, inner_exit, page.get()));
    if (!content) return nullptr;
    if (!call_method(content.get(), names.tex, {spacer_above})) return unwind_boxes(self);
    self->keep(writer, Py_NewRef(content.get()));
    return content.release();
}

int close_minipage_bottom(SingleUse* self) {
    Ref written = call_method(self->slot(writer), names.tex, {spacer_below});
    return finish_boxes(self, written ? Propagating{} : fetch_error());
}

const Construct minipage_construct = {enter_minipage, close_box<minipage_texts>, nullptr};
const Construct fbox_construct = {enter_box, close_box<fbox_texts>, nullptr};
const Construct resizebox_construct = {enter_box, close_box<resizebox_texts>, nullptr};
const Construct mbox_construct = {enter_box, close_box<mbox_texts>, nullptr};
const Construct tightbox_construct = {enter_tightbox, close_composition, abort_composition};
const Construct minipage_bottom_construct = {enter_minipage_bottom, close_minipage_bottom,
                                             abort_composition};

}  // namespace

PyObject* environment_minipage(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"minipage", {"width", "align", "fbox"}, 1};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    return make_single_use(&minipage_construct, {self, arg[1] ? arg[1] : empty_text, arg[0],
                                                 arg[2] ? arg[2] : Py_False});
}

PyObject* environment_minipage_bottom(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    static const Signature signature{"minipage_bottom", {"width"}, 1};
    PyObject* width;
    if (signature.bind(args, nargs, kwnames, &width) < 0) return nullptr;
    return make_single_use(&minipage_bottom_construct, {self, width});
}

PyObject* environment_fbox(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"fbox", {"sep"}, 0};
    PyObject* sep;
    if (signature.bind(args, nargs, kwnames, &sep) < 0) return nullptr;
    return make_single_use(&fbox_construct, {self, sep ? sep : one_pt});
}

PyObject* environment_resizebox(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"resizebox", {"width"}, 1};
    PyObject* width;
    if (signature.bind(args, nargs, kwnames, &width) < 0) return nullptr;
    return make_single_use(&resizebox_construct, {self, width});
}

PyObject* environment_mbox(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"mbox", {"width", "position"}, 0};
    PyObject* arg[2];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    return make_single_use(&mbox_construct, {self, arg[0] ? arg[0] : empty_text,
                                             arg[1] ? arg[1] : centre});
}

PyObject* environment_tightbox(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"tightbox", {}, 0};
    if (signature.bind(args, nargs, kwnames, nullptr) < 0) return nullptr;
    return make_single_use(&tightbox_construct, {self});
}

int init_environment_boxes() { return intern_literals(literals); }

}  // namespace pw
