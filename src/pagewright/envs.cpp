// pagewright.envs: small builders that return LaTeX fragments as strings
// (environments, commands, brace groups, font and colour switches).
// The composite builders reach their siblings through the module namespace
// at call time, so replacing one of them on the module changes the others.
#include "modules.h"
#include "../core/globals.h"

#include "../core/args.h"
#include "../core/module.h"
#include "../core/strings.h"

namespace pw {

namespace {

// The module's interned texts, each with the name it is kept under.
#define LITERALS(X) \
    X(begin_format, "\\begin{%s}") \
    X(group_format, "{%s}") \
    X(end_format, "\\end{%s}") \
    X(command_format, "\\%s{%s}") \
    X(color_format, "\\color[rgb]{%s,%s,%s}%s") \
    X(hspace_format, "\\hspace{%s}") \
    X(env_name, "env") \
    X(enclose_name, "enclose") \
    X(protect_name, "protect") \
    X(texttt_name, "texttt") \
    X(latex_escape_name, "latex_escape") \
    X(minipage_name, "minipage") \
    X(verbatim_name, "verbatim") \
    X(small_name, "small") \
    X(footnotesize_name, "footnotesize") \
    X(emph_name, "emph") \
    X(fbox_name, "fbox") \
    X(param_name, "param")
PW_LITERALS(LITERALS)
#undef LITERALS

PyObject* param_keyword;  // ("param",), the keyword names of env(..., param=width)

PyObject* env(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"env", {"name", "content", "param"}, 2};
    PyObject* arg[3];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    PyObject* name = arg[0];
    Ref s = format(begin_format, name);
    if (!s) return nullptr;
    int has_param = arg[2] ? PyObject_IsTrue(arg[2]) : 0;
    if (has_param < 0) return nullptr;
    if (has_param) {
        Ref group = format(group_format, arg[2]);
        if (!group) return nullptr;
        s = Ref(PyNumber_InPlaceAdd(s.get(), group.get()));
        if (!s) return nullptr;
    }
    s = Ref(PyNumber_InPlaceAdd(s.get(), arg[1]));
    if (!s) return nullptr;
    Ref end = format(end_format, name);
    if (!end) return nullptr;
    return PyNumber_InPlaceAdd(s.get(), end.get());
}

// env('minipage', content, param=width)
PyObject* minipage(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"minipage", {"width", "content"}, 2};
    PyObject* arg[2];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    Ref function = module_global(module, env_name);
    if (!function) return nullptr;
    return call_kw(function.get(), {minipage_name, arg[1], arg[0]}, param_keyword).release();
}

PyObject* verbatim(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"verbatim", {"content"}, 1};
    PyObject* content;
    if (signature.bind(args, nargs, kwnames, &content) < 0) return nullptr;
    return call_global(module, env_name, {verbatim_name, content}).release();
}

PyObject* enclose(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"enclose", {"name", "content"}, 2};
    PyObject* arg[2];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    return format_tuple(command_format, {arg[0], arg[1]}).release();
}

PyObject* protect(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"protect", {"content"}, 1};
    PyObject* content;
    if (signature.bind(args, nargs, kwnames, &content) < 0) return nullptr;
    return format(group_format, content).release();
}

// The builders that wrap their content in a fixed command: enclose(command,
// content), and for the size switches protect() around that.
template <const Signature& signature, PyObject*& command, bool grouped>
PyObject* command_builder(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject* content;
    if (signature.bind(args, nargs, kwnames, &content) < 0) return nullptr;
    if (grouped) {
        return call_nested(module, protect_name, enclose_name, {command, content}).release();
    }
    return call_global(module, enclose_name, {command, content}).release();
}

const Signature small_signature{"small", {"content"}, 1};
const Signature footnotesize_signature{"footnotesize", {"content"}, 1};
const Signature texttt_signature{"texttt", {"content"}, 1};
const Signature emph_signature{"emph", {"content"}, 1};
const Signature fbox_signature{"fbox", {"x"}, 1};

// texttt(latex_escape(content))
PyObject* verbatim_soft(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static const Signature signature{"verbatim_soft", {"content"}, 1};
    PyObject* content;
    if (signature.bind(args, nargs, kwnames, &content) < 0) return nullptr;
    return call_nested(module, texttt_name, latex_escape_name, {content}).release();
}

// protect("\\color[rgb]{%s,%s,%s}%s" % (col[0], col[1], col[2], x))
PyObject* color_rgb(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    static const Signature signature{"color_rgb", {"x", "col"}, 2};
    PyObject* arg[2];
    if (signature.bind(args, nargs, kwnames, arg) < 0) return nullptr;
    Ref outer = module_global(module, protect_name);
    if (!outer) return nullptr;
    Ref component[3];
    for (long i = 0; i < 3; i++) {
        Ref index(PyLong_FromLong(i));
        if (!index) return nullptr;
        component[i] = Ref(PyObject_GetItem(arg[1], index.get()));
        if (!component[i]) return nullptr;
    }
    Ref text = format_tuple(color_format, {component[0].get(), component[1].get(),
                                           component[2].get(), arg[0]});
    if (!text) return nullptr;
    return call(outer.get(), {text.get()}).release();
}

PyObject* hspace(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature{"hspace", {"x"}, 1};
    PyObject* x;
    if (signature.bind(args, nargs, kwnames, &x) < 0) return nullptr;
    return format(hspace_format, x).release();
}

#define PW_BUILDER_DEF(name, function, params) \
    {#name, as_method(function), METH_FASTCALL | METH_KEYWORDS, \
     #name "($module, " params ")\n--\n\n"}
#define PW_BUILDER(name, params) PW_BUILDER_DEF(name, name, params)
#define PW_COMMAND_BUILDER(name, param, grouped) \
    PW_BUILDER_DEF(name, (command_builder<name##_signature, name##_name, grouped>), param)

// In definition order: the module binds them in this order.
PyMethodDef builders[] = {
    PW_BUILDER(env, "name, content, param=None"),
    PW_BUILDER(minipage, "width, content"),
    PW_BUILDER(verbatim, "content"),
    PW_BUILDER(enclose, "name, content"),
    PW_BUILDER(protect, "content"),
    PW_COMMAND_BUILDER(small, "content", true),
    PW_COMMAND_BUILDER(footnotesize, "content", true),
    PW_COMMAND_BUILDER(texttt, "content", false),
    PW_COMMAND_BUILDER(emph, "content", false),
    PW_BUILDER(verbatim_soft, "content"),
    PW_BUILDER(color_rgb, "x, col"),
    PW_COMMAND_BUILDER(fbox, "x", false),
    PW_BUILDER(hspace, "x"),
};

#undef PW_COMMAND_BUILDER
#undef PW_BUILDER
#undef PW_BUILDER_DEF


}  // namespace

int exec_envs(PyObject* module) {
    if (intern_literals(literals) < 0) return -1;
    if (!param_keyword && !(param_keyword = PyTuple_Pack(1, param_name))) return -1;
    if (import_names(module, "pagewright.utils", {"latex_escape"}) < 0) return -1;
    for (PyMethodDef& def : builders) {
        if (bind_function(module, &def) < 0) return -1;
    }
    return 0;
}

}  // namespace pw
